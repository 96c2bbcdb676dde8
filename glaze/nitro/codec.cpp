// The DS formats' table, colour conversions, packing and decoding.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>

#include "nitro.h"

namespace glaze::nitro {

namespace {

struct FormatRow {
  const char* name;
  int bitsPerTexel;  // 4x4: the texel words alone
  int capacity;
};

constexpr FormatRow kFormats[8] = {
    {nullptr, 0, 0},    {"a3i5", 8, 32},      {"pal4", 2, 4}, {"pal16", 4, 16},
    {"pal256", 8, 256}, {"tex4x4", 2, 32768}, {"a5i3", 8, 8}, {"direct", 16, 0},
};

// Nearest stored value of each 8-bit value, for a widening function over
// `levels` values.
template <int levels, typename Widen>
std::array<uint8_t, 256> nearestTable(Widen widen) {
  std::array<uint8_t, 256> table{};
  for (int x = 0; x < 256; ++x) {
    int best = 0;
    for (int v = 1; v < levels; ++v)
      if (std::abs(widen(v) - x) < std::abs(widen(best) - x)) best = v;
    table[size_t(x)] = uint8_t(best);
  }
  return table;
}

const std::array<uint8_t, 256> kNearest5 = nearestTable<32>([](int v) { return widen5(v); });
const std::array<uint8_t, 256> kNearestA3 = nearestTable<8>([](int v) { return widenA3(v); });

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Channel c (0 red, 1 green, 2 blue) of an RGB555 colour.
int channel(uint16_t colour, int c) { return colour >> (5 * c) & 31; }

void setColour(uint8_t out[4], uint16_t colour, uint8_t alpha) {
  widenRgb555(colour, out);
  out[3] = alpha;
}

// 5-bit channels blended (a·wa + b·wb) / 8, truncated, as the console does.
uint16_t blend(uint16_t a, uint16_t b, int wa, int wb) {
  uint16_t out = 0;
  for (int c = 0; c < 3; ++c)
    out = uint16_t(out | ((channel(a, c) * wa + channel(b, c) * wb) >> 3) << (5 * c));
  return out;
}

}  // namespace

const char* formatName(int format) {
  return format > 0 && format < 8 ? kFormats[format].name : nullptr;
}

Format formatByName(std::string_view name) {
  for (int f = 1; f < 8; ++f) {
    const std::string_view known = kFormats[f].name;
    if (known.size() == name.size() &&
        std::equal(known.begin(), known.end(), name.begin(),
                   [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); }))
      return Format(f);
  }
  return kNone;
}

int paletteCapacity(int format) { return format > 0 && format < 8 ? kFormats[format].capacity : 0; }

uint64_t texelBytes(int format, int width, int height) {
  if (format <= 0 || format >= 8) return 0;
  return uint64_t(width) * uint64_t(height) * uint64_t(kFormats[format].bitsPerTexel) / 8;
}

uint64_t indexBytes(int width, int height) { return uint64_t(width) * uint64_t(height) / 8; }

bool isSide(int side) { return side >= 8 && side <= 1024 && (side & (side - 1)) == 0; }

int nearest5(int x) { return kNearest5[size_t(std::clamp(x, 0, 255))]; }

uint16_t rgb555(const uint8_t rgb[3]) {
  return uint16_t(kNearest5[rgb[0]] | kNearest5[rgb[1]] << 5 | kNearest5[rgb[2]] << 10);
}

void widenRgb555(uint16_t colour, uint8_t rgb[3]) {
  for (int c = 0; c < 3; ++c) rgb[c] = uint8_t(widen5(channel(colour, c)));
}

int widenA3(int a) { return widen5(a << 2 | a >> 1); }
int nearestA3(int alpha) { return kNearestA3[size_t(std::clamp(alpha, 0, 255))]; }
int nearestA5(int alpha) { return nearest5(alpha); }

std::vector<uint16_t> unpackTexels(const Texels& t) {
  const size_t n = size_t(t.width) * size_t(t.height);
  std::vector<uint16_t> values(n);
  for (size_t i = 0; i < n; ++i) {
    switch (t.format) {
      case kPal4:
        values[i] = t.data[i / 4] >> (2 * (i % 4)) & 3;
        break;
      case kPal16:
        values[i] = t.data[i / 2] >> (4 * (i % 2)) & 15;
        break;
      case kDirect:
        values[i] = le16(t.data + 2 * i);
        break;
      default:
        values[i] = t.data[i];
    }
  }
  return values;
}

std::vector<uint8_t> packTexels(int format, int width, int height,
                                const std::vector<uint16_t>& values) {
  std::vector<uint8_t> data(size_t(texelBytes(format, width, height)), 0);
  for (size_t i = 0; i < values.size(); ++i) {
    const uint16_t v = values[i];
    switch (format) {
      case kPal4:
        data[i / 4] = uint8_t(data[i / 4] | (v & 3) << (2 * (i % 4)));
        break;
      case kPal16:
        data[i / 2] = uint8_t(data[i / 2] | (v & 15) << (4 * (i % 2)));
        break;
      case kDirect:
        data[2 * i] = uint8_t(v);
        data[2 * i + 1] = uint8_t(v >> 8);
        break;
      default:
        data[i] = uint8_t(v);
    }
  }
  return data;
}

BlockColours blockColours(int mode, const uint16_t colour[4], const bool present[4]) {
  BlockColours out{};
  auto set = [&](int k, bool available, uint16_t value) {
    out.missing[k] = !available;
    if (available) setColour(out.rgba[k], value, 255);
  };
  const bool both = present[0] && present[1];
  set(0, present[0], colour[0]);
  set(1, present[1], colour[1]);
  switch (mode & 3) {
    case 0:
      set(2, present[2], colour[2]);
      break;  // code 3: transparent (0, 0, 0, 0)
    case 1:
      set(2, both, both ? blend(colour[0], colour[1], 4, 4) : 0);
      break;
    case 2:
      set(2, present[2], colour[2]);
      set(3, present[3], colour[3]);
      break;
    default:
      set(2, both, both ? blend(colour[0], colour[1], 5, 3) : 0);
      set(3, both, both ? blend(colour[0], colour[1], 3, 5) : 0);
  }
  return out;
}

uint64_t decode(const Texels& t, const std::vector<uint16_t>& palette, uint8_t* rgba) {
  const size_t n = size_t(t.width) * size_t(t.height);
  std::fill(rgba, rgba + 4 * n, uint8_t(0));
  uint64_t missing = 0;
  if (t.format == kTex4x4) {
    const int across = t.width / 4;
    for (int by = 0; by < t.height / 4; ++by)
      for (int bx = 0; bx < across; ++bx) {
        const size_t block = size_t(by) * size_t(across) + size_t(bx);
        const uint32_t word = le32(t.data + 4 * block);
        const uint16_t index = le16(t.index + 2 * block);
        const size_t base = 2 * size_t(index & 0x3FFF);
        uint16_t colour[4];
        bool present[4];
        for (int k = 0; k < 4; ++k) {
          present[k] = base + size_t(k) < palette.size();
          colour[k] = present[k] ? palette[base + size_t(k)] : 0;
        }
        const BlockColours c = blockColours(index >> 14, colour, present);
        for (int y = 0; y < 4; ++y)
          for (int x = 0; x < 4; ++x) {
            const int code = word >> (2 * (4 * y + x)) & 3;
            uint8_t* out = rgba + 4 * ((size_t(4 * by + y) * size_t(t.width)) + size_t(4 * bx + x));
            if (c.missing[code])
              ++missing;
            else
              std::copy_n(c.rgba[code], 4, out);
          }
      }
    return missing;
  }
  const std::vector<uint16_t> values = unpackTexels(t);
  for (size_t i = 0; i < n; ++i) {
    const uint16_t v = values[i];
    uint8_t* out = rgba + 4 * i;
    if (t.format == kDirect) {
      setColour(out, v & 0x7FFF, v & 0x8000 ? 255 : 0);
      continue;
    }
    size_t index = v;
    int alpha = 255;
    if (t.format == kA3I5) index = v & 31, alpha = widenA3(v >> 5);
    if (t.format == kA5I3) index = v & 7, alpha = widen5(v >> 3);
    if (t.transparent0 && index == 0 &&
        (t.format == kPal4 || t.format == kPal16 || t.format == kPal256))
      alpha = 0;
    if (index >= palette.size())
      ++missing;
    else
      setColour(out, palette[index], uint8_t(alpha));
  }
  return missing;
}

size_t coloursUsed(const Texels& t) {
  size_t used = 0;
  if (t.format == kTex4x4) {
    const size_t blocks = size_t(t.width / 4) * size_t(t.height / 4);
    for (size_t b = 0; b < blocks; ++b) {
      const uint32_t word = le32(t.data + 4 * b);
      const uint16_t index = le16(t.index + 2 * b);
      const size_t base = 2 * size_t(index & 0x3FFF);
      const int mode = index >> 14;
      for (int i = 0; i < 16; ++i) {
        const int code = word >> (2 * i) & 3;
        int highest;  // the highest colour of the window the code needs
        if (mode == 2 || (mode == 0 && code < 3))
          highest = code;
        else if (mode == 3 || code < 3)
          highest = code == 0 ? 0 : 1;
        else
          continue;  // transparent
        used = std::max(used, base + size_t(highest) + 1);
      }
    }
    return used;
  }
  if (t.format == kDirect) return 0;
  for (uint16_t v : unpackTexels(t)) {
    size_t index = v;
    if (t.format == kA3I5) index = v & 31;
    if (t.format == kA5I3) index = v & 7;
    used = std::max(used, index + 1);
  }
  return used;
}

}  // namespace glaze::nitro
