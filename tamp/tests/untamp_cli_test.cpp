// The untamp program on real files: naming, options, messages, statuses,
// and that no partial or temporary file is ever left behind.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "fault_injection.h"
#include "support.h"
#include "test_support.h"

namespace {

using support::Bytes;
using Names = std::vector<std::string>;

const std::string kUntamp = UNTAMP_PROGRAM;
const std::string kUsage = "usage: untamp [-c] [-t] [-f] [-o OUT] [-v] FILE...\n";

testkit::RunResult untamp(const std::vector<std::string>& args, const std::string& dir,
                          testkit::RunOptions options = {}) {
  std::vector<std::string> argv = {kUntamp};
  argv.insert(argv.end(), args.begin(), args.end());
  options.cwd = dir;
  return testkit::RunProgram(argv, options);
}

Bytes withMagic(const char* magic, size_t size) {
  Bytes data = support::periodic(support::text("course data "), size);
  std::copy(magic, magic + std::min<size_t>(4, size), data.begin());
  return data;
}

void expectFailure(const testkit::RunResult& r, const std::string& message) {
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, message);
  EXPECT_EQ(r.out, "");
}

TEST(Untamp, NamesOutputsBesideInputsAndKeepsThem) {
  testkit::TempDir dir;
  const Bytes sarc = withMagic("SARC", 3000), u8 = withMagic("\x55\xAA\x38\x2D", 70);
  const Bytes other = withMagic("BNTX", 5000), course = support::text("course");
  testkit::MakeDir(dir / "data");
  testkit::WriteFile(dir / "data/course.bin.yaz0", support::fastEncode(course));
  testkit::WriteFile(dir / "Common.SZS", support::fastEncode(sarc));
  testkit::WriteFile(dir / "menu.szs", support::fastEncode(u8));
  testkit::WriteFile(dir / "tex.szs", support::fastEncode(other));
  testkit::WriteFile(dir / "tiny.szs", support::fastEncode(support::text("SAR")));
  const testkit::RunResult r =
      untamp({"data/course.bin.yaz0", "Common.SZS", "menu.szs", "tex.szs", "tiny.szs"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");  // silent on success
  EXPECT_EQ(testkit::ListDir(dir.path()),
            (Names{"Common.SZS", "Common.sarc", "data", "menu.szs", "menu.u8", "tex.bin", "tex.szs",
                   "tiny.bin", "tiny.szs"}));
  EXPECT_TRUE(testkit::SameBytes(course, testkit::ReadBytes(dir / "data/course.bin")));
  EXPECT_TRUE(testkit::SameBytes(sarc, testkit::ReadBytes(dir / "Common.sarc")));
  EXPECT_TRUE(testkit::SameBytes(u8, testkit::ReadBytes(dir / "menu.u8")));
  EXPECT_TRUE(testkit::SameBytes(other, testkit::ReadBytes(dir / "tex.bin")));
  EXPECT_TRUE(testkit::SameBytes(support::fastEncode(u8), testkit::ReadBytes(dir / "menu.szs")));
  // The mode follows the umask like any new file's.
  struct stat st;
  ASSERT_EQ(stat((dir / "tex.bin").c_str(), &st), 0);
  const mode_t mask = umask(022);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(Untamp, OptionsAndVerboseLines) {
  testkit::TempDir dir;
  support::Rng rng(5);
  const Bytes a = support::shaped(rng, 100000), b = withMagic("SARC", 20);
  Bytes aFile = support::fastEncode(a);
  testkit::WriteFile(dir / "a.yaz0", aFile);
  testkit::WriteFile(dir / "b.szs", support::fastEncode(b));
  const std::string aSizes = std::to_string(aFile.size()) + " -> 100000 bytes";
  const std::string bSizes = std::to_string(support::fastEncode(b).size()) + " -> 20 bytes";

  testkit::RunResult r = untamp({"-v", "a.yaz0", "b.szs"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "a.yaz0: " + aSizes + " (a)\nb.szs: " + bSizes + " (b.sarc)\n");

  // -c: one after the other on standard output; -v still on standard error.
  r = untamp({"-c", "-v", "a.yaz0", "b.szs"}, dir.path());
  EXPECT_EQ(r.status, 0);
  Bytes both = a;
  support::append(both, b);
  EXPECT_TRUE(testkit::SameBytes(both, testkit::AsBytes(r.out)));
  EXPECT_EQ(r.err,
            "a.yaz0: " + aSizes + " (standard output)\nb.szs: " + bSizes + " (standard output)\n");

  // -o into any name; -t checks and writes nothing.
  r = untamp({"-o", "decoded/whole", "-v", "a.yaz0"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "untamp: a.yaz0: cannot write decoded/whole: No such file or directory\n");
  r = untamp({"a.yaz0", "-odecoded"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(testkit::SameBytes(a, testkit::ReadBytes(dir / "decoded")));
  const Names before = testkit::ListDir(dir.path());
  r = untamp({"-tv", "a.yaz0", "b.szs"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "a.yaz0: " + aSizes + " (checked)\nb.szs: " + bSizes + " (checked)\n");
  EXPECT_EQ(testkit::ListDir(dir.path()), before);

  // - reads standard input, with -c, -o or -t (the size counted as read).
  testkit::RunOptions fromFile;
  fromFile.stdin_path = dir / "b.szs";
  r = untamp({"-c", "-"}, dir.path(), fromFile);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(testkit::SameBytes(b, testkit::AsBytes(r.out)));
  r = untamp({"-v", "-o", "from-stdin", "-"}, dir.path(), fromFile);
  EXPECT_EQ(r.err, "standard input: " + bSizes + " (from-stdin)\n");
  EXPECT_TRUE(testkit::SameBytes(b, testkit::ReadBytes(dir / "from-stdin")));
  expectFailure(untamp({"-"}, dir.path(), fromFile),
                "untamp: standard input: no name to name the output after; use -o or -c\n");

  r = untamp({"--help"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, kUsage.size()), kUsage);
  r = untamp({"--version"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, 7), "untamp ");
}

TEST(Untamp, UsageErrors) {
  testkit::TempDir dir;
  testkit::WriteFile(dir / "a.yaz0", support::fastEncode(Bytes(10, 1)));
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "no FILE given"},
      {{"-v"}, "no FILE given"},
      {{"-x", "a.yaz0"}, "unknown option -x"},
      {{"--fast", "a.yaz0"}, "unknown option --fast"},
      {{"a.yaz0", "-o"}, "-o needs a file name"},
      {{"-o", "x", "-o", "y", "a.yaz0"}, "-o given more than once"},
      {{"-o", "x", "a.yaz0", "a.yaz0"}, "-o takes exactly one FILE"},
      {{"-c", "-t", "a.yaz0"}, "-c, -t and -o exclude one another"},
      {{"-t", "-o", "x", "a.yaz0"}, "-c, -t and -o exclude one another"},
      {{"-o", "-", "a.yaz0"}, "-o needs a file name (use -c for standard output)"},
  };
  for (const auto& [args, problem] : cases) {
    const testkit::RunResult r = untamp(args, dir.path());
    EXPECT_EQ(r.status, 2) << problem;
    EXPECT_EQ(r.err, "untamp: " + problem + "\n" + kUsage);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(testkit::ListDir(dir.path()), Names{"a.yaz0"});
}

TEST(Untamp, BadInputsFailAloneAndLeaveNothing) {
  testkit::TempDir dir;
  testkit::WriteFile(dir / "empty.szs", Bytes{});
  testkit::WriteFile(dir / "short.szs", support::text("Yaz0\1\2\3"));
  testkit::WriteFile(dir / "zip.szs", support::text("PK\3\4 rest"));
  testkit::MakeDir(dir / "folder.szs");
  Bytes cut = support::fastEncode(Bytes(300, 0x41));
  cut.resize(21);
  testkit::WriteFile(dir / "cut.szs", cut);
  testkit::WriteFile(dir / "back.yaz0", Bytes{'Y', 'a', 'z', '0', 0, 0,    0,    10,   0,    0,   0,
                                              0,   0,   0,   0,   0, 0xA0, 0x41, 0x60, 0x01, 0x41});
  testkit::WriteFile(dir / "past.yaz0", Bytes{'Y', 'a', 'z', '0', 0, 0,    0,    10,   0,    0,   0,
                                              0,   0,   0,   0,   0, 0xA0, 0x41, 0x80, 0x00, 0x41});
  testkit::WriteFile(dir / "good.yaz0", support::fastEncode(Bytes(50, 7)));
  testkit::WriteFile(dir / "plain.bin", Bytes(50, 7));
  const Names inputs = testkit::ListDir(dir.path());
  const testkit::RunResult r =
      untamp({"empty.szs", "short.szs", "zip.szs", "folder.szs", "missing.szs", "cut.szs",
              "back.yaz0", "past.yaz0", "plain.bin", ".yaz0", "good.yaz0"},
             dir.path());
  expectFailure(
      r,
      "untamp: empty.szs: not Yaz0: empty\n"
      "untamp: short.szs: not Yaz0: 7 bytes, shorter than the 16-byte header\n"
      "untamp: zip.szs: not Yaz0: starts with 50 4b 03 04, not \"Yaz0\"\n"
      "untamp: folder.szs: not Yaz0: a folder\n"
      "untamp: missing.szs: cannot open: No such file or directory\n"
      "untamp: cut.szs: the data ends at offset 21, with 274 of 300 bytes decoded\n"
      "untamp: back.yaz0: at offset 18: a back-reference 2 bytes back from output byte 1 "
      "reaches before the start\n"
      "untamp: past.yaz0: at offset 18: a back-reference of 10 bytes at output byte 1 runs "
      "past the decoded size (10)\n"
      "untamp: plain.bin: unknown suffix (not .yaz0 or .szs); use -o or -c\n"
      "untamp: .yaz0: nothing before the suffix to name the output after; use -o or -c\n");
  Names expected = inputs;
  expected.insert(std::upper_bound(expected.begin(), expected.end(), "good"), "good");
  EXPECT_EQ(testkit::ListDir(dir.path()), expected);  // the good one only
  EXPECT_TRUE(testkit::SameBytes(Bytes(50, 7), testkit::ReadBytes(dir / "good")));

  // With -c nothing of a damaged stream reaches standard output.
  const testkit::RunResult console = untamp({"-c", "cut.szs"}, dir.path());
  expectFailure(console,
                "untamp: cut.szs: the data ends at offset 21, with 274 of 300 bytes decoded\n");
}

TEST(Untamp, UnreadableInput) {
  testkit::TempDir dir;
  testkit::WriteFile(dir / "locked.szs", support::fastEncode(Bytes(10, 1)));
  ASSERT_EQ(chmod((dir / "locked.szs").c_str(), 0), 0);
  testkit::RunOptions options;
  options.unprivileged = true;  // root reads anything
  expectFailure(untamp({"locked.szs"}, dir.path(), options),
                "untamp: locked.szs: cannot open: Permission denied\n");
  EXPECT_EQ(testkit::ListDir(dir.path()), Names{"locked.szs"});
}

TEST(Untamp, ExistingOutputsNeedForce) {
  testkit::TempDir dir;
  const Bytes sarc = withMagic("SARC", 40);
  testkit::WriteFile(dir / "a.yaz0", support::fastEncode(Bytes(10, 1)));
  testkit::WriteFile(dir / "b.szs", support::fastEncode(sarc));
  testkit::WriteFile(dir / "a", support::text("old a"));
  testkit::WriteFile(dir / "b.sarc", support::text("old b"));
  testkit::MakeDir(dir / "c");
  testkit::WriteFile(dir / "c.yaz0", support::fastEncode(Bytes(10, 1)));
  testkit::MakeLink("a", dir / "link");
  expectFailure(untamp({"a.yaz0", "b.szs", "c.yaz0"}, dir.path()),
                "untamp: a.yaz0: a exists; use -f to replace it\n"
                "untamp: b.szs: b.sarc exists; use -f to replace it\n"
                "untamp: c.yaz0: cannot replace c: not a regular file\n");
  EXPECT_EQ(testkit::ReadFile(dir / "a"), "old a");
  EXPECT_EQ(testkit::ReadFile(dir / "b.sarc"), "old b");
  expectFailure(untamp({"-o", "link", "a.yaz0"}, dir.path()),
                "untamp: a.yaz0: link exists; use -f to replace it\n");
  expectFailure(untamp({"-f", "-o", "a.yaz0", "a.yaz0"}, dir.path()),
                "untamp: a.yaz0: a.yaz0 is the input itself\n");
  const Names before = {"a", "a.yaz0", "b.sarc", "b.szs", "c", "c.yaz0", "link"};
  EXPECT_EQ(testkit::ListDir(dir.path()), before);

  const testkit::RunResult r = untamp({"-f", "a.yaz0", "b.szs"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(testkit::SameBytes(Bytes(10, 1), testkit::ReadBytes(dir / "a")));
  EXPECT_TRUE(testkit::SameBytes(sarc, testkit::ReadBytes(dir / "b.sarc")));
  // -f replaces a link itself, not what it points to.
  EXPECT_EQ(untamp({"-f", "-o", "link", "b.szs"}, dir.path()).status, 0);
  EXPECT_TRUE(testkit::SameBytes(Bytes(10, 1), testkit::ReadBytes(dir / "a")));
  EXPECT_TRUE(testkit::SameBytes(sarc, testkit::ReadBytes(dir / "link")));
  EXPECT_EQ(testkit::ListDir(dir.path()), before);
}

TEST(Untamp, FullDiskAndFileSizeLimit) {
  testkit::TempDir dir;
  support::Rng rng(8);
  const Bytes data = support::randomBytes(rng, 3 << 20);
  testkit::WriteFile(dir / "big.yaz0", support::fastEncode(data));
  testkit::RunOptions limited;
  limited.max_file_size = 1 << 20;
  expectFailure(untamp({"big.yaz0"}, dir.path(), limited),
                "untamp: big.yaz0: cannot write big: File too large\n");
  EXPECT_EQ(testkit::ListDir(dir.path()), Names{"big.yaz0"});

  testkit::RunOptions full;
  full.stdout_fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full.stdout_fd, 0);
  const testkit::RunResult r = untamp({"-c", "big.yaz0"}, dir.path(), full);
  close(full.stdout_fd);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "untamp: big.yaz0: cannot write standard output: No space left on device\n");
}

// A declared size of 4 GiB - 1 with a few bytes behind it is refused when
// the data ends, without memory or disk for the declared size.
TEST(Untamp, LargestDeclaredSizeWithAShortStream) {
  testkit::TempDir dir;
  Bytes file = {'Y', 'a', 'z', '0', 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 'A'};
  const Bytes longest = {0x00, 0x00, 0xFF};  // 273 bytes from 1 back
  for (int i = 0; i < 7; ++i) support::append(file, longest);
  for (int group = 0; group < 1000; ++group) {
    file.push_back(0x00);
    for (int i = 0; i < 8; ++i) support::append(file, longest);
  }
  testkit::WriteFile(dir / "huge.szs", file);
  testkit::RunOptions options;
  if (!testkit::BuiltWithSanitizers()) options.max_address_space = 256 << 20;
  const testkit::RunResult r = untamp({"huge.szs"}, dir.path(), options);
  expectFailure(r,
                "untamp: huge.szs: the data ends at offset 25039, with 2185912 of 4294967295 "
                "bytes decoded\n");
  EXPECT_EQ(testkit::ListDir(dir.path()), Names{"huge.szs"});
  if (!testkit::BuiltWithSanitizers()) {
    EXPECT_LT(r.max_rss_kib, 64 * 1024);
  }
}

// An interrupt while the output is being written removes it.
TEST(Untamp, InterruptLeavesNoFile) {
  support::Rng rng(4);
  const Bytes compressed = support::fastEncode(support::shaped(rng, 6 << 20, 4000));
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signalNumber);
    testkit::TempDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    testkit::RunOptions options;
    options.cwd = dir.path();
    options.stdin_path = dir / "pipe";
    testkit::Process process({kUntamp, "-o", "out", "-"}, options);
    const int pipe = open((dir / "pipe").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(pipe, 0);
    // Half the stream: untamp has written a block or more and waits for more.
    const size_t half = compressed.size() / 2;
    ASSERT_EQ(write(pipe, compressed.data(), half), static_cast<ssize_t>(half));
    bool started = false;
    for (int i = 0; i < 500 && !started; ++i) {
      for (const std::string& name : testkit::ListDir(dir.path()))
        started = started || name.rfind(".out.untamp-", 0) == 0;
      if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(started) << "no temporary file appeared";
    process.Signal(signalNumber);
    const testkit::RunResult r = process.Wait(30);
    close(pipe);
    EXPECT_EQ(r.status, 128 + signalNumber);
    EXPECT_EQ(testkit::ListDir(dir.path()), Names{"pipe"});
  }
}

TEST(Untamp, EveryFailingCallHandled) {
  support::Rng rng(9);
  const Bytes a = support::shaped(rng, 3 << 20, 5000), b = withMagic("SARC", 5000);
  testkit::FaultSweep sweep;
  sweep.argv = {kUntamp, "-f", "a.yaz0", "b.szs"};
  sweep.prepare = [&](const std::string& folder) {
    testkit::WriteFile(folder + "/a.yaz0", support::fastEncode(a));
    testkit::WriteFile(folder + "/b.szs", support::fastEncode(b));
    testkit::WriteFile(folder + "/a", support::text("the old a"));
  };
  testkit::ExpectEveryFailingCallHandled(sweep);
}

}  // namespace
