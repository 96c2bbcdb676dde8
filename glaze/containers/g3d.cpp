// Nitro G3D files read as hostile input: every offset, size and count is
// checked before it is used, in 64-bit arithmetic; only the header, the
// TEX0 block's dictionaries and sections (each at most 512 KiB, as their
// 16-bit size fields allow) and the MDL0 block's material lists are read.
// Names are matched by scanning the dictionaries in order, never through
// their trees, which may repeat names or reach only the first of them.
#include "containers/g3d.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "names.h"

namespace glaze::g3d {

namespace {

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::string readFailed() { return std::string("cannot read it: ") + std::strerror(errno); }

bool inside(uint64_t at, uint64_t size, uint64_t end) { return at <= end && size <= end - at; }

// A 16-byte name as stored: up to its first NUL (a 16-character name has none).
std::string nameOf(const uint8_t* p) {
  size_t n = 0;
  while (n < 16 && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

// The two forms of LZ10 the games wrap their files in: a 0x10 byte and a
// 24-bit size, or "LZ77" before that. The stream's first flag byte is 0
// when its first eight bytes are literals, as a G3D header's are.
const char* compression(const uint8_t* head, size_t size) {
  auto magicAt = [&](size_t at) {
    return size >= at + 4 &&
           (std::memcmp(head + at, "BTX0", 4) == 0 || std::memcmp(head + at, "BMD0", 4) == 0);
  };
  if (size >= 5 && head[0] == 0x10 && (head[4] & 0xF0) == 0 && magicAt(5)) return "LZ10";
  if (size >= 9 && std::memcmp(head, "LZ77", 4) == 0 && head[4] == 0x10 && (head[8] & 0xF0) == 0 &&
      magicAt(9))
    return "LZ77 and LZ10";
  return nullptr;
}

bool hasMagic(const uint8_t* head, size_t size) {
  if (size >= 4 && (std::memcmp(head, "BTX0", 4) == 0 || std::memcmp(head, "BMD0", 4) == 0))
    return true;
  return compression(head, size) != nullptr;
}

// An NNS dictionary: its entries' data and names.
struct Dictionary {
  size_t count = 0;
  uint64_t entries = 0, names = 0;  // absolute
};

class Reader {
 public:
  Reader(const Source& source, uint64_t end) : source_(source), end_(end) {}

  bool bytes(uint64_t at, size_t n, std::vector<uint8_t>& out, std::string& error) const {
    out.resize(n);
    if (n > 0 && !source_.read(at, out.data(), n)) return error = readFailed(), false;
    return true;
  }

  // The dictionary at `at` (inside [begin, end_)), of entries of
  // `entrySize` bytes; `what` names it in messages ("its texture
  // dictionary").
  bool dictionary(uint64_t at, size_t entrySize, const std::string& what, const std::string& block,
                  Dictionary& out, std::string& error) const {
    std::vector<uint8_t> head, part;
    if (!inside(at, 8, end_)) {
      error = what + " lies past the " + block + " block";
      return false;
    }
    if (!bytes(at, 8, head, error)) return false;
    if (head[0] != 0) {
      error = what + " has revision " + std::to_string(head[0]) + " (not 0)";
      return false;
    }
    out.count = head[1];
    const uint64_t entries = at + le16(&head[6]);
    if (!inside(entries, 4, end_)) {
      error = what + "'s entries lie past the " + block + " block";
      return false;
    }
    if (!bytes(entries, 4, part, error)) return false;
    if (le16(&part[0]) != entrySize) {
      error = what + " has entries of " + std::to_string(le16(&part[0])) + " bytes (not " +
              std::to_string(entrySize) + ")";
      return false;
    }
    out.entries = entries + 4;
    out.names = entries + le16(&part[2]);
    if (!inside(out.entries, entrySize * out.count, end_)) {
      error = what + "'s entries lie past the " + block + " block";
      return false;
    }
    if (!inside(out.names, 16 * out.count, end_)) {
      error = what + "'s names lie past the " + block + " block";
      return false;
    }
    return true;
  }

  // Entry data and names of a dictionary.
  bool contents(const Dictionary& d, size_t entrySize, std::vector<uint8_t>& entries,
                std::vector<std::string>& names, std::string& error) const {
    std::vector<uint8_t> raw;
    if (!bytes(d.entries, entrySize * d.count, entries, error) ||
        !bytes(d.names, 16 * d.count, raw, error))
      return false;
    names.clear();
    for (size_t i = 0; i < d.count; ++i) names.push_back(nameOf(&raw[16 * i]));
    return true;
  }

 private:
  const Source& source_;
  uint64_t end_;
};

// "the texel data" and the like, for messages.
const char* const kSectionNames[4] = {"texel data", "4x4 texel data", "4x4 palette-index data",
                                      "palette data"};

std::unique_ptr<Container> open(const Source& source, const std::string&, std::string& error) {
  auto file = std::make_unique<File>(source);
  if (!file->read(error)) return nullptr;
  return file;
}

}  // namespace

bool File::read(std::string& error) {
  const uint64_t fileSize = source_.size();
  uint8_t head[16] = {};
  const size_t got = size_t(std::min<uint64_t>(fileSize, 16));
  if (got > 0 && !source_.read(0, head, got)) return error = readFailed(), false;
  if (const char* how = compression(head, got)) {
    error = std::string("it is compressed (") + how + "): decompress it first";
    return false;
  }
  if (fileSize < 16) {
    error = "it is too short for a G3D header (" + std::to_string(fileSize) + " bytes, 16 needed)";
    return false;
  }
  const bool model = std::memcmp(head, "BMD0", 4) == 0;
  if (head[4] != 0xFF || head[5] != 0xFE) {
    error = "its byte-order mark is not FF FE: only little-endian files exist";
    return false;
  }
  fileSizeField_ = le32(head + 8);
  if (le16(head + 12) < 16) {
    error = "its header size is " + std::to_string(le16(head + 12)) + " (less than 16)";
    return false;
  }
  const size_t blocks = le16(head + 14);
  const uint64_t tableEnd = 16 + 4 * uint64_t(blocks);
  if (tableEnd > fileSize) {
    error = "its block table (" + std::to_string(blocks) + " blocks) runs past the end of the file";
    return false;
  }
  Reader whole(source_, fileSize);
  std::vector<uint8_t> table;
  if (!whole.bytes(16, 4 * blocks, table, error)) return false;
  struct Block {
    size_t index;
    uint64_t at;
    uint32_t size;
    std::string tag;
  };
  std::vector<Block> list;
  for (size_t i = 0; i < blocks; ++i) {
    const uint64_t at = le32(&table[4 * i]);
    const std::string which = "its block " + std::to_string(i);
    if (at < tableEnd) {
      error = which + " (at offset " + std::to_string(at) + ") overlaps the file header";
      return false;
    }
    if (!inside(at, 8, fileSize)) {
      error = which + " (at offset " + std::to_string(at) + ") lies past the end of the file";
      return false;
    }
    std::vector<uint8_t> prefix;
    if (!whole.bytes(at, 8, prefix, error)) return false;
    Block b{i, at, le32(&prefix[4]), displayName(std::string(prefix.begin(), prefix.begin() + 4))};
    if (b.size < 8) {
      error = which + " (" + b.tag + ") has size " + std::to_string(b.size) + " (less than 8)";
      return false;
    }
    if (!inside(at, b.size, fileSize)) {
      error = which + " (" + b.tag + ", " + std::to_string(b.size) + " bytes at offset " +
              std::to_string(at) + ") runs past the end of the file";
      return false;
    }
    list.push_back(b);
    blockAt_.push_back(at);
  }
  std::vector<Block> sorted = list;
  std::sort(sorted.begin(), sorted.end(),
            [](const Block& a, const Block& b) { return a.at < b.at; });
  for (size_t i = 1; i < sorted.size(); ++i)
    if (sorted[i - 1].at + sorted[i - 1].size > sorted[i].at) {
      error = "its blocks " + std::to_string(std::min(sorted[i - 1].index, sorted[i].index)) +
              " and " + std::to_string(std::max(sorted[i - 1].index, sorted[i].index)) + " overlap";
      return false;
    }
  const Block* tex0 = nullptr;
  const Block* mdl0 = nullptr;
  for (const Block& b : list) {
    if (b.tag == "TEX0" && !tex0) tex0 = &b;
    if (b.tag == "MDL0" && !mdl0 && model) mdl0 = &b;
  }
  if (!tex0) {
    if (!model) {
      error = "it has no TEX0 block";
      return false;
    }
    notes_.push_back(
        "it has no TEX0 block: its textures are kept in a texture file (BTX0) of their own");
    return true;
  }
  if (mdl0 && !readMaterials(mdl0->at, mdl0->size, error)) return false;
  if (!readTex0(tex0->at, tex0->size, error)) return false;
  pairPalettes();
  return true;
}

bool File::readTex0(uint64_t at, uint32_t size, std::string& error) {
  tex0At_ = at;
  tex0Size_ = size;
  if (size < 0x3C) {
    error = "its TEX0 block is too short (" + std::to_string(size) + " bytes, 60 needed)";
    return false;
  }
  const uint64_t end = at + size;
  Reader reader(source_, end);
  if (!source_.read(at, header_, sizeof header_)) return error = readFailed(), false;
  Section* sections[4] = {&texels_, &compressed_, &indices_, &palettes_};
  texels_.at = le32(header_ + 0x14), texels_.size = uint32_t(le16(header_ + 0x0C)) << 3;
  compressed_.at = le32(header_ + 0x24), compressed_.size = uint32_t(le16(header_ + 0x1C)) << 3;
  indices_.at = le32(header_ + 0x28), indices_.size = compressed_.size / 2;
  palettes_.at = le32(header_ + 0x38), palettes_.size = uint32_t(le16(header_ + 0x30)) << 3;
  for (int s = 0; s < 4; ++s) {
    Section& section = *sections[s];
    if (section.size > 0 && !inside(section.at, section.size, size)) {
      error = std::string("its ") + kSectionNames[s] + " (" + std::to_string(section.size) +
              " bytes at offset " + std::to_string(section.at) + ") lie past the TEX0 block";
      return false;
    }
    if (!reader.bytes(at + section.at, section.size, section.bytes, error)) return false;
  }

  Dictionary textures, palettes;
  std::vector<uint8_t> textureData, paletteData;
  std::vector<std::string> textureNames, paletteNames;
  if (!reader.dictionary(at + le16(header_ + 0x0E), 8, "its texture dictionary", "TEX0", textures,
                         error) ||
      !reader.dictionary(at + le16(header_ + 0x34), 4, "its palette dictionary", "TEX0", palettes,
                         error) ||
      !reader.contents(textures, 8, textureData, textureNames, error) ||
      !reader.contents(palettes, 4, paletteData, paletteNames, error))
    return false;
  dictionariesEnd_ = uint32_t(std::max<uint64_t>(
      {0x3C, textures.entries + 8 * textures.count - at, textures.names + 16 * textures.count - at,
       palettes.entries + 4 * palettes.count - at, palettes.names + 16 * palettes.count - at}));
  // What is written in place must change nothing else: the header, the
  // dictionaries and the sections lie apart.
  struct Region {
    const char* what;
    uint64_t begin, end;
  };
  auto extent = [&](const char* what, uint64_t dictionary, const Dictionary& d, size_t entrySize) {
    return Region{what, dictionary - at,
                  std::max(d.entries + entrySize * d.count, d.names + 16 * d.count) - at};
  };
  std::vector<Region> regions = {
      {"header", 0, 0x3C},
      extent("texture dictionary", at + le16(header_ + 0x0E), textures, 8),
      extent("palette dictionary", at + le16(header_ + 0x34), palettes, 4)};
  for (int s = 0; s < 4; ++s)
    if (sections[s]->size > 0)
      regions.push_back(
          {kSectionNames[s], sections[s]->at, uint64_t(sections[s]->at) + sections[s]->size});
  for (size_t i = 0; i < regions.size(); ++i)
    for (size_t j = i + 1; j < regions.size(); ++j)
      if (regions[i].begin < regions[j].end && regions[j].begin < regions[i].end) {
        error = std::string("its TEX0 block's ") + regions[i].what + " and " + regions[j].what +
                " overlap";
        return false;
      }

  for (size_t i = 0; i < palettes.count; ++i) {
    Palette p;
    p.name = paletteNames[i];
    p.entryAt = palettes.entries + 4 * i;
    p.offset = uint32_t(le16(&paletteData[4 * i])) << 3;
    if (p.offset > palettes_.size) {
      error = "its palette " + std::to_string(i) + " (" + displayName(p.name) +
              ") lies at offset " + std::to_string(p.offset) + ", past the palette data (" +
              std::to_string(palettes_.size) + " bytes)";
      return false;
    }
    paletteList_.push_back(p);
  }
  for (Palette& p : paletteList_) {
    uint32_t next = palettes_.size;
    for (const Palette& q : paletteList_)
      if (q.offset > p.offset) next = std::min(next, q.offset);
    p.length = next - p.offset;
  }

  for (size_t i = 0; i < textures.count; ++i) {
    Texture t;
    t.name = textureNames[i];
    t.entryAt = textures.entries + 8 * i;
    t.word0 = le32(&textureData[8 * i]);
    t.word1 = le32(&textureData[8 * i + 4]);
    t.offset = (t.word0 & 0xFFFF) << 3;
    t.width = 8 << (t.word0 >> 20 & 7);
    t.height = 8 << (t.word0 >> 23 & 7);
    t.format = int(t.word0 >> 26 & 7);
    t.transparent0 = t.word0 >> 29 & 1;
    TextureEntry entry{t.name, "", {}};
    const uint64_t bytes = nitro::texelBytes(t.format, t.width, t.height);
    const Section& section = t.compressed() ? compressed_ : texels_;
    auto past = [&](const char* what, uint64_t n, uint64_t offset, int s) {
      return std::string("its ") + what + " (" + std::to_string(n) + " bytes at offset " +
             std::to_string(offset) + ") lie past the " + kSectionNames[s] + " (" +
             std::to_string(sections[s]->size) + " bytes)";
    };
    if (t.format == nitro::kNone)
      entry.problem = "its format is 0 (no texture)";
    else if (!inside(t.offset, bytes, section.size))
      entry.problem = past("data", bytes, t.offset, t.compressed() ? 1 : 0);
    else if (t.compressed() &&
             !inside(t.offset / 2, nitro::indexBytes(t.width, t.height), indices_.size))
      entry.problem =
          past("palette indices", nitro::indexBytes(t.width, t.height), t.offset / 2, 2);
    entries_.push_back(t);
    textures_.push_back(std::move(entry));
  }
  // Sharers: textures of data in the same section at the same offset.
  for (size_t i = 0; i < entries_.size(); ++i)
    for (size_t j = 0; j < entries_.size(); ++j)
      if (i != j && entries_[i].format != nitro::kNone && entries_[j].format != nitro::kNone &&
          entries_[i].compressed() == entries_[j].compressed() &&
          entries_[i].offset == entries_[j].offset)
        textures_[i].sharing.push_back(j);
  return true;
}

bool File::readMaterials(uint64_t at, uint32_t size, std::string& error) {
  const uint64_t end = at + size;
  Reader reader(source_, end);
  // Messages of the reader name the MDL0 block themselves.
  auto damaged = [&] {
    if (error.rfind("cannot read it", 0) != 0) error = "its MDL0 block is damaged: " + error;
    return false;
  };
  auto fail = [&](const std::string& what) {
    error = what;
    return damaged();
  };
  Dictionary modelList;
  std::vector<uint8_t> modelOffsets;
  std::vector<std::string> names;
  if (!reader.dictionary(at + 8, 4, "the model dictionary", "MDL0", modelList, error) ||
      !reader.contents(modelList, 4, modelOffsets, names, error))
    return damaged();
  for (size_t m = 0; m < modelList.count; ++m) {
    const std::string which = "model " + std::to_string(m);
    const uint64_t model = at + le32(&modelOffsets[4 * m]);
    std::vector<uint8_t> field;
    if (!inside(model, 12, end)) return fail(which + " lies past the MDL0 block");
    if (!reader.bytes(model + 8, 4, field, error)) return false;
    const uint64_t materials = model + le32(field.data());
    if (!inside(materials, 4, end)) return fail(which + "'s materials lie past the MDL0 block");
    if (!reader.bytes(materials, 4, field, error)) return false;
    const uint64_t pairings[2] = {materials + le16(&field[0]), materials + le16(&field[2])};
    Dictionary list;
    if (!reader.dictionary(materials + 4, 4, which + "'s material dictionary", "MDL0", list, error))
      return damaged();
    std::vector<Material> materialsOf(list.count);
    for (int kind = 0; kind < 2; ++kind) {
      const std::string what = which + (kind == 0 ? "'s texture" : "'s palette") + " pairing";
      Dictionary pairs;
      std::vector<uint8_t> entries;
      if (!reader.dictionary(pairings[kind], 4, what, "MDL0", pairs, error) ||
          !reader.contents(pairs, 4, entries, names, error))
        return damaged();
      for (size_t e = 0; e < pairs.count; ++e) {
        const std::string entry = what + " " + std::to_string(e);
        const uint64_t listAt = materials + le16(&entries[4 * e]);
        const size_t count = entries[4 * e + 2];
        std::vector<uint8_t> indices;
        if (!inside(listAt, count, end)) return fail(entry + "'s list lies past the MDL0 block");
        if (!reader.bytes(listAt, count, indices, error)) return false;
        for (uint8_t k : indices) {
          if (k >= list.count)
            return fail(entry + " names material " + std::to_string(k) + " of " +
                        std::to_string(list.count));
          (kind == 0 ? materialsOf[k].textures : materialsOf[k].palettes).push_back(names[e]);
        }
      }
    }
    models_.push_back(std::move(materialsOf));
  }
  return true;
}

int File::paletteNamed(const std::string& name) const {
  for (size_t p = 0; p < paletteList_.size(); ++p)
    if (paletteList_[p].name == name) return int(p);
  return -1;
}

void File::pairPalettes() {
  palette_.assign(entries_.size(), -1);
  pairing_.assign(entries_.size(), Pairing::kNone);
  for (size_t t = 0; t < entries_.size(); ++t) {
    const Texture& tex = entries_[t];
    if (paletteList_.empty() || tex.format == nitro::kNone) continue;
    // 1. The first material (models and materials in order) naming the
    // texture and a palette the file holds.
    for (const auto& model : models_) {
      for (const Material& m : model) {
        if (std::find(m.textures.begin(), m.textures.end(), tex.name) == m.textures.end()) continue;
        for (const std::string& name : m.palettes)
          if (const int p = paletteNamed(name); p >= 0) {
            palette_[t] = p;
            break;
          }
        if (palette_[t] >= 0) break;
      }
      if (palette_[t] >= 0) break;
    }
    if (palette_[t] >= 0) {
      pairing_[t] = Pairing::kMaterial;
      continue;
    }
    // 2. A palette of the texture's name, or of NAME_pl (cut to 16 bytes).
    for (const std::string& name : {tex.name, (tex.name + "_pl").substr(0, 16)})
      if (palette_[t] < 0) palette_[t] = paletteNamed(name);
    if (palette_[t] >= 0) {
      pairing_[t] = Pairing::kName;
      continue;
    }
    // 3. The first palette holding every colour the texels use, else #0.
    pairing_[t] = Pairing::kColours;
    palette_[t] = 0;
    if (!textures_[t].problem.empty()) continue;
    const size_t used = nitro::coloursUsed(stored(t).texels());
    for (size_t p = 0; p < paletteList_.size(); ++p)
      if (paletteList_[p].length / 2 >= used) {
        palette_[t] = int(p);
        break;
      }
  }
}

int File::shownPalette(size_t t) const {
  const int format = entries_[t].format;
  return format == nitro::kNone || format == nitro::kDirect ? -1 : palette_[t];
}

nitro::Stored File::stored(size_t t) const {
  const Texture& tex = entries_[t];
  nitro::Stored s;
  s.format = tex.format;
  s.width = tex.width;
  s.height = tex.height;
  s.transparent0 = tex.transparent0;
  const Section& section = tex.compressed() ? compressed_ : texels_;
  const auto from = section.bytes.begin() + long(tex.offset);
  s.data.assign(from, from + long(nitro::texelBytes(tex.format, tex.width, tex.height)));
  if (tex.compressed()) {
    const auto at = indices_.bytes.begin() + long(tex.offset / 2);
    s.index.assign(at, at + long(nitro::indexBytes(tex.width, tex.height)));
  }
  return s;
}

std::vector<uint16_t> File::colours(int palette) const {
  std::vector<uint16_t> out;
  if (palette < 0) return out;
  const Palette& p = paletteList_[size_t(palette)];
  for (uint32_t i = 0; i + 1 < p.length; i += 2)
    out.push_back(le16(&palettes_.bytes[p.offset + i]) & 0x7FFF);
  return out;
}

std::vector<std::string> File::listFields(size_t t) const {
  const Texture& tex = entries_[t];
  const char* format = nitro::formatName(tex.format);
  std::string palette = "-";
  if (const int p = shownPalette(t); p >= 0) {
    palette = displayName(paletteList_[size_t(p)].name);
    palette += '/';
    palette += std::to_string(paletteList_[size_t(p)].length / 2);
  }
  std::string shared;
  for (size_t s : textures_[t].sharing) {
    if (!shared.empty()) shared += ',';
    shared += std::to_string(s);
  }
  return {format ? format : "none", std::to_string(tex.width) + "x" + std::to_string(tex.height),
          palette, shared.empty() ? "-" : shared};
}

bool File::decode(size_t t, const std::vector<int>&, Decoded& out, std::string&) const {
  const nitro::Stored s = stored(t);
  const int p = shownPalette(t);
  const std::vector<uint16_t> palette = colours(p);
  Image image(s.width, s.height);
  const uint64_t missing = nitro::decode(s.texels(), palette, image.rgba.data());
  out.levels.push_back(std::move(image));
  if (missing > 0) {
    const std::string described = describeTexture(t, entries_[t].name);
    if (p < 0)
      out.warnings.push_back(described + ": the file holds no palette, so its " +
                             std::to_string(missing) + " texels are written transparent");
    else
      out.warnings.push_back(described + ": " + std::to_string(missing) +
                             " texels have colours past its " + std::to_string(palette.size()) +
                             "-colour palette " + displayName(paletteList_[size_t(p)].name) +
                             "; they are written transparent");
  }
  return true;
}

const ContainerType kType = {"a DS model or texture file (no BMD0 or BTX0 magic)", hasMagic,
                             nullptr, open, nitro::requestProblem};

}  // namespace glaze::g3d
