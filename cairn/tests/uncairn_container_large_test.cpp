// uncairn on card images of real sizes: a partition that lies past 4 GiB
// (a sparse file; its offset in media units overflows 32 bits when
// multiplied out), and a dump padded to a 128 MiB card.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ctr_builder.h"
#include "test_support.h"
#include "tree_compare.h"

using testkit::RunProgram;
using testkit::RunResult;

namespace {

class LargeCards : public ::testing::Test {
 protected:
  void SetUp() override {
    testkit::MakeDir(tmp_ / "game");
    MakeGameTree(tmp_ / "game");
    ASSERT_EQ(RunProgram({CAIRN_PROGRAM, tmp_ / "game", tmp_ / "game.romfs"}).status, 0);
    game_.romfs = testkit::ReadBytes(tmp_ / "game.romfs");
    game_.exefs = ctrtest::MakeExefs({{".code", testkit::Pattern(0x800, 1)}});
    game_.exheader = ctrtest::MakeExheader("game");
  }
  void ExpectGame(const std::vector<std::string>& options, const std::string& file) {
    const std::string out = tmp_ / ("out" + std::to_string(++runs_));
    std::vector<std::string> argv = {UNCAIRN_PROGRAM};
    argv.insert(argv.end(), options.begin(), options.end());
    std::vector<std::string> test = argv;
    test.insert(test.end(), {"-t", file});
    RunResult r = RunProgram(test);
    EXPECT_EQ(r.status, 0) << r.err;
    argv.insert(argv.end(), {file, out});
    r = RunProgram(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(FolderDifference(tmp_ / "game", out), "");
  }
  testkit::TempDir tmp_;
  ctrtest::NcchParts game_;
  int runs_ = 0;
};

TEST_F(LargeCards, PartitionPastFourGiB) {
  ctrtest::NcchParts fixed = game_;
  fixed.crypto_flags = 0x01;
  fixed.encrypt = true;
  const ctrtest::Bytes small = ctrtest::BuildNcch(game_).bytes;
  const ctrtest::Bytes far = ctrtest::BuildNcch(fixed).bytes;
  // Partition 1 at 0x800020 units: 0x100004000 bytes, which 32-bit
  // arithmetic would put on partition 0.
  const uint64_t far_offset = 0x100004000;
  ctrtest::Bytes header =
      ctrtest::CciHeader({{0, small.size()}}, uint64_t(8) << 30, small.data(), nullptr);
  ctrtest::Put32(header, 0x128, static_cast<uint32_t>(far_offset / ctrtest::kMediaUnit));
  ctrtest::Put32(header, 0x12C, static_cast<uint32_t>(far.size() / ctrtest::kMediaUnit));
  const std::string file = tmp_ / "far.3ds";
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, header.data(), header.size(), 0), static_cast<ssize_t>(header.size()));
  ASSERT_EQ(pwrite(fd, small.data(), small.size(), 0x4000), static_cast<ssize_t>(small.size()));
  const ssize_t written = pwrite(fd, far.data(), far.size(), static_cast<off_t>(far_offset));
  close(fd);
  if (written != static_cast<ssize_t>(far.size())) GTEST_SKIP() << "no sparse 4 GiB file here";

  const RunResult i = RunProgram({UNCAIRN_PROGRAM, "--partition", "1", "-i", file});
  EXPECT_EQ(i.status, 0) << i.err;
  EXPECT_NE(i.out.find("partition 1: at 0x100004000, " + ctrtest::Hex(far.size()) +
                       " bytes, NCCH\nncch: partition 1\n"),
            std::string::npos)
      << i.out;
  EXPECT_NE(i.out.find("crypto: fixed key\n"), std::string::npos);
  EXPECT_EQ(i.out.find("BAD"), std::string::npos);
  ExpectGame({"--partition", "1"}, file);
  ExpectGame({}, file);
}

TEST_F(LargeCards, DumpPaddedToA128MiBCard) {
  ctrtest::CciParts parts;
  parts.partitions = {{0, ctrtest::BuildNcch(game_).bytes}};
  parts.pad = true;
  const ctrtest::Cci cci = ctrtest::BuildCci(parts);
  ASSERT_EQ(cci.bytes.size(), 128u << 20);
  testkit::WriteFile(tmp_ / "full.3ds", cci.bytes);
  ExpectGame({}, tmp_ / "full.3ds");
}

}  // namespace
