// BTI files, and the textures of BTI headers wherever they lie. Every
// count, size and offset is checked (in 64-bit arithmetic) before it is
// used, and only the header and the texture worked on are read.
#include "containers/bti.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "bytes.h"
#include "names.h"

namespace glaze::bti {

namespace {

std::string readFailed() { return std::string("cannot read it: ") + std::strerror(errno); }

bool inside(uint64_t at, uint64_t size, uint64_t begin, uint64_t end) {
  return at >= begin && at <= end && size <= end - at;
}

}  // namespace

gx::Description Header::description() const {
  return {format(), width(), height(), levels(), paletteFormat(), paletteEntries()};
}

uint64_t Texture::dataBytes() const {
  const FormatInfo* f = format();
  const int w = header.width(), h = header.height(), levels = header.levels();
  if (!f || w < 1 || h < 1 || w > kMaxSide || h > kMaxSide || levels < 1 || levels > kMaxLevels)
    return 0;
  return chainBytes(*f, w, h, levels);
}

uint64_t Texture::paletteBytes() const {
  const FormatInfo* f = format();
  return f && f->maxEntries > 0 ? 2 * uint64_t(header.paletteEntries()) : 0;
}

std::string problemOf(const Texture& t, uint64_t fileSize) {
  const Header& h = t.header;
  const FormatInfo* f = t.format();
  const int w = h.width(), ht = h.height(), levels = h.levels();
  if (!f) return "format " + std::to_string(h.format()) + " is not a texture format";
  if (w < 1 || w > kMaxSide || ht < 1 || ht > kMaxSide)
    return "its size " + std::to_string(w) + " x " + std::to_string(ht) + " is outside 1..1024";
  if (levels < 1 || levels > chainLength(w, ht))
    return "it claims " + std::to_string(levels) + " levels; " + std::to_string(w) + " x " +
           std::to_string(ht) + " has 1 to " + std::to_string(chainLength(w, ht));
  if (f->maxEntries > 0 && !paletteFormatName(h.paletteFormat()))
    return "palette format " + std::to_string(h.paletteFormat()) + " is unknown";
  if (!inside(t.dataAt, t.dataBytes(), 0, fileSize))
    return "its data (" + std::to_string(t.dataBytes()) + " bytes at offset " +
           std::to_string(t.dataAt) + ") lie past the end of the file";
  if (f->maxEntries > 0 && !inside(t.paletteAt, t.paletteBytes(), 0, fileSize))
    return "its palette (" + std::to_string(t.paletteBytes()) + " bytes at offset " +
           std::to_string(t.paletteAt) + ") lies past the end of the file";
  return "";
}

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

// ---------------------------------------------------------------------------
// The textures of BTI headers

std::vector<std::string> HeaderContainer::listFields(size_t texture) const {
  return gx::listFields(headers_[texture].header.description(), textures_[texture].sharing);
}

int HeaderContainer::levelCount(size_t texture) const { return headers_[texture].header.levels(); }

namespace {

// The first `levels` levels of a usable texture and its palette.
bool readTexture(const Source& source, const Texture& t, int levels, std::vector<uint8_t>& data,
                 Palette& palette, std::string& error) {
  const FormatInfo& f = *t.format();
  data.resize(chainBytes(f, t.header.width(), t.header.height(), levels));
  if (!source.read(t.dataAt, data.data(), data.size())) return error = readFailed(), false;
  if (f.maxEntries > 0) {
    palette.format = PaletteFormat(t.header.paletteFormat());
    std::vector<uint8_t> bytes(t.paletteBytes());
    if (!source.read(t.paletteAt, bytes.data(), bytes.size())) return error = readFailed(), false;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) palette.entries.push_back(be16(&bytes[i]));
  }
  return true;
}

}  // namespace

bool HeaderContainer::decode(size_t texture, const std::vector<int>& levels, Decoded& out,
                             std::string& error) const {
  if (levels.empty()) return true;
  const Texture& t = headers_[texture];
  std::vector<uint8_t> data;
  Palette palette;
  if (!readTexture(source_, t, levels.back() + 1, data, palette, error)) return false;
  gx::decode(t.header.description(), data, palette, levels,
             describeTexture(texture, textures_[texture].name), out);
  return true;
}

bool HeaderContainer::readStored(size_t texture, gx::Stored& out, std::string& error) const {
  return readTexture(source_, headers_[texture], 1, out.level0, out.palette, error);
}

void HeaderContainer::add(const Texture& texture, const std::string& name, uint64_t fileSize) {
  headers_.push_back(texture);
  textures_.push_back({name, problemOf(texture, fileSize), {}});
}

void HeaderContainer::findSharing() {
  std::vector<std::pair<uint64_t, size_t>> byAddress;
  for (size_t i = 0; i < headers_.size(); ++i) byAddress.emplace_back(headers_[i].dataAt, i);
  std::sort(byAddress.begin(), byAddress.end());
  for (size_t a = 0; a < byAddress.size();) {
    size_t b = a;
    while (b < byAddress.size() && byAddress[b].first == byAddress[a].first) ++b;
    for (size_t i = a; i < b; ++i) {
      auto& s = textures_[byAddress[i].second].sharing;
      for (size_t j = a; j < b; ++j)
        if (i != j) s.push_back(byAddress[j].second);
      std::sort(s.begin(), s.end());
    }
    a = b;
  }
}

Header HeaderContainer::newHeader(const Texture& old, const gx::Replacement& r,
                                  const ReplaceRequest& request, uint64_t dataAt,
                                  uint64_t paletteAt) {
  Header h = old.header;
  uint8_t* raw = h.raw;
  raw[0x00] = r.format->id;
  raw[0x01] = r.opaque ? 0 : (old.header.alphaFlag() != 0 ? uint8_t(old.header.alphaFlag()) : 1);
  put16(raw + 0x02, uint32_t(r.width));
  put16(raw + 0x04, uint32_t(r.height));
  if (r.format->maxEntries > 0) {
    raw[0x08] = 1;
    raw[0x09] = r.paletteFormat;
    put16(raw + 0x0A, uint32_t(r.encoded.palette.entries.size()));
    put32(raw + 0x0C, uint32_t(paletteAt - old.headerAt));
  }
  raw[0x10] = r.levels > 1 ? 1 : 0;
  raw[0x14] = uint8_t(minFilterFor(old.header.minFilter(), old.header.levels(), r.levels));
  raw[0x17] = uint8_t((r.levels - 1) * 8);
  raw[0x18] = old.header.raw[0x18] == 0 && request.levels == 0 ? 0 : uint8_t(r.levels);
  put32(raw + 0x1C, uint32_t(dataAt - old.headerAt));
  return h;
}

// ---------------------------------------------------------------------------
// BTI files

namespace {

// A BTI texture is named after its file, without the folder and ".bti".
std::string stemOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.size() >= 4) {
    std::string end = base.substr(base.size() - 4);
    for (char& c : end) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (end == ".bti") base.resize(base.size() - 4);
  }
  return base;
}

class File : public HeaderContainer {
 public:
  using HeaderContainer::HeaderContainer;

  bool read(const std::string& path, std::string& error) {
    if (source_.size() < 32) {
      error = "it is too short for a BTI texture header (" + std::to_string(source_.size()) +
              " bytes, 32 needed)";
      return false;
    }
    Texture t;
    if (!source_.read(0, t.header.raw, 32)) return error = readFailed(), false;
    t.dataAt = t.header.dataOffset();
    t.paletteAt = t.header.paletteOffset();
    add(t, stemOf(path), source_.size());
    findSharing();
    return true;
  }

  // A BTI is written anew: the header, the data, the palette.
  bool plan(size_t texture, const Image& image, const ReplaceRequest& request, int threads,
            Edit& edit, std::string& error) const override {
    const Texture& t = headers_[texture];
    gx::Stored stored;
    gx::Replacement r;
    if (!readStored(texture, stored, error) ||
        !gx::encodeReplacement(t.header.description(), &stored, image, request, threads,
                               describeTexture(texture, textures_[texture].name), r, error))
      return false;
    const Header h = newHeader(t, r, request, 32, 32 + r.encoded.data.size());
    std::vector<uint8_t> file(h.raw, h.raw + 32);
    file.insert(file.end(), r.encoded.data.begin(), r.encoded.data.end());
    file.insert(file.end(), r.paletteBytes.begin(), r.paletteBytes.end());
    file.resize(align32(file.size()), 0);
    edit.splices.push_back({0, source_.size(), std::move(file)});
    return true;
  }
};

std::unique_ptr<Container> open(const Source& source, const std::string& path, std::string& error) {
  auto file = std::make_unique<File>(source);
  if (!file->read(path, error)) return nullptr;
  return file;
}

}  // namespace

const ContainerType kType = {nullptr, nullptr, ".bti", open, gx::requestProblem};

}  // namespace glaze::bti
