// The program itself on real files: console text, exit statuses, the files
// it leaves.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support.h"
#include "test_support.h"

using support::Bytes;
using support::Rng;

namespace {

const std::string kTamp = TAMP_PROGRAM;

// Runs tamp with the arguments given, in dir.
testkit::RunResult runTamp(const std::vector<std::string>& args, const std::string& dir,
                           testkit::RunOptions options = {}) {
  std::vector<std::string> argv = {kTamp};
  argv.insert(argv.end(), args.begin(), args.end());
  options.cwd = dir;
  return testkit::RunProgram(argv, options);
}

std::string expectedConsole(const std::string& name, const Bytes& src, int total) {
  std::vector<int> shown;
  plain::encode(src.data(), static_cast<int>(src.size()), &shown);
  std::string text =
      "input file size: " + std::to_string(src.size()) + "\nWriting " + name + ".yaz0\n";
  for (int p : shown) {
    char line[16];
    std::snprintf(line, sizeof line, "\r %3d%%", p);
    text += line;
  }
  return text + "\r done\nEncoded " + std::to_string(total) + " bytes from input\n";
}

// Runs tamp on src stored under name and checks everything it does.
void expectCompressed(const Bytes& src, const std::string& name = "input.bin") {
  testkit::TempDir dir;
  testkit::WriteFile(dir / name, src);
  testkit::RunResult r = runTamp({name}, dir.path());
  int total = 0;
  Bytes expected = support::fastEncode(src, &total);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, expectedConsole(name, src, total));
  EXPECT_TRUE(testkit::SameBytes(plain::encode(src.data(), static_cast<int>(src.size())),
                                 testkit::ReadBytes(dir / (name + ".yaz0"))));
  EXPECT_EQ(testkit::ReadBytes(dir / name), src) << "the input must stay as it was";
}

}  // namespace

TEST(Program, WorkedExamples) {
  expectCompressed({});
  expectCompressed(Bytes(10, 0x41));
  expectCompressed(support::text("abbbbabbbabb"));
  expectCompressed(Bytes(300, 0x41));
  expectCompressed({0x00});
}

TEST(Program, ExactConsoleText) {
  testkit::TempDir dir;
  testkit::WriteFile(dir / "ten", Bytes(10, 0x41));
  testkit::RunResult r = runTamp({"ten"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(
      r.out,
      "input file size: 10\nWriting ten.yaz0\n\r  20%\r 100%\r done\nEncoded 5 bytes from input\n");
  EXPECT_TRUE(testkit::SameBytes(Bytes({'Y', 'a', 'z', '0', 0, 0,    0,    10,   0,    0,   0,
                                        0,   0,   0,   0,   0, 0xA0, 0x41, 0x60, 0x00, 0x41}),
                                 testkit::ReadBytes(dir / "ten.yaz0")));

  testkit::WriteFile(dir / "empty", Bytes{});
  r = runTamp({"empty"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "input file size: 0\nWriting empty.yaz0\n\r done\nEncoded 0 bytes from input\n");
  EXPECT_TRUE(testkit::SameBytes(Bytes({'Y', 'a', 'z', '0', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                                 testkit::ReadBytes(dir / "empty.yaz0")));
}

TEST(Program, LargerInputs) {
  Rng rng(5);
  expectCompressed(support::shaped(rng, 150000, 3000), "shaped.dat");
  // More than one block of output, so written in several pieces.
  Bytes big = support::randomBytes(rng, 1300000);
  testkit::TempDir dir;
  testkit::WriteFile(dir / "big", big);
  testkit::RunResult r = runTamp({"big"}, dir.path());
  EXPECT_EQ(r.status, 0);
  Bytes file = testkit::ReadBytes(dir / "big.yaz0");
  EXPECT_EQ(file, support::fastEncode(big));
  EXPECT_EQ(support::decodeYaz0(file), big);
}

// The output goes next to the input, under the path as typed.
TEST(Program, OutputNamedAfterThePathAsTyped) {
  testkit::TempDir dir;
  testkit::MakeDir(dir / "data");
  testkit::WriteFile(dir / "data/course.bin", Bytes(50, 7));
  testkit::RunResult r = runTamp({"data/course.bin", "ignored", "arguments"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Writing data/course.bin.yaz0\n"), std::string::npos);
  EXPECT_TRUE(testkit::Exists(dir / "data/course.bin.yaz0"));

  testkit::WriteFile(dir / "data/course.bin.yaz0", Bytes(5000, 1));  // replaced, not appended to
  r = runTamp({dir / "data/course.bin"}, "/");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(testkit::SameBytes(support::fastEncode(Bytes(50, 7)),
                                 testkit::ReadBytes(dir / "data/course.bin.yaz0")));
}

// No fixed limit on the name: a path far longer than any one file name.
TEST(Program, LongPaths) {
  testkit::TempDir dir;
  std::string path;
  for (int i = 0; i < 12; ++i) {
    path += (path.empty() ? "" : "/") + std::string(60, static_cast<char>('a' + i));
    testkit::MakeDir(dir / path);
  }
  path += "/input";
  testkit::WriteFile(dir / path, Bytes(1000, 3));
  testkit::RunResult r = runTamp({path}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(testkit::SameBytes(support::fastEncode(Bytes(1000, 3)),
                                 testkit::ReadBytes(dir / (path + ".yaz0"))));
}

// A console that goes away while tamp works (its pipe's reader has quit)
// does not cut the file short.
TEST(Program, ConsoleGoesAway) {
  testkit::TempDir dir;
  Rng rng(8);
  Bytes src = support::shaped(rng, 400000, 3000);
  testkit::WriteFile(dir / "in", src);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);  // nobody reads
  testkit::RunOptions console;
  console.stdout_fd = fds[1];
  testkit::RunResult r = runTamp({"in"}, dir.path(), console);
  close(fds[1]);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(testkit::SameBytes(support::fastEncode(src), testkit::ReadBytes(dir / "in.yaz0")));
}

// Interrupted while it writes, the program leaves no cut-off output behind.
// Its console is a pipe with room for the size line only, so it stops, the
// output already created, on the "Writing" line until it is interrupted.
TEST(Program, InterruptedRunLeavesNoOutput) {
  testkit::TempDir dir;
  Rng rng(9);
  testkit::WriteFile(dir / "in", support::shaped(rng, 100000, 3000));
  const std::string sizeLine = "input file size: 100000\n";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int room = fcntl(fds[1], F_SETPIPE_SZ, 4096);
  ASSERT_GE(room, 4096);
  const std::string filler(static_cast<size_t>(room) - sizeLine.size(), '.');
  ASSERT_EQ(write(fds[1], filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
  testkit::RunOptions console;
  console.cwd = dir.path();
  console.stdout_fd = fds[1];
  testkit::Process tamp({kTamp, "in"}, console);
  close(fds[1]);
  // Blocked on the console with the output created.
  auto blocked = [&] {
    std::ifstream stat("/proc/" + std::to_string(tamp.pid()) + "/stat");
    std::string pid, name, state;
    stat >> pid >> name >> state;
    return state == "S";
  };
  for (int i = 0; i < 3000 && !(testkit::Exists(dir / "in.yaz0") && blocked()); ++i) usleep(10000);
  ASSERT_TRUE(testkit::Exists(dir / "in.yaz0"));
  tamp.Signal(SIGINT);
  testkit::RunResult r = tamp.Wait(60);
  close(fds[0]);
  EXPECT_EQ(r.status, 128 + SIGINT);
  EXPECT_FALSE(testkit::Exists(dir / "in.yaz0"));
}

TEST(Program, NoArgumentOrNoInput) {
  testkit::TempDir dir;
  testkit::RunResult r = runTamp({}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");

  r = runTamp({"missing.bin"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(testkit::Exists(dir / "missing.bin.yaz0"));
}

// An output that cannot be created: status 255 after the size line,
// nothing else.
TEST(Program, OutputCannotBeCreated) {
  testkit::TempDir dir;
  testkit::WriteFile(dir / "in", Bytes(100, 1));
  testkit::MakeDir(dir / "in.yaz0");  // a folder is in the way
  testkit::RunResult r = runTamp({"in"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "input file size: 100\n");
  EXPECT_EQ(r.err, "");

  // A name the system refuses: one character too long once ".yaz0" is added.
  long nameMax = pathconf(dir.path().c_str(), _PC_NAME_MAX);
  ASSERT_GT(nameMax, 5);
  std::string name(static_cast<size_t>(nameMax) - 4, 'n');
  testkit::WriteFile(dir / name, Bytes(100, 1));
  r = runTamp({name}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "input file size: 100\n");
  EXPECT_EQ(r.err, "");
}

// A full disk: the failure is reported, the status is not 0, and no result
// line claims the file was written.
TEST(Program, WriteFails) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  testkit::TempDir dir;
  Rng rng(2);
  for (size_t size : {size_t{10}, size_t{3000000}}) {
    Bytes src = support::randomBytes(rng, size);
    testkit::WriteFile(dir / "in", src);
    unlink((dir / "in.yaz0").c_str());
    testkit::MakeLink("/dev/full", dir / "in.yaz0");
    testkit::RunResult r = runTamp({"in"}, dir.path());
    EXPECT_EQ(r.status, 1) << size;
    EXPECT_EQ(r.out.find("Encoded"), std::string::npos) << size;
    EXPECT_EQ(r.out.find("done"), std::string::npos) << size;
    EXPECT_NE(r.err.find("cannot write in.yaz0"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    EXPECT_TRUE(testkit::Exists(dir / "in.yaz0")) << "the link is left alone";
  }
}

// Input that cannot be read whole: its size cannot be taken (a pipe), it
// is a folder, or it is too large for the format.
TEST(Program, UnusableInput) {
  testkit::TempDir dir;
  testkit::WriteFile(dir / "data", Bytes(5000, 9));
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t writer = fork();
  if (writer == 0) {
    close(fds[0]);
    Bytes chunk(5000, 9);
    ssize_t ignored = write(fds[1], chunk.data(), chunk.size());
    (void)ignored;
    _exit(0);
  }
  close(fds[1]);
  testkit::RunOptions fromPipe;
  fromPipe.stdin_path = "/proc/self/fd/" + std::to_string(fds[0]);
  testkit::RunResult r = runTamp({"/dev/stdin"}, dir.path(), fromPipe);
  close(fds[0]);
  waitpid(writer, nullptr, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tamp: cannot take the size of /dev/stdin: not a plain file\n");

  testkit::MakeDir(dir / "folder");
  r = runTamp({"folder"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tamp: cannot read folder: Is a directory\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(testkit::Exists(dir / "folder.yaz0"));

  // A file that holds less than its size says (as files of the kernel's
  // own do): nothing is compressed.
  const std::string shorter = "/sys/devices/system/cpu/online";
  struct stat st;
  if (stat(shorter.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 64) {
    r = runTamp({shorter}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "input file size: " + std::to_string(st.st_size) + "\n");
    EXPECT_EQ(r.err, "tamp: cannot read " + shorter + ": the file is shorter than its size\n");
  }

  // 2 GiB, sparse: refused before anything is read or printed.
  int fd = open((dir / "huge").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t{1} << 31), 0);
  close(fd);
  r = runTamp({"huge"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("2 GiB or more"), std::string::npos) << r.err;
  EXPECT_FALSE(testkit::Exists(dir / "huge.yaz0"));
}
