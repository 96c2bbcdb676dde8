// An NCCH (a CXI, the executable, or a CFA, data only): its 0x200-byte
// header, the regions it describes (exheader, logo, plain region, ExeFS,
// RomFS), their hashes and their encryption. A bare NCCH is a container of
// its own; card images and CIAs hold NCCHs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "container.h"
#include "region.h"

namespace uncairn {

enum class Crypto {
  kNone,         // NoCrypto: read where it lies
  kFixedKey,     // AES-128-CTR under the all-zero key
  kConsoleKeys,  // keys of the console, a seed or the fixed system key
  kTitleKey,     // a CIA content encrypted with its title key
};
// "none", "fixed key", "console keys", "title key".
const char* CryptoName(Crypto crypto);
// What -l, -t and extraction say for anything but kNone and kFixedKey.
extern const char kEncryptedMessage[];

class Ncch {
 public:
  static constexpr uint64_t kHeaderSize = 0x200;
  static constexpr uint64_t kMediaUnit = 0x200;

  // Whether a header begins an NCCH: "NCCH" at 0x100.
  static bool HasMagic(const uint8_t* header, size_t size);

  // Reads and checks the header of the NCCH at offset of the file, which
  // may use the available bytes from there (its partition or content, or
  // the rest of the file; the caller checked that they lie in the file).
  // holder names what holds it for messages ("partition 0", "content 0";
  // "" for a bare NCCH). False after a report.
  bool Read(const InputFile& file, uint64_t offset, uint64_t available, const std::string& holder);

  Crypto crypto() const { return crypto_; }
  bool has_romfs() const { return romfs_.size > 0; }
  uint64_t program_id() const { return program_id_; }
  // The RomFS region, read as plaintext, for -l, -t and extraction. False,
  // reported, when there is none or its keys are not the kit's.
  bool Romfs(Region& romfs) const;
  // "the NCCH of partition 0", "the NCCH".
  std::string Name() const;

  // Appends the lines of -i from "title id" to "romfs", checking each hash
  // it can. False when one fails.
  bool Describe(std::vector<std::string>& lines) const;
  // Checks the exheader and ExeFS superblock hashes (with everything) and
  // the RomFS superblock hash, reporting each that fails.
  bool Check(bool everything) const;

 private:
  struct Area {
    uint64_t offset = 0;  // from the NCCH's start
    uint64_t size = 0;
    uint64_t hashed = 0;    // the bytes its hash covers
    size_t hash_field = 0;  // where the header holds that hash
  };
  enum class Hash { kGood, kBad, kNotChecked };

  // region: 1 exheader, 2 ExeFS, 3 RomFS (the counter's region byte).
  Region Plaintext(const Area& area, uint8_t region) const;
  Hash CheckHash(const Area& area, uint8_t region) const;
  bool Damaged(const std::string& text) const;

  const InputFile* file_ = nullptr;
  uint64_t offset_ = 0;
  std::string holder_;
  uint8_t header_[kHeaderSize] = {};
  Crypto crypto_ = Crypto::kNone;
  uint64_t program_id_ = 0;
  Area exheader_, exefs_, romfs_;
};

// A file that is an NCCH by itself (a .cxi or .cfa; also .cia files that
// are really NCCHs).
std::unique_ptr<Container> OpenNcchFile(const InputFile& file, const Choice& choice);

}  // namespace uncairn
