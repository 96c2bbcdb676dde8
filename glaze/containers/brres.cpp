// BRRES files read as hostile input: the header, the root section and every
// folder's index group are checked before use (in 64-bit arithmetic), then
// each TEX0 of Textures(NW4R) and PLT0 of Palettes(NW4R); only the groups,
// the sub-file headers and the texture worked on are read.
//
// A replacement moves as little as it can, since the string pool serves
// names deep inside the models (bones, materials, shaders), which glaze
// does not parse: the TEX0 (and its PLT0) is rewritten in place when its
// data fit its old length, else moved to the end of the file, its old block
// zeroed. Only a palette made anew needs a new entry in Palettes(NW4R)
// (and that folder when there is none): the index groups grow, and
// everything after them moves by a multiple of 32 bytes, sub-files and pool
// together, so that every offset inside the sub-files stays right.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <functional>
#include <set>

#include "bytes.h"
#include "containers/brres.h"
#include "containers/tex0.h"
#include "names.h"

namespace glaze::brres {

namespace {

std::string readFailed() { return std::string("cannot read it: ") + std::strerror(errno); }

const char kTextures[] = "Textures(NW4R)", kPalettes[] = "Palettes(NW4R)";

// The root's folders that BRRES files hold: each must be an index group.
bool knownFolder(const std::string& name) {
  static const char* const kFolders[] = {"3DModels(NW4R)", kTextures,      kPalettes,
                                         "AnmChr(NW4R)",   "AnmClr(NW4R)", "AnmTexPat(NW4R)",
                                         "AnmScn(NW4R)",   "AnmShp(NW4R)", "AnmTexSrt(NW4R)",
                                         "AnmVis(NW4R)",   "External"};
  return std::find(std::begin(kFolders), std::end(kFolders), name) != std::end(kFolders);
}

// Folders inside folders (some tools' files hold them) are followed this
// deep.
constexpr int kMaxFolderDepth = 4;

bool hasMagic(const uint8_t* head, size_t size) {
  return size >= 4 && std::memcmp(head, "bres", 4) == 0;
}

std::vector<uint8_t> u32Bytes(uint32_t v) {
  std::vector<uint8_t> b(4);
  put32(b.data(), v);
  return b;
}

class File : public Container {
 public:
  explicit File(const Source& source) : source_(source) {}

  bool read(std::string& error);

  std::vector<std::string> listFields(size_t texture) const override {
    const Texture& t = textures[texture];
    return gx::listFields(tex0::describe(t.tex0, paletteOf(t)), {});
  }

  int levelCount(size_t texture) const override { return textures[texture].tex0.images; }

  bool decode(size_t texture, const std::vector<int>& levels, Decoded& out,
              std::string& error) const override {
    if (levels.empty()) return true;
    const Texture& t = textures[texture];
    const FormatInfo& f = *t.tex0.formatInfo();
    std::vector<uint8_t> data(chainBytes(f, t.tex0.width, t.tex0.height, levels.back() + 1));
    Palette palette;
    if (!source_.read(t.tex0.at + t.tex0.dataOffset, data.data(), data.size()) ||
        (paletteOf(t) && !tex0::readPalette(source_, *paletteOf(t), palette)))
      return error = readFailed(), false;
    gx::decode(tex0::describe(t.tex0, paletteOf(t)), data, palette, levels,
               describeTexture(texture, textures_[texture].name), out);
    return true;
  }

  bool plan(size_t texture, const Image& image, const ReplaceRequest& request, int threads,
            Edit& edit, std::string& error) const override;

 private:
  struct Texture {
    size_t entry = 0;  // in the Textures(NW4R) group
    tex0::Tex0 tex0;
    int palette = -1;  // the PLT0 of its name, when it is usable
  };
  struct Palette0 {
    size_t entry = 0;  // in the Palettes(NW4R) group
    tex0::Plt0 plt0;
    std::string problem;
  };

  const tex0::Plt0* paletteOf(const Texture& t) const {
    return t.palette >= 0 ? &palettes[size_t(t.palette)].plt0 : nullptr;
  }
  bool readFolders(const Group& group, size_t groupIndex, int depth, std::string& error);
  bool readData(uint64_t at, uint64_t owner, std::string& error);
  // Whether bytes [begin, end) hold nothing the file uses but what owner
  // (an entry's key) holds: only then are they written over or zeroed.
  bool free(uint64_t begin, uint64_t end, uint64_t owner) const {
    return std::none_of(used_.begin(), used_.end(), [&](const Used& u) {
      return u.owner != owner && u.begin < end && begin < u.end;
    });
  }
  static uint64_t key(size_t group, size_t entry) { return uint64_t(group) << 32 | entry; }
  int paletteNamed(const std::string& name) const {
    for (size_t i = 0; i < palettes.size(); ++i)
      if (groups_[size_t(palettesGroup_)].entries[palettes[i].entry].name == name) return int(i);
    return -1;
  }

  const Source& source_;
  Reading reading_;
  uint64_t rootAt_ = 0, rootLength_ = 0;
  uint16_t sections_ = 0;
  std::vector<Group> groups_;  // the root group first, then every folder
  std::set<uint64_t> groupsAt_;
  int texturesGroup_ = -1, palettesGroup_ = -1;
  // Entries that point at data other than a folder, and the sub-files
  // among them whose 0x0C holds minus their position.
  std::vector<uint64_t> dataAt_, subFilesAt_;
  // What lies where: the headers, groups, names and every entry's data.
  struct Used {
    uint64_t begin, end, owner;
  };
  std::vector<Used> used_;
  std::vector<Texture> textures;
  std::vector<Palette0> palettes;
};

// An entry's data: a sub-file (its length from its header, when that
// makes sense) or other data, of which only the first byte is known.
bool File::readData(uint64_t at, uint64_t owner, std::string& error) {
  dataAt_.push_back(at);
  uint64_t end = at + 1;
  uint8_t head[16];
  if (at <= source_.size() - 16) {
    if (!source_.read(at, head, 16)) return error = readFailed(), false;
    if (int64_t(int32_t(be32(head + 12))) == -int64_t(at)) subFilesAt_.push_back(at);
    const uint64_t length = be32(head + 4);
    if (std::all_of(head, head + 4, [](uint8_t c) { return std::isalnum(c); }) && length >= 16 &&
        length <= source_.size() - at)
      end = at + length;
  }
  used_.push_back({at, end, owner});
  return true;
}

bool File::readFolders(const Group& group, size_t groupIndex, int depth, std::string& error) {
  // The root's entries are folders when named as the format's are (they
  // must be index groups) or when their data make one; a folder's entries
  // are sub-files, or folders of their own in some tools' files.
  const bool root = depth == 0;
  for (size_t i = 1; i < group.entries.size(); ++i) {
    const Entry& e = group.entries[i];
    const bool named = root && knownFolder(e.name);
    const bool nw4r = named && e.name != "External";
    Group folder;
    std::string problem;
    bool isFolder = false;
    if (!nw4r && groupsAt_.count(e.dataAt)) continue;  // met before: not followed twice
    if (named || depth < kMaxFolderDepth) {
      if (readGroup(source_, e.dataAt, !named, reading_, folder, problem)) {
        isFolder = true;
      } else if (problem.empty()) {
        return error = readFailed(), false;
      } else if (named || problem.find("more than") != std::string::npos) {
        error = (named ? "its folder " + e.name
                       : "its index group at offset " + std::to_string(e.dataAt)) +
                " is damaged: " + problem;
        return false;
      }
    }
    if (!isFolder) {
      if (!readData(e.dataAt, key(groupIndex, i), error)) return false;
      continue;
    }
    if (!groupsAt_.insert(folder.at).second) continue;
    const size_t index = groups_.size();
    if (root && e.name == kTextures) texturesGroup_ = int(index);
    if (root && e.name == kPalettes) palettesGroup_ = int(index);
    groups_.push_back(folder);
    // The format's folders hold sub-files only.
    if (nw4r) {
      for (size_t k = 1; k < folder.entries.size(); ++k)
        if (!readData(folder.entries[k].dataAt, key(index, k), error)) return false;
    } else if (!readFolders(folder, index, depth + 1, error)) {
      return false;
    }
  }
  return true;
}

bool File::read(std::string& error) {
  const uint64_t size = source_.size();
  if (size < 16) {
    error = "it is too short for a BRRES header (" + std::to_string(size) + " bytes, 16 needed)";
    return false;
  }
  uint8_t head[16];
  if (!source_.read(0, head, 16)) return error = readFailed(), false;
  const uint16_t bom = be16(head + 4);
  if (bom != 0xFEFF) {
    char text[120];
    std::snprintf(text, sizeof text, "its byte-order mark is 0x%04X, not 0xFEFF%s", bom,
                  bom == 0xFFFE ? " (a little-endian file; the Wii's are big-endian)" : "");
    error = text;
    return false;
  }
  const uint32_t length = be32(head + 8);
  if (length > size) {
    error = "its header claims " + std::to_string(length) + " bytes; the file has " +
            std::to_string(size);
    return false;
  }
  rootAt_ = be16(head + 12);
  sections_ = be16(head + 14);
  uint8_t root[8];
  if (rootAt_ < 16 || rootAt_ > size - 8) {
    error = "its root section (at offset " + std::to_string(rootAt_) + ") lies outside the file";
    return false;
  }
  if (!source_.read(rootAt_, root, 8)) return error = readFailed(), false;
  rootLength_ = be32(root + 4);
  if (std::memcmp(root, "root", 4) != 0) {
    error = "its root section (at offset " + std::to_string(rootAt_) + ") has no root magic";
    return false;
  }
  if (rootLength_ > size - rootAt_) {
    error = "its root section (" + std::to_string(rootLength_) +
            " bytes) runs past the end of the file";
    return false;
  }
  Group rootGroup;
  std::string problem;
  if (!readGroup(source_, rootAt_ + 8, false, reading_, rootGroup, problem)) {
    error = problem.empty() ? readFailed() : "its root index group is damaged: " + problem;
    return false;
  }
  if (rootGroup.end() > rootAt_ + rootLength_) {
    error = "its root section (" + std::to_string(rootLength_) +
            " bytes) is shorter than its index group";
    return false;
  }
  groups_.push_back(rootGroup);
  groupsAt_.insert(rootGroup.at);
  if (!readFolders(rootGroup, 0, 0, error)) return false;
  constexpr uint64_t kNobody = ~uint64_t(0);
  used_.push_back({0, 16, kNobody});
  used_.push_back({rootAt_, rootAt_ + 8, kNobody});
  for (const Group& g : groups_) used_.push_back({g.at, g.end(), kNobody});
  for (const auto& [at, name] : reading_.names)
    used_.push_back({at - 4, at + name.size() + 1, kNobody});

  if (palettesGroup_ >= 0) {
    const Group& g = groups_[size_t(palettesGroup_)];
    for (size_t k = 1; k < g.entries.size(); ++k) {
      Palette0 p;
      p.entry = k;
      if (!tex0::readPlt0(source_, g.entries[k].dataAt, p.plt0, p.problem))
        return error = readFailed(), false;
      palettes.push_back(std::move(p));
    }
  }
  std::vector<bool> used(palettes.size(), false);
  if (texturesGroup_ < 0) notes_.push_back("it holds no textures (no Textures(NW4R) folder)");
  for (size_t k = 1; texturesGroup_ >= 0 && k < groups_[size_t(texturesGroup_)].entries.size();
       ++k) {
    const Entry& e = groups_[size_t(texturesGroup_)].entries[k];
    Texture t;
    t.entry = k;
    if (!tex0::readTex0(source_, e.dataAt, t.tex0, problem)) return error = readFailed(), false;
    const FormatInfo* f = t.tex0.formatInfo();
    if (problem.empty() && f && f->maxEntries > 0) {
      // A palette texture's palette is the PLT0 of its name.
      const int p = palettesGroup_ >= 0 ? paletteNamed(e.name) : -1;
      if (p < 0) {
        problem =
            std::string("it is ") + f->name + ", and Palettes(NW4R) holds no PLT0 of its name";
      } else if (!palettes[size_t(p)].problem.empty()) {
        problem = "its palette, PLT0 " + displayName(e.name) +
                  ", is damaged: " + palettes[size_t(p)].problem;
        used[size_t(p)] = true;
      } else {
        t.palette = p;
        used[size_t(p)] = true;
      }
    }
    textures.push_back(std::move(t));
    textures_.push_back({e.name, problem, {}});
  }
  for (size_t i = 0; i < palettes.size(); ++i)
    if (!used[i] && !palettes[i].problem.empty())
      notes_.push_back(
          "PLT0 " + displayName(groups_[size_t(palettesGroup_)].entries[palettes[i].entry].name) +
          " is damaged, and no palette texture uses it: " + palettes[i].problem);
  return true;
}

// ---------------------------------------------------------------------------
// Replacing

// Blocks appended at the end of the new file, each 32-byte aligned.
struct Appended {
  uint64_t start = 0;  // where the first may go, in the new file
  std::vector<uint8_t> bytes;
  uint64_t add(const std::vector<uint8_t>& block, bool aligned) {
    const uint64_t at = aligned ? align32(start + bytes.size()) : start + bytes.size();
    bytes.resize(size_t(at - start), 0);
    bytes.insert(bytes.end(), block.begin(), block.end());
    return at;
  }
  uint64_t next(bool aligned) const {
    return aligned ? align32(start + bytes.size()) : start + bytes.size();
  }
};

bool File::plan(size_t texture, const Image& image, const ReplaceRequest& request, int threads,
                Edit& edit, std::string& error) const {
  const Texture& t = textures[texture];
  const tex0::Tex0& old = t.tex0;
  const std::string described = describeTexture(texture, textures_[texture].name);
  const std::string name = textures_[texture].name;
  gx::Stored stored;
  stored.level0.resize(levelBytes(*old.formatInfo(), old.width, old.height));
  if (!source_.read(old.at + old.dataOffset, stored.level0.data(), stored.level0.size()) ||
      (paletteOf(t) && !tex0::readPalette(source_, *paletteOf(t), stored.palette)))
    return error = readFailed(), false;
  gx::Replacement r;
  if (!gx::encodeReplacement(tex0::describe(old, paletteOf(t)), &stored, image, request, threads,
                             described, r, error))
    return false;
  const bool palette = r.format->maxEntries > 0;
  const uint64_t size = source_.size();

  // The PLT0 the new palette goes into: the texture's, or one of its name
  // that a texture leaving the palette formats kept; else one made anew.
  int plt0 = -1;
  if (palette && palettesGroup_ >= 0) plt0 = paletteNamed(name);
  if (plt0 >= 0 && !palettes[size_t(plt0)].problem.empty()) {
    error = described + ": its PLT0 is damaged, and glaze does not write over it: " +
            palettes[size_t(plt0)].problem;
    return false;
  }
  const bool makePalette = palette && plt0 < 0;

  // A new PLT0 entry grows the index groups: what follows them moves.
  const Group& rootGroup = groups_[0];
  const uint64_t regionAt = rootGroup.at;
  uint64_t regionEnd = 0;  // the end of the groups inside the root section
  for (const Group& g : groups_)
    if (g.end() <= rootAt_ + rootLength_) regionEnd = std::max(regionEnd, g.end());
  struct Insertion {
    uint64_t at;
    std::vector<uint8_t> bytes;
  };
  std::vector<Insertion> insertions;
  uint64_t delta = 0;
  if (makePalette) {
    const uint64_t growAt =
        palettesGroup_ >= 0 ? groups_[size_t(palettesGroup_)].end() : rootGroup.end();
    if (palettesGroup_ >= 0 && growAt > regionEnd) {
      error =
          "glaze cannot add a PLT0 to it: its Palettes(NW4R) index group lies outside its "
          "root section";
      return false;
    }
    // Nothing but groups may lie where the groups' bytes shift.
    auto shifted = [&](uint64_t at) { return at >= growAt && at < regionEnd; };
    bool fits = std::none_of(dataAt_.begin(), dataAt_.end(), shifted) &&
                std::none_of(subFilesAt_.begin(), subFilesAt_.end(),
                             [&](uint64_t at) { return at < regionEnd; });
    for (const Group& g : groups_) {
      if (g.at < regionEnd && g.end() > regionEnd) fits = false;
      for (const Entry& e : g.entries) {
        if (e.nameAt != 0 && shifted(e.nameAt)) fits = false;
        // A group past the others keeps its offsets only if all it points
        // at moves with it.
        if (g.at >= regionEnd && ((e.nameAt != 0 && e.nameAt < regionEnd) ||
                                  (&e != &g.entries[0] && e.dataAt < regionEnd)))
          fits = false;
      }
    }
    if (!fits) {
      error =
          "glaze cannot add a PLT0 to it: its index groups do not lie together before its "
          "sub-files and names, as BRRES files keep them";
      return false;
    }
    insertions.push_back({growAt, std::vector<uint8_t>(16, 0)});
    if (palettesGroup_ < 0) {
      // The new folder's group (a reference entry and one entry), then its
      // name as a pool entry.
      std::vector<uint8_t> folder(8 + 32, 0);
      const std::vector<uint8_t> entry = tex0::nameEntry(kPalettes);
      folder.insert(folder.end(), entry.begin(), entry.end());
      insertions.push_back({regionEnd, std::move(folder)});
    }
    uint64_t inserted = 0;
    for (const Insertion& i : insertions) inserted += i.bytes.size();
    delta = align32(inserted);
  }
  // Where an old offset lies in the new file.
  auto moved = [&](uint64_t at) {
    if (delta == 0 || at < regionAt) return at;
    if (at >= regionEnd) return at + delta;
    uint64_t shift = 0;
    for (const Insertion& i : insertions)
      if (i.at <= at && i.at < regionEnd) shift += i.bytes.size();
    return at + shift;
  };

  // Blocks for the end of the file.
  Appended appended;
  appended.start = size + delta;
  std::vector<std::pair<const Group*, size_t>> entryMoved;  // entries whose data move
  std::vector<uint64_t> entryTo;
  std::set<uint64_t> movedSubFiles;
  auto zero = [&](uint64_t at, uint64_t n) {
    if (n > 0) edit.patches.push_back({at, std::vector<uint8_t>(size_t(n), 0)});
  };
  // A sub-file moved to the end: its bytes with 0x0C and (when its name
  // lay outside it) 0x14 pointing at a copy of its name after it.
  auto moveToEnd = [&](std::vector<uint8_t> bytes, bool ownName, size_t groupIndex, size_t entry,
                       uint64_t oldAt, uint64_t oldLength) {
    const Group& group = groups_[groupIndex];
    const uint64_t at = appended.next(true);
    const uint64_t nameAt = ((at + bytes.size() + 3) & ~uint64_t(3)) + 4;
    put32(&bytes[0x0C], uint32_t(-int64_t(at)));
    if (!ownName) put32(&bytes[0x14], uint32_t(nameAt - at));
    appended.add(bytes, true);
    if (!ownName) {
      appended.bytes.resize(size_t(nameAt - 4 - appended.start), 0);
      appended.add(tex0::nameEntry(group.entries[entry].name), false);
    }
    // The old block becomes zeros, unless (in a damaged file) it holds
    // something else too.
    if (free(oldAt, oldAt + oldLength, key(groupIndex, entry))) zero(oldAt, oldLength);
    movedSubFiles.insert(oldAt);
    entryMoved.push_back({&group, entry});
    entryTo.push_back(at);
  };

  // The TEX0: in place when the new data fit its old length.
  const Group& texturesGroup = groups_[size_t(texturesGroup_)];
  std::vector<uint8_t> header = tex0::newTex0Header(old, r);
  const uint64_t newLength = old.dataOffset + r.encoded.data.size();
  if (newLength <= old.length &&
      free(old.at, old.at + old.length, key(size_t(texturesGroup_), t.entry))) {
    edit.patches.push_back(
        {old.at + 4, std::vector<uint8_t>(header.begin() + 4, header.begin() + 8)});
    edit.patches.push_back(
        {old.at + 0x18, std::vector<uint8_t>(header.begin() + 0x18, header.begin() + 0x30)});
    edit.patches.push_back({old.at + old.dataOffset, r.encoded.data});
    zero(old.at + newLength, old.length - newLength);
  } else {
    header.insert(header.end(), r.encoded.data.begin(), r.encoded.data.end());
    moveToEnd(std::move(header), old.ownName(), size_t(texturesGroup_), t.entry, old.at,
              old.length);
  }

  // The palette: the PLT0 rewritten (in place when it fits), or made.
  uint64_t newPlt0At = 0;
  if (palette && plt0 >= 0 && !r.paletteKept) {
    const Palette0& p = palettes[size_t(plt0)];
    std::vector<uint8_t> h = tex0::newPlt0Header(p.plt0, r);
    const uint64_t length = p.plt0.dataOffset + r.paletteBytes.size();
    if (length <= p.plt0.length &&
        free(p.plt0.at, p.plt0.at + p.plt0.length, key(size_t(palettesGroup_), p.entry))) {
      edit.patches.push_back({p.plt0.at + 4, std::vector<uint8_t>(h.begin() + 4, h.begin() + 8)});
      edit.patches.push_back(
          {p.plt0.at + 0x18, std::vector<uint8_t>(h.begin() + 0x18, h.begin() + 0x1E)});
      edit.patches.push_back({p.plt0.at + p.plt0.dataOffset, r.paletteBytes});
      zero(p.plt0.at + length, p.plt0.length - length);
    } else {
      h.insert(h.end(), r.paletteBytes.begin(), r.paletteBytes.end());
      moveToEnd(std::move(h), p.plt0.ownName(), size_t(palettesGroup_), p.entry, p.plt0.at,
                p.plt0.length);
    }
  } else if (makePalette) {
    newPlt0At = appended.next(true);
    const uint64_t plt0Length = 0x40 + r.paletteBytes.size();
    const uint64_t nameAt = ((newPlt0At + plt0Length + 3) & ~uint64_t(3)) + 4;
    appended.add(tex0::newPlt0(r, newPlt0At, nameAt), true);
    appended.bytes.resize(size_t(nameAt - 4 - appended.start), 0);
    appended.add(tex0::nameEntry(name), false);
  }
  const uint64_t newSize = appended.next(false);
  if (newSize > 0x7FFFFFFF) {
    error = "the new data would make the file larger than 2 GiB, past what its offsets reach";
    return false;
  }

  // The groups: entries of moved sub-files, the new entry, offsets moved.
  if (delta == 0) {
    for (size_t i = 0; i < entryMoved.size(); ++i) {
      const Group& g = *entryMoved[i].first;
      edit.patches.push_back(
          {g.at + 8 + 16 * entryMoved[i].second + 12, u32Bytes(uint32_t(entryTo[i] - g.at))});
    }
  } else {
    std::vector<uint8_t> region(size_t(regionEnd - regionAt));
    if (!source_.read(regionAt, region.data(), region.size())) return error = readFailed(), false;
    // The old bytes with the insertions made, then zeros to delta.
    std::vector<uint8_t> rebuilt;
    uint64_t from = regionAt;
    for (const Insertion& i : insertions) {
      rebuilt.insert(rebuilt.end(), region.begin() + long(from - regionAt),
                     region.begin() + long(i.at - regionAt));
      rebuilt.insert(rebuilt.end(), i.bytes.begin(), i.bytes.end());
      from = i.at;
    }
    rebuilt.insert(rebuilt.end(), region.begin() + long(from - regionAt), region.end());
    rebuilt.resize(size_t(regionEnd - regionAt + delta), 0);
    auto place = [&](Group g, uint64_t at) {
      const std::vector<uint8_t> bytes = groupBytes(g, at);
      std::copy(bytes.begin(), bytes.end(), rebuilt.begin() + long(at - regionAt));
    };
    // The new PLT0's entry, named as its texture is.
    const Entry& textureEntry = texturesGroup.entries[t.entry];
    Entry plt0Entry;
    plt0Entry.name = name;
    plt0Entry.nameAt = moved(textureEntry.nameAt);
    plt0Entry.dataAt = newPlt0At;
    for (size_t gi = 0; gi < groups_.size(); ++gi) {
      // Groups past the others move whole with all they point at: only an
      // entry whose sub-file went to the end changes.
      if (groups_[gi].at >= regionEnd) {
        for (size_t i = 0; i < entryMoved.size(); ++i)
          if (entryMoved[i].first == &groups_[gi])
            edit.patches.push_back({groups_[gi].at + 8 + 16 * entryMoved[i].second + 12,
                                    u32Bytes(uint32_t(entryTo[i] - moved(groups_[gi].at)))});
        continue;
      }
      Group g = groups_[gi];
      for (size_t k = 0; k < g.entries.size(); ++k) {
        Entry& e = g.entries[k];
        if (e.nameAt != 0) e.nameAt = moved(e.nameAt);
        e.dataAt = moved(e.dataAt);
        for (size_t i = 0; i < entryMoved.size(); ++i)
          if (entryMoved[i].first == &groups_[gi] && entryMoved[i].second == k)
            e.dataAt = entryTo[i];
      }
      bool added = true;
      if (int(gi) == palettesGroup_) added = add(g, plt0Entry);
      if (gi == 0 && palettesGroup_ < 0) {
        // The new folder, at the start of the second insertion, named by
        // the pool entry after it.
        const uint64_t folderAt = regionEnd + 16;
        Entry folderEntry;
        folderEntry.name = kPalettes;
        folderEntry.nameAt = folderAt + 40 + 4;
        folderEntry.dataAt = folderAt;
        added = add(g, folderEntry);
        Group folder;
        folder.at = folderAt;
        folder.entries.resize(1);
        folder.entries[0].id = 0xFFFF;
        folder.entries[0].dataAt = folderAt;
        insert(folder, plt0Entry);
        place(folder, folderAt);
      }
      if (!added) {
        error = "glaze cannot add a PLT0 to it: the tree of its index group at offset " +
                std::to_string(groups_[gi].at) + " finds no place for a new name";
        return false;
      }
      place(g, moved(groups_[gi].at));
    }
    edit.splices.push_back({regionAt, regionEnd - regionAt, std::move(rebuilt)});
    // Everything after the groups moved: each sub-file's offset to the file.
    for (uint64_t at : subFilesAt_)
      if (!movedSubFiles.count(at))
        edit.patches.push_back({at + 12, u32Bytes(uint32_t(-int64_t(at + delta)))});
    // The root section covers the new groups (and what it covered after them).
    uint64_t inserted = 0;
    for (const Insertion& i : insertions) inserted += i.bytes.size();
    const bool rootEndsAtGroups = rootAt_ + rootLength_ == regionEnd;
    edit.patches.push_back(
        {rootAt_ + 4, u32Bytes(uint32_t(rootLength_ + (rootEndsAtGroups ? inserted : delta)))});
    const uint8_t sections[2] = {uint8_t((std::min(0xFFFF, sections_ + 1)) >> 8),
                                 uint8_t(std::min(0xFFFF, sections_ + 1))};
    edit.patches.push_back({14, std::vector<uint8_t>(sections, sections + 2)});
  }
  if (!appended.bytes.empty()) edit.splices.push_back({size, 0, std::move(appended.bytes)});
  edit.patches.push_back({8, u32Bytes(uint32_t(newSize))});
  // A damaged file may keep a name in bytes the edit writes (an index
  // group's entries, a header's offsets): the name would change under it.
  for (const auto& [at, held] : reading_.names) {
    const uint64_t begin = at - 4, end = at + held.size() + 1;
    auto overlaps = [&](uint64_t from, uint64_t to) { return from < end && begin < to; };
    bool written = std::any_of(edit.patches.begin(), edit.patches.end(), [&](const Patch& p) {
      return overlaps(p.at, p.at + p.bytes.size());
    });
    if (delta != 0)
      for (const Group& g : groups_)
        written = written || (g.at < regionEnd && overlaps(g.at, g.end()));
    if (written) {
      error = "glaze cannot change it: the name at offset " + std::to_string(at) +
              " lies in bytes that the change rewrites";
      return false;
    }
  }
  if (makePalette)
    edit.warnings.push_back(described +
                            ": its palette is a new PLT0 of its name, which no "
                            "material links yet; glaze does not edit models, so a "
                            "material of the model must link it");
  return true;
}

std::unique_ptr<Container> open(const Source& source, const std::string&, std::string& error) {
  auto file = std::make_unique<File>(source);
  if (!file->read(error)) return nullptr;
  return file;
}

}  // namespace

const ContainerType kType = {"a BRRES file (no bres magic)", hasMagic, nullptr, open,
                             gx::requestProblem};

}  // namespace glaze::brres
