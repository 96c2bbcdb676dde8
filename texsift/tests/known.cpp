#include "known.h"

#include <random>

namespace {

void le32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> expectedHeader(int format, int width, int height, int levels) {
  struct Pf {
    uint32_t flags, fourCC, bits, r, g, b, a;
  };
  Pf pf{};
  switch (format) {
    case 0:
    case 1:
      pf = {0x20000, 0, 8, 0xFF, 0, 0, 0};
      break;
    case 2:
      pf = {0x20001, 0, 8, 0x0F, 0, 0, 0xF0};
      break;
    case 3:
      pf = {0x20001, 0, 16, 0xFF, 0, 0, 0xFF00};
      break;
    case 4:
      pf = {0x40, 0, 16, 0xF800, 0x07E0, 0x001F, 0};
      break;
    case 5:
      pf = {0x41, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000};
      break;
    case 14:
      pf = {0x4, 0x31545844, 0, 0, 0, 0, 0};
      break;
  }
  std::vector<uint8_t> h = {'D', 'D', 'S', ' '};
  for (uint32_t v : {124u, 0x21007u, uint32_t(height), uint32_t(width), 0u, 0u, uint32_t(levels)})
    le32(h, v);
  h.resize(76, 0);
  for (uint32_t v : {32u, pf.flags, pf.fourCC, pf.bits, pf.r, pf.g, pf.b, pf.a, 0x401000u})
    le32(h, v);
  h.resize(128, 0);
  return h;
}

uint32_t rgb5a3Argb(uint16_t v) {
  auto five = [](uint32_t c) { return (c << 3) | (c >> 2); };
  if (v & 0x8000)
    return 0xFF000000u | five((v >> 10) & 31) << 16 | five((v >> 5) & 31) << 8 | five(v & 31);
  const uint32_t a = (v >> 12) & 7;
  return ((a << 5) | (a << 2) | (a >> 1)) << 24 | ((v >> 8) & 15) * 0x11 << 16 |
         ((v >> 4) & 15) * 0x11 << 8 | (v & 15) * 0x11;
}

std::vector<uint8_t> expectedLevel(int format, const std::vector<uint16_t>& values,
                                   const std::vector<uint8_t>& blocks) {
  if (format == 14) return blocks;
  std::vector<uint8_t> out;
  for (uint16_t v : values) {
    switch (format) {
      case 0:
        out.push_back(static_cast<uint8_t>(v * 17));
        break;
      case 1:
      case 2:
        out.push_back(static_cast<uint8_t>(v));
        break;
      case 3:
      case 4:
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(v >> 8));
        break;
      case 5:
        le32(out, rgb5a3Argb(v));
        break;
    }
  }
  return out;
}

Known knownTexture(const std::string& name, int format, int width, int height, int levels,
                   uint32_t seed) {
  std::mt19937 random(seed);
  Known k;
  modelwriter::Texture& t = k.texture;
  t.name = name;
  t.hash = modelwriter::nameHash(name);
  t.format = static_cast<uint8_t>(format);
  t.width = static_cast<uint16_t>(width);
  t.height = static_cast<uint16_t>(height);
  t.levels = static_cast<uint8_t>(levels);
  k.dds = expectedHeader(format, width, height, levels);
  for (int j = 0; j < levels; ++j) {
    KnownLevel level{modelwriter::levelSize(width, j), modelwriter::levelSize(height, j), {}, {}};
    std::vector<uint8_t> stored;
    if (format == 14) {
      const int n = (level.width + 3) / 4 * ((level.height + 3) / 4);
      for (int b = 0; b < n; ++b) {
        uint32_t c0 = random() & 0xFFFF, c1 = random() & 0xFFFF;
        if (c0 < c1) std::swap(c0, c1);
        if (c0 == c1) c0 = 0xFFFF, c1 = 0;
        for (uint32_t v : {c0 & 0xFFu, c0 >> 8u, c1 & 0xFFu, c1 >> 8u})
          level.blocks.push_back(static_cast<uint8_t>(v));
        for (int i = 0; i < 4; ++i) level.blocks.push_back(static_cast<uint8_t>(random()));
      }
      stored = modelwriter::encodeDxt1Level(level.width, level.height, level.blocks);
    } else {
      const uint32_t mask = format == 0 ? 0xF : format <= 2 ? 0xFF : 0xFFFF;
      for (int p = 0; p < level.width * level.height; ++p)
        level.values.push_back(static_cast<uint16_t>(random() & mask));
      stored = modelwriter::encodeLevel(format, level.width, level.height, level.values);
    }
    t.data.insert(t.data.end(), stored.begin(), stored.end());
    const auto out = expectedLevel(format, level.values, level.blocks);
    k.dds.insert(k.dds.end(), out.begin(), out.end());
    k.levels.push_back(std::move(level));
  }
  return k;
}
