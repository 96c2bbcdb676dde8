// Interrupts that end a run while files are being written. A fixed table of
// the temporary files in progress lets the handler remove them without
// allocating; the signals are held off while an entry is made, renamed or
// removed, so that the handler never meets a file half named.
#pragma once

#include <signal.h>

#include <initializer_list>

namespace safefs {

// SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE held off for the object's
// life.
class InterruptsBlocked {
 public:
  InterruptsBlocked();
  ~InterruptsBlocked();
  InterruptsBlocked(const InterruptsBlocked&) = delete;
  InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;

 private:
  sigset_t old_;
};

// Installs the handler on `signals` (a signal ignored when the program
// started, as SIGHUP under nohup, stays ignored). It removes every file
// registered below; then, with a message, writes it to standard error and
// ends with status 1, else ends by the signal itself, as it would have.
// SIGXFSZ is ignored, so that a file-size limit makes a write fail (and the
// file be removed) instead of killing the run; with ignore_pipe, SIGPIPE too.
void HandleInterrupts(std::initializer_list<int> signals, const char* message = nullptr,
                      bool ignore_pipe = false);

// The files the handler removes: a slot each. Register returns the slot
// (-1 when all are taken: the file is then simply not removed by an
// interrupt); dir_fd is a folder or AT_FDCWD, name at most PATH_MAX - 1
// bytes. Both are to be called with the interrupts blocked.
int RegisterTemporary(int dir_fd, const char* name);
void ForgetTemporary(int slot);

}  // namespace safefs
