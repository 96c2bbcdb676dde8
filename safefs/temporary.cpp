#include "safefs/temporary.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <random>

#include "safefs/interrupts.h"

namespace safefs {

namespace {

std::atomic<unsigned> g_count{0};

uint64_t RandomWord() {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  return random();
}

// A new link fails just as a no-replace rename does when the name is
// taken; a file system without links either is checked, then renamed.
int RenameWithoutReplacing(int dir_fd, const char* from, const char* to) {
  if (renameat2(dir_fd, from, dir_fd, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (linkat(dir_fd, from, dir_fd, to, 0) == 0) {
    unlinkat(dir_fd, from, 0);
    return 0;
  }
  if (errno == EEXIST) return EEXIST;
  struct stat st;
  if (fstatat(dir_fd, to, &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return renameat(dir_fd, from, dir_fd, to) == 0 ? 0 : errno;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

int FollowLinks(const std::string& path, std::string* target) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(at.c_str(), &st) != 0) {
      *target = at;
      return errno == ENOENT ? 0 : errno;
    }
    if (!S_ISLNK(st.st_mode)) {
      *target = at;
      return 0;
    }
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = readlink(at.c_str(), link.data(), link.size());
    if (n < 0) return errno;
    if (static_cast<size_t>(n) == link.size()) return ENAMETOOLONG;  // it changed meanwhile
    link.resize(static_cast<size_t>(n));
    at = link[0] == '/' ? link : FolderOf(at) + link;
  }
  return ELOOP;
}

std::string TemporaryFile::HiddenName(const std::string& base, int attempt) const {
  char tail[64];
  switch (naming_.form) {
    case TemporaryNaming::Form::kRandom:
      snprintf(tail, sizeof tail, "-%016llx", static_cast<unsigned long long>(RandomWord()));
      return std::string(".") + naming_.program + tail;
    case TemporaryNaming::Form::kBeside:
      snprintf(tail, sizeof tail, "-%ld-%d", static_cast<long>(getpid()), attempt);
      // The decorated name must stay within NAME_MAX.
      return (base.size() > 200 ? std::string() : "." + base) + "." + naming_.program + tail;
    case TemporaryNaming::Form::kCount:
      snprintf(tail, sizeof tail, "-%ld-%u", static_cast<long>(getpid()), ++g_count);
      return std::string(".") + naming_.program + tail + naming_.suffix;
  }
  return {};
}

int TemporaryFile::Create(int dir_fd, const std::string& name, mode_t mode) {
  Discard();
  folder_ = dir_fd == AT_FDCWD ? FolderOf(name) : std::string();
  const std::string base = name.substr(folder_.size());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string hidden = folder_ + HiddenName(base, attempt);
    InterruptsBlocked blocked;
    const int fd =
        openat(dir_fd, hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      dir_fd_ = dir_fd;
      fd_ = fd;
      hidden_ = hidden;
      final_ = name;
      slot_ = RegisterTemporary(dir_fd, hidden_.c_str());
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

int TemporaryFile::Write(const void* data, size_t size) {
  auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd_, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

int TemporaryFile::Commit(bool replace) {
  if (hidden_.empty()) return EBADF;
  int error = 0;
  if (fd_ >= 0 && close(fd_) != 0) error = errno;
  fd_ = -1;
  InterruptsBlocked blocked;
  if (error == 0) {
    if (replace) {
      if (renameat(dir_fd_, hidden_.c_str(), dir_fd_, final_.c_str()) != 0) error = errno;
    } else {
      error = RenameWithoutReplacing(dir_fd_, hidden_.c_str(), final_.c_str());
    }
  }
  if (error != 0) unlinkat(dir_fd_, hidden_.c_str(), 0);
  ForgetTemporary(slot_);
  slot_ = -1;
  hidden_.clear();
  return error;
}

void TemporaryFile::Discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (hidden_.empty()) return;
  InterruptsBlocked blocked;
  unlinkat(dir_fd_, hidden_.c_str(), 0);
  ForgetTemporary(slot_);
  slot_ = -1;
  hidden_.clear();
}

}  // namespace safefs
