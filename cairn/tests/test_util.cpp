#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + strerror(errno));
}

}  // namespace

TempDir::TempDir(const char* base) {
  if (base == nullptr) base = getenv("TMPDIR");
  std::string templ =
      std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/cairn-test-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  Check(mkdtemp(buf.data()) != nullptr, "mkdtemp");
  path_ = buf.data();
  // Tests that drop root privileges must still reach their files.
  chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() { RemoveTree(path_); }

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    for (const std::string& name : ListDir(path)) RemoveTree(path + "/" + name);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& contents) {
  WriteFile(path, std::string(contents.begin(), contents.end()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void MakeDir(const std::string& path) { Check(mkdir(path.c_str(), 0755) == 0, "mkdir " + path); }

void MakeLink(const std::string& target, const std::string& link) {
  Check(symlink(target.c_str(), link.c_str()) == 0, "symlink " + link);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> out(size);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>(x >> 11);
  }
  return out;
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

bool RunningAsRoot() { return geteuid() == 0; }

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options) {
  TempDir capture;
  const std::string out_path = capture / "out";
  const std::string err_path = capture / "err";

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& extra : options.extra_env) {
      const std::string name = extra.substr(0, extra.find('=') + 1);
      if (entry.compare(0, name.size(), name) == 0) replaced = true;
    }
    if (!replaced) env.push_back(entry);
  }
  for (const std::string& extra : options.extra_env) env.push_back(extra);
  std::vector<char*> env_ptrs;
  for (std::string& e : env) env_ptrs.push_back(e.data());
  env_ptrs.push_back(nullptr);
  std::vector<std::string> args = argv;
  // The build folder may lie where an unprivileged user cannot go (under
  // /root, say): such a run starts a copy of the program from a folder of
  // its own.
  TempDir program_copy;
  if (options.drop_root && geteuid() == 0) {
    const std::string copy = program_copy / "program";
    WriteFile(copy, ReadFile(args[0]));
    Check(chmod(copy.c_str(), 0755) == 0, "chmod " + copy);
    args[0] = copy;
  }
  std::vector<char*> arg_ptrs;
  for (std::string& a : args) arg_ptrs.push_back(a.data());
  arg_ptrs.push_back(nullptr);

  fflush(nullptr);
  const pid_t pid = fork();
  Check(pid >= 0, "fork");
  if (pid == 0) {
    const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out_fd < 0 || err_fd < 0) _exit(126);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    close(out_fd);
    close(err_fd);
    if (options.max_address_space != 0) {
      rlimit lim{options.max_address_space, options.max_address_space};
      if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(126);
    }
    if (options.max_file_size != 0) {
      rlimit lim{options.max_file_size, options.max_file_size};
      if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(126);
    }
    if (options.drop_root && geteuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(options.uid) != 0 || setuid(options.uid) != 0) {
        _exit(126);
      }
    }
    execve(arg_ptrs[0], arg_ptrs.data(), env_ptrs.data());
    _exit(127);
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
    Check(errno == EINTR, "waitpid");
  }
  RunResult result;
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  chmod(out_path.c_str(), 0644);
  chmod(err_path.c_str(), 0644);
  result.out = ReadFile(out_path);
  result.err = ReadFile(err_path);
  return result;
}

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
