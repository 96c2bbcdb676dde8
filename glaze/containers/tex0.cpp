// TEX0 and PLT0 sub-files, pool names, and .tex0 files (one TEX0 followed
// by its name, as the community's tools export textures).
#include "containers/tex0.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "bytes.h"
#include "names.h"

namespace glaze::tex0 {

namespace {

// Headers are 0x40 bytes (0x60 with an old tool's own copy of the name);
// a larger data offset is taken for damage.
constexpr uint32_t kMaxHeaderBytes = 4096;

std::string at(uint64_t offset) { return " at offset " + std::to_string(offset); }

// The common sub-file header: length, version, data offset and name
// offset, checked against the file; reads the bytes before the data.
bool readCommon(const Source& source, uint64_t offset, const char* magic, uint32_t minHeader,
                uint32_t& length, uint32_t& version, uint32_t& dataOffset, int32_t& nameOffset,
                std::vector<uint8_t>& header, std::string& problem) {
  const uint64_t size = source.size();
  if (offset > size || size - offset < minHeader) {
    problem = std::string("its ") + magic + at(offset) + " is cut short by the end of the file";
    return true;
  }
  header.resize(minHeader);
  if (!source.read(offset, header.data(), minHeader)) return false;
  if (std::memcmp(header.data(), magic, 4) != 0) {
    std::string found;
    for (int i = 0; i < 4; ++i)
      found += std::isprint(header[size_t(i)]) ? char(header[size_t(i)]) : '?';
    problem =
        std::string("its sub-file") + at(offset) + " is not a " + magic + " (magic " + found + ")";
    header.clear();
    return true;
  }
  length = be32(&header[4]);
  version = be32(&header[8]);
  dataOffset = be32(&header[0x10]);
  nameOffset = int32_t(be32(&header[0x14]));
  if (length < minHeader || length > size - offset) {
    problem =
        "its length (" + std::to_string(length) + " bytes" + at(offset) +
        (length < minHeader ? ") is shorter than its header" : ") runs past the end of the file");
    return true;
  }
  if (version != 1 && version != 3) {
    problem = "its version " + std::to_string(version) + " is not read (1 and 3 are)";
    return true;
  }
  if (dataOffset < minHeader || dataOffset > length || dataOffset > kMaxHeaderBytes) {
    problem = "its data offset " + std::to_string(dataOffset) + " lies outside its header (" +
              std::to_string(minHeader) + " to " +
              std::to_string(std::min(length, kMaxHeaderBytes)) + " bytes)";
    return true;
  }
  header.resize(dataOffset);
  return source.read(offset + minHeader, header.data() + minHeader, dataOffset - minHeader);
}

bool holdsOwnName(int32_t nameOffset, uint32_t dataOffset) {
  return nameOffset >= 0x18 && uint32_t(nameOffset) < dataOffset;
}

uint32_t floatBits(float v) { return std::bit_cast<uint32_t>(v); }

}  // namespace

bool readName(const Source& source, uint64_t offset, std::string& name, std::string& problem) {
  const uint64_t size = source.size();
  problem.clear();
  if (offset < 4 || offset > size) {
    problem = "its name" + at(offset) + " lies outside the file";
    return false;
  }
  uint8_t prefix[4];
  if (!source.read(offset - 4, prefix, 4)) return false;
  const uint32_t length = be32(prefix);
  if (length > kMaxNameBytes) {
    problem =
        "its name" + at(offset) + " is longer than " + std::to_string(kMaxNameBytes) + " bytes";
    return false;
  }
  if (length > size - offset) {
    problem = "its name" + at(offset) + " (" + std::to_string(length) +
              " bytes) runs past the end of the file";
    return false;
  }
  // The characters and the byte after them, where the file goes on.
  const size_t n = length + (length < size - offset ? 1 : 0);
  std::vector<char> bytes(n);
  if (n > 0 && !source.read(offset, bytes.data(), n)) return false;
  const auto end = std::find(bytes.begin(), bytes.end(), '\0');
  if (end == bytes.end() && n > length) {
    problem = "its name" + at(offset) + " is not ended within its length";
    return false;
  }
  name.assign(bytes.begin(), end);
  return true;
}

std::vector<uint8_t> nameEntry(const std::string& name) {
  std::vector<uint8_t> entry((4 + name.size() + 1 + 3) & ~size_t(3), 0);
  put32(entry.data(), uint32_t(name.size()));
  std::copy(name.begin(), name.end(), entry.begin() + 4);
  return entry;
}

// ---------------------------------------------------------------------------
// TEX0

uint64_t Tex0::dataBytes() const {
  const FormatInfo* f = formatInfo();
  return f ? chainBytes(*f, width, height, images) : 0;
}

bool Tex0::ownName() const { return holdsOwnName(nameOffset, dataOffset); }

bool readTex0(const Source& source, uint64_t offset, Tex0& t, std::string& problem) {
  problem.clear();
  t.at = offset;
  if (!readCommon(source, offset, "TEX0", 0x40, t.length, t.version, t.dataOffset, t.nameOffset,
                  t.header, problem))
    return false;
  // The fields, for -l, whenever the header could be read.
  uint32_t format = 0, images = 0;
  if (t.header.size() >= 0x40) {
    const uint8_t* h = t.header.data();
    t.flags = be32(h + 0x18);
    t.width = be16(h + 0x1C);
    t.height = be16(h + 0x1E);
    format = be32(h + 0x20), images = be32(h + 0x24);
    t.format = int(std::min<uint32_t>(format, 255));
    t.images = int(std::min<uint32_t>(images, 255));
  }
  if (!problem.empty()) return true;
  if (format > 255 || !formatInfo(int(format))) {
    problem = "format " + std::to_string(format) + " is not a texture format";
  } else if (t.width < 1 || t.width > kMaxSide || t.height < 1 || t.height > kMaxSide) {
    problem = "its size " + std::to_string(t.width) + " x " + std::to_string(t.height) +
              " is outside 1..1024";
  } else if (images < 1 || images > uint32_t(chainLength(t.width, t.height))) {
    problem = "it claims " + std::to_string(images) + " images; " + std::to_string(t.width) +
              " x " + std::to_string(t.height) + " has 1 to " +
              std::to_string(chainLength(t.width, t.height));
  } else if (t.dataBytes() > t.length - t.dataOffset) {
    problem = "its data (" + std::to_string(t.dataBytes()) + " bytes from offset " +
              std::to_string(t.at + t.dataOffset) + ") run past its length (" +
              std::to_string(t.length) + " bytes)";
  }
  return true;
}

std::vector<uint8_t> newTex0Header(const Tex0& old, const gx::Replacement& r) {
  std::vector<uint8_t> h = old.header;
  put32(&h[0x04], uint32_t(old.dataOffset + r.encoded.data.size()));
  put32(&h[0x18], (old.flags & ~1u) | (r.format->maxEntries > 0 ? 1u : 0u));
  put16(&h[0x1C], uint32_t(r.width));
  put16(&h[0x1E], uint32_t(r.height));
  put32(&h[0x20], r.format->id);
  put32(&h[0x24], uint32_t(r.levels));
  if (r.levels != old.images) {
    put32(&h[0x28], floatBits(0.0f));
    put32(&h[0x2C], floatBits(float(r.levels - 1)));
  }
  return h;
}

// ---------------------------------------------------------------------------
// PLT0

bool Plt0::ownName() const { return holdsOwnName(nameOffset, dataOffset); }

bool readPlt0(const Source& source, uint64_t offset, Plt0& p, std::string& problem) {
  problem.clear();
  p.at = offset;
  if (!readCommon(source, offset, "PLT0", 0x28, p.length, p.version, p.dataOffset, p.nameOffset,
                  p.header, problem))
    return false;
  uint32_t format = 0;
  if (p.header.size() >= 0x28) {
    format = be32(&p.header[0x18]);
    p.entries = be16(&p.header[0x1C]);
    p.format = int(std::min<uint32_t>(format, 255));
  }
  if (!problem.empty()) return true;
  if (format > 255 || !paletteFormatName(int(format))) {
    problem = "palette format " + std::to_string(format) + " is unknown";
  } else if (p.entries > 16384) {
    problem = "it claims " + std::to_string(p.entries) + " entries (at most 16384)";
  } else if (2 * uint64_t(p.entries) > p.length - p.dataOffset) {
    problem = "its entries (" + std::to_string(2 * p.entries) + " bytes from offset " +
              std::to_string(p.at + p.dataOffset) + ") run past its length (" +
              std::to_string(p.length) + " bytes)";
  }
  return true;
}

bool readPalette(const Source& source, const Plt0& p, Palette& out) {
  std::vector<uint8_t> bytes(2 * size_t(p.entries));
  if (!bytes.empty() && !source.read(p.at + p.dataOffset, bytes.data(), bytes.size())) return false;
  out.format = PaletteFormat(p.format);
  out.entries.clear();
  for (size_t i = 0; i < bytes.size(); i += 2) out.entries.push_back(be16(&bytes[i]));
  return true;
}

std::vector<uint8_t> newPlt0(const gx::Replacement& r, uint64_t offset, uint64_t nameAt) {
  // Sized once and filled by offset: GCC 12 warns falsely about an insert.
  std::vector<uint8_t> p(0x40 + r.paletteBytes.size(), 0);
  std::memcpy(p.data(), "PLT0", 4);
  put32(&p[0x04], uint32_t(0x40 + r.paletteBytes.size()));
  put32(&p[0x08], 1);
  put32(&p[0x0C], uint32_t(-int64_t(offset)));
  put32(&p[0x10], 0x40);
  put32(&p[0x14], uint32_t(nameAt - offset));
  put32(&p[0x18], r.paletteFormat);
  put16(&p[0x1C], uint32_t(r.encoded.palette.entries.size()));
  std::copy(r.paletteBytes.begin(), r.paletteBytes.end(), p.begin() + 0x40);
  return p;
}

std::vector<uint8_t> newPlt0Header(const Plt0& old, const gx::Replacement& r) {
  std::vector<uint8_t> h = old.header;
  put32(&h[0x04], uint32_t(old.dataOffset + r.paletteBytes.size()));
  put32(&h[0x18], r.paletteFormat);
  put16(&h[0x1C], uint32_t(r.encoded.palette.entries.size()));
  return h;
}

gx::Description describe(const Tex0& t, const Plt0* p) {
  return {t.format, t.width, t.height, t.images, p ? p->format : -1, p ? p->entries : 0};
}

// ---------------------------------------------------------------------------
// .tex0 files

namespace {

std::string readFailed() { return std::string("cannot read it: ") + std::strerror(errno); }

bool hasMagic(const uint8_t* head, size_t size) {
  return size >= 4 && std::memcmp(head, "TEX0", 4) == 0;
}

class File : public Container {
 public:
  explicit File(const Source& source) : source_(source) {}

  bool read(std::string& error) {
    if (source_.size() < 0x40) {
      error = "it is too short for a TEX0 header (" + std::to_string(source_.size()) +
              " bytes, 64 needed)";
      return false;
    }
    std::string problem;
    if (!readTex0(source_, 0, t_, problem)) return error = readFailed(), false;
    // The texture is named by the name it holds; without one the file
    // cannot be told apart from damage.
    std::string name, nameProblem;
    if (!readName(source_, uint64_t(int64_t(t_.nameOffset)), name, nameProblem)) {
      error = nameProblem.empty() ? readFailed() : nameProblem;
      return false;
    }
    if (problem.empty() && t_.formatInfo()->maxEntries > 0)
      problem = std::string("it is ") + t_.formatInfo()->name +
                ", and a TEX0 file holds no palette to show it with";
    textures_.push_back({name, problem, {}});
    return true;
  }

  std::vector<std::string> listFields(size_t) const override {
    return gx::listFields(describe(t_, nullptr), {});
  }

  int levelCount(size_t) const override { return t_.images; }

  bool decode(size_t texture, const std::vector<int>& levels, Decoded& out,
              std::string& error) const override {
    if (levels.empty()) return true;
    const FormatInfo& f = *t_.formatInfo();
    std::vector<uint8_t> data(chainBytes(f, t_.width, t_.height, levels.back() + 1));
    if (!source_.read(t_.dataOffset, data.data(), data.size())) return error = readFailed(), false;
    gx::decode(describe(t_, nullptr), data, Palette(), levels,
               describeTexture(texture, textures_[texture].name), out);
    return true;
  }

  // Written anew: the header, the data, then the name (name offset =
  // length + 4), as the community's tools write them.
  bool plan(size_t texture, const Image& image, const ReplaceRequest& request, int threads,
            Edit& edit, std::string& error) const override {
    gx::Stored stored;
    stored.level0.resize(levelBytes(*t_.formatInfo(), t_.width, t_.height));
    if (!source_.read(t_.dataOffset, stored.level0.data(), stored.level0.size()))
      return error = readFailed(), false;
    gx::Replacement r;
    if (!gx::encodeReplacement(describe(t_, nullptr), &stored, image, request, threads,
                               describeTexture(texture, textures_[texture].name), r, error))
      return false;
    std::vector<uint8_t> file = newTex0Header(t_, r);
    file.insert(file.end(), r.encoded.data.begin(), r.encoded.data.end());
    if (file.size() > 0xFFFFFFFBu - kMaxNameBytes) {
      error = "the new data would make the file larger than 4 GiB";
      return false;
    }
    put32(&file[0x14], uint32_t(file.size() + 4));
    const std::vector<uint8_t> name = nameEntry(textures_[texture].name);
    file.insert(file.end(), name.begin(), name.end());
    edit.splices.push_back({0, source_.size(), std::move(file)});
    return true;
  }

 private:
  const Source& source_;
  Tex0 t_;
};

std::unique_ptr<Container> open(const Source& source, const std::string&, std::string& error) {
  auto file = std::make_unique<File>(source);
  if (!file->read(error)) return nullptr;
  return file;
}

std::string requestProblem(const ReplaceRequest& request) {
  const std::string problem = gx::requestProblem(request);
  if (!problem.empty()) return problem;
  const FormatInfo* f = nullptr;
  if (request.format) {
    std::string upper = *request.format;
    for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
    f = formatByName(upper);
  }
  if ((f && f->maxEntries > 0) || request.palette)
    return "a TEX0 file holds no palette: it takes no -F C4, C8 or C14X2 and no -P";
  return "";
}

}  // namespace

const ContainerType kType = {"a TEX0 texture (no TEX0 magic)", hasMagic, nullptr, open,
                             requestProblem};

}  // namespace glaze::tex0
