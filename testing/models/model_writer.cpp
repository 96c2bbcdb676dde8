#include "model_writer.h"

#include <algorithm>
#include <cstdio>

namespace modelwriter {

namespace {

void put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
  out[at] = static_cast<uint8_t>(v >> 8);
  out[at + 1] = static_cast<uint8_t>(v);
}

void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  put16(out, at, static_cast<uint16_t>(v >> 16));
  put16(out, at + 2, static_cast<uint16_t>(v));
}

void append(std::vector<uint8_t>& out, size_t n) { out.resize(out.size() + n, 0); }

void appendSection(std::vector<uint8_t>& out, const Section& s) {
  const size_t at = out.size();
  append(out, std::max<uint32_t>(s.length, 8));
  for (size_t i = 0; i < 4 && i < s.tag.size(); ++i) out[at + i] = static_cast<uint8_t>(s.tag[i]);
  put32(out, at + 4, s.length);
}

size_t align32(size_t v) { return (v + 31) & ~size_t{31}; }

// Small deterministic generator for the patterns.
struct Random {
  uint32_t state;
  uint32_t next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
};

}  // namespace

Tile tileOf(int format) {
  switch (format) {
    case 0:
    case 14:
      return {8, 8};
    case 1:
    case 2:
      return {8, 4};
    default:
      return {4, 4};
  }
}

int levelSize(int full, int level) {
  if (full <= 0) return 0;
  return level >= 31 ? 1 : std::max(1, full >> level);
}

std::vector<uint8_t> encodeLevel(int format, int width, int height,
                                 const std::vector<uint16_t>& values, uint16_t pad) {
  const Tile tile = tileOf(format);
  std::vector<uint8_t> out;
  auto value = [&](int x, int y) -> uint16_t {
    return x < width && y < height ? values[static_cast<size_t>(y) * width + x] : pad;
  };
  for (int y0 = 0; y0 < height; y0 += tile.height)
    for (int x0 = 0; x0 < width; x0 += tile.width)
      for (int y = y0; y < y0 + tile.height; ++y)
        for (int x = x0; x < x0 + tile.width; ++x) {
          const uint16_t v = value(x, y);
          switch (format) {
            case 0:
              // Two pixels to a byte, the first in the high nibble.
              if ((x - x0) % 2 == 0)
                out.push_back(static_cast<uint8_t>(v << 4));
              else
                out.back() = static_cast<uint8_t>(out.back() | (v & 0xF));
              break;
            case 1:
            case 2:
              out.push_back(static_cast<uint8_t>(v));
              break;
            default:
              out.push_back(static_cast<uint8_t>(v >> 8));
              out.push_back(static_cast<uint8_t>(v));
          }
        }
  return out;
}

std::vector<uint8_t> encodeDxt1Level(int width, int height, const std::vector<uint8_t>& blocks) {
  const int blocksX = (width + 3) / 4, blocksY = (height + 3) / 4;
  std::vector<uint8_t> out;
  for (int ty = 0; ty < blocksY; ty += 2)
    for (int tx = 0; tx < blocksX; tx += 2)
      for (int by = ty; by < ty + 2; ++by)
        for (int bx = tx; bx < tx + 2; ++bx) {
          uint8_t b[8] = {};
          if (bx < blocksX && by < blocksY)
            std::copy_n(&blocks[(static_cast<size_t>(by) * blocksX + bx) * 8], 8, b);
          // Colours big-endian; each index row with its first pixel in the
          // top bits.
          out.push_back(b[1]);
          out.push_back(b[0]);
          out.push_back(b[3]);
          out.push_back(b[2]);
          for (int i = 4; i < 8; ++i) {
            uint8_t r = 0;
            for (int p = 0; p < 4; ++p)
              r = static_cast<uint8_t>(r | (((b[i] >> (2 * p)) & 3) << (6 - 2 * p)));
            out.push_back(r);
          }
        }
  return out;
}

uint16_t nameHash(const std::string& name) {
  uint16_t h = 0;
  for (unsigned char c : name) h = static_cast<uint16_t>(h * 3 + c);
  return h;
}

std::vector<uint8_t> build(const Model& model) {
  std::vector<uint8_t> out(32, 0);
  const char magic[] = "J3D2bmd3";
  std::copy_n(magic, 8, out.begin());
  for (const Section& s : model.before) appendSection(out, s);

  const size_t tex1 = out.size();
  const size_t n = model.textures.size();
  append(out, 32 + 32 * n);
  const size_t table = out.size();
  append(out, 4 + 4 * n);
  std::vector<size_t> nameAt;
  for (const Texture& t : model.textures) {
    nameAt.push_back(out.size() - table);
    out.insert(out.end(), t.name.begin(), t.name.end());
    out.push_back(0);
  }
  out.resize(align32(out.size() - tex1) + tex1, 0);
  std::vector<size_t> dataAt;
  for (const Texture& t : model.textures) {
    dataAt.push_back(out.size());
    out.insert(out.end(), t.data.begin(), t.data.end());
    out.resize(align32(out.size() - tex1) + tex1, 0);
  }

  std::copy_n("TEX1", 4, out.begin() + static_cast<long>(tex1));
  put32(out, tex1 + 4, static_cast<uint32_t>(out.size() - tex1));
  put16(out, tex1 + 8, static_cast<uint16_t>(n));
  put16(out, tex1 + 10, 0xFFFF);
  put32(out, tex1 + 12, 32);
  put32(out, tex1 + 16, static_cast<uint32_t>(table - tex1));
  put16(out, table, model.nameCount ? *model.nameCount : static_cast<uint16_t>(n));
  put16(out, table + 2, 0xFFFF);
  for (size_t i = 0; i < n; ++i) {
    const Texture& t = model.textures[i];
    const size_t r = tex1 + 32 + 32 * i;
    out[r] = t.format;
    out[r + 1] = t.unknown1;
    put16(out, r + 2, t.width);
    put16(out, r + 4, t.height);
    put16(out, r + 6, t.unknown2);
    put32(out, r + 8, t.unknown3);
    put32(out, r + 12, t.unknown4);
    put32(out, r + 16, t.unknown5);
    put16(out, r + 20, t.unknown6);
    put16(out, r + 22, t.unknown7);
    out[r + 24] = t.levels;
    out[r + 25] = t.unknown8;
    put16(out, r + 26, t.unknown9);
    put32(out, r + 28, t.dataOffset ? *t.dataOffset : static_cast<uint32_t>(dataAt[i] - r));
    put16(out, table + 4 + 4 * i, t.hash);
    put16(out, table + 6 + 4 * i, static_cast<uint16_t>(nameAt[i]));
  }

  for (const Section& s : model.after) appendSection(out, s);
  put32(out, 8, static_cast<uint32_t>(out.size()));
  put32(out, 12, static_cast<uint32_t>(model.before.size() + 1 + model.after.size()));
  return out;
}

Texture patternTexture(const std::string& name, uint8_t format, uint16_t width, uint16_t height,
                       uint8_t levels, uint32_t seed) {
  Texture t;
  t.name = name;
  t.hash = nameHash(name);
  t.format = format;
  t.width = width;
  t.height = height;
  t.levels = levels;
  Random random{seed};
  for (int level = 0; level < levels; ++level) {
    const int w = levelSize(width, level), h = levelSize(height, level);
    if (w == 0 || h == 0) continue;
    if (format == 14) {
      std::vector<uint8_t> blocks(static_cast<size_t>((w + 3) / 4) * ((h + 3) / 4) * 8);
      for (uint8_t& b : blocks) b = static_cast<uint8_t>(random.next());
      const auto stored = encodeDxt1Level(w, h, blocks);
      t.data.insert(t.data.end(), stored.begin(), stored.end());
    } else if (format <= 5) {
      // A gradient with a little noise, so that neighbouring pixels differ.
      std::vector<uint16_t> values(static_cast<size_t>(w) * h);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const uint32_t v = static_cast<uint32_t>(x * 7 + y * 13) + (random.next() & 0x3F);
          uint16_t& p = values[static_cast<size_t>(y) * w + x];
          switch (format) {
            case 0:
              p = static_cast<uint16_t>((v >> 2) & 0xF);
              break;
            case 1:
            case 2:
              p = static_cast<uint16_t>(v & 0xFF);
              break;
            default:
              p = static_cast<uint16_t>(v * 0x9E37u ^ (random.next() & 0x0101));
          }
        }
      const auto stored = encodeLevel(format, w, h, values);
      t.data.insert(t.data.end(), stored.begin(), stored.end());
    } else {
      // Formats texsift cannot convert: bytes of a plausible size.
      t.data.resize(t.data.size() + static_cast<size_t>(w) * h, static_cast<uint8_t>(seed));
    }
  }
  return t;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace modelwriter
