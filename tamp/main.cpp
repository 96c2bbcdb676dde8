// tamp <file>: writes <file>.yaz0, the Yaz0-compressed form of <file>.

#include <csignal>
#include <cstdio>

#include "tamp.h"

namespace {

int report(const tamp::Outcome& outcome) {
  std::fflush(stdout);
  std::fputs(outcome.message.c_str(), stderr);
  return outcome.status;
}

}  // namespace

int main(int argc, char** argv) {
  // The console only reports; a console that goes away (a pipe closed by
  // its reader) must not kill the program halfway through the file.
  std::signal(SIGPIPE, SIG_IGN);
  // A file-size limit must show as a failed write, reported and cleaned up,
  // not as a signal that ends the program with a partial file behind.
  std::signal(SIGXFSZ, SIG_IGN);
  if (argc < 2) return 1;
  const char* path = argv[1];
  tamp::InputFile input;
  if (tamp::Outcome opened = input.open(path); opened.failed()) return report(opened);
  std::printf("input file size: %d\n", input.size());
  std::fflush(stdout);
  if (tamp::Outcome read = input.read(); read.failed()) return report(read);
  return report(tamp::encodeAll(input.data(), input.size(), path, input.id()));
}
