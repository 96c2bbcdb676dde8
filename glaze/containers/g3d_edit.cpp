// A replacement in a G3D file: the palette chosen and whether it is the
// texture's own, the texels encoded, and the edit laid out. Data of the same
// size are written over the old; data of another size (or a palette that
// grows) are spliced into their section, the data after them move, and the
// offsets, section sizes, TEX0 size and file size follow. The sections are
// then laid out in order, back to back, as the games' files have them.
#include <algorithm>
#include <cstring>

#include "containers/g3d.h"
#include "names.h"

namespace glaze::g3d {

namespace {

void put16(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  v[at] = uint8_t(x);
  v[at + 1] = uint8_t(x >> 8);
}
void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  put16(v, at, x);
  put16(v, at + 2, x >> 16);
}
std::vector<uint8_t> word(uint32_t x) {
  std::vector<uint8_t> v(4);
  put32(v, 0, x);
  return v;
}

int sizeCode(int side) {
  int code = 0;
  while ((8 << code) < side) ++code;
  return code;
}

// The largest section a TEX0 block describes: a 16-bit count of 8 bytes.
constexpr uint32_t kMaxSection = 0xFFFF << 3;

// A section with bytes replaced: the data after the change move.
struct Rebuilt {
  std::vector<uint8_t> bytes;
  bool changed = false;
  uint32_t at = 0, removed = 0, added = 0;

  void replace(uint32_t from, uint32_t count, const std::vector<uint8_t>& with) {
    bytes.erase(bytes.begin() + long(from), bytes.begin() + long(from + count));
    bytes.insert(bytes.begin() + long(from), with.begin(), with.end());
    changed = true, at = from, removed = count, added = uint32_t(with.size());
  }
  // Where data that started at `offset` start now (data at the change's
  // start stay).
  uint32_t moved(uint32_t offset) const {
    if (!changed || offset <= at || offset < at + removed) return offset;
    return offset + added - removed;
  }
};

}  // namespace

bool File::plan(size_t t, const Image& image, const ReplaceRequest& request, int threads,
                Edit& edit, std::string& error) const {
  const Texture& tex = entries_[t];
  const std::string described = describeTexture(t, tex.name);
  const int format = nitro::requestedFormat(request, tex.format);
  const int w = image.width, h = image.height;
  const std::string size = std::to_string(w) + " x " + std::to_string(h);
  if (!nitro::isSide(w) || !nitro::isSide(h)) {
    error =
        "the image is " + size + "; DS textures take sides that are powers of two from 8 to 1024";
    return false;
  }
  if (format == nitro::kTex4x4 && uint64_t(w) * uint64_t(h) > 1024 * 512) {
    error = "the image is " + size + "; a tex4x4 texture takes at most 1024 x 512 or 512 x 1024";
    return false;
  }
  std::vector<size_t> group = textures_[t].sharing;
  group.push_back(t);
  std::sort(group.begin(), group.end());
  for (size_t g : group) {
    const Texture& other = entries_[g];
    if (other.format != tex.format || other.width != tex.width || other.height != tex.height) {
      error = described + " shares its data with " + describeTexture(g, other.name) +
              ", which is " + nitro::formatName(other.format) + " " + std::to_string(other.width) +
              "x" + std::to_string(other.height) + ": data shared by textures of another format " +
              "or size cannot be replaced";
      return false;
    }
  }
  // Another texture's data inside the bytes to replace would change with them.
  const uint64_t oldBytes = nitro::texelBytes(tex.format, tex.width, tex.height);
  for (size_t k = 0; k < entries_.size(); ++k) {
    const Texture& other = entries_[k];
    if (std::binary_search(group.begin(), group.end(), k) || other.format == nitro::kNone ||
        other.compressed() != tex.compressed())
      continue;
    const uint64_t end = other.offset + nitro::texelBytes(other.format, other.width, other.height);
    if (other.offset < tex.offset + oldBytes && tex.offset < end) {
      error = described + "'s data overlap those of " + describeTexture(k, other.name);
      return false;
    }
  }

  // The palette: -P's, else the one the texture is paired with.
  int palette = -1;
  bool own = false;
  std::string keptBecause;
  if (format == nitro::kDirect) {
    if (request.palette) {
      error = "-P goes with a format that has a palette: " + described + " is direct";
      return false;
    }
  } else {
    palette = palette_[t];
    const std::string& wanted = request.palette.value_or("");
    if (request.palette) {
      palette = -1;
      if (wanted.size() > 1 && wanted[0] == '#' &&
          wanted.find_first_not_of("0123456789", 1) == std::string::npos) {
        if (wanted.size() <= 7 && std::stoul(wanted.substr(1)) < paletteList_.size())
          palette = int(std::stoul(wanted.substr(1)));
        else
          error = "it has no palette " + wanted + " (it has " +
                  std::to_string(paletteList_.size()) + ")";
      } else {
        for (size_t p = 0; p < paletteList_.size() && palette < 0; ++p)
          if (paletteList_[p].name == wanted || displayName(paletteList_[p].name) == wanted)
            palette = int(p);
        if (palette < 0) error = "it has no palette named " + wanted;
      }
      if (palette < 0) return false;
    }
    if (palette < 0) {
      error = "it holds no palette for " + described;
      return false;
    }
    // Its own: paired by a material or the name, shown with every texture
    // sharing its data and with no other.
    const uint32_t at = paletteList_[size_t(palette)].offset;
    auto showsIt = [&](int p) { return p >= 0 && paletteList_[size_t(p)].offset == at; };
    if (pairing_[t] != Pairing::kMaterial && pairing_[t] != Pairing::kName)
      keptBecause = "neither a material nor its name pairs it with " + described;
    else if (!showsIt(palette_[t]))
      keptBecause = "-P chose it";
    for (size_t g : group)
      if (keptBecause.empty() && !showsIt(palette_[g]))
        keptBecause =
            describeTexture(g, entries_[g].name) + ", which shares the data, shows another";
    for (size_t k = 0; k < entries_.size() && keptBecause.empty(); ++k)
      if (!std::binary_search(group.begin(), group.end(), k) && showsIt(shownPalette(k)))
        keptBecause = describeTexture(k, entries_[k].name) + " shows it too";
    own = keptBecause.empty();
  }

  nitro::PaletteUse use{colours(palette), own};
  nitro::Replacement r;
  const std::string paletteName =
      palette >= 0 ? "palette " + displayName(paletteList_[size_t(palette)].name) : "";
  if (!nitro::encodeReplacement(stored(t), format, image, use, threads, r, error)) {
    error = paletteName + " " + error + ", so " + described + " cannot be encoded against it";
    return false;
  }
  if (!placeEdit(t, group, r, palette, edit, error)) return false;

  std::vector<std::string> sharers;
  for (size_t g : group)
    if (g != t) sharers.push_back(describeTexture(g, entries_[g].name));
  if (!sharers.empty())
    edit.notes.push_back(inWords(sharers) + (sharers.size() == 1 ? " shares" : " share") +
                         " its data and " + (sharers.size() == 1 ? "was" : "were") +
                         " replaced with it");
  for (size_t g : group) {
    const int p = shownPalette(g);
    if (g != t && p >= 0 && palette >= 0 &&
        paletteList_[size_t(p)].offset != paletteList_[size_t(palette)].offset)
      edit.notes.push_back(describeTexture(g, entries_[g].name) +
                           " shows the new texels in its palette " +
                           displayName(paletteList_[size_t(p)].name));
  }
  switch (r.fate) {
    case nitro::PaletteFate::kExact:
      edit.notes.push_back(paletteName + " now holds the image's " + std::to_string(r.colours) +
                           " colours");
      break;
    case nitro::PaletteFate::kQuantised:
      edit.notes.push_back(paletteName + " was quantised from the image's " +
                           std::to_string(r.colours) + " colours");
      break;
    case nitro::PaletteFate::kMade4x4:
      edit.notes.push_back(paletteName + " now holds " + std::to_string(r.colours) +
                           " colours made for the image");
      break;
    case nitro::PaletteFate::kKept:
      if (!own) edit.notes.push_back(paletteName + " was kept: " + keptBecause);
      break;
    case nitro::PaletteFate::kNone:
      break;
  }
  if (r.palette.size() > use.colours.size())
    edit.notes.push_back(paletteName + " grew from " + std::to_string(use.colours.size()) + " to " +
                         std::to_string(r.palette.size()) + " colours");
  if (r.missing > 0)
    edit.warnings.push_back(described + ": " + std::to_string(r.missing) +
                            " texels have colours that " + paletteName +
                            " lacks; they took its nearest colours");
  return true;
}

bool File::placeEdit(size_t t, const std::vector<size_t>& group, const nitro::Replacement& r,
                     int palette, Edit& edit, std::string& error) const {
  const Texture& tex = entries_[t];
  const nitro::Stored& now = r.texture;
  const bool wasCompressed = tex.compressed(), compressed = now.format == nitro::kTex4x4;
  const uint32_t oldBytes = uint32_t(nitro::texelBytes(tex.format, tex.width, tex.height));
  const Palette* pal = palette >= 0 ? &paletteList_[size_t(palette)] : nullptr;

  // The palette's new bytes, bit 15 of entries whose colour stays kept.
  std::vector<uint8_t> paletteBytes;
  if (pal && !r.palette.empty()) {
    paletteBytes.resize(2 * r.palette.size());
    for (size_t i = 0; i < r.palette.size(); ++i) {
      uint16_t v = r.palette[i];
      if (2 * i + 1 < pal->length) {
        const uint16_t old = uint16_t(palettes_.bytes[pal->offset + 2 * i] |
                                      palettes_.bytes[pal->offset + 2 * i + 1] << 8);
        if ((old & 0x7FFF) == v) v = old;
      }
      put16(paletteBytes, 2 * i, v);
    }
    if (pal->length % 2 == 1 && paletteBytes.size() < pal->length)
      paletteBytes.push_back(palettes_.bytes[pal->offset + pal->length - 1]);
  }
  const bool sizeChanged = now.width != tex.width || now.height != tex.height;
  auto entryPatch = [&](size_t g, uint32_t offset) {
    const Texture& e = entries_[g];
    const uint32_t word0 = (e.word0 & 0xC00F0000u) | (offset >> 3) |
                           uint32_t(sizeCode(now.width)) << 20 |
                           uint32_t(sizeCode(now.height)) << 23 | uint32_t(now.format) << 26 |
                           uint32_t(now.transparent0) << 29;
    const uint32_t word1 =
        sizeChanged ? uint32_t(now.width) | uint32_t(now.height) << 11 | 1u << 31 : e.word1;
    std::vector<uint8_t> bytes(8);
    put32(bytes, 0, word0);
    put32(bytes, 4, word1);
    edit.patches.push_back({e.entryAt, std::move(bytes)});
  };

  // The same sizes: written over the old bytes.
  if (wasCompressed == compressed && oldBytes == now.data.size() &&
      (paletteBytes.empty() || paletteBytes.size() == pal->length)) {
    const Section& section = compressed ? compressed_ : texels_;
    edit.patches.push_back({tex0At_ + section.at + tex.offset, now.data});
    if (compressed) edit.patches.push_back({tex0At_ + indices_.at + tex.offset / 2, now.index});
    if (!paletteBytes.empty())
      edit.patches.push_back({tex0At_ + palettes_.at + pal->offset, paletteBytes});
    for (size_t g : group) entryPatch(g, tex.offset);
    return true;
  }

  // Other sizes: the sections must lie in order, back to back, after the
  // dictionaries, as in the games' files, so that they can be laid out anew.
  const Section* sections[4] = {&texels_, &compressed_, &indices_, &palettes_};
  uint32_t dataStart = tex0Size_, dataEnd = tex0Size_;
  bool inOrder = true;
  const Section* previous = nullptr;
  for (const Section* s : sections) {
    if (s->size == 0) continue;
    if (!previous)
      dataStart = s->at;
    else
      inOrder = inOrder && s->at == previous->at + previous->size;
    previous = s;
  }
  if (previous) dataEnd = previous->at + previous->size;
  if (!inOrder || dataStart < dictionariesEnd_) {
    error =
        "its TEX0 sections do not lie in order, back to back, after its dictionaries, so "
        "data of another size cannot be placed in it";
    return false;
  }

  Rebuilt rebuilt[4];
  for (int s = 0; s < 4; ++s) rebuilt[s].bytes = sections[s]->bytes;
  uint32_t offset = tex.offset;
  if (wasCompressed == compressed) {
    rebuilt[compressed].replace(tex.offset, oldBytes, now.data);
    if (compressed) rebuilt[2].replace(tex.offset / 2, oldBytes / 2, now.index);
  } else {
    // To the end of the other section.
    rebuilt[wasCompressed].replace(tex.offset, oldBytes, {});
    if (wasCompressed) rebuilt[2].replace(tex.offset / 2, oldBytes / 2, {});
    offset = uint32_t(rebuilt[compressed].bytes.size());
    rebuilt[compressed].replace(offset, 0, now.data);
    if (compressed) rebuilt[2].replace(offset / 2, 0, now.index);
  }
  if (!paletteBytes.empty()) rebuilt[3].replace(pal->offset, pal->length, paletteBytes);
  for (int s = 0; s < 4; ++s)
    if (rebuilt[s].bytes.size() > kMaxSection) {
      error = std::string("its ") +
              (s == 0   ? "texel data"
               : s == 3 ? "palette data"
                        : "4x4 texel data") +
              " would grow to " + std::to_string(rebuilt[s].bytes.size()) +
              " bytes, more than the " + std::to_string(kMaxSection) + " a TEX0 block holds";
      return false;
    }

  for (size_t g : group) entryPatch(g, offset);
  for (size_t k = 0; k < entries_.size(); ++k) {
    const Texture& e = entries_[k];
    if (std::binary_search(group.begin(), group.end(), k) || e.format == nitro::kNone) continue;
    const uint32_t moved = rebuilt[e.compressed()].moved(e.offset);
    if (moved != e.offset)
      edit.patches.push_back({e.entryAt, word((e.word0 & 0xFFFF0000u) | (moved >> 3))});
  }
  for (const Palette& p : paletteList_) {
    const uint32_t moved = rebuilt[3].moved(p.offset);
    if (moved != p.offset) {
      std::vector<uint8_t> bytes(2);
      put16(bytes, 0, moved >> 3);
      edit.patches.push_back({p.entryAt, std::move(bytes)});
    }
  }

  // The new layout and the fields that describe it.
  std::vector<uint8_t> data;
  uint32_t at[4];
  for (int s = 0; s < 4; ++s) {
    at[s] = dataStart + uint32_t(data.size());
    data.insert(data.end(), rebuilt[s].bytes.begin(), rebuilt[s].bytes.end());
  }
  const int64_t delta = int64_t(data.size()) - int64_t(dataEnd - dataStart);
  const uint64_t newTex0 = uint64_t(int64_t(tex0Size_) + delta);
  std::vector<uint8_t> header(header_, header_ + sizeof header_);
  put32(header, 0x04, uint32_t(newTex0));
  put16(header, 0x0C, uint32_t(rebuilt[0].bytes.size() >> 3));
  put32(header, 0x14, at[0]);
  put16(header, 0x1C, uint32_t(rebuilt[1].bytes.size() >> 3));
  put32(header, 0x24, at[1]);
  put32(header, 0x28, at[2]);
  put16(header, 0x30, uint32_t(rebuilt[3].bytes.size() >> 3));
  put32(header, 0x38, at[3]);
  edit.patches.push_back({tex0At_, std::move(header)});
  const int64_t fileSize = int64_t(fileSizeField_) + delta;
  const int64_t actual = int64_t(source_.size()) + delta;
  if (actual > 0xFFFFFFFF) {
    error = "the new data would make the file larger than 4 GiB";
    return false;
  }
  edit.patches.push_back(
      {8, word(uint32_t(fileSize >= 0 && fileSize <= 0xFFFFFFFF ? fileSize : actual))});
  for (size_t b = 0; b < blockAt_.size(); ++b)
    if (blockAt_[b] > tex0At_)
      edit.patches.push_back({16 + 4 * b, word(uint32_t(int64_t(blockAt_[b]) + delta))});
  edit.splices.push_back({tex0At_ + dataStart, dataEnd - dataStart, std::move(data)});
  return true;
}

}  // namespace glaze::g3d
