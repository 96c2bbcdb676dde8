// End-to-end tests of uncairn on 3DS containers built here from the
// format's description (tests/ctr_builder): card images with several
// partitions, trimmed and padded; NCCHs with a RomFS only MU-aligned; CIAs
// with junk in their gaps, a content missing from the bitmap, DSiWare;
// fixed-key NCCHs encrypted by the builder; keys the kit lacks; and each
// kind of damaged or hostile header.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ctr_builder.h"
#include "fault_injection.h"
#include "test_support.h"
#include "tree_compare.h"

using ctrtest::Bytes;
using ctrtest::Hex;
using testkit::Exists;
using testkit::MakeDir;
using testkit::Pattern;
using testkit::RunOptions;
using testkit::RunProgram;
using testkit::RunResult;
using testkit::TempDir;
using testkit::WriteFile;

namespace {

const char kEncrypted[] = "encrypted with the console's keys: decrypt the dump first";

RunResult Uncairn(const std::vector<std::string>& args) {
  std::vector<std::string> argv{UNCAIRN_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions bounded;
  bounded.timeout_seconds = 120;  // a hostile file must not make it hang
  return RunProgram(argv, bounded);
}

uint32_t Get32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

class Containers : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDir(tmp_ / "game");
    MakeGameTree(tmp_ / "game");
    MakeDir(tmp_ / "manual");
    MakeDir(tmp_ / "manual/pages");
    WriteFile(tmp_ / "manual/pages/1.bcma", Pattern(9000, 21));
    WriteFile(tmp_ / "manual/index.txt", "the manual");
    game_romfs_ = Pack("game");
    manual_romfs_ = Pack("manual");
  }

  Bytes Pack(const std::string& name) {
    const RunResult r = RunProgram({CAIRN_PROGRAM, tmp_ / name, tmp_ / (name + ".romfs")});
    EXPECT_EQ(r.status, 0) << r.err;
    return testkit::ReadBytes(tmp_ / (name + ".romfs"));
  }

  // An executable as makerom lays it out: exheader, logo, plain region,
  // ExeFS, then the RomFS on a 0x1000-byte boundary.
  ctrtest::NcchParts Cxi(const Bytes& romfs) const {
    ctrtest::NcchParts parts;
    parts.exheader = ctrtest::MakeExheader("game");
    parts.logo = Pattern(0x2000, 31);
    parts.plain = Pattern(0x180, 32);
    parts.exefs =
        ctrtest::MakeExefs({{".code", Pattern(0x1234, 33)}, {"icon", Pattern(0x36C0, 34)}});
    parts.romfs = romfs;
    return parts;
  }
  // A data container: a RomFS alone.
  ctrtest::NcchParts Cfa(const Bytes& romfs) const {
    ctrtest::NcchParts parts;
    parts.partition_id = parts.program_id = 0x0005000000f70c00;
    parts.product_code = "CTR-P-CTAP";
    parts.romfs = romfs;
    return parts;
  }
  ctrtest::Cci TwoPartitions(const ctrtest::NcchParts& game, bool pad = false) const {
    ctrtest::CciParts parts;
    parts.partitions = {{0, ctrtest::BuildNcch(game).bytes},
                        {1, ctrtest::BuildNcch(Cfa(manual_romfs_)).bytes}};
    parts.pad = pad;
    parts.card_size = 1 << 20;  // small enough to pad in a test
    return ctrtest::BuildCci(parts);
  }

  std::string Save(const std::string& name, const Bytes& bytes) {
    WriteFile(tmp_ / name, bytes);
    return tmp_ / name;
  }

  // -i's lines of an NCCH at base with the hashes in the state given.
  static std::string NcchLines(const ctrtest::NcchParts& parts, const ctrtest::Ncch& ncch,
                               uint64_t base, const std::string& crypto,
                               const std::string& hash = "good") {
    char id[32];
    snprintf(id, sizeof(id), "%016llx", static_cast<unsigned long long>(parts.program_id));
    std::string text = std::string("title id: ") + id + "\nproduct code: " + parts.product_code +
                       "\ncrypto: " + crypto + "\n";
    text += parts.exheader.empty()
                ? "exheader: none\n"
                : "exheader: at " + Hex(base + 0x200) + ", 0x400 bytes, hash " + hash + "\n";
    text += parts.exefs.empty() ? "exefs: none\n"
                                : "exefs: at " + Hex(base + ncch.exefs_offset) + ", " +
                                      Hex((parts.exefs.size() + 0x1FF) / 0x200 * 0x200) +
                                      " bytes, hash " + hash + "\n";
    text += parts.romfs.empty() ? "romfs: none\n"
                                : "romfs: at " + Hex(base + ncch.romfs_offset) + ", " +
                                      Hex(ncch.romfs_size) + " bytes, hash " + hash + "\n";
    return text;
  }

  // Extraction and -l of file (with options before it) give the tree.
  void ExpectTree(const std::vector<std::string>& options, const std::string& file,
                  const std::string& tree) {
    static int n = 0;
    const std::string out = tmp_ / ("out" + std::to_string(++n));
    std::vector<std::string> args = options;
    args.push_back(file);
    args.push_back(out);
    RunResult r = Uncairn(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(FolderDifference(tmp_ / tree, out), "");
    args = options;
    args.insert(args.end(), {"-l", file});
    r = Uncairn(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, Uncairn({"-l", tmp_ / (tree + ".romfs")}).out);
    args = options;
    args.insert(args.end(), {"-t", file});
    r = Uncairn(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
  }

  TempDir tmp_;
  Bytes game_romfs_, manual_romfs_;
};

TEST_F(Containers, CardImageWithTwoPartitionsTrimmedOrPadded) {
  const ctrtest::NcchParts game = Cxi(game_romfs_);
  const ctrtest::Ncch game_ncch = ctrtest::BuildNcch(game);
  const ctrtest::Ncch manual_ncch = ctrtest::BuildNcch(Cfa(manual_romfs_));
  for (bool pad : {false, true}) {
    SCOPED_TRACE(pad ? "padded" : "trimmed");
    const ctrtest::Cci cci = TwoPartitions(game, pad);
    EXPECT_EQ(cci.bytes.size(), pad ? 1u << 20 : cci.offsets[1] + manual_ncch.bytes.size());
    const std::string file = Save(pad ? "padded.3ds" : "trimmed.3ds", cci.bytes);
    const RunResult i = Uncairn({"-i", file});
    EXPECT_EQ(i.status, 0) << i.err;
    EXPECT_EQ(i.err, "");
    EXPECT_EQ(i.out, "container: CCI\npartition 0: at 0x4000, " + Hex(game_ncch.bytes.size()) +
                         " bytes, NCCH\npartition 1: at " + Hex(cci.offsets[1]) + ", " +
                         Hex(manual_ncch.bytes.size()) + " bytes, NCCH\nncch: partition 0\n" +
                         NcchLines(game, game_ncch, 0x4000, "none"));
    ExpectTree({}, file, "game");
    ExpectTree({"--partition", "1"}, file, "manual");
    ExpectTree({"--partition=0"}, file, "game");
    const RunResult manual = Uncairn({"--partition", "1", "-i", file});
    EXPECT_EQ(manual.status, 0);
    EXPECT_NE(manual.out.find("ncch: partition 1\ntitle id: 0005000000f70c00\nproduct code: "
                              "CTR-P-CTAP\ncrypto: none\nexheader: none\nexefs: none\n"),
              std::string::npos)
        << manual.out;
  }
  const std::string file = tmp_ / "trimmed.3ds";
  for (const char* partition : {"2", "7"}) {
    const RunResult r = Uncairn({"--partition", partition, "-l", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "uncairn: " + file + ": no partition " + partition + "\n");
  }
  // Only PATHs, from a partition.
  const RunResult one = Uncairn({"--partition", "1", file, tmp_ / "one", "pages/1.bcma"});
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(testkit::ListDir(tmp_ / "one"), std::vector<std::string>{"pages"});
}

// An NCCH by itself, named as a CIA (real files are misnamed), laid out as
// cxitool does: the logo region is the ExeFS's logo file, and the RomFS
// begins on a media unit that is not a 0x1000-byte boundary; NoCrypto
// without the fixed-key bit.
TEST_F(Containers, NcchWhoseRomfsIsOnlyMediaUnitAligned) {
  ctrtest::NcchParts parts = Cxi(game_romfs_);
  parts.plain.clear();
  parts.logo = Pattern(0x1E00, 41);
  parts.exefs = ctrtest::MakeExefs({{".code", Pattern(0x900, 42)}, {"logo", parts.logo}});
  parts.logo_in_exefs = true;
  parts.romfs_alignment = ctrtest::kMediaUnit;
  parts.crypto_flags = 0x04;
  const ctrtest::Ncch ncch = ctrtest::BuildNcch(parts);
  ASSERT_NE(ncch.romfs_offset % 0x1000, 0u);
  ASSERT_GT(ncch.logo_offset, ncch.exefs_offset);
  const std::string file = Save("SQRIBBLE.cia", ncch.bytes);
  const RunResult i = Uncairn({"-i", file});
  EXPECT_EQ(i.status, 0) << i.err;
  EXPECT_EQ(i.out, "container: NCCH\n" + NcchLines(parts, ncch, 0, "none"));
  ExpectTree({}, file, "game");
}

TEST_F(Containers, FixedKeyNcchsInACardImageAndACia) {
  ctrtest::NcchParts game = Cxi(game_romfs_);
  game.crypto_flags = 0x01;
  game.encrypt = true;
  const ctrtest::Ncch ncch = ctrtest::BuildNcch(game);
  // Encrypted: the RomFS does not show its magic.
  ASSERT_NE(std::string(ncch.bytes.begin() + ncch.romfs_offset,
                        ncch.bytes.begin() + ncch.romfs_offset + 4),
            "IVFC");

  const ctrtest::Cci cci = TwoPartitions(game);
  const std::string card = Save("fixed.3ds", cci.bytes);
  RunResult i = Uncairn({"-i", card});
  EXPECT_EQ(i.status, 0) << i.err;
  EXPECT_NE(i.out.find(NcchLines(game, ncch, 0x4000, "fixed key")), std::string::npos) << i.out;
  ExpectTree({}, card, "game");

  ctrtest::CiaParts parts;
  parts.contents = {{0x1c104b7c, 0, 0, ncch.bytes}};
  const ctrtest::Cia cia = ctrtest::BuildCia(parts);
  const std::string title = Save("fixed.cia", cia.bytes);
  i = Uncairn({"-i", title});
  EXPECT_EQ(i.status, 0) << i.err;
  EXPECT_EQ(i.out, "container: CIA\ncontent 0: id 0x1c104b7c, at " + Hex(cia.offsets[0]) + ", " +
                       Hex(ncch.bytes.size()) + " bytes, NCCH, hash good\nncch: content 0\n" +
                       NcchLines(game, ncch, cia.offsets[0], "fixed key"));
  ExpectTree({}, title, "game");
}

// A CIA as the usual builders make it, with junk where others leave zeros
// between the sections, a manual, a content that the TMD lists but the file
// does not hold, and an odd-sized meta block.
TEST_F(Containers, CiaContents) {
  const ctrtest::NcchParts game = Cxi(game_romfs_);
  const ctrtest::NcchParts manual = Cfa(manual_romfs_);
  const Bytes game_ncch = ctrtest::BuildNcch(game).bytes;
  const Bytes manual_ncch = ctrtest::BuildNcch(manual).bytes;
  for (bool rounded : {true, false}) {
    SCOPED_TRACE(rounded ? "contents rounded to 16 bytes" : "contents back to back");
    ctrtest::CiaParts parts;
    parts.cert_size = 0xA00;
    parts.ticket_size = 0x350 - 4;  // so that a gap follows
    parts.junk_in_gaps = true;
    parts.round_contents = rounded;
    parts.meta = Pattern(0x43E, 43);
    parts.contents = {{0x00000010, 0, 0, game_ncch},
                      {0x00000011, 1, 0, manual_ncch},
                      {0x00000012, 2, 0x4000, Pattern(0x1000, 44), false}};
    const ctrtest::Cia cia = ctrtest::BuildCia(parts);
    const std::string file = Save("title.cia", cia.bytes);
    const RunResult i = Uncairn({"-i", file});
    EXPECT_EQ(i.status, 0) << i.err;
    EXPECT_EQ(i.out, "container: CIA\ncontent 0: id 0x00000010, at " + Hex(cia.offsets[0]) + ", " +
                         Hex(game_ncch.size()) + " bytes, NCCH, hash good\ncontent 1: id " +
                         "0x00000011, at " + Hex(cia.offsets[1]) + ", " + Hex(manual_ncch.size()) +
                         " bytes, NCCH, hash good\ncontent 2: id 0x00000012, 0x1000 bytes, not "
                         "in the file\nncch: content 0\n" +
                         NcchLines(game, ctrtest::BuildNcch(game), cia.offsets[0], "none"));
    ExpectTree({}, file, "game");
    ExpectTree({"--content", "1"}, file, "manual");
    RunResult r = Uncairn({"--content", "2", "-l", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "uncairn: " + file +
                         ": no content 2 in the file: the TMD lists it, the file does not hold "
                         "it\n");
    r = Uncairn({"--content=65535", "-l", file});
    EXPECT_EQ(r.err, "uncairn: " + file + ": no content 65535\n");
  }
}

// A DSiWare title holds a DS ROM; a homebrew program's NCCH often has no
// RomFS. Both are described, and the others say why there is nothing.
TEST_F(Containers, NoRomfs) {
  ctrtest::CiaParts dsiware;
  dsiware.title_id = 0x00048004484e4145;
  Bytes rom = Pattern(0x4000, 51);
  memcpy(rom.data(), "TWLMENU\0\0\0\0\0", 12);
  dsiware.contents = {{0, 0, 0, rom}};
  const ctrtest::Cia twl = ctrtest::BuildCia(dsiware);

  ctrtest::NcchParts program = Cxi({});
  ctrtest::CiaParts homebrew;
  homebrew.contents = {{0, 0, 0, ctrtest::BuildNcch(program).bytes}};
  const ctrtest::Cia cia = ctrtest::BuildCia(homebrew);

  struct Case {
    const char* name;
    Bytes bytes;
    std::string description;
    std::string message;
  } cases[] = {
      {"dsiware.cia", twl.bytes,
       "container: CIA\ncontent 0: id 0x00000000, at 0x3900, 0x4000 bytes, not an NCCH, hash "
       "good\nncch: none\ntitle id: 00048004484e4145\nromfs: none\n",
       "no RomFS: no content of the CIA is an NCCH (a DSiWare title's content is a DS ROM)"},
      {"homebrew.cia", cia.bytes,
       "container: CIA\ncontent 0: id 0x00000000, at 0x3900, " +
           Hex(ctrtest::BuildNcch(program).bytes.size()) +
           " bytes, NCCH, hash good\nncch: content 0\n" +
           NcchLines(program, ctrtest::BuildNcch(program), 0x3900, "none"),
       "no RomFS: the NCCH of content 0 has none (its RomFS region is empty)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = Save(c.name, c.bytes);
    const RunResult i = Uncairn({"-i", file});
    EXPECT_EQ(i.status, 0) << i.err;
    EXPECT_EQ(i.out, c.description);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-l", file}, {"-t", file}, {file, tmp_ / "out"}}) {
      const RunResult r = Uncairn(args);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "uncairn: " + file + ": " + c.message + "\n");
    }
    EXPECT_FALSE(Exists(tmp_ / "out"));
  }
}

// Console keys, a seed, the system's fixed key, a CIA's title key: never
// guessed at, nothing extracted; -i says which and checks no hash.
TEST_F(Containers, KeysTheKitLacks) {
  struct Case {
    const char* name;
    uint8_t flags;
    uint64_t program_id;
  } ncchs[] = {
      {"console keys", 0x00, 0x0004000000f70c00},
      {"seed", 0x20, 0x0004000000f70c00},
      {"system fixed key", 0x01, 0x0004001000021000},
  };
  std::vector<std::pair<std::string, std::string>> files;  // path, -i's output
  for (const Case& c : ncchs) {
    ctrtest::NcchParts game = Cxi(game_romfs_);
    game.crypto_flags = c.flags;
    game.program_id = c.program_id;
    const ctrtest::Ncch ncch = ctrtest::BuildNcch(game);
    const ctrtest::Cci cci = TwoPartitions(game);
    files.emplace_back(Save(std::string(c.name) + ".3ds", cci.bytes),
                       "container: CCI\npartition 0: at 0x4000, " + Hex(ncch.bytes.size()) +
                           " bytes, NCCH\npartition 1: at " + Hex(cci.offsets[1]) + ", " +
                           Hex(cci.bytes.size() - cci.offsets[1]) +
                           " bytes, NCCH\nncch: partition 0\n" +
                           NcchLines(game, ncch, 0x4000, "console keys", "not checked"));
  }
  ctrtest::CiaParts parts;
  parts.contents = {{7, 0, 0x0001, Pattern(0x8000, 52)}};
  const ctrtest::Cia cia = ctrtest::BuildCia(parts);
  files.emplace_back(Save("title key.cia", cia.bytes),
                     "container: CIA\ncontent 0: id 0x00000007, at 0x3900, 0x8000 bytes, "
                     "encrypted, hash not checked\nncch: content 0\ntitle id: 0004000000f70c00\n"
                     "crypto: title key\n");
  for (const auto& [file, description] : files) {
    SCOPED_TRACE(file);
    const RunResult i = Uncairn({"-i", file});
    EXPECT_EQ(i.status, 0) << i.err;
    EXPECT_EQ(i.out, description);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-l", file}, {"-t", file}, {"-f", file, tmp_ / "out"}}) {
      const RunResult r = Uncairn(args);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "uncairn: " + file + ": " + kEncrypted + "\n");
    }
    EXPECT_FALSE(Exists(tmp_ / "out"));
  }
}

// -t checks every hash the container holds for what is read; extraction
// checks the RomFS superblock and writes the files all the same.
TEST_F(Containers, WrongContainerHashes) {
  const ctrtest::NcchParts game = Cxi(game_romfs_);
  const ctrtest::Ncch ncch = ctrtest::BuildNcch(game);
  ctrtest::CiaParts parts;
  parts.contents = {{0, 0, 0, ncch.bytes}};
  const ctrtest::Cia cia = ctrtest::BuildCia(parts);
  const uint64_t base = cia.offsets[0];
  struct Case {
    const char* what;
    uint64_t at;  // the byte changed, in the NCCH
    std::string message;
    const char* line;  // of -i that shows it
  } cases[] = {
      {"exheader", 0x210, "wrong exheader hash", "exheader: at "},
      {"ExeFS header", ncch.exefs_offset + 0x10, "wrong ExeFS superblock hash", "exefs: at "},
      {"RomFS superblock hash", 0x1E0, "wrong RomFS superblock hash", "romfs: at "},
      {"plain region", 0xA00 + 0x2000 + 5, "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = cia.bytes;
    bytes[base + c.at] ^= 0x10;
    const std::string file = Save("hashes.cia", bytes);
    const std::string prefix = "uncairn: " + file + ": ";
    std::string expected = prefix + "wrong TMD hash of content 0\n";
    if (!c.message.empty()) expected += prefix + c.message + "\n";
    RunResult r = Uncairn({"-t", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, expected);
    r = Uncairn({"-i", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("content 0: id 0x00000000, at 0x3900, " + Hex(ncch.bytes.size()) +
                         " bytes, NCCH, hash BAD\n"),
              std::string::npos);
    if (c.line != nullptr) {
      const size_t line = r.out.find(c.line);
      ASSERT_NE(line, std::string::npos);
      EXPECT_EQ(r.out.substr(r.out.find('\n', line) - 8, 8), "hash BAD") << r.out;
    }
    // Extraction checks the RomFS superblock alone, and goes on.
    testkit::RemoveTree(tmp_ / "out");
    r = Uncairn({file, tmp_ / "out"});
    EXPECT_EQ(r.status, c.at == 0x1E0 ? 1 : 0);
    EXPECT_EQ(r.err, c.at == 0x1E0 ? prefix + c.message + "\n" : "");
    EXPECT_EQ(FolderDifference(tmp_ / "game", tmp_ / "out"), "");
  }
}

TEST_F(Containers, UsageAndChoices) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--partition", "8", "-l", "a"},
        {"--partition", "x", "-l", "a"},
        {"--partition", "-1", "-l", "a"},
        {"--partition"},
        {"--content", "65536", "-l", "a"},
        {"--content=", "-l", "a"},
        {"--partition", "1", "--content", "1", "-l", "a"},
        {"-i", "-l", "a"},
        {"-t", "-i", "a"},
        {"-i", "-f", "a"},
        {"-vi", "a"},
        {"-i", "a", "b"},
        {"-i"},
        {"--contents", "1", "a", "b"}}) {
    const RunResult r = Uncairn(args);
    EXPECT_EQ(r.status, 2) << args[0] << " " << args.size();
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("\nusage: uncairn [-f] [-v] [--partition N | --content N] IMAGE DIR "
                         "[PATH...]\n"),
              std::string::npos)
        << r.err;
  }
  EXPECT_EQ(Uncairn({"--partition", "8", "-l", "a"}).err.substr(0, 45),
            "uncairn: --partition takes a number from 0 to");
  EXPECT_EQ(Uncairn({"-i", "-l", "a"}).err.substr(0, 37), "uncairn: -i and -l exclude each other");
  const RunResult help = Uncairn({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("-i IMAGE"), std::string::npos);
  EXPECT_NE(help.out.find("--partition N"), std::string::npos);

  // The option on the wrong kind of file.
  const std::string card = Save("card.3ds", TwoPartitions(Cxi(game_romfs_)).bytes);
  ctrtest::CiaParts parts;
  parts.contents = {{0, 0, 0, ctrtest::BuildNcch(Cfa(manual_romfs_)).bytes}};
  const std::string title = Save("title.cia", ctrtest::BuildCia(parts).bytes);
  const std::string ncch = Save("game.cxi", ctrtest::BuildNcch(Cxi(game_romfs_)).bytes);
  const std::string bare = tmp_ / "game.romfs";
  struct Case {
    std::vector<std::string> args;
    std::string file;
    std::string message;
  } cases[] = {
      {{"--content", "0", "-l", card}, card, "--content picks a content of a CIA; this is a CCI"},
      {{"--partition", "0", "-i", title},
       title,
       "--partition picks a partition of a CCI; this is a CIA"},
      {{"--partition", "0", ncch, tmp_ / "out"},
       ncch,
       "--partition picks a partition of a CCI; this is an NCCH"},
      {{"--content", "0", "-t", bare},
       bare,
       "--content picks a content of a CIA; this is a RomFS image"},
  };
  for (const Case& c : cases) {
    const RunResult r = Uncairn(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "uncairn: " + c.file + ": " + c.message + "\n");
  }
  EXPECT_FALSE(Exists(tmp_ / "out"));
  // A bare image describes itself.
  const RunResult i = Uncairn({"-i", bare});
  EXPECT_EQ(i.status, 0);
  EXPECT_EQ(i.out, "container: RomFS\nromfs: at 0x0, " + Hex(game_romfs_.size()) + " bytes\n");
}

// Each hostile or damaged header: status 1, one message, nothing read or
// written.
TEST_F(Containers, DamagedAndHostileHeaders) {
  const ctrtest::NcchParts game = Cxi(game_romfs_);
  const ctrtest::Ncch ncch = ctrtest::BuildNcch(game);
  const ctrtest::Cci cci = TwoPartitions(game);
  const uint64_t p1 = cci.offsets[1];
  const uint64_t p1_size = cci.bytes.size() - p1;
  const uint64_t n = 0x4000;  // partition 0's NCCH
  ctrtest::CiaParts cia_parts;
  cia_parts.meta = Pattern(0x3AC0, 61);
  cia_parts.contents = {{0, 0, 0, ncch.bytes},
                        {1, 1, 0, ctrtest::BuildNcch(Cfa(manual_romfs_)).bytes}};
  const ctrtest::Cia cia = ctrtest::BuildCia(cia_parts);
  const uint64_t tmd = cia.tmd_offset + 0x140;  // the TMD's header
  const uint64_t contents_size =
      cia.offsets[1] + ((cia_parts.contents[1].data.size() + 15) & ~15u) - cia.offsets[0];

  // The IVFC levels end with hash level 1, after the image's last block
  // (the image file is padded to 4096 bytes past that).
  const uint64_t levels_end = game_romfs_.size() - 4096 + Get32(game_romfs_, 0x24 + 8);
  ASSERT_LT(levels_end, ncch.romfs_size);

  using Edit = std::function<void(Bytes&)>;
  auto put32 = [](uint64_t at, uint32_t v) { return [=](Bytes& b) { ctrtest::Put32(b, at, v); }; };
  struct Case {
    const char* what;
    const Bytes* base;
    Edit edit;
    std::string message;
  } cases[] = {
      // Media units are counted in 64 bits: 0x800020 units are 4 GiB past
      // 0x4000, not 0x4000.
      {"a partition 4 GiB out", &cci.bytes, put32(0x120, 0x800020),
       "damaged CCI: partition 0 (" + Hex(ncch.bytes.size()) +
           " bytes at 0x100004000) runs past the card size of 0x100000 bytes"},
      {"a partition 4 GiB out on a large card", &cci.bytes,
       [](Bytes& b) {
         ctrtest::Put32(b, 0x104, 0xFFFFFFFF);
         ctrtest::Put32(b, 0x120, 0x800020);
       },
       "damaged CCI: partition 0 (" + Hex(ncch.bytes.size()) +
           " bytes at 0x100004000) runs past the end of the " + Hex(cci.bytes.size()) +
           "-byte file: the dump is cut short"},
      {"a RomFS 4 GiB out", &cci.bytes, put32(n + 0x1B0, Get32(ncch.bytes, 0x1B0) + 0x800000),
       "damaged NCCH of partition 0: the RomFS (" + Hex(ncch.romfs_size) + " bytes at " +
           Hex(n + ncch.romfs_offset + 0x100000000) + ") runs past the NCCH's content size of " +
           Hex(ncch.bytes.size()) + " bytes"},
      {"a card's unit exponent", &cci.bytes, [](Bytes& b) { b[0x18E] = 1; },
       "damaged CCI: its media unit is 0x200 << 1 bytes; only units of 0x200 bytes (exponent 0) "
       "are read"},
      {"an NCCH's unit exponent", &cci.bytes, [&](Bytes& b) { b[n + 0x18E] = 2; },
       "damaged NCCH of partition 0: its media unit is 0x200 << 2 bytes; only units of 0x200 "
       "bytes (exponent 0) are read"},
      {"a cut dump", &cci.bytes, [&](Bytes& b) { b.resize(p1 + 0x1000); },
       "damaged CCI: partition 1 (" + Hex(p1_size) + " bytes at " + Hex(p1) +
           ") runs past the end of the " + Hex(p1 + 0x1000) + "-byte file: the dump is cut short"},
      {"partitions past the card size", &cci.bytes, put32(0x104, static_cast<uint32_t>(p1 / 0x200)),
       "damaged CCI: partition 1 (" + Hex(p1_size) + " bytes at " + Hex(p1) +
           ") runs past the card size of " + Hex(p1) + " bytes"},
      {"an NCCH larger than its partition", &cci.bytes,
       put32(n + 0x104, Get32(ncch.bytes, 0x104) + 1),
       "damaged NCCH of partition 0: its content size of " + Hex(ncch.bytes.size() + 0x200) +
           " bytes runs past the end of partition 0 (" + Hex(ncch.bytes.size()) + " bytes)"},
      {"overlapping partitions", &cci.bytes, put32(0x128, 0x4000 / 0x200 + 1),
       "damaged CCI: partition 0 and partition 1 overlap"},
      {"a partition in the header area", &cci.bytes, put32(0x120, 0x10),
       "damaged CCI: partition 0 (" + Hex(ncch.bytes.size()) +
           " bytes at 0x2000) begins inside the 0x4000-byte header area"},
      {"overlapping regions", &cci.bytes,
       put32(n + 0x1A4, static_cast<uint32_t>((ncch.romfs_offset - ncch.exefs_offset) / 0x200 + 1)),
       "damaged NCCH of partition 0: the ExeFS (" +
           Hex(ncch.romfs_offset - ncch.exefs_offset + 0x200) + " bytes at " +
           Hex(n + ncch.exefs_offset) + ") and the RomFS (" + Hex(ncch.romfs_size) + " bytes at " +
           Hex(n + ncch.romfs_offset) + ") overlap"},
      {"a region in the header area", &cci.bytes, put32(n + 0x1A0, 2),
       "damaged NCCH of partition 0: the ExeFS (" + Hex(game.exefs.size()) +
           " bytes at 0x4400) begins inside the NCCH's 0xa00-byte header area"},
      {"a hash region larger than its region", &cci.bytes,
       put32(n + 0x1B8, static_cast<uint32_t>(ncch.romfs_size / 0x200 + 1)),
       "damaged NCCH of partition 0: the hash region of the RomFS is " +
           Hex(ncch.romfs_size + 0x200) + " bytes, larger than the region's " +
           Hex(ncch.romfs_size)},
      // The file goes on with partition 1 after the RomFS region, which
      // is one unit short of the IVFC levels (its superblock still holds).
      {"IVFC levels past the RomFS region", &cci.bytes,
       put32(n + 0x1B4, static_cast<uint32_t>((levels_end - 1) / 0x200)),
       "damaged IVFC header: its levels need " + std::to_string(levels_end) +
           " bytes; the NCCH's RomFS region has " +
           std::to_string((levels_end - 1) / 0x200 * 0x200)},
      {"a NAND image", &cci.bytes, [](Bytes& b) { b[0x110] = 1; },
       "a NAND image (an NCSD whose partitions are file systems), not a card image (CCI)"},
      {"a truncated card header", &cci.bytes, [](Bytes& b) { b.resize(0x150); },
       "truncated: 0x150 bytes, too few for the 0x200-byte header of a CCI"},
      {"a truncated NCCH header", &ncch.bytes, [](Bytes& b) { b.resize(0x180); },
       "truncated: the file has 0x180 bytes, too few for the 0x200-byte header of an NCCH"},
      {"an exheader of another size", &ncch.bytes, put32(0x180, 0x800),
       "damaged NCCH: its exheader size is 0x800, not 0 or 0x400"},
      {"a truncated CIA header", &cia.bytes, [](Bytes& b) { b.resize(0x1000); },
       "truncated: 0x1000 bytes, too few for the 0x2020-byte header of a CIA"},
      {"a truncated CIA", &cia.bytes, [&](Bytes& b) { b.resize(cia.offsets[1]); },
       "damaged CIA: its contents (" + Hex(contents_size) + " bytes at " + Hex(cia.offsets[0]) +
           ") run past the end of the " + Hex(cia.offsets[1]) + "-byte file"},
      {"a TMD past the file", &cia.bytes, put32(16, 0x7FFFFFFF),
       "damaged CIA: its TMD (0x7fffffff bytes at 0x2dc0) runs past the end of the " +
           Hex(cia.bytes.size()) + "-byte file"},
      {"sizes disagreeing with the TMD", &cia.bytes,
       [&](Bytes& b) { ctrtest::Put64(b, 24, contents_size + 0x40); },
       "damaged CIA: the contents it holds are " + Hex(contents_size) +
           " bytes long in the TMD, but its header says " + Hex(contents_size + 0x40)},
      {"a content size past the file", &cia.bytes,
       [&](Bytes& b) { ctrtest::PutBe64(b, tmd + 0xC4 + 0x900 + 8, uint64_t(1) << 63); },
       "damaged CIA: content 0 is 0x8000000000000000 bytes long in the TMD, more than the " +
           Hex(cia.bytes.size()) + "-byte file"},
      {"a TMD too short for its count", &cia.bytes,
       [&](Bytes& b) { ctrtest::PutBe16(b, tmd + 0x9E, 3); },
       "damaged CIA: its TMD is 0xb64 bytes long, too short for its 3 contents (0xb94)"},
      {"a bitmap entry missing from the TMD", &cia.bytes, [](Bytes& b) { b[0x20] |= 0x04; },
       "damaged CIA: its bitmap holds content 5, which the TMD does not list"},
      {"a content listed twice", &cia.bytes,
       [&](Bytes& b) { ctrtest::PutBe16(b, tmd + 0xC4 + 0x900 + 0x30 + 4, 0); },
       "damaged CIA: the TMD lists content 0 twice"},
      {"an unknown TMD signature", &cia.bytes,
       [&](Bytes& b) { ctrtest::PutBe32(b, cia.tmd_offset, 0x10009); },
       "damaged CIA: its TMD's signature type 0x10009 is not one the format knows"},
      {"partition 1 holds no NCCH", &cci.bytes, [&](Bytes& b) { b[p1 + 0x100] = 'X'; }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = *c.base;
    c.edit(bytes);
    const std::string file = Save("hostile", bytes);
    std::vector<std::string> args = {file, tmp_ / "out"};
    std::string message = c.message;
    if (message.empty()) {
      args = {"--partition", "1", file, tmp_ / "out"};
      message = "partition 1 holds no NCCH";
    }
    const RunResult r = Uncairn(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "uncairn: " + file + ": " + message + "\n");
    EXPECT_FALSE(Exists(tmp_ / "out"));
    testkit::RemoveTree(tmp_ / "out");
    // -i says the same, but describes a card whose other partition is no NCCH.
    const RunResult i = Uncairn({"-i", file});
    EXPECT_EQ(i.status, c.message.empty() ? 0 : 1);
    if (!c.message.empty()) {
      EXPECT_EQ(i.err, r.err);
    }
  }
}

// A failing read of the container's headers, or of the encrypted RomFS, or
// a failing write, leaves no partial file and an old one kept.
TEST_F(Containers, EveryFailingCallIsHandled) {
  ctrtest::NcchParts game = Cfa(manual_romfs_);
  game.crypto_flags = 0x01;
  game.encrypt = true;
  ctrtest::CciParts parts;
  parts.partitions = {{0, ctrtest::BuildNcch(game).bytes}};
  const std::string card = Save("card.3ds", ctrtest::BuildCci(parts).bytes);
  testkit::FaultSweep sweep;
  sweep.prepare = [&](const std::string& work) {
    MakeDir(work + "/out");
    WriteFile(work + "/out/index.txt", "an older file, kept");
  };
  sweep.argv = {UNCAIRN_PROGRAM, "-f", card, "out"};
  sweep.calls = {"pread64", "write", "openat", "close", "fstat", "renameat", "unlinkat"};
  testkit::ExpectEveryFailingCallHandled(sweep);
}

}  // namespace
