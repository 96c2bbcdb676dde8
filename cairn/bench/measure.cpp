// cairn_bench_measure PROGRAM ARGS...: runs the program and prints its wall
// time in seconds and its peak resident memory in KiB on standard error.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s PROGRAM ARGS...\n", argv[0]);
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return 1;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  fprintf(stderr, "%.3f %ld\n", seconds, usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
