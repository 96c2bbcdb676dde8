#include "ivfc_reader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ByteBuffer.h"
#include "oschar.h"

namespace uncairn {

namespace {

constexpr uint32_t kIvfcHeaderSize = 0x5C;
constexpr uint32_t kRomfsId = 0x10000;
// A block must hold at least one digest; larger than 1 MiB is not used by
// anything that makes these images, and would only cost memory.
constexpr uint32_t kMinBlockLog2 = 5;
constexpr uint32_t kMaxBlockLog2 = 20;
// Sizes beyond this cannot describe a real file and would overflow sums.
constexpr uint64_t kMaxSize = uint64_t(1) << 62;

const char* const kLevelNames[3] = {"hash level 0", "hash level 1", "level 3"};
const char* const kBlockNames[3] = {"hash level 0", "hash level 1", "level-3"};

uint64_t DigestBytesFor(uint64_t size, uint32_t block_log2) {
  return ((size + (uint64_t(1) << block_log2) - 1) >> block_log2) * IvfcReader::kDigestSize;
}

std::string Num(uint64_t v) { return std::to_string(v); }

}  // namespace

IvfcReader::~IvfcReader() {
  for (CachedBlock& block : cache_) free(block.data);
}

bool IvfcReader::Fail(const std::string& text) {
  report_(name_ + ": " + text);
  return false;
}

bool IvfcReader::ReadLevel(int level, uint64_t offset, uint8_t* dst, size_t size) {
  if (size == 0) return true;
  const Level& l = levels_[level];
  const uint64_t present = offset >= l.size ? 0 : std::min<uint64_t>(size, l.size - offset);
  memset(dst + present, 0, size - present);
  return ReadAt(l.file_offset + offset, dst, static_cast<size_t>(present));
}

bool IvfcReader::ReadLevel3(uint64_t offset, uint8_t* dst, size_t size) {
  return ReadLevel(2, offset, dst, size);
}

bool IvfcReader::Open(const Region& region, const std::string& name, const Report& report) {
  region_ = &region;
  name_ = name;
  report_ = report;
  // A bare image is the whole file; inside a container the levels must lie
  // in the RomFS region, whatever follows it in the file.
  const bool bare = region.offset() == 0 && region.size() == region.file().size();
  const uint64_t size = region.size();

  const std::string damaged = "damaged IVFC header: ";
  uint8_t header[kIvfcHeaderSize];
  if (size < sizeof(header)) {
    if (!bare) {
      return Fail(damaged + "the NCCH's RomFS region has " + Num(size) +
                  " bytes, too few for an IVFC header");
    }
    return Fail("truncated: " + Num(size) + " bytes, too short for an IVFC header");
  }
  if (!ReadAt(0, header, sizeof(header))) return false;
  if (memcmp(header, "IVFC", 4) != 0) return Fail(damaged + "it does not begin with \"IVFC\"");
  if (get_le32(header + 4) != kRomfsId) {
    return Fail(damaged + "its id is " + Num(get_le32(header + 4)) + ", not 65536 (a RomFS)");
  }
  const uint32_t header_size = get_le32(header + 0x54);
  if (header_size < kIvfcHeaderSize || header_size > 4096) {
    return Fail(damaged + "its header size is " + Num(header_size) + ", not 92 to 4096");
  }
  master_offset_ = align(header_size, 16);
  master_size_ = get_le32(header + 8);

  uint64_t logical_end = 0;
  for (int i = 0; i < 3; ++i) {
    const uint8_t* entry = header + 0x0C + 24 * i;
    const uint64_t logical_offset = get_le64(entry);
    Level& l = levels_[i];
    l.size = get_le64(entry + 8);
    l.block_log2 = get_le32(entry + 16);
    const std::string what = damaged + kLevelNames[i] + " ";
    if (l.block_log2 < kMinBlockLog2 || l.block_log2 > kMaxBlockLog2) {
      return Fail(what + "has blocks of 2^" + Num(l.block_log2) + " bytes (2^5 to 2^20 are read)");
    }
    if (l.size > kMaxSize || logical_offset > kMaxSize) {
      return Fail(what + "is " + Num(l.size) + " bytes long at logical offset " +
                  Num(logical_offset));
    }
    if (logical_offset < logical_end) {
      return Fail(what + "begins at logical offset " + Num(logical_offset) +
                  ", inside the level before it");
    }
    logical_end = logical_offset + l.size;
  }
  // Each level holds exactly one digest per block of the level below it.
  const uint64_t expected[3] = {DigestBytesFor(levels_[1].size, levels_[1].block_log2),
                                DigestBytesFor(levels_[2].size, levels_[2].block_log2),
                                levels_[2].size};
  for (int i = 0; i < 2; ++i) {
    if (levels_[i].size != expected[i]) {
      return Fail(damaged + kLevelNames[i] + " is " + Num(levels_[i].size) + " bytes long; " +
                  Num(expected[i]) + " are needed for the digests of " + kLevelNames[i + 1]);
    }
  }
  const uint64_t master_expected = DigestBytesFor(levels_[0].size, levels_[0].block_log2);
  if (master_size_ != master_expected) {
    return Fail(damaged + "the master hash is " + Num(master_size_) + " bytes long; " +
                Num(master_expected) + " are needed for the digests of hash level 0");
  }

  // The level-3 image follows the header and master hash on a block
  // boundary; each hash level follows the previous level's last block.
  levels_[2].file_offset = align(master_offset_ + master_size_, levels_[2].block_size());
  levels_[0].file_offset = levels_[2].file_offset + align(levels_[2].size, levels_[2].block_size());
  levels_[1].file_offset = levels_[0].file_offset + align(levels_[0].size, levels_[0].block_size());
  const uint64_t end = levels_[1].file_offset + levels_[1].size;
  if (end > size) {
    if (!bare) {
      return Fail(damaged + "its levels need " + Num(end) + " bytes; the NCCH's RomFS region has " +
                  Num(size));
    }
    return Fail("truncated: the image file has " + Num(size) + " bytes, its levels need " +
                Num(end));
  }
  for (int i = 0; i < 2; ++i) {
    cache_[i].data = static_cast<uint8_t*>(malloc(levels_[i].block_size()));
    if (cache_[i].data == nullptr) throw std::bad_alloc();
  }
  return true;
}

IvfcReader::Check IvfcReader::ExpectedDigest(int level, uint64_t index, uint8_t out[kDigestSize]) {
  const uint64_t offset = index * kDigestSize;
  if (level == 0) {
    return ReadAt(master_offset_ + offset, out, kDigestSize) ? Check::kGood : Check::kReadError;
  }
  const int above = level - 1;
  const uint32_t log2 = levels_[above].block_log2;
  const Check state = LoadHashBlock(above, offset >> log2);
  if (state != Check::kGood) return state;
  memcpy(out, cache_[above].data + (offset & (levels_[above].block_size() - 1)), kDigestSize);
  return Check::kGood;
}

IvfcReader::Check IvfcReader::LoadHashBlock(int level, uint64_t index) {
  CachedBlock& block = cache_[level];
  if (block.index == index) return block.state;
  const uint64_t size = levels_[level].block_size();
  block.index = UINT64_MAX;
  if (!ReadLevel(level, index * size, block.data, static_cast<size_t>(size))) {
    return Check::kReadError;
  }
  uint8_t expected[kDigestSize];
  Check state = ExpectedDigest(level, index, expected);
  if (state == Check::kGood) {
    uint8_t actual[kDigestSize];
    sha_.Digest(block.data, static_cast<size_t>(size), actual);
    if (memcmp(actual, expected, kDigestSize) != 0) {
      ReportBad(level, index);
      state = Check::kUnverifiable;
    }
  }
  if (state == Check::kReadError) return state;
  block.index = index;
  block.state = state;
  return state;
}

IvfcReader::Check IvfcReader::CheckLevel3Block(uint64_t index, const uint8_t* data) {
  uint8_t expected[kDigestSize];
  const Check state = ExpectedDigest(2, index, expected);
  if (state != Check::kGood) return state;
  uint8_t actual[kDigestSize];
  sha_.Digest(data, static_cast<size_t>(levels_[2].block_size()), actual);
  if (memcmp(actual, expected, kDigestSize) == 0) return Check::kGood;
  ReportBad(2, index);
  return Check::kBad;
}

void IvfcReader::ReportBad(int level, uint64_t index) {
  if (level < 2) {
    // A hash block is read again only when reads jump back and forth;
    // say so once.
    if (reported_[level] == index) return;
    reported_[level] = index;
  }
  // The level-3 blocks under block index of level, as a byte range.
  unsigned __int128 first = index, count = 1;
  for (int l = level; l < 2; ++l) {
    const uint64_t per_block = levels_[l].block_size() / kDigestSize;
    first *= per_block;
    count *= per_block;
  }
  const unsigned __int128 bs3 = levels_[2].block_size();
  const uint64_t l3 = levels_[2].size;
  const uint64_t begin = static_cast<uint64_t>(std::min<unsigned __int128>(first * bs3, l3));
  const uint64_t end =
      static_cast<uint64_t>(std::min<unsigned __int128>((first + count) * bs3, l3));
  const std::string held = holdings_ ? holdings_(begin, end) : "";
  std::string text = name_ + ": wrong digest of " + kBlockNames[level] + " block " + Num(index);
  if (level == 2) {
    text += " (bytes " + Num(begin) + " to " + Num(end - 1) + "); it holds ";
  } else {
    text += " (covering level-3 bytes " + Num(begin) + " to " + Num(end - 1) + "); they hold ";
  }
  report_(text + (held.empty() ? "no file data" : held));
}

}  // namespace uncairn
