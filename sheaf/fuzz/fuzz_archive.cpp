// libFuzzer harness of one format's reader (SHEAF_FUZZ_MAGIC, or for a
// format known by content SHEAF_FUZZ_NAME, the file name it goes by):
// every input is listed, checked (-t) and extracted (all of it, then the
// first listed paths again with -f) into a temporary folder that holds
// symbolic links, named like the seeds' entries, to a trap folder outside
// it. The trap must stay empty and nothing may appear beside the target.
// An input that starts with neither the format's magic nor a wrapper's gets
// the magic, so that the mutations stay on this format. An input that reads
// without problems is extracted once more into a clean folder, and a new
// archive like it is planned from that tree: its pieces must make up the
// size it gives.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive.h"
#include "extract.h"
#include "formats.h"
#include "messages.h"
#include "safefs/fuzz_trap.h"
#include "scan.h"

namespace {

#ifndef SHEAF_FUZZ_NAME
#define SHEAF_FUZZ_NAME ""
#endif

char g_plan_dir[64];

// Plans the archive like the input from its clean extraction.
void PlanLike(sheaf::Archive& archive) {
  if (g_plan_dir[0] == '\0') {
    snprintf(g_plan_dir, sizeof g_plan_dir, "/tmp/sheaf-fuzz-plan-XXXXXX");
    if (mkdtemp(g_plan_dir) == nullptr) abort();
    atexit([] { safefs::RemoveTree(g_plan_dir); });
  }
  const std::string dir = std::string(g_plan_dir) + "/tree";
  safefs::RemoveTree(dir);
  sheaf::Messages quiet("fuzz", nullptr);
  sheaf::ExtractOptions options;
  if (!sheaf::Extract(archive, dir, options, quiet) || quiet.problems() > 0) return;
  sheaf::HostTree host;
  if (!sheaf::ScanTree(dir, {}, quiet, &host)) return;
  sheaf::PackJob job{host, quiet, &archive.input(), "fuzz"};
  sheaf::Plan plan;
  if (!sheaf::UnitOf(archive.format()).plan(archive.model(), false, job, &plan)) return;
  uint64_t size = plan.head.size();
  for (const sheaf::Piece& piece : plan.pieces) {
    size += piece.size;
    if (piece.kind == sheaf::Piece::kBytes && plan.blocks[piece.from].size() != piece.size) abort();
    if (piece.kind == sheaf::Piece::kCopy && piece.from + piece.size > archive.input().size()) {
      abort();
    }
  }
  if (size != plan.size) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> input(data, data + size);
  const char* magic = SHEAF_FUZZ_MAGIC;
  const bool wrapped = (size >= 4 && memcmp(data, "Yaz0", 4) == 0) || (size > 0 && data[0] == 0x10);
  const bool other_form = size >= 4 && memcmp(data, "CRAR", 4) == 0;
  if (!wrapped && !other_form) {
    for (size_t i = 0; i < strlen(magic) && i < input.size(); ++i) {
      input[i] = static_cast<uint8_t>(magic[i]);
    }
  }
  sheaf::Messages quiet("fuzz", nullptr);
  sheaf::Archive archive;
  if (!archive.OpenMemory(input.data(), input.size(), quiet, SHEAF_FUZZ_NAME)) return 0;
  archive.Verify(quiet);
  std::vector<std::string> paths;
  archive.tree().ForEachFileInPathOrder([&](uint32_t, const std::string& path) {
    if (paths.size() < 3) paths.push_back(path);
  });

  static safefs::FuzzTrap trap("sheaf");
  const std::string target =
      trap.Prepare({"a", "dir", "sub", "x", "@00000", "a.txt", "data", "header.bin", "overlay"});
  sheaf::ExtractOptions options;
  sheaf::Extract(archive, target, options, quiet);
  options.force = true;
  options.paths = paths;
  options.paths.push_back("dir/../..");
  sheaf::Extract(archive, target, options, quiet);
  trap.Check();
  if (quiet.problems() == 0) PlanLike(archive);
  return 0;
}
