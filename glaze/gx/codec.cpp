// Format table, level sizes, per-value conversions, the decoders of all
// formats and the encoders of the formats stored texel by texel.
#include <algorithm>
#include <array>
#include <cstring>

#include "bytes.h"
#include "gx.h"

namespace glaze {

namespace {

constexpr FormatInfo kFormats[] = {
    {kI4, "I4", 8, 8, 32, 0, true},          {kI8, "I8", 8, 4, 32, 0, true},
    {kIA4, "IA4", 8, 4, 32, 0, true},        {kIA8, "IA8", 4, 4, 32, 0, true},
    {kRGB565, "RGB565", 4, 4, 32, 0, false}, {kRGB5A3, "RGB5A3", 4, 4, 32, 0, false},
    {kRGBA8, "RGBA8", 4, 4, 64, 0, false},   {kC4, "C4", 8, 8, 32, 16, false},
    {kC8, "C8", 8, 4, 32, 256, false},       {kC14X2, "C14X2", 4, 4, 32, 16384, false},
    {kCMPR, "CMPR", 8, 8, 32, 0, false},
};

constexpr const char* kPaletteNames[] = {"IA8", "RGB565", "RGB5A3"};

// For each 8-bit value, the code of `bits` bits whose widened value is
// nearest (the lower one on a tie).
template <int (*Widen)(int), int kCodes>
std::array<uint8_t, 256> nearestTable() {
  std::array<uint8_t, 256> table{};
  for (int x = 0; x < 256; ++x) {
    int best = 0, bestError = 1 << 30;
    for (int c = 0; c < kCodes; ++c) {
      const int e = std::abs(Widen(c) - x);
      if (e < bestError) best = c, bestError = e;
    }
    table[size_t(x)] = uint8_t(best);
  }
  return table;
}

const std::array<uint8_t, 256> kNearest3 = nearestTable<widen3, 8>();
const std::array<uint8_t, 256> kNearest4 = nearestTable<widen4, 16>();
const std::array<uint8_t, 256> kNearest5 = nearestTable<widen5, 32>();
const std::array<uint8_t, 256> kNearest6 = nearestTable<widen6, 64>();

void put(uint8_t* out, int r, int g, int b, int a) {
  out[0] = uint8_t(r);
  out[1] = uint8_t(g);
  out[2] = uint8_t(b);
  out[3] = uint8_t(a);
}

// Calls texel(tileIndex, x, y, t) for each texel position of each tile in
// stored order: t counts texels within the tile.
template <typename F>
void forEachTileTexel(const FormatInfo& f, int width, int height, F texel) {
  size_t tile = 0;
  for (int ty = 0; ty < height; ty += f.tileHeight)
    for (int tx = 0; tx < width; tx += f.tileWidth, ++tile) {
      int t = 0;
      for (int y = ty; y < ty + f.tileHeight; ++y)
        for (int x = tx; x < tx + f.tileWidth; ++x, ++t) texel(tile, x, y, t);
    }
}

}  // namespace

const FormatInfo* formatInfo(int id) {
  for (const FormatInfo& f : kFormats)
    if (f.id == id) return &f;
  return nullptr;
}

const FormatInfo* formatByName(std::string_view name) {
  for (const FormatInfo& f : kFormats)
    if (name == f.name) return &f;
  return nullptr;
}

const char* paletteFormatName(int id) { return id >= 0 && id <= 2 ? kPaletteNames[id] : nullptr; }

std::optional<PaletteFormat> paletteFormatByName(std::string_view name) {
  for (int i = 0; i < 3; ++i)
    if (name == kPaletteNames[i]) return PaletteFormat(i);
  return std::nullopt;
}

int levelSide(int full, int level) { return level >= 31 ? 1 : std::max(1, full >> level); }

int chainLength(int width, int height) {
  int n = 1;
  for (int side = std::max(width, height); side > 1; side >>= 1) ++n;
  return n;
}

bool isPowerOfTwo(int v) { return v > 0 && (v & (v - 1)) == 0; }

uint64_t levelBytes(const FormatInfo& f, int width, int height) {
  const uint64_t across = (uint64_t(width) + uint64_t(f.tileWidth) - 1) / uint64_t(f.tileWidth);
  const uint64_t down = (uint64_t(height) + uint64_t(f.tileHeight) - 1) / uint64_t(f.tileHeight);
  return across * down * uint64_t(f.tileBytes);
}

uint64_t chainBytes(const FormatInfo& f, int width, int height, int levels) {
  uint64_t total = 0;
  for (int k = 0; k < levels; ++k)
    total += levelBytes(f, levelSide(width, k), levelSide(height, k));
  return total;
}

int nearest3(int x) { return kNearest3[size_t(x)]; }
int nearest4(int x) { return kNearest4[size_t(x)]; }
int nearest5(int x) { return kNearest5[size_t(x)]; }
int nearest6(int x) { return kNearest6[size_t(x)]; }

int greyOf(int r, int g, int b) {
  if (r == g && g == b) return r;
  return (77 * r + 150 * g + 29 * b + 128) >> 8;
}

void decodeRGB565(uint16_t v, uint8_t out[4]) {
  put(out, widen5(v >> 11), widen6((v >> 5) & 63), widen5(v & 31), 255);
}

void decodeRGB5A3(uint16_t v, uint8_t out[4]) {
  if (v & 0x8000)
    put(out, widen5((v >> 10) & 31), widen5((v >> 5) & 31), widen5(v & 31), 255);
  else
    put(out, widen4((v >> 8) & 15), widen4((v >> 4) & 15), widen4(v & 15), widen3((v >> 12) & 7));
}

void decodeIA8(uint16_t v, uint8_t out[4]) { put(out, v & 255, v & 255, v & 255, v >> 8); }

uint16_t encodeRGB565(const uint8_t c[4]) {
  return uint16_t(nearest5(c[0]) << 11 | nearest6(c[1]) << 5 | nearest5(c[2]));
}

uint16_t encodeRGB5A3(const uint8_t c[4]) {
  const int r5 = nearest5(c[0]), g5 = nearest5(c[1]), b5 = nearest5(c[2]);
  const int r4 = nearest4(c[0]), g4 = nearest4(c[1]), b4 = nearest4(c[2]), a3 = nearest3(c[3]);
  auto sq = [](int d) { return d * d; };
  const int opaque =
      sq(widen5(r5) - c[0]) + sq(widen5(g5) - c[1]) + sq(widen5(b5) - c[2]) + sq(255 - c[3]);
  const int translucent =
      sq(widen4(r4) - c[0]) + sq(widen4(g4) - c[1]) + sq(widen4(b4) - c[2]) + sq(widen3(a3) - c[3]);
  if (opaque <= translucent) return uint16_t(0x8000 | r5 << 10 | g5 << 5 | b5);
  return uint16_t(a3 << 12 | r4 << 8 | g4 << 4 | b4);
}

uint16_t encodeIA8(const uint8_t c[4]) { return uint16_t(c[3] << 8 | greyOf(c[0], c[1], c[2])); }

void decodePaletteEntry(PaletteFormat format, uint16_t v, uint8_t out[4]) {
  switch (format) {
    case kPalIA8:
      return decodeIA8(v, out);
    case kPalRGB565:
      return decodeRGB565(v, out);
    default:
      return decodeRGB5A3(v, out);
  }
}

uint16_t encodePaletteEntry(PaletteFormat format, const uint8_t rgba[4]) {
  switch (format) {
    case kPalIA8:
      return encodeIA8(rgba);
    case kPalRGB565:
      return encodeRGB565(rgba);
    default:
      return encodeRGB5A3(rgba);
  }
}

void cmprPalette(uint16_t c0, uint16_t c1, uint8_t out[4][4]) {
  decodeRGB565(c0, out[0]);
  decodeRGB565(c1, out[1]);
  for (int ch = 0; ch < 3; ++ch) {
    const int a = out[0][ch], b = out[1][ch];
    if (c0 > c1) {
      out[2][ch] = uint8_t((5 * a + 3 * b) >> 3);
      out[3][ch] = uint8_t((3 * a + 5 * b) >> 3);
    } else {
      out[2][ch] = out[3][ch] = uint8_t((a + b) >> 1);
    }
  }
  out[2][3] = 255;
  out[3][3] = c0 > c1 ? 255 : 0;
}

uint64_t decodeLevel(const FormatInfo& f, int width, int height, const uint8_t* data,
                     const Palette* palette, uint8_t* out) {
  uint64_t pastPalette = 0;
  auto dest = [&](int x, int y) { return out + (size_t(y) * size_t(width) + size_t(x)) * 4; };
  auto inside = [&](int x, int y) { return x < width && y < height; };
  auto paletteTexel = [&](unsigned index, uint8_t* o) {
    if (!palette || index >= palette->entries.size()) {
      ++pastPalette;
      put(o, 0, 0, 0, 0);
    } else {
      decodePaletteEntry(palette->format, palette->entries[index], o);
    }
  };

  if (f.id == kCMPR) {
    size_t tile = 0;
    for (int ty = 0; ty < height; ty += 8)
      for (int tx = 0; tx < width; tx += 8, ++tile)
        for (int sub = 0; sub < 4; ++sub) {
          const uint8_t* block = data + tile * 32 + size_t(sub) * 8;
          uint8_t colours[4][4];
          cmprPalette(be16(block), be16(block + 2), colours);
          const int bx = tx + (sub & 1) * 4, by = ty + (sub >> 1) * 4;
          for (int row = 0; row < 4; ++row)
            for (int col = 0; col < 4; ++col) {
              if (!inside(bx + col, by + row)) continue;
              const int index = (block[4 + row] >> (6 - 2 * col)) & 3;
              std::memcpy(dest(bx + col, by + row), colours[index], 4);
            }
        }
    return 0;
  }

  forEachTileTexel(f, width, height, [&](size_t tile, int x, int y, int t) {
    if (!inside(x, y)) return;
    const uint8_t* tileData = data + tile * size_t(f.tileBytes);
    uint8_t* o = dest(x, y);
    switch (f.id) {
      case kI4: {
        const int i = widen4((tileData[t / 2] >> (t % 2 ? 0 : 4)) & 15);
        put(o, i, i, i, i);
        break;
      }
      case kI8: {
        const int i = tileData[t];
        put(o, i, i, i, i);
        break;
      }
      case kIA4: {
        const int i = widen4(tileData[t] & 15), a = widen4(tileData[t] >> 4);
        put(o, i, i, i, a);
        break;
      }
      case kIA8:
        put(o, tileData[2 * t + 1], tileData[2 * t + 1], tileData[2 * t + 1], tileData[2 * t]);
        break;
      case kRGB565:
        decodeRGB565(be16(tileData + 2 * t), o);
        break;
      case kRGB5A3:
        decodeRGB5A3(be16(tileData + 2 * t), o);
        break;
      case kRGBA8:
        put(o, tileData[2 * t + 1], tileData[32 + 2 * t], tileData[32 + 2 * t + 1],
            tileData[2 * t]);
        break;
      case kC4:
        paletteTexel((tileData[t / 2] >> (t % 2 ? 0 : 4)) & 15, o);
        break;
      case kC8:
        paletteTexel(tileData[t], o);
        break;
      case kC14X2:
        paletteTexel(be16(tileData + 2 * t) & 0x3FFF, o);
        break;
      default:
        break;
    }
  });
  return pastPalette;
}

std::vector<uint8_t> encodeLevel(const FormatInfo& f, const Image& image, int threads) {
  if (f.id == kCMPR) return encodeCmprLevel(image, threads);
  const int width = image.width, height = image.height;
  std::vector<uint8_t> out(levelBytes(f, width, height), 0);
  forEachTileTexel(f, width, height, [&](size_t tile, int x, int y, int t) {
    // Padding texels repeat the edge, which keeps them harmless.
    const uint8_t* c = image.at(std::min(x, width - 1), std::min(y, height - 1));
    uint8_t* tileData = out.data() + tile * size_t(f.tileBytes);
    const int grey = greyOf(c[0], c[1], c[2]);
    auto put16 = [&](int at, uint16_t v) {
      tileData[at] = uint8_t(v >> 8);
      tileData[at + 1] = uint8_t(v);
    };
    switch (f.id) {
      case kI4:
        tileData[t / 2] = uint8_t(tileData[t / 2] | nearest4(grey) << (t % 2 ? 0 : 4));
        break;
      case kI8:
        tileData[t] = uint8_t(grey);
        break;
      case kIA4:
        tileData[t] = uint8_t(nearest4(c[3]) << 4 | nearest4(grey));
        break;
      case kIA8:
        tileData[2 * t] = c[3];
        tileData[2 * t + 1] = uint8_t(grey);
        break;
      case kRGB565:
        put16(2 * t, encodeRGB565(c));
        break;
      case kRGB5A3:
        put16(2 * t, encodeRGB5A3(c));
        break;
      case kRGBA8:
        tileData[2 * t] = c[3];
        tileData[2 * t + 1] = c[0];
        tileData[32 + 2 * t] = c[1];
        tileData[32 + 2 * t + 1] = c[2];
        break;
      default:
        break;
    }
  });
  return out;
}

std::vector<uint8_t> encodeIndices(const FormatInfo& f, int width, int height,
                                   const std::vector<uint16_t>& indices) {
  std::vector<uint8_t> out(levelBytes(f, width, height), 0);
  forEachTileTexel(f, width, height, [&](size_t tile, int x, int y, int t) {
    const unsigned index =
        indices[size_t(std::min(y, height - 1)) * size_t(width) + size_t(std::min(x, width - 1))];
    uint8_t* tileData = out.data() + tile * size_t(f.tileBytes);
    switch (f.id) {
      case kC4:
        tileData[t / 2] = uint8_t(tileData[t / 2] | (index & 15) << (t % 2 ? 0 : 4));
        break;
      case kC8:
        tileData[t] = uint8_t(index);
        break;
      default:
        tileData[2 * t] = uint8_t((index >> 8) & 0x3F);
        tileData[2 * t + 1] = uint8_t(index);
        break;
    }
  });
  return out;
}

Encoded encodeTexture(const FormatInfo& f, PaletteFormat paletteFormat,
                      const std::vector<Image>& levels, int threads) {
  Encoded encoded;
  if (f.maxEntries == 0) {
    for (const Image& level : levels) {
      const auto bytes = encodeLevel(f, level, threads);
      encoded.data.insert(encoded.data.end(), bytes.begin(), bytes.end());
    }
    return encoded;
  }
  std::vector<uint16_t> indices;
  encoded.palette.format = paletteFormat;
  encoded.palette.entries = buildPalette(paletteFormat, f.maxEntries, levels, indices);
  size_t first = 0;
  for (const Image& level : levels) {
    const size_t n = size_t(level.width) * size_t(level.height);
    const std::vector<uint16_t> part(indices.begin() + long(first),
                                     indices.begin() + long(first + n));
    const auto bytes = encodeIndices(f, level.width, level.height, part);
    encoded.data.insert(encoded.data.end(), bytes.begin(), bytes.end());
    first += n;
  }
  return encoded;
}

}  // namespace glaze
