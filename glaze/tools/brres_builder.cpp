#include "brres_builder.h"

#include "big_endian.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace brresbuild {

namespace {

using bigendian::get32;
using bigendian::put16;
using bigendian::put32;

uint32_t floatBits(float f) {
  uint32_t v;
  std::memcpy(&v, &f, 4);
  return v;
}

size_t align(size_t v, size_t to) { return (v + to - 1) / to * to; }

// Bit `id` of a name: character id / 8 from the start, bit id % 8 (7 the
// highest); 0 past the end.
bool bit(const std::string& name, unsigned id) {
  const size_t c = id / 8;
  return c < name.size() && (static_cast<unsigned char>(name[c]) >> (id % 8)) & 1;
}

struct Node {
  unsigned id;
  size_t left, right;
  std::string name;
};

// Inserts names one by one: walk to where the name would be found, take
// the highest bit in which it differs from the name reached, and put the
// new node above the first node on the way whose id is smaller.
std::vector<Node> tree(const std::vector<std::string>& names) {
  std::vector<Node> nodes = {{0xFFFF, 0, 0, ""}};
  for (const std::string& name : names) {
    size_t from = 0, to = nodes[0].left;
    while (nodes[to].id < nodes[from].id) {
      from = to;
      to = bit(name, nodes[to].id) ? nodes[to].right : nodes[to].left;
    }
    const std::string& other = nodes[to].name;
    unsigned id = 0;
    for (size_t c = std::max(name.size(), other.size()); c-- > 0;) {
      const int a = c < name.size() ? static_cast<unsigned char>(name[c]) : 0;
      const int b = c < other.size() ? static_cast<unsigned char>(other[c]) : 0;
      if (a != b) {
        int high = 7;
        while (!(((a ^ b) >> high) & 1)) --high;
        id = unsigned(c * 8 + size_t(high));
        break;
      }
    }
    from = 0, to = nodes[0].left;
    while (nodes[to].id < nodes[from].id && nodes[to].id > id) {
      from = to;
      to = bit(name, nodes[to].id) ? nodes[to].right : nodes[to].left;
    }
    const size_t self = nodes.size();
    nodes.push_back({id, bit(name, id) ? to : self, bit(name, id) ? self : to, name});
    size_t& link = from == 0                   ? nodes[0].left
                   : bit(name, nodes[from].id) ? nodes[from].right
                                               : nodes[from].left;
    link = self;
  }
  return nodes;
}

// Pool entries: length, characters, then a NUL and zeros to 4 bytes (the
// CTools way leaves both out when the characters end on 4 bytes).
std::vector<uint8_t> poolEntry(const std::string& name, bool ctools) {
  const size_t chars = 4 + name.size();
  // Sized once and filled by offset: GCC 12 warns falsely about an insert.
  std::vector<uint8_t> e(ctools && chars % 4 == 0 ? chars : align(chars + 1, 4), 0);
  put32(e, 0, uint32_t(name.size()));
  std::copy(name.begin(), name.end(), e.begin() + 4);
  return e;
}

// A filler pattern that shows a changed byte.
void pattern(std::vector<uint8_t>& b, size_t from, size_t to, uint32_t seed) {
  for (size_t i = from; i < to; ++i) b[i] = uint8_t(i * 131 + seed * 17 + 5);
}

}  // namespace

size_t levelBytes(int format, int width, int height) {
  int tw = 4, th = 4, bytes = 32;
  if (format == 0 || format == 8 || format == 14) tw = 8, th = 8;
  if (format == 1 || format == 2 || format == 9) tw = 8, th = 4;
  if (format == 6) bytes = 64;
  return size_t((width + tw - 1) / tw) * size_t((height + th - 1) / th) * size_t(bytes);
}

std::vector<uint8_t> group(const std::vector<std::string>& names, size_t at,
                           const std::vector<size_t>& nameAt, const std::vector<size_t>& dataAt,
                           size_t referenceNameAt) {
  const std::vector<Node> nodes = tree(names);
  std::vector<uint8_t> g(8 + 16 * nodes.size(), 0);
  put32(g, 0, uint32_t(g.size()));
  put32(g, 4, uint32_t(names.size()));
  for (size_t i = 0; i < nodes.size(); ++i) {
    const size_t e = 8 + 16 * i;
    put16(g, e, nodes[i].id);
    put16(g, e + 4, uint32_t(nodes[i].left));
    put16(g, e + 6, uint32_t(nodes[i].right));
    if (i == 0) {
      if (referenceNameAt) put32(g, e + 8, uint32_t(referenceNameAt - at));
      continue;
    }
    put32(g, e + 8, uint32_t(int64_t(nameAt[i - 1]) - int64_t(at)));
    put32(g, e + 12, uint32_t(int64_t(dataAt[i - 1]) - int64_t(at)));
  }
  return g;
}

size_t lookUp(const std::vector<uint8_t>& file, size_t at, const std::string& name) {
  auto id = [&](size_t i) { return unsigned(file[at + 8 + 16 * i] << 8 | file[at + 9 + 16 * i]); };
  auto link = [&](size_t i, bool right) {
    const size_t e = at + 8 + 16 * i + (right ? 6 : 4);
    return size_t(file[e] << 8 | file[e + 1]);
  };
  const size_t count = get32(file, at + 4);
  size_t from = 0, to = link(0, false);
  for (size_t steps = 0; steps <= count && to <= count && id(to) < id(from); ++steps) {
    from = to;
    to = link(to, bit(name, id(to)));
  }
  if (to == 0 || to > count) return 0;
  const size_t chars = size_t(int64_t(at) + int32_t(get32(file, at + 8 + 16 * to + 8)));
  if (chars < 4 || chars > file.size()) return 0;
  const size_t length = get32(file, chars - 4);
  if (chars + length > file.size()) return 0;
  return std::string(file.begin() + long(chars), file.begin() + long(chars + length)) == name ? to
                                                                                              : 0;
}

std::vector<uint8_t> build(const File& f, Layout* layoutOut) {
  Layout layout;
  const bool ctools = f.pool == Pool::kCTools, inside = f.pool == Pool::kInsideRoot;

  // The root's folders in their order, and what each holds.
  struct Folder {
    std::string name;
    std::vector<std::string> names;
  };
  std::vector<Folder> folders;
  if (!f.models.empty()) {
    folders.push_back({"3DModels(NW4R)", {}});
    for (const Model& m : f.models) folders.back().names.push_back(m.name);
  }
  if (!f.textures.empty()) {
    folders.push_back({"Textures(NW4R)", {}});
    for (const Texture& t : f.textures) folders.back().names.push_back(t.name);
  }
  if (!f.palettes.empty()) {
    folders.push_back({"Palettes(NW4R)", {}});
    for (const Palette& p : f.palettes) folders.back().names.push_back(p.name);
  }
  if (!f.animations.empty()) folders.push_back({"AnmTexSrt(NW4R)", f.animations});
  std::vector<std::string> rootNames;
  for (const Folder& folder : folders) rootNames.push_back(folder.name);
  if (f.rootText) rootNames.push_back("Todo.txt");
  const std::vector<std::string> custom = {"New folder", "notes.txt"};
  if (f.customFolder) rootNames.push_back("Custom");

  // Every string of the pool, once.
  std::vector<std::string> strings;
  auto use = [&](const std::string& s) {
    if (std::find(strings.begin(), strings.end(), s) == strings.end()) strings.push_back(s);
  };
  if (f.emptyReferenceNames) use("");
  for (const std::string& n : rootNames) use(n);
  for (const Folder& folder : folders)
    for (const std::string& n : folder.names) use(n);
  if (f.customFolder)
    for (const std::string& n : custom) use(n);
  for (const Model& m : f.models)
    for (const std::string& n : m.names) use(n);
  if (ctools)
    std::reverse(strings.begin(), strings.end());
  else
    std::sort(strings.begin(), strings.end());
  std::vector<uint8_t> pool;
  std::map<std::string, size_t> inPool;  // where each string's characters lie in the pool
  for (const std::string& s : strings) {
    inPool[s] = pool.size() + 4;
    const auto e = poolEntry(s, ctools);
    pool.insert(pool.end(), e.begin(), e.end());
  }

  // The root section: the root group, the folders' groups, (the pool).
  const size_t rootAt = 0x10;
  size_t at = rootAt + 8;
  layout.groups[""] = at;
  at += 8 + 16 * (rootNames.size() + 1);
  for (const Folder& folder : folders) {
    layout.groups[folder.name] = at;
    at += 8 + 16 * (folder.names.size() + 1);
  }
  if (f.customFolder) {
    layout.groups["Custom"] = at;
    at += 8 + 16 * 3;
    layout.groups["New folder"] = at;
    at += 8 + 16;
  }
  if (inside) {
    layout.poolAt = at;
    at += pool.size();
  }
  const size_t rootEnd = at;

  // Sub-files, each MDL0, TEX0 and PLT0 32-byte aligned.
  at = align(at, 32);
  std::vector<size_t> modelSize;
  for (const Model& m : f.models) {
    layout.modelAt.push_back(at);
    modelSize.push_back(align(0x4C + 16 * m.names.size() + 24, 32));
    at += modelSize.back();
  }
  for (const Texture& t : f.textures) {
    at = align(at, 32);
    layout.textureAt.push_back(at);
    at += (inside ? 0x60 : 0x40) + t.data.size();
  }
  for (const Palette& p : f.palettes) {
    at = align(at, 32);
    layout.paletteAt.push_back(at);
    at += 0x40 + 2 * p.entries.size();
  }
  for (size_t i = 0; i < f.animations.size(); ++i) {
    at = align(at, 4);
    layout.animationAt.push_back(at);
    at += 0x2C;
  }
  const std::string text = "textures to redo: none\n";
  if (f.rootText || f.customFolder) {
    layout.textAt = at;
    at += text.size();
  }
  if (!inside) {
    at = align(at, 4);
    layout.poolAt = at;
    at += pool.size();
  }
  layout.poolEnd = layout.poolAt + pool.size();
  if (f.padPool && !inside) at = align(at, 0x80);
  auto name = [&](const std::string& s) { return layout.poolAt + inPool.at(s); };

  std::vector<uint8_t> out(at, 0);
  std::memcpy(out.data(), "bres", 4);
  put16(out, 4, 0xFEFF);
  put32(out, 8, uint32_t(out.size()));
  put16(out, 12, uint32_t(rootAt));
  const size_t subFiles =
      f.models.size() + f.textures.size() + f.palettes.size() + f.animations.size();
  put16(out, 14, uint32_t(f.sectionCount >= 0 ? f.sectionCount : int(subFiles + 1)));
  std::memcpy(&out[rootAt], "root", 4);
  put32(out, rootAt + 4, uint32_t(rootEnd - rootAt));
  std::copy(pool.begin(), pool.end(), out.begin() + long(layout.poolAt));

  const size_t emptyName = f.emptyReferenceNames ? name("") : 0;
  auto placeGroup = [&](size_t groupAt, const std::vector<std::string>& names,
                        const std::vector<size_t>& data) {
    std::vector<size_t> nameAt;
    for (const std::string& n : names) nameAt.push_back(name(n));
    const auto g = group(names, groupAt, nameAt, data, emptyName);
    std::copy(g.begin(), g.end(), out.begin() + long(groupAt));
  };
  std::vector<size_t> rootData;
  for (const Folder& folder : folders) rootData.push_back(layout.groups[folder.name]);
  if (f.rootText) rootData.push_back(layout.textAt);
  if (f.customFolder) {
    rootData.push_back(layout.groups["Custom"]);
    placeGroup(layout.groups["Custom"], custom, {layout.groups["New folder"], layout.textAt});
    placeGroup(layout.groups["New folder"], {}, {});
  }
  placeGroup(layout.groups[""], rootNames, rootData);
  for (const Folder& folder : folders) {
    const std::vector<size_t>& where = folder.name == "3DModels(NW4R)"   ? layout.modelAt
                                       : folder.name == "Textures(NW4R)" ? layout.textureAt
                                       : folder.name == "Palettes(NW4R)" ? layout.paletteAt
                                                                         : layout.animationAt;
    placeGroup(layout.groups[folder.name], folder.names, where);
  }

  // The common sub-file header: magic, length, version, offset to the file.
  auto common = [&](size_t s, const char* magic, size_t length, uint32_t version) {
    std::memcpy(&out[s], magic, 4);
    put32(out, s + 4, uint32_t(length));
    put32(out, s + 8, version);
    put32(out, s + 12, uint32_t(-int64_t(s)));
  };
  for (size_t i = 0; i < f.models.size(); ++i) {
    const Model& m = f.models[i];
    const size_t s = layout.modelAt[i];
    common(s, "MDL0", modelSize[i], 11);
    pattern(out, s + 0x10, s + modelSize[i], uint32_t(i));
    // 14 section offsets, the name, then structures naming the pool.
    for (size_t k = 0; k < 14; ++k) put32(out, s + 0x10 + 4 * k, uint32_t(0x4C + 16 * (k % 2)));
    put32(out, s + 0x48, uint32_t(name(m.name) - s));
    for (size_t k = 0; k < m.names.size(); ++k) {
      const size_t structure = s + 0x4C + 16 * k;
      put32(out, structure, 16);
      put32(out, structure + 4, uint32_t(-int64_t(structure - s)));
      put32(out, structure + 8, uint32_t(int64_t(name(m.names[k])) - int64_t(structure)));
      layout.references.push_back({structure + 8, structure, m.names[k]});
    }
  }
  for (size_t i = 0; i < f.textures.size(); ++i) {
    const Texture& t = f.textures[i];
    const size_t s = layout.textureAt[i];
    const size_t data = inside ? 0x60 : 0x40;
    common(s, "TEX0", data + t.data.size(), uint32_t(t.version));
    put32(out, s + 0x10, uint32_t(data));
    if (inside) {
      // Its own copy of the name: the length at 0x34, the characters at 0x38.
      put32(out, s + 0x14, 0x38);
      put32(out, s + 0x34, uint32_t(t.name.size()));
      std::copy(t.name.begin(), t.name.begin() + long(std::min<size_t>(t.name.size(), 0x27)),
                out.begin() + long(s + 0x38));
    } else {
      put32(out, s + 0x14, uint32_t(int64_t(name(t.name)) - int64_t(s)));
    }
    const bool palette = t.format == 8 || t.format == 9 || t.format == 10;
    put32(out, s + 0x18, t.flags != 0xFFFFFFFF ? t.flags : palette ? 1 : 0);
    put16(out, s + 0x1C, uint32_t(t.width));
    put16(out, s + 0x1E, uint32_t(t.height));
    put32(out, s + 0x20, uint32_t(t.format));
    put32(out, s + 0x24, uint32_t(t.images));
    put32(out, s + 0x28, floatBits(t.minLod));
    put32(out, s + 0x2C, floatBits(t.maxLod >= 0 ? t.maxLod : float(t.images - 1)));
    std::copy(t.data.begin(), t.data.end(), out.begin() + long(s + data));
  }
  for (size_t i = 0; i < f.palettes.size(); ++i) {
    const Palette& p = f.palettes[i];
    const size_t s = layout.paletteAt[i];
    common(s, "PLT0", 0x40 + 2 * p.entries.size(), uint32_t(p.version));
    put32(out, s + 0x10, 0x40);
    put32(out, s + 0x14, uint32_t(int64_t(name(p.name)) - int64_t(s)));
    put32(out, s + 0x18, uint32_t(p.format));
    put16(out, s + 0x1C, uint32_t(p.entries.size()));
    for (size_t k = 0; k < p.entries.size(); ++k) put16(out, s + 0x40 + 2 * k, p.entries[k]);
  }
  for (size_t i = 0; i < f.animations.size(); ++i) {
    const size_t s = layout.animationAt[i];
    common(s, "SRT0", 0x2C, 5);
    pattern(out, s + 0x10, s + 0x2C, uint32_t(40 + i));
    put32(out, s + 0x18, uint32_t(int64_t(name(f.animations[i])) - int64_t(s)));
  }
  if (f.rootText || f.customFolder)
    std::copy(text.begin(), text.end(), out.begin() + long(layout.textAt));
  if (layoutOut) *layoutOut = layout;
  return out;
}

std::vector<uint8_t> tex0File(const Texture& t) {
  const size_t length = 0x40 + t.data.size();
  std::vector<uint8_t> out(length, 0);
  std::memcpy(out.data(), "TEX0", 4);
  put32(out, 4, uint32_t(length));
  put32(out, 8, uint32_t(t.version));
  put32(out, 0x10, 0x40);
  put32(out, 0x14, uint32_t(length + 4));
  put32(out, 0x18, t.flags != 0xFFFFFFFF ? t.flags : 0);
  put16(out, 0x1C, uint32_t(t.width));
  put16(out, 0x1E, uint32_t(t.height));
  put32(out, 0x20, uint32_t(t.format));
  put32(out, 0x24, uint32_t(t.images));
  put32(out, 0x28, floatBits(t.minLod));
  put32(out, 0x2C, floatBits(t.maxLod >= 0 ? t.maxLod : float(t.images - 1)));
  std::copy(t.data.begin(), t.data.end(), out.begin() + 0x40);
  const auto e = poolEntry(t.name, false);
  out.insert(out.end(), e.begin(), e.end());
  return out;
}

}  // namespace brresbuild
