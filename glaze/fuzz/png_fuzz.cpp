// libFuzzer harness over glaze's PNG path: the input is read as a PNG file;
// an image that decodes is made into mip levels, encoded in a format the
// image picks, and decoded again. Encoding what was decoded must give the
// same texels back (formats that round to nearest values are idempotent;
// CMPR and quantised palettes are not held to it).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "gx/gx.h"
#include "png_io.h"

namespace {

std::vector<glaze::Image> decodeChain(const glaze::FormatInfo& f, const glaze::Encoded& encoded,
                                      const std::vector<glaze::Image>& shape) {
  std::vector<glaze::Image> out;
  size_t at = 0;
  for (const glaze::Image& level : shape) {
    glaze::Image image(level.width, level.height);
    glaze::decodeLevel(f, level.width, level.height, encoded.data.data() + at, &encoded.palette,
                       image.rgba.data());
    at += glaze::levelBytes(f, level.width, level.height);
    out.push_back(std::move(image));
  }
  if (at != encoded.data.size()) __builtin_trap();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  glaze::Image image;
  std::string error;
  // A smaller limit than the program's keeps each run short; checksums
  // are not checked, so that changed bytes reach the decoder.
  if (!glaze::readPng(data, size, 128, image, error, false)) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  if (image.width < 1 || image.height < 1 || image.width > 128 || image.height > 128 ||
      image.rgba.size() != size_t(image.width) * size_t(image.height) * 4)
    __builtin_trap();

  static const int kFormats[] = {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 14};
  uint32_t h = 0;
  for (uint8_t b : image.rgba) h = h * 31 + b;
  int format = kFormats[h % 11];
  if (format == 14 && image.width * image.height > 64 * 64) format = 5;
  const glaze::FormatInfo& f = *glaze::formatInfo(format);
  const auto paletteFormat = glaze::PaletteFormat(h / 11 % 3);
  const bool square = glaze::isPowerOfTwo(image.width) && glaze::isPowerOfTwo(image.height);
  const int levels = square ? glaze::chainLength(image.width, image.height) : 1;

  const auto chain = glaze::makeMipChain(image, levels);
  const auto encoded = glaze::encodeTexture(f, paletteFormat, chain);
  const auto decoded = decodeChain(f, encoded, chain);
  if (format == 14 || (f.maxEntries > 0 && encoded.palette.entries.size() >= size_t(f.maxEntries)))
    return 0;
  const auto again = decodeChain(f, glaze::encodeTexture(f, paletteFormat, decoded), decoded);
  for (size_t k = 0; k < decoded.size(); ++k)
    if (decoded[k].rgba != again[k].rgba) __builtin_trap();
  return 0;
}
