// The real program of this build under the X server, driven with the
// keyboard the way a person does and read back from outside through the
// primary selection.
#include "flagwright.h"
#include "helpers.h"
#include "xwindow.h"

#include <glib.h>
#include <sys/wait.h>

#include <cstdlib>

namespace {

// Keeps a started program from outliving a failed test.
struct Program {
  Child child;
  ~Program() { finish(child, 0); }
};

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    ASSERT_TRUE(display && *display)
        << "DISPLAY is not set: this test needs an X server "
           "(scripts/test starts an Xvfb; or run it under xvfb-run -a)";
  }

  // Starts the program in `folder`; returns its window's X id, or "" when
  // no window came up. A start that ends before its window appears is
  // retried: the X server may drop a new connection when another client
  // leaves at the same moment, and GTK then gives up at once.
  std::string launch(const std::string& folder) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      program.child = start({FLAGWRIGHT_PROGRAM}, folder, logs, "program");
      bool ended = false;
      auto alive = [&] {
        int status;
        ended = waitpid(program.child.pid, &status, WNOHANG) == program.child.pid;
        return !ended;
      };
      unsigned long xid = find_window(program.child.pid, vocabulary.title, 30, alive);
      if (xid) return std::to_string(xid);
      if (!ended) return "";
      program.child.pid = -1;
    }
    return "";
  }

  // Runs xdotool, again when it could not reach the X server.
  void xdotool(std::vector<std::string> args) {
    args.insert(args.begin(), XDOTOOL);
    int status = -1;
    for (int attempt = 0; attempt < 5; ++attempt) {
      run(args, &status);
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
      g_usleep(50000);
    }
    FAIL() << "xdotool " << args.at(1) << " failed";
  }

  static std::string primary() {
    int status;
    return run({XCLIP, "-o", "-selection", "primary"}, &status, 5);
  }

  // Waits until the primary selection holds `expected`.
  static ::testing::AssertionResult shows(const std::string& expected) {
    std::string last;
    if (wait_until([&] { return (last = primary()) == expected; }, 10))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "the identifier read back is \"" << last << "\", not \"" << expected << "\"";
  }

  // Closes the window as a window manager would and returns the exit status.
  int close(const std::string& xid) {
    EXPECT_TRUE(close_window(std::stoul(xid)));
    return finish(program.child, 20);
  }

  TempDir folder, logs;
  Program program;
};

TEST_F(ProgramTest, KeyboardSelectionsReadBackAndClose) {
  copy_file(FLAGWRIGHT_ICON, folder.file("icon.png"));
  std::string xid = launch(folder.path());
  ASSERT_FALSE(xid.empty()) << "no window of " << FLAGWRIGHT_PROGRAM
                            << " came up; stderr: " << read_file(program.child.err);
  xdotool({"windowfocus", "--sync", xid});

  // The type list has the focus at start.
  xdotool({"key", "End"});
  EXPECT_TRUE(shows("001F"));
  xdotool({"key", "Up"});
  EXPECT_TRUE(shows("001E"));
  // Tab to the basic effects, now filled; Home picks the first, Down the next.
  xdotool({"key", "Tab", "Home", "Down"});
  EXPECT_TRUE(shows("003E"));
  xdotool({"key", "End"});
  EXPECT_TRUE(shows("00FE"));
  // In the next list, with nothing chosen, Down picks the first entry.
  xdotool({"key", "Tab", "Down", "Down"});
  EXPECT_TRUE(shows("01FE"));
  xdotool({"key", "Tab", "End"});
  EXPECT_TRUE(shows("F1FE"));
  // Back to the type list: a new type clears the basic effect.
  xdotool({"key", "shift+Tab", "shift+Tab", "shift+Tab", "Home"});
  EXPECT_TRUE(shows("F100"));

  int status = close(xid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
  EXPECT_EQ(read_file(program.child.err), "");
  EXPECT_EQ(read_file(logs.file("program.out")), "");
}

TEST_F(ProgramTest, WithoutIconItSaysSoOnceAndRuns) {
  std::string xid = launch(folder.path());
  ASSERT_FALSE(xid.empty()) << "no window came up; stderr: " << read_file(program.child.err);
  xdotool({"windowfocus", "--sync", xid});
  xdotool({"key", "Down"});
  EXPECT_TRUE(shows("0000"));
  xdotool({"key", "Down"});
  EXPECT_TRUE(shows("0001"));
  int status = close(xid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
  std::string err = read_file(program.child.err);
  ASSERT_GT(err.size(), 1u);
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

}  // namespace
