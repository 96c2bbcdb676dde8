// Reading BMD/BDL models and BTI files as hostile input: every count, size
// and offset is checked (in 64-bit arithmetic) before it is used, and only
// the tables and the texture being worked on are read, never the whole
// file.
#include "model.h"

#include <iconv.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace glaze {

bool FileSource::read(uint64_t offset, void* out, size_t n) const {
  size_t done = 0;
  while (done < n) {
    const ssize_t got = pread(fd_, static_cast<char*>(out) + done, n - done, off_t(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) {
      // The file shrank under us.
      errno = EIO;
      return false;
    }
    done += size_t(got);
  }
  return true;
}

bool MemorySource::read(uint64_t offset, void* out, size_t n) const {
  if (offset > size_ || n > size_ - offset) {
    errno = EIO;
    return false;
  }
  if (n > 0) std::memcpy(out, data_ + offset, n);
  return true;
}

namespace {

uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

// Longer names are taken for damage: no file system takes them.
constexpr size_t kMaxNameBytes = 1024;

std::string readFailed() { return std::string("cannot read it: ") + std::strerror(errno); }

bool inside(uint64_t at, uint64_t size, uint64_t begin, uint64_t end) {
  return at >= begin && at <= end && size <= end - at;
}

// Fills in where the texture's blocks lie and what is wrong with it.
void checkTexture(Texture& t, uint64_t fileSize) {
  const Header& h = t.header;
  const FormatInfo* f = t.format();
  const int w = h.width(), ht = h.height(), levels = h.levels();
  if (!f) {
    t.problem = "format " + std::to_string(h.format()) + " is not a texture format";
  } else if (w < 1 || w > kMaxSide || ht < 1 || ht > kMaxSide) {
    t.problem =
        "its size " + std::to_string(w) + " x " + std::to_string(ht) + " is outside 1..1024";
  } else if (levels < 1 || levels > chainLength(w, ht)) {
    t.problem = "it claims " + std::to_string(levels) + " levels; " + std::to_string(w) + " x " +
                std::to_string(ht) + " has 1 to " + std::to_string(chainLength(w, ht));
  } else if (f->maxEntries > 0 && !paletteFormatName(h.paletteFormat())) {
    t.problem = "palette format " + std::to_string(h.paletteFormat()) + " is unknown";
  } else if (!inside(t.dataAt, t.dataBytes(), 0, fileSize)) {
    t.problem = "its data (" + std::to_string(t.dataBytes()) + " bytes at offset " +
                std::to_string(t.dataAt) + ") lie past the end of the file";
  } else if (f->maxEntries > 0 && !inside(t.paletteAt, t.paletteBytes(), 0, fileSize)) {
    t.problem = "its palette (" + std::to_string(t.paletteBytes()) + " bytes at offset " +
                std::to_string(t.paletteAt) + ") lies past the end of the file";
  }
}

void findSharing(Model& model) {
  std::vector<std::pair<uint64_t, size_t>> byAddress;
  for (size_t i = 0; i < model.textures.size(); ++i)
    byAddress.emplace_back(model.textures[i].dataAt, i);
  std::sort(byAddress.begin(), byAddress.end());
  for (size_t a = 0; a < byAddress.size();) {
    size_t b = a;
    while (b < byAddress.size() && byAddress[b].first == byAddress[a].first) ++b;
    for (size_t i = a; i < b; ++i)
      for (size_t j = a; j < b; ++j)
        if (i != j) model.textures[byAddress[i].second].sharing.push_back(byAddress[j].second);
    for (size_t i = a; i < b; ++i) {
      auto& s = model.textures[byAddress[i].second].sharing;
      std::sort(s.begin(), s.end());
    }
    a = b;
  }
}

bool readBti(const Source& source, const std::string& name, Model& model, std::string& error) {
  if (source.size() < 32) {
    error = "it is too short for a BTI texture header (" + std::to_string(source.size()) +
            " bytes, 32 needed)";
    return false;
  }
  Texture t;
  if (!source.read(0, t.header.raw, 32)) return error = readFailed(), false;
  t.name = name;
  t.dataAt = t.header.dataOffset();
  t.paletteAt = t.header.paletteOffset();
  checkTexture(t, model.fileSize);
  model.textures.push_back(std::move(t));
  return true;
}

bool readJ3d(const Source& source, Model& model, std::string& error) {
  const uint64_t fileSize = model.fileSize;
  uint8_t head[32];
  if (fileSize < 32) {
    error = "it is too short for a J3D header (" + std::to_string(fileSize) + " bytes)";
    return false;
  }
  if (!source.read(0, head, 32)) return error = readFailed(), false;
  model.fileSizeField = be32(head + 8);

  // Chunks to the end of the file, whatever their count says. Past TEX1, a
  // chunk header that makes no sense ends the walk (trailing bytes).
  for (uint64_t at = 32; at + 8 <= fileSize;) {
    uint8_t prefix[8];
    if (!source.read(at, prefix, 8)) return error = readFailed(), false;
    Chunk c{std::string(reinterpret_cast<char*>(prefix), 4), at, be32(prefix + 4)};
    if (c.size < 8 || c.size > fileSize - at) {
      if (model.tex1) break;
      error = "its chunk at offset " + std::to_string(at) + " has size " + std::to_string(c.size) +
              (c.size < 8 ? " (less than 8)" : " past the end of the file");
      return false;
    }
    if (c.tag == "TEX1" && !model.tex1) model.tex1 = c;
    if (c.tag == "MDL3" && !model.mdl3) model.mdl3 = c;
    model.chunks.push_back(c);
    at += c.size;
  }
  if (!model.tex1) {
    error = "it has no TEX1 chunk";
    return false;
  }
  const Chunk& tex1 = *model.tex1;
  const uint64_t tex1End = tex1.at + tex1.size;
  if (tex1.size < 32) {
    error = "its TEX1 chunk is too short (" + std::to_string(tex1.size) + " bytes)";
    return false;
  }
  uint8_t th[32];
  if (!source.read(tex1.at, th, 32)) return error = readFailed(), false;
  const size_t count = be16(th + 8);
  model.headersAt = tex1.at + be32(th + 12);
  model.namesAt = tex1.at + be32(th + 16);
  if (!inside(model.headersAt, 32 * uint64_t(count), tex1.at, tex1End)) {
    error = "its TEX1 header array (" + std::to_string(count) + " headers at offset " +
            std::to_string(model.headersAt) + ") lies past the TEX1 chunk";
    return false;
  }
  std::vector<uint8_t> headers(32 * count);
  if (!source.read(model.headersAt, headers.data(), headers.size()))
    return error = readFailed(), false;

  if (!inside(model.namesAt, 4, tex1.at, tex1End)) {
    error =
        "its name table (at offset " + std::to_string(model.namesAt) + ") lies past the TEX1 chunk";
    return false;
  }
  uint8_t nh[4];
  if (!source.read(model.namesAt, nh, 4)) return error = readFailed(), false;
  const size_t names = be16(nh);
  if (names != count) {
    error = "its name table holds " + std::to_string(names) + " names for " +
            std::to_string(count) + " textures";
    return false;
  }
  if (!inside(model.namesAt, 4 + 4 * uint64_t(count), tex1.at, tex1End)) {
    error = "its name table runs past the TEX1 chunk";
    return false;
  }
  std::vector<uint8_t> entries(4 * count);
  if (!source.read(model.namesAt + 4, entries.data(), entries.size()))
    return error = readFailed(), false;
  model.namesEnd = model.namesAt + 4 + 4 * uint64_t(count);
  char name[kMaxNameBytes + 1];
  for (size_t i = 0; i < count; ++i) {
    Texture t;
    std::memcpy(t.header.raw, &headers[32 * i], 32);
    t.headerAt = model.headersAt + 32 * uint64_t(i);
    t.dataAt = t.headerAt + t.header.dataOffset();
    t.paletteAt = t.headerAt + t.header.paletteOffset();
    const uint64_t nameAt = model.namesAt + be16(&entries[4 * i + 2]);
    const size_t available =
        nameAt < tex1End ? size_t(std::min<uint64_t>(tex1End - nameAt, sizeof name)) : 0;
    if (available > 0 && !source.read(nameAt, name, available)) return error = readFailed(), false;
    const void* end = std::memchr(name, 0, available);
    if (!end) {
      error =
          "the name of texture " + std::to_string(i) +
          (available > kMaxNameBytes ? " is longer than " + std::to_string(kMaxNameBytes) + " bytes"
                                     : std::string(" is not ended inside the TEX1 chunk"));
      return false;
    }
    t.name.assign(name, size_t(static_cast<const char*>(end) - name));
    model.namesEnd = std::max<uint64_t>(model.namesEnd, nameAt + t.name.size() + 1);
    checkTexture(t, fileSize);
    model.textures.push_back(std::move(t));
  }
  return true;
}

}  // namespace

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

std::optional<Kind> j3dKind(const uint8_t magic[8]) {
  if (std::memcmp(magic, "J3D2", 4) != 0) return std::nullopt;
  if (std::memcmp(magic + 4, "bmd3", 4) == 0 || std::memcmp(magic + 4, "bmd2", 4) == 0)
    return Kind::kBmd;
  if (std::memcmp(magic + 4, "bdl4", 4) == 0) return Kind::kBdl;
  return std::nullopt;
}

bool readModel(const Source& source, Kind kind, const std::string& btiName, Model& model,
               std::string& error) {
  model = Model();
  model.kind = kind;
  model.fileSize = source.size();
  const bool ok =
      kind == Kind::kBti ? readBti(source, btiName, model, error) : readJ3d(source, model, error);
  if (ok) findSharing(model);
  return ok;
}

bool readTextureData(const Source& source, const Texture& t, int levels, std::vector<uint8_t>& data,
                     Palette& palette, std::string& error) {
  const FormatInfo& f = *t.format();
  data.resize(chainBytes(f, t.header.width(), t.header.height(), levels));
  if (!source.read(t.dataAt, data.data(), data.size())) return error = readFailed(), false;
  palette.entries.clear();
  if (f.maxEntries > 0) {
    palette.format = PaletteFormat(t.header.paletteFormat());
    std::vector<uint8_t> bytes(t.paletteBytes());
    if (!source.read(t.paletteAt, bytes.data(), bytes.size())) return error = readFailed(), false;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) palette.entries.push_back(be16(&bytes[i]));
  }
  return true;
}

namespace {

bool validUtf8(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    const unsigned c = p[i];
    size_t extra;
    unsigned min;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, min = 0x10000;
    } else {
      return false;
    }
    if (i + extra >= n) return false;
    unsigned v = c & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      v = v << 6 | (p[i + k] & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::optional<std::string> fromCodePage932(const std::string& s) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == iconv_t(-1)) return std::nullopt;
  std::string out(s.size() * 4 + 4, '\0');
  char* in = const_cast<char*>(s.data());
  size_t inLeft = s.size();
  char* to = out.data();
  size_t outLeft = out.size();
  const size_t r = iconv(cd, &in, &inLeft, &to, &outLeft);
  iconv_close(cd);
  if (r == size_t(-1) || inLeft != 0) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

void appendEscaped(std::string& out, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

}  // namespace

std::string displayName(const std::string& raw) {
  std::string text;
  if (validUtf8(raw)) {
    text = raw;
  } else if (auto converted = fromCodePage932(raw)) {
    text = *converted;
  } else {
    // Valid UTF-8 sequences stay; every other byte is escaped.
    for (size_t i = 0; i < raw.size();) {
      size_t length = 1;
      const auto c = static_cast<unsigned char>(raw[i]);
      if (c >= 0xC0) {
        length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (i + length > raw.size() || !validUtf8(raw.substr(i, length))) length = 0;
      } else if (c >= 0x80) {
        length = 0;
      }
      if (length == 0) {
        appendEscaped(text, c);
        ++i;
      } else {
        text.append(raw, i, length);
        i += length;
      }
    }
  }
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F)
      appendEscaped(out, c);
    else
      out += ch;
  }
  return out;
}

std::string fileNameOf(const std::string& raw) {
  std::string name = displayName(raw);
  for (char& c : name)
    if (c == '/') c = '_';
  if (name.empty()) return "_";
  if (name[0] == '.') name[0] = '_';
  return name;
}

}  // namespace glaze
