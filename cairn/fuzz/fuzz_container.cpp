// libFuzzer harness of uncairn's container readers (card images, NCCHs,
// CIAs, bare images): every input is recognized and described (-i), with
// the usual choice and with partition 1 and content 1; where a RomFS can be
// read, the container's hashes are checked and the RomFS is listed,
// verified and extracted into a temporary folder whose links lead to a trap
// folder that must stay empty.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "container.h"
#include "extractor.h"
#include "ivfc_reader.h"
#include "romfs_tree.h"
#include "safefs/fuzz_trap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("container", MFD_CLOEXEC);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  const uncairn::Report ignore = [](const std::string&) {};
  uncairn::InputFile file;
  if (!file.Open(fd, "container", ignore)) abort();

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
    uncairn::IvfcReader image;
    if (!image.Open(romfs, "container", ignore)) continue;
    uncairn::RomfsTree tree;
    const bool tree_read = tree.Load(image, ignore);
    image.set_holdings([&tree](uint64_t begin, uint64_t end) { return tree.Holdings(begin, end); });
    uncairn::Level3Stream stream(image);
    stream.CheckRest();
    if (tree_read) {
      static safefs::FuzzTrap trap("uncairn-container");
      const std::string target = trap.Prepare({"a.txt", "dir", "sub", "d1", "beta.txt", "x"});
      uncairn::ExtractOptions options;
      uncairn::Extract(image, tree, target, options, ignore);
      trap.Check();
    }
  }
  close(fd);
  return 0;
}
