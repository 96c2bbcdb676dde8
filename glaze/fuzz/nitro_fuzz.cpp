// libFuzzer harness over glaze's DS files: the reader, the palette
// pairing, every texture decoded, then two replacements planned, written
// and read back. A texture's own export put back must give the file byte
// for byte; an image of another size and format must read back as that
// size and format, every texture outside the replaced data showing what it
// showed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "container.h"
#include "containers/g3d.h"
#include "names.h"

namespace {

struct Edited {
  char* buffer = nullptr;
  size_t length = 0;
  ~Edited() { std::free(buffer); }
};

// The file with the edit made; traps when writing fails.
void write(const glaze::Source& source, const glaze::Edit& edit, Edited& out) {
  FILE* stream = open_memstream(&out.buffer, &out.length);
  if (!stream) std::abort();
  if (!glaze::writeEdited(source, edit, stream)) __builtin_trap();
  std::fclose(stream);
}

glaze::Image randomImage(uint32_t seed, int w, int h) {
  glaze::Image image(w, h);
  for (size_t i = 0; i < image.rgba.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    // Few colours, often opaque: palettes that hold them and ones that do not.
    image.rgba[i] = i % 4 == 3 ? ((seed >> 24) < 200 ? 255 : uint8_t(seed >> 16))
                               : uint8_t((seed >> 24) & 0xE0);
  }
  return image;
}

// The texels of every usable texture (empty for damaged ones).
std::vector<std::vector<uint8_t>> decodeAll(const glaze::Container& c) {
  std::vector<std::vector<uint8_t>> out;
  for (size_t i = 0; i < c.textures().size(); ++i) {
    if (glaze::fileNameOf(c.textures()[i].name).empty()) __builtin_trap();
    if (c.listFields(i).size() != 4) __builtin_trap();
    if (!c.textures()[i].problem.empty()) {
      out.emplace_back();
      continue;
    }
    glaze::Decoded d;
    std::string error;
    if (!c.decode(i, {0}, d, error) || d.levels.size() != 1) __builtin_trap();
    out.push_back(d.levels[0].rgba);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return -1;
  const glaze::MemorySource source(data, size);
  std::string error;
  const auto file = glaze::g3d::kType.open(source, "seed", error);
  if (!file) return 0;
  const auto& textures = file->textures();
  const std::vector<std::vector<uint8_t>> before = decodeAll(*file);
  if (textures.empty()) return 0;
  const uint8_t pick = data[size - 1], more = size > 1 ? data[size - 2] : 0;
  const size_t target = pick % textures.size();
  if (!textures[target].problem.empty()) return 0;

  // The export put back.
  {
    glaze::Decoded d;
    file->decode(target, {0}, d, error);
    glaze::Edit edit;
    if (glaze::planReplacement(*file, target, d.levels[0], {}, 1, edit, error)) {
      Edited out;
      write(source, edit, out);
      // Sharers with another bit 29 take the texture's: then bytes change.
      const auto& entries = static_cast<const glaze::g3d::File&>(*file).entries();
      bool sameFlags = true;
      for (size_t s : textures[target].sharing)
        sameFlags = sameFlags && entries[s].transparent0 == entries[target].transparent0;
      if (sameFlags && (out.length != size || std::memcmp(out.buffer, data, size) != 0))
        __builtin_trap();
    }
  }

  // Another image, in a format and with a palette the input picks.
  static const char* const kFormats[] = {"a3i5",   "pal4", "pal16", "pal256",
                                         "tex4x4", "a5i3", "direct"};
  glaze::ReplaceRequest request;
  if (pick & 0x80) request.format = kFormats[(pick >> 3) % 7];
  if (more & 1) request.palette = "#" + std::to_string((more >> 1) % 4);
  if (request.palette && request.format && *request.format == std::string("direct"))
    request.palette.reset();
  if (!glaze::g3d::kType.requestProblem(request).empty()) __builtin_trap();
  const glaze::Image image =
      randomImage(uint32_t(size), 8 << (pick >> 5 & 1), 8 << (more >> 6 & 1));
  glaze::Edit edit;
  if (!glaze::planReplacement(*file, target, image, request, 1, edit, error)) return 0;
  Edited out;
  write(source, edit, out);
  const glaze::MemorySource edited(reinterpret_cast<uint8_t*>(out.buffer), out.length);
  const auto after = glaze::g3d::kType.open(edited, "seed", error);
  if (!after || after->textures().size() != textures.size()) __builtin_trap();
  const std::vector<std::string> fields = after->listFields(target);
  const std::string wanted = request.format.value_or(file->listFields(target)[0]);
  if (!after->textures()[target].problem.empty() || fields[0] != wanted ||
      fields[1] != std::to_string(image.width) + "x" + std::to_string(image.height))
    __builtin_trap();
  const std::vector<std::vector<uint8_t>> now = decodeAll(*after);
  std::vector<size_t> group = textures[target].sharing;
  group.push_back(target);
  for (size_t t = 0; t < textures.size(); ++t) {
    if (std::find(group.begin(), group.end(), t) != group.end() || before[t].empty()) continue;
    // Unless it is drawn with another palette now (palettes found by the
    // colours the texels use may change as palettes grow), it shows what it
    // showed.
    if (file->listFields(t)[2].substr(0, file->listFields(t)[2].rfind('/')) !=
        after->listFields(t)[2].substr(0, after->listFields(t)[2].rfind('/')))
      continue;
    if (now[t] != before[t]) __builtin_trap();
  }
  return 0;
}
