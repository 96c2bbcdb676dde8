#include "romfs_dir_scanner.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "oschar.h"

namespace {

// Fills a record's path and name from its parent's path and the entry name.
// Returns false when memory runs out (the record then holds what was made).
template <typename Record>
bool SetEntryText(Record& rec, const char* parent_path, const char* entry_name) {
  rec.path = os_AppendToPath(parent_path, entry_name);
  rec.name = strcopy_UTF8toUTF16(entry_name);
  if (rec.path == nullptr || rec.name == nullptr) return false;
  rec.name_size = utf16_strlen(rec.name) * 2;
  return true;
}

int OutOfMemory(const char* path) {
  fprintf(stderr, "[ERROR] Out of memory while scanning \"%s\"\n", path);
  return 2;
}

void FreeFileText(RomfsDirScanner::sFile& file) {
  free(file.path);
  free(file.name);
  file.path = nullptr;
  file.name = nullptr;
  file.name_size = 0;
  file.size = 0;
}

}  // namespace

RomfsDirScanner::RomfsDirScanner() { InitDirectory(root_); }

RomfsDirScanner::~RomfsDirScanner() { FreeDirectory(root_); }

int RomfsDirScanner::ScanDir(const char* path) {
  root_.path = strcopy_8to8(path);
  root_.name = strcopy_16to16(EMPTY_PATH);
  root_.name_size = 0;
  if (root_.path == nullptr || root_.name == nullptr) return OutOfMemory(path);
  open_dirs_.clear();
  return PopulateDir(root_);
}

int RomfsDirScanner::PopulateDir(sDirectory& dir) {
  DIR* listing = opendir(dir.path);
  if (listing == nullptr) {
    printf("[ERROR] Failed to open directory: \"%s\"\n", dir.path);
    return 1;
  }

  struct stat self;
  if (fstat(dirfd(listing), &self) != 0) {
    closedir(listing);
    printf("[ERROR] Failed to open directory: \"%s\"\n", dir.path);
    return 1;
  }

  // The whole listing is read before anything below is visited, so only
  // one directory is open at a time however deep the tree goes.
  std::vector<std::string> names;
  bool listing_failed = false;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(listing);
    if (entry == nullptr) {
      listing_failed = errno != 0;
      break;
    }
    if (entry->d_name[0] == '.') continue;  // ".", ".." and hidden names
    names.emplace_back(entry->d_name);
  }
  closedir(listing);
  if (listing_failed) {
    printf("[ERROR] Failed to read directory: \"%s\"\n", dir.path);
    return 1;
  }

  open_dirs_.emplace_back(self.st_dev, self.st_ino);
  int result = 0;
  for (const std::string& name : names) {
    char* path = os_AppendToPath(dir.path, name.c_str());
    if (path == nullptr) {
      result = OutOfMemory(dir.path);
      break;
    }
    struct stat st;
    const bool is_dir = stat(path, &st) == 0 && S_ISDIR(st.st_mode);
    if (is_dir && std::find(open_dirs_.begin(), open_dirs_.end(),
                            std::make_pair(st.st_dev, st.st_ino)) != open_dirs_.end()) {
      fprintf(stderr, "[WARNING] Skipping \"%s\": it leads back to an enclosing directory\n", path);
      free(path);
      continue;
    }
    free(path);
    if (!utf8_is_valid(name.c_str())) {
      fprintf(stderr,
              "[WARNING] Name is not valid UTF-8, its invalid bytes become U+FFFD: \"%s/%s\"\n",
              dir.path, name.c_str());
    }

    if (is_dir) {
      sDirectory child;
      if (!SetEntryText(child, dir.path, name.c_str())) {
        FreeDirectory(child);
        result = OutOfMemory(dir.path);
        break;
      }
      // A subdirectory that cannot be opened has printed its message and
      // stays in the tree with empty lists; the scan goes on.
      const int child_result = PopulateDir(child);
      dir.dir_list.push_back(std::move(child));
      if (child_result == 2) {  // already reported where it happened
        result = 2;
        break;
      }
    } else {
      sFile file;
      if (!SetEntryText(file, dir.path, name.c_str())) {
        FreeFileText(file);
        result = OutOfMemory(dir.path);
        break;
      }
      file.size = os_fsize(file.path);
      dir.file_list.push_back(file);
    }
  }
  open_dirs_.pop_back();
  return result;
}

void RomfsDirScanner::PrintDirTree(sDirectory dir, int depth) {
  const int indent = depth * 2;
  for (const sFile& file : dir.file_list) {
    printf("%*s%s (size=0x%llx)\n", indent, "", file.path,
           static_cast<unsigned long long>(file.size));
  }
  for (const sDirectory& child : dir.dir_list) {
    printf("%*s%s (dir=%u, file=%u)\n", indent, "", child.path,
           static_cast<unsigned>(child.dir_list.size()),
           static_cast<unsigned>(child.file_list.size()));
    PrintDirTree(child, depth + 1);
  }
}

void RomfsDirScanner::InitDirectory(sDirectory& dir) {
  dir.path = nullptr;
  dir.name = nullptr;
  dir.name_size = 0;
  dir.dir_list.clear();
  dir.file_list.clear();
}

void RomfsDirScanner::FreeDirectory(sDirectory& dir) {
  free(dir.path);
  free(dir.name);
  for (sDirectory& child : dir.dir_list) FreeDirectory(child);
  for (sFile& file : dir.file_list) FreeFileText(file);
  InitDirectory(dir);
}
