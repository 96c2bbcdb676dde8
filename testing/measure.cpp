// kit-measure [--stdin FILE] [--stdout FILE] PROGRAM [ARGUMENT...]
//
// Runs the program and prints one line on standard output: its wall-clock
// time and its CPU time (user + system) in seconds, its peak resident
// memory in KiB, and its exit status (128 + the signal when one ended it).
// The program's standard input is FILE or /dev/null, its standard output
// FILE or discarded; its standard error is left as it is.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

bool Redirect(const char* path, int flags, int fd) {
  const int opened = open(path, flags, 0644);
  return opened >= 0 && dup2(opened, fd) >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* stdin_path = "/dev/null";
  const char* stdout_path = "/dev/null";
  int first = 1;
  while (first + 1 < argc && argv[first][0] == '-') {
    if (std::strcmp(argv[first], "--stdin") == 0) {
      stdin_path = argv[first + 1];
    } else if (std::strcmp(argv[first], "--stdout") == 0) {
      stdout_path = argv[first + 1];
    } else {
      break;
    }
    first += 2;
  }
  if (first >= argc) {
    std::fprintf(stderr,
                 "usage: kit-measure [--stdin FILE] [--stdout FILE] PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  std::fflush(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    return 2;
  }
  if (child == 0) {
    if (!Redirect(stdin_path, O_RDONLY, 0) ||
        !Redirect(stdout_path, O_WRONLY | O_CREAT | O_TRUNC, 1)) {
      std::perror("kit-measure");
      _exit(126);
    }
    execv(argv[first], argv + first);
    std::perror(argv[first]);
    _exit(127);
  }
  int status = 0;
  rusage usage = {};
  if (wait4(child, &status, 0, &usage) != child) {
    std::perror("wait4");
    return 2;
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::printf("%.4f %.4f %ld %d\n", wall, cpu, usage.ru_maxrss, code);
  return 0;
}
