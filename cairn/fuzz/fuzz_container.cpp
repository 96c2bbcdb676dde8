// libFuzzer harness of uncairn's container readers (card images, NCCHs,
// CIAs, bare images): every input is recognized and described (-i), with
// the usual choice and with partition 1 and content 1; where a RomFS can be
// read, the container's hashes are checked and the RomFS is listed,
// verified and extracted (read_romfs.h).

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "container.h"
#include "read_romfs.h"
#include "region.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("container", MFD_CLOEXEC);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  uncairn::InputFile file;
  if (!file.Open(fd, "container", [](const std::string&) {})) abort();

  uncairn::Choice choices[3];
  choices[1].partition = 1;
  choices[2].content = 1;
  for (const uncairn::Choice& choice : choices) {
    const auto container = uncairn::OpenContainer(file, choice);
    if (!container) continue;
    std::vector<std::string> lines;
    container->Describe(lines);
    uncairn::Region romfs;
    if (!container->Romfs(romfs)) continue;
    container->Check(true);
    ReadRomfs(romfs);
  }
  close(fd);
  return 0;
}
