// Helpers of the calculators' tests: temporary folders, child processes,
// the X display and the GTK main loop.
#ifndef FLAGWRIGHT_TESTS_HELPERS_H
#define FLAGWRIGHT_TESTS_HELPERS_H

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A fresh folder that is removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
void copy_file(const std::string& from, const std::string& to);

// A program started in the background with its output sent to files.
struct Child {
  pid_t pid = -1;
  std::string out, err;  // paths of the files that take stdout and stderr
};
// Starts argv[0] (a path) in the folder `cwd`, stdout and stderr going to
// files in `logs`.
Child start(const std::vector<std::string>& argv, const std::string& cwd, const TempDir& logs,
            const std::string& tag);
// Waits up to `seconds` for the child to end; its wait status, or -1 when it
// was still running (it is then killed).
int finish(Child& child, double seconds);

// Runs a program to its end (at most `seconds`) and returns its stdout;
// `status` gets the wait status (-1 on time-out).
std::string run(const std::vector<std::string>& argv, int* status, double seconds = 10);

// Polls `done` every 20 ms for up to `seconds`, running the GTK main loop in
// between when `gtk` is set.
bool wait_until(const std::function<bool()>& done, double seconds, bool gtk = false);

// Opens GTK on $DISPLAY once per process (retrying a few times: the X server
// may drop a connection accepted at the moment another client leaves). Fails,
// saying why, when no display is set or it cannot be opened: window tests
// never pass without one.
::testing::AssertionResult open_display();

// Runs the GTK main loop until no event is pending.
void settle();

// The texts of a text combo box, in list order.
std::vector<std::string> list_texts(GtkWidget* combo);

#endif
