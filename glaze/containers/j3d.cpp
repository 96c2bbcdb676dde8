// J3D models read as hostile input: every count, size and offset is checked
// (in 64-bit arithmetic) before it is used, and only the tables and the
// texture worked on are read, never the whole file. A replacement updates
// every header that shares the data, writes the data in place or appends
// them to TEX1, and patches a BDL's display lists; all of it is planned
// before anything is written.
#include "containers/j3d.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "bytes.h"
#include "containers/bti.h"
#include "names.h"

namespace glaze::j3d {

namespace {

// Longer names are taken for damage: no file system takes them.
constexpr size_t kMaxNameBytes = 1024;

std::string readFailed() { return std::string("cannot read it: ") + std::strerror(errno); }

bool inside(uint64_t at, uint64_t size, uint64_t begin, uint64_t end) {
  return at >= begin && at <= end && size <= end - at;
}

struct Range {
  uint64_t begin, end;
  bool overlaps(const Range& o) const { return begin < o.end && o.begin < end; }
};

// "J3D2" and "bmd3"/"bmd2" or "bdl4".
bool hasMagic(const uint8_t* head, size_t size) {
  if (size < 8 || std::memcmp(head, "J3D2", 4) != 0) return false;
  return std::memcmp(head + 4, "bmd3", 4) == 0 || std::memcmp(head + 4, "bmd2", 4) == 0 ||
         std::memcmp(head + 4, "bdl4", 4) == 0;
}

class Model : public bti::HeaderContainer {
 public:
  using HeaderContainer::HeaderContainer;

  bool read(std::string& error);
  bool plan(size_t texture, const Image& image, const ReplaceRequest& request, int threads,
            Edit& edit, std::string& error) const override;

 private:
  bool bdl_ = false;
  uint32_t fileSizeField_ = 0;  // the J3D header's, at 0x08
  std::optional<Chunk> tex1_, mdl3_;
  uint64_t headersAt_ = 0;               // the header array, absolute
  uint64_t namesAt_ = 0, namesEnd_ = 0;  // the name table and its strings
};

bool Model::read(std::string& error) {
  const uint64_t fileSize = source_.size();
  uint8_t head[32];
  if (fileSize < 32) {
    error = "it is too short for a J3D header (" + std::to_string(fileSize) + " bytes)";
    return false;
  }
  if (!source_.read(0, head, 32)) return error = readFailed(), false;
  bdl_ = std::memcmp(head + 4, "bdl4", 4) == 0;
  fileSizeField_ = be32(head + 8);

  // Chunks to the end of the file, whatever their count says. Past TEX1, a
  // chunk header that makes no sense ends the walk (trailing bytes).
  for (uint64_t at = 32; at + 8 <= fileSize;) {
    uint8_t prefix[8];
    if (!source_.read(at, prefix, 8)) return error = readFailed(), false;
    Chunk c{std::string(reinterpret_cast<char*>(prefix), 4), at, be32(prefix + 4)};
    if (c.size < 8 || c.size > fileSize - at) {
      if (tex1_) break;
      error = "its chunk at offset " + std::to_string(at) + " has size " + std::to_string(c.size) +
              (c.size < 8 ? " (less than 8)" : " past the end of the file");
      return false;
    }
    if (c.tag == "TEX1" && !tex1_) tex1_ = c;
    if (c.tag == "MDL3" && !mdl3_) mdl3_ = c;
    at += c.size;
  }
  if (!tex1_) {
    error = "it has no TEX1 chunk";
    return false;
  }
  const Chunk& tex1 = *tex1_;
  const uint64_t tex1End = tex1.at + tex1.size;
  if (tex1.size < 32) {
    error = "its TEX1 chunk is too short (" + std::to_string(tex1.size) + " bytes)";
    return false;
  }
  uint8_t th[32];
  if (!source_.read(tex1.at, th, 32)) return error = readFailed(), false;
  const size_t count = be16(th + 8);
  headersAt_ = tex1.at + be32(th + 12);
  namesAt_ = tex1.at + be32(th + 16);
  if (!inside(headersAt_, 32 * uint64_t(count), tex1.at, tex1End)) {
    error = "its TEX1 header array (" + std::to_string(count) + " headers at offset " +
            std::to_string(headersAt_) + ") lies past the TEX1 chunk";
    return false;
  }
  std::vector<uint8_t> headers(32 * count);
  if (!source_.read(headersAt_, headers.data(), headers.size())) return error = readFailed(), false;

  if (!inside(namesAt_, 4, tex1.at, tex1End)) {
    error = "its name table (at offset " + std::to_string(namesAt_) + ") lies past the TEX1 chunk";
    return false;
  }
  uint8_t nh[4];
  if (!source_.read(namesAt_, nh, 4)) return error = readFailed(), false;
  const size_t names = be16(nh);
  if (names != count) {
    error = "its name table holds " + std::to_string(names) + " names for " +
            std::to_string(count) + " textures";
    return false;
  }
  if (!inside(namesAt_, 4 + 4 * uint64_t(count), tex1.at, tex1End)) {
    error = "its name table runs past the TEX1 chunk";
    return false;
  }
  std::vector<uint8_t> entries(4 * count);
  if (!source_.read(namesAt_ + 4, entries.data(), entries.size()))
    return error = readFailed(), false;
  namesEnd_ = namesAt_ + 4 + 4 * uint64_t(count);
  char name[kMaxNameBytes + 1];
  for (size_t i = 0; i < count; ++i) {
    bti::Texture t;
    std::memcpy(t.header.raw, &headers[32 * i], 32);
    t.headerAt = headersAt_ + 32 * uint64_t(i);
    t.dataAt = t.headerAt + t.header.dataOffset();
    t.paletteAt = t.headerAt + t.header.paletteOffset();
    const uint64_t nameAt = namesAt_ + be16(&entries[4 * i + 2]);
    const size_t available =
        nameAt < tex1End ? size_t(std::min<uint64_t>(tex1End - nameAt, sizeof name)) : 0;
    if (available > 0 && !source_.read(nameAt, name, available)) return error = readFailed(), false;
    // A name that cannot be read makes its texture unusable, not the
    // model: the others are still listed and written.
    const void* end = std::memchr(name, 0, available);
    if (!end) {
      add(t, "", fileSize);
      textures_.back().problem =
          available > kMaxNameBytes
              ? "its name is longer than " + std::to_string(kMaxNameBytes) + " bytes"
              : "its name (at offset " + std::to_string(nameAt) +
                    ") is not ended inside the TEX1 chunk";
      continue;
    }
    const std::string text(name, size_t(static_cast<const char*>(end) - name));
    namesEnd_ = std::max<uint64_t>(namesEnd_, nameAt + text.size() + 1);
    add(t, text, fileSize);
  }
  findSharing();
  return true;
}

bool Model::plan(size_t target, const Image& image, const ReplaceRequest& request, int threads,
                 Edit& edit, std::string& error) const {
  const bti::Texture& t = headers_[target];
  gx::Stored stored;
  gx::Replacement r;
  if (!readStored(target, stored, error) ||
      !gx::encodeReplacement(t.header.description(), &stored, image, request, threads,
                             describeTexture(target, textures_[target].name), r, error))
    return false;
  const FormatInfo& f = *r.format;
  const std::vector<uint8_t>& data = r.encoded.data;
  std::vector<size_t> group = textures_[target].sharing;
  group.push_back(target);
  std::sort(group.begin(), group.end());

  // Everything that the new data must not overwrite: the tables and every
  // block of the textures outside the group.
  const Chunk& tex1 = *tex1_;
  const Range tex1Range{tex1.at, tex1.at + tex1.size};
  std::vector<Range> keep = {{headersAt_, headersAt_ + 32 * headers_.size()},
                             {namesAt_, namesEnd_}};
  for (size_t i = 0; i < headers_.size(); ++i) {
    if (std::binary_search(group.begin(), group.end(), i)) continue;
    const bti::Texture& other = headers_[i];
    // Blocks of a header that reads are kept even when its name does not.
    if (bti::problemOf(other, source_.size()).empty()) {
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
                        [&](const Range& k) { return k.overlaps(written); });
  };

  uint64_t oldData = 0;
  for (size_t g : group) oldData = std::max(oldData, headers_[g].dataBytes());
  // What does not fit in place goes to the end of TEX1, each block 32-byte
  // aligned.
  const uint64_t insertAt = tex1Range.end;
  std::vector<uint8_t> inserted;
  auto append = [&](const std::vector<uint8_t>& bytes) {
    const uint64_t at = align32(insertAt + inserted.size());
    inserted.resize(at - insertAt, 0);
    inserted.insert(inserted.end(), bytes.begin(), bytes.end());
    inserted.resize(align32(inserted.size() + insertAt) - insertAt, 0);
    return at;
  };

  uint64_t dataAt = t.dataAt;
  const Range* dataRange = nullptr;
  Range written{};
  if (fitsAt(t.dataAt, data.size(), oldData, nullptr)) {
    edit.patches.push_back({t.dataAt, data});
    written = {t.dataAt, t.dataAt + data.size()};
    dataRange = &written;
  } else {
    dataAt = append(data);
  }
  uint64_t paletteAt = 0;
  if (f.maxEntries > 0) {
    // The old palette block, when every header of the group had one there.
    bool samePalette = true;
    uint64_t oldPalette = 0;
    for (size_t g : group) {
      const bti::Texture& member = headers_[g];
      samePalette = samePalette && member.paletteBytes() > 0 && member.paletteAt == t.paletteAt;
      oldPalette = std::max(oldPalette, member.paletteBytes());
    }
    if (samePalette && fitsAt(t.paletteAt, r.paletteBytes.size(), oldPalette, dataRange)) {
      paletteAt = t.paletteAt;
      edit.patches.push_back({paletteAt, r.paletteBytes});
    } else {
      paletteAt = append(r.paletteBytes);
    }
  }

  for (size_t g : group) {
    const bti::Header h = newHeader(headers_[g], r, request, dataAt, paletteAt);
    edit.patches.push_back({headers_[g].headerAt, std::vector<uint8_t>(h.raw, h.raw + 32)});
  }
  if (!inserted.empty()) {
    const uint64_t newSize = tex1.size + inserted.size();
    const uint64_t newFileSize = uint64_t(fileSizeField_) + inserted.size();
    if (newSize > 0xFFFFFFFFu || newFileSize > 0xFFFFFFFFu ||
        insertAt + inserted.size() > 0xFFFFFFFFu) {
      error = "the new data would make the file larger than 4 GiB";
      return false;
    }
    std::vector<uint8_t> size(4);
    put32(size.data(), uint32_t(newSize));
    edit.patches.push_back({tex1.at + 4, size});
    put32(size.data(), uint32_t(newFileSize));
    edit.patches.push_back({8, size});
    edit.splices.push_back({insertAt, 0, std::move(inserted)});
  }

  if (bdl_ && mdl3_) {
    NewTexture nt{&f,
                  int(r.paletteFormat),
                  int(r.encoded.palette.entries.size()),
                  r.width,
                  r.height,
                  r.levels,
                  {},
                  {},
                  {}};
    nt.oldMinFilter.assign(headers_.size(), -1);
    nt.newMinFilter.assign(headers_.size(), -1);
    nt.hadPalette.assign(headers_.size(), false);
    for (size_t g : group) {
      const bti::Header& old = headers_[g].header;
      nt.oldMinFilter[g] = old.minFilter();
      nt.newMinFilter[g] = bti::minFilterFor(old.minFilter(), old.levels(), r.levels);
      nt.hadPalette[g] = headers_[g].format()->maxEntries > 0;
    }
    if (!patchDisplayLists(source_, *mdl3_, nt, edit, error)) return false;
  }
  return true;
}

std::unique_ptr<Container> open(const Source& source, const std::string&, std::string& error) {
  auto model = std::make_unique<Model>(source);
  if (!model->read(error)) return nullptr;
  return model;
}

}  // namespace

const ContainerType kType = {"a BMD or BDL model (no J3D2bmd3 or J3D2bdl4 magic)", hasMagic,
                             nullptr, open, gx::requestProblem};

}  // namespace glaze::j3d
