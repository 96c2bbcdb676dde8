// safefs-interrupted DIR MODE: starts three hidden files in DIR, says
// "ready" and waits for a signal. MODE "message" ends with a message and
// status 1; "raise" ends by the signal.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "safefs/interrupts.h"
#include "safefs/temporary.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const bool message = strcmp(argv[2], "message") == 0;
  safefs::HandleInterrupts({SIGINT, SIGTERM, SIGHUP}, message ? "test: interrupted\n" : nullptr);
  const int dir = open(argv[1], O_RDONLY | O_DIRECTORY);
  std::vector<std::unique_ptr<safefs::TemporaryFile>> files;
  for (const char* name : {"a", "b", "c"}) {
    files.push_back(std::make_unique<safefs::TemporaryFile>(
        safefs::TemporaryNaming{"test", safefs::TemporaryNaming::Form::kBeside}));
    if (files.back()->Create(dir, name) < 0) return 3;
  }
  std::puts("ready");
  std::fflush(stdout);
  for (;;) pause();
}
