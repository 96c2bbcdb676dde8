// sheaf on a failing disk and under interrupts: each kind of system call
// made to fail, or a signal delivered as it is made, at sampled points of a
// run; a file-size limit; a real interrupt in the middle of a large file.
// No run may leave a partial file or lose one that was there.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "fault_injection.h"
#include "reference.h"
#include "rom_writer.h"
#include "support.h"
#include "test_support.h"

using sheaf_test::SampleTree;
using sheaf_test::Sheaf;
using sheaf_test::WriteTree;
using testkit::ListDir;
using testkit::RunOptions;
using testkit::RunResult;
using testkit::TempDir;
using testkit::WriteFile;

namespace {

const std::string kSheaf = SHEAF_PROGRAM;

// in/: the sample tree; out/: an older extraction to be replaced.
void Prepare(const std::string& work, const std::string& archive) {
  WriteTree(work + "/in", SampleTree());
  WriteFile(work + "/in/big.bin", testkit::Pattern(300000, 7));
  const RunResult r = testkit::RunProgram({kSheaf, "-c", work + "/in", work + "/" + archive});
  if (r.status != 0) throw std::runtime_error(r.err);
  testkit::MakeDir(work + "/out");
  WriteFile(work + "/out/a.txt", "an older file, kept");
}

TEST(Faults, ExtractionWithEachCallFailing) {
  for (const std::string archive : {"x.arc", "x.szs"}) {
    SCOPED_TRACE(archive);
    testkit::FaultSweep sweep;
    sweep.argv = {kSheaf, "-f", archive, "out"};
    sweep.prepare = [&](const std::string& work) {
      Prepare(work, archive == "x.szs" ? "x.u8" : archive);
      if (archive == "x.szs") {
        testkit::RunProgram({kSheaf, "-c", "-F", "u8", work + "/in", work + "/x.szs"});
      }
    };
    sweep.calls = {"read",       "pread64",  "write",     "openat",   "close",           "mkdirat",
                   "newfstatat", "renameat", "renameat2", "unlinkat", "copy_file_range", "fstat"};
    sweep.samples_per_call = 4;
    testkit::ExpectEveryFailingCallHandled(sweep);
  }
}

TEST(Faults, CreationWithEachCallFailing) {
  for (const std::string archive : {"new.sarc", "new.carc"}) {
    SCOPED_TRACE(archive);
    testkit::FaultSweep sweep;
    sweep.argv = {kSheaf, "-c", "-f", "in", archive};
    sweep.prepare = [&](const std::string& work) {
      WriteTree(work + "/in", SampleTree());
      WriteFile(work + "/" + archive, "an older archive");
    };
    sweep.calls = {"read",       "pread64",    "write",          "openat",    "close",
                   "newfstatat", "getdents64", "renameat",       "renameat2", "unlinkat",
                   "fstat",      "fchmod",     "copy_file_range"};
    sweep.samples_per_call = 4;
    testkit::ExpectEveryFailingCallHandled(sweep);
  }
}

// Like an original whose entries share blocks: the files of each block
// are compared with it and with each other before anything is written.
TEST(Faults, CreationLikeSharedBlocksWithEachCallFailing) {
  testkit::FaultSweep sweep;
  sweep.argv = {kSheaf, "-c", "-f", "--like", "shared.arc", "in", "new.arc"};
  sweep.prepare = [](const std::string& work) {
    reference::Tree tree = SampleTree();
    const testkit::Bytes texture = testkit::Pattern(5000, 4);
    for (const char* path : {"t1.bti", "Course/t2.bti", "Course/Deeper/t3.bti"}) {
      tree.files.push_back({path, texture});
    }
    reference::RarcStyle style;
    style.share = true;
    WriteFile(work + "/shared.arc", reference::WriteRarc(tree, style));
    // The first copy in the data changes: the other two keep the block.
    tree.files[tree.files.size() - 3].data = testkit::Pattern(5000, 5);
    WriteTree(work + "/in", tree);
    WriteFile(work + "/new.arc", "an older archive");
  };
  sweep.calls = {"read", "pread64", "write", "openat", "close", "newfstatat", "renameat2", "fstat"};
  sweep.samples_per_call = 4;
  testkit::ExpectEveryFailingCallHandled(sweep);
}

// A DS ROM made like another: parts copied from the original and from DIR,
// the FAT and header made in memory.
TEST(Faults, RomCreationWithEachCallFailing) {
  testkit::FaultSweep sweep;
  sweep.argv = {kSheaf, "-c", "-f", "--like", "game.nds", "in", "new.nds"};
  sweep.prepare = [](const std::string& work) {
    WriteFile(work + "/game.nds", romwriter::WriteRom(romwriter::SampleContent(), {}));
    const RunResult r = testkit::RunProgram({kSheaf, work + "/game.nds", work + "/in"});
    if (r.status != 0) throw std::runtime_error(r.err);
    WriteFile(work + "/in/data/a.txt", testkit::Pattern(5000, 3));
    WriteFile(work + "/new.nds", "an older ROM");
  };
  sweep.calls = {"read", "pread64", "write", "openat", "copy_file_range", "renameat2", "fchmod"};
  sweep.samples_per_call = 4;
  testkit::ExpectEveryFailingCallHandled(sweep);
}

TEST(Faults, InterruptAtAnyCallLeavesNothingPartial) {
  testkit::FaultSweep extract;
  extract.argv = {kSheaf, "-f", "x.narc", "out"};
  extract.prepare = [](const std::string& work) { Prepare(work, "x.narc"); };
  extract.fault = "signal=SIGINT";
  extract.calls = {"openat", "write", "copy_file_range", "renameat2", "mkdirat", "rt_sigprocmask"};
  extract.samples_per_call = 5;
  testkit::ExpectEveryFailingCallHandled(extract);

  testkit::FaultSweep create;
  create.argv = {kSheaf, "-c", "-f", "-F", "sarc", "in", "new.szs"};
  create.prepare = [](const std::string& work) {
    WriteTree(work + "/in", SampleTree());
    WriteFile(work + "/new.szs", "an older archive");
  };
  create.fault = "signal=SIGTERM";
  create.calls = {"openat", "read", "write", "renameat", "rt_sigprocmask"};
  create.samples_per_call = 5;
  testkit::ExpectEveryFailingCallHandled(create);
}

TEST(Faults, FileSizeLimitLeavesNoPartialFile) {
  TempDir tmp;
  WriteTree(tmp / "in", SampleTree());
  WriteFile(tmp / "in/big.bin", testkit::Pattern(100000, 3));
  ASSERT_EQ(Sheaf({"-c", tmp / "in", tmp / "x.u8"}).status, 0);
  RunOptions limited;
  limited.max_file_size = 50000;
  RunResult r = Sheaf({tmp / "x.u8", tmp / "out", "big.bin"}, limited);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "sheaf: " + tmp / "x.u8" + ": cannot write \"big.bin\": File too large\n");
  EXPECT_EQ(ListDir(tmp / "out"), std::vector<std::string>{});
  r = Sheaf({"-c", tmp / "in", tmp / "y.u8"}, limited);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "sheaf: " + tmp / "y.u8" + ": cannot write it: File too large\n");
  EXPECT_EQ(ListDir(tmp.path()), (std::vector<std::string>{"in", "out", "x.u8"}));
}

TEST(Faults, InterruptedExtractionOfALargeFile) {
  TempDir tmp;
  testkit::MakeDir(tmp / "in");
  // Sparse: quick to make, as slow to copy as any other file.
  WriteFile(tmp / "in/huge.bin", "");
  ASSERT_EQ(truncate((tmp / "in/huge.bin").c_str(), 256 << 20), 0);
  ASSERT_EQ(Sheaf({"-c", tmp / "in", tmp / "x.arc"}).status, 0);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    const std::string out = tmp / ("out" + std::to_string(sig));
    testkit::Process run({kSheaf, tmp / "x.arc", out});
    if (!run.WaitForEntryIn(out, 60))
      GTEST_SKIP() << "the extraction ended before it could be interrupted";
    run.Signal(sig);
    const RunResult r = run.Wait(60);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "sheaf: interrupted\n");
    EXPECT_EQ(ListDir(out), std::vector<std::string>{});
  }
}

}  // namespace
