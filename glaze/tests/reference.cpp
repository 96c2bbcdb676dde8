#include "reference.h"

namespace reference {

namespace {

struct Tile {
  int w, h, bytes, bits;
};

Tile tileOf(int format) {
  switch (format) {
    case 0:
    case 8:
      return {8, 8, 32, 4};
    case 14:
      return {8, 8, 32, 4};
    case 1:
    case 2:
    case 9:
      return {8, 4, 32, 8};
    case 6:
      return {4, 4, 64, 32};
    default:
      return {4, 4, 32, 16};
  }
}

// Repeats the top bits of a field of n bits to fill 8 bits.
int fill(int v, int n) {
  int out = 0, have = 0;
  while (have < 8) {
    out = (out << n) | v;
    have += n;
  }
  return out >> (have - 8);
}

uint8_t u8(int v) { return static_cast<uint8_t>(v); }

}  // namespace

size_t levelBytes(int format, int width, int height) {
  const Tile t = tileOf(format);
  return size_t((width + t.w - 1) / t.w) * size_t((height + t.h - 1) / t.h) * size_t(t.bytes);
}

void rgb565(uint16_t v, uint8_t out[4]) {
  out[0] = u8(fill(v >> 11, 5));
  out[1] = u8(fill((v >> 5) & 0x3F, 6));
  out[2] = u8(fill(v & 0x1F, 5));
  out[3] = 255;
}

void rgb5a3(uint16_t v, uint8_t out[4]) {
  if (v >> 15) {
    out[0] = u8(fill((v >> 10) & 0x1F, 5));
    out[1] = u8(fill((v >> 5) & 0x1F, 5));
    out[2] = u8(fill(v & 0x1F, 5));
    out[3] = 255;
  } else {
    out[3] = u8(fill((v >> 12) & 7, 3));
    out[0] = u8(fill((v >> 8) & 0xF, 4));
    out[1] = u8(fill((v >> 4) & 0xF, 4));
    out[2] = u8(fill(v & 0xF, 4));
  }
}

void ia8(uint16_t v, uint8_t out[4]) {
  out[0] = out[1] = out[2] = u8(v & 0xFF);
  out[3] = u8(v >> 8);
}

std::vector<uint8_t> decode(int format, int width, int height, const uint8_t* data,
                            const std::vector<uint16_t>& palette, int paletteFormat) {
  const Tile t = tileOf(format);
  const int tilesAcross = (width + t.w - 1) / t.w;
  std::vector<uint8_t> out(size_t(width) * size_t(height) * 4);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const uint8_t* tile =
          data + (size_t(y / t.h) * size_t(tilesAcross) + size_t(x / t.w)) * size_t(t.bytes);
      const int inX = x % t.w, inY = y % t.h;
      const int n = inY * t.w + inX;  // texel number inside the tile
      uint8_t* o = &out[(size_t(y) * size_t(width) + size_t(x)) * 4];
      auto fromPalette = [&](unsigned index) {
        if (index >= palette.size()) {
          o[0] = o[1] = o[2] = o[3] = 0;
        } else if (paletteFormat == 0) {
          ia8(palette[index], o);
        } else if (paletteFormat == 1) {
          rgb565(palette[index], o);
        } else {
          rgb5a3(palette[index], o);
        }
      };
      // Read only by the formats whose texels are that wide.
      auto word = [&] { return uint16_t(tile[2 * n] << 8 | tile[2 * n + 1]); };
      auto nibble = [&] { return n % 2 == 0 ? tile[n / 2] >> 4 : tile[n / 2] & 0xF; };
      switch (format) {
        case 0:
          o[0] = o[1] = o[2] = o[3] = u8(fill(nibble(), 4));
          break;
        case 1:
          o[0] = o[1] = o[2] = o[3] = tile[n];
          break;
        case 2:
          o[0] = o[1] = o[2] = u8(fill(tile[n] & 0xF, 4));
          o[3] = u8(fill(tile[n] >> 4, 4));
          break;
        case 3:
          ia8(word(), o);
          break;
        case 4:
          rgb565(word(), o);
          break;
        case 5:
          rgb5a3(word(), o);
          break;
        case 6:
          o[3] = tile[2 * n];
          o[0] = tile[2 * n + 1];
          o[1] = tile[32 + 2 * n];
          o[2] = tile[32 + 2 * n + 1];
          break;
        case 8:
          fromPalette(unsigned(nibble()));
          break;
        case 9:
          fromPalette(tile[n]);
          break;
        case 10:
          fromPalette(word() & 0x3FFF);
          break;
        case 14: {
          // Sub-blocks top-left, top-right, bottom-left, bottom-right.
          const uint8_t* b = tile + ((inY / 4) * 2 + inX / 4) * 8;
          const uint16_t c0 = uint16_t(b[0] << 8 | b[1]), c1 = uint16_t(b[2] << 8 | b[3]);
          uint8_t p[4][4];
          rgb565(c0, p[0]);
          rgb565(c1, p[1]);
          for (int c = 0; c < 3; ++c) {
            if (c0 > c1) {
              p[2][c] = u8((5 * p[0][c] + 3 * p[1][c]) / 8);
              p[3][c] = u8((3 * p[0][c] + 5 * p[1][c]) / 8);
            } else {
              p[2][c] = p[3][c] = u8((p[0][c] + p[1][c]) / 2);
            }
          }
          p[2][3] = 255;
          p[3][3] = c0 > c1 ? 255 : 0;
          const int index = (b[4 + inY % 4] >> (2 * (3 - inX % 4))) & 3;
          for (int c = 0; c < 4; ++c) o[c] = p[index][c];
          break;
        }
      }
    }
  return out;
}

}  // namespace reference
