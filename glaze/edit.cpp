// Replacing a texture: the new levels encoded, the headers that share the
// data updated alike, the data written in place or appended to TEX1, and a
// BDL's material display lists patched where they repeat the texture's
// parameters. Everything is planned before anything is written.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "model.h"

namespace glaze {

namespace {

void put16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}

void put32(uint8_t* p, uint32_t v) {
  put16(p, v >> 16);
  put16(p + 2, v);
}

uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint64_t align32(uint64_t v) { return (v + 31) & ~uint64_t(31); }

std::string describe(const Model& model, size_t index) {
  return "texture " + std::to_string(index) + " (" + displayName(model.textures[index].name) + ")";
}

// The header's min filter when the level count changes between one and
// more: near and linear take their mipmapped forms, and back.
int minFilterFor(int filter, int oldLevels, int newLevels) {
  if (oldLevels == 1 && newLevels > 1) {
    if (filter == 0) return 2;
    if (filter == 1) return 5;
  }
  if (oldLevels > 1 && newLevels == 1) {
    if (filter == 2 || filter == 4) return 0;
    if (filter == 3 || filter == 5) return 1;
  }
  return filter;
}

// The header's min filter as TX_SETMODE0 codes it (bits 5-7).
int hardwareMinFilter(int filter) {
  static const int kCodes[] = {0, 4, 1, 5, 2, 6};
  return filter >= 0 && filter <= 5 ? kCodes[filter] : -1;
}

struct Range {
  uint64_t begin, end;
  bool overlaps(const Range& o) const { return begin < o.end && o.begin < end; }
};

// ---------------------------------------------------------------------------
// BDL display lists

struct BpWrite {
  size_t at;  // of the command's first byte in the list
  int reg;
  uint32_t value;
  uint32_t mask;  // the BP mask in force (0xFFFFFF when none)
};

bool parseList(const std::vector<uint8_t>& list, std::vector<BpWrite>& writes,
               std::string& problem) {
  uint32_t mask = 0xFFFFFF;
  for (size_t p = 0; p < list.size();) {
    const uint8_t op = list[p];
    size_t length;
    if (op == 0x00) {
      length = 1;
    } else if (op == 0x61) {
      length = 5;
      if (p + length <= list.size()) {
        const int reg = list[p + 1];
        const uint32_t value =
            uint32_t(list[p + 2]) << 16 | uint32_t(list[p + 3]) << 8 | list[p + 4];
        if (reg == 0xFE) {
          mask = value;
        } else {
          writes.push_back({p, reg, value, mask});
          mask = 0xFFFFFF;
        }
      }
    } else if (op == 0x10) {
      length = p + 3 <= list.size() ? 5 + 4 * (size_t(list[p + 1] << 8 | list[p + 2]) + 1) : 5;
    } else if (op == 0x08) {
      length = 6;
    } else {
      char text[64];
      std::snprintf(text, sizeof text, "an unknown command 0x%02X at byte %zu", op, p);
      problem = text;
      return false;
    }
    if (p + length > list.size()) {
      problem = "a command cut short at byte " + std::to_string(p);
      return false;
    }
    p += length;
  }
  return true;
}

// Texture map of a per-map register of the given kind (base register of
// maps 0-3 and of maps 4-7), or -1.
int mapOf(int reg, int low, int high) {
  if (reg >= low && reg < low + 4) return reg - low;
  if (reg >= high && reg < high + 4) return 4 + reg - high;
  return -1;
}

struct NewTexture {
  const FormatInfo* format;
  int paletteFormat;
  int paletteEntries;
  int width, height, levels;
  std::vector<int> oldMinFilter, newMinFilter;  // by header index (-1: not replaced)
};

// Patches one list; false with the reason when the list cannot express the
// change.
bool patchList(const std::vector<uint8_t>& list, uint64_t listAt, size_t material,
               const NewTexture& nt, Edit& edit, std::string& error) {
  std::vector<BpWrite> writes;
  std::string problem;
  if (!parseList(list, writes, problem)) {
    error = "the display list of material " + std::to_string(material) + " has " + problem;
    return false;
  }
  // The header index each map holds at each write: the last SETIMAGE3 of
  // the map before it, else the first one after it.
  std::vector<int> indexAt(writes.size(), -1);
  int first[8], last[8];
  std::fill(first, first + 8, -1);
  std::fill(last, last + 8, -1);
  std::vector<int> mapAt(writes.size(), -1);
  for (size_t w = 0; w < writes.size(); ++w) {
    const int reg = writes[w].reg;
    int map = mapOf(reg, 0x94, 0xB4);
    if (map >= 0) {
      last[map] = int(writes[w].value);
      if (first[map] < 0) first[map] = last[map];
    }
    static constexpr int kPerMap[][2] = {
        {0x80, 0xA0}, {0x84, 0xA4}, {0x88, 0xA8}, {0x94, 0xB4}, {0x98, 0xB8}};
    for (const auto& bases : kPerMap)
      if (map < 0) map = mapOf(reg, bases[0], bases[1]);
    mapAt[w] = map;
    if (map >= 0) indexAt[w] = last[map];
  }
  for (size_t w = 0; w < writes.size(); ++w)
    if (mapAt[w] >= 0 && indexAt[w] < 0) indexAt[w] = first[mapAt[w]];
  auto replaced = [&](int index) {
    return index >= 0 && size_t(index) < nt.newMinFilter.size() &&
           nt.newMinFilter[size_t(index)] >= 0;
  };
  // The header index that map holds at write w.
  auto indexOfMapAt = [&](int map, size_t w) {
    int index = -1;
    for (size_t v = 0; v < w; ++v)
      if (mapOf(writes[v].reg, 0x94, 0xB4) == map) index = int(writes[v].value);
    return index >= 0 ? index : first[map];
  };

  bool changed = false;
  auto patch = [&](const BpWrite& w, uint32_t value) {
    if (value == w.value) return true;
    if ((value ^ w.value) & ~w.mask) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "the display list of material %zu writes register 0x%02X under a mask that "
                    "leaves out the bits to change",
                    material, w.reg);
      error = text;
      return false;
    }
    const uint8_t bytes[3] = {uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
    edit.patches.push_back({listAt + w.at + 2, std::vector<uint8_t>(bytes, bytes + 3)});
    changed = true;
    return true;
  };

  const bool palette = nt.format->maxEntries > 0;
  bool mapReplaced[8] = {};
  int tlutAddress[8];
  std::fill(tlutAddress, tlutAddress + 8, -1);
  for (size_t i = 0; i < writes.size(); ++i) {
    const BpWrite& w = writes[i];
    if (mapAt[i] < 0 || !replaced(indexAt[i])) continue;
    const int map = mapAt[i];
    const size_t index = size_t(indexAt[i]);
    if (mapOf(w.reg, 0x94, 0xB4) >= 0) {
      mapReplaced[map] = true;
    } else if (mapOf(w.reg, 0x88, 0xA8) >= 0) {
      const uint32_t v =
          uint32_t(nt.width - 1) | uint32_t(nt.height - 1) << 10 | uint32_t(nt.format->id) << 20;
      if (!patch(w, v)) return false;
    } else if (mapOf(w.reg, 0x84, 0xA4) >= 0) {
      if (!patch(w, (w.value & ~0xFF00u) | uint32_t((nt.levels - 1) * 16) << 8)) return false;
    } else if (mapOf(w.reg, 0x80, 0xA0) >= 0) {
      if (nt.newMinFilter[index] != nt.oldMinFilter[index]) {
        const int code = hardwareMinFilter(nt.newMinFilter[index]);
        if (code >= 0 && !patch(w, (w.value & ~0xE0u) | uint32_t(code) << 5)) return false;
      }
    } else if (mapOf(w.reg, 0x98, 0xB8) >= 0 && palette) {
      tlutAddress[map] = int(w.value & 0x3FF);
      if (!patch(w, (w.value & ~0xC00u) | uint32_t(nt.paletteFormat) << 10)) return false;
    }
  }
  if (palette) {
    // As J3D loads palettes: one line (16 entries) up to 16 colours, else
    // 16 lines, or as many as the entries need.
    const uint32_t needed = uint32_t(nt.paletteEntries + 15) / 16;
    const uint32_t lines = needed <= 1 ? 1 : std::max(needed, 16u);
    for (int map = 0; map < 8; ++map) {
      if (!mapReplaced[map]) continue;
      bool loaded = false;
      for (const BpWrite& w : writes) {
        if (w.reg != 0x65 || tlutAddress[map] < 0 || int(w.value & 0x3FF) != tlutAddress[map])
          continue;
        loaded = true;
        if (((w.value >> 10) & 0x7FF) < lines &&
            !patch(w, (w.value & ~(0x7FFu << 10)) | lines << 10))
          return false;
      }
      if (!loaded) {
        error = "the display list of material " + std::to_string(material) +
                " loads no palette for texture map " + std::to_string(map) +
                ", so it cannot take a palette format";
        return false;
      }
      // A longer palette must not run into one that the same list loads
      // after it: TMEM addresses count 512 bytes, a line is 32.
      const uint64_t from = uint64_t(tlutAddress[map]) * 512, to = from + 32 * uint64_t(lines);
      for (const BpWrite& w : writes) {
        if (w.reg != 0x65 || int(w.value & 0x3FF) == tlutAddress[map]) continue;
        const uint64_t otherFrom = uint64_t(w.value & 0x3FF) * 512;
        const uint64_t otherTo = otherFrom + 32 * uint64_t((w.value >> 10) & 0x7FF);
        if (from < otherTo && otherFrom < to) {
          char text[200];
          std::snprintf(text, sizeof text,
                        "the display list of material %zu loads another palette at TMEM "
                        "address 0x%03X, which a palette of %d colours for texture map %d "
                        "would overlap",
                        material, unsigned(w.value & 0x3FF), nt.paletteEntries, map);
          error = text;
          return false;
        }
      }
    }
  }
  // Texture coordinate scales: the coordinate's map from the last RAS1_TREF
  // before the write that pairs it with a map, else from any RAS1_TREF of
  // the list that pairs it with one map only.
  auto pairs = [](uint32_t tref, int coordinate, int& map) {
    for (int order = 0; order < 2; ++order) {
      const uint32_t v = tref >> (12 * order);
      if ((v >> 6 & 1) && int(v >> 3 & 7) == coordinate) {
        map = int(v & 7);
        return true;
      }
    }
    return false;
  };
  for (size_t i = 0; i < writes.size(); ++i) {
    const BpWrite& w = writes[i];
    if (w.reg < 0x30 || w.reg > 0x3F) continue;
    const int coordinate = (w.reg - 0x30) / 2;
    int map = -1;
    for (size_t v = i; v-- > 0 && map < 0;)
      if (writes[v].reg >= 0x28 && writes[v].reg <= 0x2F) pairs(writes[v].value, coordinate, map);
    if (map < 0) {
      std::set<int> maps;
      for (const BpWrite& v : writes) {
        int m;
        if (v.reg >= 0x28 && v.reg <= 0x2F && pairs(v.value, coordinate, m)) maps.insert(m);
      }
      if (maps.size() == 1) map = *maps.begin();
    }
    if (map < 0 || !replaced(indexOfMapAt(map, i))) continue;
    const uint32_t size = uint32_t((w.reg & 1) ? nt.height - 1 : nt.width - 1);
    if (!patch(w, (w.value & ~0xFFFFu) | size)) return false;
  }
  if (changed) ++edit.listsPatched;
  return true;
}

bool patchDisplayLists(const Source& source, const Model& model, const NewTexture& nt, Edit& edit,
                       std::string& error) {
  if (!model.mdl3) return true;
  const Chunk& mdl3 = *model.mdl3;
  const uint64_t end = mdl3.at + mdl3.size;
  auto damaged = [&](const std::string& what) {
    error = "its MDL3 chunk is damaged: " + what;
    return false;
  };
  if (mdl3.size < 0x40) return damaged("it is shorter than its header");
  uint8_t head[0x40];
  if (!source.read(mdl3.at, head, sizeof head))
    return error = std::string("cannot read it: ") + std::strerror(errno), false;
  const size_t materials = size_t(head[8] << 8 | head[9]);
  const uint64_t table = mdl3.at + be32(head + 12);
  if (table < mdl3.at || table > end || 8 * uint64_t(materials) > end - table)
    return damaged("its packet table lies past the chunk");
  std::vector<uint8_t> entries(8 * materials);
  if (!source.read(table, entries.data(), entries.size()))
    return error = std::string("cannot read it: ") + std::strerror(errno), false;
  // Real lists are a few hundred bytes; a hostile table could point every
  // material at the whole chunk.
  constexpr uint64_t kMaxListBytes = 1 << 20, kMaxTotalBytes = 64 << 20;
  uint64_t total = 0;
  std::vector<uint8_t> list;
  for (size_t m = 0; m < materials; ++m) {
    const uint64_t entryAt = table + 8 * m;
    const uint64_t at = entryAt + be32(&entries[8 * m]);
    const uint64_t size = be32(&entries[8 * m + 4]);
    if (at > end || size > end - at)
      return damaged("the display list of material " + std::to_string(m) + " lies past the chunk");
    if (size > kMaxListBytes || (total += size) > kMaxTotalBytes)
      return damaged("its display lists are implausibly large");
    list.resize(size);
    if (!source.read(at, list.data(), list.size()))
      return error = std::string("cannot read it: ") + std::strerror(errno), false;
    if (!patchList(list, at, m, nt, edit, error)) return false;
  }
  return true;
}

}  // namespace

bool planReplacement(const Source& source, const Model& model, size_t target, const Image& image,
                     const ReplaceOptions& options, int threads, Edit& edit, std::string& error) {
  edit = Edit();
  const Texture& t = model.textures[target];
  if (!t.problem.empty()) {
    error = describe(model, target) + " cannot be replaced: " + t.problem;
    return false;
  }
  std::vector<size_t> group = t.sharing;
  group.push_back(target);
  std::sort(group.begin(), group.end());
  for (size_t g : group)
    if (!model.textures[g].problem.empty()) {
      error = describe(model, g) + ", which shares the data of " + describe(model, target) +
              ", is damaged: " + model.textures[g].problem;
      return false;
    }

  // What the texture becomes.
  const FormatInfo& f = options.format ? *options.format : *t.format();
  PaletteFormat paletteFormat = kPalRGB5A3;
  if (f.maxEntries > 0) {
    if (options.paletteFormat) {
      paletteFormat = *options.paletteFormat;
    } else if (t.format()->maxEntries > 0) {
      paletteFormat = PaletteFormat(t.header.paletteFormat());
    } else {
      bool opaque = true;
      for (size_t i = 3; i < image.rgba.size() && opaque; i += 4) opaque = image.rgba[i] == 255;
      paletteFormat = opaque ? kPalRGB565 : kPalRGB5A3;
    }
  } else if (options.paletteFormat) {
    error =
        "-P needs a palette format (C4, C8 or C14X2): " + describe(model, target) + " is " + f.name;
    return false;
  }
  const int width = image.width, height = image.height;
  const int chain = chainLength(width, height);
  int levels = options.levels;
  if (levels > chain) {
    error = "a " + std::to_string(width) + " x " + std::to_string(height) +
            " texture has at most " + std::to_string(chain) + " levels, not " +
            std::to_string(levels);
    return false;
  }
  if (levels < 0) levels = chain;
  if (levels == 0) levels = std::min(t.header.levels(), chain);
  if (levels > 1 && !(isPowerOfTwo(width) && isPowerOfTwo(height))) {
    error = "the image is " + std::to_string(width) + " x " + std::to_string(height) + "; " +
            std::to_string(levels) + " mip levels need sides that are powers of two (-M 1 gives " +
            "a single level)";
    return false;
  }

  const std::vector<Image> chainImages = makeMipChain(image, levels);
  const Encoded encoded = encodeTexture(f, paletteFormat, chainImages, threads);
  bool opaque = true;
  {
    size_t at = 0;
    for (const Image& level : chainImages) {
      std::vector<uint8_t> rgba(level.rgba.size());
      decodeLevel(f, level.width, level.height, encoded.data.data() + at, &encoded.palette,
                  rgba.data());
      for (size_t i = 3; i < rgba.size() && opaque; i += 4) opaque = rgba[i] == 255;
      at += levelBytes(f, level.width, level.height);
    }
  }
  std::vector<uint8_t> paletteBytes(2 * encoded.palette.entries.size());
  for (size_t i = 0; i < encoded.palette.entries.size(); ++i)
    put16(&paletteBytes[2 * i], encoded.palette.entries[i]);
  const int entries = int(encoded.palette.entries.size());

  edit.headers = group;
  edit.format = f.id;
  edit.paletteFormat = f.maxEntries > 0 ? int(paletteFormat) : -1;
  edit.paletteEntries = f.maxEntries > 0 ? entries : 0;
  edit.levels = levels;
  edit.width = width;
  edit.height = height;

  // The new header of each texture of the group, given where the data and
  // palette go.
  auto newHeader = [&](const Texture& old, uint64_t dataAt, uint64_t paletteAt) {
    Header h = old.header;
    uint8_t* raw = h.raw;
    raw[0x00] = f.id;
    raw[0x01] = opaque ? 0 : (old.header.alphaFlag() != 0 ? uint8_t(old.header.alphaFlag()) : 1);
    put16(raw + 0x02, uint32_t(width));
    put16(raw + 0x04, uint32_t(height));
    if (f.maxEntries > 0) {
      raw[0x08] = 1;
      raw[0x09] = paletteFormat;
      put16(raw + 0x0A, uint32_t(entries));
      put32(raw + 0x0C, uint32_t(paletteAt - old.headerAt));
    }
    raw[0x10] = levels > 1 ? 1 : 0;
    raw[0x14] = uint8_t(minFilterFor(old.header.minFilter(), old.header.levels(), levels));
    raw[0x17] = uint8_t((levels - 1) * 8);
    raw[0x18] = uint8_t(levels);
    put32(raw + 0x1C, uint32_t(dataAt - old.headerAt));
    return h;
  };

  if (model.kind == Kind::kBti) {
    const uint64_t dataAt = 32, paletteAt = 32 + encoded.data.size();
    const Header h = newHeader(t, dataAt, paletteAt);
    edit.whole = true;
    edit.wholeFile.assign(h.raw, h.raw + 32);
    edit.wholeFile.insert(edit.wholeFile.end(), encoded.data.begin(), encoded.data.end());
    edit.wholeFile.insert(edit.wholeFile.end(), paletteBytes.begin(), paletteBytes.end());
    edit.wholeFile.resize(align32(edit.wholeFile.size()), 0);
    edit.placement = "written anew";
    return true;
  }

  // Everything that the new data must not overwrite: the tables and every
  // block of the textures outside the group.
  const Chunk& tex1 = *model.tex1;
  const Range tex1Range{tex1.at, tex1.at + tex1.size};
  std::vector<Range> keep = {{model.headersAt, model.headersAt + 32 * model.textures.size()},
                             {model.namesAt, model.namesEnd}};
  for (size_t i = 0; i < model.textures.size(); ++i) {
    if (std::binary_search(group.begin(), group.end(), i)) continue;
    const Texture& other = model.textures[i];
    if (other.problem.empty()) {
      keep.push_back({other.dataAt, other.dataAt + other.dataBytes()});
      if (other.paletteBytes() > 0)
        keep.push_back({other.paletteAt, other.paletteAt + other.paletteBytes()});
    } else {
      // Of a damaged header only the first byte it points at is known.
      keep.push_back({other.dataAt, other.dataAt + 1});
    }
  }
  auto fitsAt = [&](uint64_t at, uint64_t size, uint64_t oldSize, const Range* also) {
    const Range written{at, at + size};
    if (size > oldSize || at % 32 != 0) return false;
    if (written.begin < tex1Range.begin || written.end > tex1Range.end) return false;
    if (also && written.overlaps(*also)) return false;
    return std::none_of(keep.begin(), keep.end(),
                        [&](const Range& r) { return r.overlaps(written); });
  };

  uint64_t oldData = 0;
  for (size_t g : group) oldData = std::max(oldData, model.textures[g].dataBytes());
  const uint64_t insertAt = tex1Range.end;
  uint64_t appendAt = align32(insertAt);
  edit.insertAt = insertAt;
  auto append = [&](const std::vector<uint8_t>& bytes) {
    const uint64_t at = appendAt;
    edit.inserted.resize(at - insertAt, 0);
    edit.inserted.insert(edit.inserted.end(), bytes.begin(), bytes.end());
    edit.inserted.resize(align32(edit.inserted.size() + insertAt) - insertAt, 0);
    appendAt = insertAt + edit.inserted.size();
    return at;
  };

  uint64_t dataAt = t.dataAt;
  const Range* dataRange = nullptr;
  Range written{};
  if (fitsAt(t.dataAt, encoded.data.size(), oldData, nullptr)) {
    edit.patches.push_back({t.dataAt, encoded.data});
    written = {t.dataAt, t.dataAt + encoded.data.size()};
    dataRange = &written;
    edit.placement = "in place";
  } else {
    dataAt = append(encoded.data);
    edit.placement = "moved to the end of TEX1";
  }
  uint64_t paletteAt = 0;
  if (f.maxEntries > 0) {
    // The old palette block, when every header of the group had one there.
    bool samePalette = true;
    uint64_t oldPalette = 0;
    for (size_t g : group) {
      const Texture& member = model.textures[g];
      samePalette = samePalette && member.paletteBytes() > 0 && member.paletteAt == t.paletteAt;
      oldPalette = std::max(oldPalette, member.paletteBytes());
    }
    if (samePalette && fitsAt(t.paletteAt, paletteBytes.size(), oldPalette, dataRange)) {
      paletteAt = t.paletteAt;
      edit.patches.push_back({paletteAt, paletteBytes});
    } else {
      paletteAt = append(paletteBytes);
    }
  }

  for (size_t g : group) {
    const Texture& member = model.textures[g];
    const Header h = newHeader(member, dataAt, paletteAt);
    edit.patches.push_back({member.headerAt, std::vector<uint8_t>(h.raw, h.raw + 32)});
  }
  if (!edit.inserted.empty()) {
    const uint64_t newSize = tex1.size + edit.inserted.size();
    const uint64_t newFileSize = uint64_t(model.fileSizeField) + edit.inserted.size();
    if (newSize > 0xFFFFFFFFu || newFileSize > 0xFFFFFFFFu || appendAt > 0xFFFFFFFFu) {
      error = "the new data would make the file larger than 4 GiB";
      return false;
    }
    std::vector<uint8_t> size(4);
    put32(size.data(), uint32_t(newSize));
    edit.patches.push_back({tex1.at + 4, size});
    put32(size.data(), uint32_t(newFileSize));
    edit.patches.push_back({8, size});
  }

  if (model.kind == Kind::kBdl) {
    NewTexture nt{&f, int(paletteFormat), entries, width, height, levels, {}, {}};
    nt.oldMinFilter.assign(model.textures.size(), -1);
    nt.newMinFilter.assign(model.textures.size(), -1);
    for (size_t g : group) {
      const Header& old = model.textures[g].header;
      nt.oldMinFilter[g] = old.minFilter();
      nt.newMinFilter[g] = minFilterFor(old.minFilter(), old.levels(), levels);
    }
    if (!patchDisplayLists(source, model, nt, edit, error)) return false;
  }
  return true;
}

bool writeEdited(const Source& source, const Edit& edit, FILE* out) {
  if (edit.whole) {
    if (std::fwrite(edit.wholeFile.data(), 1, edit.wholeFile.size(), out) != edit.wholeFile.size())
      return false;
    return true;
  }
  std::vector<const Patch*> patches;
  for (const Patch& p : edit.patches) patches.push_back(&p);
  std::sort(patches.begin(), patches.end(),
            [](const Patch* a, const Patch* b) { return a->at < b->at; });
  std::vector<uint8_t> buffer(1 << 20);
  auto copy = [&](uint64_t begin, uint64_t end) {
    for (uint64_t at = begin; at < end;) {
      const size_t n = size_t(std::min<uint64_t>(buffer.size(), end - at));
      if (!source.read(at, buffer.data(), n)) return false;
      for (const Patch* p : patches) {
        const uint64_t from = std::max(p->at, at), to = std::min(p->at + p->bytes.size(), at + n);
        if (from < to) std::memcpy(&buffer[from - at], &p->bytes[from - p->at], size_t(to - from));
      }
      if (std::fwrite(buffer.data(), 1, n, out) != n) return false;
      at += n;
    }
    return true;
  };
  if (!copy(0, edit.insertAt)) return false;
  if (!edit.inserted.empty() &&
      std::fwrite(edit.inserted.data(), 1, edit.inserted.size(), out) != edit.inserted.size())
    return false;
  return copy(edit.insertAt, source.size());
}

}  // namespace glaze
