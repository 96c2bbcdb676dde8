// The growable zero-filled buffer.

#include <gtest/gtest.h>

#include <cstring>

#include "ByteBuffer.h"
#include "oschar.h"
#include "test_support.h"

using testkit::Pattern;
using testkit::TempDir;
using testkit::WriteFile;

namespace {

bool AllZero(const ByteBuffer& b) {
  for (uint64_t i = 0; i < b.capacity(); ++i) {
    if (b.data_const()[i] != 0) return false;
  }
  return true;
}

TEST(ByteBuffer, GrowsInBlockStepsAndIsZeroAfterEveryAlloc) {
  ByteBuffer b;
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(b.capacity(), 0u);
  ASSERT_EQ(b.alloc(0), 0);
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(b.capacity(), 0u);

  ASSERT_EQ(b.alloc(1), 0);
  EXPECT_EQ(b.size(), 1u);
  EXPECT_EQ(b.capacity(), 4096u);
  EXPECT_TRUE(AllZero(b));
  memset(b.data(), 0xAB, 4096);
  const uint8_t* storage = b.data_const();

  ASSERT_EQ(b.alloc(100), 0);  // fits: kept, cleared
  EXPECT_EQ(b.size(), 100u);
  EXPECT_EQ(b.capacity(), 4096u);
  EXPECT_EQ(b.data_const(), storage);
  EXPECT_TRUE(AllZero(b));

  memset(b.data(), 0xCD, 4096);
  ASSERT_EQ(b.alloc(4097), 0);
  EXPECT_EQ(b.size(), 4097u);
  EXPECT_EQ(b.capacity(), 8192u);
  EXPECT_TRUE(AllZero(b));

  ASSERT_EQ(b.alloc(10), 0);  // never shrinks
  EXPECT_EQ(b.capacity(), 8192u);
  EXPECT_EQ(b.size(), 10u);

  b.data()[5] = 1;
  b.ClearMemory();
  EXPECT_TRUE(AllZero(b));
}

TEST(ByteBuffer, ImpossibleSizesFailWithCodeTwo) {
  ByteBuffer b;
  EXPECT_EQ(b.alloc(UINT64_MAX), 2);
  EXPECT_EQ(b.alloc(UINT64_MAX - 4095), 2);
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(b.alloc(64), 0);
  EXPECT_EQ(b.capacity(), 4096u);
}

TEST(ByteBuffer, OpenFileReadsAWholeFile) {
  TempDir tmp;
  // More than one 1 MiB piece, and not a multiple of it.
  const std::vector<uint8_t> contents = Pattern(3 * 1048576 + 77, 1);
  WriteFile(tmp / "f", contents);
  ByteBuffer b;
  ASSERT_EQ(b.OpenFile((tmp / "f").c_str()), 0);
  ASSERT_EQ(b.size(), contents.size());
  EXPECT_EQ(0, memcmp(b.data_const(), contents.data(), contents.size()));
  EXPECT_EQ(b.capacity(), align(contents.size(), 4096));

  WriteFile(tmp / "empty", "");
  EXPECT_EQ(b.OpenFile((tmp / "empty").c_str()), 0);
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(b.OpenFile((tmp / "missing").c_str()), 1);
}

}  // namespace
