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

#include "fault_injection.h"
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
  auto permissions = [&] {
    struct stat st;
    EXPECT_EQ(stat((dir / "data/course.bin.yaz0").c_str(), &st), 0);
    return st.st_mode & 07777;
  };
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(permissions(), 0666 & ~mask) << "a new file, as any program makes one";

  testkit::WriteFile(dir / "data/course.bin.yaz0", Bytes(5000, 1));  // replaced, not appended to
  ASSERT_EQ(chmod((dir / "data/course.bin.yaz0").c_str(), 0604), 0);
  r = runTamp({dir / "data/course.bin"}, "/");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(testkit::SameBytes(support::fastEncode(Bytes(50, 7)),
                                 testkit::ReadBytes(dir / "data/course.bin.yaz0")));
  EXPECT_EQ(permissions(), 0604u) << "the old file's permissions";
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

  // An output name as long as the system allows.
  const long nameMax = pathconf(dir.path().c_str(), _PC_NAME_MAX);
  ASSERT_GT(nameMax, 5);
  const std::string longest(static_cast<size_t>(nameMax) - 5, 'n');
  testkit::WriteFile(dir / longest, Bytes(1000, 3));
  r = runTamp({longest}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(testkit::Exists(dir / (longest + ".yaz0")));
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

// Runs tamp on dir/in and interrupts it with SIGINT once the output is
// open: its console is a pipe with room for the size line only, so it stops
// on the "Writing" line, which comes after the output is opened.
testkit::RunResult interruptWhileWriting(const std::string& dir) {
  const std::string sizeLine =
      "input file size: " + std::to_string(testkit::ReadBytes(dir + "/in").size()) + "\n";
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  const int room = fcntl(fds[1], F_SETPIPE_SZ, 4096);
  EXPECT_GE(room, 4096);
  const std::string filler(static_cast<size_t>(room) - sizeLine.size(), '.');
  EXPECT_EQ(write(fds[1], filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
  testkit::RunOptions console;
  console.cwd = dir;
  console.stdout_fd = fds[1];
  testkit::Process tamp({kTamp, "in"}, console);
  close(fds[1]);
  auto blockedOnConsole = [&] {
    std::ifstream wchan("/proc/" + std::to_string(tamp.pid()) + "/wchan");
    std::string where;
    wchan >> where;
    return where.find("pipe_write") != std::string::npos;  // anon_pipe_write on newer kernels
  };
  for (int i = 0; i < 3000 && !blockedOnConsole(); ++i) usleep(10000);
  EXPECT_TRUE(blockedOnConsole());
  tamp.Signal(SIGINT);
  testkit::RunResult r = tamp.Wait(60);
  close(fds[0]);
  return r;
}

// Interrupted while it writes, the program leaves no cut-off output behind,
// and an older output stays as it was.
TEST(Program, InterruptedRunLeavesNoOutput) {
  testkit::TempDir dir;
  Rng rng(9);
  testkit::WriteFile(dir / "in", support::shaped(rng, 100000, 3000));
  testkit::RunResult r = interruptWhileWriting(dir.path());
  EXPECT_EQ(r.status, 128 + SIGINT);
  EXPECT_EQ(testkit::ListDir(dir.path()), std::vector<std::string>{"in"});

  const Bytes old = support::text("an older output");
  testkit::WriteFile(dir / "in.yaz0", old);
  r = interruptWhileWriting(dir.path());
  EXPECT_EQ(r.status, 128 + SIGINT);
  EXPECT_TRUE(testkit::SameBytes(old, testkit::ReadBytes(dir / "in.yaz0")));
  EXPECT_EQ(testkit::ListDir(dir.path()), (std::vector<std::string>{"in", "in.yaz0"}));
}

// An output name that is a symbolic link: the file it leads to is written
// (created when missing), the link stays; interrupted, the link and the
// old file are kept.
TEST(Program, OutputThroughALink) {
  testkit::TempDir dir;
  Rng rng(10);
  const Bytes src = support::shaped(rng, 100000, 3000);
  testkit::WriteFile(dir / "in", src);
  testkit::MakeDir(dir / "store");
  testkit::MakeLink("store/kept.yaz0", dir / "in.yaz0");
  const std::vector<std::string> names = {"in", "in.yaz0", "store"};
  auto isLink = [&] {
    struct stat st;
    return lstat((dir / "in.yaz0").c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  };

  for (bool targetExists : {false, true}) {
    if (targetExists) testkit::WriteFile(dir / "store/kept.yaz0", support::text("old"));
    testkit::RunResult r = runTamp({"in"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(isLink());
    EXPECT_TRUE(
        testkit::SameBytes(support::fastEncode(src), testkit::ReadBytes(dir / "store/kept.yaz0")));
    EXPECT_EQ(testkit::ListDir(dir / "store"), std::vector<std::string>{"kept.yaz0"});
  }

  const Bytes old = support::text("an older output");
  testkit::WriteFile(dir / "store/kept.yaz0", old);
  testkit::RunResult r = interruptWhileWriting(dir.path());
  EXPECT_EQ(r.status, 128 + SIGINT);
  EXPECT_TRUE(isLink());
  EXPECT_TRUE(testkit::SameBytes(old, testkit::ReadBytes(dir / "store/kept.yaz0")));
  EXPECT_EQ(testkit::ListDir(dir / "store"), std::vector<std::string>{"kept.yaz0"});
  EXPECT_EQ(testkit::ListDir(dir.path()), names);
}

// An output that does not fit (here under a file-size limit): the failed
// write is reported rather than ending the program by a signal, and no
// part of the new output is left, nor is an old one lost.
TEST(Program, OutputDoesNotFit) {
  testkit::TempDir dir;
  Rng rng(12);
  testkit::WriteFile(dir / "in", support::randomBytes(rng, 300000));
  testkit::RunOptions limited;
  limited.max_file_size = 100 * 1024;
  for (bool oldOutput : {false, true}) {
    const Bytes old = support::text("an older output");
    if (oldOutput) testkit::WriteFile(dir / "in.yaz0", old);
    testkit::RunResult r = runTamp({"in"}, dir.path(), limited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\ntamp: cannot write in.yaz0: File too large\n");
    EXPECT_EQ(r.out.find("Encoded"), std::string::npos);
    if (oldOutput) {
      EXPECT_TRUE(testkit::SameBytes(old, testkit::ReadBytes(dir / "in.yaz0")));
      EXPECT_EQ(testkit::ListDir(dir.path()), (std::vector<std::string>{"in", "in.yaz0"}));
    } else {
      EXPECT_EQ(testkit::ListDir(dir.path()), std::vector<std::string>{"in"});
    }
  }
}

// An output name that leads to the input itself (a hard or a symbolic
// link) is refused: compressing would destroy the input.
TEST(Program, OutputIsTheInput) {
  Rng rng(13);
  const Bytes src = support::shaped(rng, 20000, 3000);
  for (bool hard : {true, false}) {
    testkit::TempDir dir;
    testkit::WriteFile(dir / "in", src);
    if (hard) {
      ASSERT_EQ(link((dir / "in").c_str(), (dir / "in.yaz0").c_str()), 0);
    } else {
      testkit::MakeLink("in", dir / "in.yaz0");
    }
    testkit::RunResult r = runTamp({"in"}, dir.path());
    EXPECT_EQ(r.status, 1) << hard;
    EXPECT_EQ(r.out, "input file size: 20000\n");
    EXPECT_EQ(r.err, "tamp: cannot write in.yaz0: it is the input file\n");
    EXPECT_TRUE(testkit::SameBytes(src, testkit::ReadBytes(dir / "in"))) << hard;
    EXPECT_EQ(testkit::ListDir(dir.path()), (std::vector<std::string>{"in", "in.yaz0"}));
  }
}

// One system call failing anywhere in a run: either the run succeeds with
// exactly a clean run's output, or it fails leaving the old output as it
// was and nothing else.
TEST(Program, EveryFailingSystemCallIsHandled) {
  Rng rng(14);
  // Several blocks of output, among the progress writes on the console.
  const Bytes src = support::randomBytes(rng, 2300000);
  testkit::FaultSweep sweep;
  sweep.argv = {kTamp, "in"};
  sweep.prepare = [&](const std::string& dir) {
    testkit::WriteFile(dir + "/in", src);
    testkit::WriteFile(dir + "/in.yaz0", support::text("an older output"));
  };
  sweep.samples_per_call = 8;
  testkit::ExpectEveryFailingCallHandled(sweep);
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

// Old outputs and permissions, as an ordinary user: an old output that may
// not be written is not replaced (the output cannot be created); in a
// folder that takes no new files, one that may be written is rewritten in
// place.
TEST(Program, OldOutputsAndPermissions) {
  testkit::TempDir dir;
  const Bytes src = support::text("permissions permissions permissions");
  const Bytes old = support::text("an older output");
  testkit::RunOptions asUser;
  asUser.unprivileged = true;
  for (const char* folder : {"open", "closed"}) {
    testkit::MakeDir(dir / folder);
    testkit::WriteFile(dir / folder + "/in", src);
    testkit::WriteFile(dir / folder + "/in.yaz0", old);
  }
  ASSERT_EQ(chmod((dir / "open").c_str(), 0777), 0);
  ASSERT_EQ(chmod((dir / "open/in.yaz0").c_str(), 0444), 0);
  testkit::RunResult r = runTamp({"in"}, dir / "open", asUser);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "input file size: 35\n");
  EXPECT_TRUE(testkit::SameBytes(old, testkit::ReadBytes(dir / "open/in.yaz0")));
  EXPECT_EQ(testkit::ListDir(dir / "open"), (std::vector<std::string>{"in", "in.yaz0"}));

  ASSERT_EQ(chmod((dir / "closed/in.yaz0").c_str(), 0666), 0);
  ASSERT_EQ(chmod((dir / "closed").c_str(), 0555), 0);
  r = runTamp({"in"}, dir / "closed", asUser);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(
      testkit::SameBytes(support::fastEncode(src), testkit::ReadBytes(dir / "closed/in.yaz0")));
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

  // A FIFO that nobody writes to: refused at once, not waited on.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  testkit::RunOptions patient;
  patient.timeout_seconds = 10;
  r = runTamp({"fifo"}, dir.path(), patient);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tamp: cannot take the size of fifo: not a plain file\n");

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

  // A file that holds more than its size says (the kernel's files of size
  // 0): compressing only what the size says would lose the rest.
  testkit::MakeLink("/proc/self/status", dir / "status");
  r = runTamp({"status"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "input file size: 0\n");
  EXPECT_EQ(r.err, "tamp: cannot read status: the file is longer than its size\n");
  EXPECT_FALSE(testkit::Exists(dir / "status.yaz0"));

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
