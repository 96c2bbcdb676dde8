// Walks a host directory tree once and records every directory and file in
// it: host path, UTF-16 name, name length in bytes and, for files, the size.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <utility>
#include <vector>

// The root's name: the empty UTF-16 string.
inline constexpr char16_t EMPTY_PATH[1] = {0};

class RomfsDirScanner {
 public:
  // Plain value records. Copies share their text with the source; the text
  // is released by FreeDirectory of the scanner that made it.
  struct sFile {
    char* path = nullptr;      // host path, NUL-terminated
    char16_t* name = nullptr;  // UTF-16, 0-terminated
    uint32_t name_size = 0;    // bytes, terminator not counted
    uint64_t size = 0;         // from the host's file status
  };

  struct sDirectory {
    char* path = nullptr;
    char16_t* name = nullptr;
    uint32_t name_size = 0;
    std::vector<sDirectory> dir_list;  // in host listing order
    std::vector<sFile> file_list;      // in host listing order
  };

  RomfsDirScanner();
  ~RomfsDirScanner();
  RomfsDirScanner(const RomfsDirScanner&) = delete;
  RomfsDirScanner& operator=(const RomfsDirScanner&) = delete;

  // Scans the tree below path. 0 on success, 1 when the root cannot be
  // opened as a directory, 2 when memory runs out.
  int ScanDir(const char* path);
  // Lists dir.path and appends what it finds, recursively. 0 on success,
  // 1 when the directory cannot be opened or listed, 2 when memory runs out.
  int PopulateDir(sDirectory& dir);

  const sDirectory& root_dir() const { return root_; }

  // Prints the files and subdirectories below dir, indented by depth.
  void PrintDirTree(sDirectory dir, int depth);

  static void InitDirectory(sDirectory& dir);
  static void FreeDirectory(sDirectory& dir);

 private:
  sDirectory root_;
  // Device and inode of every directory being listed, from the root down
  // to the current one: a link back to any of them would never end.
  std::vector<std::pair<dev_t, ino_t>> open_dirs_;
};
