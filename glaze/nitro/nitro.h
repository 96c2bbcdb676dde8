// The Nintendo DS's texture formats: the seven texel formats, decoded as the
// console draws them (RGB555 colours widened by bit replication, the 4x4
// blends computed on 5-bit channels and truncated), and encoded from RGBA
// (nearest values, palettes exact or quantised, the 4x4 compressed format
// with a palette shared by all blocks). Sides are powers of two, 8 to 1024.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "image.h"

namespace glaze::nitro {

enum Format : uint8_t {
  kNone = 0,
  kA3I5 = 1,
  kPal4 = 2,
  kPal16 = 3,
  kPal256 = 4,
  kTex4x4 = 5,
  kA5I3 = 6,
  kDirect = 7,
};

// "a3i5", "pal4", "pal16", "pal256", "tex4x4", "a5i3", "direct"; nullptr for
// 0 and unknown ids.
const char* formatName(int format);
// By name, in any case; kNone when the name is none of them.
Format formatByName(std::string_view name);
// Colours an index of the format reaches (4x4: the 14-bit window address's
// reach); 0 for direct colour.
int paletteCapacity(int format);
// Bytes of the texel data (4x4: the texel words only) and of the 4x4
// format's palette-index words.
uint64_t texelBytes(int format, int width, int height);
uint64_t indexBytes(int width, int height);
// 8, 16, ... 1024: a side a texture can have.
bool isSide(int side);

// ---------------------------------------------------------------------------
// Colours

inline int widen5(int v) { return v << 3 | v >> 2; }
// The 5-bit value whose widened value is nearest to x (0..255).
int nearest5(int x);
// RGB555 (red in bits 0-4) of an 8-bit colour, each channel to its nearest.
uint16_t rgb555(const uint8_t rgb[3]);
void widenRgb555(uint16_t colour, uint8_t rgb[3]);
// Alpha of the A3I5 and A5I3 formats: stored value to 8 bits, and the
// stored value nearest to an 8-bit alpha.
int widenA3(int a);
int nearestA3(int alpha);
int nearestA5(int alpha);

// ---------------------------------------------------------------------------
// Decoding

// A texture's stored bytes as the console reads them.
struct Texels {
  int format = kNone;
  int width = 0, height = 0;
  bool transparent0 = false;       // bit 29: colour 0 of pal4/16/256 is transparent
  const uint8_t* data = nullptr;   // texelBytes()
  const uint8_t* index = nullptr;  // 4x4 only: indexBytes()
};

// The stored value of each texel of a format other than 4x4, row by row
// (A3I5/A5I3/pal: the byte's field or the index, direct: the 16-bit word),
// and packed back.
std::vector<uint16_t> unpackTexels(const Texels& texels);
std::vector<uint8_t> packTexels(int format, int width, int height,
                                const std::vector<uint16_t>& values);

// Decodes into rgba (width * height * 4 bytes) with a palette of RGB555
// colours (its stored length); a texel whose colour lies past the palette
// is (0, 0, 0, 0). Returns how many texels had such a colour.
uint64_t decode(const Texels& texels, const std::vector<uint16_t>& palette, uint8_t* rgba);

// The number of palette colours the texels use (the highest colour any
// texel shows, plus one; 0 when none does).
size_t coloursUsed(const Texels& texels);

// The four colours of a 4x4 block's mode over its window's colours (c[0..3],
// those past the palette marked missing): RGBA, and which were missing.
struct BlockColours {
  uint8_t rgba[4][4];
  bool missing[4];
};
BlockColours blockColours(int mode, const uint16_t colour[4], const bool present[4]);

// ---------------------------------------------------------------------------
// Palettes

// Colours as the quantisers and encoders see them: an 8-bit colour with a
// weight (texels, scaled by how visible they are).
struct WeightedColour {
  uint8_t rgb[3];
  double weight;
};

// Quantises colours to at most `count` RGB555 entries (a variance-based
// split of the colour histogram, then k-means on it to convergence).
std::vector<uint16_t> quantise(const std::vector<WeightedColour>& colours, int count);

// The index in [first, palette.size()) of the colour nearest to rgb
// (squared distance of the widened colours); the lowest index among equals.
int nearestColour(const std::vector<uint16_t>& palette, int first, const uint8_t rgb[3]);

// ---------------------------------------------------------------------------
// The 4x4 compressed format

struct Tex4x4 {
  std::vector<uint8_t> texels;    // a 32-bit word per block
  std::vector<uint8_t> index;     // a 16-bit palette-index word per block
  std::vector<uint16_t> palette;  // the colours it uses (a fixed palette: unchanged)
};

// Encodes an image (sides multiples of 4) into 4x4 blocks with a palette of
// at most `budget` colours made for it (an even number, at least 2). Texels
// below alpha 128 are transparent (modes 0 and 1).
Tex4x4 encode4x4(const Image& image, int budget, int threads);
// Encodes against a palette that stays as it is: each block takes the window
// and mode of least error. With `wanted` (a flag per block, in row order),
// only those blocks are searched; the others' words are left to the caller.
Tex4x4 encode4x4Fixed(const Image& image, const std::vector<uint16_t>& palette, int threads,
                      const std::vector<bool>* wanted = nullptr);

}  // namespace glaze::nitro
