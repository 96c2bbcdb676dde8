// xwin: the demo's window-manager stand-in on a bare X server.
//   xwin find <pid> <title> [seconds]   prints the X id of the window
//   xwin close <xid>                    asks the window to close
// Exit status 0 on success, 1 when the window was not found or the display
// cannot be reached, 2 on wrong arguments.
#include "xwindow.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

// The process runs and has not ended (an ended child that its parent has not
// waited for yet still answers kill(pid, 0)).
bool running(pid_t pid) {
  if (kill(pid, 0) != 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::size_t close = line.rfind(')');
  return close == std::string::npos || line.size() < close + 3 || line[close + 2] != 'Z';
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc >= 4 && argc <= 5 && std::strcmp(argv[1], "find") == 0) {
    pid_t pid = static_cast<pid_t>(std::atol(argv[2]));
    double seconds = argc == 5 ? std::atof(argv[4]) : 10;
    unsigned long xid = find_window(pid, argv[3], seconds, [pid] { return running(pid); });
    if (!xid) return 1;
    std::printf("%lu\n", xid);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "close") == 0)
    return close_window(std::strtoul(argv[2], nullptr, 0)) ? 0 : 1;
  std::fprintf(stderr, "usage: xwin find <pid> <title> [seconds] | xwin close <xid>\n");
  return 2;
}
