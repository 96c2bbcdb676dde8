#include "safefs/interrupts.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace safefs {

namespace {

constexpr int kEnding[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
constexpr int kSlots = 32;

// 0 free, 1 being filled, 2 names a file to remove.
std::atomic<int> g_state[kSlots];
int g_dir_fd[kSlots];
char g_name[kSlots][PATH_MAX];
const char* volatile g_message = nullptr;

void RemoveTemporariesAndEnd(int signal_number) {
  for (int i = 0; i < kSlots; ++i) {
    if (g_state[i].load() == 2) unlinkat(g_dir_fd[i], g_name[i], 0);
  }
  if (const char* message = g_message) {
    if (write(STDERR_FILENO, message, strlen(message)) < 0) {
      // Nothing more can be said.
    }
    _exit(1);
  }
  // The handler was reset on entry: the signal, pending until this
  // returns, ends the program as it would have.
  raise(signal_number);
}

}  // namespace

InterruptsBlocked::InterruptsBlocked() {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : kEnding) sigaddset(&set, s);
  sigprocmask(SIG_BLOCK, &set, &old_);
}

InterruptsBlocked::~InterruptsBlocked() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

void HandleInterrupts(std::initializer_list<int> signals, const char* message, bool ignore_pipe) {
  g_message = message;
  struct sigaction action = {};
  action.sa_handler = RemoveTemporariesAndEnd;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (const int s : kEnding) sigaddset(&action.sa_mask, s);
  for (const int s : signals) {
    struct sigaction old = {};
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
  signal(SIGXFSZ, SIG_IGN);
  if (ignore_pipe) signal(SIGPIPE, SIG_IGN);
}

int RegisterTemporary(int dir_fd, const char* name) {
  const size_t length = strlen(name);
  if (length >= PATH_MAX) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (g_state[i].compare_exchange_strong(expected, 1)) {
      g_dir_fd[i] = dir_fd;
      memcpy(g_name[i], name, length + 1);
      g_state[i].store(2);
      return i;
    }
  }
  return -1;
}

void ForgetTemporary(int slot) {
  if (slot >= 0 && slot < kSlots) g_state[slot].store(0);
}

}  // namespace safefs
