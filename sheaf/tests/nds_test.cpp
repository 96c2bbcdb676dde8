// DS ROMs laid out as the tool chains lay them out (written by romwriter,
// independently of sheaf): each is read, extracted under the names modders
// know and made again with -c --like byte for byte; changed, it keeps what
// did not change; -F nds lays a tree out as the kit does.

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>

#include "reference.h"
#include "rom_support.h"
#include "support.h"
#include "test_support.h"

using rom_test::Convention;
using rom_test::Fat;
using rom_test::Set32;
using rom_test::Styled;
using rom_test::U16;
using rom_test::U32;
using romwriter::Bytes;
using romwriter::Chain;
using romwriter::Content;
using romwriter::Crc16;
using romwriter::Style;
using sheaf_test::Expected;
using sheaf_test::ReadTree;
using sheaf_test::Sheaf;
using testkit::ListDir;
using testkit::ReadBytes;
using testkit::RunResult;
using testkit::SameBytes;
using testkit::TempDir;
using testkit::WriteFile;

namespace {

std::string Hex4(uint32_t v) {
  char text[8];
  snprintf(text, sizeof text, "0x%04X", v);
  return text;
}

std::vector<Convention> Conventions() {
  const Content sample = romwriter::SampleContent();
  std::vector<Convention> list;
  list.push_back({"SDK, trimmed", Styled(Chain::kSdk), sample});
  {
    Style s = Styled(Chain::kSdk);
    s.full = true;
    list.push_back({"SDK, a full dump", s, sample});
  }
  {
    Style s = Styled(Chain::kSdk);
    s.download_play = false;
    list.push_back({"SDK, without the Download Play block", s, sample});
  }
  {
    Style s = Styled(Chain::kSdk);
    s.overlays_after_files = true;
    list.push_back({"overlays after the files, their file IDs apart from their IDs", s, sample});
  }
  list.push_back({"devkitPro's ndstool", Styled(Chain::kDevkitPro), sample});
  list.push_back({"BlocksDS's ndstool", Styled(Chain::kBlocksDs), sample});
  {
    Style s = Styled(Chain::kDevkitPro);
    s.header_size = 0x200;
    Content c = sample;
    c.overlays.clear();
    c.banner_version = 0;
    list.push_back({"old homebrew, a 0x200-byte header", s, c});
  }
  {
    Style s = Styled(Chain::kDevkitPro);
    s.dsi = true;
    Content c = sample;
    c.banner_version = 0x103;
    c.arm9i = testkit::Pattern(0x1234, 21);
    c.arm7i = testkit::Pattern(0x567, 22);
    list.push_back({"DSi-enhanced", s, c});
  }
  for (const uint16_t version : {2, 3}) {
    Content c = sample;
    c.banner_version = version;
    list.push_back(
        {"a banner of version " + std::to_string(version), Styled(Chain::kDevkitPro), c});
  }
  {
    Content c = sample;
    c.files.clear();
    c.empty_folders.clear();
    c.overlays.clear();
    c.banner_version = 0;
    list.push_back({"ndstool without files and banner", Styled(Chain::kDevkitPro), c});
  }
  {
    Content c = sample;
    c.files.clear();
    c.empty_folders.clear();
    c.overlays.clear();
    c.name_table = false;
    Style s = Styled(Chain::kDevkitPro);
    s.stale_crcs = true;
    list.push_back({"no name table, CRCs left 0", s, c});
  }
  {
    // Its last file empty: ndstool gives it the next aligned offset, past the end.
    Content c = sample;
    c.files.pop_back();
    c.files.push_back({"zz/last", {}});
    list.push_back({"ndstool, its last file empty", Styled(Chain::kDevkitPro), c});
  }
  {
    // A loader's DSi build: its animated banner appended after the ARM7i
    // (a DS part above the DSi area), the old one left where it was, 0x80
    // rewritten to the file's length.
    Style s = Styled(Chain::kDevkitPro);
    s.dsi = true;
    Content c = sample;
    c.arm9i = testkit::Pattern(0x800, 23);
    c.arm7i = testkit::Pattern(0x300, 24);
    auto patch = [](Bytes& rom) {
      const Bytes banner = romwriter::Banner(0x103, "LOADER");
      const uint32_t at = static_cast<uint32_t>(rom.size());
      rom.insert(rom.end(), banner.begin(), banner.end());
      rom.resize((rom.size() + 0x1FF) / 0x200 * 0x200, 0);
      Set32(rom, 0x68, at);
      Set32(rom, 0x80, static_cast<uint32_t>(rom.size()));
      Set32(rom, 0x210, static_cast<uint32_t>(rom.size()));
      rom_test::FixHeaderCrc(rom);
    };
    list.push_back({"a banner above the DSi area, 0x80 the file's length", s, c, patch});
  }
  list.push_back({"the kit's layout", Styled(Chain::kKit), sample});
  return list;
}

reference::Tree DataTree(const Content& c) {
  reference::Tree t;
  for (const romwriter::File& f : c.files) t.files.push_back({f.path, f.data});
  t.empty_folders = c.empty_folders;
  return t;
}

// The file IDs of the overlays, in table order (ARM9's first).
std::vector<uint32_t> OverlayIds(const Convention& c) {
  std::vector<uint32_t> ids;
  const uint32_t base =
      c.style.overlays_after_files ? static_cast<uint32_t>(c.content.files.size()) : 0;
  for (uint32_t i = 0; i < c.content.overlays.size(); ++i) ids.push_back(base + i);
  return ids;
}

std::string OverlayName(uint32_t id) {
  char text[32];
  snprintf(text, sizeof text, "overlay_%04u.bin", id);
  return text;
}

// What sheaf extracts of the ROM: checked against the content it was made of.
void ExpectExtracted(const Convention& c, const Bytes& rom, const std::string& out) {
  std::vector<std::string> top = {"arm7.bin", "arm9.bin", "header.bin"};
  if (c.content.banner_version != 0) top.push_back("banner.bin");
  if (c.content.name_table) top.push_back("data");
  if (!c.content.overlays.empty()) top.insert(top.end(), {"overlay", "y7.bin", "y9.bin"});
  if (c.style.dsi) top.insert(top.end(), {"arm7i.bin", "arm9i.bin"});
  std::sort(top.begin(), top.end());
  EXPECT_EQ(ListDir(out), top);
  if (c.content.name_table) {
    EXPECT_EQ(ReadTree(out + "/data"), Expected(DataTree(c.content)));
  }
  EXPECT_TRUE(
      SameBytes(Bytes(rom.begin(), rom.begin() + U32(rom, 0x84)), ReadBytes(out + "/header.bin")));
  EXPECT_TRUE(SameBytes(c.content.arm7, ReadBytes(out + "/arm7.bin")));
  Bytes arm9 = ReadBytes(out + "/arm9.bin");
  ASSERT_GE(arm9.size(), c.content.arm9.size());
  EXPECT_TRUE(std::equal(c.content.arm9.begin() + 8, c.content.arm9.end(), arm9.begin() + 8));
  const bool footer = c.style.chain == Chain::kSdk ||
                      (c.style.chain == Chain::kBlocksDs && !c.content.overlays.empty());
  EXPECT_EQ(arm9.size(), c.content.arm9.size() + (footer ? 12 : 0));
  const std::vector<uint32_t> ids = OverlayIds(c);
  std::vector<const romwriter::Overlay*> ordered;
  for (const bool arm7 : {false, true}) {
    for (const romwriter::Overlay& o : c.content.overlays) {
      if (o.arm7 == arm7) ordered.push_back(&o);
    }
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_TRUE(SameBytes(ordered[i]->data, ReadBytes(out + "/overlay/" + OverlayName(ids[i]))));
  }
  if (c.style.dsi) {
    EXPECT_TRUE(SameBytes(c.content.arm9i, ReadBytes(out + "/arm9i.bin")));
    EXPECT_TRUE(SameBytes(c.content.arm7i, ReadBytes(out + "/arm7i.bin")));
  }
}

TEST(Rom, EachConventionIsReadAndMadeAgainByteForByte) {
  for (const Convention& c : Conventions()) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    const Bytes rom = c.Write();
    WriteFile(tmp / "game.nds", rom);
    RunResult r = Sheaf({"-t", tmp / "game.nds"});
    EXPECT_EQ(r.status, 0) << r.err;
    if (!c.style.stale_crcs) {
      EXPECT_EQ(r.err, "");
    }
    r = Sheaf({tmp / "game.nds", tmp / "out"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ExpectExtracted(c, rom, tmp / "out");
    r = Sheaf({"-c", "--like", tmp / "game.nds", tmp / "out", tmp / "again.nds"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(SameBytes(rom, ReadBytes(tmp / "again.nds")));
  }
}

TEST(Rom, ListingNamesOverlaysByFileId) {
  Convention c{"apart", Styled(Chain::kSdk), romwriter::SampleContent()};
  c.style.overlays_after_files = true;
  TempDir tmp;
  WriteFile(tmp / "game.nds", romwriter::WriteRom(c.content, c.style));
  const RunResult r = Sheaf({"-l", tmp / "game.nds"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Nine files, then the overlays as the FAT's entries 9 to 11.
  EXPECT_NE(r.out.find("1792\toverlay/overlay_0009.bin\n563\toverlay/overlay_0010.bin\n1041\t"
                       "overlay/overlay_0011.bin\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("5\tdata/a.txt\n"), std::string::npos);
  EXPECT_EQ(r.out.rfind("9029\tarm7.bin\n20783\tarm9.bin\n2112\tbanner.bin\n", 0), 0u) << r.out;
}

TEST(Rom, PathsAndVerboseAsForTheOtherFormats) {
  TempDir tmp;
  WriteFile(tmp / "game.nds", romwriter::WriteRom(romwriter::SampleContent(), Styled(Chain::kSdk)));
  RunResult r = Sheaf({"-v", tmp / "game.nds", tmp / "out", "data/Course",
                       "/overlay/overlay_0002.bin", "y9.bin", "data/none"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "sheaf: " + tmp / "game.nds" + ": \"data/none\" is not in the archive\n" +
                       "y9.bin\noverlay/overlay_0002.bin\ndata/Course/Deeper/nested.narc\n"
                       "data/Course/course.kcl\ndata/Course/Deeper/zero\n");
  EXPECT_EQ(ListDir(tmp / "out"), (std::vector<std::string>{"data", "overlay", "y9.bin"}));
  EXPECT_EQ(ListDir(tmp / "out/data/Course"), (std::vector<std::string>{"Deeper", "course.kcl"}));
  // An existing file is kept without -f.
  WriteFile(tmp / "out/y9.bin", "mine");
  r = Sheaf({tmp / "game.nds", tmp / "out", "y9.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "sheaf: " + tmp / "game.nds" +
                       ": \"y9.bin\" exists; it is not replaced (-f replaces it)\n");
  EXPECT_EQ(testkit::ReadFile(tmp / "out/y9.bin"), "mine");
  EXPECT_EQ(Sheaf({"-f", tmp / "game.nds", tmp / "out", "y9.bin"}).status, 0);
  EXPECT_EQ(testkit::ReadBytes(tmp / "out/y9.bin").size(), 64u);
}

// A ROM rebuilt after an edit of DIR, read back: sound, and holding DIR.
Bytes Rebuild(const TempDir& tmp, const std::string& original, const std::string& made,
              std::string* err = nullptr) {
  const RunResult r = Sheaf({"-c", "--like", tmp / original, tmp / "out", tmp / made});
  EXPECT_EQ(r.status, 0) << r.err;
  if (err != nullptr) {
    *err = r.err;
  } else {
    EXPECT_EQ(r.err, "");
  }
  const RunResult t = Sheaf({"-t", tmp / made});
  EXPECT_EQ(t.status, 0) << t.err;
  EXPECT_EQ(t.err, "");
  testkit::RemoveTree(tmp / "back");
  EXPECT_EQ(Sheaf({tmp / made, tmp / "back"}).status, 0);
  const auto back = ReadTree(tmp / "back"), dir = ReadTree(tmp / "out");
  // header.bin holds the new offsets, banner.bin its CRCs; the rest is DIR
  // as it was given.
  auto without_header = [](std::vector<std::pair<std::string, testkit::Bytes>> t) {
    t.erase(std::remove_if(
                t.begin(), t.end(),
                [](const auto& e) { return e.first == "header.bin" || e.first == "banner.bin"; }),
            t.end());
    return t;
  };
  EXPECT_EQ(without_header(back), without_header(dir));
  return ReadBytes(tmp / made);
}

// The FAT entry of a file of the sample, by its path.
uint32_t FileId(const Bytes& rom, const Content& c, const std::string& path) {
  for (uint32_t id = 0; id * 8 < U32(rom, 0x4C); ++id) {
    const auto [start, end] = Fat(rom, id);
    for (const romwriter::File& f : c.files) {
      if (f.path == path && end - start == f.data.size() &&
          std::equal(f.data.begin(), f.data.end(), rom.begin() + start)) {
        return id;
      }
    }
  }
  throw std::runtime_error("no " + path);
}

TEST(Rom, AFileThatGrowsMovesToTheEndAndTheRestStays) {
  for (const bool full : {false, true}) {
    for (const Chain chain : {Chain::kSdk, Chain::kDevkitPro}) {
      Convention c{"", Styled(chain), romwriter::SampleContent()};
      c.style.full = full && chain == Chain::kSdk;
      if (full && chain != Chain::kSdk) continue;
      SCOPED_TRACE(std::string(chain == Chain::kSdk ? "SDK" : "devkitPro") +
                   (full ? ", full" : ""));
      TempDir tmp;
      const Bytes rom = romwriter::WriteRom(c.content, c.style);
      WriteFile(tmp / "game.nds", rom);
      ASSERT_EQ(Sheaf({tmp / "game.nds", tmp / "out"}).status, 0);
      const uint32_t id = FileId(rom, c.content, "a.txt");
      const Bytes grown = testkit::Pattern(5000, 31);
      WriteFile(tmp / "out/data/a.txt", grown);
      const Bytes made = Rebuild(tmp, "game.nds", "new.nds");
      ASSERT_GT(made.size(), 0x200u);
      const uint32_t old80 = U32(rom, 0x80), fat = U32(rom, 0x48), fat_end = fat + U32(rom, 0x4C);
      // Everything up to the old end of the data but the FAT and the header
      // stays, the file's old bytes too.
      for (uint32_t at = 0x200; at < old80; ++at) {
        if (at >= fat && at < fat_end) continue;
        if (made[at] != rom[at]) {
          ADD_FAILURE() << "byte " << at << " changed";
          break;
        }
      }
      const auto [start, end] = Fat(made, id);
      EXPECT_EQ(start % 0x200, 0u);
      EXPECT_GE(start, old80);
      EXPECT_EQ(end - start, grown.size());
      const uint32_t new80 = U32(made, 0x80);
      EXPECT_EQ(new80, chain == Chain::kSdk ? end : (end + 3) / 4 * 4);
      if (chain == Chain::kSdk) {
        // The Download Play block follows the new end.
        EXPECT_TRUE(
            std::equal(rom.begin() + old80, rom.begin() + old80 + 0x88, made.begin() + new80));
        if (full) {
          EXPECT_EQ(made.size(), size_t{128} << (10 + made[0x14]));
          EXPECT_EQ(made.back(), 0xFF);
        } else {
          EXPECT_EQ(made.size(), new80 + 0x88u);
        }
      } else {
        EXPECT_EQ(made.size(), new80);
      }
      // The header: the end moved, its CRC with it; the logo CRC kept.
      EXPECT_EQ(U16(made, 0x15E), Crc16(made.data(), 0x15E));
      EXPECT_EQ(U16(made, 0x15C), U16(rom, 0x15C));
    }
  }
}

TEST(Rom, AFileThatShrinksStaysAndItsSlackTakesTheGapByte) {
  for (const Chain chain : {Chain::kSdk, Chain::kDevkitPro}) {
    SCOPED_TRACE(chain == Chain::kSdk ? "SDK" : "devkitPro");
    const Content content = romwriter::SampleContent();
    TempDir tmp;
    const Bytes rom = romwriter::WriteRom(content, Styled(chain));
    WriteFile(tmp / "game.nds", rom);
    ASSERT_EQ(Sheaf({tmp / "game.nds", tmp / "out"}).status, 0);
    const uint32_t id = FileId(rom, content, "Course/course.kcl");
    WriteFile(tmp / "out/data/Course/course.kcl", testkit::Pattern(100, 32));
    const Bytes made = Rebuild(tmp, "game.nds", "new.nds");
    ASSERT_EQ(made.size(), rom.size());
    const auto [start, end] = Fat(rom, id);
    EXPECT_EQ(Fat(made, id), std::make_pair(start, start + 100));
    const uint8_t gap = chain == Chain::kSdk ? 0xFF : 0x00;
    for (uint32_t at = start + 100; at < end; ++at) ASSERT_EQ(made[at], gap) << at;
    // Only the file, its FAT entry and the header's CRC differ.
    size_t differing = 0;
    for (size_t at = 0; at < rom.size(); ++at) differing += rom[at] != made[at];
    EXPECT_LE(differing, 3001u + 4 + 2);
  }
}

TEST(Rom, AChangedFileOfTheSameSizeChangesOnlyItsBytes) {
  const Content content = romwriter::SampleContent();
  TempDir tmp;
  const Bytes rom = romwriter::WriteRom(content, Styled(Chain::kBlocksDs));
  WriteFile(tmp / "game.nds", rom);
  ASSERT_EQ(Sheaf({tmp / "game.nds", tmp / "out"}).status, 0);
  Bytes zeta = ReadBytes(tmp / "out/data/Zeta.bin");
  zeta[10] ^= 0xFF;
  WriteFile(tmp / "out/data/Zeta.bin", zeta);
  Bytes expected = rom;
  expected[Fat(rom, FileId(rom, content, "Zeta.bin")).first + 10] ^= 0xFF;
  EXPECT_TRUE(SameBytes(expected, Rebuild(tmp, "game.nds", "new.nds")));
}

TEST(Rom, ThePartsOfADsiTitleMoveUpWhenInTheWay) {
  Convention c = Conventions()[7];
  ASSERT_TRUE(c.style.dsi);
  TempDir tmp;
  const Bytes rom = romwriter::WriteRom(c.content, c.style);
  WriteFile(tmp / "game.nds", rom);
  ASSERT_EQ(Sheaf({tmp / "game.nds", tmp / "out"}).status, 0);
  WriteFile(tmp / "out/data/a.txt", testkit::Pattern(0x3000, 33));
  std::string err;
  const Bytes made = Rebuild(tmp, "game.nds", "new.nds", &err);
  EXPECT_NE(err.find("warning: the DSi header's RSA signature no longer matches"),
            std::string::npos)
      << err;
  const uint32_t old9i = U32(rom, 0x1C0), new9i = U32(made, 0x1C0);
  EXPECT_GT(new9i, old9i);
  EXPECT_GE(new9i, U32(made, 0x80));
  EXPECT_EQ((new9i - old9i) % 0x400, 0u);  // keeping its alignment
  EXPECT_EQ(U32(made, 0x1D0) - U32(rom, 0x1D0), new9i - old9i);
  EXPECT_EQ(U32(made, 0x210), made.size());
}

// A FAT entry that no name or overlay uses (here the ARM7 overlay once its
// table is gone) keeps its data where it is.
TEST(Rom, UnusedFatEntriesKeepTheirData) {
  TempDir tmp;
  Bytes rom = romwriter::WriteRom(romwriter::SampleContent(), Styled(Chain::kSdk));
  Set32(rom, 0x5C, 0);
  rom_test::FixHeaderCrc(rom);
  WriteFile(tmp / "game.nds", rom);
  ASSERT_EQ(Sheaf({tmp / "game.nds", tmp / "out"}).status, 0);
  EXPECT_FALSE(testkit::Exists(tmp / "out/overlay/overlay_0002.bin"));
  EXPECT_TRUE(SameBytes(rom, Rebuild(tmp, "game.nds", "same.nds")));
  WriteFile(tmp / "out/data/a.txt", testkit::Pattern(0x4000, 35));
  WriteFile(tmp / "out/arm7.bin", testkit::Pattern(0x3000, 36));
  const Bytes made = Rebuild(tmp, "game.nds", "new.nds");
  EXPECT_EQ(Fat(made, 2), Fat(rom, 2));
  EXPECT_EQ(rom_test::FileData(made, 2), rom_test::FileData(rom, 2));
  EXPECT_GT(U32(made, 0x30), U32(rom, 0x80));  // the ARM7 moved to the end
}

TEST(Rom, ABannerAboveTheDsiAreaMovesWithIt) {
  const Convention c = Conventions()[Conventions().size() - 2];
  TempDir tmp;
  const Bytes rom = c.Write();
  WriteFile(tmp / "game.nds", rom);
  ASSERT_EQ(Sheaf({tmp / "game.nds", tmp / "out"}).status, 0);
  EXPECT_EQ(testkit::ReadBytes(tmp / "out/banner.bin").size(), 0x23C0u);
  WriteFile(tmp / "out/data/Sound/wave.sdat", testkit::Pattern(0x3000, 37));
  std::string err;
  const Bytes made = Rebuild(tmp, "game.nds", "new.nds", &err);
  const uint32_t shift = U32(made, 0x1C0) - U32(rom, 0x1C0);
  EXPECT_GT(shift, 0u);
  EXPECT_EQ(U32(made, 0x68) - U32(rom, 0x68), shift);
  EXPECT_EQ(U32(made, 0x1D0) - U32(rom, 0x1D0), shift);
  EXPECT_LE(U32(made, 0x80), U32(made, 0x1C0));  // now the end of the DS data
  EXPECT_EQ(U32(made, 0x210), made.size());
  // The old banner after the FAT, gap data now, is still there.
  const uint32_t old_banner = (U32(rom, 0x48) + U32(rom, 0x4C) + 0x1FF) / 0x200 * 0x200;
  EXPECT_EQ(U16(rom, old_banner), 1);
  EXPECT_TRUE(std::equal(rom.begin() + old_banner, rom.begin() + old_banner + 0x840,
                         made.begin() + old_banner));
}

TEST(Rom, ACapacityOutgrownGrowsTheChip) {
  Convention c{"full", Styled(Chain::kSdk), romwriter::SampleContent()};
  c.style.full = true;
  TempDir tmp;
  const Bytes rom = romwriter::WriteRom(c.content, c.style);
  WriteFile(tmp / "game.nds", rom);
  ASSERT_EQ(Sheaf({tmp / "game.nds", tmp / "out"}).status, 0);
  WriteFile(tmp / "out/data/Sound/wave.sdat", testkit::Pattern(300000, 34));
  const Bytes made = Rebuild(tmp, "game.nds", "new.nds");
  EXPECT_EQ(rom[0x14], 0);
  EXPECT_EQ(made[0x14], 2);  // 512 KiB: the first chip above the data
  EXPECT_EQ(made.size(), 512u << 10);
}

TEST(Rom, TheBannerAndTheHeaderGetTheirCrcsAgain) {
  const Content content = romwriter::SampleContent();
  TempDir tmp;
  const Bytes rom = romwriter::WriteRom(content, Styled(Chain::kDevkitPro));
  WriteFile(tmp / "game.nds", rom);
  ASSERT_EQ(Sheaf({tmp / "game.nds", tmp / "out"}).status, 0);
  Bytes banner = ReadBytes(tmp / "out/banner.bin");
  banner[0x340] = 'X';  // the English title
  WriteFile(tmp / "out/banner.bin", banner);
  Bytes made = Rebuild(tmp, "game.nds", "banner.nds");
  const uint32_t at = U32(rom, 0x68);
  EXPECT_EQ(U16(made, at + 2), Crc16(banner.data() + 0x20, 0x820));
  EXPECT_NE(U16(made, at + 2), U16(rom, at + 2));
  EXPECT_TRUE(std::equal(rom.begin(), rom.begin() + 0x4000, made.begin()));  // the header as it was

  Bytes header = ReadBytes(tmp / "out/header.bin");
  header[0] = 'Z';
  WriteFile(tmp / "out/header.bin", header);
  made = Rebuild(tmp, "game.nds", "header.nds");
  EXPECT_EQ(made[0], 'Z');
  EXPECT_EQ(U16(made, 0x15E), Crc16(made.data(), 0x15E));
  EXPECT_EQ(U16(made, 0x15C), U16(rom, 0x15C));
}

TEST(Rom, TheSecureAreaCrcIsMadeAgainOnlyWhenItWasThePlainOne) {
  for (const Chain chain : {Chain::kDevkitPro, Chain::kSdk}) {
    SCOPED_TRACE(chain == Chain::kSdk ? "SDK" : "devkitPro");
    TempDir tmp;
    const Bytes rom = romwriter::WriteRom(romwriter::SampleContent(), Styled(chain));
    WriteFile(tmp / "game.nds", rom);
    ASSERT_EQ(Sheaf({tmp / "game.nds", tmp / "out"}).status, 0);
    Bytes arm9 = ReadBytes(tmp / "out/arm9.bin");
    arm9[0x100] ^= 1;
    WriteFile(tmp / "out/arm9.bin", arm9);
    std::string err;
    const Bytes made = Rebuild(tmp, "game.nds", "new.nds", &err);
    if (chain == Chain::kDevkitPro) {
      EXPECT_EQ(err, "");
      EXPECT_EQ(U16(made, 0x6C), Crc16(made.data() + 0x4000, 0x4000));
    } else {
      EXPECT_EQ(err, "sheaf: " + tmp / "new.nds" + ": warning: the secure area CRC (0x06C) stays " +
                         Hex4(U16(rom, 0x6C)) +
                         " although bytes 0x4000-0x7FFF changed: it is not their plain CRC (a dump "
                         "keeps the CRC of the encrypted bytes, which sheaf cannot make)\n");
      EXPECT_EQ(U16(made, 0x6C), U16(rom, 0x6C));
    }
    EXPECT_EQ(U16(made, 0x15E), Crc16(made.data(), 0x15E));
  }
}

TEST(Rom, StaleCrcsAreWarningsOfTheCheckOnly) {
  Convention c{"stale", Styled(Chain::kDevkitPro), romwriter::SampleContent()};
  c.style.stale_crcs = true;
  TempDir tmp;
  const Bytes rom = romwriter::WriteRom(c.content, c.style);
  WriteFile(tmp / "game.SRL", rom);
  const std::string prefix = "sheaf: " + tmp / "game.SRL" + ": warning: ";
  Bytes banner(rom.begin() + U32(rom, 0x68), rom.begin() + U32(rom, 0x68) + 0x840);
  RunResult r = Sheaf({"-t", tmp / "game.SRL"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, prefix + "the header CRC (0x15E) is 0x0000, but bytes 0x000-0x15D give " +
                       Hex4(Crc16(rom.data(), 0x15E)) + "\n" + prefix +
                       "the logo CRC (0x15C) is 0x0000, but bytes 0x0C0-0x15B give " +
                       Hex4(Crc16(rom.data() + 0xC0, 0x9C)) + "\n" + prefix +
                       "the banner's CRC over 0x20-0x83F is 0x0000, but those bytes give " +
                       Hex4(Crc16(banner.data() + 0x20, 0x820)) + "\n");
  r = Sheaf({"-l", tmp / "game.SRL"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  r = Sheaf({tmp / "game.SRL", tmp / "out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST(Rom, RecognisedByItsCrcsOrItsName) {
  TempDir tmp;
  Bytes rom = romwriter::WriteRom(romwriter::SampleContent(), Styled(Chain::kDevkitPro));
  WriteFile(tmp / "game.bin", rom);
  EXPECT_EQ(Sheaf({"-t", tmp / "game.bin"}).status, 0);
  // The logo's CRC alone is enough.
  rom[0] ^= 1;
  WriteFile(tmp / "logo.bin", rom);
  RunResult r = Sheaf({"-l", tmp / "logo.bin"});
  EXPECT_EQ(r.status, 0) << r.err;
  rom[0xC0] ^= 1;
  WriteFile(tmp / "neither.bin", rom);
  r = Sheaf({"-l", tmp / "neither.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "sheaf: " + tmp / "neither.bin" +
                       ": not an archive that sheaf knows: it starts with 52 48 45 41 (SARC, RARC, "
                       "U8, NARC or DS ROM, plain or in Yaz0 or LZ77)\n");
  WriteFile(tmp / "neither.dsi", rom);
  EXPECT_EQ(Sheaf({"-l", tmp / "neither.dsi"}).status, 0);

  const struct {
    std::string name;
    Bytes bytes;
    std::string message;
  } refused[] = {
      {"short.nds", Bytes(100, 0),
       "truncated: 100 bytes, too short for a DS ROM's header of 0x200 bytes"},
      {"dsi.nds",
       [] {
         Bytes b(0x800, 0);
         b[0x12] = 2;
         return b;
       }(),
       "truncated: 2048 bytes, too short for a DSi ROM's header of 0x1000 bytes"},
      {"small.nds",
       [&] {
         Bytes b = rom;
         Set32(b, 0x84, 0x100);
         return b;
       }(),
       "damaged ROM header: its size (0x84) is 0x100, below the 0x200 bytes of a DS ROM's header"},
      {"big.nds",
       [&] {
         Bytes b = rom;
         Set32(b, 0x84, 0x1000000);
         return b;
       }(),
       "damaged ROM header: its size (0x84) is 0x1000000, past the end of the " +
           std::to_string(rom.size()) + "-byte ROM"},
  };
  for (const auto& c : refused) {
    WriteFile(tmp / c.name, c.bytes);
    r = Sheaf({tmp / c.name, tmp / ("out-" + c.name)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "sheaf: " + tmp / c.name + ": " + c.message + "\n");
    EXPECT_EQ(ListDir(tmp / ("out-" + c.name)), std::vector<std::string>{});
  }
}

// ---- -F nds ----

TEST(Rom, TheKitsLayoutByteForByte) {
  std::vector<Convention> kits;
  kits.push_back({"the sample", Styled(Chain::kKit), romwriter::SampleContent()});
  {
    Convention c{"DSi", Styled(Chain::kKit), romwriter::SampleContent()};
    c.style.dsi = true;
    c.content.banner_version = 0x103;
    c.content.arm9i = testkit::Pattern(0x999, 41);
    c.content.arm7i = testkit::Pattern(0x333, 42);
    kits.push_back(c);
  }
  {
    Convention c{"0x200-byte header, no overlays, no banner", Styled(Chain::kKit),
                 romwriter::SampleContent()};
    c.style.header_size = 0x200;
    c.content.overlays.clear();
    c.content.banner_version = 0;
    kits.push_back(c);
  }
  for (const Convention& c : kits) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    const Bytes rom = romwriter::WriteRom(c.content, c.style);
    WriteFile(tmp / "game.nds", rom);
    ASSERT_EQ(Sheaf({tmp / "game.nds", tmp / "out"}).status, 0);
    RunResult r = Sheaf({"-c", "-F", "nds", tmp / "out", tmp / "made.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(SameBytes(rom, ReadBytes(tmp / "made.bin")));
    // What the usual homebrew tool extracts: the header's first 0x200
    // bytes (0x1000 with a DSi header), empty files for missing parts.
    Bytes header = ReadBytes(tmp / "out/header.bin");
    header.resize(c.style.dsi ? 0x1000 : 0x200);
    WriteFile(tmp / "out/header.bin", header);
    for (const char* part : {"y9.bin", "y7.bin", "arm9i.bin", "arm7i.bin"}) {
      const std::string path = tmp / "out/" + part;
      if (!testkit::Exists(path)) WriteFile(path, "");
    }
    r = Sheaf({"-c", tmp / "out", tmp / "made.srl"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(SameBytes(rom, ReadBytes(tmp / "made.srl")));
  }
}

TEST(Rom, AnotherChainsRomLaidOutAsTheKitDoes) {
  TempDir tmp;
  const Bytes rom = romwriter::WriteRom(romwriter::SampleContent(), Styled(Chain::kSdk));
  WriteFile(tmp / "game.nds", rom);
  ASSERT_EQ(Sheaf({tmp / "game.nds", tmp / "out"}).status, 0);
  ASSERT_EQ(Sheaf({"-c", "-v", tmp / "out", tmp / "made.nds"}).status, 0);
  const RunResult t = Sheaf({"-t", tmp / "made.nds"});
  EXPECT_EQ(t.status, 0) << t.err;
  EXPECT_EQ(t.err, "");
  ASSERT_EQ(Sheaf({tmp / "made.nds", tmp / "back"}).status, 0);
  auto tree = ReadTree(tmp / "out"), back = ReadTree(tmp / "back");
  ASSERT_EQ(tree.size(), back.size());
  for (size_t i = 0; i < tree.size(); ++i) {
    EXPECT_EQ(tree[i].first, back[i].first);
    if (tree[i].first != "header.bin") {
      EXPECT_EQ(tree[i].second, back[i].second) << tree[i].first;
    }
  }
  const Bytes made = ReadBytes(tmp / "made.nds");
  EXPECT_EQ(made[0x200], 0);             // the header padded with zeros,
  EXPECT_EQ(made[0x3000], rom[0x3000]);  // but for what header.bin holds
  EXPECT_EQ(U32(made, 0x80), (U32(made, 0x80) + 3) / 4 * 4);
  EXPECT_EQ(made.size(), U32(made, 0x80));
}

TEST(Rom, WhatTheKitsLayoutRefuses) {
  const struct {
    std::string name;
    std::function<void(const std::string&)> edit;
    std::string message;
  } cases[] = {
      {"a file of no part", [](const std::string& d) { WriteFile(d + "/notes.txt", "x"); },
       "cannot pack \"notes.txt\": a ROM holds header.bin, arm9.bin, arm7.bin, y9.bin, y7.bin, "
       "banner.bin, arm9i.bin, arm7i.bin and the folders data and overlay, nothing else"},
      {"an overlay no table names",
       [](const std::string& d) { WriteFile(d + "/overlay/overlay_0099.bin", "x"); },
       "cannot pack \"overlay/overlay_0099.bin\": no entry of y9.bin or y7.bin names it as an "
       "overlay"},
      {"an overlay missing",
       [](const std::string& d) { unlink((d + "/overlay/overlay_0001.bin").c_str()); },
       "cannot pack the tree: y9.bin's entry 1 names file ID 1, but there is no file "
       "\"overlay/overlay_0001.bin\""},
      {"no header", [](const std::string& d) { unlink((d + "/header.bin").c_str()); },
       "cannot pack the tree: it has no header.bin (a ROM needs header.bin, arm9.bin and "
       "arm7.bin)"},
      {"a header too short",
       [](const std::string& d) { WriteFile(d + "/header.bin", std::string(0x100, 'h')); },
       "cannot pack \"header.bin\": a ROM's header holds at least 0x200 bytes, this one 0x100"},
      {"ARM9i without a DSi header",
       [](const std::string& d) { WriteFile(d + "/arm9i.bin", "code"); },
       "cannot pack \"arm9i.bin\": it goes with a DSi header only (bit 1 of the unit code at "
       "0x12)"},
      {"an overlay table cut",
       [](const std::string& d) { WriteFile(d + "/y7.bin", std::string(31, 'y')); },
       "cannot pack \"y7.bin\": it holds 31 bytes, not a multiple of its 32-byte entries"},
      {"a name too long",
       [](const std::string& d) { WriteFile(d + "/data/" + std::string(128, 'n'), "x"); },
       "cannot pack \"data/" + std::string(128, 'n') + "\": a ROM's names hold at most 127 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    WriteFile(tmp / "game.nds",
              romwriter::WriteRom(romwriter::SampleContent(), Styled(Chain::kKit)));
    ASSERT_EQ(Sheaf({tmp / "game.nds", tmp / "out"}).status, 0);
    c.edit(tmp / "out");
    const RunResult r = Sheaf({"-c", tmp / "out", tmp / "made.nds"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "sheaf: " + tmp / "made.nds" + ": " + c.message + "\n");
    EXPECT_FALSE(testkit::Exists(tmp / "made.nds"));
  }
}

TEST(Rom, LikeTakesExactlyTheOriginalsFiles) {
  const struct {
    std::string name;
    std::function<void(const std::string&)> edit;
    std::string message;
  } cases[] = {
      {"a file added", [](const std::string& d) { WriteFile(d + "/data/new.bin", "x"); },
       "cannot pack \"data/new.bin\": the original has no such file, and a ROM made like another "
       "holds exactly its files (their IDs are part of the game)"},
      {"a file missing", [](const std::string& d) { unlink((d + "/data/a.txt").c_str()); },
       "cannot pack the tree: \"data/a.txt\" is missing, and a ROM made like another holds "
       "exactly its files (their IDs are part of the game)"},
      {"a header of another size",
       [](const std::string& d) { WriteFile(d + "/header.bin", std::string(0x200, 'h')); },
       "cannot pack \"header.bin\": it holds 512 bytes, the original's header 16384 (a ROM made "
       "like another keeps the size of its header)"},
      {"an overlay's file ID changed",
       [](const std::string& d) {
         Bytes y9 = ReadBytes(d + "/y9.bin");
         y9[0x18] = 7;
         WriteFile(d + "/y9.bin", y9);
       },
       "cannot pack \"y9.bin\": its entry 0 names file ID 7, the original's 0 (file IDs are part "
       "of "
       "the game)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    WriteFile(tmp / "game.nds",
              romwriter::WriteRom(romwriter::SampleContent(), Styled(Chain::kSdk)));
    ASSERT_EQ(Sheaf({tmp / "game.nds", tmp / "out"}).status, 0);
    c.edit(tmp / "out");
    const RunResult r = Sheaf({"-c", "--like", tmp / "game.nds", tmp / "out", tmp / "made.nds"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "sheaf: " + tmp / "made.nds" + ": " + c.message + "\n");
    EXPECT_FALSE(testkit::Exists(tmp / "made.nds"));
  }
}

}  // namespace
