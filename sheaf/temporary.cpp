#include "temporary.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace sheaf {

namespace {

// The temporary file being written, for the handler. Set and cleared only
// while the signals are blocked.
volatile sig_atomic_t g_dir_fd = -1;
char g_name[32];

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void RemoveAndExit(int) {
  if (g_dir_fd >= 0) unlinkat(g_dir_fd, g_name, 0);
  static const char kMessage[] = "sheaf: interrupted\n";
  if (write(STDERR_FILENO, kMessage, sizeof kMessage - 1) < 0) {
    // Nothing more can be said.
  }
  _exit(1);
}

class Blocked {
 public:
  Blocked() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kSignals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~Blocked() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  Blocked(const Blocked&) = delete;
  Blocked& operator=(const Blocked&) = delete;

 private:
  sigset_t old_;
};

}  // namespace

void HandleInterrupts() {
  struct sigaction action = {};
  action.sa_handler = RemoveAndExit;
  sigemptyset(&action.sa_mask);
  for (const int sig : kSignals) sigaddset(&action.sa_mask, sig);
  for (const int sig : kSignals) {
    struct sigaction old = {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &action, nullptr);
  }
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
}

int Temporary::Create(int dir_fd) {
  static std::mt19937_64 random{std::random_device{}()};
  Blocked blocked;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    snprintf(name, sizeof name, ".sheaf-%016llx", static_cast<unsigned long long>(random()));
    const int fd = openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      dir_fd_ = dir_fd;
      fd_ = fd;
      name_ = name;
      snprintf(g_name, sizeof g_name, "%s", name);
      g_dir_fd = dir_fd;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

int Temporary::Commit(const std::string& name, bool replace) {
  if (fd_ < 0) return EBADF;
  int err = 0;
  if (close(fd_) != 0) err = errno;
  fd_ = -1;
  Blocked blocked;
  if (err == 0) {
    int result;
    if (replace) {
      result = renameat(dir_fd_, name_.c_str(), dir_fd_, name.c_str());
    } else {
      result = renameat2(dir_fd_, name_.c_str(), dir_fd_, name.c_str(), RENAME_NOREPLACE);
      if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without the no-replace rename: a new link fails
        // just the same when the name is taken.
        result = linkat(dir_fd_, name_.c_str(), dir_fd_, name.c_str(), 0);
        if (result == 0) unlinkat(dir_fd_, name_.c_str(), 0);
      }
    }
    if (result != 0) err = errno;
  }
  if (err != 0) unlinkat(dir_fd_, name_.c_str(), 0);
  g_dir_fd = -1;
  name_.clear();
  return err;
}

void Temporary::Discard() {
  if (name_.empty()) return;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  Blocked blocked;
  unlinkat(dir_fd_, name_.c_str(), 0);
  g_dir_fd = -1;
  name_.clear();
}

}  // namespace sheaf
