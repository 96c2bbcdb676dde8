#include "cia.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "ByteBuffer.h"
#include "ncch.h"
#include "oschar.h"

namespace uncairn {

namespace {

constexpr uint32_t kHeaderSize = 0x2020;
constexpr size_t kBitmap = 0x20;
constexpr uint64_t kAlignment = 64;
// The TMD's header after its signature block, and its 64 info records.
constexpr uint64_t kTmdHeader = 0xC4;
constexpr uint64_t kInfoRecords = 64 * 0x24;
constexpr uint64_t kChunkRecord = 0x30;
constexpr uint16_t kEncryptedContent = 0x1;
// The TWL (DSi) bit of a title ID's category.
constexpr uint64_t kTwlTitle = uint64_t(0x8000) << 32;

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return uint32_t(Be16(p)) << 16 | Be16(p + 2); }
uint64_t Be64(const uint8_t* p) { return uint64_t(Be32(p)) << 32 | Be32(p + 4); }

// The signature block in front of a signed blob: type, signature, padding
// to 64 bytes. 0 for a type that is not known.
uint64_t SignatureBlock(uint32_t type) {
  switch (type) {
    case 0x10000:  // RSA-4096 with SHA-1
    case 0x10003:  // RSA-4096 with SHA-256
      return 4 + 0x200 + 0x3C;
    case 0x10001:  // RSA-2048
    case 0x10004:
      return 4 + 0x100 + 0x3C;
    case 0x10002:  // ECDSA
    case 0x10005:
      return 4 + 0x3C + 0x40;
  }
  return 0;
}

struct Content {
  uint32_t id = 0;
  uint16_t index = 0;
  uint16_t type = 0;
  uint64_t size = 0;
  uint8_t hash[32] = {};
  bool present = false;
  uint64_t offset = 0;  // in the file, when present
  bool ncch = false;
  bool encrypted() const { return type & kEncryptedContent; }
};

std::string Name(uint16_t index) { return "content " + std::to_string(index); }

class Cia : public Container {
 public:
  bool Open(const InputFile& file, const Choice& choice);
  bool Describe(std::vector<std::string>& lines) override;
  bool Romfs(Region& romfs) override;
  bool Check(bool everything) override;

 private:
  bool Damaged(const std::string& text) {
    file_->Problem("damaged CIA: " + text);
    return false;
  }
  bool ReadTmd(uint64_t offset, uint32_t size);
  bool Choose(const Choice& choice);
  // Whether the content's bytes match its TMD hash.
  bool HashHolds(const Content& content, bool& read) const;

  const InputFile* file_ = nullptr;
  uint64_t title_id_ = 0;
  std::vector<Content> contents_;  // in TMD order
  const Content* chosen_ = nullptr;
  Ncch ncch_;
};

bool Cia::Open(const InputFile& file, const Choice& choice) {
  file_ = &file;
  if (!ChoiceFits(file, choice, false, true, "a CIA")) return false;
  if (file.size() < kHeaderSize) {
    file.Problem("truncated: " + Hex(file.size()) + " bytes, too few for the " + Hex(kHeaderSize) +
                 "-byte header of a CIA");
    return false;
  }
  std::vector<uint8_t> header(kHeaderSize);
  if (!file.Read(0, header.data(), header.size())) return false;
  const uint32_t sizes[4] = {get_le32(&header[8]), get_le32(&header[12]), get_le32(&header[16]),
                             get_le32(&header[20])};
  const uint64_t content_size = get_le64(&header[24]);
  const char* const names[] = {"certificate chain", "ticket", "TMD"};
  uint64_t at = align(kHeaderSize, kAlignment);
  uint64_t offsets[3];
  for (int i = 0; i < 3; ++i) {
    offsets[i] = at;
    if (at + sizes[i] > file.size()) {
      return Damaged(std::string("its ") + names[i] + " (" + Hex(sizes[i]) + " bytes at " +
                     Hex(at) + ") runs past the end of the " + Hex(file.size()) + "-byte file");
    }
    at = align(at + sizes[i], kAlignment);
  }
  const uint64_t contents_at = at;
  if (content_size > file.size() || contents_at + content_size > file.size()) {
    return Damaged("its contents (" + Hex(content_size) + " bytes at " + Hex(contents_at) +
                   ") run past the end of the " + Hex(file.size()) + "-byte file");
  }
  if (!ReadTmd(offsets[2], sizes[2])) return false;

  // The bitmap says which of the TMD's contents the file holds, in TMD order.
  std::map<uint16_t, Content*> by_index;
  for (Content& c : contents_) {
    if (!by_index.emplace(c.index, &c).second) {
      return Damaged("the TMD lists " + Name(c.index) + " twice");
    }
  }
  for (uint32_t i = 0; i < 0x10000; ++i) {
    if (!(header[kBitmap + i / 8] & (0x80 >> (i % 8)))) continue;
    auto it = by_index.find(static_cast<uint16_t>(i));
    if (it == by_index.end()) {
      return Damaged("its bitmap holds " + Name(static_cast<uint16_t>(i)) +
                     ", which the TMD does not list");
    }
    it->second->present = true;
  }
  // makerom rounds each content up to 16 bytes, other builders do not.
  uint64_t plain_sum = 0, rounded_sum = 0;
  for (const Content& c : contents_) {
    if (!c.present) continue;
    if (c.size > file.size()) {
      return Damaged(Name(c.index) + " is " + Hex(c.size) +
                     " bytes long in the TMD, more than the " + Hex(file.size()) + "-byte file");
    }
    plain_sum += c.size;
    rounded_sum += align(c.size, 16);
    if (plain_sum > file.size()) {
      return Damaged("the contents it holds are more than " + Hex(plain_sum) +
                     " bytes long in the TMD, more than the " + Hex(file.size()) + "-byte file");
    }
  }
  const bool rounded = plain_sum != content_size;
  if (plain_sum != content_size && rounded_sum != content_size) {
    return Damaged("the contents it holds are " + Hex(plain_sum) +
                   " bytes long in the TMD, but its header says " + Hex(content_size));
  }
  if (sizes[3] > 0) {
    const uint64_t meta_at = align(contents_at + content_size, kAlignment);
    if (meta_at + sizes[3] > file.size()) {
      return Damaged("its meta block (" + Hex(sizes[3]) + " bytes at " + Hex(meta_at) +
                     ") runs past the end of the " + Hex(file.size()) + "-byte file");
    }
  }
  uint64_t offset = contents_at;
  for (Content& c : contents_) {
    if (!c.present) continue;
    c.offset = offset;
    offset += rounded ? align(c.size, 16) : c.size;
    if (c.encrypted() || c.size < Ncch::kHeaderSize) continue;
    uint8_t magic[0x104];
    if (!file.Read(c.offset, magic, sizeof(magic))) return false;
    c.ncch = Ncch::HasMagic(magic, sizeof(magic));
  }
  return Choose(choice);
}

bool Cia::ReadTmd(uint64_t offset, uint32_t size) {
  uint8_t type[4];
  if (size < sizeof(type)) return Damaged("its TMD is " + Hex(size) + " bytes long");
  if (!file_->Read(offset, type, sizeof(type))) return false;
  const uint64_t block = SignatureBlock(Be32(type));
  if (block == 0) {
    return Damaged("its TMD's signature type " + Hex(Be32(type)) + " is not one the format knows");
  }
  const uint64_t fixed = block + kTmdHeader + kInfoRecords;
  if (size < fixed) {
    return Damaged("its TMD is " + Hex(size) + " bytes long, too short for its header (" +
                   Hex(fixed) + ")");
  }
  uint8_t header[kTmdHeader];
  if (!file_->Read(offset + block, header, sizeof(header))) return false;
  title_id_ = Be64(header + 0x4C);
  const uint16_t count = Be16(header + 0x9E);
  const uint64_t needed = fixed + kChunkRecord * count;
  if (size < needed) {
    return Damaged("its TMD is " + Hex(size) + " bytes long, too short for its " +
                   std::to_string(count) + " contents (" + Hex(needed) + ")");
  }
  std::vector<uint8_t> records(static_cast<size_t>(kChunkRecord * count));
  if (!file_->Read(offset + fixed, records.data(), records.size())) return false;
  contents_.resize(count);
  for (uint16_t i = 0; i < count; ++i) {
    const uint8_t* r = &records[kChunkRecord * i];
    Content& c = contents_[i];
    c.id = Be32(r);
    c.index = Be16(r + 4);
    c.type = Be16(r + 6);
    c.size = Be64(r + 8);
    memcpy(c.hash, r + 16, sizeof(c.hash));
  }
  return true;
}

bool Cia::Choose(const Choice& choice) {
  if (choice.content >= 0) {
    for (const Content& c : contents_) {
      if (c.index != choice.content) continue;
      if (!c.present) {
        file_->Problem("no " + Name(c.index) +
                       " in the file: the TMD lists it, the file does "
                       "not hold it");
        return false;
      }
      chosen_ = &c;
    }
    if (chosen_ == nullptr) {
      file_->Problem("no " + Name(static_cast<uint16_t>(choice.content)));
      return false;
    }
  } else {
    // Content 0, or else the first NCCH by index. An encrypted content
    // hides what it is; it is normally an NCCH.
    for (const Content& c : contents_) {
      if (!c.present || !(c.ncch || c.encrypted())) continue;
      if (chosen_ == nullptr || c.index < chosen_->index) chosen_ = &c;
    }
    if (chosen_ == nullptr) return true;
  }
  if (chosen_->encrypted()) return true;
  return ncch_.Read(*file_, chosen_->offset, chosen_->size, Name(chosen_->index));
}

bool Cia::HashHolds(const Content& content, bool& read) const {
  uint8_t digest[32];
  read = Region(*file_, content.offset, content.size).Digest(content.size, digest);
  return read && memcmp(digest, content.hash, sizeof(digest)) == 0;
}

bool Cia::Describe(std::vector<std::string>& lines) {
  lines.push_back("container: CIA");
  bool good = true;
  char id[16];
  for (const Content& c : contents_) {
    snprintf(id, sizeof(id), "0x%08x", c.id);
    std::string line = Name(c.index) + ": id " + id + ", ";
    if (!c.present) {
      lines.push_back(line + Hex(c.size) + " bytes, not in the file");
      continue;
    }
    line += "at " + Hex(c.offset) + ", " + Hex(c.size) + " bytes, ";
    if (c.encrypted()) {
      // The TMD hashes the plaintext, which needs the title key.
      lines.push_back(line + "encrypted, hash not checked");
      continue;
    }
    bool read = false;
    const bool holds = HashHolds(c, read);
    good = good && (holds || !read);
    lines.push_back(line + (c.ncch ? "NCCH" : "not an NCCH") + ", hash " +
                    (!read   ? "not checked"
                     : holds ? "good"
                             : "BAD"));
  }
  char title[32];
  snprintf(title, sizeof(title), "%016llx", static_cast<unsigned long long>(title_id_));
  if (chosen_ == nullptr) {
    lines.push_back("ncch: none");
    lines.push_back(std::string("title id: ") + title);
    lines.push_back("romfs: none");
    return good;
  }
  lines.push_back("ncch: " + Name(chosen_->index));
  if (chosen_->encrypted()) {
    lines.push_back(std::string("title id: ") + title);
    lines.push_back(std::string("crypto: ") + CryptoName(Crypto::kTitleKey));
    return good;
  }
  return ncch_.Describe(lines) && good;
}

bool Cia::Romfs(Region& romfs) {
  if (chosen_ == nullptr) {
    file_->Problem(std::string("no RomFS: no content of the CIA is an NCCH") +
                   (title_id_ & kTwlTitle ? " (a DSiWare title's content is a DS ROM)" : ""));
    return false;
  }
  if (chosen_->encrypted()) {
    file_->Problem(kEncryptedMessage);
    return false;
  }
  return ncch_.Romfs(romfs);
}

bool Cia::Check(bool everything) {
  if (chosen_ == nullptr || chosen_->encrypted()) return false;
  bool good = true;
  if (everything) {
    bool read = false;
    if (!HashHolds(*chosen_, read)) {
      if (read) file_->Problem("wrong TMD hash of " + Name(chosen_->index));
      good = false;
    }
  }
  return ncch_.Check(everything) && good;
}

}  // namespace

bool IsCia(const uint8_t* head, size_t size) {
  // The header size and the type, 0; the rest is checked when it is read.
  return size >= 8 && get_le32(head) == kHeaderSize && head[4] == 0 && head[5] == 0;
}

std::unique_ptr<Container> OpenCia(const InputFile& file, const Choice& choice) {
  auto container = std::make_unique<Cia>();
  if (!container->Open(file, choice)) return nullptr;
  return container;
}

}  // namespace uncairn
