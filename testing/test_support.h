// What every test of the kit needs: temporary folders, files, byte
// comparisons with a readable first difference, and running a built program
// (arguments, working folder, standard input, resource limits, as an
// unprivileged user) in the foreground or in the background.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace testkit {

using Bytes = std::vector<uint8_t>;

// A fresh folder, removed with everything in it (without a shell) when the
// object goes. Its mode is 0755 so that a program run unprivileged can reach
// what the test puts there.
class TempDir {
 public:
  // In $TMPDIR (else /tmp), or in base when given.
  TempDir();
  explicit TempDir(const std::string& base);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

// Removes a file or a whole tree, making folders searchable first; links
// are removed, never followed.
void RemoveTree(const std::string& path);

// Whole-file helpers; they throw std::runtime_error naming the path.
std::string ReadFile(const std::string& path);
Bytes ReadBytes(const std::string& path);
void WriteFile(const std::string& path, std::string_view data);
void WriteFile(const std::string& path, const Bytes& data);
void MakeDir(const std::string& path, mode_t mode = 0755);
void MakeLink(const std::string& target, const std::string& link);
// True when something has the name (a dangling link included).
bool Exists(const std::string& path);
// The names in a folder, without "." and "..", sorted bytewise.
std::vector<std::string> ListDir(const std::string& path);

Bytes AsBytes(std::string_view text);
// Pseudo-random bytes, the same for the same size and seed.
Bytes Pattern(size_t size, uint32_t seed);

// Succeeds when both hold the same bytes; otherwise says where the first
// difference is, with a few bytes of each side around it in hexadecimal.
::testing::AssertionResult SameBytes(const Bytes& expected, const Bytes& actual);
::testing::AssertionResult SameBytes(std::string_view expected, std::string_view actual);

bool RunningAsRoot();
bool BuiltWithSanitizers();

// The account that unprivileged runs use: "nobody" from the system's user
// database, with its own primary group.
struct User {
  uid_t uid;
  gid_t gid;
};
User UnprivilegedUser();

struct RunOptions {
  std::string cwd;                       // working folder; empty: the test's own
  std::string stdin_path = "/dev/null";  // what the program reads as standard input
  int stdout_fd = -1;  // when not -1, standard output goes there instead of being collected
  // When the test runs as root: run as UnprivilegedUser(), from a copy of
  // the program in a folder that user can reach (build folders may lie
  // under /root).
  bool unprivileged = false;
  uint64_t max_address_space = 0;  // RLIMIT_AS when not 0
  uint64_t max_file_size = 0;      // RLIMIT_FSIZE when not 0
  std::vector<std::string> env;    // NAME=VALUE, added or replacing
  double timeout_seconds = 600;    // then the program is killed and the test fails
};

struct RunResult {
  int status = -1;  // the exit status, or 128 + the signal that ended it
  std::string out;  // standard output (empty when stdout_fd was given)
  std::string err;  // standard error
  long max_rss_kib = 0;
  bool timed_out = false;
};

// A program started in the background; signals start at their defaults and
// unblocked, as from a shell. Killed and reaped if still running when the
// object goes.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const RunOptions& options = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void Signal(int signal_number);
  // True once the program has ended.
  bool Ended();
  // Waits (at most seconds) until the folder exists and holds an entry, as
  // the program writes there; false when the program ended first.
  bool WaitForEntryIn(const std::string& folder, double seconds);
  // Waits for the end (at most seconds, then kills it) and collects the result.
  RunResult Wait(double seconds);

 private:
  TempDir capture_;
  TempDir program_copy_;
  pid_t pid_ = -1;
  int wait_status_ = 0;
  long max_rss_kib_ = 0;
  bool collected_ = false;
  bool stdout_collected_ = true;
};

// Runs a program to its end.
RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options = {});

}  // namespace testkit
