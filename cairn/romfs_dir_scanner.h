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

  // A path of the tree is longer than the host can open.
  static constexpr int kPathTooLong = 4;

  // Scans the tree below path. 0 on success (see entries_left_out), 1 when
  // the root cannot be opened or read, 2 when memory runs out, kPathTooLong.
  int ScanDir(const char* path);
  // Lists dir.path and appends what it finds, recursively. 0 on success,
  // 1 when the directory cannot be opened, listed or its entries' status
  // read (it is then left empty), 2 when memory runs out, kPathTooLong.
  int PopulateDir(sDirectory& dir);

  // True when a subfolder was left out of the scan because it could not be
  // read (its message has been printed).
  bool entries_left_out() const { return entries_left_out_; }
  const sDirectory& root_dir() const { return root_; }

  // Prints the files and subdirectories below dir, indented by depth.
  void PrintDirTree(sDirectory dir, int depth);

  static void InitDirectory(sDirectory& dir);
  static void FreeDirectory(sDirectory& dir);

 private:
  // Fills enclosing_ with the folders that hold the root, up to "/".
  void AddFoldersHoldingTheRoot(const char* path);

  sDirectory root_;
  // Device and inode of every folder that encloses the one being listed:
  // those holding the root, then those from the root down. A link back to
  // any of them would never end.
  std::vector<std::pair<dev_t, ino_t>> enclosing_;
  bool entries_left_out_ = false;
};
