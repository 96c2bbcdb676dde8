// libFuzzer harness of uncairn's image reader: every input is an image file
// that is listed, verified and extracted (twice: all of it, then the first
// listed paths again with -f) into a temporary folder. Symbolic links in that
// folder, named like the seeds' entries, point at a trap folder outside it;
// the trap must stay empty and nothing may appear beside the target.

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "extractor.h"
#include "ivfc_reader.h"
#include "romfs_tree.h"

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void RemoveTree(const std::string& path) {
  nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  return names;
}

// The temporary folder of this run, removed when the fuzzer exits. Plain
// characters, which outlive every destructor that runs at exit.
char g_base[] = "/tmp/uncairn-fuzz-XXXXXX";

bool g_base_made = false;

std::string Base() {
  if (!g_base_made) {
    if (mkdtemp(g_base) == nullptr) abort();
    g_base_made = true;
    atexit([] { RemoveTree(g_base); });
  }
  return g_base;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("image", MFD_CLOEXEC);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  const uncairn::Report ignore = [](const std::string&) {};

  uncairn::IvfcReader image;
  if (image.Open(fd, "image", ignore)) {
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
      const std::string target = Base() + "/target";
      const std::string trap = Base() + "/trap";
      mkdir(target.c_str(), 0755);
      mkdir(trap.c_str(), 0755);
      for (const char* name : {"a.txt", "dir", "sub", "d1", "beta.txt", "x"}) {
        if (symlink(trap.c_str(), (target + "/" + name).c_str()) != 0) abort();
      }
      uncairn::ExtractOptions options;
      uncairn::Extract(image, tree, target, options, ignore);
      options.force = true;
      options.paths = paths;
      options.paths.push_back("dir/../..");
      uncairn::Extract(image, tree, target, options, ignore);
      if (!Names(trap).empty()) abort();       // written through a link
      if (Names(Base()).size() != 2) abort();  // written beside the target
      RemoveTree(target);
    }
  }
  close(fd);
  return 0;
}
