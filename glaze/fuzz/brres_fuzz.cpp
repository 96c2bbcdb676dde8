// libFuzzer harness over the BRRES and TEX0 readers and their editing: the
// input is read as a TEX0 file when it starts with TEX0, else as a BRRES
// file; every usable texture is decoded at every level, and one texture
// (picked by the input's last byte) is replaced by a small image in a
// format the input picks, palette formats included (which may make a PLT0
// and grow the index groups). The edited file must read back with as many
// textures, the replaced one as asked, and every other usable texture
// listed and decoded as before.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "container.h"
#include "harness.h"
#include "names.h"

namespace {

// Level 0 of every usable texture (the first 16), empty for the others.
std::vector<std::vector<uint8_t>> decodeAll(const glaze::Container& container) {
  std::vector<std::vector<uint8_t>> images;
  const auto& textures = container.textures();
  for (size_t i = 0; i < textures.size(); ++i) {
    if (glaze::fileNameOf(textures[i].name).empty()) __builtin_trap();
    images.emplace_back();
    if (!textures[i].problem.empty() || i >= 16) continue;
    std::vector<int> levels(size_t(container.levelCount(i)));
    for (size_t k = 0; k < levels.size(); ++k) levels[k] = int(k);
    glaze::Decoded out;
    std::string error;
    if (!container.decode(i, levels, out, error) || out.levels.size() != levels.size())
      __builtin_trap();
    images.back() = out.levels[0].rgba;
  }
  return images;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return -1;
  const glaze::MemorySource source(data, size);
  std::string error;
  const uint8_t bres[4] = {'b', 'r', 'e', 's'};
  // Either type, whatever the magic says, so that both readers see all.
  const bool tex0 = size >= 4 && std::memcmp(data, "TEX0", 4) == 0;
  const glaze::ContainerType* type =
      glaze::typeByMagic(tex0 ? data : bres, tex0 ? std::min<size_t>(size, 16) : 4, error);
  if (!type) std::abort();
  const auto container = type->open(source, "seed.tex0", error);
  if (!container) return 0;
  const auto& textures = container->textures();
  const auto before = decodeAll(*container);
  if (textures.empty()) return 0;

  const uint8_t pick = data[size - 1];
  const size_t target = size_t(pick) % textures.size();
  static const char* const kFormats[] = {"I4",    "I8", "IA4", "IA8",   "RGB565", "RGB5A3",
                                         "RGBA8", "C4", "C8",  "C14X2", "CMPR"};
  glaze::ReplaceRequest request;
  if (pick & 0x80) request.format = kFormats[(pick >> 1) % 11];
  request.levels = int(pick >> 4 & 1) - (pick & 8 ? 1 : 0);  // keep, one, or the whole chain
  if (!type->requestProblem(request).empty()) request.format.reset();
  const int side = 4 << (pick >> 5 & 1);
  const glaze::Image image = smallImage(uint32_t(size), side, side);
  const std::vector<std::string> oldFields = container->listFields(target);
  glaze::Edit edit;
  if (!glaze::planReplacement(*container, target, image, request, 1, edit, error)) return 0;

  const std::vector<uint8_t> bytes = edited(source, edit);
  const glaze::MemorySource editedSource(bytes.data(), bytes.size());
  const auto after = type->open(editedSource, "seed.tex0", error);
  if (!after || after->textures().size() != textures.size()) __builtin_trap();
  const std::vector<std::string> fields = after->listFields(target);
  if (!after->textures()[target].problem.empty() ||
      fields[0] != request.format.value_or(oldFields[0]) ||
      fields[1] != std::to_string(side) + "x" + std::to_string(side))
    __builtin_trap();
  const auto now = decodeAll(*after);
  for (size_t i = 0; i < textures.size(); ++i) {
    if (after->textures()[i].name != textures[i].name) __builtin_trap();
    // A damaged structure that claims bytes past the end of the file may
    // claim the bytes appended; a usable texture stays as it was.
    if (i == target || !textures[i].problem.empty()) continue;
    if (!after->textures()[i].problem.empty() || after->listFields(i) != container->listFields(i) ||
        now[i] != before[i])
      __builtin_trap();
  }
  return 0;
}
