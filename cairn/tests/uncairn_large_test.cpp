// uncairn on an image of more than 4 GiB, made here as a sparse file: a
// 4 GiB file of zeros (but for marks at its ends) and a small file whose
// data lies past the 4 GiB mark. The digests of the zero blocks are all
// alike, so the hash levels take a moment to make. Extracting needs about
// 4 GiB of free disk; skipped where it is missing.

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "ByteBuffer.h"
#include "crypto.h"
#include "ivfc.h"
#include "oschar.h"
#include "romfs.h"
#include "test_support.h"

namespace {

constexpr uint64_t kBlock = 4096;
constexpr uint32_t kNone = 0xFFFFFFFF;

// The non-zero blocks of a sparse level 3.
class SparseLevel {
 public:
  void Put(uint64_t offset, const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
      std::vector<uint8_t>& block = blocks_[(offset + i) / kBlock];
      block.resize(kBlock);
      block[(offset + i) % kBlock] = bytes[i];
    }
  }
  void Put32(uint64_t offset, uint32_t v) {
    uint8_t b[4];
    put_le32(b, v);
    Put(offset, b, 4);
  }
  void Put64(uint64_t offset, uint64_t v) {
    uint8_t b[8];
    put_le64(b, v);
    Put(offset, b, 8);
  }
  void PutName(uint64_t offset, const std::u16string& name) {
    Put32(offset - 4, static_cast<uint32_t>(name.size() * 2));
    for (size_t i = 0; i < name.size(); ++i) {
      uint8_t b[2] = {static_cast<uint8_t>(name[i]), static_cast<uint8_t>(name[i] >> 8)};
      Put(offset + 2 * i, b, 2);
    }
  }
  // Digests of every block of a level of size bytes.
  std::vector<uint8_t> Digests(uint64_t size) const {
    static const std::vector<uint8_t> zeros(kBlock, 0);
    uint8_t zero_digest[32];
    Crypto::Sha256(zeros.data(), kBlock, zero_digest);
    const uint64_t blocks = (size + kBlock - 1) / kBlock;
    std::vector<uint8_t> digests(align(blocks * 32, kBlock), 0);
    for (uint64_t i = 0; i < blocks; ++i) memcpy(&digests[i * 32], zero_digest, 32);
    for (const auto& [index, block] : blocks_)
      Crypto::Sha256(block.data(), kBlock, &digests[index * 32]);
    return digests;
  }
  const std::map<uint64_t, std::vector<uint8_t>>& blocks() const { return blocks_; }

 private:
  std::map<uint64_t, std::vector<uint8_t>> blocks_;
};

std::vector<uint8_t> HashBlocks(const std::vector<uint8_t>& level) {
  std::vector<uint8_t> digests(align(level.size() / kBlock * 32, kBlock), 0);
  for (uint64_t i = 0; i < level.size() / kBlock; ++i) {
    Crypto::Sha256(&level[i * kBlock], kBlock, &digests[i * 32]);
  }
  return digests;
}

TEST(UncairnLarge, ImageOfMoreThanFourGiB) {
  testkit::TempDir tmp;
  struct statvfs fs;
  ASSERT_EQ(statvfs(tmp.path().c_str(), &fs), 0);
  if (uint64_t(fs.f_bavail) * fs.f_frsize < (uint64_t(5) << 30))
    GTEST_SKIP() << "not enough free disk";

  const uint64_t big_size = (uint64_t(4) << 30) + 3 * kBlock + 7;
  const std::vector<uint8_t> after = testkit::Pattern(5000, 3);
  // Header 40, directory buckets 12 at 40, directories 52 at 52 (root, z),
  // file buckets 12 at 104, files 92 at 116 (big.bin, z/after), data at 208.
  SparseLevel l3;
  const uint32_t sections[4][2] = {{40, 12}, {52, 52}, {104, 12}, {116, 92}};
  l3.Put32(0, 40);
  for (int i = 0; i < 4; ++i) {
    l3.Put32(4 + 8 * i, sections[i][0]);
    l3.Put32(8 + 8 * i, sections[i][1]);
  }
  const uint64_t data = 208;
  l3.Put32(36, data);
  const uint64_t after_offset = align(big_size, 16);
  const uint64_t size = data + after_offset + after.size();
  for (uint32_t b = 0; b < 3; ++b) {
    l3.Put32(40 + 4 * b, kNone);
    l3.Put32(104 + 4 * b, kNone);
  }
  // Root and z; a bucket shared by two entries chains the later one first.
  auto add = [&](uint64_t table, uint64_t buckets, uint32_t node, uint32_t parent,
                 const std::u16string& name, uint32_t link, std::map<uint32_t, uint32_t>& heads) {
    const uint32_t b = CalcHash(parent, name.c_str(), 3);
    l3.Put32(table + node + link, heads.count(b) ? heads[b] : kNone);
    heads[b] = node;
    l3.Put32(buckets + 4 * b, node);
  };
  std::map<uint32_t, uint32_t> dir_heads, file_heads;
  const uint32_t dir_fields[2][4] = {{0, kNone, 24, 0}, {0, kNone, kNone, 48}};
  for (int d = 0; d < 2; ++d) {
    for (int k = 0; k < 4; ++k) l3.Put32(52 + 24 * d + 4 * k, dir_fields[d][k]);
  }
  add(52, 40, 0, 0, u"", 16, dir_heads);
  add(52, 40, 24, 0, u"z", 16, dir_heads);
  l3.PutName(52 + 24 + 24, u"z");
  l3.Put32(116, 0);
  l3.Put32(116 + 4, kNone);
  l3.Put64(116 + 8, 0);
  l3.Put64(116 + 16, big_size);
  add(116, 104, 0, 0, u"big.bin", 24, file_heads);
  l3.PutName(116 + 32, u"big.bin");
  l3.Put32(116 + 48, 24);
  l3.Put32(116 + 48 + 4, kNone);
  l3.Put64(116 + 48 + 8, after_offset);
  l3.Put64(116 + 48 + 16, after.size());
  add(116, 104, 48, 24, u"after", 24, file_heads);
  l3.PutName(116 + 48 + 32, u"after");
  l3.Put(data, "start", 5);
  l3.Put(data + big_size - 4, "end!", 4);
  l3.Put(data + after_offset, after.data(), after.size());

  const std::vector<uint8_t> level1 = l3.Digests(size);
  const std::vector<uint8_t> level0 = HashBlocks(level1);
  const std::vector<uint8_t> master = HashBlocks(level0);
  const Ivfc::sLevelSizes sizes = Ivfc::CalcLevelSizes(size);
  ASSERT_EQ(master.size(), kBlock);  // 2048 bytes of master hash, padded
  std::vector<uint8_t> header(kBlock, 0);
  memcpy(header.data(), "IVFC", 4);
  put_le32(&header[4], 0x10000);
  put_le32(&header[8], sizes.master);
  const uint64_t level_sizes[3] = {sizes.level0, sizes.level1, size};
  uint64_t logical = 0;
  for (int i = 0; i < 3; ++i) {
    put_le64(&header[0x0C + 24 * i], logical);
    put_le64(&header[0x0C + 24 * i + 8], level_sizes[i]);
    put_le32(&header[0x0C + 24 * i + 16], 12);
    logical = align(logical + level_sizes[i], kBlock);
  }
  put_le32(&header[0x54], 0x5C);
  memcpy(&header[96], master.data(), sizes.master);

  const std::string image = tmp / "image.romfs";
  const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  auto put = [&](uint64_t offset, const uint8_t* bytes, size_t n) {
    ASSERT_EQ(pwrite(fd, bytes, n, static_cast<off_t>(offset)), static_cast<ssize_t>(n));
  };
  put(0, header.data(), header.size());
  for (const auto& [index, block] : l3.blocks()) put(kBlock + index * kBlock, block.data(), kBlock);
  const uint64_t level0_at = kBlock + align(size, kBlock);
  put(level0_at, level0.data(), level0.size());
  put(level0_at + level0.size(), level1.data(), level1.size());
  ASSERT_EQ(close(fd), 0);

  const std::string listing = std::to_string(big_size) + "\tbig.bin\n5000\tz/after\n";
  testkit::RunResult r = testkit::RunProgram({UNCAIRN_PROGRAM, "-l", image});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, listing);
  r = testkit::RunProgram({UNCAIRN_PROGRAM, "-t", image});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");

  r = testkit::RunProgram({UNCAIRN_PROGRAM, image, tmp / "out"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(testkit::SameBytes(after, testkit::ReadBytes(tmp / "out/z/after")));
  const int big = open((tmp / "out/big.bin").c_str(), O_RDONLY);
  ASSERT_GE(big, 0);
  char marks[10] = {};
  EXPECT_EQ(pread(big, marks, 5, 0), 5);
  EXPECT_EQ(pread(big, marks + 5, 5, static_cast<off_t>(big_size - 4)), 4);
  EXPECT_EQ(std::string(marks), "startend!");
  close(big);

  // A byte of the last block, past the 4 GiB mark, changed: its block is named.
  const uint64_t block = (data + after_offset + 4900) / kBlock;
  const int rw = open(image.c_str(), O_WRONLY);
  const uint8_t changed = after[4900] ^ 1;
  ASSERT_EQ(pwrite(rw, &changed, 1, static_cast<off_t>(kBlock + data + after_offset + 4900)), 1);
  close(rw);
  r = testkit::RunProgram({UNCAIRN_PROGRAM, "-t", image});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "uncairn: " + image + ": wrong digest of level-3 block " +
                       std::to_string(block) + " (bytes " + std::to_string(block * kBlock) +
                       " to " + std::to_string(size - 1) + "); it holds \"z/after\"\n");
}

}  // namespace
