#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testkit {

namespace {

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string MakeTempDir(const std::string& base) {
  std::string name = base + "/kit-test-XXXXXX";
  Check(mkdtemp(name.data()) != nullptr, "mkdtemp in " + base);
  Check(chmod(name.c_str(), 0755) == 0, "chmod " + name);
  return name;
}

std::string DefaultTempBase() {
  const char* base = std::getenv("TMPDIR");
  return base != nullptr && *base != '\0' ? base : "/tmp";
}

std::string Hex(const uint8_t* data, size_t size, size_t from, size_t to) {
  std::string text;
  char byte[4];
  for (size_t i = from; i < to && i < size; ++i) {
    std::snprintf(byte, sizeof byte, "%02x ", data[i]);
    text += byte;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

::testing::AssertionResult CompareBytes(const uint8_t* expected, size_t expected_size,
                                        const uint8_t* actual, size_t actual_size) {
  const size_t common = std::min(expected_size, actual_size);
  size_t at = 0;
  while (at < common && expected[at] == actual[at]) ++at;
  if (at == common && expected_size == actual_size) return ::testing::AssertionSuccess();
  const size_t from = at < 8 ? 0 : at - 8;
  auto failure = ::testing::AssertionFailure();
  failure << "the bytes differ at offset " << at << " (0x" << std::hex << at << std::dec
          << "); expected " << expected_size << " bytes, got " << actual_size << "\n  expected["
          << from << "..]: " << Hex(expected, expected_size, from, at + 8) << "\n  actual  ["
          << from << "..]: " << Hex(actual, actual_size, from, at + 8);
  return failure;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::vector<std::string> Environment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& x) {
      const std::string name = x.substr(0, x.find('=') + 1);
      return entry.compare(0, name.size(), name) == 0;
    });
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecChild(char* const* argv, char* const* envp, const RunOptions& options,
                            const char* stdin_path, const char* out_path, const char* err_path,
                            const User& user) {
  const int in = open(stdin_path, O_RDONLY);
  const int out = options.stdout_fd >= 0
                      ? options.stdout_fd
                      : open(out_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  const int err = open(err_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (in < 0 || out < 0 || err < 0) _exit(126);
  if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
  // As from a shell: every signal at its default and none blocked, so that
  // a program that needs to ignore one must do so itself.
  for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (options.max_address_space != 0) {
    const rlimit limit{options.max_address_space, options.max_address_space};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
  }
  if (options.max_file_size != 0) {
    const rlimit limit{options.max_file_size, options.max_file_size};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
  }
  if (options.unprivileged && geteuid() == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(user.gid) != 0 || setuid(user.uid) != 0) _exit(126);
  }
  execve(argv[0], argv, envp);
  _exit(127);
}

}  // namespace

TempDir::TempDir() : path_(MakeTempDir(DefaultTempBase())) {}

TempDir::TempDir(const std::string& base) : path_(MakeTempDir(base)) {}

TempDir::~TempDir() { RemoveTree(path_); }

namespace {

// Works relative to open folders, so that trees deeper than a path can name
// are removed too.
void RemoveTreeAt(int parent, const char* name) {
  struct stat st;
  if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    unlinkat(parent, name, 0);
    return;
  }
  fchmodat(parent, name, 0700, 0);
  const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    if (DIR* dir = fdopendir(fd)) {
      std::vector<std::string> names;
      while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
          names.emplace_back(entry->d_name);
        }
      }
      for (const std::string& child : names) RemoveTreeAt(dirfd(dir), child.c_str());
      closedir(dir);
    } else {
      close(fd);
    }
  }
  unlinkat(parent, name, AT_REMOVEDIR);
}

}  // namespace

void RemoveTree(const std::string& path) { RemoveTreeAt(AT_FDCWD, path.c_str()); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

Bytes ReadBytes(const std::string& path) { return AsBytes(ReadFile(path)); }

void WriteFile(const std::string& path, std::string_view data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteFile(const std::string& path, const Bytes& data) {
  WriteFile(path, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

void MakeDir(const std::string& path, mode_t mode) {
  Check(mkdir(path.c_str(), mode) == 0, "mkdir " + path);
}

void MakeLink(const std::string& target, const std::string& link) {
  Check(symlink(target.c_str(), link.c_str()) == 0, "symlink " + link);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

Bytes AsBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Pattern(size_t size, uint32_t seed) {
  Bytes out(size);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 11);
  }
  return out;
}

::testing::AssertionResult SameBytes(const Bytes& expected, const Bytes& actual) {
  return CompareBytes(expected.data(), expected.size(), actual.data(), actual.size());
}

::testing::AssertionResult SameBytes(std::string_view expected, std::string_view actual) {
  return CompareBytes(reinterpret_cast<const uint8_t*>(expected.data()), expected.size(),
                      reinterpret_cast<const uint8_t*>(actual.data()), actual.size());
}

bool RunningAsRoot() { return geteuid() == 0; }

bool BuiltWithSanitizers() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

User UnprivilegedUser() {
  const passwd* entry = getpwnam("nobody");
  if (entry == nullptr) throw std::runtime_error("the system has no user nobody");
  return User{entry->pw_uid, entry->pw_gid};
}

Process::Process(const std::vector<std::string>& argv, const RunOptions& options) {
  std::vector<std::string> args = argv;
  if (options.unprivileged && RunningAsRoot()) {
    const std::string copy = program_copy_ / "program";
    WriteFile(copy, ReadFile(args.at(0)));
    Check(chmod(copy.c_str(), 0755) == 0, "chmod " + copy);
    args[0] = copy;
  }
  const User user = options.unprivileged ? UnprivilegedUser() : User{0, 0};
  std::vector<std::string> env = Environment(options.env);
  std::vector<char*> arg_pointers = Pointers(args);
  std::vector<char*> env_pointers = Pointers(env);
  const std::string out_path = capture_ / "out";
  const std::string err_path = capture_ / "err";
  stdout_collected_ = options.stdout_fd < 0;
  std::fflush(nullptr);
  pid_ = fork();
  Check(pid_ >= 0, "fork");
  if (pid_ == 0) {
    ExecChild(arg_pointers.data(), env_pointers.data(), options, options.stdin_path.c_str(),
              out_path.c_str(), err_path.c_str(), user);
  }
}

Process::~Process() {
  if (!collected_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void Process::Signal(int signal_number) {
  if (!collected_) kill(pid_, signal_number);
}

bool Process::Ended() {
  if (collected_) return true;
  rusage usage = {};
  const pid_t done = wait4(pid_, &wait_status_, WNOHANG, &usage);
  if (done != pid_) return false;
  collected_ = true;
  max_rss_kib_ = usage.ru_maxrss;
  return true;
}

bool Process::WaitForEntryIn(const std::string& folder, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while ((!Exists(folder) || ListDir(folder).empty()) && !Ended() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return !Ended();
}

RunResult Process::Wait(double seconds) {
  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  auto pause = std::chrono::microseconds(200);
  while (!Ended()) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      result.timed_out = true;
      rusage usage = {};
      wait4(pid_, &wait_status_, 0, &usage);
      collected_ = true;
      break;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(20000));
  }
  result.status =
      WIFEXITED(wait_status_) ? WEXITSTATUS(wait_status_) : 128 + WTERMSIG(wait_status_);
  result.max_rss_kib = max_rss_kib_;
  // The program may have run unprivileged and made its files unreadable.
  chmod((capture_ / "out").c_str(), 0644);
  chmod((capture_ / "err").c_str(), 0644);
  if (stdout_collected_) result.out = ReadFile(capture_ / "out");
  result.err = ReadFile(capture_ / "err");
  return result;
}

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options) {
  Process process(argv, options);
  RunResult result = process.Wait(options.timeout_seconds);
  EXPECT_FALSE(result.timed_out) << argv.at(0) << " ran longer than " << options.timeout_seconds
                                 << " s and was killed";
  return result;
}

}  // namespace testkit
