#include "romfs_dir_scanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  enclosing_.clear();
  entries_left_out_ = false;
  AddFoldersHoldingTheRoot(path);
  // For the root, what a subfolder leaves out is the whole tree.
  return PopulateDir(root_);
}

void RomfsDirScanner::AddFoldersHoldingTheRoot(const char* path) {
  // Climbs through ".." from the folder itself, so links and mounts on the
  // way are resolved as the walk will meet them. What cannot be reached is
  // not added: the walk still ends, at the root itself.
  int fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  struct stat below;
  if (fd >= 0 && fstat(fd, &below) == 0) {
    for (;;) {
      const int parent = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
      close(fd);
      fd = parent;
      struct stat st;
      if (fd < 0 || fstat(fd, &st) != 0) break;
      if (st.st_dev == below.st_dev && st.st_ino == below.st_ino) break;  // "/" is its own parent
      enclosing_.emplace_back(st.st_dev, st.st_ino);
      below = st;
    }
  }
  if (fd >= 0) close(fd);
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
  // one directory is open at a time however deep the tree goes. A listing
  // that fails part-way is a read error, not the end of the folder.
  std::vector<std::string> names;
  int listing_error = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(listing);
    if (entry == nullptr) {
      listing_error = errno;
      break;
    }
    if (entry->d_name[0] == '.') continue;  // ".", ".." and hidden names
    names.emplace_back(entry->d_name);
  }
  closedir(listing);
  if (listing_error != 0) {
    printf("[ERROR] Failed to read directory: \"%s\" (%s)\n", dir.path, strerror(listing_error));
    return 1;
  }

  // Every entry's status, before anything is recorded: an entry whose
  // status cannot be read is unknown, never an empty file, and the folder
  // is then left out whole. Only a link that cannot be followed (dangling,
  // looping, or through a file) is packed as an empty file.
  std::vector<struct stat> status(names.size());
  std::vector<bool> found(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string path = std::string(dir.path) + "/" + names[i];
    if (path.size() >= PATH_MAX) {
      printf("[ERROR] Path longer than %d bytes: \"%s\"\n", PATH_MAX - 1, path.c_str());
      return kPathTooLong;
    }
    found[i] = stat(path.c_str(), &status[i]) == 0;
    const int err = found[i] ? 0 : errno;
    if (err != 0 && err != ENOENT && err != ELOOP && err != ENOTDIR) {
      printf("[ERROR] Failed to read directory: \"%s\" (cannot get the status of \"%s\": %s)\n",
             dir.path, names[i].c_str(), strerror(err));
      return 1;
    }
  }

  enclosing_.emplace_back(self.st_dev, self.st_ino);
  int result = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    const bool is_dir = found[i] && S_ISDIR(status[i].st_mode);
    if (is_dir &&
        std::find(enclosing_.begin(), enclosing_.end(),
                  std::make_pair(status[i].st_dev, status[i].st_ino)) != enclosing_.end()) {
      fprintf(stderr, "[WARNING] Skipping \"%s/%s\": it leads back to an enclosing directory\n",
              dir.path, name.c_str());
      continue;
    }
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
      // A subdirectory that cannot be read has printed its message and
      // stays in the tree with empty lists; the scan goes on.
      const int child_result = PopulateDir(child);
      dir.dir_list.push_back(std::move(child));
      if (child_result == 1) {
        entries_left_out_ = true;
      } else if (child_result != 0) {  // already reported where it happened
        result = child_result;
        break;
      }
    } else {
      sFile file;
      if (!SetEntryText(file, dir.path, name.c_str())) {
        FreeFileText(file);
        result = OutOfMemory(dir.path);
        break;
      }
      file.size = found[i] ? static_cast<uint64_t>(status[i].st_size) : 0;
      dir.file_list.push_back(file);
    }
  }
  enclosing_.pop_back();
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
