// libFuzzer harness of one format's reader (SHEAF_FUZZ_FORMAT): every
// input is listed, checked and extracted (all of it, then the first listed
// paths again with -f) into a temporary folder that holds symbolic links,
// named like the seeds' entries, to a trap folder outside it. The trap must
// stay empty and nothing may appear beside the target. An input that
// starts with neither the format's magic nor a wrapper's gets the magic,
// so that the mutations stay on this format.

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive.h"
#include "extract.h"
#include "messages.h"

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

// The temporary folder of this run, removed when the fuzzer exits.
char g_base[] = "/tmp/sheaf-fuzz-XXXXXX";
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
  std::vector<uint8_t> input(data, data + size);
  const char* magic = SHEAF_FUZZ_MAGIC;
  const bool wrapped = (size >= 4 && memcmp(data, "Yaz0", 4) == 0) || (size > 0 && data[0] == 0x10);
  const bool other_form = size >= 4 && memcmp(data, "CRAR", 4) == 0;
  if (!wrapped && !other_form) {
    for (size_t i = 0; i < 4 && i < input.size(); ++i) input[i] = static_cast<uint8_t>(magic[i]);
  }
  sheaf::Messages quiet("fuzz", nullptr);
  sheaf::Archive archive;
  if (!archive.OpenMemory(input.data(), input.size(), quiet)) return 0;
  std::vector<std::string> paths;
  archive.tree().ForEachFileInPathOrder([&](uint32_t, const std::string& path) {
    if (paths.size() < 3) paths.push_back(path);
  });

  const std::string target = Base() + "/target";
  const std::string trap = Base() + "/trap";
  mkdir(target.c_str(), 0755);
  mkdir(trap.c_str(), 0755);
  for (const char* name : {"a", "dir", "sub", "x", "@00000", "a.txt", "."}) {
    if (std::string(name) == ".") continue;
    if (symlink(trap.c_str(), (target + "/" + name).c_str()) != 0) abort();
  }
  sheaf::ExtractOptions options;
  sheaf::Extract(archive, target, options, quiet);
  options.force = true;
  options.paths = paths;
  options.paths.push_back("dir/../..");
  sheaf::Extract(archive, target, options, quiet);
  if (!Names(trap).empty()) abort();       // written through a link
  if (Names(Base()).size() != 2) abort();  // written beside the target
  RemoveTree(target);
  return 0;
}
