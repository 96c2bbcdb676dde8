#include "g3d_builder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>

namespace g3dbuild {

namespace {

void put16(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  v[at] = uint8_t(x);
  v[at + 1] = uint8_t(x >> 8);
}
void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  put16(v, at, x);
  put16(v, at + 2, x >> 16);
}
void append16(std::vector<uint8_t>& v, uint32_t x) {
  v.resize(v.size() + 2);
  put16(v, v.size() - 2, x);
}
void append32(std::vector<uint8_t>& v, uint32_t x) {
  v.resize(v.size() + 4);
  put32(v, v.size() - 4, x);
}
// Appends bytes (GCC 12 warns falsely about vector::insert here).
void append(std::vector<uint8_t>& v, const std::vector<uint8_t>& more) {
  const size_t at = v.size();
  v.resize(at + more.size());
  if (!more.empty()) std::memcpy(&v[at], more.data(), more.size());
}
void pad(std::vector<uint8_t>& v, size_t step) { v.resize((v.size() + step - 1) / step * step, 0); }

using Key = std::array<uint8_t, 16>;

Key keyOf(const std::string& name) {
  Key k{};
  std::memcpy(k.data(), name.data(), std::min<size_t>(16, name.size()));
  return k;
}

int bitOf(const Key& k, int bit) { return k[size_t(bit / 8)] >> (bit % 8) & 1; }

// The converter's tree: an ordinary PATRICIA tree of the names inserted in
// entry order (node 0 the head, testing bit 127), numbered in preorder
// from the head's left child, left subtree first.
std::vector<uint8_t> tree(const std::vector<std::string>& names) {
  struct Node {
    int bit, left, right, entry;
  };
  std::vector<Node> nodes = {{127, 0, 0, 0}};
  std::vector<Key> keys = {Key{}};
  for (size_t e = 0; e < names.size(); ++e) {
    const Key k = keyOf(names[e]);
    int p = 0, x = nodes[0].left;
    while (nodes[size_t(p)].bit > nodes[size_t(x)].bit)
      p = x, x = bitOf(k, nodes[size_t(x)].bit) ? nodes[size_t(x)].right : nodes[size_t(x)].left;
    if (keys[size_t(x)] == k) continue;  // a repeated name: the tree reaches the first
    int i = 127;
    while (bitOf(k, i) == bitOf(keys[size_t(x)], i)) --i;
    p = 0, x = nodes[0].left;
    while (nodes[size_t(p)].bit > nodes[size_t(x)].bit && nodes[size_t(x)].bit > i)
      p = x, x = bitOf(k, nodes[size_t(x)].bit) ? nodes[size_t(x)].right : nodes[size_t(x)].left;
    const int t = int(nodes.size());
    nodes.push_back({i, bitOf(k, i) ? x : t, bitOf(k, i) ? t : x, int(e)});
    keys.push_back(k);
    if (p == 0)
      nodes[0].left = t;
    else if (bitOf(k, nodes[size_t(p)].bit))
      nodes[size_t(p)].right = t;
    else
      nodes[size_t(p)].left = t;
  }
  // Preorder numbers along the downward links.
  std::vector<int> number(nodes.size(), 0);
  int next = 1;
  std::vector<int> stack;
  if (nodes[0].left != 0) stack.push_back(nodes[0].left);
  while (!stack.empty()) {
    const int n = stack.back();
    stack.pop_back();
    number[size_t(n)] = next++;
    const Node& node = nodes[size_t(n)];
    if (nodes[size_t(node.right)].bit < node.bit && node.right != n) stack.push_back(node.right);
    if (nodes[size_t(node.left)].bit < node.bit && node.left != n) stack.push_back(node.left);
  }
  std::vector<uint8_t> out(4 * (names.size() + 1), 0);
  for (size_t n = 0; n < nodes.size(); ++n) {
    const size_t at = 4 * size_t(number[n]);
    out[at] = uint8_t(nodes[n].bit);
    out[at + 1] = uint8_t(number[size_t(nodes[n].left)]);
    out[at + 2] = uint8_t(number[size_t(nodes[n].right)]);
    out[at + 3] = uint8_t(nodes[n].entry);
  }
  return out;
}

}  // namespace

std::vector<uint8_t> dictionary(const std::vector<std::string>& names, size_t entrySize,
                                const std::vector<uint8_t>& entries, bool looping) {
  const size_t n = names.size();
  std::vector<uint8_t> out(8);
  out[0] = 0;
  out[1] = uint8_t(n);
  put16(out, 4, 8);
  put16(out, 6, uint32_t(8 + 4 * (n + 1)));
  std::vector<uint8_t> nodes = tree(names);
  if (looping)
    for (size_t k = 0; k <= n; ++k) {
      nodes[4 * k] = 0x7F;
      nodes[4 * k + 1] = uint8_t(k % std::max<size_t>(n, 1) + 1);
      nodes[4 * k + 2] = uint8_t(n + 5);
    }
  append(out, nodes);
  append16(out, uint32_t(entrySize));
  append16(out, uint32_t(4 + entrySize * n));
  append(out, entries);
  for (const std::string& name : names) {
    const Key k = keyOf(name);
    out.insert(out.end(), k.begin(), k.end());
  }
  put16(out, 2, uint32_t(out.size()));
  return out;
}

namespace {

int sizeCode(int side) {
  int code = 0;
  while ((8 << code) < side) ++code;
  return code;
}

std::vector<uint8_t> tex0(const File& f, Layout& layout) {
  // The data sections: each datum stored once, where its first texture comes.
  std::vector<uint8_t> texels, compressed, indices, palettes;
  layout.dataAt.assign(f.data.size(), 0);
  std::vector<bool> placed(f.data.size(), false);
  for (const Texture& t : f.textures) {
    if (t.data < 0 || placed[size_t(t.data)]) continue;
    const Data& d = f.data[size_t(t.data)];
    placed[size_t(t.data)] = true;
    if (t.format == 5) {
      layout.dataAt[size_t(t.data)] = compressed.size();
      compressed.insert(compressed.end(), d.texels.begin(), d.texels.end());
      pad(compressed, 8);
      indices.insert(indices.end(), d.index.begin(), d.index.end());
      indices.resize(compressed.size() / 2, 0);
    } else {
      layout.dataAt[size_t(t.data)] = texels.size();
      texels.insert(texels.end(), d.texels.begin(), d.texels.end());
      pad(texels, 8);
    }
  }
  layout.paletteAt.assign(f.palettes.size(), 0);
  bool fourColour = false;
  for (size_t p = 0; p < f.palettes.size(); ++p) {
    const Palette& pal = f.palettes[p];
    fourColour = fourColour || pal.fourColour;
    if (pal.sameAs >= 0) {
      layout.paletteAt[p] = layout.paletteAt[size_t(pal.sameAs)];
      continue;
    }
    pad(palettes, 16);
    layout.paletteAt[p] = palettes.size();
    for (uint16_t c : pal.colours) append16(palettes, c);
    pad(palettes, 16);
  }

  std::vector<std::string> textureNames, paletteNames;
  std::vector<uint8_t> textureEntries, paletteEntries;
  for (const Texture& t : f.textures) {
    textureNames.push_back(t.name);
    const uint32_t offset = t.data >= 0 ? uint32_t(layout.dataAt[size_t(t.data)]) : 0;
    append32(textureEntries, offset >> 3 | t.otherBits | uint32_t(sizeCode(t.width)) << 20 |
                                 uint32_t(sizeCode(t.height)) << 23 | uint32_t(t.format) << 26 |
                                 uint32_t(t.transparent0) << 29);
    append32(textureEntries,
             t.extra.value_or(uint32_t(t.width) | uint32_t(t.height) << 11 | 1u << 31));
  }
  for (size_t p = 0; p < f.palettes.size(); ++p) {
    paletteNames.push_back(f.palettes[p].name);
    append16(paletteEntries, uint32_t(layout.paletteAt[p] >> 3));
    append16(paletteEntries, f.palettes[p].fourColour ? 1 : 0);
  }
  const std::vector<uint8_t> textureDictionary =
      dictionary(textureNames, 8, textureEntries, f.loopingTrees);
  const std::vector<uint8_t> paletteDictionary =
      dictionary(paletteNames, 4, paletteEntries, f.loopingTrees);

  std::vector<uint8_t> out(0x3C, 0);
  std::memcpy(out.data(), "TEX0", 4);
  const size_t textureDictionaryAt = out.size();
  append(out, textureDictionary);
  const size_t paletteDictionaryAt = out.size();
  append(out, paletteDictionary);
  layout.dictionariesEnd = out.size();
  const size_t texelsAt = out.size();
  append(out, texels);
  const size_t compressedAt = out.size();
  append(out, compressed);
  const size_t indicesAt = out.size();
  append(out, indices);
  const size_t palettesAt = out.size();
  append(out, palettes);
  put32(out, 0x04, uint32_t(out.size()));
  put16(out, 0x0C, uint32_t(texels.size() >> 3));
  put16(out, 0x0E, uint32_t(textureDictionaryAt));
  put32(out, 0x14, uint32_t(texelsAt));
  put16(out, 0x1C, uint32_t(compressed.size() >> 3));
  put16(out, 0x1E, uint32_t(textureDictionaryAt));
  put32(out, 0x24, uint32_t(compressedAt));
  put32(out, 0x28, uint32_t(indicesAt));
  put16(out, 0x30, uint32_t(palettes.size() >> 3));
  put16(out, 0x32, fourColour ? 0x8000 : 0);
  put16(out, 0x34, uint32_t(paletteDictionaryAt));
  put32(out, 0x38, uint32_t(palettesAt));

  layout.texels = texelsAt, layout.texelsSize = texels.size();
  layout.compressed = compressedAt, layout.compressedSize = compressed.size();
  layout.indices = indicesAt;
  layout.palettes = palettesAt, layout.palettesSize = palettes.size();
  layout.textureDictionary = textureDictionaryAt;
  layout.paletteDictionary = paletteDictionaryAt;
  const size_t textureEntriesAt = textureDictionaryAt + 8 + 4 * (f.textures.size() + 1) + 4;
  const size_t paletteEntriesAt = paletteDictionaryAt + 8 + 4 * (f.palettes.size() + 1) + 4;
  for (size_t i = 0; i < f.textures.size(); ++i)
    layout.textureEntry.push_back(textureEntriesAt + 8 * i);
  for (size_t i = 0; i < f.palettes.size(); ++i)
    layout.paletteEntry.push_back(paletteEntriesAt + 4 * i);
  return out;
}

// A pairing dictionary: each name with the list of its materials.
std::vector<uint8_t> pairing(const std::vector<std::pair<std::string, std::vector<uint8_t>>>& pairs,
                             size_t& listsAt, std::vector<uint8_t>& lists) {
  std::vector<std::string> names;
  std::vector<uint8_t> entries;
  for (const auto& [name, materials] : pairs) {
    names.push_back(name);
    append16(entries, uint32_t(listsAt + lists.size()));
    entries.push_back(uint8_t(materials.size()));
    entries.push_back(1);
    append(lists, materials);
  }
  return dictionary(names, 4, entries);
}

std::vector<uint8_t> materials(const Model& m) {
  // u16 texture pairing, u16 palette pairing, the material dictionary, the
  // two pairing dictionaries, the lists, the materials.
  std::vector<std::string> names;
  std::vector<uint8_t> offsets(4 * size_t(m.materials), 0);
  for (int k = 0; k < m.materials; ++k) names.push_back("material" + std::to_string(k));
  const size_t materialDictionary = 4;
  size_t at = materialDictionary + dictionary(names, 4, offsets).size();
  // The sizes of the pairing dictionaries do not depend on the list offsets.
  size_t none = 0;
  std::vector<uint8_t> scratch;
  const size_t texturePairs = at;
  at += pairing(m.textures, none, scratch).size();
  const size_t palettePairs = at;
  at += pairing(m.palettes, none, scratch).size();
  size_t listsAt = at;
  std::vector<uint8_t> lists;
  const std::vector<uint8_t> textures = pairing(m.textures, listsAt, lists);
  const std::vector<uint8_t> palettes = pairing(m.palettes, listsAt, lists);
  size_t materialsAt = (listsAt + lists.size() + 3) / 4 * 4;
  for (int k = 0; k < m.materials; ++k)
    put32(offsets, 4 * size_t(k), uint32_t(materialsAt + 0x2C * size_t(k)));
  std::vector<uint8_t> out(4);
  put16(out, 0, uint32_t(texturePairs));
  put16(out, 2, uint32_t(palettePairs));
  const std::vector<uint8_t> materialList = dictionary(names, 4, offsets);
  append(out, materialList);
  append(out, textures);
  append(out, palettes);
  append(out, lists);
  pad(out, 4);
  for (int k = 0; k < m.materials; ++k)
    for (int i = 0; i < 0x2C; ++i) out.push_back(uint8_t(0x40 + k + i));
  return out;
}

std::vector<uint8_t> mdl0(const File& f) {
  std::vector<std::vector<uint8_t>> models;
  for (const Model& m : f.models) {
    std::vector<uint8_t> model(0x3C, 0);
    const std::vector<uint8_t> section = materials(m);
    const size_t materialsAt = model.size();
    append(model, section);
    const size_t commandsAt = model.size();
    for (uint8_t c : {0x01, 0x02, 0x00, 0x01, 0x00}) model.push_back(c);  // render commands
    pad(model, 4);
    const size_t shapesAt = model.size();
    model.resize(model.size() + 16, 0x5A);
    put32(model, 0x00, uint32_t(model.size()));
    put32(model, 0x04, uint32_t(commandsAt));
    put32(model, 0x08, uint32_t(materialsAt));
    put32(model, 0x0C, uint32_t(shapesAt));
    put32(model, 0x10, uint32_t(shapesAt));
    model[0x18] = 1;                     // nodes
    model[0x19] = uint8_t(m.materials);  // materials
    model[0x1A] = 1;                     // shapes
    models.push_back(std::move(model));
  }
  std::vector<std::string> names;
  for (size_t i = 0; i < models.size(); ++i) names.push_back("model" + std::to_string(i));
  const size_t dictionarySize =
      dictionary(names, 4, std::vector<uint8_t>(4 * models.size())).size();
  std::vector<uint8_t> offsets;
  size_t at = (8 + dictionarySize + 3) / 4 * 4;
  for (const auto& m : models) {
    append32(offsets, uint32_t(at));
    at += m.size();
  }
  std::vector<uint8_t> out(8);
  std::memcpy(out.data(), "MDL0", 4);
  const std::vector<uint8_t> list = dictionary(names, 4, offsets);
  append(out, list);
  pad(out, 4);
  for (const auto& m : models) append(out, m);
  put32(out, 4, uint32_t(out.size()));
  return out;
}

}  // namespace

std::vector<uint8_t> build(const File& f, Layout* layout) {
  Layout scratch;
  Layout& l = layout ? *layout : scratch;
  l = Layout();
  std::vector<std::vector<uint8_t>> blocks;
  if (f.model) blocks.push_back(mdl0(f));
  std::vector<uint8_t> textures;
  if (!f.model || !f.noTex0) {
    textures = tex0(f, l);
    blocks.push_back(textures);
  }
  std::vector<uint8_t> out(16 + 4 * blocks.size(), 0);
  std::memcpy(out.data(), f.model ? "BMD0" : "BTX0", 4);
  out[4] = 0xFF, out[5] = 0xFE;
  put16(out, 6, f.model ? 2 : 1);
  put16(out, 12, 16);
  put16(out, 14, uint32_t(blocks.size()));
  for (size_t b = 0; b < blocks.size(); ++b) {
    pad(out, 4);
    put32(out, 16 + 4 * b, uint32_t(out.size()));
    if (b + 1 == blocks.size() && !textures.empty()) l.tex0 = out.size();
    out.insert(out.end(), blocks[b].begin(), blocks[b].end());
  }
  put32(out, 8, f.fileSizeField.value_or(uint32_t(out.size())));
  if (!textures.empty()) {
    l.tex0Size = textures.size();
    for (size_t* v : {&l.texels, &l.compressed, &l.indices, &l.palettes, &l.textureDictionary,
                      &l.paletteDictionary, &l.dictionariesEnd})
      *v += l.tex0;
    for (size_t& v : l.textureEntry) v += l.tex0;
    for (size_t& v : l.paletteEntry) v += l.tex0;
  }
  return out;
}

}  // namespace g3dbuild
