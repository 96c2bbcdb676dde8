// Damaged and hostile archives, made with the reference writers and then
// edited: each problem is named, the good files are still extracted, the
// status is 1, and nothing is written outside DIR (which holds links to a
// trap folder that must stay empty).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <utility>

#include "reference.h"
#include "rom_support.h"
#include "support.h"
#include "test_support.h"

using reference::Tree;
using sheaf_test::Sheaf;
using testkit::Bytes;
using testkit::ListDir;
using testkit::RunResult;
using testkit::TempDir;
using testkit::WriteFile;

namespace {

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

size_t Find(const Bytes& b, const std::string& text, size_t from = 0) {
  const Bytes needle(text.begin(), text.end());
  const auto it = std::search(b.begin() + static_cast<std::ptrdiff_t>(from), b.end(),
                              needle.begin(), needle.end());
  if (it == b.end()) throw std::runtime_error("no " + text + " in the archive");
  return static_cast<size_t>(it - b.begin());
}
void Replace(Bytes& b, const std::string& from, const std::string& to) {
  const size_t at = Find(b, from);
  std::copy(to.begin(), to.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}
uint32_t Get32(const Bytes& b, size_t at, bool big) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t{b[at + (big ? 3 - i : i)]} << (8 * i);
  return v;
}
void Set32(Bytes& b, size_t at, uint32_t v, bool big) {
  for (int i = 0; i < 4; ++i) b[at + (big ? 3 - i : i)] = static_cast<uint8_t>(v >> (8 * i));
}
void Set16(Bytes& b, size_t at, uint32_t v, bool big) {
  b[at + (big ? 0 : 1)] = static_cast<uint8_t>(v >> 8);
  b[at + (big ? 1 : 0)] = static_cast<uint8_t>(v);
}

struct Case {
  std::string name;
  Bytes archive;
  std::vector<std::string> messages;   // each must be in standard error
  std::vector<std::string> extracted;  // files that must come out
  int status = 1;
};

void Expect(const Case& c, const std::string& file = "hostile.bin",
            const std::vector<std::string>& links = {"evil.txt", "x", "sub", "a"}) {
  SCOPED_TRACE(c.name);
  TempDir tmp;
  WriteFile(tmp / file, c.archive);
  testkit::MakeDir(tmp / "trap");
  testkit::MakeDir(tmp / "out");
  for (const std::string& name : links) testkit::MakeLink(tmp / "trap", tmp / ("out/" + name));
  const RunResult t = Sheaf({"-t", tmp / file});
  EXPECT_EQ(t.status, c.status) << t.err;
  for (const std::string& m : c.messages) {
    EXPECT_NE(t.err.find(m), std::string::npos) << "no \"" << m << "\" in:\n" << t.err;
  }
  for (const bool force : {false, true}) {
    std::vector<std::string> args;
    if (force) args.push_back("-f");
    args.insert(args.end(), {tmp / file, tmp / "out"});
    const RunResult r = Sheaf(args);
    EXPECT_NE(r.status, 0 == c.status ? 1 : 0) << r.err;
    EXPECT_EQ(ListDir(tmp / "trap"), std::vector<std::string>{}) << "written through a link";
    EXPECT_EQ(ListDir(tmp.path()), (std::vector<std::string>{file, "out", "trap"}));
  }
  for (const std::string& path : c.extracted) {
    EXPECT_TRUE(testkit::Exists(tmp / ("out/" + path))) << path << " was not extracted";
  }
}

Tree Files(std::initializer_list<std::pair<std::string, std::string>> files) {
  Tree t;
  for (const auto& [path, text] : files) t.files.push_back({path, Text(text)});
  return t;
}

// ---- SARC ----

size_t SarcEntry(const Bytes& b, const std::string& name) {
  const uint32_t hash = reference::SarcNameHash(name, 101, reference::SarcHash::kUnsigned);
  const uint32_t count = b[0x1A] | b[0x1B] << 8;
  for (uint32_t i = 0; i < count; ++i) {
    if (Get32(b, 0x20 + 16 * i, false) == hash) return 0x20 + 16 * i;
  }
  throw std::runtime_error("no entry " + name);
}

TEST(Hostile, Sarc) {
  auto sarc = [](const Tree& t) { return reference::WriteSarc(t, {}); };
  std::vector<Case> cases;
  cases.push_back({"a path leading out",
                   sarc(Files({{"../evil.txt", "x"}, {"good.txt", "g"}})),
                   {"skipping \"../evil.txt\": a name must not be \".\" or \"..\""},
                   {"good.txt"}});
  cases.push_back({"a path with an empty folder name",
                   sarc(Files({{"x//evil.txt", "x"}, {"good.txt", "g"}})),
                   {"skipping \"x//evil.txt\": an empty folder name in the path"},
                   {"good.txt"}});
  cases.push_back({"a dot folder",
                   sarc(Files({{"./evil.txt", "x"}, {"good.txt", "g"}})),
                   {"skipping \"./evil.txt\": a name must not be \".\" or \"..\""},
                   {"good.txt"}});
  cases.push_back({"a control character",
                   sarc(Files({{"sub/e\x01vil", "x"}, {"good.txt", "g"}})),
                   {"skipping \"sub/e\\x01vil\": a name must not hold a control character"},
                   {"good.txt"}});
  cases.push_back({"an empty name",
                   sarc(Files({{"", "x"}, {"good.txt", "g"}})),
                   {"skipping \"\": an empty name"},
                   {"good.txt"}});
  {
    Tree t = Files({{"dup.txt", "first"}, {"dup.txt", "second"}, {"good.txt", "g"}});
    cases.push_back({"a path twice",
                     sarc(t),
                     {"skipping \"dup.txt\": another entry has that path"},
                     {"dup.txt", "good.txt"}});
  }
  cases.push_back({"a file that is a folder too",
                   sarc(Files({{"f", "x"}, {"f/g", "y"}, {"good.txt", "g"}})),
                   {"skipping \"f/g\": \"f\" is a file as well as a folder"},
                   {"f", "good.txt"}});
  {
    Bytes b = sarc(Files({{"bad.txt", "x"}, {"good.txt", "g"}}));
    Set32(b, SarcEntry(b, "bad.txt") + 4, 0x01000000 | 0x100000, false);
    cases.push_back({"a name offset outside the table",
                     b,
                     {"its name offset 0x400000 lies outside the name table"},
                     {"good.txt"}});
  }
  {
    Bytes b = sarc(Files({{"abcd", "x"}}));
    const uint32_t data = Get32(b, 12, false);
    for (uint32_t i = data - 4; i < data; ++i) b[i] = 'x';
    cases.push_back(
        {"a name without its end", b, {"its name runs past the end of the name table"}, {}});
  }
  {
    Bytes b = sarc(Files({{"bad.txt", "x"}, {"good.txt", "g"}}));
    Set32(b, SarcEntry(b, "bad.txt") + 12, 0x7FFFFFF0, false);
    cases.push_back({"data past the end",
                     b,
                     {"skipping \"bad.txt\": its data", "runs past the end"},
                     {"good.txt"}});
    Set32(b, SarcEntry(b, "bad.txt") + 8, 8, false);
    Set32(b, SarcEntry(b, "bad.txt") + 12, 4, false);
    cases.push_back({"data ending before it begins", b, {"ends before it begins"}, {"good.txt"}});
  }
  {
    Bytes b = sarc(Files({{"good.txt", "g"}}));
    b[0x1A] = 0xFF;
    b[0x1B] = 0x3F;
    cases.push_back(
        {"more entries than the file holds", b, {"damaged SARC: its 16383 entries need"}, {}});
  }
  {
    reference::SarcStyle style;
    style.unnamed = true;
    Tree t = Files({{"@00000001", "a"}, {"good.txt", "g"}});
    Bytes b = reference::WriteSarc(t, style);
    Set32(b, SarcEntry(b, "good.txt"), 1, false);  // now two entries have hash 1
    cases.push_back(
        {"an entry without a name sharing its hash",
         b,
         {"skipping \"@00000001\" (an entry without a name): another entry has its hash"},
         {"good.txt"}});
  }
  {
    Bytes b = sarc(Files({{"good.txt", "g"}}));
    b.resize(b.size() - 1);
    cases.push_back({"cut short", b, {"truncated: the header gives"}, {}});
  }
  for (const Case& c : cases) Expect(c);

  // A hash that matches no convention is a warning only.
  Bytes b = sarc(Files({{"odd.txt", "x"}}));
  Set32(b, 0x20, 0x12345678, false);
  Expect({"a hash of no convention",
          b,
          {"warning: \"odd.txt\": its name hash 0x12345678 matches none of the known ways"},
          {"odd.txt"},
          0});
}

// ---- RARC (pyjkernel's layout: no shared names) ----

struct Rarc {
  Bytes b;
  size_t entries() const { return 0x20 + Get32(b, 0x2C, true); }
  size_t strings() const { return 0x20 + Get32(b, 0x34, true); }
  size_t Entry(const std::string& name) const {
    const size_t offset = Find(b, name + std::string(1, '\0'), strings()) - strings();
    const uint32_t count = Get32(b, 0x28, true);
    for (uint32_t i = 0; i < count; ++i) {
      if ((Get32(b, entries() + 20 * i + 4, true) & 0xFFFFFF) == offset) return entries() + 20 * i;
    }
    throw std::runtime_error("no entry " + name);
  }
};

Rarc MakeRarc(const Tree& t) {
  reference::RarcStyle style;
  style.gclib = false;
  return {reference::WriteRarc(t, style)};
}

TEST(Hostile, Rarc) {
  std::vector<Case> cases;
  {
    Rarc r = MakeRarc(Files({{"QQ", "x"}, {"good.txt", "g"}}));
    Replace(r.b, std::string("QQ\0", 3), std::string("..\0", 3));
    cases.push_back(
        {"a file named ..", r.b, {"skipping \"..\": a name must not be"}, {"good.txt"}});
  }
  {
    Rarc r = MakeRarc(Files({{"QQQQ", "x"}, {"good.txt", "g"}}));
    Replace(r.b, "QQQQ", "x/ab");
    cases.push_back({"a name with a slash",
                     r.b,
                     {"skipping \"x/ab\": a name must not hold \"/\""},
                     {"good.txt"}});
    Replace(r.b, "x/ab", "x\nab");
    cases.push_back(
        {"a name with a newline", r.b, {"a name must not hold a control character"}, {"good.txt"}});
  }
  {
    Rarc r = MakeRarc(Files({{"sub/in.txt", "i"}, {"good.txt", "g"}}));
    Set32(r.b, r.Entry("sub") + 8, 0, true);
    cases.push_back({"a folder leading back to the root",
                     r.b,
                     {"skipping \"sub\": it leads to folder 0, which is reached before"},
                     {"good.txt"}});
    Set32(r.b, r.Entry("sub") + 8, 99, true);
    cases.push_back({"a folder out of range",
                     r.b,
                     {"skipping \"sub\": it leads to folder 99, but there are 2"},
                     {"good.txt"}});
  }
  {
    Rarc r = MakeRarc(Files({{"sub/in.txt", "i"}, {"two/in.txt", "j"}, {"good.txt", "g"}}));
    Set32(r.b, r.Entry("two") + 8, Get32(r.b, r.Entry("sub") + 8, true), true);
    cases.push_back({"two folders leading to one",
                     r.b,
                     {"skipping \"two\": it leads to folder 1, which is reached before"},
                     {"good.txt", "sub/in.txt"}});
  }
  {
    Rarc r = MakeRarc(Files({{"sub/in.txt", "i"}, {"good.txt", "g"}}));
    // The root's entries: good.txt, sub, ".", ".."; its ".." must name no folder (1 is "sub").
    Set32(r.b, r.entries() + 20 * 3 + 8, 1, true);
    cases.push_back(
        {"a \"..\" leading elsewhere",
         r.b,
         {"damaged RARC: the \"..\" entry of the root folder leads to folder 1, not to its parent"},
         {"good.txt", "sub/in.txt"}});
  }
  {
    // Entries on one block are how games store identical files: silent;
    // data that overlaps otherwise is a warning, and both are extracted.
    const std::string a(64, 'a'), b(64, 'b');
    Rarc r = MakeRarc(Files({{"one.bin", a}, {"two.bin", b}, {"good.txt", "g"}}));
    const uint32_t first = Get32(r.b, r.Entry("one.bin") + 8, true);
    Set32(r.b, r.Entry("two.bin") + 8, first, true);
    cases.push_back({"two entries on one block", r.b, {}, {"one.bin", "two.bin", "good.txt"}, 0});
    Set32(r.b, r.Entry("two.bin") + 8, first + 8, true);
    cases.push_back({"data overlapping another's",
                     r.b,
                     {"warning: \"two.bin\": its data (", "overlaps that of \"one.bin\""},
                     {"one.bin", "two.bin", "good.txt"},
                     0});
  }
  {
    Rarc r = MakeRarc(Files({{"good.txt", "g"}}));
    Set16(r.b, 0x40 + 10, 0xFFFF, true);  // the root's entry count
    cases.push_back({"entries past the table",
                     r.b,
                     {"skipping the contents of the root folder: its entries 0 to 65534 lie past"},
                     {}});
  }
  {
    Rarc r = MakeRarc(Files({{"bad.txt", "x"}, {"good.txt", "g"}}));
    Set32(r.b, r.Entry("bad.txt") + 4, 0x11000000 | 0xFFFFF0, true);
    cases.push_back(
        {"a name offset outside the string table", r.b, {"lies outside the"}, {"good.txt"}});
  }
  {
    Rarc r = MakeRarc(Files({{"dupA", "first"}, {"dupB", "second"}}));
    Replace(r.b, std::string("dupB\0", 5), std::string("dupA\0", 5));
    cases.push_back(
        {"a name twice", r.b, {"skipping \"dupA\": another entry has that path"}, {"dupA"}});
  }
  {
    Rarc r = MakeRarc(Files({{"bad.txt", "x"}, {"good.txt", "g"}}));
    Set32(r.b, r.Entry("bad.txt") + 12, 0x10000000, true);
    cases.push_back({"data past the end",
                     r.b,
                     {"skipping \"bad.txt\": its data", "runs past the end"},
                     {"good.txt"}});
  }
  {
    Rarc r = MakeRarc(Files({{"good.txt", "g"}}));
    Set32(r.b, 0x28, 0x00FFFFFF, true);
    cases.push_back({"a count the file cannot hold", r.b, {"damaged RARC: the entry table"}, {}});
  }
  for (const Case& c : cases) Expect(c);
}

// ---- U8 (wszst's layout) ----

TEST(Hostile, U8) {
  reference::U8Style plain;
  plain.dot_folder = false;
  auto u8 = [&](const Tree& t) { return reference::WriteU8(t, plain); };
  // Nodes: 0 root, then files before folders at each level.
  std::vector<Case> cases;
  {
    Bytes b = u8(Files({{"good.txt", "g"}, {"sub/in.txt", "i"}}));
    // node 2 is "sub" (after good.txt); its end beyond the root's.
    Set32(b, 0x20 + 12 * 2 + 8, 9, true);
    cases.push_back(
        {"a folder not nested in its parent",
         b,
         {"skipping the folder \"sub\": its nodes (2 up to 9) do not nest in its parent's"},
         {"good.txt"}});
    Set32(b, 0x20 + 12 * 2 + 8, 1, true);
    cases.push_back(
        {"a folder ending before it begins", b, {"end before they begin"}, {"good.txt"}});
  }
  {
    Bytes b = u8(Files({{"good.txt", "g"}}));
    b[0x20] = 0;
    cases.push_back(
        {"a root that is a file", b, {"damaged U8: the root node is not a folder"}, {}});
  }
  {
    Bytes b = u8(Files({{"QQ", "x"}, {"good.txt", "g"}}));
    Replace(b, std::string("QQ\0", 3), std::string("..\0", 3));
    cases.push_back({"a file named ..", b, {"skipping \"..\": a name must not be"}, {"good.txt"}});
  }
  {
    Bytes b = u8(Files({{"QQQQ", "x"}, {"good.txt", "g"}}));
    Replace(b, "QQQQ", "a/..");
    cases.push_back({"a name with a slash", b, {"a name must not hold \"/\""}, {"good.txt"}});
  }
  {
    Bytes b = u8(Files({{"bad.txt", "x"}, {"good.txt", "g"}}));
    Set32(b, 0x20 + 12 * 1 + 8, 0x7FFFFFFF, true);
    cases.push_back({"data past the end",
                     b,
                     {"skipping \"bad.txt\": its data", "runs past the end"},
                     {"good.txt"}});
    b[0x20 + 12 * 1 + 1] = 0x7F;
    cases.push_back({"a name offset outside the strings",
                     b,
                     {"skipping node 1: its name offset"},
                     {"good.txt"}});
  }
  {
    Bytes b = u8(Files({{"good.txt", "g"}}));
    Set32(b, 0x20 + 8, 0x10000000, true);
    cases.push_back(
        {"more nodes than the tables hold", b, {"damaged U8: the root gives 268435456 nodes"}, {}});
  }
  {
    reference::U8Style dot;
    Bytes b = reference::WriteU8(Files({{"good.txt", "g"}, {"sub/QQ", "x"}}), dot);
    Replace(b, std::string("QQ\0", 3), std::string(".\0\0", 3));
    cases.push_back({"a \".\" file below the top",
                     b,
                     {"skipping \"sub/.\": a name must not be"},
                     {"good.txt"}});
  }
  for (const Case& c : cases) Expect(c);
}

// ---- NARC (ndspy's layout) ----

struct Narc {
  Bytes b;
  size_t fnt() const { return 0x10 + Get32(b, 0x14, false) + 8; }
};

TEST(Hostile, Narc) {
  reference::NarcStyle style;
  style.ndspy = true;
  auto narc = [&](const Tree& t) { return Narc{reference::WriteNarc(t, style)}; };
  std::vector<Case> cases;
  {
    Narc n = narc(Files({{"good.txt", "g"}, {"sub/in.txt", "i"}}));
    const size_t record = Find(n.b, "\x83sub");
    Set16(n.b, record + 4, 0xF009, false);
    cases.push_back(
        {"a folder out of range", n.b, {"skipping \"sub\": it names folder 0xF009"}, {"good.txt"}});
    Set16(n.b, record + 4, 0xF000, false);
    cases.push_back({"a folder leading back to the root",
                     n.b,
                     {"skipping \"sub\": it names folder 0xF000, which is reached before"},
                     {"good.txt"}});
  }
  {
    Narc n = narc(Files({{"good.txt", "g"}}));
    Set16(n.b, n.fnt() + 4, 7, false);  // the root's first file id
    cases.push_back(
        {"a file id past the table",
         n.b,
         {"skipping \"good.txt\": its file number 7 lies past the allocation table's 1 files"},
         {}});
  }
  {
    Narc n = narc(Files({{"QQQQ", "x"}, {"good.txt", "g"}}));
    Replace(n.b, "QQQQ", "../x");
    cases.push_back({"a name with a slash",
                     n.b,
                     {"skipping \"../x\": a name must not hold \"/\""},
                     {"good.txt"}});
  }
  {
    Narc n = narc(Files({{"bad.txt", "x"}, {"good.txt", "g"}}));
    Set32(n.b, 0x10 + 12 + 4, 0x0FFFFFFF, false);  // file 0's end
    cases.push_back({"data past the end",
                     n.b,
                     {"skipping \"bad.txt\": its data", "runs past the end"},
                     {"good.txt"}});
    Set32(n.b, 0x10 + 12, 0x10, false);
    Set32(n.b, 0x10 + 16, 0x8, false);
    cases.push_back({"data ending before it begins", n.b, {"ends before it begins"}, {"good.txt"}});
  }
  {
    Narc n = narc(Files({{"good.txt", "g"}}));
    Set16(n.b, n.fnt() + 6, 0x900, false);  // the folder count
    cases.push_back(
        {"more folders than the table holds",
         n.b,
         {"damaged NARC name table: its root gives 2304 folders", "known by number only"},
         {"@00000"}});
  }
  for (const Case& c : cases) Expect(c);
}

// ---- wrappers ----

TEST(Hostile, Wrappers) {
  const Bytes sarc = reference::WriteSarc(Files({{"good.txt", "g"}}), {});
  std::vector<Case> cases;
  {
    Bytes b = reference::Lz77(sarc);
    b.resize(b.size() / 2);
    cases.push_back({"LZ77 cut short", b, {"damaged LZ77 wrapper: the stream ends after"}, {}});
    cases.push_back({"LZ77 referring before the start",
                     {0x10, 8, 0, 0, 0x80, 0x00, 0x05},
                     {"reaches before the start"},
                     {}});
    cases.push_back({"LZ77 claiming more than it can hold",
                     {0x10, 0xFF, 0xFF, 0xFF, 0},
                     {"cannot hold the 16777215 decoded bytes it claims"},
                     {}});
  }
  {
    Bytes b = {'Y', 'a', 'z', '0', 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 'S', 'A', 'R'};
    cases.push_back({"Yaz0 cut short", b, {"damaged Yaz0 wrapper: the data ends"}, {}});
    Bytes huge = {'Y', 'a', 'z', '0', 0x7F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    cases.push_back({"Yaz0 claiming more than it can hold",
                     huge,
                     {"damaged Yaz0 wrapper: it claims 2130706432 decoded bytes"},
                     {}});
    Bytes text = {'Y', 'a', 'z', '0', 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 'a', 'b', 'c', 'd'};
    cases.push_back(
        {"Yaz0 holding no archive",
         text,
         {"the Yaz0 data does not hold an archive that sheaf knows: it starts with 61 62 63 64"},
         {}});
  }
  cases.push_back({"not an archive",
                   Text("hello, world"),
                   {"not an archive that sheaf knows: it starts with 68 65 6c 6c"},
                   {}});
  for (const Case& c : cases) Expect(c);
}

// ---- DS ROM ----

TEST(Hostile, Rom) {
  using rom_test::Fat;
  using rom_test::NameRecord;
  using rom_test::U32;
  auto rom_of = [](std::vector<romwriter::File> files, bool with_folders = true) {
    romwriter::Content c = romwriter::SampleContent();
    c.files = std::move(files);
    if (!with_folders) c.empty_folders.clear();
    return romwriter::WriteRom(c, rom_test::Styled(romwriter::Chain::kDevkitPro));
  };
  auto file = [](const std::string& path, const std::string& text) {
    return romwriter::File{path, Bytes(text.begin(), text.end())};
  };
  auto id_of = [](const Bytes& rom, const std::string& text) {
    for (uint32_t id = 0;; ++id) {
      const auto [start, end] = Fat(rom, id);
      if (std::string(rom.begin() + start, rom.begin() + end) == text) return id;
    }
  };
  const Bytes sample = rom_of({file("good.txt", "good"), file("x1", "1"), file("x2", "2"),
                               file("x3", "3"), file("x4", "4"), file("x5", "5"), file("x6", "6"),
                               file("sub/in.txt", "in"), file("sa/a", "a"), file("sb/b", "b")});
  const std::string size = std::to_string(sample.size());
  auto patched = [&](const std::function<void(Bytes&)>& edit) {
    Bytes b = sample;
    edit(b);
    return b;
  };
  auto rename = [&](Bytes& b, const std::string& from, const std::string& to) {
    const size_t at = NameRecord(b, from);
    std::copy(to.begin(), to.end(), b.begin() + static_cast<std::ptrdiff_t>(at + 1));
  };
  auto folder_field = [&](Bytes& b, const std::string& name) {
    return NameRecord(b, name) + 1 + name.size();
  };
  std::vector<Case> cases;
  cases.push_back({"bad names",
                   patched([&](Bytes& b) {
                     rename(b, "x1", "..");
                     rename(b, "x2", "x/");
                     rename(b, "x3", "x\x01");
                     rename(b, "x4", std::string("x\0", 2));
                     rename(b, "x5", "x6");
                   }),
                   {"skipping \"data/..\": a name must not be \".\" or \"..\"",
                    "skipping \"data/x/\": a name must not hold \"/\"",
                    "skipping \"data/x\\x01\": a name must not hold a control character",
                    "skipping \"data/x\\x00\": a name must not hold NUL",
                    "skipping \"data/x6\": another entry has that path"},
                   {"data/good.txt", "data/x6", "data/sub/in.txt"}});
  cases.push_back({"the reserved type byte",
                   patched([&](Bytes& b) { b[NameRecord(b, "x3")] = 0x80; }),
                   {"damaged ROM name table: the names of the folder \"data\" hold the reserved "
                    "type 0x80; the rest of them is skipped"},
                   {"data/good.txt", "data/x2"}});
  cases.push_back({"a folder out of range",
                   patched([&](Bytes& b) { b[folder_field(b, "sub")] = 0xFF; }),
                   {"skipping \"data/sub\": it names folder 0xF0FF, but the folders are 0xF000 to "
                    "0xF005"},
                   {"data/good.txt", "data/sa/a"}});
  cases.push_back({"two ways to a folder",
                   patched([&](Bytes& b) { b[folder_field(b, "sb")] = b[folder_field(b, "sa")]; }),
                   {"skipping \"data/sb\": it names folder",
                    "which is reached before (a cycle, or "
                    "two ways to one folder)"},
                   {"data/sa/a"}});
  cases.push_back({"a cycle",
                   patched([&](Bytes& b) { b[folder_field(b, "sub")] = 0; }),
                   {"skipping \"data/sub\": it names folder 0xF000, which is reached before"},
                   {"data/good.txt"}});
  cases.push_back({"a file ID past the FAT",
                   patched([&](Bytes& b) { rom_test::Set32(b, 0x4C, U32(b, 0x4C) - 8); }),
                   {"its file ID 12 lies past the FAT's 12 entries"},
                   {"data/good.txt"}});
  {
    // The root's first file ID made the first overlay's.
    Bytes b = sample;
    const uint32_t root = U32(b, 0x40);
    rom_test::Set16(b, root + 4, 0);
    cases.push_back({"a file ID an overlay has",
                     b,
                     {"skipping \"data/good.txt\": file ID 0 is used before, by "
                      "\"overlay/overlay_0000.bin\""},
                     {"overlay/overlay_0000.bin"}});
    b = sample;
    rom_test::Set32(b, U32(b, 0x50) + 0x18, 999);
    cases.push_back({"an overlay's file ID past the FAT",
                     b,
                     {"skipping \"overlay/overlay_0999.bin\" (y9.bin's entry 0): its file ID 999 "
                      "lies past the FAT's 13 entries"},
                     {"overlay/overlay_0001.bin", "data/good.txt"}});
  }
  {
    Bytes b = sample;
    const uint32_t x1 = id_of(b, "1"), x2 = id_of(b, "2"), x3 = id_of(b, "3"), x4 = id_of(b, "4");
    const uint32_t fat = U32(b, 0x48);
    rom_test::Set32(b, fat + 8 * x1 + 4, 0x7FFFFFF0);
    rom_test::Set32(b, fat + 8 * x2, U32(b, fat + 8 * x2) + 2);
    rom_test::Set32(b, fat + 8 * x3, U32(b, fat + 8 * x4));
    rom_test::Set32(b, fat + 8 * x3 + 4, U32(b, fat + 8 * x4 + 4));
    rom_test::Set32(b, fat + 8 * x4, U32(b, 0x20));
    rom_test::Set32(b, fat + 8 * x4 + 4, U32(b, 0x20) + 4);
    cases.push_back(
        {"data past the end, backwards or overlapping",
         b,
         {"skipping \"data/x1\": its data (",
          "to 0x7FFFFFF0) runs past the end of the " + size + "-byte ROM",
          "skipping \"data/x2\": its data (", ") ends before it begins",
          "skipping \"data/x4\": its data (0x4000 to 0x4004) overlaps that of \"arm9.bin\""},
         {"data/x3", "data/good.txt"}});
  }
  {
    // 3,000 names on one range: written once.
    std::vector<romwriter::File> many;
    for (int i = 0; i < 3000; ++i) {
      char name[16];
      snprintf(name, sizeof name, "f%d", i);
      many.push_back(file(name, "same"));
    }
    Bytes b = rom_of(many, false);
    const uint32_t fat = U32(b, 0x48);
    const uint32_t first = U32(b, fat + 8 * 3), end = U32(b, fat + 8 * 3 + 4);
    for (uint32_t id = 3; id < 3003; ++id) {
      rom_test::Set32(b, fat + 8 * id, first);
      rom_test::Set32(b, fat + 8 * id + 4, end);
    }
    cases.push_back({"3,000 names on one range", b, {"overlaps that of \"data/f0\""}, {"data/f0"}});
    Case& c = cases.back();
    SCOPED_TRACE(c.name);
    TempDir tmp;
    WriteFile(tmp / "many.nds", c.archive);
    const RunResult r = Sheaf({tmp / "many.nds", tmp / "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ListDir(tmp / "out/data"), std::vector<std::string>{"f0"});
  }
  cases.push_back(
      {"tables cut or past the end",
       patched([&](Bytes& b) {
         rom_test::Set32(b, 0x4C, U32(b, 0x4C) + 4);
         rom_test::Set32(b, 0x54, U32(b, 0x54) - 1);
       }),
       {"damaged ROM: the allocation table (FAT) holds 108 bytes, not a multiple of its "
        "8-byte entries",
        "damaged ROM: y9.bin holds 63 bytes, not a multiple of its 32-byte entries"},
       {"data/good.txt", "overlay/overlay_0000.bin"}});
  cases.push_back(
      {"the FAT past the end",
       patched([&](Bytes& b) { rom_test::Set32(b, 0x48, static_cast<uint32_t>(b.size()) - 4); }),
       {"damaged ROM: the allocation table (FAT) (",
        ") runs past the end of the " + size + "-byte ROM",
        "skipping \"data/good.txt\": its file ID"},
       {"arm9.bin", "y9.bin"}});
  cases.push_back({"a sub-table past the name table",
                   patched([&](Bytes& b) {
                     const uint32_t fnt = U32(b, 0x40);
                     rom_test::Set32(b, fnt + 8 * b[folder_field(b, "sub")], U32(b, 0x44) + 100);
                   }),
                   {"damaged ROM name table: the names of the folder \"data/sub\" run past the end "
                    "of the table"},
                   {"data/good.txt", "data/sa/a"}});
  cases.push_back({"a root of too many folders",
                   patched([&](Bytes& b) { rom_test::Set16(b, U32(b, 0x40) + 6, 0x1000); }),
                   {"damaged ROM name table: its root gives 4096 folders, which its"},
                   {"arm9.bin", "overlay/overlay_0002.bin"}});
  cases.push_back(
      {"parts past the end",
       patched([&](Bytes& b) {
         rom_test::Set32(b, 0x3C, 0x10000000);
         rom_test::Set32(b, 0x68, static_cast<uint32_t>(b.size()) - 0x100);
       }),
       {"skipping \"arm7.bin\": its data (0x9400 to 0x10009400) runs past the end of the " + size +
            "-byte ROM",
        "skipping \"banner.bin\": its data ("},
       {"arm9.bin", "data/good.txt"}});
  {
    std::string deep;
    for (int i = 0; i < 300; ++i) deep += "d/";
    cases.push_back({"too deep",
                     rom_of({file(deep + "f", "x"), file("good.txt", "g")}, false),
                     {"deeper than 256 folders"},
                     {"data/good.txt"}});
  }
  for (const Case& c : cases) Expect(c, "hostile.nds", {"data", "header.bin", "overlay", "x"});

  // More tables than sheaf reads: refused whole.
  TempDir tmp;
  Bytes b = sample;
  b.resize(20 << 20);
  rom_test::Set32(b, 0x48, 1 << 20);
  rom_test::Set32(b, 0x4C, 17 << 20);
  WriteFile(tmp / "big.nds", b);
  const RunResult r = Sheaf({tmp / "big.nds", tmp / "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "sheaf: " + tmp / "big.nds" + ": the tables take " +
                       std::to_string(0x4000 + U32(b, 0x44) + (17 << 20) + 96) +
                       " bytes, more than the 16 MiB that sheaf reads\n");
  EXPECT_FALSE(testkit::Exists(tmp / "out"));
}

}  // namespace
