// Archives laid out the ways games and other tools lay them out, written
// here from the format sheet's rules: sheaf must read each, extract it
// whole, and make it again with -c --like byte for byte; changed, it must
// keep what did not change. Without --like, sheaf must write the games'
// layout.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "reference.h"
#include "support.h"
#include "tamp.h"
#include "test_support.h"

using reference::Tree;
using sheaf_test::Expected;
using sheaf_test::ReadTree;
using sheaf_test::SampleTree;
using sheaf_test::Sheaf;
using sheaf_test::WriteTree;
using testkit::Bytes;
using testkit::ReadBytes;
using testkit::RunResult;
using testkit::SameBytes;
using testkit::TempDir;
using testkit::WriteFile;

namespace {

struct Convention {
  std::string name;
  std::string file;  // the archive's name
  std::function<Bytes(const Tree&)> write;
  bool folders = true;  // the format holds empty folders
};

uint32_t ByExtension(const reference::File& f) {
  auto ends = [&](const char* s) {
    return f.path.size() >= strlen(s) &&
           f.path.compare(f.path.size() - strlen(s), strlen(s), s) == 0;
  };
  if (ends(".gtx")) return 0x2000;
  if (ends(".sharc") || ends(".kcl")) return 0x1000;
  if (ends(".baglmf")) return 0x80;
  return 4;
}

// One writer per convention.
Bytes SarcLib(const Tree& t) {
  return reference::WriteSarc(
      t, {false, reference::SarcHash::kCodePoints, 101, reference::ContentAlignment});
}

Bytes Zeldamods(const Tree& t) {
  return reference::WriteSarc(t, {true, reference::SarcHash::kSigned, 101, ByExtension});
}

Bytes LeadingSlashes(const Tree& t) {
  reference::SarcStyle style{false, reference::SarcHash::kUnsigned, 0x1F,
                             reference::ContentAlignment};
  style.leading_slash = true;
  return reference::WriteSarc(t, style);
}

uint8_t GclibAttributes(const reference::File& f) {
  if (f.data.size() >= 4 && memcmp(f.data.data(), "Yaz0", 4) == 0) return 0x95;
  const bool aram = f.path.size() > 4 && f.path.substr(f.path.size() - 4) == ".kcl";
  return aram ? 0x21 : 0x11;
}

Bytes Gclib(const Tree& t) {
  reference::RarcStyle style;
  style.root_name = "model";
  style.attributes = GclibAttributes;
  return reference::WriteRarc(t, style);
}

uint8_t DiscForSound(const reference::File& f) { return f.path.find("Sound/") == 0 ? 0x41 : 0x11; }

Bytes Pyjkernel(const Tree& t) {
  reference::RarcStyle style;
  style.gclib = false;
  style.ids_follow = false;
  style.dvd_field = true;
  style.attributes = DiscForSound;
  return reference::WriteRarc(t, style);
}

Bytes PyjkernelLittleEndian(const Tree& t) {
  reference::RarcStyle style;
  style.little_endian = true;
  style.gclib = false;
  return reference::WriteRarc(t, style);
}

Bytes Wszst(const Tree& t) { return reference::WriteU8(t, {}); }

Bytes WszstAt0x40(const Tree& t) {
  reference::U8Style style;
  style.node_table = 0x40;
  return reference::WriteU8(t, style);
}

Bytes Ssrando(const Tree& t) {
  reference::U8Style style;
  style.wszst = false;
  return reference::WriteU8(t, style);
}

Bytes Knarc(const Tree& t) {
  reference::NarcStyle style;
  style.knarc_order = true;
  return reference::WriteNarc(t, style);
}

Bytes Ndspy(const Tree& t) {
  reference::NarcStyle style;
  style.ndspy = true;
  return reference::WriteNarc(t, style);
}

Bytes SarcWithoutNames(const Tree& t) {
  reference::SarcStyle style;
  style.unnamed = true;
  return reference::WriteSarc(t, style);
}

Bytes KnarcWithoutNames(const Tree& t) {
  reference::NarcStyle style;
  style.named = false;
  return reference::WriteNarc(t, style);
}

Bytes NdspyWithoutNames(const Tree& t) {
  reference::NarcStyle style;
  style.named = false;
  style.ndspy = true;
  return reference::WriteNarc(t, style);
}

Bytes Multiplier31(const Tree& t) {
  reference::SarcStyle style;
  style.multiplier = 31;
  return reference::WriteSarc(t, style);
}

std::vector<Convention> Conventions() {
  return {
      {"SarcLib", "course.sarc", SarcLib, false},
      {"zeldamods big-endian", "course.sarc", Zeldamods, false},
      {"SARC with leading slashes and another multiplier", "course.sarc", LeadingSlashes, false},
      {"gclib", "model.arc", Gclib},
      {"pyjkernel", "model.arc", Pyjkernel},
      {"pyjkernel little-endian (CRAR)", "model.arc", PyjkernelLittleEndian},
      {"wszst (Mario Kart Wii)", "course.u8", Wszst},
      {"wszst, node table at 0x40", "course.u8", WszstAt0x40},
      {"ssrando (Skyward Sword)", "stage.u8", Ssrando},
      {"knarc", "data.narc", Knarc},
      {"ndspy", "data.narc", Ndspy},
  };
}

// Files without names: SARC entries and NARC files known by hash or number.
std::vector<Convention> Nameless() {
  return {
      {"SARC entries without names", "x.sarc", SarcWithoutNames, false},
      {"knarc without names", "x.narc", KnarcWithoutNames, false},
      {"ndspy without names", "x.narc", NdspyWithoutNames, false},
  };
}

void RoundTrip(const Convention& c, const Tree& tree) {
  SCOPED_TRACE(c.name);
  TempDir tmp;
  const std::string original = tmp / c.file;
  const Bytes bytes = c.write(tree);
  WriteFile(original, bytes);
  RunResult r = Sheaf({"-t", original});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  r = Sheaf({original, tmp / "out"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadTree(tmp / "out"), Expected(tree));
  r = Sheaf({"-c", "--like", original, tmp / "out", tmp / "again"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(SameBytes(bytes, ReadBytes(tmp / "again")));
}

TEST(Conventions, EachIsReadAndMadeAgainByteForByte) {
  for (const Convention& c : Conventions()) {
    Tree tree = SampleTree(c.folders);
    RoundTrip(c, tree);
  }
  for (const Convention& c : Nameless()) {
    Tree tree;
    if (c.file == "x.sarc") {
      tree.files = {{"@0000BEEF", testkit::Pattern(10, 1)},
                    {"@7FFFFFFF", testkit::Pattern(33, 2)},
                    {"named.txt", testkit::AsBytes("named")}};
    } else {
      for (int i = 0; i < 12; ++i) {
        char name[8];
        snprintf(name, sizeof name, "@%05d", i);
        tree.files.push_back(
            {name, testkit::Pattern(static_cast<size_t>(i * 7), static_cast<uint32_t>(i))});
      }
    }
    RoundTrip(c, tree);
  }
}

// Two names with one hash: both kept, told apart by their collision index.
TEST(Conventions, CollidingSarcHashesAreBothKept) {
  // "Ab" and "BC" collide with multiplier 31: 65 * 31 + 98 == 66 * 31 + 67.
  Tree tree;
  tree.files = {{"Ab", testkit::AsBytes("first")}, {"BC", testkit::AsBytes("second")}};
  const Convention c{"collision", "x.sarc", Multiplier31, false};
  RoundTrip(c, tree);
  TempDir tmp;
  WriteTree(tmp / "in", tree);
  ASSERT_EQ(Sheaf({"-c", "--like", tmp / "none", tmp / "in", tmp / "x.sarc"}).status, 1);
  // Packed like the original (multiplier 31), the new archive numbers them 1 and 2.
  WriteFile(tmp / "orig.sarc", c.write(tree));
  ASSERT_EQ(Sheaf({"-c", "--like", tmp / "orig.sarc", tmp / "in", tmp / "new.sarc"}).status, 0);
  const Bytes b = ReadBytes(tmp / "new.sarc");
  EXPECT_EQ(b[0x20 + 7], 1);
  EXPECT_EQ(b[0x30 + 7], 2);
}

// One file changed: the bytes before it stay, the archive stays sound, and
// each format keeps its conventions for what follows.
TEST(Conventions, AChangedFileLeavesTheRestInPlace) {
  for (const Convention& c : Conventions()) {
    SCOPED_TRACE(c.name);
    Tree tree = SampleTree(c.folders);
    TempDir tmp;
    const Bytes original = c.write(tree);
    WriteFile(tmp / c.file, original);
    ASSERT_EQ(Sheaf({tmp / c.file, tmp / "out"}).status, 0);
    // The last file in data order grows; a new file comes in; one goes.
    Tree changed = tree;
    for (reference::File& f : changed.files) {
      if (f.path == "a.txt") f.data = testkit::Pattern(2000, 9);
    }
    changed.files.erase(changed.files.begin() + 2);  // Course/course.kcl
    changed.files.push_back({"Course/new.bin", testkit::Pattern(50, 8)});
    testkit::RemoveTree(tmp / "out");
    WriteTree(tmp / "out", changed);
    const RunResult r = Sheaf({"-c", "--like", tmp / c.file, tmp / "out", tmp / ("new-" + c.file)});
    ASSERT_EQ(r.status, 0) << r.err;
    const RunResult t = Sheaf({"-t", tmp / ("new-" + c.file)});
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(t.err, "");
    ASSERT_EQ(Sheaf({tmp / ("new-" + c.file), tmp / "back"}).status, 0);
    EXPECT_EQ(ReadTree(tmp / "back"), Expected(changed));
    const Bytes made = ReadBytes(tmp / ("new-" + c.file));
    EXPECT_EQ(memcmp(made.data(), original.data(), 4), 0) << "the magic differs";
  }
}

// Without --like: the games' layouts, as the reference writers make them
// with the defaults the README gives.
TEST(Defaults, EachFormatIsLaidOutAsTheGamesDo) {
  using namespace reference;
  const Tree tree = SampleTree();
  Tree no_folders = SampleTree(false);
  RarcStyle rarc;
  rarc.root_name = "course";
  rarc.text_padding = false;
  rarc.attributes = [](const File& f) -> uint8_t {
    return f.data.size() >= 4 && memcmp(f.data.data(), "Yaz0", 4) == 0 ? 0x95 : 0x11;
  };
  U8Style u8;
  u8.dot_folder = false;
  u8.reserved_cc = false;
  const struct {
    std::vector<std::string> args;
    Bytes expected;
  } cases[] = {
      {{"course.sarc"}, WriteSarc(no_folders, {false, SarcHash::kUnsigned, 101, ContentAlignment})},
      {{"-F", "sarc-be", "course.bin"},
       WriteSarc(no_folders, {true, SarcHash::kUnsigned, 101, ContentAlignment})},
      {{"course.arc"}, WriteRarc(tree, rarc)},
      {{"course.u8"}, WriteU8(tree, u8)},
      {{"course.narc"}, WriteNarc(tree, {})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    TempDir tmp;
    WriteTree(tmp / "in", c.args.back() == "course.sarc" || c.args.size() == 3 ? no_folders : tree);
    std::vector<std::string> args{"-c"};
    args.insert(args.end(), c.args.begin(), c.args.end() - 1);
    args.push_back(tmp / "in");
    args.push_back(tmp / c.args.back());
    const RunResult r = Sheaf(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(SameBytes(c.expected, ReadBytes(tmp / c.args.back())));
  }
}

// .szs: the bytes tamp writes, with the SARC's largest alignment in the
// header when above 0x20; --like keeps the wrapper. .carc: LZ77 that a
// plain decoder reads, and --like gives back the same archive.
TEST(Defaults, WrappedArchives) {
  using namespace reference;
  const Tree tree = SampleTree(false);
  TempDir tmp;
  WriteTree(tmp / "in", tree);
  ASSERT_EQ(Sheaf({"-c", "-F", "sarc", tmp / "in", tmp / "course.szs"}).status, 0);
  const Bytes sarc = WriteSarc(tree, {false, SarcHash::kUnsigned, 101, ContentAlignment});
  tamp::OutputBuffer out;
  tamp::encodeYaz0(sarc.data(), static_cast<int>(sarc.size()), out, nullptr);
  Bytes expected = {'Y', 'a', 'z', '0', 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) expected[4 + i] = static_cast<uint8_t>(sarc.size() >> (24 - 8 * i));
  const auto groups = out.bytes();
  expected.insert(expected.end(), groups.begin(), groups.end());
  EXPECT_TRUE(SameBytes(expected, ReadBytes(tmp / "course.szs")));
  ASSERT_EQ(Sheaf({tmp / "course.szs", tmp / "out"}).status, 0);
  ASSERT_EQ(Sheaf({"-c", "--like", tmp / "course.szs", tmp / "out", tmp / "again.bin"}).status, 0);
  EXPECT_TRUE(SameBytes(expected, ReadBytes(tmp / "again.bin")));

  // A largest alignment of 0x80 with the data region on 0x100: --like keeps 0x80.
  reference::Tree small;
  small.files = {{"model.szs", testkit::AsBytes("Yaz0 data")},
                 {"a.txt", testkit::AsBytes("a")},
                 {"a_long_name_that_pushes_the_data.bin", testkit::AsBytes("b")}};
  WriteTree(tmp / "small", small);
  ASSERT_EQ(Sheaf({"-c", "-F", "sarc-be", tmp / "small", tmp / "small.szs"}).status, 0);
  EXPECT_EQ(ReadBytes(tmp / "small.szs")[11], 0x80);
  ASSERT_EQ(Sheaf({tmp / "small.szs", tmp / "small-out"}).status, 0);
  ASSERT_EQ(
      Sheaf({"-c", "--like", tmp / "small.szs", tmp / "small-out", tmp / "small2.szs"}).status, 0);
  EXPECT_TRUE(SameBytes(ReadBytes(tmp / "small.szs"), ReadBytes(tmp / "small2.szs")));

  // A RARC in Yaz0 has 0 there.
  ASSERT_EQ(Sheaf({"-c", "-F", "rarc", tmp / "in", tmp / "model.szs"}).status, 0);
  EXPECT_EQ(ReadBytes(tmp / "model.szs")[10], 0);

  const Bytes narc = WriteNarc(tree, {});
  ASSERT_EQ(Sheaf({"-c", tmp / "in", tmp / "data.carc"}).status, 0);
  const Bytes carc = ReadBytes(tmp / "data.carc");
  EXPECT_EQ(carc.size() % 4, 0u);
  EXPECT_TRUE(SameBytes(narc, reference::DecodeLz77(carc)));
  // Another tool's LZ77 is read, and --like gives the same archive inside.
  WriteFile(tmp / "other.carc", reference::Lz77(narc));
  ASSERT_EQ(Sheaf({tmp / "other.carc", tmp / "out2"}).status, 0);
  EXPECT_EQ(ReadTree(tmp / "out2"), Expected(tree));
  ASSERT_EQ(Sheaf({"-c", "--like", tmp / "other.carc", tmp / "out2", tmp / "again.carc"}).status,
            0);
  EXPECT_TRUE(SameBytes(narc, reference::DecodeLz77(ReadBytes(tmp / "again.carc"))));
}

}  // namespace
