// A BDL's material display lists, patched where they repeat the parameters
// of a replaced texture: its size, format, levels and filter (SETIMAGE0,
// SETMODE0/1), its palette's format and length (SETTLUT, LOADTLUT1) and the
// scales of the texture coordinates that sample it (SU_SSIZE/TSIZE).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "bytes.h"
#include "containers/j3d.h"

namespace glaze::j3d {

namespace {

// The header's min filter as TX_SETMODE0 codes it (bits 5-7).
int hardwareMinFilter(int filter) {
  static const int kCodes[] = {0, 4, 1, 5, 2, 6};
  return filter >= 0 && filter <= 5 ? kCodes[filter] : -1;
}

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
    return true;
  };

  const bool palette = nt.format->maxEntries > 0;
  bool mapReplaced[8] = {}, mapHadPalette[8] = {};
  int tlutAddress[8];
  std::fill(tlutAddress, tlutAddress + 8, -1);
  for (size_t i = 0; i < writes.size(); ++i) {
    const BpWrite& w = writes[i];
    if (mapAt[i] < 0 || !replaced(indexAt[i])) continue;
    const int map = mapAt[i];
    const size_t index = size_t(indexAt[i]);
    if (mapOf(w.reg, 0x94, 0xB4) >= 0) {
      mapReplaced[map] = true;
      mapHadPalette[map] = mapHadPalette[map] || nt.hadPalette[index];
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
      // Some games' lists record no palette set-up at all (the game loads
      // the palette from the texture header): a map that showed a palette
      // texture without one needs none now. A map that showed no palette
      // texture cannot take one without new commands.
      if (tlutAddress[map] < 0) {
        if (mapHadPalette[map]) continue;
        error = "the display list of material " + std::to_string(material) +
                " loads no palette for texture map " + std::to_string(map) +
                ", so it cannot take a palette format";
        return false;
      }
      // The load of the palette's lines, where the list records it.
      for (const BpWrite& w : writes) {
        if (w.reg != 0x65 || int(w.value & 0x3FF) != tlutAddress[map]) continue;
        if (((w.value >> 10) & 0x7FF) < lines &&
            !patch(w, (w.value & ~(0x7FFu << 10)) | lines << 10))
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
  return true;
}

}  // namespace

bool patchDisplayLists(const Source& source, const Chunk& mdl3, const NewTexture& nt, Edit& edit,
                       std::string& error) {
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

}  // namespace glaze::j3d
