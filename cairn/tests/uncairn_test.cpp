// End-to-end tests of uncairn on images that cairn makes here: round trips,
// the listing and verification, and damaged and hostile images, edited and
// given fresh digests so that the structure checks must catch them.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ByteBuffer.h"
#include "fault_injection.h"
#include "ivfc.h"
#include "oschar.h"
#include "romfs_reader.h"
#include "test_support.h"
#include "tree_compare.h"

using testkit::Bytes;
using testkit::Exists;
using testkit::ListDir;
using testkit::MakeDir;
using testkit::MakeLink;
using testkit::Pattern;
using testkit::ReadBytes;
using testkit::ReadFile;
using testkit::RunOptions;
using testkit::RunProgram;
using testkit::RunResult;
using testkit::TempDir;
using testkit::WriteFile;

namespace {

RunResult Uncairn(const std::vector<std::string>& args, const RunOptions& options = {}) {
  std::vector<std::string> argv{UNCAIRN_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions bounded = options;
  bounded.timeout_seconds = 120;  // a hostile image must not make it hang
  return RunProgram(argv, bounded);
}

void Pack(const std::string& dir, const std::string& image) {
  const RunResult r = RunProgram({CAIRN_PROGRAM, dir, image});
  ASSERT_EQ(r.status, 0) << r.err;
}

// An image file cairn made, for editing: level-3 bytes are changed in place
// and the digests of every level computed afresh.
class ImageEdit {
 public:
  explicit ImageEdit(const std::string& path) : bytes_(ReadBytes(path)) {
    EXPECT_EQ(reader_.Load(path), "");
    size_ = get_le64(bytes_.data() + 0x3C + 8);
  }
  const ImageDir& root() const { return reader_.root(); }
  uint8_t* level3() { return bytes_.data() + 4096; }
  uint8_t* table(int section) { return level3() + get_le32(level3() + 4 + 8 * section); }
  uint8_t* dir_node(uint32_t offset) { return table(1) + offset; }
  uint8_t* file_node(uint32_t offset) { return table(3) + offset; }
  uint8_t* data(uint64_t offset) { return level3() + get_le32(level3() + 36) + offset; }
  uint8_t* level(int i) { return level3() + align(size_, 4096) + (i == 0 ? 0 : 4096); }
  Bytes& bytes() { return bytes_; }

  // Sets the name of a node (name field at fixed) to UTF-16 text.
  void SetName(uint8_t* node, uint32_t fixed, const std::u16string& name) {
    put_le32(node + fixed - 4, static_cast<uint32_t>(2 * name.size()));
    for (size_t i = 0; i < name.size(); ++i) put_le16(node + fixed + 2 * i, name[i]);
  }
  void Rehash() {
    Ivfc ivfc;
    ASSERT_EQ(ivfc.CreateIvfcHashTree(level3(), size_), 0);
    ASSERT_EQ(ivfc.level0_size(), 4096u);
    ASSERT_EQ(ivfc.level1_size(), 4096u);
    memcpy(bytes_.data(), ivfc.header_blob(), 4096);
    memcpy(level(0), ivfc.level0_blob(), 4096);
    memcpy(level(1), ivfc.level1_blob(), 4096);
  }
  void Save(const std::string& path) { testkit::WriteFile(path, bytes_); }

 private:
  ImageReader reader_;
  Bytes bytes_;
  uint64_t size_ = 0;
};

// A root holding big.bin (20000 bytes) and dir/beta.txt ("beta"): the root's
// files come first, so the data order is known. Metadata takes 224 bytes,
// level 3 is 20228 bytes (5 blocks), the image file 32768.
class UncairnSmallImage : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDir(tmp_ / "in");
    WriteFile(tmp_ / "in/big.bin", Pattern(20000, 1));
    MakeDir(tmp_ / "in/dir");
    WriteFile(tmp_ / "in/dir/beta.txt", "beta");
    Pack(tmp_ / "in", image_);
    ASSERT_EQ(ReadBytes(image_).size(), 32768u);
  }
  // Extracts the edited image into a fresh folder "out" beside a "trap".
  RunResult ExtractEdited(ImageEdit& edit, bool rehash = true) {
    if (rehash) edit.Rehash();
    edit.Save(image_);
    MakeDir(tmp_ / "trap");
    return Uncairn({image_, tmp_ / "trap/out"});
  }
  const uint32_t beta_node = 48;  // after big.bin's 48-byte node
  const uint32_t dir_node = 24;   // after the root's
  TempDir tmp_;
  const std::string image_ = tmp_ / "image.romfs";
  const std::string prefix_ = "uncairn: " + image_ + ": ";
};

TEST(UncairnRoundTrip, TreesComeBackAsTheyWere) {
  TempDir tmp;
  const std::string in = tmp / "in";
  MakeDir(in);
  MakeGameTree(in);
  Pack(in, tmp / "rich.romfs");
  // Images that end on a block boundary (128 bytes of metadata) and one byte past it.
  for (size_t size : {4096u - 128u, 4096u - 127u}) {
    const std::string dir = tmp / ("edge" + std::to_string(size));
    MakeDir(dir);
    WriteFile(dir + "/f", Pattern(size, 12));
    Pack(dir, dir + ".romfs");
  }
  for (const char* name : {"rich", "edge3968", "edge3969"}) {
    SCOPED_TRACE(name);
    const std::string image = tmp / (std::string(name) + ".romfs");
    const std::string source = std::string(name) == "rich" ? in : tmp / name;
    const std::string out = tmp / (std::string(name) + ".out");
    const RunResult r = Uncairn({"-v", image, out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(FolderDifference(source, out), "");
    EXPECT_EQ(Uncairn({"-t", image}).status, 0);
    // -v names every file once, as -l does.
    std::vector<std::string> written, listed;
    for (size_t p = 0, n; (n = r.out.find('\n', p)) != std::string::npos; p = n + 1) {
      written.push_back(r.out.substr(p, n - p));
    }
    const std::string listing = Uncairn({"-l", image}).out;
    for (size_t p = 0, n; (n = listing.find('\n', p)) != std::string::npos; p = n + 1) {
      listed.push_back(listing.substr(listing.find('\t', p) + 1, n - listing.find('\t', p) - 1));
    }
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, listed);
  }
}

TEST(UncairnRoundTrip, ImageWithoutFiles) {
  TempDir tmp;
  MakeDir(tmp / "in");
  MakeDir(tmp / "in/empty_folder");
  Pack(tmp / "in", tmp / "image");
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-l", tmp / "image"},
                                               {"-t", tmp / "image"},
                                               {tmp / "image", tmp / "a/b/out"}}) {
    const RunResult r = Uncairn(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
  }
  EXPECT_TRUE(ListDir(tmp / "a/b/out").empty());
}

TEST(UncairnList, SizesAndPathsInBytewiseOrder) {
  TempDir tmp;
  MakeDir(tmp / "in");
  WriteFile(tmp / "in/a.txt", "hello");
  MakeDir(tmp / "in/a");
  WriteFile(tmp / "in/a/b", "1");
  WriteFile(tmp / "in/Z", "2");
  WriteFile(tmp / "in/empty", "");
  MakeDir(tmp /
          "in/\xc3\x9c"
          "ber");  // Über
  WriteFile(tmp /
                "in/\xc3\x9c"
                "ber/\xe6\x97\xa5\xe6\x9c\xac.txt",
            Pattern(70000, 2));
  Pack(tmp / "in", tmp / "image");
  const RunResult r = Uncairn({"-l", tmp / "image"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "1\tZ\n5\ta.txt\n1\ta/b\n0\tempty\n70000\t\xc3\x9c"
            "ber/\xe6\x97\xa5\xe6\x9c\xac.txt\n");
  const RunResult t = Uncairn({"-t", tmp / "image"});
  EXPECT_EQ(t.status, 0);
  EXPECT_EQ(t.out + t.err, "");
}

TEST(UncairnUsage, UsageErrorsHelpAndVersion) {
  TempDir tmp;
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"image"},
                                               {"-l"},
                                               {"-t", "a", "b"},
                                               {"-l", "-t", "a"},
                                               {"-x", "a", "b"},
                                               {"--all", "a", "b"},
                                               {"-lv", "a"},
                                               {"-f", "-t", "a"}}) {
    const RunResult r = Uncairn(args);
    EXPECT_EQ(r.status, 2) << args.size();
    EXPECT_EQ(r.out, "");
    EXPECT_NE(
        r.err.find("\nusage: uncairn [-f] [-v] [--partition N | --content N] IMAGE DIR [PATH...]"),
        std::string::npos)
        << r.err;
  }
  const RunResult help = Uncairn({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind(
                "usage: uncairn [-f] [-v] [--partition N | --content N] IMAGE DIR [PATH...]", 0),
            0u);
  EXPECT_EQ(Uncairn({"--version"}).out, "uncairn 1.0\n");
  const RunResult missing = Uncairn({"-t", tmp / "missing"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err,
            "uncairn: " + (tmp / "missing") + ": cannot open: No such file or directory\n");
}

TEST_F(UncairnSmallImage, ExistingFilesAreKeptWithoutDashF) {
  const std::string out = tmp_ / "out";
  MakeDir(out);
  WriteFile(out + "/big.bin", "old");
  RunResult r = Uncairn({image_, out});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix_ + "\"big.bin\" exists; it is not replaced (-f replaces it)\n");
  EXPECT_EQ(ReadFile(out + "/big.bin"), "old");
  EXPECT_EQ(ReadFile(out + "/dir/beta.txt"), "beta");
  r = Uncairn({"-f", image_, out});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(FolderDifference(tmp_ / "in", out), "");

  // A folder where a file goes stays, even with -f; a file where a folder
  // goes is replaced only with -f.
  testkit::RemoveTree(out);
  MakeDir(out);
  MakeDir(out + "/big.bin");
  WriteFile(out + "/big.bin/keep", "mine");
  WriteFile(out + "/dir", "a file");
  r = Uncairn({image_, out});
  EXPECT_EQ(r.err, prefix_ + "cannot extract \"big.bin\": a folder of that name is in the way\n" +
                       prefix_ +
                       "cannot make the folder \"dir\": a file of that name is in the way (-f "
                       "replaces it)\n");
  r = Uncairn({"-f", image_, out});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix_ + "cannot extract \"big.bin\": a folder of that name is in the way\n");
  EXPECT_EQ(ReadFile(out + "/big.bin/keep"), "mine");
  EXPECT_EQ(ReadFile(out + "/dir/beta.txt"), "beta");
}

TEST_F(UncairnSmallImage, LinksInsideTheFolderAreNeverFollowed) {
  const std::string out = tmp_ / "out";
  MakeDir(out);
  MakeDir(tmp_ / "elsewhere");
  WriteFile(tmp_ / "elsewhere/big.bin", "theirs");
  MakeLink(tmp_ / "elsewhere", out + "/dir");
  MakeLink(tmp_ / "elsewhere/big.bin", out + "/big.bin");
  RunResult r = Uncairn({image_, out});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix_ + "\"big.bin\" exists; it is not replaced (-f replaces it)\n" + prefix_ +
                       "cannot make the folder \"dir\": a symbolic link of that name is in the "
                       "way (-f replaces it)\n");
  r = Uncairn({"-f", image_, out});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(FolderDifference(tmp_ / "in", out), "");
  EXPECT_EQ(ListDir(tmp_ / "elsewhere"), std::vector<std::string>{"big.bin"});
  EXPECT_EQ(ReadFile(tmp_ / "elsewhere/big.bin"), "theirs");
}

TEST_F(UncairnSmallImage, OnlyTheFilesAndFoldersAskedFor) {
  RunResult r = Uncairn({image_, tmp_ / "one", "dir/beta.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ListDir(tmp_ / "one"), std::vector<std::string>{"dir"});
  EXPECT_EQ(ListDir(tmp_ / "one/dir"), std::vector<std::string>{"beta.txt"});
  // Leading, trailing and doubled slashes are taken as -l would print the path.
  r = Uncairn({image_, tmp_ / "two", "/dir/", "./big.bin", "missing", "dir//beta.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix_ + "\"missing\" is not in the image\n");
  EXPECT_EQ(FolderDifference(tmp_ / "in", tmp_ / "two"), "");
  r = Uncairn({image_, tmp_ / "three", "dir/../big.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ListDir(tmp_ / "three"), std::vector<std::string>{});
}

TEST_F(UncairnSmallImage, WrongDigestsNameTheBlockAndItsFiles) {
  const std::string files = "\"big.bin\", \"dir/beta.txt\"";
  struct Case {
    const char* what;
    int level;  // 3 for the level-3 image, 2 for the master hash
    std::string message;
  } cases[] = {
      {"data", 3, "wrong digest of level-3 block 4 (bytes 16384 to 20227); it holds " + files},
      {"level 1", 1,
       "wrong digest of hash level 1 block 0 (covering level-3 bytes 0 to 20227); they hold the "
       "RomFS metadata and " +
           files},
      {"level 0", 0,
       "wrong digest of hash level 0 block 0 (covering level-3 bytes 0 to 20227); they hold the "
       "RomFS metadata and " +
           files},
      {"master hash", 2,
       "wrong digest of hash level 0 block 0 (covering level-3 bytes 0 to 20227); they hold the "
       "RomFS metadata and " +
           files},
  };
  const Bytes pristine = ReadBytes(image_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageEdit edit(image_);
    uint8_t* byte = c.level == 3   ? edit.data(20000)
                    : c.level == 2 ? edit.bytes().data() + 96
                                   : edit.level(c.level) + 5;
    *byte ^= 0x40;
    edit.Save(image_);
    const RunResult t = Uncairn({"-t", image_});
    EXPECT_EQ(t.status, 1);
    EXPECT_EQ(t.err, prefix_ + c.message + "\n");
    // The files are written all the same.
    testkit::RemoveTree(tmp_ / "trap");
    const RunResult x = ExtractEdited(edit, false);
    EXPECT_EQ(x.status, 1);
    EXPECT_EQ(x.err, prefix_ + c.message + "\n");
    EXPECT_EQ(ReadFile(tmp_ / "trap/out/big.bin"), ReadFile(tmp_ / "in/big.bin"));
    EXPECT_EQ(ReadFile(tmp_ / "trap/out/dir/beta.txt"), c.level == 3 ? "\"eta" : "beta");
    testkit::WriteFile(image_, pristine);
    testkit::RemoveTree(tmp_ / "trap");
  }

  ImageEdit edit(image_);
  edit.bytes()[0] = 'X';
  edit.Save(image_);
  const RunResult header = Uncairn({"-l", image_});
  EXPECT_EQ(header.status, 1);
  EXPECT_EQ(header.err, prefix_ + "damaged IVFC header: it does not begin with \"IVFC\"\n");
  edit.bytes()[0] = 'I';
  put_le64(edit.bytes().data() + 0x24 + 8, 64);  // hash level 1's size
  edit.Save(image_);
  EXPECT_EQ(Uncairn({"-t", image_}).err,
            prefix_ +
                "damaged IVFC header: hash level 1 is 64 bytes long; 160 are needed for the "
                "digests of level 3\n");
}

// Structure faults, each with fresh digests: a message, status 1, the rest
// extracted, nothing written outside the folder.
TEST_F(UncairnSmallImage, DamagedStructureIsCaughtWithoutTheDigests) {
  struct Case {
    const char* what;
    std::function<void(ImageEdit&)> edit;
    std::string message;
    bool beta_extracted;
  } cases[] = {
      {"a section outside level 3", [](ImageEdit& e) { put_le32(e.level3() + 28, 30000); },
       "damaged RomFS header: the file table (96 bytes at 30000) lies outside the 20228-byte "
       "level 3",
       false},
      {"data outside level 3", [&](ImageEdit& e) { put_le64(e.file_node(beta_node) + 8, 30000); },
       "damaged RomFS: the data of \"dir/beta.txt\" (4 bytes at 30000 in the file data) lies "
       "outside the 20228-byte level 3",
       false},
      {"a name past its table", [&](ImageEdit& e) { put_le32(e.file_node(beta_node) + 28, 1000); },
       "damaged RomFS: the first file of \"dir\" is at 48 in the file table: its name of 1000 "
       "bytes runs past the end of the table",
       false},
      {"a folder that is its own sibling",
       [&](ImageEdit& e) { put_le32(e.dir_node(dir_node) + 4, dir_node); },
       "damaged RomFS: the folder after \"dir\" is at 24 in the directory table, a folder met "
       "before: the folders run in a circle",
       true},
      {"a child that is the root", [&](ImageEdit& e) { put_le32(e.dir_node(dir_node) + 8, 0); },
       "damaged RomFS: the first folder in \"dir\" is at 0 in the directory table, a folder met "
       "before: the folders run in a circle",
       true},
      {"a file that is its own sibling",
       [&](ImageEdit& e) { put_le32(e.file_node(beta_node) + 4, beta_node); },
       "damaged RomFS: the file after \"dir/beta.txt\" is at 48 in the file table, a file met "
       "before: the chain of files runs in a circle",
       true},
      {"a file named ..", [&](ImageEdit& e) { e.SetName(e.file_node(beta_node), 32, u".."); },
       "skipping \"dir/..\": a name must not be \".\" or \"..\"", false},
      {"a folder named ..", [&](ImageEdit& e) { e.SetName(e.dir_node(dir_node), 24, u".."); },
       "skipping \"..\": a name must not be \".\" or \"..\"", false},
      {"a file named .", [&](ImageEdit& e) { e.SetName(e.file_node(beta_node), 32, u"."); },
       "skipping \"dir/.\": a name must not be \".\" or \"..\"", false},
      {"an empty name", [&](ImageEdit& e) { e.SetName(e.file_node(beta_node), 32, u""); },
       "skipping a file with an empty name in \"dir\"", false},
      {"a slash in a name", [&](ImageEdit& e) { e.SetName(e.dir_node(dir_node), 24, u"../x"); },
       "skipping \"../x\": a name must not hold NUL or \"/\"", false},
      {"a NUL in a name",
       [&](ImageEdit& e) { e.SetName(e.file_node(beta_node), 32, std::u16string(u"be\0a", 4)); },
       "skipping \"dir/be\\0a\": a name must not hold NUL or \"/\"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes pristine = ReadBytes(image_);
    ImageEdit edit(image_);
    c.edit(edit);
    const RunResult r = ExtractEdited(edit);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, prefix_ + c.message + "\n");
    // Nothing is written beside the folder; with a damaged header, nothing at all.
    if (r.err.find("header") == std::string::npos) {
      EXPECT_EQ(ListDir(tmp_ / "trap"), std::vector<std::string>{"out"});
      EXPECT_EQ(ReadFile(tmp_ / "trap/out/big.bin"), ReadFile(tmp_ / "in/big.bin"));
    } else {
      EXPECT_EQ(ListDir(tmp_ / "trap"), std::vector<std::string>{});
    }
    EXPECT_EQ(Exists(tmp_ / "trap/out/dir/beta.txt"), c.beta_extracted);
    const RunResult t = Uncairn({"-t", image_});
    EXPECT_EQ(t.status, 1);
    EXPECT_EQ(t.err, r.err);
    testkit::RemoveTree(tmp_ / "trap");
    testkit::WriteFile(image_, pristine);
  }
}

TEST_F(UncairnSmallImage, TruncatedImage) {
  Bytes bytes = ReadBytes(image_);
  bytes.resize(28800);  // hash level 1 ends at 28672 + 160
  testkit::WriteFile(image_, bytes);
  const RunResult r = Uncairn({image_, tmp_ / "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix_ + "truncated: the image file has 28800 bytes, its levels need 28832\n");
  EXPECT_FALSE(Exists(tmp_ / "out"));
}

TEST_F(UncairnSmallImage, FileSizeLimitLeavesNoPartialFile) {
  RunOptions limited;
  limited.max_file_size = 10000;
  const RunResult r = Uncairn({image_, tmp_ / "out"}, limited);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix_ + "cannot write \"big.bin\": File too large\n");
  EXPECT_EQ(ListDir(tmp_ / "out"), std::vector<std::string>{});
}

TEST_F(UncairnSmallImage, EveryFailingCallIsHandled) {
  testkit::FaultSweep sweep;
  sweep.prepare = [&](const std::string& work) {
    MakeDir(work + "/out");
    WriteFile(work + "/out/big.bin", "an older file, kept");
  };
  sweep.argv = {UNCAIRN_PROGRAM, "-f", image_, "out"};
  sweep.calls = {"pread64", "write",      "openat",   "close",    "mkdir", "mkdirat",
                 "fstat",   "newfstatat", "renameat", "unlinkat", "mmap"};
  testkit::ExpectEveryFailingCallHandled(sweep);
}

TEST(UncairnInterrupt, NoPartialFileIsLeft) {
  TempDir tmp;
  MakeDir(tmp / "in");
  WriteFile(tmp / "in/huge.bin", Pattern(256 << 20, 9));
  Pack(tmp / "in", tmp / "image");
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    const std::string out = tmp / ("out" + std::to_string(sig));
    testkit::Process run({UNCAIRN_PROGRAM, tmp / "image", out});
    // Wait for the temporary file to appear, then interrupt.
    if (!run.WaitForEntryIn(out, 60))
      GTEST_SKIP() << "the extraction ended before it could be interrupted";
    run.Signal(sig);
    const RunResult r = run.Wait(60);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "uncairn: interrupted\n");
    EXPECT_EQ(ListDir(out), std::vector<std::string>{});
  }
}

}  // namespace
