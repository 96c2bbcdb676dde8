// Reading whole files and writing outputs that appear only when whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "file.h"
#include "format.h"

namespace kiln {

namespace {

std::string reason(int error) { return std::strerror(error); }

}  // namespace

std::vector<uint8_t> readFile(const std::string& path, uint64_t limit, FileId* id) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw Error("cannot open: " + reason(errno));
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat st;
  if (fstat(fd, &st) != 0) throw Error("cannot read: " + reason(errno));
  if (S_ISDIR(st.st_mode)) throw Error("cannot read: " + reason(EISDIR));
  if (!S_ISREG(st.st_mode)) throw Error("not a regular file");
  if (static_cast<uint64_t>(st.st_size) > limit) {
    throw Error("the file is " + std::to_string(st.st_size) + " bytes; kiln reads files of up to " +
                std::to_string(limit >> 20) + " MiB");
  }
  if (id != nullptr)
    *id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), true};
  std::vector<uint8_t> data;
  data.resize(static_cast<size_t>(st.st_size));
  size_t have = 0;
  for (;;) {
    if (have == data.size()) {
      // The whole size that was measured: the end should be here, but the
      // file may have grown since.
      uint8_t probe[4096];
      const ssize_t more = read(fd, probe, sizeof probe);
      if (more < 0 && errno == EINTR) continue;
      if (more < 0) throw Error("cannot read: " + reason(errno));
      if (more == 0) break;
      if (data.size() + static_cast<size_t>(more) > limit) {
        throw Error("the file is longer than " + std::to_string(limit >> 20) +
                    " MiB; kiln reads files of up to that size");
      }
      data.insert(data.end(), probe, probe + more);
      have = data.size();
      continue;
    }
    const ssize_t got = read(fd, data.data() + have, data.size() - have);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw Error("cannot read: " + reason(errno));
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  data.resize(have);
  return data;
}

void OutputFiles::add(const std::string& path, std::string_view data, const FileId& input) {
  std::string target;
  if (const int error = safefs::FollowLinks(path, &target); error != 0) {
    throw Error("cannot write: " + reason(error));
  }
  struct stat st;
  if (lstat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw Error("cannot write: " + reason(EISDIR));
    if (!S_ISREG(st.st_mode)) throw Error("cannot replace it: not a regular file");
    if (input.known && static_cast<uint64_t>(st.st_dev) == input.device &&
        static_cast<uint64_t>(st.st_ino) == input.inode) {
      throw Error("is the input file itself; nothing was written");
    }
  }
  // .NAME.kiln-PID-N beside the file.
  auto file = std::make_unique<safefs::TemporaryFile>(
      safefs::TemporaryNaming{"kiln", safefs::TemporaryNaming::Form::kBeside});
  if (file->Create(AT_FDCWD, target) < 0) throw Error("cannot write: " + reason(errno));
  if (const int error = file->Write(data.data(), data.size()); error != 0) {
    throw Error("cannot write: " + reason(error));
  }
  pending_.push_back({target, std::move(file)});
}

void OutputFiles::commit(std::string* failed) {
  for (Pending& p : pending_) {
    if (const int error = p.file->Commit(true); error != 0) {
      if (failed != nullptr) *failed = p.target;
      throw Error("cannot write: " + reason(error));
    }
  }
}

}  // namespace kiln
