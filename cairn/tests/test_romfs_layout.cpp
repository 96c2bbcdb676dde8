// The level-3 layout: bucket counts, name hashes, counting passes, and the
// worked examples byte for byte, on records built in a fixed list order.

#include <gtest/gtest.h>

#include <cstring>

#include "romfs.h"
#include "test_support.h"
#include "tree_records.h"

using testkit::Pattern;
using testkit::TempDir;
using testkit::WriteFile;

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;

TEST(HashTableLen, Values) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {0, 3},   {1, 3},   {2, 3},   {3, 3},     {4, 5},     {6, 7},       {17, 17},    {18, 19},
      {19, 19}, {20, 23}, {24, 29}, {100, 101}, {360, 361}, {1000, 1007}, {1001, 1007}};
  for (const auto& [count, buckets] : cases) EXPECT_EQ(CalcHashTableLen(count), buckets) << count;
}

TEST(NameHash, Values) {
  EXPECT_EQ(CalcPathHash(0, u""), 0x075BCD15u);
  EXPECT_EQ(CalcHash(0, u"", 3), 0u);
  EXPECT_EQ(CalcHash(0, u"", 5), 4u);
  EXPECT_EQ(CalcPathHash(0, u"a.txt"), 0x70BC9AF4u);
  EXPECT_EQ(CalcHash(0, u"a.txt", 3), 2u);
  EXPECT_EQ(CalcPathHash(0, u"d1"), 0x6541D6C1u);
  EXPECT_EQ(CalcPathHash(24, u"x"), 0x683ADE10u);
  EXPECT_EQ(CalcPathHash(0, u"\U0001F600"), 0xAD410E32u);
  EXPECT_EQ(CalcHash(24, u"x", 0x683ADE10u + 1), 0x683ADE10u);
}

// The tree of the worked example, in its list order: root with file a and
// subdirectories d1 and d2; d1 holds x and e; e holds y; d2 holds z.
struct ExampleTree {
  TempDir tmp;
  RecordText text;
  RomfsDirScanner::sDirectory root;

  ExampleTree() {
    WriteFile(tmp / "a", "ABC");
    WriteFile(tmp / "x", Pattern(20, 1));
    WriteFile(tmp / "y", "Y");
    // z is empty and its path does not exist: it must never be opened.
    auto e = text.Dir("e", {text.File("y", 1, tmp / "y")});
    auto d1 = text.Dir("d1", {text.File("x", 20, tmp / "x")}, {e});
    auto d2 = text.Dir("d2", {text.File("z", 0, tmp / "no-such-file")});
    root = text.Dir("", {text.File("a", 3, tmp / "a")}, {d1, d2});
  }
};

class Expected {
 public:
  explicit Expected(size_t size) : bytes_(size, 0) {}
  void U32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_[at + i] = uint8_t(v >> (8 * i));
  }
  void U64(size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes_[at + i] = uint8_t(v >> (8 * i));
  }
  void Name(size_t at, const std::u16string& name) {
    for (size_t i = 0; i < name.size(); ++i) {
      bytes_[at + 2 * i] = uint8_t(name[i]);
      bytes_[at + 2 * i + 1] = uint8_t(name[i] >> 8);
    }
  }
  void Dir(size_t at, uint32_t parent, uint32_t sibling, uint32_t child, uint32_t file,
           uint32_t hash, const std::u16string& name) {
    U32(at, parent), U32(at + 4, sibling), U32(at + 8, child), U32(at + 12, file),
        U32(at + 16, hash);
    U32(at + 20, uint32_t(name.size() * 2));
    Name(at + 24, name);
  }
  void File(size_t at, uint32_t parent, uint32_t sibling, uint64_t offset, uint64_t size,
            uint32_t hash, const std::u16string& name) {
    U32(at, parent), U32(at + 4, sibling), U64(at + 8, offset), U64(at + 16, size),
        U32(at + 24, hash);
    U32(at + 28, uint32_t(name.size() * 2));
    Name(at + 32, name);
  }
  void Bytes(size_t at, const std::vector<uint8_t>& data) {
    std::copy(data.begin(), data.end(), bytes_.begin() + at);
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

TEST(RomfsLayout, CountingPassesOfTheExample) {
  ExampleTree t;
  EXPECT_EQ(Romfs::GetDirNum(t.root), 3u);
  EXPECT_EQ(Romfs::GetFileNum(t.root), 4u);
  EXPECT_EQ(Romfs::GetDirTableSize(t.root), 108u);
  EXPECT_EQ(Romfs::GetFileTableSize(t.root), 144u);
  EXPECT_EQ(Romfs::GetDataSize(t.root), 64u);
  EXPECT_EQ(Romfs::GetDataSize(t.root.dir_list[0]), 33u);  // x (20 bytes), then e's y at 32
}

TEST(RomfsLayout, FourDirectoryExampleByteForByte) {
  ExampleTree t;
  Romfs romfs;
  ASSERT_EQ(romfs.CreateRomfsFromDir(t.root), 0);
  ASSERT_EQ(romfs.data_size(), 400u);

  Expected e(400);
  const uint32_t header[10] = {40, 40, 20, 60, 108, 168, 20, 188, 144, 336};
  for (int i = 0; i < 10; ++i) e.U32(4 * i, header[i]);
  const uint32_t dir_buckets[5] = {kNone, kNone, 80, 24, 52};
  const uint32_t file_buckets[5] = {36, kNone, 108, kNone, 72};
  for (int i = 0; i < 5; ++i) e.U32(40 + 4 * i, dir_buckets[i]);
  for (int i = 0; i < 5; ++i) e.U32(168 + 4 * i, file_buckets[i]);
  e.Dir(60 + 0, 0, kNone, 24, 0, kNone, u"");
  e.Dir(60 + 24, 0, 52, 80, 36, kNone, u"d1");
  e.Dir(60 + 52, 0, kNone, kNone, 108, 0, u"d2");
  e.Dir(60 + 80, 24, kNone, kNone, 72, kNone, u"e");
  e.File(188 + 0, 0, kNone, 0, 3, kNone, u"a");
  e.File(188 + 36, 24, kNone, 16, 20, kNone, u"x");
  e.File(188 + 72, 80, kNone, 48, 1, kNone, u"y");
  e.File(188 + 108, 52, kNone, 0, 0, 0, u"z");
  e.Bytes(336 + 0, {'A', 'B', 'C'});
  e.Bytes(336 + 16, Pattern(20, 1));
  e.Bytes(336 + 48, {'Y'});

  const std::vector<uint8_t> got(romfs.data_blob(), romfs.data_blob() + romfs.data_size());
  EXPECT_EQ(got, e.bytes());
}

uint32_t At(const Romfs& romfs, size_t offset) {
  const uint8_t* p = romfs.data_blob() + offset;
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

TEST(RomfsLayout, RootWithOnlySubdirectoriesOrOnlyFiles) {
  TempDir tmp;
  WriteFile(tmp / "f", "f");
  RecordText text;
  {
    const auto root = text.Dir("", {}, {text.Dir("sub", {text.File("f", 1, tmp / "f")})});
    Romfs romfs;
    ASSERT_EQ(romfs.CreateRomfsFromDir(root), 0);
    const uint32_t dir_table = At(romfs, 12);
    EXPECT_EQ(At(romfs, dir_table + 12), kNone);  // root file_node
    EXPECT_EQ(At(romfs, dir_table + 8), 24u);     // root child_node
  }
  {
    const auto root = text.Dir("", {text.File("f", 1, tmp / "f"), text.File("g", 0, "")});
    Romfs romfs;
    ASSERT_EQ(romfs.CreateRomfsFromDir(root), 0);
    EXPECT_EQ(At(romfs, 8), 12u);  // three directory buckets
    const uint32_t dir_table = At(romfs, 12);
    EXPECT_EQ(At(romfs, dir_table + 8), kNone);  // root child_node
    EXPECT_EQ(At(romfs, dir_table + 12), 0u);
  }
}

TEST(RomfsLayout, NamePaddingAndAlignmentAfterEmptyFiles) {
  TempDir tmp;
  WriteFile(tmp / "one", "1");
  WriteFile(tmp / "two", "22");
  RecordText text;
  // Names of odd unit count get two bytes of padding, even ones none; an
  // empty file between two others still leaves the next on 16 bytes.
  const auto root =
      text.Dir("", {text.File("abc", 1, tmp / "one"), text.File("e", 0, tmp / "nothing"),
                    text.File("abcd", 2, tmp / "two")});
  Romfs romfs;
  ASSERT_EQ(romfs.CreateRomfsFromDir(root), 0);
  const uint32_t file_table = At(romfs, 28);
  EXPECT_EQ(At(romfs, 32), 40u + 36u + 40u);       // 32+6+2, 32+2+2, 32+8
  EXPECT_EQ(At(romfs, file_table + 4), 40u);       // sibling of abc
  EXPECT_EQ(At(romfs, file_table + 40 + 4), 76u);  // sibling of e
  EXPECT_EQ(At(romfs, file_table + 28), 6u);       // "abc" is 6 bytes, padded to 8
  EXPECT_EQ(romfs.data_blob()[file_table + 38], 0);
  EXPECT_EQ(romfs.data_blob()[file_table + 39], 0);
  EXPECT_EQ(At(romfs, file_table + 40 + 8), 0u);   // e: data offset 0
  EXPECT_EQ(At(romfs, file_table + 76 + 8), 16u);  // abcd at 16
  const uint32_t data = At(romfs, 36);
  EXPECT_EQ(romfs.data_size(), data + 18u);
  EXPECT_EQ(romfs.data_blob()[data], '1');
  EXPECT_EQ(romfs.data_blob()[data + 16], '2');
}

TEST(RomfsLayout, TreeWithoutFilesGivesAnEmptyImage) {
  RecordText text;
  Romfs romfs;
  EXPECT_EQ(romfs.CreateRomfsFromDir(text.Dir("", {})), 0);
  EXPECT_EQ(romfs.data_size(), 0u);
}

TEST(RomfsLayout, FileShorterThanItsScannedSizeIsAnError) {
  TempDir tmp;
  WriteFile(tmp / "shrunk", "abc");
  RecordText text;
  const auto root = text.Dir("", {text.File("shrunk", 10, tmp / "shrunk")});
  Romfs romfs;
  testing::internal::CaptureStderr();
  EXPECT_EQ(romfs.CreateRomfsFromDir(root), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[ERROR] Failed to read file for romfs: " + (tmp / "shrunk") +
                " (it ended after 3 of 10 bytes)\n");
}

TEST(RomfsLayout, FileThatGrewContributesItsScannedSize) {
  TempDir tmp;
  WriteFile(tmp / "grown", "abcdefghij");
  RecordText text;
  const auto root = text.Dir("", {text.File("grown", 4, tmp / "grown")});
  Romfs romfs;
  ASSERT_EQ(romfs.CreateRomfsFromDir(root), 0);
  const uint32_t data = At(romfs, 36);
  ASSERT_EQ(romfs.data_size(), data + 4u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(romfs.data_blob() + data), 4), "abcd");
}

TEST(RomfsLayout, TreesBeyondTheFormatsLimitsAreRefused) {
  RecordText text;
  {
    auto file = text.File("f", 0, "");
    file.name_size = 0xFFFFFFF0;  // the tables would pass 4 GiB; the name is never read
    const auto root = text.Dir("", {file});
    Romfs romfs;
    testing::internal::CaptureStderr();
    EXPECT_EQ(romfs.CreateRomfsFromDir(root), Romfs::kTooLarge);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[ERROR] The romfs tables would take"),
              std::string::npos);
    EXPECT_EQ(romfs.data_size(), 0u);
  }
  {
    const auto root = text.Dir(
        "", {text.File("a", UINT64_MAX / 2, ""), text.File("b", UINT64_MAX / 2 + 100, "")});
    Romfs romfs;
    testing::internal::CaptureStderr();
    EXPECT_EQ(romfs.CreateRomfsFromDir(root), Romfs::kTooLarge);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[ERROR] The files are too large for one romfs image\n");
  }
}

}  // namespace
