// A file written beside its final name under a hidden one and renamed to it
// only when whole: an interrupt, a failed write or a full disk leave the old
// file (or none) in place, never a part of the new one.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace safefs {

// How the hidden names look, for a program called PROGRAM writing NAME:
struct TemporaryNaming {
  enum class Form {
    kRandom,  // .PROGRAM-0123456789abcdef (16 random hexadecimal digits)
    kBeside,  // .NAME.PROGRAM-PID-N, or .PROGRAM-PID-N for a NAME over 200 bytes
    kCount,   // .PROGRAM-PID-N SUFFIX, N counting the files of the run
  };
  const char* program;
  Form form = Form::kRandom;
  const char* suffix = "";
};

class TemporaryFile {
 public:
  explicit TemporaryFile(TemporaryNaming naming) : naming_(naming) {}
  ~TemporaryFile() { Discard(); }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates the hidden file, empty, in the folder dir_fd (AT_FDCWD: name is
  // a path, and the file goes into its folder) beside name; mode less the
  // umask. Never through a link. The descriptor, or -1 with errno set.
  int Create(int dir_fd, const std::string& name, mode_t mode = 0666);
  int fd() const { return fd_; }
  // Writes all of data at the end: 0, or the errno (ENOSPC for a write
  // that makes no progress).
  int Write(const void* data, size_t size);
  // Closes the file and renames it to the name given to Create, replacing
  // a file of that name only when replace (else EEXIST, the other file
  // untouched, also on file systems without an atomic no-replace rename).
  // 0 or the errno; the hidden file is gone either way.
  int Commit(bool replace);
  // Closes and removes it, if any.
  void Discard();

 private:
  std::string HiddenName(const std::string& base, int attempt) const;

  TemporaryNaming naming_;
  int dir_fd_ = -1;
  int fd_ = -1;
  int slot_ = -1;
  std::string folder_;  // with its slash, for a path beside AT_FDCWD
  std::string hidden_;  // relative to dir_fd_
  std::string final_;   // likewise
};

// Where writing to path ends up: symbolic links followed to the name of the
// file they lead to, which need not exist. 0, or the errno that stops it
// (ELOOP after 40 links).
int FollowLinks(const std::string& path, std::string* target);

// The folder part of a path with its slash ("" for a bare name).
std::string FolderOf(const std::string& path);

}  // namespace safefs
