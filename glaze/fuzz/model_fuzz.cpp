// libFuzzer harness over glaze's containers and their editing: the input is
// read as the type its magic tells (a J3D model, a DS file), else as a BTI
// file; every texture it holds is decoded at every level, names are made
// into file names, and the first texture is replaced by a small image in a
// format the input picks. The edited file must read back with the new
// texture in it, as large as the image, in the format asked for and with
// the levels asked for.
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

int chainLength(int w, int h) {
  int levels = 1;
  while ((std::max(w, h) >> levels) > 0) ++levels;
  return levels;
}

void decodeAll(const glaze::Container& container) {
  size_t decoded = 0;
  const auto& textures = container.textures();
  for (size_t i = 0; i < textures.size(); ++i) {
    const std::string file = glaze::fileNameOf(textures[i].name);
    if (file.empty() || file[0] == '.' || file.find('/') != std::string::npos) __builtin_trap();
    if (container.listFields(i).empty()) __builtin_trap();
    if (!textures[i].problem.empty() || decoded++ >= 8) continue;
    std::vector<int> levels(size_t(container.levelCount(i)));
    for (size_t k = 0; k < levels.size(); ++k) levels[k] = int(k);
    glaze::Decoded out;
    std::string error;
    // The reader said the texture's blocks are inside the file.
    if (!container.decode(i, levels, out, error)) __builtin_trap();
    if (out.levels.size() != levels.size()) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Headers claiming thousands of textures in a short input only repeat
  // the same work.
  if (size > 65536) return -1;
  const glaze::MemorySource source(data, size);
  std::string error;
  const glaze::ContainerType* type =
      glaze::typeByMagic(data, std::min(size, glaze::kMagicBytes), error);
  if (!type) type = glaze::typeByName("seed.bti");
  if (!type) std::abort();
  const auto container = type->open(source, "seed", error);
  if (!container) return 0;
  const auto& textures = container->textures();
  if (textures.size() > 4096) return 0;
  decodeAll(*container);
  if (textures.empty()) return 0;

  // The replacement: format, levels and size from the input's last bytes.
  const uint8_t pick = size > 0 ? data[size - 1] : 0;
  static const char* const kFormats[] = {"I4",    "I8", "IA4", "IA8",   "RGB565", "RGB5A3",
                                         "RGBA8", "C4", "C8",  "C14X2", "CMPR"};
  glaze::ReplaceRequest request;
  if (pick & 0x80) request.format = kFormats[pick % 11];
  request.levels = (pick >> 4) % 3 - 1;  // keep, whole chain, or one
  // Types of other consoles' formats (the DS's, without mip levels) keep
  // their texture's format and levels.
  if (!type->requestProblem(request).empty()) request = glaze::ReplaceRequest();
  if (!type->requestProblem(request).empty()) __builtin_trap();
  const int side = 4 << (pick >> 5 & 1);
  const glaze::Image image = smallImage(uint32_t(size), side, side + (pick & 4));
  const int oldLevels = textures[0].problem.empty() ? container->levelCount(0) : 0;
  const std::string oldFormat = container->listFields(0)[0];
  glaze::Edit edit;
  if (!glaze::planReplacement(*container, 0, image, request, 1, edit, error)) return 0;

  const std::vector<uint8_t> bytes = edited(source, edit);
  const glaze::MemorySource editedSource(bytes.data(), bytes.size());
  const auto after = type->open(editedSource, "seed", error);
  if (!after || after->textures().size() != textures.size()) __builtin_trap();
  const int chain = chainLength(image.width, image.height);
  const int levels = request.levels > 0    ? request.levels
                     : request.levels == 0 ? std::min(oldLevels, chain)
                                           : chain;
  const std::vector<std::string> fields = after->listFields(0);
  if (!after->textures()[0].problem.empty() || fields[0] != request.format.value_or(oldFormat) ||
      fields[1] != std::to_string(image.width) + "x" + std::to_string(image.height) ||
      after->levelCount(0) != levels)
    __builtin_trap();
  return 0;
}
