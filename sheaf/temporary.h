// Files written beside their name under a hidden temporary name and
// renamed into place only when whole. An interrupt (SIGINT, SIGTERM,
// SIGHUP, SIGQUIT) removes the one being written, says so and ends the run
// with status 1; a file-size limit makes writes fail instead of killing.
#pragma once

#include <string>

namespace sheaf {

// Installs the handlers (a signal that is ignored, as SIGHUP under nohup,
// stays ignored).
void HandleInterrupts();

class Temporary {
 public:
  Temporary() = default;
  ~Temporary() { Discard(); }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  // Creates a new empty file in the folder dir_fd (0666 less the umask).
  // The descriptor, or -1 with errno set.
  int Create(int dir_fd);
  // Closes it and renames it to name, replacing an existing file only when
  // replace: 0, or the errno (EEXIST when name is taken), and then the
  // temporary file is gone.
  int Commit(const std::string& name, bool replace);
  // Closes and removes it, if any.
  void Discard();
  int fd() const { return fd_; }

 private:
  int dir_fd_ = -1;
  int fd_ = -1;
  std::string name_;
};

}  // namespace sheaf
