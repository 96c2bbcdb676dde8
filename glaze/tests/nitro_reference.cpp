#include "nitro_reference.h"

#include <cstddef>

namespace nitroref {

namespace {

// The bits [bit, bit + count) of a little-endian byte string.
uint32_t bits(const std::vector<uint8_t>& bytes, uint64_t bit, int count) {
  uint32_t v = 0;
  for (int i = 0; i < count; ++i) {
    const uint64_t b = bit + uint64_t(i);
    v |= uint32_t(bytes[b / 8] >> (b % 8) & 1) << i;
  }
  return v;
}

uint8_t eight(int five) { return uint8_t(five * 8 + five / 4); }

struct Colour {
  int r, g, b;  // 5-bit
};

Colour colourOf(uint16_t v) { return {v & 31, v >> 5 & 31, v >> 10 & 31}; }

}  // namespace

std::vector<uint8_t> decode(int format, int width, int height, bool transparent0,
                            const std::vector<uint8_t>& texels, const std::vector<uint8_t>& index,
                            const std::vector<uint16_t>& palette, uint64_t* missing) {
  std::vector<uint8_t> out(size_t(width) * size_t(height) * 4, 0);
  uint64_t past = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint8_t* o = &out[(size_t(y) * size_t(width) + size_t(x)) * 4];
      const uint64_t n = uint64_t(y) * uint64_t(width) + uint64_t(x);
      int colourIndex = -1;  // a palette colour
      int alpha = 255;
      bool have = false;
      Colour c{};
      switch (format) {
        case 1: {  // A3I5
          const uint32_t v = bits(texels, 8 * n, 8);
          colourIndex = int(v & 31);
          const int a = int(v >> 5);
          alpha = eight(a * 4 + a / 2);
          break;
        }
        case 2:
        case 3:
        case 4: {
          const int bpp = format == 2 ? 2 : format == 3 ? 4 : 8;
          colourIndex = int(bits(texels, uint64_t(bpp) * n, bpp));
          if (transparent0 && colourIndex == 0) alpha = 0;
          break;
        }
        case 6: {  // A5I3
          const uint32_t v = bits(texels, 8 * n, 8);
          colourIndex = int(v & 7);
          alpha = eight(int(v >> 3));
          break;
        }
        case 7: {
          const uint32_t v = bits(texels, 16 * n, 16);
          c = colourOf(uint16_t(v));
          alpha = v & 0x8000 ? 255 : 0;
          have = true;
          break;
        }
        case 5: {
          const uint64_t block = uint64_t(y / 4) * uint64_t(width / 4) + uint64_t(x / 4);
          const int code = int(bits(texels, 32 * block + 2 * uint64_t(4 * (y % 4) + x % 4), 2));
          const uint32_t word = bits(index, 16 * block, 16);
          const uint32_t base = 2 * (word & 0x3FFF);
          const int mode = int(word >> 14);
          auto entry = [&](uint32_t k, Colour& into) {
            if (base + k >= palette.size()) return false;
            into = colourOf(palette[base + k]);
            return true;
          };
          Colour p0, p1;
          if ((mode == 0 || mode == 1) && code == 3) {
            alpha = 0;  // transparent: (0, 0, 0, 0)
            have = true;
            c = {0, 0, 0};
          } else if (code < 2 || mode == 0 || mode == 2) {
            have = entry(uint32_t(code), c);
          } else if (entry(0, p0) && entry(1, p1)) {
            have = true;
            if (mode == 1) {
              c = {(p0.r + p1.r) / 2, (p0.g + p1.g) / 2, (p0.b + p1.b) / 2};
            } else {
              const int w0 = code == 2 ? 5 : 3, w1 = 8 - w0;
              c = {(w0 * p0.r + w1 * p1.r) / 8, (w0 * p0.g + w1 * p1.g) / 8,
                   (w0 * p0.b + w1 * p1.b) / 8};
            }
          }
          if (!have) ++past;
          break;
        }
      }
      if (colourIndex >= 0) {
        if (size_t(colourIndex) < palette.size()) {
          c = colourOf(palette[size_t(colourIndex)]);
          have = true;
        } else {
          ++past;
        }
      }
      if (!have) continue;
      if (alpha == 0 && format == 5) {
        o[0] = o[1] = o[2] = o[3] = 0;
        continue;
      }
      o[0] = eight(c.r), o[1] = eight(c.g), o[2] = eight(c.b), o[3] = uint8_t(alpha);
    }
  if (missing) *missing = past;
  return out;
}

}  // namespace nitroref
