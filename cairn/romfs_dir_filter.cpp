#include "romfs_dir_filter.h"

#include <cstdio>
#include <cstdlib>

#include "oschar.h"

RomfsDirFilter::RomfsDirFilter() { RomfsDirScanner::InitDirectory(root_); }

RomfsDirFilter::~RomfsDirFilter() { FreeCopiedText(root_); }

void RomfsDirFilter::FreeCopiedText(sDirectory& dir) {
  // Only the directory text belongs to the filter; file text belongs to
  // the scanner.
  free(dir.path);
  free(dir.name);
  for (sDirectory& child : dir.dir_list) FreeCopiedText(child);
  RomfsDirScanner::InitDirectory(dir);
}

int RomfsDirFilter::FilterFs(const sDirectory& root) { return CopyDirNode(root, root_); }

uint32_t RomfsDirFilter::GetNestedDirNum(const sDirectory& dir) {
  uint32_t count = static_cast<uint32_t>(dir.dir_list.size());
  for (const sDirectory& child : dir.dir_list) count += GetNestedDirNum(child);
  return count;
}

uint32_t RomfsDirFilter::GetNestedFileNum(const sDirectory& dir) {
  uint32_t count = static_cast<uint32_t>(dir.file_list.size());
  for (const sDirectory& child : dir.dir_list) count += GetNestedFileNum(child);
  return count;
}

int RomfsDirFilter::CopyDirNode(const sDirectory& src, sDirectory& dst) {
  dst.path = strcopy_8to8(src.path);
  dst.name = strcopy_16to16(src.name);
  dst.name_size = src.name_size;
  if ((src.path != nullptr && dst.path == nullptr) ||
      (src.name != nullptr && dst.name == nullptr)) {
    fprintf(stderr, "[ERROR] Out of memory while filtering \"%s\"\n", src.path);
    return 2;
  }
  dst.file_list = src.file_list;
  for (const sDirectory& child : src.dir_list) {
    if (GetNestedFileNum(child) == 0) continue;
    dst.dir_list.emplace_back();
    const int result = CopyDirNode(child, dst.dir_list.back());
    if (result != 0) return result;
  }
  return 0;
}

int RomfsDirFilter::CopyFileNode(const sFile& src, sFile& dst) {
  dst.path = strcopy_8to8(src.path);
  dst.name = strcopy_16to16(src.name);
  dst.name_size = src.name_size;
  dst.size = src.size;
  if ((src.path != nullptr && dst.path == nullptr) ||
      (src.name != nullptr && dst.name == nullptr)) {
    free(dst.path);
    free(dst.name);
    dst.path = nullptr;
    dst.name = nullptr;
    return 2;
  }
  return 0;
}
