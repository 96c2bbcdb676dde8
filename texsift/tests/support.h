// Helpers shared by texsift's tests: temporary folders, files, and running
// the real program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// A fresh folder, removed with everything in it at the end of the test.
struct TempDir {
  TempDir();
  ~TempDir();
  fs::path path;
};

std::vector<uint8_t> readFile(const fs::path& path);
std::string readText(const fs::path& path);
// Names of the files in a folder, sorted.
std::vector<std::string> listFiles(const fs::path& folder);

struct RunResult {
  int status = -1;     // exit status
  std::string out;     // standard output
  std::string err;     // standard error
  long maxRssKiB = 0;  // peak resident memory of the program
};
// Runs a program with the given arguments; fileSizeLimit > 0 caps the size
// of the files it may write (a write beyond it fails).
RunResult run(const std::vector<std::string>& argv, long fileSizeLimit = 0);
