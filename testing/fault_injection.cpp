#include "fault_injection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

namespace testkit {

namespace {

// Everything below a folder: relative path -> kind and content.
using Snapshot = std::map<std::string, std::string>;

void Collect(const std::string& root, const std::string& relative, Snapshot& into) {
  const std::string path = relative.empty() ? root : root + "/" + relative;
  for (const std::string& name : ListDir(path)) {
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    const std::string full = root + "/" + rel;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      into[rel] = "folder";
      Collect(root, rel, into);
    } else if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      const ssize_t n = readlink(full.c_str(), target, sizeof target);
      into[rel] = "link to " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISREG(st.st_mode)) {
      into[rel] = "file " + ReadFile(full);
    } else {
      into[rel] = "special";
    }
  }
}

Snapshot Take(const std::string& folder) {
  Snapshot snapshot;
  Collect(folder, "", snapshot);
  return snapshot;
}

std::string StracePath() {
  for (const char* candidate : {"/usr/bin/strace", "/bin/strace"}) {
    if (access(candidate, X_OK) == 0) return candidate;
  }
  return "";
}

// How often a clean run makes each call, from strace's summary.
std::map<std::string, int> CountCalls(const FaultSweep& sweep, const std::string& strace) {
  TempDir work;
  sweep.prepare(work.path());
  TempDir log;
  std::string calls;
  for (const std::string& call : sweep.calls) calls += (calls.empty() ? "" : ",") + call;
  std::vector<std::string> argv = {strace,          "-f", "-c", "-o", log / "summary", "-e",
                                   "trace=" + calls};
  argv.insert(argv.end(), sweep.argv.begin(), sweep.argv.end());
  RunOptions options = sweep.options;
  options.cwd = work.path();
  RunProgram(argv, options);
  std::map<std::string, int> counts;
  std::istringstream summary(ReadFile(log / "summary"));
  std::string line;
  while (std::getline(summary, line)) {
    // "% time  seconds  usecs/call  calls  [errors]  syscall"
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string w; fields >> w;) words.push_back(w);
    if (words.size() < 5 || words[0].find_first_not_of("0123456789.") != std::string::npos) {
      continue;
    }
    const std::string& name = words.back();
    if (std::find(sweep.calls.begin(), sweep.calls.end(), name) != sweep.calls.end()) {
      counts[name] = std::stoi(words[3]);
    }
  }
  return counts;
}

std::vector<int> Sample(int count, int wanted) {
  std::set<int> ks;
  for (int k : {1, 2, count - 1, count}) {
    if (k >= 1 && k <= count) ks.insert(k);
  }
  for (int i = 1; static_cast<int>(ks.size()) < std::min(count, wanted) && i <= wanted; ++i) {
    ks.insert(std::max(1, count * i / (wanted + 1)));
  }
  return {ks.begin(), ks.end()};
}

std::string Describe(const Snapshot& snapshot, const std::string& path) {
  auto it = snapshot.find(path);
  if (it == snapshot.end()) return "nothing";
  const std::string& v = it->second;
  if (v.rfind("file ", 0) == 0) return "a file of " + std::to_string(v.size() - 5) + " bytes";
  return v;
}

}  // namespace

std::vector<std::string> UnderStrace(const std::vector<std::string>& strace_options,
                                     const std::vector<std::string>& argv) {
  const std::string strace = StracePath();
  if (strace.empty()) throw std::runtime_error("strace is needed (scripts/deps installs it)");
  std::vector<std::string> command = {strace, "-f", "-qq", "-o", "/dev/null"};
  if (BuiltWithSanitizers()) {
    // LeakSanitizer cannot work under ptrace and would end the program with
    // an error of its own.
    const char* asan = std::getenv("ASAN_OPTIONS");
    command.insert(
        command.end(),
        {"-E", std::string("ASAN_OPTIONS=") +
                   (asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : std::string()) +
                   "detect_leaks=0"});
  }
  command.insert(command.end(), strace_options.begin(), strace_options.end());
  command.insert(command.end(), argv.begin(), argv.end());
  return command;
}

std::vector<std::string> TraceCalls(const std::vector<std::string>& argv, const std::string& call,
                                    const RunOptions& options) {
  TempDir log;
  const std::string log_path = log / "calls";
  // The later -o takes the place of UnderStrace's own.
  RunProgram(UnderStrace({"-o", log_path, "-e", "trace=" + call}, argv), options);
  std::vector<std::string> lines;
  std::istringstream calls(ReadFile(log_path));
  for (std::string line; std::getline(calls, line);) lines.push_back(line);
  return lines;
}

void ExpectEveryFailingCallHandled(const FaultSweep& sweep) {
  if (BuiltWithSanitizers()) {
    GTEST_SKIP() << "the sanitizer runtime makes calls of its own that would be made to fail";
  }
  const std::string strace = StracePath();
  ASSERT_FALSE(strace.empty()) << "strace is needed (scripts/deps installs it)";

  TempDir clean_work;
  sweep.prepare(clean_work.path());
  const Snapshot before = Take(clean_work.path());
  RunOptions options = sweep.options;
  options.cwd = clean_work.path();
  const RunResult clean = RunProgram(sweep.argv, options);
  ASSERT_EQ(clean.status, 0) << "the clean run fails:\n" << clean.out << clean.err;
  const Snapshot after = Take(clean_work.path());

  const std::map<std::string, int> counts = CountCalls(sweep, strace);
  ASSERT_FALSE(counts.empty()) << "strace counted no calls";
  int runs = 0, faults = 0;
  for (const auto& [call, count] : counts) {
    for (int k : Sample(count, sweep.samples_per_call)) {
      TempDir work;
      sweep.prepare(work.path());
      const std::vector<std::string> argv = UnderStrace(
          {"-e", "inject=" + call + ":" + sweep.fault + ":when=" + std::to_string(k)}, sweep.argv);
      RunOptions faulted = sweep.options;
      faulted.cwd = work.path();
      const RunResult r = RunProgram(argv, faulted);
      ++runs;
      const Snapshot left = Take(work.path());
      const std::string which = sweep.fault + " at " + call + " call " + std::to_string(k) +
                                " of " + std::to_string(count) + ", status " +
                                std::to_string(r.status);
      std::set<std::string> paths;
      for (const auto& entry : left) paths.insert(entry.first);
      for (const auto& entry : before) paths.insert(entry.first);
      for (const std::string& path : paths) {
        const auto now = left.find(path);
        const auto old = before.find(path);
        const auto good = after.find(path);
        bool fine;
        if (r.status == 0) {
          fine = (now == left.end()) == (good == after.end()) &&
                 (now == left.end() || now->second == good->second);
        } else if (now == left.end()) {
          fine = old == before.end();  // an output never made is fine, a lost file is not
        } else {
          fine = (good != after.end() && now->second == good->second) ||
                 (old != before.end() && now->second == old->second);
        }
        if (!fine && r.status != 0 && sweep.may_differ && sweep.may_differ(r, path)) fine = true;
        if (!fine) {
          ++faults;
          ADD_FAILURE() << "with " << which << ", " << path << " is " << Describe(left, path)
                        << "; before the run it was " << Describe(before, path)
                        << ", after a clean run " << Describe(after, path) << "\nstandard output:\n"
                        << r.out << "standard error:\n"
                        << r.err;
        }
        if (faults >= 5) return;
      }
    }
  }
  ::testing::Test::RecordProperty("runs", runs);
  EXPECT_GT(runs, 0);
}

}  // namespace testkit
