// Archives as the games and other tools store them beyond the plain
// layout: identical files stored once, several entries on one data block
// (the games' RARC archives, and the same in the other formats), and the
// RARC root's ".." as other tools write it. Each is read without a word,
// extracted whole and made again with -c --like byte for byte; changed,
// the files still identical keep sharing the original's block.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <utility>

#include "reference.h"
#include "support.h"
#include "test_support.h"

using reference::Tree;
using sheaf_test::Expected;
using sheaf_test::ReadTree;
using sheaf_test::Sheaf;
using sheaf_test::WriteTree;
using testkit::Bytes;
using testkit::ReadBytes;
using testkit::RunResult;
using testkit::SameBytes;
using testkit::TempDir;
using testkit::WriteFile;

namespace {

using Block = std::pair<uint32_t, uint32_t>;  // start (absolute), size

uint32_t Get(const Bytes& b, size_t at, size_t n, bool big) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint32_t{b.at(at + (big ? n - 1 - i : i))} << (8 * i);
  return v;
}
void Set32(Bytes& b, size_t at, uint32_t v, bool big) {
  for (int i = 0; i < 4; ++i) b.at(at + (big ? 3 - i : i)) = static_cast<uint8_t>(v >> (8 * i));
}

// The data block of every file entry, read from the tables as the format
// describes them, and how many entries use each.
std::map<Block, int> FileBlocks(const Bytes& b) {
  std::map<Block, int> blocks;
  auto add = [&](uint32_t start, uint32_t size) { ++blocks[{start, size}]; };
  if (memcmp(b.data(), "SARC", 4) == 0) {
    const bool big = b[6] == 0xFE;
    const uint32_t data = Get(b, 0xC, 4, big);
    for (uint32_t i = 0; i < Get(b, 0x1A, 2, big); ++i) {
      const uint32_t start = Get(b, 0x28 + 16 * i, 4, big), end = Get(b, 0x2C + 16 * i, 4, big);
      add(data + start, end - start);
    }
  } else if (memcmp(b.data(), "RARC", 4) == 0 || memcmp(b.data(), "CRAR", 4) == 0) {
    const bool big = b[0] == 'R';
    const uint32_t data = 0x20 + Get(b, 0xC, 4, big), table = 0x20 + Get(b, 0x2C, 4, big);
    for (uint32_t i = 0; i < Get(b, 0x28, 4, big); ++i) {
      const size_t at = table + 20 * i;
      if ((b[at + (big ? 4 : 7)] & 0x02) == 0)
        add(data + Get(b, at + 8, 4, big), Get(b, at + 12, 4, big));
    }
  } else if (Get(b, 0, 4, true) == 0x55AA382D) {
    const uint32_t table = Get(b, 4, 4, true);
    for (uint32_t i = 1; i < Get(b, table + 8, 4, true); ++i) {
      const size_t at = table + 12 * i;
      if (b[at] == 0) add(Get(b, at + 4, 4, true), Get(b, at + 8, 4, true));
    }
  } else if (memcmp(b.data(), "NARC", 4) == 0) {
    const uint32_t count = Get(b, 0x18, 2, false);
    const uint32_t btnf = 0x10 + Get(b, 0x14, 4, false);
    const uint32_t data = btnf + Get(b, btnf + 4, 4, false) + 8;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t start = Get(b, 0x1C + 8 * i, 4, false), end = Get(b, 0x20 + 8 * i, 4, false);
      add(data + start, end - start);
    }
  } else {
    throw std::runtime_error("not an archive these tests know");
  }
  return blocks;
}

// The non-empty blocks used by exactly n entries of size bytes.
std::vector<uint32_t> StartsUsedBy(const std::map<Block, int>& blocks, int n, uint32_t size) {
  std::vector<uint32_t> starts;
  for (const auto& [block, uses] : blocks) {
    if (uses == n && block.second == size) starts.push_back(block.first);
  }
  return starts;
}

// The paths whose contents differ between two trees read with ReadTree
// (shorter to read than the trees themselves).
std::string Differences(const std::vector<std::pair<std::string, Bytes>>& a,
                        const std::vector<std::pair<std::string, Bytes>>& b) {
  std::map<std::string, Bytes> left(a.begin(), a.end()), right(b.begin(), b.end());
  std::string out;
  for (const auto& [path, data] : left) {
    const auto it = right.find(path);
    if (it == right.end() || it->second != data) out += path + " ";
  }
  for (const auto& [path, data] : right) {
    if (left.count(path) == 0) out += path + " ";
  }
  return out;
}

constexpr uint32_t kTexture = 300;

// A texture used in three places, a pair of equal files, equal empty files
// and files of their own.
Tree SharingTree(bool folders) {
  Tree t;
  const Bytes texture = testkit::Pattern(kTexture, 1), pair = testkit::Pattern(50, 3);
  t.files = {
      {"a.txt", testkit::AsBytes("hello")},
      {"Model/tex.bti", texture},
      {"Model2/tex.bti", texture},
      {"Stage/tex.bti", texture},
      {"Course/course.kcl", testkit::Pattern(3001, 2)},
      {"b.bin", pair},
      {"Deep/b.bin", pair},
      {"empty", {}},
      {"Deep/empty", {}},
      {"z.txt", testkit::Pattern(40, 4)},
  };
  if (folders) t.empty_folders = {"Empty"};
  return t;
}

struct Writer {
  std::string name;
  std::string file;
  std::function<Bytes(const Tree&, bool share)> write;
  bool folders = true;
};

std::vector<Writer> Writers() {
  using namespace reference;
  return {
      {"the games' RARC, root \"..\" 0x0000FFFF", "stage.arc",
       [](const Tree& t, bool share) {
         RarcStyle style;
         style.text_padding = false;
         style.share = share;
         style.root_parent = 0x0000FFFF;
         return WriteRarc(t, style);
       }},
      {"gclib's RARC", "model.arc",
       [](const Tree& t, bool share) {
         RarcStyle style;
         style.share = share;
         return WriteRarc(t, style);
       }},
      {"pyjkernel's CRAR", "model.arc",
       [](const Tree& t, bool share) {
         RarcStyle style;
         style.little_endian = true;
         style.gclib = false;
         style.share = share;
         return WriteRarc(t, style);
       }},
      {"SARC", "course.sarc",
       [](const Tree& t, bool share) {
         SarcStyle style{false, SarcHash::kUnsigned, 101, ContentAlignment};
         style.share = share;
         return WriteSarc(t, style);
       },
       false},
      {"U8 (Mario Kart Wii)", "course.u8",
       [](const Tree& t, bool share) {
         U8Style style;
         style.share = share;
         return WriteU8(t, style);
       }},
      {"NARC", "data.narc",
       [](const Tree& t, bool share) {
         NarcStyle style;
         style.share = share;
         return WriteNarc(t, style);
       }},
  };
}

TEST(SharedBlocks, AreReadSilentlyAndMadeAgainByteForByte) {
  for (const Writer& w : Writers()) {
    SCOPED_TRACE(w.name);
    const Tree tree = SharingTree(w.folders);
    const Bytes bytes = w.write(tree, true);
    ASSERT_LT(bytes.size(), w.write(tree, false).size());
    const auto blocks = FileBlocks(bytes);
    ASSERT_EQ(StartsUsedBy(blocks, 3, kTexture).size(), 1u);
    ASSERT_EQ(StartsUsedBy(blocks, 2, 50).size(), 1u);
    TempDir tmp;
    const std::string original = tmp / w.file;
    WriteFile(original, bytes);
    RunResult r = Sheaf({"-t", original});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    r = Sheaf({original, tmp / "out"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Differences(ReadTree(tmp / "out"), Expected(tree)), "");
    // -v names the files packed on a block of another too.
    r = Sheaf({"-c", "-v", "--like", original, tmp / "out", tmp / "again"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(SameBytes(bytes, ReadBytes(tmp / "again")));
    for (const reference::File& f : tree.files) {
      EXPECT_NE(r.err.find(f.path + "\n"), std::string::npos) << f.path << " not named";
    }
  }
}

// Whichever copy changes, the two still identical share the original's
// block in its place, and the changed one gets its own; copies changed
// alike share one block; a copy that grows gets its own too.
TEST(SharedBlocks, StayWhileTheFilesAreIdentical) {
  const char* copies[] = {"Model/tex.bti", "Model2/tex.bti", "Stage/tex.bti"};
  for (const Writer& w : Writers()) {
    SCOPED_TRACE(w.name);
    const Tree tree = SharingTree(w.folders);
    const Bytes bytes = w.write(tree, true);
    const uint32_t place = StartsUsedBy(FileBlocks(bytes), 3, kTexture).at(0);
    TempDir tmp;
    WriteFile(tmp / w.file, bytes);
    auto remake = [&](const Tree& changed, const std::string& name) {
      testkit::RemoveTree(tmp / "in");
      WriteTree(tmp / "in", changed);
      const RunResult r = Sheaf({"-c", "-f", "--like", tmp / w.file, tmp / "in", tmp / name});
      EXPECT_EQ(r.status, 0) << r.err;
      const RunResult t = Sheaf({"-t", tmp / name});
      EXPECT_EQ(t.status, 0) << t.err;
      EXPECT_EQ(t.err, "");
      testkit::RemoveTree(tmp / "back");
      EXPECT_EQ(Sheaf({tmp / name, tmp / "back"}).status, 0);
      EXPECT_EQ(Differences(ReadTree(tmp / "back"), Expected(changed)), "");
      return FileBlocks(ReadBytes(tmp / name));
    };
    for (const char* copy : copies) {
      SCOPED_TRACE(copy);
      Tree changed = tree;
      for (reference::File& f : changed.files) {
        if (f.path == copy) f.data = testkit::Pattern(kTexture, 7);
      }
      const auto blocks = remake(changed, "one.bin");
      EXPECT_EQ(StartsUsedBy(blocks, 2, kTexture), std::vector<uint32_t>{place});
      EXPECT_EQ(StartsUsedBy(blocks, 1, kTexture).size(), 1u);
      EXPECT_EQ(StartsUsedBy(blocks, 2, 50).size(), 1u);
    }
    Tree alike = tree;
    for (reference::File& f : alike.files) {
      if (f.path.find("tex.bti") != std::string::npos) f.data = testkit::Pattern(kTexture, 8);
    }
    EXPECT_EQ(StartsUsedBy(remake(alike, "alike.bin"), 3, kTexture), std::vector<uint32_t>{place});
    Tree grown = tree;
    grown.files[1].data = testkit::Pattern(2 * kTexture, 9);
    const auto blocks = remake(grown, "grown.bin");
    EXPECT_EQ(StartsUsedBy(blocks, 2, kTexture), std::vector<uint32_t>{place});
    EXPECT_EQ(StartsUsedBy(blocks, 1, 2 * kTexture).size(), 1u);
  }
}

// Blocks that overlap without being one are reported, as a warning: the
// files still read as they are.
TEST(SharedBlocks, OverlapsThatAreNotOneBlockAreReported) {
  Tree tree;
  tree.files = {{"a.bin", testkit::Pattern(100, 1)}, {"b.bin", testkit::Pattern(100, 2)}};
  Bytes b = reference::WriteSarc(tree, {});
  // The second entry's data starts 4 bytes into the first's.
  const uint32_t first = Get(b, 0x28, 4, false);
  Set32(b, 0x38, first + 4, false);
  Set32(b, 0x3C, first + 104, false);
  TempDir tmp;
  WriteFile(tmp / "x.sarc", b);
  const RunResult r = Sheaf({"-t", tmp / "x.sarc"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("warning: \""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("overlaps that of \""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("without being the same block"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

// The root's "..": 0xFFFFFFFF in most files, 0x0000FFFF in other tools';
// any value that is no folder index means "no parent", and --like keeps it,
// also when folders are added.
TEST(RootParent, AnyValueNamingNoFolderIsKept) {
  for (const uint32_t value : {0xFFFFFFFFu, 0x0000FFFFu, 0x12345678u}) {
    SCOPED_TRACE(value);
    reference::RarcStyle style;
    style.root_parent = value;
    const Tree tree = SharingTree(true);
    const Bytes bytes = reference::WriteRarc(tree, style);
    TempDir tmp;
    WriteFile(tmp / "x.arc", bytes);
    const RunResult t = Sheaf({"-t", tmp / "x.arc"});
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(t.err, "");
    ASSERT_EQ(Sheaf({tmp / "x.arc", tmp / "out"}).status, 0);
    testkit::MakeDir(tmp / "out/Added");
    WriteFile(tmp / "out/Added/new.txt", testkit::AsBytes("new"));
    const RunResult r = Sheaf({"-c", "--like", tmp / "x.arc", tmp / "out", tmp / "y.arc"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes made = ReadBytes(tmp / "y.arc");
    // The root's entries end with "." and "..".
    const uint32_t root_first = Get(made, 0x40 + 12, 4, true);
    const uint32_t root_count = Get(made, 0x40 + 10, 2, true);
    const size_t dots = 0x20 + Get(made, 0x2C, 4, true) + 20 * (root_first + root_count - 1);
    EXPECT_EQ(Get(made, dots + 8, 4, true), value);
    EXPECT_EQ(Sheaf({"-t", tmp / "y.arc"}).status, 0);
  }
}

}  // namespace
