// Extracting a hostile archive or image below a folder: every folder is made
// and opened relative to its opened parent without following links, so that
// nothing is written outside DIR, not even through a link already in it;
// each file is written beside its name and renamed into place when whole; an
// existing file or something else in the way is replaced only when asked.
#pragma once

#include <functional>
#include <string>

#include "safefs/temporary.h"

namespace safefs {

class ExtractionRoot {
 public:
  // problem receives each message ("cannot make the folder \"a\": ...").
  // Names inside DIR come already quoted by the caller; DIR and the folders
  // above it are quoted by quote (plain double quotes when none).
  using Report = std::function<void(const std::string&)>;
  using Quote = std::function<std::string(const std::string&)>;

  ExtractionRoot(TemporaryNaming naming, bool force, Report problem, Quote quote = nullptr)
      : naming_(naming), force_(force), problem_(std::move(problem)), quote_(std::move(quote)) {}
  ~ExtractionRoot();
  ExtractionRoot(const ExtractionRoot&) = delete;
  ExtractionRoot& operator=(const ExtractionRoot&) = delete;

  // Makes dir and the folders above it that are missing, and opens it.
  // False after a message.
  bool Open(const std::string& dir);
  int fd() const { return fd_; }

  // Makes the folder name in parent_fd when missing (with force, a file or
  // link in its way is replaced by it) and opens it without following a
  // link. A descriptor for the caller to close, or -1 after a message.
  int OpenFolder(int parent_fd, const std::string& name, const std::string& shown) const;

  enum class Outcome {
    kWritten,  // the file is in place
    kSkipped,  // reported; the run goes on
    kStop,     // reported; the run cannot go on (a full disk, a failed read)
  };
  // What fill returns: 0 when the data is whole, an errno when writing
  // failed (reported here), or -1 when reading failed (the caller reported
  // it): both stop the run.
  using Fill = std::function<int(TemporaryFile& file)>;
  // Writes the file name in dir_fd: refused when a folder is in the way,
  // or a file without force; else filled under a hidden name and renamed.
  Outcome WriteFile(int dir_fd, const std::string& name, const std::string& shown,
                    const Fill& fill) const;

 private:
  TemporaryNaming naming_;
  bool force_;
  Report problem_;
  Quote quote_;
  int fd_ = -1;
};

}  // namespace safefs
