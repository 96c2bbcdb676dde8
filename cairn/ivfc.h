// The IVFC hash tree over a level-3 image: hash level 1 holds the SHA-256 of
// every 4096-byte block of the image, hash level 0 those of hash level 1's
// blocks, and the master hash those of hash level 0's blocks.
#pragma once

#include <cstdint>

#include "ByteBuffer.h"

class Ivfc {
 public:
  static constexpr uint32_t kBlockSizeLog2 = 12;
  static constexpr uint64_t kBlockSize = uint64_t(1) << kBlockSizeLog2;
  static constexpr uint32_t kDigestSize = 32;
  static constexpr uint32_t kMasterHashOffset = 96;  // align(92, 16)

  // A 24-byte level entry of the header, written in place.
  class sIvfcLevel {
   public:
    explicit sIvfcLevel(uint8_t* p) : p_(p) {}
    uint64_t logical_offset() const { return get_le64(p_); }
    uint64_t hash_data_size() const { return get_le64(p_ + 8); }
    void set_logical_offset(uint64_t v) { put_le64(p_, v); }
    void set_hash_data_size(uint64_t v) { put_le64(p_ + 8, v); }
    void set_block_size_log2(uint32_t v) { put_le32(p_ + 16, v); }

   private:
    uint8_t* p_;
  };

  // The 92-byte header record.
  struct sIvfcHeader {
    static constexpr uint32_t kSize = 92;
    uint8_t raw[kSize];

    void set_magic() { raw[0] = 'I', raw[1] = 'V', raw[2] = 'F', raw[3] = 'C'; }
    void set_id(uint32_t v) { put_le32(raw + 0x04, v); }
    void set_master_hash_size(uint32_t v) { put_le32(raw + 0x08, v); }
    sIvfcLevel level(int i) { return sIvfcLevel(raw + 0x0C + 24 * i); }
    void set_header_size(uint32_t v) { put_le32(raw + 0x54, v); }
  };

  // Sizes of the levels for an image of image_size bytes: level1 (S1),
  // level0 (S0) and the master hash (M), each before padding to 4096.
  struct sLevelSizes {
    uint64_t level1;
    uint64_t level0;
    uint32_t master;
  };
  static sLevelSizes CalcLevelSizes(uint64_t image_size);

  Ivfc();
  ~Ivfc();
  Ivfc(const Ivfc&) = delete;
  Ivfc& operator=(const Ivfc&) = delete;

  // Hashes the image (read-only, not kept). 0 on success, otherwise the
  // code of the allocation that failed.
  int CreateIvfcHashTree(const uint8_t* data, uint64_t size);

  const uint8_t* header_blob() const { return header.data_const(); }
  uint32_t header_size() const { return static_cast<uint32_t>(header.size()); }
  const uint8_t* level0_blob() const { return levels[0].data_const(); }
  uint64_t level0_size() const { return levels[0].size(); }
  const uint8_t* level1_blob() const { return levels[1].data_const(); }
  uint64_t level1_size() const { return levels[1].size(); }

 private:
  ByteBuffer header;
  ByteBuffer levels[2];
};
