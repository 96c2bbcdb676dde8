// The real program of this build under the X server, driven with the
// keyboard the way a person does and read back from outside through the
// primary selection.
#include <glib.h>

#include <cstdlib>
#include <memory>

#include "flagwright.h"
#include "gtk_support.h"
#include "test_support.h"
#include "xwindow.h"

namespace {

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
      testkit::RunOptions options;
      options.cwd = folder;
      program =
          std::make_unique<testkit::Process>(std::vector<std::string>{FLAGWRIGHT_PROGRAM}, options);
      auto alive = [&] { return !program->Ended(); };
      unsigned long xid = find_window(program->pid(), vocabulary.title, 30, alive);
      if (xid) return std::to_string(xid);
      if (alive()) return "";
    }
    return "";
  }

  // What the program wrote to its standard error when no window came up.
  std::string failed_start() { return program->Wait(0).err; }

  // The X tools answer at once or not at all.
  static testkit::RunOptions quick() {
    testkit::RunOptions options;
    options.timeout_seconds = 5;
    return options;
  }

  // Runs xdotool, again when it could not reach the X server.
  void xdotool(std::vector<std::string> args) {
    args.insert(args.begin(), XDOTOOL);
    for (int attempt = 0; attempt < 5; ++attempt) {
      if (testkit::RunProgram(args, quick()).status == 0) return;
      g_usleep(50000);
    }
    FAIL() << "xdotool " << args.at(1) << " failed";
  }

  static std::string primary() {
    return testkit::RunProgram({XCLIP, "-o", "-selection", "primary"}, quick()).out;
  }

  // Waits until the primary selection holds `expected`.
  static ::testing::AssertionResult shows(const std::string& expected) {
    std::string last;
    if (wait_until([&] { return (last = primary()) == expected; }, 10))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "the identifier read back is \"" << last << "\", not \"" << expected << "\"";
  }

  // Closes the window as a window manager would; how the program ended.
  testkit::RunResult close(const std::string& xid) {
    EXPECT_TRUE(close_window(std::stoul(xid)));
    return program->Wait(20);
  }

  testkit::TempDir folder;
  std::unique_ptr<testkit::Process> program;  // killed if a failed test leaves it running
};

TEST_F(ProgramTest, KeyboardSelectionsReadBackAndClose) {
  testkit::WriteFile(folder / "icon.png", testkit::ReadFile(FLAGWRIGHT_ICON));
  std::string xid = launch(folder.path());
  ASSERT_FALSE(xid.empty()) << "no window of " << FLAGWRIGHT_PROGRAM
                            << " came up; stderr: " << failed_start();
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

  testkit::RunResult ended = close(xid);
  EXPECT_EQ(ended.status, 0);
  EXPECT_FALSE(ended.timed_out);
  EXPECT_EQ(ended.err, "");
  EXPECT_EQ(ended.out, "");
}

TEST_F(ProgramTest, WithoutIconItSaysSoOnceAndRuns) {
  std::string xid = launch(folder.path());
  ASSERT_FALSE(xid.empty()) << "no window came up; stderr: " << failed_start();
  xdotool({"windowfocus", "--sync", xid});
  xdotool({"key", "Down"});
  EXPECT_TRUE(shows("0000"));
  xdotool({"key", "Down"});
  EXPECT_TRUE(shows("0001"));
  testkit::RunResult ended = close(xid);
  EXPECT_EQ(ended.status, 0);
  EXPECT_FALSE(ended.timed_out);
  std::string err = ended.err;
  ASSERT_GT(err.size(), 1u);
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

}  // namespace
