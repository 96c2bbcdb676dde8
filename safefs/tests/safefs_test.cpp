#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "safefs/extraction.h"
#include "safefs/interrupts.h"
#include "safefs/temporary.h"
#include "test_support.h"

namespace {

using safefs::ExtractionRoot;
using safefs::TemporaryFile;
using safefs::TemporaryNaming;
using testkit::ListDir;
using testkit::ReadFile;
using testkit::TempDir;
using Form = TemporaryNaming::Form;

struct Folder {
  TempDir dir;
  int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ~Folder() { close(fd); }
};

TEST(TemporaryFile, AppearsUnderItsNameOnlyWhenWhole) {
  Folder f;
  TemporaryFile file(TemporaryNaming{"kit", Form::kRandom});
  ASSERT_GE(file.Create(f.fd, "out.bin"), 0);
  ASSERT_EQ(file.Write("hello", 5), 0);
  const auto names = ListDir(f.dir.path());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].rfind(".kit-", 0), 0u) << names[0];
  EXPECT_EQ(names[0].size(), 5u + 16u);
  ASSERT_EQ(file.Commit(false), 0);
  EXPECT_EQ(ListDir(f.dir.path()), std::vector<std::string>{"out.bin"});
  EXPECT_EQ(ReadFile(f.dir / "out.bin"), "hello");
}

TEST(TemporaryFile, KeepsAnExistingFileUnlessToldToReplaceIt) {
  Folder f;
  testkit::WriteFile(f.dir / "out", "old");
  {
    TemporaryFile file(TemporaryNaming{"kit", Form::kBeside});
    ASSERT_GE(file.Create(f.fd, "out"), 0);
    ASSERT_EQ(file.Write("new", 3), 0);
    EXPECT_EQ(file.Commit(false), EEXIST);
  }
  EXPECT_EQ(ListDir(f.dir.path()), std::vector<std::string>{"out"});
  EXPECT_EQ(ReadFile(f.dir / "out"), "old");
  TemporaryFile file(TemporaryNaming{"kit", Form::kBeside});
  ASSERT_GE(file.Create(f.fd, "out"), 0);
  ASSERT_EQ(file.Write("new", 3), 0);
  EXPECT_EQ(file.Commit(true), 0);
  EXPECT_EQ(ReadFile(f.dir / "out"), "new");
}

TEST(TemporaryFile, ADiscardedOrDestroyedFileLeavesNothing) {
  Folder f;
  {
    TemporaryFile file(TemporaryNaming{"kit", Form::kCount, ".tmp"});
    ASSERT_GE(file.Create(AT_FDCWD, f.dir / "x.png"), 0);
    const auto names = ListDir(f.dir.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind(".kit-" + std::to_string(getpid()) + "-", 0), 0u) << names[0];
    EXPECT_EQ(names[0].substr(names[0].size() - 4), ".tmp");
  }
  EXPECT_TRUE(ListDir(f.dir.path()).empty());
  TemporaryFile file(TemporaryNaming{"kit", Form::kBeside});
  ASSERT_GE(file.Create(AT_FDCWD, f.dir / "y"), 0);
  EXPECT_EQ(ListDir(f.dir.path())[0].rfind(".y.kit-", 0), 0u);
  file.Discard();
  EXPECT_TRUE(ListDir(f.dir.path()).empty());
  EXPECT_EQ(file.Commit(true), EBADF);
}

TEST(TemporaryFile, ALongNameIsNotDecorated) {
  Folder f;
  const std::string name(240, 'n');
  TemporaryFile file(TemporaryNaming{"kit", Form::kBeside});
  ASSERT_GE(file.Create(f.fd, name), 0) << strerror(errno);
  EXPECT_EQ(ListDir(f.dir.path())[0].rfind(".kit-", 0), 0u);
  ASSERT_EQ(file.Commit(false), 0);
  EXPECT_EQ(ListDir(f.dir.path()), std::vector<std::string>{name});
}

TEST(TemporaryFile, IsNeverCreatedThroughALink) {
  Folder f;
  TempDir elsewhere;
  testkit::MakeLink(elsewhere.path(), f.dir / "link");
  TemporaryFile file(TemporaryNaming{"kit", Form::kRandom});
  // The hidden file goes into the link's folder, not where it points.
  ASSERT_GE(file.Create(AT_FDCWD, f.dir / "link"), 0);
  ASSERT_EQ(file.Commit(true), 0);
  EXPECT_TRUE(ListDir(elsewhere.path()).empty());
  struct stat st;
  ASSERT_EQ(lstat((f.dir / "link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST(FollowLinks, LeadsToTheFileALinkNamesExistingOrNot) {
  TempDir d;
  testkit::MakeDir(d / "sub");
  testkit::MakeLink("sub/target", d / "rel");
  testkit::MakeLink(d / "rel", d / "abs");
  std::string target;
  EXPECT_EQ(safefs::FollowLinks(d / "abs", &target), 0);
  EXPECT_EQ(target, d / "sub/target");
  EXPECT_EQ(safefs::FollowLinks(d / "plain", &target), 0);
  EXPECT_EQ(target, d / "plain");
  testkit::MakeLink("loop", d / "loop");
  EXPECT_EQ(safefs::FollowLinks(d / "loop", &target), ELOOP);
}

TEST(ExtractionRoot, MakesFoldersAndFilesWithoutFollowingLinks) {
  TempDir d, outside;
  std::vector<std::string> problems;
  auto report = [&](const std::string& text) { problems.push_back(text); };
  testkit::MakeDir(d / "out");
  testkit::MakeLink(outside.path(), d / "out/linked");
  testkit::MakeLink(outside / "f", d / "out/file");
  ExtractionRoot root(TemporaryNaming{"kit"}, false, report);
  ASSERT_TRUE(root.Open(d / "out/deeper/still"));
  auto fill = [](TemporaryFile& file) { return file.Write("data", 4); };
  EXPECT_EQ(root.WriteFile(root.fd(), "a", "\"a\"", fill), ExtractionRoot::Outcome::kWritten);
  EXPECT_EQ(ReadFile(d / "out/deeper/still/a"), "data");
  EXPECT_EQ(root.WriteFile(root.fd(), "a", "\"a\"", fill), ExtractionRoot::Outcome::kSkipped);

  ExtractionRoot top(TemporaryNaming{"kit"}, false, report);
  ASSERT_TRUE(top.Open(d / "out"));
  EXPECT_EQ(top.OpenFolder(top.fd(), "linked", "\"linked\""), -1);
  EXPECT_EQ(top.WriteFile(top.fd(), "file", "\"file\"", fill), ExtractionRoot::Outcome::kSkipped);
  EXPECT_EQ(top.WriteFile(top.fd(), "deeper", "\"deeper\"", fill),
            ExtractionRoot::Outcome::kSkipped);
  EXPECT_EQ(problems, (std::vector<std::string>{
                          "\"a\" exists; it is not replaced (-f replaces it)",
                          "cannot make the folder \"linked\": a symbolic link of that name is in "
                          "the way (-f replaces it)",
                          "\"file\" exists; it is not replaced (-f replaces it)",
                          "cannot extract \"deeper\": a folder of that name is in the way",
                      }));

  ExtractionRoot forced(TemporaryNaming{"kit"}, true, report);
  ASSERT_TRUE(forced.Open(d / "out"));
  const int fd = forced.OpenFolder(forced.fd(), "linked", "\"linked\"");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(forced.WriteFile(fd, "x", "\"x\"", fill), ExtractionRoot::Outcome::kWritten);
  close(fd);
  EXPECT_EQ(forced.WriteFile(forced.fd(), "file", "\"file\"", fill),
            ExtractionRoot::Outcome::kWritten);
  EXPECT_TRUE(ListDir(outside.path()).empty());
  EXPECT_EQ(ReadFile(d / "out/linked/x"), "data");
  EXPECT_EQ(ReadFile(d / "out/file"), "data");
}

TEST(ExtractionRoot, AFailedFillStopsAndLeavesNoFile) {
  TempDir d;
  std::vector<std::string> problems;
  ExtractionRoot root(TemporaryNaming{"kit"}, true,
                      [&](const std::string& text) { problems.push_back(text); });
  ASSERT_TRUE(root.Open(d.path()));
  testkit::WriteFile(d / "kept", "old");
  EXPECT_EQ(root.WriteFile(root.fd(), "kept", "\"kept\"", [](TemporaryFile&) { return ENOSPC; }),
            ExtractionRoot::Outcome::kStop);
  EXPECT_EQ(root.WriteFile(root.fd(), "new", "\"new\"", [](TemporaryFile&) { return -1; }),
            ExtractionRoot::Outcome::kStop);
  EXPECT_EQ(ListDir(d.path()), std::vector<std::string>{"kept"});
  EXPECT_EQ(ReadFile(d / "kept"), "old");
  EXPECT_EQ(problems,
            std::vector<std::string>{"cannot write \"kept\": " + std::string(strerror(ENOSPC))});
}

// The handler removes every file in progress, then ends the run as asked.
TEST(Interrupts, RemoveTheFilesInProgress) {
  for (const bool message : {true, false}) {
    TempDir d;
    testkit::Process process({SAFEFS_INTERRUPTED_PROGRAM, d.path(), message ? "message" : "raise"});
    for (int i = 0; i < 500 && ListDir(d.path()).size() < 3; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(ListDir(d.path()).size(), 3u);
    process.Signal(SIGTERM);
    const testkit::RunResult result = process.Wait(30);
    EXPECT_TRUE(ListDir(d.path()).empty());
    if (message) {
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err, "test: interrupted\n");
    } else {
      EXPECT_EQ(result.status, 128 + SIGTERM);
      EXPECT_EQ(result.err, "");
    }
  }
}

}  // namespace
