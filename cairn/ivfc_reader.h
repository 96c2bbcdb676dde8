// The reading side of an image file: the IVFC header with the master hash,
// the level-3 RomFS and hash levels 0 and 1, found through the header alone
// (level sizes and block sizes), every offset and size checked before use.
// Level-3 blocks are checked against hash level 1 one at a time; the hash
// level blocks they need are read and checked (against hash level 0, and that
// against the master hash) as they are first needed, one block of each level
// held at a time, so memory stays small for any image size.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "reader_crypto.h"
#include "region.h"

namespace uncairn {

class IvfcReader {
 public:
  static constexpr uint32_t kDigestSize = 32;

  // One level of the tree: where it lies in the file, its length, and the
  // size of the blocks that are hashed into the level above it.
  struct Level {
    uint64_t file_offset = 0;
    uint64_t size = 0;
    uint32_t block_log2 = 0;
    uint64_t block_size() const { return uint64_t(1) << block_log2; }
    uint64_t blocks() const { return (size + block_size() - 1) >> block_log2; }
  };

  enum class Check { kGood, kBad, kUnverifiable, kReadError };

  // Names the files (and metadata) whose level-3 bytes lie in [begin, end),
  // for messages: "the RomFS metadata and "a", "b/c""; empty for none.
  using Holdings = std::function<std::string(uint64_t begin, uint64_t end)>;

  IvfcReader() = default;
  ~IvfcReader();
  IvfcReader(const IvfcReader&) = delete;
  IvfcReader& operator=(const IvfcReader&) = delete;

  // Takes the region that holds the image (a whole file, or the RomFS
  // region of an NCCH, which must outlive the reader) and checks its header
  // and that every level lies inside the region. name is how messages call
  // the image. False, with the problem reported, when it cannot be used.
  bool Open(const Region& region, const std::string& name, const Report& report);
  void set_holdings(Holdings holdings) { holdings_ = std::move(holdings); }

  const std::string& name() const { return name_; }
  // levels()[0] and [1]: hash levels 0 and 1; [2]: the level-3 image.
  const Level& level(int i) const { return levels_[i]; }
  uint64_t level3_size() const { return levels_[2].size; }
  uint64_t level3_block_size() const { return levels_[2].block_size(); }

  // Reads size bytes of level 3 from offset; bytes past its end read as
  // zero. False (reported) on a read error.
  bool ReadLevel3(uint64_t offset, uint8_t* dst, size_t size);
  // Checks level-3 block index, whose bytes (zero past the end of level 3)
  // are at block. A wrong digest is reported here, as is a wrong digest of
  // a hash level block above it (once, when that block is first read); the
  // block is then kUnverifiable.
  Check CheckLevel3Block(uint64_t index, const uint8_t* block);

 private:
  struct CachedBlock {
    uint64_t index = UINT64_MAX;
    Check state = Check::kUnverifiable;
    uint8_t* data = nullptr;
  };

  bool Fail(const std::string& text);
  bool ReadAt(uint64_t offset, uint8_t* dst, size_t size) {
    return region_->Read(offset, dst, size);
  }
  bool ReadLevel(int level, uint64_t offset, uint8_t* dst, size_t size);
  // Makes cache_[level] hold block index of hash level level, checked.
  Check LoadHashBlock(int level, uint64_t index);
  // The expected digest of block index of level level (0, 1 or 2).
  Check ExpectedDigest(int level, uint64_t index, uint8_t out[kDigestSize]);
  void ReportBad(int level, uint64_t index);

  const Region* region_ = nullptr;
  std::string name_;
  Report report_;
  Holdings holdings_;
  uint64_t master_offset_ = 0;
  uint32_t master_size_ = 0;
  Level levels_[3];
  CachedBlock cache_[2];
  uint64_t reported_[2] = {UINT64_MAX, UINT64_MAX};
  Sha256 sha_;
};

}  // namespace uncairn
