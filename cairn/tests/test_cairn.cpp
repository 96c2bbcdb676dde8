// End-to-end tests: the built cairn runs on folders made here, and its output
// is checked with the independent reader and compared with the folder.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>

#include "romfs_reader.h"
#include "test_support.h"
#include "tree_compare.h"

using testkit::BuiltWithSanitizers;
using testkit::Exists;
using testkit::ListDir;
using testkit::MakeDir;
using testkit::MakeLink;
using testkit::Pattern;
using testkit::ReadFile;
using testkit::RemoveTree;
using testkit::RunningAsRoot;
using testkit::RunOptions;
using testkit::RunProgram;
using testkit::RunResult;
using testkit::TempDir;
using testkit::WriteFile;

namespace {

const std::string kCairn = CAIRN_PROGRAM;

RunResult Cairn(const std::vector<std::string>& args, const RunOptions& options = {}) {
  std::vector<std::string> argv{kCairn};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, options);
}

// Runs cairn on dir, expects success and silence, checks the image and
// compares it with the folder.
void PackAndCheck(const std::string& dir, const std::string& out, ImageReader& image,
                  const std::string& expected_err = "") {
  const RunResult r = Cairn({dir, out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, expected_err);
  ASSERT_EQ(image.Load(out), "");
  EXPECT_EQ(CompareWithTree(image, ExpectedTree(dir)), "");
}

TEST(CairnUsage, FewerThanTwoArgumentsPrintUsage) {
  TempDir tmp;
  const std::string expected = "CTR CAIRN\nusage: " + kCairn + " <romfs dir> <romfs bin>\n";
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{tmp.path()}}) {
    const RunResult r = Cairn(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
  }
  EXPECT_TRUE(ListDir(tmp.path()).empty());
}

TEST(CairnUsage, ArgumentsAfterTheSecondAreIgnored) {
  TempDir tmp;
  MakeDir(tmp / "in");
  WriteFile(tmp / "in/a", "abc");
  const RunResult r = Cairn({tmp / "in", tmp / "out.bin", tmp / "third", "fourth"});
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(Exists(tmp / "third"));
  ImageReader image;
  EXPECT_EQ(image.Load(tmp / "out.bin"), "");
}

// A folder holding the five-byte file a.txt: every byte of the image is known.
TEST(CairnImage, SingleFileImageIsExact) {
  TempDir tmp;
  MakeDir(tmp / "in");
  WriteFile(tmp / "in/a.txt", "hello");
  ImageReader image;
  PackAndCheck(tmp / "in", tmp / "out.bin", image);

  const std::string out = ReadFile(tmp / "out.bin");
  ASSERT_EQ(out.size(), 16384u);
  const uint8_t level3[149] = {
      0x28, 0,    0,    0,    0x28, 0,    0,    0,    0x0c, 0,    0,    0,    0x34, 0,    0,
      0,    0x18, 0,    0,    0,    0x4c, 0,    0,    0,    0x0c, 0,    0,    0,    0x58, 0,
      0,    0,    0x2c, 0,    0,    0,    0x90, 0,    0,    0,    0,    0,    0,    0,    0xff,
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0,    0,    0,    0,    0xff, 0xff, 0xff, 0xff,
      0xff, 0xff, 0xff, 0xff, 0,    0,    0,    0,    0xff, 0xff, 0xff, 0xff, 0,    0,    0,
      0,    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0,    0,    0,    0,    0,    0,
      0,    0,    0xff, 0xff, 0xff, 0xff, 0,    0,    0,    0,    0,    0,    0,    0,    0x05,
      0,    0,    0,    0,    0,    0,    0,    0xff, 0xff, 0xff, 0xff, 0x0a, 0,    0,    0,
      0x61, 0,    0x2e, 0,    0x74, 0,    0x78, 0,    0x74, 0,    0,    0,    0,    0,    0,
      0,    0,    0,    0,    0,    0,    0,    0,    0,    0x68, 0x65, 0x6c, 0x6c, 0x6f};
  EXPECT_EQ(0, memcmp(out.data() + 4096, level3, sizeof(level3)));
  EXPECT_EQ(out.substr(4096 + 149, 4096 - 149), std::string(4096 - 149, '\0'));

  const uint8_t header[92] = {
      0x49, 0x56, 0x46, 0x43, 0,    0, 1,    0, 0x20, 0,    0, 0,    0, 0, 0,    0, 0, 0, 0,
      0,    0x20, 0,    0,    0,    0, 0,    0, 0,    0x0c, 0, 0,    0, 0, 0,    0, 0, 0, 0x10,
      0,    0,    0,    0,    0,    0, 0x20, 0, 0,    0,    0, 0,    0, 0, 0x0c, 0, 0, 0, 0,
      0,    0,    0,    0,    0x20, 0, 0,    0, 0,    0,    0, 0x95, 0, 0, 0,    0, 0, 0, 0,
      0x0c, 0,    0,    0,    0,    0, 0,    0, 0x5c, 0,    0, 0,    0, 0, 0,    0};
  EXPECT_EQ(0, memcmp(out.data(), header, sizeof(header)));
  EXPECT_EQ(image.header_block_size(), 4096u);
  EXPECT_EQ(image.dir_buckets(), 3u);
  EXPECT_EQ(image.file_buckets(), 3u);
}

TEST(CairnImage, TreeWithoutFilesGivesTheHeaderOfAnEmptyImage) {
  TempDir tmp;
  MakeDir(tmp / "empty");
  MakeDir(tmp / "hidden");
  WriteFile(tmp / "hidden/.secret", "not packed");
  MakeDir(tmp / "hidden/.git");
  WriteFile(tmp / "hidden/.git/config", "not packed either");
  MakeDir(tmp / "nested");
  MakeDir(tmp / "nested/a");
  MakeDir(tmp / "nested/a/b");
  MakeDir(tmp / "nested/c");

  std::string expected(4096, '\0');
  const uint8_t header[] = {0x49, 0x56, 0x46, 0x43, 0, 0, 1, 0};
  memcpy(expected.data(), header, sizeof(header));
  for (int i = 0; i < 3; ++i) expected[0x0C + 24 * i + 16] = 12;
  expected[0x54] = 0x5C;
  for (const char* dir : {"empty", "hidden", "nested"}) {
    SCOPED_TRACE(dir);
    const std::string out = tmp / (std::string(dir) + ".bin");
    const RunResult r = Cairn({tmp / dir, out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(ReadFile(out), expected);
    ImageReader image;
    EXPECT_EQ(image.Load(out), "");
  }
}

// Large images are written straight from memory, past the page cache, where
// the file system allows it, and as usual where it does not (tmpfs may
// refuse): either way the file must be whole and exact, and the same.
TEST(CairnImage, LargeImageIsWrittenWhole) {
  TempDir tmp;
  const std::string in = tmp / "in";
  MakeDir(in);
  WriteFile(in + "/a.bin", Pattern(40 << 20, 11));
  MakeDir(in + "/sub");
  WriteFile(in + "/sub/b.bin", Pattern((30 << 20) + 77, 12));
  WriteFile(in + "/sub/tail", "not on a block boundary");

  ImageReader image;
  PackAndCheck(in, tmp / "out.bin", image);
  const std::string written = ReadFile(tmp / "out.bin");

  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0) {
    TempDir shm_out("/dev/shm");
    ImageReader again;
    PackAndCheck(in, shm_out / "out.bin", again);
    EXPECT_TRUE(ReadFile(shm_out / "out.bin") == written);
  }
}

// Hidden entries, empty folders at depth, empty files between others,
// non-ASCII names and a deeper tree: the image must hold exactly the folder.
TEST(CairnImage, RichTreeMatchesTheFolder) {
  TempDir tmp;
  const std::string in = tmp / "in";
  MakeDir(in);
  WriteFile(in + "/.hidden", "x");
  MakeDir(in + "/.hiddendir");
  WriteFile(in + "/.hiddendir/inside", "y");
  MakeGameTree(in);
  WriteFile(in + "/second.bin", Pattern(17, 2));
  WriteFile(in + "/empty2", "");
  MakeDir(in + "/Course/empty");
  MakeDir(in + "/Course/empty/deeper");
  MakeDir(in + "/Course/empty/deeper/deepest");
  std::string path = in;
  for (int depth = 0; depth < 12; ++depth) {
    path += "/d" + std::to_string(depth);
    MakeDir(path);
  }
  WriteFile(path + "/bottom", Pattern(5, 6));

  ImageReader image;
  PackAndCheck(in, tmp / "out.bin", image);
  const ExpectedDir expected = ExpectedTree(in);
  EXPECT_EQ(CountFiles(expected), 11u);
  EXPECT_NE(image.LookupFile(u"Course/\U0001F600.bin"), ImageReader::kNotFound);
  EXPECT_NE(image.LookupFile(u"Course/Kart/\u00e9t\u00e9.txt"), ImageReader::kNotFound);
  EXPECT_NE(image.LookupFile(u"Course/\u65e5\u672c\u8a9e"), ImageReader::kNotFound);
  EXPECT_NE(image.LookupFile(u"only_empty_file/zero"), ImageReader::kNotFound);
  EXPECT_EQ(image.LookupFile(u".hidden"), ImageReader::kNotFound);
  EXPECT_EQ(image.LookupDir(u"Course/empty"), ImageReader::kNotFound);
}

// The layout's worked example on disk; the order is the one the listing gives.
TEST(CairnImage, FourDirectoryTreeOnDisk) {
  TempDir tmp;
  const std::string in = tmp / "in";
  MakeDir(in);
  WriteFile(in + "/a", "abc");
  MakeDir(in + "/d1");
  WriteFile(in + "/d1/x", Pattern(20, 7));
  MakeDir(in + "/d1/e");
  WriteFile(in + "/d1/e/y", "!");
  MakeDir(in + "/d2");
  WriteFile(in + "/d2/z", "");
  ImageReader image;
  PackAndCheck(in, tmp / "out.bin", image);
  // 400 bytes in the order a, d1 (x, e), d2; the listing may give another.
  const ExpectedDir expected = ExpectedTree(in);
  const bool example_order = expected.files[0].name == u"a" && expected.dirs[0].name == u"d1" &&
                             expected.dirs[0].dirs.size() == 1;
  if (example_order) {
    EXPECT_EQ(image.level3_size(), 400u);
  }
  EXPECT_EQ(image.level3_size(), ExpectedLevel3Size(expected));
  EXPECT_EQ(image.dir_buckets(), 5u);
  EXPECT_EQ(image.file_buckets(), 5u);
}

TEST(CairnImage, NamesThatAreNotUtf8) {
  TempDir tmp;
  const std::string in = tmp / "in";
  MakeDir(in);
  WriteFile(in + "/caf\xe9", "latin-1");       // lone 0xE9
  WriteFile(in + "/\xc0\x80x", "overlong");    // C0 80 then x
  WriteFile(in + "/ok\xe2\x82", "truncated");  // truncated three-byte form
  MakeDir(in + "/dir\xff");
  WriteFile(in + "/dir\xff/inner", "in a bad folder");
  ImageReader image;
  const RunResult r = Cairn({in, tmp / "out.bin"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  ASSERT_EQ(image.Load(tmp / "out.bin"), "");
  EXPECT_EQ(CompareWithTree(image, ExpectedTree(in)), "");
  EXPECT_NE(image.LookupFile(u"caf\uFFFD"), ImageReader::kNotFound);
  EXPECT_NE(image.LookupFile(u"\uFFFD\uFFFDx"), ImageReader::kNotFound);
  EXPECT_NE(image.LookupFile(u"ok\uFFFD\uFFFD"), ImageReader::kNotFound);
  EXPECT_NE(image.LookupFile(u"dir\uFFFD/inner"), ImageReader::kNotFound);
  // One warning per such name, on standard error.
  for (const char* name : {"/caf\xe9\"", "/\xc0\x80x\"", "/ok\xe2\x82\"", "/dir\xff\""}) {
    EXPECT_NE(
        r.err.find(
            std::string("[WARNING] Name is not valid UTF-8, its invalid bytes become U+FFFD: \"") +
            in + name),
        std::string::npos)
        << name;
  }
}

TEST(CairnImage, NamesThatBecomeEqualAreReported) {
  TempDir tmp;
  const std::string in = tmp / "in";
  MakeDir(in);
  WriteFile(in + "/a\xfe", "one");
  WriteFile(in + "/a\xff", "two");
  const RunResult r = Cairn({in, tmp / "out.bin"});
  ASSERT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("get the same name in the image; only one of them can be found by name\n"),
            std::string::npos)
      << r.err;
  ImageReader image;
  // Both are packed, but a lookup can reach only one of them.
  EXPECT_NE(image.Load(tmp / "out.bin").find("lookup of file"), std::string::npos);
}

TEST(CairnImage, LinksOfEveryKind) {
  TempDir tmp;
  const std::string in = tmp / "in";
  MakeDir(in);
  MakeDir(tmp / "outside");
  WriteFile(tmp / "outside/data", Pattern(300, 8));
  WriteFile(in + "/real", Pattern(50, 9));
  MakeDir(in + "/sub");
  WriteFile(in + "/sub/leaf", "leaf");
  MakeLink("real", in + "/to_file");                   // relative, to a file
  MakeLink(tmp / "outside/data", in + "/to_outside");  // absolute, to a file
  MakeLink("to_file", in + "/chain");                  // link to a link
  MakeLink(tmp / "outside", in + "/outside_dir");      // to a folder elsewhere
  MakeLink("sub", in + "/sub_again");                  // to a sibling folder
  MakeLink("missing", in + "/dangling");               // dangling: an empty file
  MakeLink("self", in + "/self");                      // a link to itself: an empty file
  MakeLink("..", in + "/sub/up");                      // back to the root
  MakeLink(".", in + "/sub/here");                     // back to its own folder
  MakeLink(in, in + "/sub/root_abs");                  // back to the root, absolute
  MakeLink("/dev/null", in + "/device");               // a device: an empty file

  ImageReader image;
  const RunResult r = Cairn({in, tmp / "out.bin"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  ASSERT_EQ(image.Load(tmp / "out.bin"), "");
  EXPECT_EQ(CompareWithTree(image, ExpectedTree(in)), "");

  // The loops are skipped with a warning each, both when the folder is met
  // directly and when it is met through sub_again.
  for (const std::string& parent : {in + "/sub/", in + "/sub_again/"}) {
    for (const char* link : {"up", "here", "root_abs"}) {
      const std::string line =
          "[WARNING] Skipping \"" + parent + link + "\": it leads back to an enclosing directory\n";
      EXPECT_NE(r.err.find(line), std::string::npos) << line;
    }
  }
  EXPECT_NE(image.LookupFile(u"sub_again/leaf"), ImageReader::kNotFound);
  EXPECT_NE(image.LookupFile(u"outside_dir/data"), ImageReader::kNotFound);
  EXPECT_EQ(image.LookupDir(u"sub/up"), ImageReader::kNotFound);
  for (const char16_t* empty : {u"dangling", u"self", u"device"}) {
    EXPECT_NE(image.LookupFile(empty), ImageReader::kNotFound);
  }
}

// A link to "/" or to any folder holding the tree leads back to the tree
// as surely as a link inside it: followed, it would walk the whole file
// system.
TEST(CairnImage, LinksToFoldersEnclosingTheTreeAreSkipped) {
  TempDir tmp;
  const std::string in = tmp / "in";
  MakeDir(in);
  WriteFile(in + "/a", "a");
  MakeDir(in + "/sub");
  WriteFile(in + "/sub/f", Pattern(40, 15));
  MakeLink("/", in + "/root");
  MakeLink("../..", in + "/sub/up");
  MakeLink(tmp.path(), in + "/sub/tmp_abs");
  RunOptions options;
  options.timeout_seconds = 60;
  const RunResult r = Cairn({in, tmp / "out.bin"}, options);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  for (const char* link : {"/root", "/sub/up", "/sub/tmp_abs"}) {
    const std::string line =
        "[WARNING] Skipping \"" + in + link + "\": it leads back to an enclosing directory\n";
    EXPECT_NE(r.err.find(line), std::string::npos) << line << r.err;
  }
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;
  ImageReader image;
  ASSERT_EQ(image.Load(tmp / "out.bin"), "");
  EXPECT_EQ(CompareWithTree(image, ExpectedTree(in)), "");
  EXPECT_EQ(CountFiles(ExpectedTree(in)), 2u);
}

TEST(CairnImage, RootGivenWithATrailingSlashGivesTheSameImage) {
  TempDir tmp;
  MakeDir(tmp / "in");
  MakeDir(tmp / "in/sub");
  WriteFile(tmp / "in/sub/f", Pattern(100, 10));
  WriteFile(tmp / "in/g", Pattern(10, 11));
  ASSERT_EQ(Cairn({tmp / "in", tmp / "plain.bin"}).status, 0);
  ASSERT_EQ(Cairn({tmp / "in/", tmp / "slash.bin"}).status, 0);
  EXPECT_EQ(ReadFile(tmp / "plain.bin"), ReadFile(tmp / "slash.bin"));
}

// Header 40 + 12 + 24 + 12 + 36 bytes of tables = 124, data at 128: a file of
// 4096 - 128 bytes ends the image on a block boundary, one more byte does not.
TEST(CairnImage, ImageEndingOnABlockBoundaryAndOneByteLater) {
  TempDir tmp;
  for (size_t size : {4096u - 128u, 4096u - 127u, 3 * 4096u - 128u}) {
    SCOPED_TRACE(size);
    const std::string in = tmp / ("in" + std::to_string(size));
    MakeDir(in);
    WriteFile(in + "/f", Pattern(size, 12));
    ImageReader image;
    PackAndCheck(in, in + ".bin", image);
    const uint64_t l3 = 128 + size;
    EXPECT_EQ(image.level3_size(), l3);
    EXPECT_EQ(image.file_size(), 4096 + (l3 + 4095) / 4096 * 4096 + 4096 + 4096);
  }
}

TEST(CairnImage, ManyFilesNeedLargerHashTables) {
  TempDir tmp;
  const std::string in = tmp / "in";
  MakeDir(in);
  for (int d = 0; d < 20; ++d) {
    const std::string dir = in + "/dir" + std::to_string(d);
    MakeDir(dir);
    for (int f = 0; f < 30; ++f)
      WriteFile(dir + "/file" + std::to_string(f), Pattern(f * 37 % 200, d * 100 + f));
  }
  ImageReader image;
  PackAndCheck(in, tmp / "out.bin", image);
  EXPECT_EQ(image.dir_buckets(), 23u);    // 21 directories
  EXPECT_EQ(image.file_buckets(), 601u);  // 600 files
}

TEST(CairnErrors, MissingRoot) {
  TempDir tmp;
  const RunResult r = Cairn({tmp / "missing", tmp / "out.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "[ERROR] Failed to open directory: \"" + (tmp / "missing") + "\"\n");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(Exists(tmp / "out.bin"));
}

// Permission bits do not stop the superuser; run cairn as nobody then.
RunOptions Unprivileged() {
  RunOptions options;
  options.unprivileged = true;
  return options;
}

TEST(CairnErrors, UnreadableRoot) {
  TempDir tmp;
  MakeDir(tmp / "in");
  WriteFile(tmp / "in/f", "x");
  chmod((tmp / "in").c_str(), 0);
  chmod(tmp.path().c_str(), 0777);
  const RunResult r = Cairn({tmp / "in", tmp / "out.bin"}, Unprivileged());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "[ERROR] Failed to open directory: \"" + (tmp / "in") + "\"\n");
  EXPECT_FALSE(Exists(tmp / "out.bin"));
}

// A folder that cannot be opened, and one that can be listed but not
// searched (its entries' status cannot be read), are reported and left out;
// the rest is packed, and the status says that something is missing.
TEST(CairnErrors, UnreadableSubdirectoriesAreReportedAndTheRestIsPacked) {
  TempDir tmp;
  const std::string in = tmp / "in";
  MakeDir(in);
  WriteFile(in + "/kept", "kept");
  MakeDir(in + "/locked");
  WriteFile(in + "/locked/lost", "lost");
  MakeDir(in + "/nosearch");
  WriteFile(in + "/nosearch/real", "not an empty file");
  MakeDir(in + "/open");
  WriteFile(in + "/open/also_kept", "also kept");
  chmod((in + "/locked").c_str(), 0);
  chmod((in + "/nosearch").c_str(), 0644);
  chmod(tmp.path().c_str(), 0777);
  const RunResult r = Cairn({in, tmp / "out.bin"}, Unprivileged());
  EXPECT_EQ(r.status, 1);
  for (const std::string& line :
       {"[ERROR] Failed to open directory: \"" + in + "/locked\"\n",
        "[ERROR] Failed to read directory: \"" + in +
            "/nosearch\" (cannot get the status of \"real\": Permission denied)\n"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
  }
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
  EXPECT_EQ(r.err, "");
  ImageReader image;
  ASSERT_EQ(image.Load(tmp / "out.bin"), "");
  chmod((in + "/nosearch").c_str(), 0755);
  ExpectedDir expected = ExpectedTree(in);
  std::erase_if(expected.dirs,
                [](const ExpectedDir& d) { return d.name == u"locked" || d.name == u"nosearch"; });
  EXPECT_EQ(CompareWithTree(image, expected), "");
  EXPECT_EQ(image.LookupDir(u"locked"), ImageReader::kNotFound);
  EXPECT_EQ(image.LookupFile(u"nosearch/real"), ImageReader::kNotFound);

  // A root that cannot be searched is a root that cannot be read: no image.
  chmod((in + "/open").c_str(), 0644);
  const RunResult root = Cairn({in + "/open", tmp / "open.bin"}, Unprivileged());
  EXPECT_EQ(root.status, 1);
  EXPECT_EQ(root.out, "[ERROR] Failed to read directory: \"" + in +
                          "/open\" (cannot get the status of \"also_kept\": Permission denied)\n");
  EXPECT_FALSE(Exists(tmp / "open.bin"));
}

// Nested names of 200 bytes, 30 deep: the paths pass what the system can
// open. The run stops rather than pack the deep folder as something else.
TEST(CairnErrors, TreeDeeperThanAPathCanNameStopsTheRun) {
  TempDir tmp;
  MakeDir(tmp / "in");
  WriteFile(tmp / "in/top", "top");
  const std::string name(200, 'n');
  int fd = open((tmp / "in").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  std::string path = tmp / "in";
  std::string first_too_long;
  for (int depth = 0; depth < 30; ++depth) {
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
    const int child = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(child, 0);
    fd = child;
    path += "/" + name;
    if (first_too_long.empty() && path.size() >= PATH_MAX) first_too_long = path;
  }
  const int file = openat(fd, "deepest", O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(file, 0);
  ASSERT_EQ(write(file, "deep", 4), 4);
  close(file);
  close(fd);
  ASSERT_FALSE(first_too_long.empty());

  const RunResult r = Cairn({tmp / "in", tmp / "out.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "[ERROR] Path longer than " + std::to_string(PATH_MAX - 1) + " bytes: \"" +
                       first_too_long + "\"\n");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(Exists(tmp / "out.bin"));
}

TEST(CairnErrors, UnreadableFileStopsTheRunAndKeepsTheOldImage) {
  TempDir tmp;
  const std::string in = tmp / "in";
  MakeDir(in);
  WriteFile(in + "/a", "readable");
  WriteFile(in + "/secret", "unreadable");
  WriteFile(in + "/empty_secret", "");
  chmod((in + "/secret").c_str(), 0);
  chmod((in + "/empty_secret").c_str(), 0);
  chmod(tmp.path().c_str(), 0777);
  WriteFile(tmp / "out.bin", "an older image");
  chmod((tmp / "out.bin").c_str(), 0666);
  const RunResult r = Cairn({in, tmp / "out.bin"}, Unprivileged());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "[ERROR] Failed to open file for romfs: " + in + "/secret\n");
  EXPECT_EQ(ReadFile(tmp / "out.bin"), "an older image");
  EXPECT_EQ(ListDir(tmp.path()).size(), 2u);  // in, out.bin: no temporary left

  // An unreadable empty file is never opened.
  chmod((in + "/secret").c_str(), 0644);
  const RunResult ok = Cairn({in, tmp / "out.bin"}, Unprivileged());
  EXPECT_EQ(ok.status, 0) << ok.err;
  ImageReader image;
  EXPECT_EQ(image.Load(tmp / "out.bin"), "");
}

// A file that yields fewer bytes than its size says: kernel attribute files
// report 4096 bytes and yield a few. The run fails instead of packing zeros.
TEST(CairnErrors, FileShorterThanItsSize) {
  const char* candidates[] = {"/sys/kernel/mm/transparent_hugepage/enabled",
                              "/sys/kernel/uevent_seqnum", "/sys/power/state",
                              "/sys/kernel/profiling"};
  std::string source;
  for (const char* c : candidates) {
    struct stat st;
    if (stat(c, &st) == 0 && st.st_size == 4096 && access(c, R_OK) == 0) {
      source = c;
      break;
    }
  }
  if (source.empty()) GTEST_SKIP() << "no kernel attribute file to read here";
  TempDir tmp;
  MakeDir(tmp / "in");
  WriteFile(tmp / "in/a", "a");
  MakeLink(source, tmp / "in/short");
  const RunResult r = Cairn({tmp / "in", tmp / "out.bin"});
  EXPECT_EQ(r.status, 1);
  const std::string prefix =
      "[ERROR] Failed to read file for romfs: " + (tmp / "in/short") + " (it ended after ";
  EXPECT_EQ(r.err.substr(0, prefix.size()), prefix) << r.err;
  EXPECT_EQ(r.err.substr(r.err.size() - 16), " of 4096 bytes)\n") << r.err;
  EXPECT_FALSE(Exists(tmp / "out.bin"));
}

TEST(CairnOutput, FullDeviceIsAnError) {
  TempDir tmp;
  MakeDir(tmp / "in");
  WriteFile(tmp / "in/f", Pattern(10000, 13));
  const RunResult r = Cairn({tmp / "in", "/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "[ERROR] Failed to write output file: \"/dev/full\" (No space left on device)\n");
  struct stat st;
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(CairnOutput, WriteFailureLeavesTheOldImageAndNoTemporary) {
  TempDir tmp;
  MakeDir(tmp / "in");
  WriteFile(tmp / "in/f", Pattern(100000, 14));
  MakeDir(tmp / "out");
  WriteFile(tmp / "out/image.bin", "the old image");
  RunOptions limited;
  limited.max_file_size = 50000;  // the write fails as on a full disk
  const RunResult r = Cairn({tmp / "in", tmp / "out/image.bin"}, limited);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "[ERROR] Failed to write output file: \"" + (tmp / "out/image.bin") +
                       "\" (File too large)\n");
  EXPECT_EQ(ReadFile(tmp / "out/image.bin"), "the old image");
  EXPECT_EQ(ListDir(tmp / "out"), std::vector<std::string>{"image.bin"});

  const RunResult fresh = Cairn({tmp / "in", tmp / "out/new.bin"}, limited);
  EXPECT_EQ(fresh.status, 1);
  EXPECT_EQ(ListDir(tmp / "out"), std::vector<std::string>{"image.bin"});
}

TEST(CairnOutput, OutputThatCannotBeCreated) {
  TempDir tmp;
  MakeDir(tmp / "in");
  WriteFile(tmp / "in/f", "x");
  RunResult r = Cairn({tmp / "in", tmp / "no/such/dir/out.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "[ERROR] Failed to create output file: \"" + (tmp / "no/such/dir/out.bin") +
                       "\" (No such file or directory)\n");
  r = Cairn({tmp / "in", tmp.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "[ERROR] Failed to create output file: \"" + tmp.path() + "\" (Is a directory)\n");
}

TEST(CairnOutput, ExistingImageIsReplacedNotAppendedTo) {
  TempDir tmp;
  MakeDir(tmp / "in");
  WriteFile(tmp / "in/f", "content");
  WriteFile(tmp / "out.bin", std::string(100000, 'J'));
  chmod((tmp / "out.bin").c_str(), 0640);
  ImageReader image;
  PackAndCheck(tmp / "in", tmp / "out.bin", image);
  EXPECT_EQ(image.file_size(), 16384u);
  struct stat st;
  ASSERT_EQ(stat((tmp / "out.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ListDir(tmp.path()).size(), 2u);
}

TEST(CairnOutput, NewImageGetsTheUsualPermissions) {
  TempDir tmp;
  MakeDir(tmp / "in");
  WriteFile(tmp / "in/f", "content");
  const mode_t mask = umask(022);
  const RunResult r = Cairn({tmp / "in", tmp / "out.bin"});
  umask(mask);
  ASSERT_EQ(r.status, 0);
  struct stat st;
  ASSERT_EQ(stat((tmp / "out.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(CairnOutput, OutputThroughALinkReplacesTheLinkedFile) {
  TempDir tmp;
  MakeDir(tmp / "in");
  WriteFile(tmp / "in/f", "content");
  MakeDir(tmp / "store");
  WriteFile(tmp / "store/real.bin", "old");
  MakeLink(tmp / "store/real.bin", tmp / "link.bin");
  // Dangling links: the image is made where they point.
  MakeLink("store/new.bin", tmp / "dangling.bin");
  MakeLink("dangling.bin", tmp / "chain.bin");
  MakeLink(tmp / "store/chained.bin", tmp / "store/dangling.bin");
  for (const auto& [link, target] :
       std::vector<std::pair<std::string, std::string>>{{"link.bin", "real.bin"},
                                                        {"dangling.bin", "new.bin"},
                                                        {"store/dangling.bin", "chained.bin"}}) {
    SCOPED_TRACE(link);
    const RunResult r = Cairn({tmp / "in", tmp / link});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    struct stat st;
    ASSERT_EQ(lstat((tmp / link).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ImageReader image;
    EXPECT_EQ(image.Load(tmp / ("store/" + target)), "");
  }
  RemoveTree(tmp / "store/new.bin");
  ASSERT_EQ(Cairn({tmp / "in", tmp / "chain.bin"}).status, 0);
  ImageReader image;
  EXPECT_EQ(image.Load(tmp / "store/new.bin"), "");
  EXPECT_EQ(ListDir(tmp / "store"),
            (std::vector<std::string>{"chained.bin", "dangling.bin", "new.bin", "real.bin"}));
  EXPECT_EQ(ListDir(tmp.path()),
            (std::vector<std::string>{"chain.bin", "dangling.bin", "in", "link.bin", "store"}));
}

// The image would need terabytes: the allocation fails and is reported.
TEST(CairnErrors, MemoryExhaustionIsAnError) {
  TempDir tmp;
  MakeDir(tmp / "in");
  const std::string huge = tmp / "in/huge";
  {
    const int fd = open(huge.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const bool sparse = ftruncate(fd, off_t(1) << 43) == 0;  // 8 TiB, no blocks used
    close(fd);
    if (!sparse) GTEST_SKIP() << "this file system does not take an 8 TiB sparse file";
  }
  RunOptions options;
  if (BuiltWithSanitizers()) {
    const char* asan = getenv("ASAN_OPTIONS");
    options.env.push_back(std::string("ASAN_OPTIONS=") +
                          (asan != nullptr ? std::string(asan) + ":" : "") +
                          "allocator_may_return_null=1");
  } else {
    options.max_address_space = uint64_t(2) << 30;
  }
  const RunResult r = Cairn({tmp / "in", tmp / "out.bin"}, options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  // 128 bytes of header and tables before the file's data.
  const std::string size = std::to_string((uint64_t(1) << 43) + 128);
  EXPECT_NE(r.err.find("[ERROR] Failed to allocate " + size + " bytes for the romfs image\n"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(Exists(tmp / "out.bin"));
}

}  // namespace
