// Helpers shared by the tests: temporary folders, files, running programs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// A fresh folder below $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  // A fresh folder in base, or in $TMPDIR (else /tmp) when base is null.
  explicit TempDir(const char* base = nullptr);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

void RemoveTree(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);
void WriteFile(const std::string& path, const std::vector<uint8_t>& contents);
std::string ReadFile(const std::string& path);
void MakeDir(const std::string& path);
void MakeLink(const std::string& target, const std::string& link);
bool Exists(const std::string& path);  // without following a final link
// Pseudo-random bytes, the same for the same seed.
std::vector<uint8_t> Pattern(size_t size, uint32_t seed);
// Names of the entries of a folder (without "." and ".."), in listing order.
std::vector<std::string> ListDir(const std::string& path);
bool RunningAsRoot();

struct RunOptions {
  // When the tests run as root: run as the user and group of this id
  // (nobody by default), so that permission bits take effect.
  bool drop_root = false;
  uid_t uid = 65534;
  uint64_t max_address_space = 0;      // RLIMIT_AS when not 0
  uint64_t max_file_size = 0;          // RLIMIT_FSIZE when not 0
  std::vector<std::string> extra_env;  // NAME=VALUE entries added or replaced
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options = {});

// True when this test binary was built with AddressSanitizer.
bool BuiltWithSanitizers();
