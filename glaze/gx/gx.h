// The GameCube's and Wii's texture formats: tiles, level sizes, decoding to
// RGBA and encoding from RGBA (nearest representable values, palettes, CMPR
// blocks), and mip chains made from an image. Sides are 1..kMaxSide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image.h"

namespace glaze {

enum Format : uint8_t {
  kI4 = 0,
  kI8 = 1,
  kIA4 = 2,
  kIA8 = 3,
  kRGB565 = 4,
  kRGB5A3 = 5,
  kRGBA8 = 6,
  kC4 = 8,
  kC8 = 9,
  kC14X2 = 10,
  kCMPR = 14,
};

enum PaletteFormat : uint8_t { kPalIA8 = 0, kPalRGB565 = 1, kPalRGB5A3 = 2 };

struct FormatInfo {
  Format id;
  const char* name;
  int tileWidth;
  int tileHeight;
  int tileBytes;
  int maxEntries;  // palette entries an index can address; 0 without a palette
  bool grey;       // decodes to R = G = B
};

// The format with this id, or nullptr when the id names no texture format.
const FormatInfo* formatInfo(int id);
// By name (I4, I8, IA4, IA8, RGB565, RGB5A3, RGBA8, C4, C8, C14X2, CMPR).
const FormatInfo* formatByName(std::string_view name);
// "IA8", "RGB565", "RGB5A3"; nullptr for an unknown id.
const char* paletteFormatName(int id);
std::optional<PaletteFormat> paletteFormatByName(std::string_view name);

// Level k of a side of `full` texels: max(1, full >> k).
int levelSide(int full, int level);
// Levels of a whole chain down to 1 x 1: 1 + floor(log2(max(w, h))).
int chainLength(int width, int height);
bool isPowerOfTwo(int v);
// Bytes of one level: whole tiles.
uint64_t levelBytes(const FormatInfo& format, int width, int height);
// Bytes of `levels` levels back to back.
uint64_t chainBytes(const FormatInfo& format, int width, int height, int levels);

// ---------------------------------------------------------------------------
// Bit widths

// Widening by repeating the field's bits from the top.
inline int widen3(int v) { return (v << 5) | (v << 2) | (v >> 1); }
inline int widen4(int v) { return (v << 4) | v; }
inline int widen5(int v) { return (v << 3) | (v >> 2); }
inline int widen6(int v) { return (v << 2) | (v >> 4); }
// The code whose widened value is nearest to x (0..255).
int nearest3(int x);
int nearest4(int x);
int nearest5(int x);
int nearest6(int x);

// Grey value of a colour: the value itself when R = G = B, else luma.
int greyOf(int r, int g, int b);

// One 16-bit value of the texel formats / palette entries as RGBA.
void decodeRGB565(uint16_t v, uint8_t out[4]);
void decodeRGB5A3(uint16_t v, uint8_t out[4]);
void decodeIA8(uint16_t v, uint8_t out[4]);  // high byte alpha, low byte intensity
// The nearest value for an RGBA colour (RGB5A3: the closer of its two forms).
uint16_t encodeRGB565(const uint8_t rgba[4]);
uint16_t encodeRGB5A3(const uint8_t rgba[4]);
uint16_t encodeIA8(const uint8_t rgba[4]);
void decodePaletteEntry(PaletteFormat format, uint16_t v, uint8_t out[4]);
uint16_t encodePaletteEntry(PaletteFormat format, const uint8_t rgba[4]);

// ---------------------------------------------------------------------------
// Decoding

struct Palette {
  PaletteFormat format = kPalRGB5A3;
  std::vector<uint16_t> entries;
};

// Decodes one level of width x height texels from levelBytes() bytes at data
// into out (width * height * 4 bytes, RGBA). Palette formats need palette;
// an index at or past its end decodes to (0, 0, 0, 0). Returns how many
// texels had such an index.
uint64_t decodeLevel(const FormatInfo& format, int width, int height, const uint8_t* data,
                     const Palette* palette, uint8_t* out);

// The four colours of a CMPR sub-block (RGBA), by the console's rule.
void cmprPalette(uint16_t c0, uint16_t c1, uint8_t out[4][4]);

// ---------------------------------------------------------------------------
// Encoding

// All levels of a texture, encoded; palette formats carry their palette.
struct Encoded {
  std::vector<uint8_t> data;
  Palette palette;  // entries empty for formats without one
};

// Encodes the levels (level 0 first, each half the previous) in a format;
// a palette format gets one palette for all levels, in paletteFormat. Uses
// up to `threads` threads for CMPR.
Encoded encodeTexture(const FormatInfo& format, PaletteFormat paletteFormat,
                      const std::vector<Image>& levels, int threads = 1);

// One level of a format without a palette.
std::vector<uint8_t> encodeLevel(const FormatInfo& format, const Image& image, int threads = 1);
// One level of palette indices (C4, C8, C14X2) from an index per texel.
std::vector<uint8_t> encodeIndices(const FormatInfo& format, int width, int height,
                                   const std::vector<uint16_t>& indices);

// The palette of a palette texture: the exact colours when there are few
// enough of them (each colour taken to the nearest entry value), else a
// quantised set. Fills indices (one per texel of every level, level after
// level) and returns the entries (1..maxEntries of them).
std::vector<uint16_t> buildPalette(PaletteFormat format, int maxEntries,
                                   const std::vector<Image>& levels,
                                   std::vector<uint16_t>& indices);

// CMPR: one 4x4 sub-block of 16 RGBA texels in row order; texels whose bit
// in `valid` is clear lie past the level's edge and may decode to anything.
// Writes the 8 stored bytes.
void encodeCmprBlock(const uint8_t texels[16][4], uint16_t valid, uint8_t out[8]);
// A whole CMPR level.
std::vector<uint8_t> encodeCmprLevel(const Image& image, int threads = 1);

// ---------------------------------------------------------------------------
// Mip levels

// True when the image looks alpha-tested: it has texels below alpha 128 and
// nearly all of its alpha is close to 0 or 255.
bool isCutOut(const Image& image);
// How the levels of a format are filtered: colour weighted by alpha, or
// (I4, I8) the intensity alone, which the console shows as alpha too.
enum class MipFilter { kColour, kIntensity };
MipFilter mipFilterFor(const FormatInfo& format);

// `levels` levels from level 0: each a 2x2 box of the one above, computed
// without rounding in between. kColour weights colour by alpha, and for
// cut-out images scales each level's alpha so that the share of texels at
// or above 128 stays that of level 0; kIntensity boxes the grey value
// (greyOf) and writes it to every channel.
std::vector<Image> makeMipChain(const Image& base, int levels,
                                MipFilter filter = MipFilter::kColour);

}  // namespace glaze
