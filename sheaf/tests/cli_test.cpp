// The command line: usage errors, the listing, extraction of some paths,
// files in the way, and what -c does with links, special files and names a
// format cannot hold.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "reference.h"
#include "support.h"
#include "test_support.h"

using sheaf_test::Expected;
using sheaf_test::ReadTree;
using sheaf_test::SampleTree;
using sheaf_test::Sheaf;
using sheaf_test::WriteTree;
using testkit::Bytes;
using testkit::Exists;
using testkit::ListDir;
using testkit::ReadBytes;
using testkit::ReadFile;
using testkit::RunResult;
using testkit::TempDir;
using testkit::WriteFile;

namespace {

TEST(Cli, UsageErrors) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{}, "no ARCHIVE given"},
      {{"a.sarc"}, "no DIR given"},
      {{"-l"}, "-l takes one ARCHIVE"},
      {{"-t", "a", "b"}, "-t takes one ARCHIVE"},
      {{"-l", "-t", "a"}, "-l, -t and -c exclude each other"},
      {{"-lv", "a"}, "-f and -v go with extraction and -c only"},
      {{"-c", "dir"}, "-c takes DIR and ARCHIVE"},
      {{"-F", "sarc", "a", "b"}, "-F and --like go with -c only"},
      {{"-c", "-F", "sarc", "--like", "x", "d", "a"}, "-F and --like exclude each other"},
      {{"-c", "-F", "zip", "d", "a"},
       "unknown format \"zip\": give sarc, sarc-be, rarc, u8, narc or nds"},
      {{"-c", "d", "course.szs"},
       "the name course.szs does not tell the format: give -F sarc, sarc-be, rarc, u8, narc or "
       "nds, or "
       "--like ORIGINAL"},
      {{"-c", "d", "course.bin"},
       "the name course.bin does not tell the format: give -F sarc, sarc-be, rarc, u8, narc or "
       "nds, or "
       "--like ORIGINAL"},
      {{"-x", "a", "b"}, "unknown option -x"},
      {{"--frobnicate"}, "unknown option --frobnicate"},
      {{"-c", "-F"}, "-F needs a FORMAT: sarc, sarc-be, rarc, u8, narc or nds"},
  };
  for (const auto& c : cases) {
    const RunResult r = Sheaf(c.args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_EQ(r.err.rfind("sheaf: " + c.message + "\nusage: sheaf -l ARCHIVE", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
  }
  RunResult r = Sheaf({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: sheaf -l ARCHIVE", 0), 0u);
  r = Sheaf({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "sheaf 1.0\n");
}

TEST(Cli, ListingIsSortedBytewiseAndTheCheckIsSilent) {
  TempDir tmp;
  WriteTree(tmp / "in", SampleTree());
  ASSERT_EQ(Sheaf({"-c", tmp / "in", tmp / "a.arc"}).status, 0);
  RunResult r = Sheaf({"-l", tmp / "a.arc"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "333\tCourse/Deeper/nested.sarc\n"
            "0\tCourse/Deeper/zero\n"
            "3001\tCourse/course.kcl\n"
            "700\tCourse/model.szs\n"
            "129\tSound/wave.bcwav\n"
            "5\ta.txt\n"
            "0\tempty\n"
            "7\t\xC3\x9C"
            "ber/stra\xC3\x9F"
            "e.txt\n"
            "77\t\xE6\x97\xA5\xE6\x9C\xAC/\xE8\xAA\xAC.txt\n");
  r = Sheaf({"-t", tmp / "a.arc"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  r = Sheaf({"-l", tmp / "missing.arc"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "sheaf: " + tmp / "missing.arc" + ": cannot open: No such file or directory\n");
  r = Sheaf({"-t", tmp.path()});
  EXPECT_EQ(r.err, "sheaf: " + tmp.path() + ": it is a folder, not an archive\n");
}

TEST(Cli, OnlyThePathsAskedForAndVerbose) {
  TempDir tmp;
  WriteTree(tmp / "in", SampleTree(false));
  ASSERT_EQ(Sheaf({"-c", tmp / "in", tmp / "a.sarc"}).status, 0);
  const RunResult r =
      Sheaf({"-v", tmp / "a.sarc", tmp / "out", "/Course/Deeper/", "a.txt", "nothing/here"});
  EXPECT_EQ(r.status, 1);
  // The files are named in the order of their data.
  const std::string missing =
      "sheaf: " + tmp / "a.sarc" + ": \"nothing/here\" is not in the archive\n";
  ASSERT_EQ(r.err.rfind(missing, 0), 0u) << r.err;
  std::vector<std::string> named;
  for (size_t at = missing.size(); at < r.err.size();) {
    const size_t end = r.err.find('\n', at);
    named.push_back(r.err.substr(at, end - at));
    at = end + 1;
  }
  std::sort(named.begin(), named.end());
  EXPECT_EQ(named,
            (std::vector<std::string>{"Course/Deeper/nested.sarc", "Course/Deeper/zero", "a.txt"}));
  EXPECT_EQ(ListDir(tmp / "out"), (std::vector<std::string>{"Course", "a.txt"}));
  EXPECT_EQ(ListDir(tmp / "out/Course"), std::vector<std::string>{"Deeper"});
  EXPECT_EQ(ListDir(tmp / "out/Course/Deeper"), (std::vector<std::string>{"nested.sarc", "zero"}));
}

TEST(Cli, FilesInTheWayAndLinksInDir) {
  TempDir tmp;
  reference::Tree tree;
  tree.files = {{"a.txt", testkit::AsBytes("new")},
                {"d/b.txt", testkit::AsBytes("b")},
                {"e/c.txt", testkit::AsBytes("c")}};
  WriteTree(tmp / "in", tree);
  ASSERT_EQ(Sheaf({"-c", tmp / "in", tmp / "x.u8"}).status, 0);
  testkit::MakeDir(tmp / "out");
  testkit::MakeDir(tmp / "trap");
  WriteFile(tmp / "out/a.txt", "old");
  testkit::MakeLink(tmp / "trap", tmp / "out/d");
  testkit::MakeDir(tmp / "out/e");
  testkit::MakeDir(tmp / "out/e/c.txt");
  const std::string prefix = "sheaf: " + tmp / "x.u8" + ": ";
  RunResult r = Sheaf({tmp / "x.u8", tmp / "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix +
                       "cannot make the folder \"d\": a symbolic link of that name is in the way "
                       "(-f replaces it)\n" +
                       prefix + "\"a.txt\" exists; it is not replaced (-f replaces it)\n" + prefix +
                       "cannot extract \"e/c.txt\": a folder of that name is in the way\n");
  EXPECT_EQ(ReadFile(tmp / "out/a.txt"), "old");
  r = Sheaf({"-f", tmp / "x.u8", tmp / "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadFile(tmp / "out/a.txt"), "new");
  EXPECT_EQ(ReadFile(tmp / "out/d/b.txt"), "b");
  EXPECT_EQ(ListDir(tmp / "trap"), std::vector<std::string>{});
  // Only the temporary files' names could be left: none are.
  EXPECT_EQ(ListDir(tmp / "out"), (std::vector<std::string>{"a.txt", "d", "e"}));
}

TEST(Cli, CreationFollowsLinksAndSkipsWhatItCannotPack) {
  TempDir tmp;
  WriteTree(tmp / "in", SampleTree(false));
  WriteFile(tmp / "target.txt", "through a link");
  testkit::MakeLink(tmp / "target.txt", tmp / "in/linked.txt");
  testkit::MakeLink(tmp / "in", tmp / "in/Course/loop");
  testkit::MakeLink(tmp / "nowhere", tmp / "in/dangling");
  ASSERT_EQ(mkfifo((tmp / "in/pipe").c_str(), 0644), 0);
  const RunResult r = Sheaf({"-c", "-v", tmp / "in", tmp / "x.narc"});
  EXPECT_EQ(r.status, 1);
  const std::string prefix = "sheaf: " + tmp / "x.narc" + ": ";
  EXPECT_NE(r.err.find(prefix + "skipping \"" + tmp / "in/Course/loop" +
                       "\": it leads back to a folder that holds it\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(prefix + "skipping \"" + tmp / "in/dangling" +
                       "\": a symbolic link that cannot be followed (No such file or directory)\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(prefix + "skipping \"" + tmp / "in/pipe" + "\": a named pipe\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("\nlinked.txt\n"), std::string::npos) << r.err;
  ASSERT_EQ(Sheaf({tmp / "x.narc", tmp / "out"}).status, 0);
  EXPECT_EQ(ReadFile(tmp / "out/linked.txt"), "through a link");
  EXPECT_FALSE(Exists(tmp / "out/Course/loop"));
  // An existing archive is replaced only with -f.
  const RunResult again = Sheaf({"-c", tmp / "in", tmp / "x.narc"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, prefix + "it exists; it is not replaced (-f replaces it)\n");
}

TEST(Cli, NamesAFormatCannotHold) {
  TempDir tmp;
  testkit::MakeDir(tmp / "long");
  WriteFile(tmp / "long/" + std::string(128, 'n'), "x");
  RunResult r = Sheaf({"-c", tmp / "long", tmp / "x.narc"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "sheaf: " + tmp / "x.narc" + ": cannot pack \"" + std::string(128, 'n') +
                       "\": a NARC name holds at most 127 bytes\n");
  EXPECT_FALSE(Exists(tmp / "x.narc"));

  testkit::MakeDir(tmp / "gap");
  WriteFile(tmp / "gap/@00000", "a");
  WriteFile(tmp / "gap/@00002", "c");
  r = Sheaf({"-c", tmp / "gap", tmp / "x.narc"});
  EXPECT_EQ(r.err,
            "sheaf: " + tmp / "x.narc" +
                ": cannot pack \"@00002\": a NARC without names numbers its files from @00000 "
                "on, and @00001 is missing\n");

  testkit::MakeDir(tmp / "same");
  const uint32_t hash = reference::SarcNameHash("b.txt", 101, reference::SarcHash::kUnsigned);
  char unnamed[16];
  snprintf(unnamed, sizeof unnamed, "@%08X", hash);
  WriteFile(tmp / "same/b.txt", "b");
  WriteFile(tmp / ("same/" + std::string(unnamed)), "unnamed");
  r = Sheaf({"-c", tmp / "same", tmp / "x.sarc"});
  EXPECT_EQ(r.err, "sheaf: " + tmp / "x.sarc" + ": cannot pack \"" + unnamed +
                       "\": an entry without a name needs a hash that no other entry has\n");
  EXPECT_FALSE(Exists(tmp / "x.sarc"));

  testkit::MakeDir(tmp / "many");
  for (int i = 0; i <= 16383; ++i) WriteFile(tmp / ("many/" + std::to_string(i)), "");
  r = Sheaf({"-c", tmp / "many", tmp / "x.sarc"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(": a SARC holds at most 16,383 files\n"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(tmp / "x.sarc"));
}

}  // namespace
