#include "safefs/extraction.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace safefs {

namespace {

// Failures that every later file would meet alike.
bool EndsTheRun(int error) {
  return error == ENOSPC || error == EDQUOT || error == EIO || error == EROFS;
}

}  // namespace

ExtractionRoot::~ExtractionRoot() {
  if (fd_ >= 0) close(fd_);
}

bool ExtractionRoot::Open(const std::string& dir) {
  auto quoted = [&](const std::string& path) { return quote_ ? quote_(path) : "\"" + path + "\""; };
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string prefix = dir.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      problem_("cannot make the folder " + quoted(prefix) + ": " + strerror(errno));
      return false;
    }
    if (slash == std::string::npos) break;
  }
  fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) {
    problem_("cannot open the folder " + quoted(dir) + ": " + strerror(errno));
    return false;
  }
  return true;
}

int ExtractionRoot::OpenFolder(int parent_fd, const std::string& name,
                               const std::string& shown) const {
  if (mkdirat(parent_fd, name.c_str(), 0777) != 0) {
    const int error = errno;
    struct stat st;
    if (error != EEXIST || fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      problem_("cannot make the folder " + shown + ": " + strerror(error));
      return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
      const char* what = S_ISLNK(st.st_mode) ? "a symbolic link" : "a file";
      if (!force_) {
        problem_("cannot make the folder " + shown + ": " + what +
                 " of that name is in the way (-f replaces it)");
        return -1;
      }
      if (unlinkat(parent_fd, name.c_str(), 0) != 0 ||
          mkdirat(parent_fd, name.c_str(), 0777) != 0) {
        problem_("cannot make the folder " + shown + ": " + strerror(errno));
        return -1;
      }
    }
  }
  // Never through a symbolic link, even one that appeared meanwhile.
  const int fd = openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) problem_("cannot open the folder " + shown + ": " + strerror(errno));
  return fd;
}

ExtractionRoot::Outcome ExtractionRoot::WriteFile(int dir_fd, const std::string& name,
                                                  const std::string& shown,
                                                  const Fill& fill) const {
  struct stat st;
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(st.st_mode)) {
      problem_("cannot extract " + shown + ": a folder of that name is in the way");
      return Outcome::kSkipped;
    }
    if (!force_) {
      problem_(shown + " exists; it is not replaced (-f replaces it)");
      return Outcome::kSkipped;
    }
  }
  TemporaryFile file(naming_);
  if (file.Create(dir_fd, name) < 0) {
    const int error = errno;
    problem_("cannot extract " + shown + ": " + strerror(error));
    return EndsTheRun(error) ? Outcome::kStop : Outcome::kSkipped;
  }
  const int filled = fill(file);
  if (filled > 0) problem_("cannot write " + shown + ": " + strerror(filled));
  if (filled != 0) return Outcome::kStop;
  const int error = file.Commit(force_);
  if (error == EEXIST) {
    problem_(shown + " exists; it is not replaced (-f replaces it)");
    return Outcome::kSkipped;
  }
  if (error != 0) {
    problem_("cannot write " + shown + ": " + strerror(error));
    return EndsTheRun(error) || error == EBADF ? Outcome::kStop : Outcome::kSkipped;
  }
  return Outcome::kWritten;
}

}  // namespace safefs
