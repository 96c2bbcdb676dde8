// libFuzzer harness of kiln's OBJ reader and builder: any text is either
// refused with an Error naming the problem or read; a model that builds
// gives a file that kiln's own reader accepts and finds sound, with one
// prism per kept triangle, whose index the tests' independent reference
// finds every sampled hit in. The first byte picks the game.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "kiln.h"
#include "support.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "kiln-fuzz-obj: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  kiln::BuildOptions options;
  const kiln::Game games[] = {kiln::Game::kMk7, kiln::Game::kMkds, kiln::Game::kMkwii,
                              kiln::Game::kSmg};
  options.game = games[data[0] % 4];
  options.materialIdentifiers = {{"grass", 0x0005}};
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  try {
    const kiln::ObjModel model = kiln::readObj(text);
    if (model.triangles.empty() || model.triangles.size() > 4000) return 0;
    const kiln::BuildResult result = kiln::buildKcl(model, options);
    check(result.stats.prisms + result.stats.degenerate + result.stats.unrecoverable ==
              model.triangles.size(),
          "triangles went missing");
    const kiln::KclFile kcl(result.file);
    check(kcl.prismCount() == result.stats.prisms, "the file holds another number of prisms");
    check(kcl.game() == options.game, "the file reads as another game");
    check(kiln::checkKcl(kcl).empty(), "kiln -t finds fault with a file kiln made");
    const kilntest::Coverage coverage = kilntest::coverage(reference::File(result.file), 8, size);
    if (coverage.missed > 0) {
      std::fprintf(stderr, "%s\n", coverage.firstMiss.c_str());
      check(false, "a hit the index does not list");
    }
  } catch (const kiln::Error&) {
    // Refused with a message.
  }
  return 0;
}
