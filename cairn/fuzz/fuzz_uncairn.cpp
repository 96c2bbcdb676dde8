// libFuzzer harness of uncairn's image reader: every input is an image file
// that is listed, verified and extracted (twice: all of it, then the first
// listed paths again with -f) into a temporary folder. Symbolic links in that
// folder, named like the seeds' entries, point at a trap folder outside it;
// the trap must stay empty and nothing may appear beside the target.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "extractor.h"
#include "ivfc_reader.h"
#include "romfs_tree.h"
#include "safefs/fuzz_trap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("image", MFD_CLOEXEC);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  const uncairn::Report ignore = [](const std::string&) {};

  uncairn::InputFile file;
  if (!file.Open(fd, "image", ignore)) abort();
  const uncairn::Region whole(file, 0, file.size());
  uncairn::IvfcReader image;
  if (image.Open(whole, "image", ignore)) {
    uncairn::RomfsTree tree;
    const bool tree_read = tree.Load(image, ignore);
    image.set_holdings([&tree](uint64_t begin, uint64_t end) { return tree.Holdings(begin, end); });
    std::vector<std::string> paths;
    tree.ForEachFileInPathOrder([&](uint32_t, const std::string& path) {
      if (paths.size() < 3) paths.push_back(path);
    });
    uncairn::Level3Stream stream(image);
    stream.CheckRest();

    if (tree_read) {
      static safefs::FuzzTrap trap("uncairn");
      const std::string target = trap.Prepare({"a.txt", "dir", "sub", "d1", "beta.txt", "x"});
      uncairn::ExtractOptions options;
      uncairn::Extract(image, tree, target, options, ignore);
      options.force = true;
      options.paths = paths;
      options.paths.push_back("dir/../..");
      uncairn::Extract(image, tree, target, options, ignore);
      trap.Check();
    }
  }
  close(fd);
  return 0;
}
