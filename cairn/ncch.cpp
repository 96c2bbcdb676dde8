#include "ncch.h"

#include <cstdio>
#include <cstring>

#include "ByteBuffer.h"
#include "ivfc_reader.h"
#include "reader_crypto.h"

namespace uncairn {

namespace {

// Header fields (offsets in the 0x200-byte header).
constexpr size_t kMagic = 0x100;
constexpr size_t kContentSize = 0x104;
constexpr size_t kPartitionId = 0x108;
constexpr size_t kFormatVersion = 0x112;
constexpr size_t kProgramId = 0x118;
constexpr size_t kProductCode = 0x150;
constexpr size_t kExheaderHash = 0x160;
constexpr size_t kExheaderSize = 0x180;
constexpr size_t kUnitExponent = 0x18E;  // flags[6]
constexpr size_t kCryptoFlags = 0x18F;   // flags[7]
constexpr size_t kPlainRegion = 0x190;
constexpr size_t kLogoRegion = 0x198;
constexpr size_t kExefs = 0x1A0;
constexpr size_t kRomfs = 0x1B0;
constexpr size_t kExefsHash = 0x1C0;
constexpr size_t kRomfsHash = 0x1E0;

constexpr uint8_t kFixedCryptoKey = 0x01;
constexpr uint8_t kNoCrypto = 0x04;
// The system category bit of a program ID: such titles use a fixed key of
// the system's, which the kit does not have.
constexpr uint64_t kSystemCategory = uint64_t(0x10) << 32;

constexpr uint64_t kExheaderBytes = 0x400;
// The exheader is followed by its access descriptor, which its hash does
// not cover.
constexpr uint64_t kAccessDescriptorBytes = 0x400;

std::string Span(uint64_t size, uint64_t at) {
  std::string text = "(";  // built in steps: GCC 12 warns wrongly about "(" + ...
  text += Hex(size);
  text += " bytes at ";
  text += Hex(at);
  return text + ")";
}

}  // namespace

const char kEncryptedMessage[] = "encrypted with the console's keys: decrypt the dump first";

const char* CryptoName(Crypto crypto) {
  switch (crypto) {
    case Crypto::kNone:
      return "none";
    case Crypto::kFixedKey:
      return "fixed key";
    case Crypto::kConsoleKeys:
      return "console keys";
    case Crypto::kTitleKey:
      return "title key";
  }
  return "";
}

bool Ncch::HasMagic(const uint8_t* header, size_t size) {
  return size >= kMagic + 4 && memcmp(header + kMagic, "NCCH", 4) == 0;
}

std::string Ncch::Name() const { return holder_.empty() ? "the NCCH" : "the NCCH of " + holder_; }

bool Ncch::Damaged(const std::string& text) const {
  file_->Problem((holder_.empty() ? "damaged NCCH: " : "damaged NCCH of " + holder_ + ": ") + text);
  return false;
}

bool Ncch::Read(const InputFile& file, uint64_t offset, uint64_t available,
                const std::string& holder) {
  file_ = &file;
  offset_ = offset;
  holder_ = holder;
  const std::string room = holder.empty() ? "the file" : holder;
  if (available < kHeaderSize) {
    file.Problem("truncated: " + room + " has " + Hex(available) + " bytes, too few for the " +
                 Hex(kHeaderSize) + "-byte header of an NCCH");
    return false;
  }
  if (!file.Read(offset, header_, kHeaderSize)) return false;
  if (!HasMagic(header_, kHeaderSize)) {
    file.Problem(room + " holds no NCCH");
    return false;
  }
  if (header_[kUnitExponent] != 0) {
    return Damaged("its media unit is 0x200 << " + std::to_string(header_[kUnitExponent]) +
                   " bytes; only units of 0x200 bytes (exponent 0) are read");
  }
  const uint64_t content_size = uint64_t(get_le32(header_ + kContentSize)) * kMediaUnit;
  if (content_size > available) {
    return Damaged("its content size of " + Hex(content_size) + " bytes runs past the end of " +
                   room + " (" + Hex(available) + " bytes)");
  }
  const uint32_t exheader_size = get_le32(header_ + kExheaderSize);
  if (exheader_size != 0 && exheader_size != kExheaderBytes) {
    return Damaged("its exheader size is " + Hex(exheader_size) + ", not 0 or 0x400");
  }
  const uint64_t header_area =
      kHeaderSize + (exheader_size ? kExheaderBytes + kAccessDescriptorBytes : 0);
  if (header_area > content_size) {
    return Damaged(
        "its header" + std::string(exheader_size ? ", exheader and access descriptor" : "") + " (" +
        Hex(header_area) + " bytes) run past its content size of " + Hex(content_size) + " bytes");
  }

  struct Named {
    const char* name;
    size_t field;
    Area* area;
    size_t hash_field;
  } regions[] = {
      {"the plain region", kPlainRegion, nullptr, 0},
      {"the logo region", kLogoRegion, nullptr, 0},
      {"the ExeFS", kExefs, &exefs_, kExefsHash},
      {"the RomFS", kRomfs, &romfs_, kRomfsHash},
  };
  Area areas[4];
  for (int i = 0; i < 4; ++i) {
    Area& a = areas[i];
    a.offset = uint64_t(get_le32(header_ + regions[i].field)) * kMediaUnit;
    a.size = uint64_t(get_le32(header_ + regions[i].field + 4)) * kMediaUnit;
    if (a.size == 0) {
      a.offset = 0;
      continue;
    }
    const std::string what = std::string(regions[i].name) + " " + Span(a.size, offset + a.offset);
    if (a.offset < header_area) {
      return Damaged(what + " begins inside the NCCH's " + Hex(header_area) + "-byte header area");
    }
    if (a.offset + a.size > content_size) {
      return Damaged(what + " runs past the NCCH's content size of " + Hex(content_size) +
                     " bytes");
    }
    if (regions[i].area != nullptr) {
      a.hashed = uint64_t(get_le32(header_ + regions[i].field + 8)) * kMediaUnit;
      a.hash_field = regions[i].hash_field;
      if (a.hashed == 0) {
        return Damaged(std::string("the hash region of ") + regions[i].name + " is empty");
      }
      if (a.hashed > a.size) {
        return Damaged(std::string("the hash region of ") + regions[i].name + " is " +
                       Hex(a.hashed) + " bytes, larger than the region's " + Hex(a.size));
      }
    }
  }
  for (int i = 0; i < 4; ++i) {
    for (int j = i + 1; j < 4; ++j) {
      const Area &a = areas[i], &b = areas[j];
      if (a.size == 0 || b.size == 0) continue;
      if (a.offset >= b.offset + b.size || b.offset >= a.offset + a.size) continue;
      // Some builders point the logo region at the ExeFS's logo file.
      if (i == 1 && j == 2 && a.offset >= b.offset && a.offset + a.size <= b.offset + b.size) {
        continue;
      }
      return Damaged(std::string(regions[i].name) + " " + Span(a.size, offset + a.offset) +
                     " and " + regions[j].name + " " + Span(b.size, offset + b.offset) +
                     " overlap");
    }
  }
  exefs_ = areas[2];
  romfs_ = areas[3];
  if (exheader_size != 0) {
    exheader_.offset = kHeaderSize;
    exheader_.size = exheader_.hashed = exheader_size;
    exheader_.hash_field = kExheaderHash;
  }

  program_id_ = get_le64(header_ + kProgramId);
  const uint8_t flags = header_[kCryptoFlags];
  // Most plain NCCHs carry the fixed-key bit beside NoCrypto: NoCrypto wins.
  if (flags & kNoCrypto) {
    crypto_ = Crypto::kNone;
  } else if ((flags & kFixedCryptoKey) && !(program_id_ & kSystemCategory) &&
             (header_[kFormatVersion] | header_[kFormatVersion + 1] << 8) != 1) {
    crypto_ = Crypto::kFixedKey;
  } else {
    // Console keys, a seed, the system's fixed key, or the counter of the
    // prototype format 1: nothing the kit decrypts.
    crypto_ = Crypto::kConsoleKeys;
  }
  return true;
}

Region Ncch::Plaintext(const Area& area, uint8_t region) const {
  const Region plain(*file_, offset_ + area.offset, area.size);
  if (crypto_ != Crypto::kFixedKey) return plain;
  // The partition ID big-endian, the region, then zeros.
  uint8_t counter[16] = {};
  const uint64_t partition_id = get_le64(header_ + kPartitionId);
  for (int i = 0; i < 8; ++i) counter[i] = static_cast<uint8_t>(partition_id >> (56 - 8 * i));
  counter[8] = region;
  return plain.Encrypted(counter);
}

Ncch::Hash Ncch::CheckHash(const Area& area, uint8_t region) const {
  if (crypto_ != Crypto::kNone && crypto_ != Crypto::kFixedKey) return Hash::kNotChecked;
  uint8_t digest[Sha256::kSize];
  if (!Plaintext(area, region).Digest(area.hashed, digest)) return Hash::kNotChecked;
  return memcmp(digest, header_ + area.hash_field, sizeof(digest)) == 0 ? Hash::kGood : Hash::kBad;
}

bool Ncch::Describe(std::vector<std::string>& lines) const {
  char id[32];
  snprintf(id, sizeof(id), "%016llx", static_cast<unsigned long long>(program_id_));
  lines.push_back(std::string("title id: ") + id);
  std::string code;
  for (size_t i = kProductCode; i < kProductCode + 16 && header_[i] != 0; ++i) {
    const uint8_t c = header_[i];
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      code += static_cast<char>(c);
    } else {
      char escaped[8];
      snprintf(escaped, sizeof(escaped), "\\x%02x", c);
      code += escaped;
    }
  }
  lines.push_back("product code: " + code);
  lines.push_back(std::string("crypto: ") + CryptoName(crypto_));
  bool good = true;
  const struct {
    const char* name;
    const Area& area;
    uint8_t region;
  } parts[] = {{"exheader", exheader_, 1}, {"exefs", exefs_, 2}, {"romfs", romfs_, 3}};
  for (const auto& part : parts) {
    if (part.area.size == 0) {
      lines.push_back(std::string(part.name) + ": none");
      continue;
    }
    const Hash hash = CheckHash(part.area, part.region);
    good = good && hash != Hash::kBad;
    if (part.region == 3 && (crypto_ == Crypto::kNone || crypto_ == Crypto::kFixedKey)) {
      // The IVFC levels must lie in the region, which no hash says.
      const Region romfs = Plaintext(romfs_, 3);
      IvfcReader image;
      good = image.Open(romfs, file_->name(), file_->report()) && good;
    }
    lines.push_back(std::string(part.name) + ": at " + Hex(offset_ + part.area.offset) + ", " +
                    Hex(part.area.size) + " bytes, hash " +
                    (hash == Hash::kGood  ? "good"
                     : hash == Hash::kBad ? "BAD"
                                          : "not checked"));
  }
  return good;
}

bool Ncch::Check(bool everything) const {
  bool good = true;
  const struct {
    const Area& area;
    uint8_t region;
    const char* wrong;
  } parts[] = {{exheader_, 1, "wrong exheader hash"},
               {exefs_, 2, "wrong ExeFS superblock hash"},
               {romfs_, 3, "wrong RomFS superblock hash"}};
  for (const auto& part : parts) {
    if (part.area.size == 0 || (!everything && part.region != 3)) continue;
    const Hash hash = CheckHash(part.area, part.region);
    if (hash == Hash::kBad) file_->Problem(part.wrong);
    good = good && hash == Hash::kGood;
  }
  return good;
}

bool Ncch::Romfs(Region& romfs) const {
  // The header is never encrypted, so an NCCH without a RomFS says so.
  if (!has_romfs()) {
    file_->Problem("no RomFS: " + Name() + " has none (its RomFS region is empty)");
    return false;
  }
  if (crypto_ != Crypto::kNone && crypto_ != Crypto::kFixedKey) {
    file_->Problem(kEncryptedMessage);
    return false;
  }
  romfs = Plaintext(romfs_, 3);
  return true;
}

namespace {

class NcchFile : public Container {
 public:
  bool Open(const InputFile& file, const Choice& choice) {
    return ChoiceFits(file, choice, false, false, "an NCCH") &&
           ncch_.Read(file, 0, file.size(), "");
  }
  bool Describe(std::vector<std::string>& lines) override {
    lines.push_back("container: NCCH");
    return ncch_.Describe(lines);
  }
  bool Romfs(Region& romfs) override { return ncch_.Romfs(romfs); }
  bool Check(bool everything) override { return ncch_.Check(everything); }

 private:
  Ncch ncch_;
};

}  // namespace

std::unique_ptr<Container> OpenNcchFile(const InputFile& file, const Choice& choice) {
  auto container = std::make_unique<NcchFile>();
  if (!container->Open(file, choice)) return nullptr;
  return container;
}

}  // namespace uncairn
