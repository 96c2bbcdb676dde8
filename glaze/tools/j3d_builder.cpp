#include "j3d_builder.h"

#include <algorithm>

#include "big_endian.h"
#include "model_writer.h"

namespace j3dbuild {

namespace {

using bigendian::put16;
using bigendian::put32;

size_t align32(size_t v) { return (v + 31) & ~size_t(31); }

// A filler chunk whose body is a pattern, so that a changed byte shows.
void fillerChunk(std::vector<uint8_t>& out, const std::string& tag, uint32_t size) {
  const size_t at = out.size();
  out.resize(at + std::max<uint32_t>(size, 8), 0);
  for (size_t i = 0; i < 4; ++i) out[at + i] = uint8_t(i < tag.size() ? tag[i] : ' ');
  put32(out, at + 4, size);
  for (size_t i = at + 8; i < out.size(); ++i) out[i] = uint8_t(i * 37 + 11);
}

uint32_t hardwareMinFilter(int filter) {
  static const uint32_t kCodes[] = {0, 4, 1, 5, 2, 6};
  return filter >= 0 && filter <= 5 ? kCodes[filter] : 0;
}

int reg(int map, int low, int high) { return map < 4 ? low + map : high + map - 4; }

}  // namespace

std::array<uint8_t, 32> headerBytes(const HeaderFields& h, uint32_t paletteOffset,
                                    uint32_t dataOffset) {
  std::vector<uint8_t> b(32, 0);
  b[0x00] = h.format;
  b[0x01] = h.alpha;
  put16(b, 0x02, h.width);
  put16(b, 0x04, h.height);
  b[0x06] = h.wrapS;
  b[0x07] = h.wrapT;
  b[0x08] = h.palette ? 1 : 0;
  b[0x09] = h.paletteFormat;
  put16(b, 0x0A, h.paletteEntries);
  put32(b, 0x0C, paletteOffset);
  b[0x10] = h.levels > 1 ? 1 : 0;
  b[0x11] = h.edgeLod;
  b[0x12] = h.biasClamp;
  b[0x13] = h.maxAniso;
  b[0x14] = h.minFilter;
  b[0x15] = h.magFilter;
  b[0x16] = uint8_t(h.minLod);
  b[0x17] = uint8_t((h.levels > 0 ? h.levels - 1 : 0) * 8);
  b[0x18] = h.levels;
  b[0x19] = h.unused;
  put16(b, 0x1A, uint16_t(h.lodBias));
  put32(b, 0x1C, dataOffset);
  std::array<uint8_t, 32> out;
  std::copy(b.begin(), b.end(), out.begin());
  return out;
}

int addTexture(Model& model, const std::string& name, const HeaderFields& header,
               const std::vector<uint8_t>& data, const std::vector<uint8_t>& palette) {
  Texture t;
  t.name = name;
  t.header = header;
  t.data = int(model.data.size());
  model.data.push_back(data);
  if (!palette.empty()) {
    t.palette = int(model.palettes.size());
    model.palettes.push_back(palette);
  }
  model.textures.push_back(t);
  return int(model.textures.size() - 1);
}

std::vector<uint8_t> build(const Model& model, Layout* layoutOut) {
  Layout layout;
  std::vector<uint8_t> out(32, 0);
  std::copy_n(model.bdl ? "J3D2bdl4" : "J3D2bmd3", 8, out.begin());
  std::copy_n("SVR3", 4, out.begin() + 16);
  std::fill(out.begin() + 20, out.begin() + 32, 0xFF);
  for (const auto& [tag, size] : model.before) fillerChunk(out, tag, size);

  if (model.bdl) {
    layout.mdl3 = out.size();
    const size_t n = model.displayLists.size();
    out.resize(out.size() + 0x40 + 8 * n, 0);
    std::copy_n("MDL3", 4, out.begin() + long(layout.mdl3));
    put16(out, layout.mdl3 + 8, uint32_t(n));
    put16(out, layout.mdl3 + 10, 0xFFFF);
    put32(out, layout.mdl3 + 12, 0x40);
    out.resize(layout.mdl3 + align32(out.size() - layout.mdl3), 0);
    for (size_t m = 0; m < n; ++m) {
      const size_t at = out.size();
      layout.listAt.push_back(at);
      const size_t entry = layout.mdl3 + 0x40 + 8 * m;
      put32(out, entry, uint32_t(at - entry));
      put32(out, entry + 4, uint32_t(model.displayLists[m].size()));
      out.insert(out.end(), model.displayLists[m].begin(), model.displayLists[m].end());
      out.resize(layout.mdl3 + align32(out.size() - layout.mdl3), 0);
    }
    put32(out, layout.mdl3 + 4, uint32_t(out.size() - layout.mdl3));
  }

  const size_t tex1 = out.size();
  layout.tex1 = tex1;
  const size_t n = model.textures.size();
  out.resize(tex1 + 32 + 32 * n, 0);
  layout.headers = tex1 + 32;
  std::copy_n("TEX1", 4, out.begin() + long(tex1));
  put16(out, tex1 + 8, uint32_t(n));
  put16(out, tex1 + 10, 0xFFFF);
  put32(out, tex1 + 12, 32);
  const char kFiller[] = "This is padding data to align";
  std::copy_n(kFiller, 12, out.begin() + long(tex1) + 20);

  auto nameTable = [&] {
    const size_t table = out.size();
    layout.names = table;
    out.resize(table + 4 + 4 * n, 0);
    put16(out, table, uint32_t(n));
    put16(out, table + 2, 0xFFFF);
    for (size_t i = 0; i < n; ++i) {
      const Texture& t = model.textures[i];
      put16(out, table + 4 + 4 * i, modelwriter::nameHash(t.name));
      put16(out, table + 6 + 4 * i, uint32_t(out.size() - table));
      out.insert(out.end(), t.name.begin(), t.name.end());
      out.push_back(0);
    }
    out.resize(tex1 + align32(out.size() - tex1), 0);
  };
  if (!model.namesLast) nameTable();
  for (const auto& block : model.data) {
    layout.dataAt.push_back(out.size());
    out.insert(out.end(), block.begin(), block.end());
    out.resize(tex1 + align32(out.size() - tex1), 0);
  }
  for (const auto& block : model.palettes) {
    layout.paletteAt.push_back(out.size());
    out.insert(out.end(), block.begin(), block.end());
    out.resize(tex1 + align32(out.size() - tex1), 0);
  }
  if (model.namesLast) nameTable();
  put32(out, tex1 + 16, uint32_t(layout.names - tex1));
  for (size_t i = 0; i < n; ++i) {
    const Texture& t = model.textures[i];
    const size_t header = layout.headers + 32 * i;
    const size_t dataAt = t.data >= 0 ? layout.dataAt[size_t(t.data)] : header;
    const size_t paletteAt = t.palette >= 0 ? layout.paletteAt[size_t(t.palette)] : dataAt;
    const auto bytes =
        headerBytes(t.header, t.paletteOffset ? *t.paletteOffset : uint32_t(paletteAt - header),
                    t.dataOffset ? *t.dataOffset : uint32_t(dataAt - header));
    std::copy(bytes.begin(), bytes.end(), out.begin() + long(header));
  }
  layout.tex1Size = out.size() - tex1;
  put32(out, tex1 + 4, uint32_t(layout.tex1Size));

  for (const auto& [tag, size] : model.after) fillerChunk(out, tag, size);
  put32(out, 8, uint32_t(out.size()));
  put32(out, 12, uint32_t(model.before.size() + (model.bdl ? 1 : 0) + 1 + model.after.size()));
  if (layoutOut) *layoutOut = layout;
  return out;
}

std::vector<uint8_t> buildBti(const HeaderFields& h, const std::vector<uint8_t>& data,
                              const std::vector<uint8_t>& palette) {
  const auto header = headerBytes(h, uint32_t(32 + data.size()), 32);
  // Sized once and filled by offset: GCC 12 warns falsely about inserts here.
  std::vector<uint8_t> out(align32(header.size() + data.size() + palette.size()), 0);
  std::copy(header.begin(), header.end(), out.begin());
  std::copy(data.begin(), data.end(), out.begin() + std::ptrdiff_t(header.size()));
  std::copy(palette.begin(), palette.end(),
            out.begin() + std::ptrdiff_t(header.size() + data.size()));
  return out;
}

void bpWrite(std::vector<uint8_t>& list, int r, uint32_t value) {
  list.push_back(0x61);
  list.push_back(uint8_t(r));
  list.push_back(uint8_t(value >> 16));
  list.push_back(uint8_t(value >> 8));
  list.push_back(uint8_t(value));
}

std::vector<uint8_t> materialList(const std::vector<TextureMap>& maps,
                                  const std::vector<OrderPair>& orders) {
  // An XF write first, as material lists hold (a texture matrix here).
  std::vector<uint8_t> list = {0x10, 0x00, 0x01, 0x10, 0x40, 0x3F, 0x80, 0x00, 0x00, 0, 0, 0, 0};
  auto sizeOf = [&](int map, bool height) {
    for (const TextureMap& m : maps)
      if (m.map == map) return uint32_t((height ? m.header.height : m.header.width) - 1);
    return 0u;
  };
  for (const TextureMap& m : maps) {
    const HeaderFields& h = m.header;
    bpWrite(list, reg(m.map, 0x94, 0xB4), uint32_t(m.headerIndex));
    bpWrite(list, reg(m.map, 0x88, 0xA8),
            uint32_t(h.width - 1) | uint32_t(h.height - 1) << 10 | uint32_t(h.format) << 20);
    bpWrite(list, reg(m.map, 0x80, 0xA0),
            uint32_t(h.wrapS) | uint32_t(h.wrapT) << 2 | uint32_t(h.magFilter) << 4 |
                hardwareMinFilter(h.minFilter) << 5 | 1u << 8 |
                (uint32_t(uint8_t(h.lodBias * 32 / 100)) << 9));
    bpWrite(list, reg(m.map, 0x84, 0xA4),
            uint32_t(uint8_t(h.minLod * 2)) | uint32_t((h.levels - 1) * 16) << 8);
    if ((h.format == 8 || h.format == 9 || h.format == 10) && m.paletteSetUp) {
      bpWrite(list, 0xFE, 0xFFFF00);
      bpWrite(list, 0x64, 0);
      const uint32_t lines = h.paletteEntries <= 16 ? 1 : 16;
      bpWrite(list, 0x65, uint32_t(m.tlutAddress) | lines << 10);
      bpWrite(list, reg(m.map, 0x98, 0xB8),
              uint32_t(m.tlutAddress) | uint32_t(h.paletteFormat) << 10);
    }
  }
  for (size_t p = 0; p < orders.size(); ++p) {
    const OrderPair& o = orders[p];
    auto order = [](int map, int coordinate) {
      return map < 0 ? 7u : uint32_t(map) | uint32_t(coordinate) << 3 | 1u << 6;
    };
    bpWrite(list, 0x28 + int(p), order(o.map0, o.coordinate0) | order(o.map1, o.coordinate1) << 12);
    for (const auto& [map, coordinate] :
         {std::pair{o.map0, o.coordinate0}, {o.map1, o.coordinate1}}) {
      if (map < 0) continue;
      bpWrite(list, 0xFE, 0x03FFFF);
      bpWrite(list, 0x30 + 2 * coordinate, sizeOf(map, false) | 0x10000);
      bpWrite(list, 0xFE, 0x03FFFF);
      bpWrite(list, 0x31 + 2 * coordinate, sizeOf(map, true));
    }
  }
  list.resize(align32(list.size()), 0);
  return list;
}

}  // namespace j3dbuild
