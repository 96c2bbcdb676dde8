// Builds scanner records by hand, in a chosen list order, for layout tests.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "oschar.h"
#include "romfs_dir_scanner.h"

class RecordText {
 public:
  RecordText() = default;
  RecordText(const RecordText&) = delete;
  RecordText& operator=(const RecordText&) = delete;
  ~RecordText() {
    for (void* p : blocks_) free(p);
  }

  RomfsDirScanner::sFile File(const std::string& name, uint64_t size, const std::string& path) {
    RomfsDirScanner::sFile f;
    f.path = Keep(strcopy_8to8(path.c_str()));
    f.name = Keep(strcopy_UTF8toUTF16(name.c_str()));
    f.name_size = utf16_strlen(f.name) * 2;
    f.size = size;
    return f;
  }

  RomfsDirScanner::sDirectory Dir(const std::string& name,
                                  std::vector<RomfsDirScanner::sFile> files,
                                  std::vector<RomfsDirScanner::sDirectory> dirs = {}) {
    RomfsDirScanner::sDirectory d;
    d.path = Keep(strcopy_8to8(("/host/" + name).c_str()));
    d.name = Keep(strcopy_UTF8toUTF16(name.c_str()));
    d.name_size = utf16_strlen(d.name) * 2;
    d.file_list = std::move(files);
    d.dir_list = std::move(dirs);
    return d;
  }

 private:
  template <typename T>
  T* Keep(T* p) {
    blocks_.push_back(p);
    return p;
  }
  std::vector<void*> blocks_;
};
