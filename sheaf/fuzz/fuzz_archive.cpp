// libFuzzer harness of one format's reader (SHEAF_FUZZ_FORMAT): every
// input is listed, checked and extracted (all of it, then the first listed
// paths again with -f) into a temporary folder that holds symbolic links,
// named like the seeds' entries, to a trap folder outside it. The trap must
// stay empty and nothing may appear beside the target. An input that
// starts with neither the format's magic nor a wrapper's gets the magic,
// so that the mutations stay on this format.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "archive.h"
#include "extract.h"
#include "messages.h"
#include "safefs/fuzz_trap.h"

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

  static safefs::FuzzTrap trap("sheaf");
  const std::string target = trap.Prepare({"a", "dir", "sub", "x", "@00000", "a.txt"});
  sheaf::ExtractOptions options;
  sheaf::Extract(archive, target, options, quiet);
  options.force = true;
  options.paths = paths;
  options.paths.push_back("dir/../..");
  sheaf::Extract(archive, target, options, quiet);
  trap.Check();
  return 0;
}
