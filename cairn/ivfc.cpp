#include "ivfc.h"

#include <cstdio>
#include <cstring>

#include "crypto.h"
#include "oschar.h"

namespace {

uint64_t DigestsFor(uint64_t size) {
  return align(size, Ivfc::kBlockSize) / Ivfc::kBlockSize * Ivfc::kDigestSize;
}

int AllocLevel(ByteBuffer& buffer, uint64_t size, const char* what) {
  const int result = buffer.alloc(size);
  if (result != 0) {
    fprintf(stderr, "[ERROR] Failed to allocate %llu bytes for %s\n",
            static_cast<unsigned long long>(size), what);
  }
  return result;
}

// Hashes every whole 4096-byte block of src into consecutive digests.
void HashBlocks(const uint8_t* src, uint64_t blocks, uint8_t* digests) {
  for (uint64_t i = 0; i < blocks; ++i) {
    Crypto::Sha256(src + i * Ivfc::kBlockSize, static_cast<uint32_t>(Ivfc::kBlockSize),
                   digests + i * Ivfc::kDigestSize);
  }
}

}  // namespace

Ivfc::sLevelSizes Ivfc::CalcLevelSizes(uint64_t image_size) {
  sLevelSizes sizes;
  sizes.level1 = DigestsFor(image_size);
  sizes.level0 = DigestsFor(sizes.level1);
  sizes.master = static_cast<uint32_t>(DigestsFor(sizes.level0));
  return sizes;
}

Ivfc::Ivfc() = default;
Ivfc::~Ivfc() = default;

int Ivfc::CreateIvfcHashTree(const uint8_t* data, uint64_t size) {
  sIvfcHeader record;
  memset(&record, 0, sizeof(record));
  record.set_magic();
  record.set_id(0x10000);

  const sLevelSizes sizes = CalcLevelSizes(size);
  const uint64_t level_sizes[3] = {sizes.level0, sizes.level1, size};
  uint64_t logical_offset = 0;
  for (int i = 0; i < 3; ++i) {
    sIvfcLevel level = record.level(i);
    if (i > 0) {
      const sIvfcLevel previous = record.level(i - 1);
      logical_offset = align(previous.logical_offset() + previous.hash_data_size(), kBlockSize);
    }
    level.set_logical_offset(logical_offset);
    level.set_hash_data_size(level_sizes[i]);
    level.set_block_size_log2(kBlockSizeLog2);
  }
  record.set_master_hash_size(sizes.master);
  record.set_header_size(sIvfcHeader::kSize);

  int result = AllocLevel(levels[1], align(sizes.level1, kBlockSize), "hash level 1");
  if (result == 0) result = AllocLevel(levels[0], align(sizes.level0, kBlockSize), "hash level 0");
  if (result == 0) {
    result = AllocLevel(header, align(uint64_t(kMasterHashOffset) + sizes.master, kBlockSize),
                        "the IVFC header");
  }
  if (result != 0) return result;

  // The image, with its last partial block padded with zeros.
  const uint64_t whole_blocks = size / kBlockSize;
  HashBlocks(data, whole_blocks, levels[1].data());
  if (size % kBlockSize != 0) {
    uint8_t last[kBlockSize] = {};
    memcpy(last, data + whole_blocks * kBlockSize, static_cast<size_t>(size % kBlockSize));
    Crypto::Sha256(last, static_cast<uint32_t>(kBlockSize),
                   levels[1].data() + whole_blocks * kDigestSize);
  }
  // Every block of the hash levels is hashed in full, zero tail included.
  HashBlocks(levels[1].data_const(), levels[1].size() / kBlockSize, levels[0].data());
  HashBlocks(levels[0].data_const(), levels[0].size() / kBlockSize,
             header.data() + kMasterHashOffset);
  memcpy(header.data(), record.raw, sIvfcHeader::kSize);
  return 0;
}
