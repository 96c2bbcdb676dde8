// The IVFC hash tree: level sizes, the header, and every digest.

#include <mbedtls/sha256.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ivfc.h"
#include "test_support.h"

using testkit::Pattern;

namespace {

std::vector<uint8_t> Sha256(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out(32);
  mbedtls_sha256_ret(data, size, out.data(), 0);
  return out;
}

std::vector<uint8_t> At(const uint8_t* p, size_t n = 32) { return std::vector<uint8_t>(p, p + n); }

uint64_t Le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

TEST(IvfcLevels, Sizes) {
  struct Case {
    uint64_t image, s1, s0;
    uint32_t master;
  };
  const Case cases[] = {
      {0, 0, 0, 0},
      {1, 32, 32, 32},
      {149, 32, 32, 32},
      {4096, 32, 32, 32},
      {4097, 64, 32, 32},
      {528384, 4128, 64, 32},  // 129 blocks
      {10000000, 78144, 640, 32},
      {8388608000, 65536000, 512000, 4000},
      {8388608001, 65536032, 512032, 4032},  // the master hash passes 4000 bytes
  };
  for (const Case& c : cases) {
    const Ivfc::sLevelSizes s = Ivfc::CalcLevelSizes(c.image);
    EXPECT_EQ(s.level1, c.s1) << c.image;
    EXPECT_EQ(s.level0, c.s0) << c.image;
    EXPECT_EQ(s.master, c.master) << c.image;
  }
}

// The 149-byte image of a folder holding "hello" in a.txt.
TEST(IvfcTree, SmallImageHeaderAndDigests) {
  std::vector<uint8_t> image = Pattern(149, 3);
  Ivfc ivfc;
  ASSERT_EQ(ivfc.CreateIvfcHashTree(image.data(), image.size()), 0);
  ASSERT_EQ(ivfc.header_size(), 4096u);
  ASSERT_EQ(ivfc.level0_size(), 4096u);
  ASSERT_EQ(ivfc.level1_size(), 4096u);

  const uint8_t header[92] = {
      0x49, 0x56, 0x46, 0x43, 0,    0, 1,    0, 0x20, 0,    0, 0,    0, 0, 0,    0, 0, 0, 0,
      0,    0x20, 0,    0,    0,    0, 0,    0, 0,    0x0c, 0, 0,    0, 0, 0,    0, 0, 0, 0x10,
      0,    0,    0,    0,    0,    0, 0x20, 0, 0,    0,    0, 0,    0, 0, 0x0c, 0, 0, 0, 0,
      0,    0,    0,    0,    0x20, 0, 0,    0, 0,    0,    0, 0x95, 0, 0, 0,    0, 0, 0, 0,
      0x0c, 0,    0,    0,    0,    0, 0,    0, 0x5c, 0,    0, 0,    0, 0, 0,    0};
  EXPECT_EQ(At(ivfc.header_blob(), 92), At(header, 92));

  std::vector<uint8_t> block(4096, 0);
  memcpy(block.data(), image.data(), image.size());
  EXPECT_EQ(At(ivfc.level1_blob()), Sha256(block.data(), 4096));
  EXPECT_EQ(At(ivfc.level0_blob()), Sha256(ivfc.level1_blob(), 4096));
  EXPECT_EQ(At(ivfc.header_blob() + 96), Sha256(ivfc.level0_blob(), 4096));
  const std::vector<uint8_t> zeros(4096 - 32, 0);
  EXPECT_EQ(At(ivfc.level1_blob() + 32, zeros.size()), zeros);
  EXPECT_EQ(At(ivfc.level0_blob() + 32, zeros.size()), zeros);
  EXPECT_EQ(At(ivfc.header_blob() + 128, 4096 - 128), std::vector<uint8_t>(4096 - 128, 0));
  EXPECT_EQ(At(ivfc.header_blob() + 92, 4), std::vector<uint8_t>(4, 0));
}

TEST(IvfcTree, EmptyImage) {
  Ivfc ivfc;
  ASSERT_EQ(ivfc.CreateIvfcHashTree(nullptr, 0), 0);
  EXPECT_EQ(ivfc.header_size(), 4096u);
  EXPECT_EQ(ivfc.level0_size(), 0u);
  EXPECT_EQ(ivfc.level1_size(), 0u);
  const uint8_t* h = ivfc.header_blob();
  EXPECT_EQ(memcmp(h, "IVFC", 4), 0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Le64(h + 0x0C + 24 * i), 0u);
    EXPECT_EQ(Le64(h + 0x0C + 24 * i + 8), 0u);
    EXPECT_EQ(h[0x0C + 24 * i + 16], 12);
  }
  EXPECT_EQ(At(h + 8, 4), std::vector<uint8_t>(4, 0));
}

TEST(IvfcTree, ImageOfWholeBlocksAndOneByteMore) {
  const std::vector<uint8_t> image = Pattern(4097, 4);
  Ivfc exact;
  ASSERT_EQ(exact.CreateIvfcHashTree(image.data(), 4096), 0);
  EXPECT_EQ(At(exact.level1_blob()), Sha256(image.data(), 4096));
  EXPECT_EQ(At(exact.level1_blob() + 32, 32), std::vector<uint8_t>(32, 0));

  Ivfc more;
  ASSERT_EQ(more.CreateIvfcHashTree(image.data(), 4097), 0);
  std::vector<uint8_t> last(4096, 0);
  last[0] = image[4096];
  EXPECT_EQ(At(more.level1_blob()), Sha256(image.data(), 4096));
  EXPECT_EQ(At(more.level1_blob() + 32), Sha256(last.data(), 4096));
  EXPECT_EQ(Le64(more.header_blob() + 0x3C + 8), 4097u);
}

// 129 blocks: hash level 1 takes two blocks, and hash level 0's second
// digest covers a block of 32 digest bytes and 4064 zeros.
TEST(IvfcTree, HashLevelOneOfTwoBlocks) {
  const std::vector<uint8_t> image = Pattern(129 * 4096, 5);
  Ivfc ivfc;
  ASSERT_EQ(ivfc.CreateIvfcHashTree(image.data(), image.size()), 0);
  EXPECT_EQ(ivfc.level1_size(), 8192u);
  EXPECT_EQ(ivfc.level0_size(), 4096u);
  EXPECT_EQ(At(ivfc.level1_blob() + 128 * 32), Sha256(image.data() + 128 * 4096, 4096));
  std::vector<uint8_t> second(4096, 0);
  memcpy(second.data(), ivfc.level1_blob() + 4096, 32);
  EXPECT_EQ(At(ivfc.level0_blob() + 32), Sha256(second.data(), 4096));
  EXPECT_EQ(At(ivfc.level0_blob() + 64, 32), std::vector<uint8_t>(32, 0));
  const uint8_t* h = ivfc.header_blob();
  EXPECT_EQ(Le64(h + 0x0C + 8), 64u);
  EXPECT_EQ(Le64(h + 0x24), 4096u);
  EXPECT_EQ(Le64(h + 0x24 + 8), 4128u);
  EXPECT_EQ(Le64(h + 0x3C), 12288u);  // align(4096 + 4128, 4096)
}

TEST(IvfcTree, TenMillionBytesAndReuse) {
  const std::vector<uint8_t> image = Pattern(10000000, 6);
  Ivfc ivfc;
  ASSERT_EQ(ivfc.CreateIvfcHashTree(image.data(), image.size()), 0);
  EXPECT_EQ(ivfc.level1_size(), 81920u);
  EXPECT_EQ(ivfc.level0_size(), 4096u);
  EXPECT_EQ(ivfc.header_size(), 4096u);
  const uint8_t* h = ivfc.header_blob();
  EXPECT_EQ(Le64(h + 0x0C), 0u);
  EXPECT_EQ(Le64(h + 0x24), 4096u);
  EXPECT_EQ(Le64(h + 0x3C), 86016u);
  for (size_t i = 0; i < 2442; i += 97) {
    std::vector<uint8_t> block(4096, 0);
    memcpy(block.data(), image.data() + i * 4096, std::min<size_t>(4096, image.size() - i * 4096));
    EXPECT_EQ(At(ivfc.level1_blob() + 32 * i), Sha256(block.data(), 4096)) << i;
  }

  // A second call over a smaller image starts from scratch.
  ASSERT_EQ(ivfc.CreateIvfcHashTree(image.data(), 100), 0);
  EXPECT_EQ(ivfc.level1_size(), 4096u);
  std::vector<uint8_t> block(4096, 0);
  memcpy(block.data(), image.data(), 100);
  EXPECT_EQ(At(ivfc.level1_blob()), Sha256(block.data(), 4096));
  EXPECT_EQ(At(ivfc.level1_blob() + 32, 4064), std::vector<uint8_t>(4064, 0));
  EXPECT_EQ(Le64(ivfc.header_blob() + 0x3C), 8192u);
}

}  // namespace
