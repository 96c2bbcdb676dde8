// cairn on a failing disk and under interrupts: one system call made to fail,
// or a signal delivered as it is made, at chosen points of a run.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fault_injection.h"
#include "romfs_reader.h"
#include "test_support.h"
#include "tree_compare.h"

using testkit::ExpectEveryFailingCallHandled;
using testkit::FaultSweep;
using testkit::ListDir;
using testkit::MakeDir;
using testkit::Pattern;
using testkit::ReadBytes;
using testkit::ReadFile;
using testkit::RunOptions;
using testkit::RunProgram;
using testkit::RunResult;
using testkit::TempDir;
using testkit::UnderStrace;
using testkit::WriteFile;

namespace {

const std::string kCairn = CAIRN_PROGRAM;

// in/: files of several blocks, an empty file, nested folders; out.bin: an
// older image that a failed run must leave as it is.
void PrepareTree(const std::string& work) {
  MakeDir(work + "/in");
  WriteFile(work + "/in/a", Pattern(5000, 1));
  WriteFile(work + "/in/empty", "");
  MakeDir(work + "/in/sub");
  WriteFile(work + "/in/sub/b", Pattern(300, 2));
  MakeDir(work + "/in/sub/deeper");
  WriteFile(work + "/in/sub/deeper/c", "c");
  MakeDir(work + "/in/zz");
  WriteFile(work + "/in/zz/d", Pattern(9000, 3));
  WriteFile(work + "/out.bin", "an older image");
}

// A read error while the tree is scanned is not the shape of the tree: the
// folder concerned is reported and left out, the rest packed, status 1.
TEST(CairnFaults, ReadErrorsInTheTreeLeaveTheirFolderOut) {
  TempDir tmp;
  PrepareTree(tmp.path());
  const std::string sub = tmp / "in/sub";
  // Enough entries that the first read of the listing does not return them all.
  for (int i = 0; i < 200; ++i)
    WriteFile(sub + "/" + std::string(150, 'x') + std::to_string(i), "");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-P", sub, "-e", "inject=getdents64:error=EIO:when=2"},
       "[ERROR] Failed to read directory: \"" + sub + "\" (Input/output error)\n"},
      {{"-P", sub + "/b", "-e", "inject=newfstatat:error=EIO"},
       "[ERROR] Failed to read directory: \"" + sub +
           "\" (cannot get the status of \"b\": Input/output error)\n"}};
  for (const auto& [strace_options, message] : cases) {
    SCOPED_TRACE(strace_options[3]);
    const RunResult r =
        RunProgram(UnderStrace(strace_options, {kCairn, tmp / "in", tmp / "out.bin"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, message);
    EXPECT_EQ(r.err, "");
    ImageReader image;
    ASSERT_EQ(image.Load(tmp / "out.bin"), "");
    ExpectedDir expected = ExpectedTree(tmp / "in");
    std::erase_if(expected.dirs, [](const ExpectedDir& d) { return d.name == u"sub"; });
    EXPECT_EQ(CompareWithTree(image, expected), "");
  }
}

// Every sampled call of a run made to fail: a run that ends with status 0
// leaves exactly a clean run's image; any other leaves the older image and
// no temporary file, except that a folder left out on a read error (reported
// on standard output, status 1) leaves a sound image of the rest.
TEST(CairnFaults, EveryFailingCallIsHandled) {
  auto work = std::make_shared<std::string>();
  FaultSweep sweep;
  sweep.argv = {kCairn, "in", "out.bin"};
  sweep.prepare = [work](const std::string& folder) {
    *work = folder;
    PrepareTree(folder);
  };
  sweep.calls = {"read",       "write",  "openat", "close",      "lseek", "fstat",
                 "newfstatat", "rename", "mmap",   "getdents64", "unlink"};
  sweep.may_differ = [work](const RunResult& r, const std::string& path) {
    if (path != "out.bin") return false;
    if (r.out.find("[ERROR] Failed to open directory: ") == std::string::npos &&
        r.out.find("[ERROR] Failed to read directory: ") == std::string::npos) {
      return false;
    }
    ImageReader image;
    return image.Load(*work + "/out.bin").empty();
  };
  ExpectEveryFailingCallHandled(sweep);
}

// An interrupt delivered at any of these calls leaves the older image or
// the whole new one, and never a temporary file.
TEST(CairnFaults, InterruptAtAnyCallLeavesNoTemporaryAndNoPartialImage) {
  FaultSweep sweep;
  sweep.argv = {kCairn, "in", "out.bin"};
  sweep.prepare = PrepareTree;
  sweep.fault = "signal=SIGINT";
  sweep.calls = {"newfstatat", "openat", "write",          "close",
                 "fchmod",     "rename", "rt_sigprocmask", "rt_sigaction"};
  sweep.samples_per_call = 20;
  ExpectEveryFailingCallHandled(sweep);
}

// An output in a folder where no new file may be made is rewritten in
// place: an interrupt then leaves it empty or whole, never partly written.
TEST(CairnFaults, InterruptWhileRewritingInPlaceLeavesNoPartialImage) {
  TempDir tmp;
  PrepareTree(tmp.path());
  // A copy the unprivileged user can reach wherever the build folder lies.
  const std::string cairn = tmp / "cairn";
  WriteFile(cairn, ReadBytes(kCairn));
  chmod(cairn.c_str(), 0755);
  chmod((tmp / "out.bin").c_str(), 0666);
  chmod(tmp.path().c_str(), 0555);
  RunOptions unprivileged;
  unprivileged.unprivileged = true;
  const RunResult clean = RunProgram({cairn, tmp / "in", tmp / "out.bin"}, unprivileged);
  ASSERT_EQ(clean.status, 0) << clean.err;
  const std::string image = ReadFile(tmp / "out.bin");
  ImageReader reader;
  ASSERT_EQ(reader.Load(tmp / "out.bin"), "");

  for (int k = 1; k <= 6; ++k) {
    SCOPED_TRACE("interrupted at write " + std::to_string(k));
    WriteFile(tmp / "out.bin", "an older image");
    const RunResult r =
        RunProgram(UnderStrace({"-e", "inject=write:signal=SIGINT:when=" + std::to_string(k)},
                               {cairn, tmp / "in", tmp / "out.bin"}),
                   unprivileged);
    const std::string left = ReadFile(tmp / "out.bin");
    EXPECT_TRUE(left.empty() || left == image)
        << "status " << r.status << ", " << left.size() << " bytes left";
    EXPECT_EQ(ListDir(tmp.path()), (std::vector<std::string>{"cairn", "in", "out.bin"}));
  }
}

}  // namespace
