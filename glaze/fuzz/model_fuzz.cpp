// libFuzzer harness over glaze's model and BTI reader and its editing: the
// input is read as a model (a J3D magic) or as a BTI file; every texture it
// holds is decoded at every level, names are made into file names, and the
// first texture is replaced by a small image in a format the input picks.
// The edited file must read back with the new texture in it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "model.h"

namespace {

glaze::Image smallImage(uint32_t seed, int w, int h) {
  glaze::Image image(w, h);
  for (size_t i = 0; i < image.rgba.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    image.rgba[i] = uint8_t(seed >> 24);
  }
  return image;
}

void decodeAll(const glaze::Source& source, const glaze::Model& model) {
  size_t decoded = 0;
  for (const glaze::Texture& t : model.textures) {
    const std::string file = glaze::fileNameOf(t.name);
    if (file.empty() || file[0] == '.' || file.find('/') != std::string::npos) __builtin_trap();
    if (!t.problem.empty() || decoded++ >= 8) continue;
    std::vector<uint8_t> data;
    glaze::Palette palette;
    std::string error;
    if (!glaze::readTextureData(source, t, t.header.levels(), data, palette, error))
      __builtin_trap();  // the reader said its blocks are inside the file
    const glaze::FormatInfo& f = *t.format();
    size_t at = 0;
    for (int k = 0; k < t.header.levels(); ++k) {
      const int w = glaze::levelSide(t.header.width(), k),
                h = glaze::levelSide(t.header.height(), k);
      std::vector<uint8_t> rgba(size_t(w) * size_t(h) * 4);
      glaze::decodeLevel(f, w, h, data.data() + at, &palette, rgba.data());
      at += glaze::levelBytes(f, w, h);
    }
    if (at != data.size()) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Headers claiming thousands of textures in a short input only repeat
  // the same work.
  if (size > 65536) return -1;
  const glaze::MemorySource source(data, size);
  std::optional<glaze::Kind> kind = size >= 8 ? glaze::j3dKind(data) : std::nullopt;
  glaze::Model model;
  std::string error;
  if (!glaze::readModel(source, kind.value_or(glaze::Kind::kBti), "seed", model, error)) return 0;
  if (model.textures.size() > 4096) return 0;
  decodeAll(source, model);
  if (model.textures.empty()) return 0;

  // The replacement: format, levels and size from the input's last bytes.
  const uint8_t pick = size > 0 ? data[size - 1] : 0;
  static const int kFormats[] = {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 14};
  glaze::ReplaceOptions options;
  if (pick & 0x80) options.format = glaze::formatInfo(kFormats[pick % 11]);
  options.levels = (pick >> 4) % 3 - 1;  // keep, whole chain, or one
  const int side = 4 << (pick >> 5 & 1);
  const glaze::Image image = smallImage(uint32_t(size), side, side + (pick & 4));
  glaze::Edit edit;
  if (!glaze::planReplacement(source, model, 0, image, options, 1, edit, error)) return 0;

  char* buffer = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&buffer, &length);
  if (!out) std::abort();
  if (!glaze::writeEdited(source, edit, out)) __builtin_trap();
  std::fclose(out);
  const glaze::MemorySource edited(reinterpret_cast<uint8_t*>(buffer), length);
  glaze::Model after;
  if (!glaze::readModel(edited, model.kind, "seed", after, error)) __builtin_trap();
  if (after.textures.size() != model.textures.size()) __builtin_trap();
  const glaze::Texture& t = after.textures[0];
  if (!t.problem.empty() || t.header.format() != edit.format || t.header.width() != image.width ||
      t.header.height() != image.height || t.header.levels() != edit.levels)
    __builtin_trap();
  std::free(buffer);
  return 0;
}
