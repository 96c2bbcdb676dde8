// What a container of DS textures does with one texture, wherever it keeps
// it: -F read, the image that replaces a texture encoded against the
// palette it is drawn with, texels that show what they show now kept as
// they are stored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "container.h"
#include "nitro/nitro.h"

namespace glaze::nitro {

// -F names one of the seven formats (in any case); -P names a palette,
// which the file tells; -M is for mip levels, which DS textures lack: the
// usage error, or "".
std::string requestProblem(const ReplaceRequest& request);
// The format -F asks for, or `current`.
int requestedFormat(const ReplaceRequest& request, int current);

// A texture as stored.
struct Stored {
  int format = kNone;
  int width = 0, height = 0;
  bool transparent0 = false;
  std::vector<uint8_t> data, index;  // texel bytes; 4x4 palette-index words
  Texels texels() const { return {format, width, height, transparent0, data.data(), index.data()}; }
};

// The palette a replacement is encoded against.
struct PaletteUse {
  std::vector<uint16_t> colours;  // as stored (its stored length)
  // The texture's own: no texture but the replaced ones shows it, so it may
  // be rebuilt for the image.
  bool own = false;
};

// What becomes of the palette.
enum class PaletteFate {
  kNone,       // the format has no palette
  kKept,       // as it was: it holds what the texels need, or is not the texture's own
  kExact,      // rebuilt with the image's colours
  kQuantised,  // rebuilt with the format's full number of colours, quantised
  kMade4x4,    // made by the 4x4 encoder
};

struct Replacement {
  Stored texture;  // the new texels (format, size, flag, bytes)
  PaletteFate fate = PaletteFate::kNone;
  std::vector<uint16_t> palette;  // the new colours when rebuilt; at least the old length
  size_t colours = 0;             // colours the rebuilt palette was made of
  uint64_t missing = 0;           // texels whose colour a kept palette lacked
};

// The 4x4 palette budget of a texture's own palette: its stored length,
// grown in proportion (multiples of 8) for an image of more texels; a
// texture that was not 4x4 gets the common default for its size
// (8 * sqrt(texels) up to 128 x 128, else 256 * (log2(texels) - 10),
// rounded up to 16) when that is more.
int budget4x4(const Stored& old, size_t storedColours, int width, int height);

// Encodes image (sides already checked) in `format` for a texture that was
// `old`. Bit 29 is kept, and set when a texel that changes has alpha below
// 128 in a pal4/16/256 texture. False with the reason when the palette
// cannot serve (it holds no colours).
bool encodeReplacement(const Stored& old, int format, const Image& image, const PaletteUse& palette,
                       int threads, Replacement& out, std::string& error);

}  // namespace glaze::nitro
