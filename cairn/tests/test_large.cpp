// An image larger than 4 GiB, built from a sparse file of more than 4 GiB:
// the file is read whole into its place, every block is written from its own
// position, and offsets past 4 GiB are stored in full. Needs about 5 GiB of
// free disk and 10 GiB of free memory; skipped where they are missing.

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "romfs_reader.h"
#include "test_support.h"
#include "tree_compare.h"

using testkit::MakeDir;
using testkit::Pattern;
using testkit::RunProgram;
using testkit::RunResult;
using testkit::TempDir;
using testkit::WriteFile;

namespace {

const std::string kCairn = CAIRN_PROGRAM;

uint64_t AvailableMemory() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  uint64_t value = 0;
  std::string unit;
  while (in >> key >> value >> unit) {
    if (key == "MemAvailable:") return value * 1024;
  }
  return 0;
}

void Poke(int fd, uint64_t offset, const std::string& bytes) {
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
            static_cast<ssize_t>(bytes.size()));
}

TEST(CairnLarge, ImageOfMoreThanFourGiB) {
  constexpr uint64_t kGiB = uint64_t(1) << 30;
  constexpr uint64_t kBigSize = 4 * kGiB + 3 * 4096 + 7;
  TempDir tmp;
  struct statvfs fs;
  ASSERT_EQ(statvfs(tmp.path().c_str(), &fs), 0);
  if (uint64_t(fs.f_bavail) * fs.f_frsize < kBigSize + kGiB) GTEST_SKIP() << "not enough free disk";
  if (AvailableMemory() < 10 * kGiB) GTEST_SKIP() << "not enough free memory";

  const std::string in = tmp / "in";
  MakeDir(in);
  {
    const int fd = open((in + "/big.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kBigSize)), 0);
    // Marks where a single read call would stop and across 4 GiB.
    Poke(fd, 0, "start");
    Poke(fd, 2 * kGiB - 3, "across two GiB");
    Poke(fd, 0x7FFFF000 - 2, "at the read limit");
    Poke(fd, 4 * kGiB - 5, "across four GiB");
    Poke(fd, kBigSize - 4, "end!");
    close(fd);
  }
  WriteFile(in + "/small", "before the big one or after it");
  MakeDir(in + "/z");
  WriteFile(in + "/z/after", Pattern(5000, 1));  // its contents lie past 4 GiB

  const std::string out = tmp / "out.bin";
  const RunResult r = RunProgram({kCairn, in, out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");

  ImageReader image;
  ASSERT_EQ(image.Load(out), "");
  EXPECT_GT(image.level3_size(), 4 * kGiB);
  const ExpectedDir expected = ExpectedTree(in);
  EXPECT_EQ(CompareWithTree(image, expected), "");
  ASSERT_EQ(image.root().dirs.size(), 1u);
  EXPECT_GT(image.root().dirs[0].files.at(0).data_offset, 4 * kGiB);
}

}  // namespace
