// Copies a scanned tree without the directories that hold no file anywhere
// below them.
#pragma once

#include <cstdint>

#include "romfs_dir_scanner.h"

class RomfsDirFilter {
 public:
  using sDirectory = RomfsDirScanner::sDirectory;
  using sFile = RomfsDirScanner::sFile;

  RomfsDirFilter();
  ~RomfsDirFilter();
  RomfsDirFilter(const RomfsDirFilter&) = delete;
  RomfsDirFilter& operator=(const RomfsDirFilter&) = delete;

  // Copies root into the filter's root. 0 on success, 2 when memory runs
  // out (the partial copy is then released with the filter).
  int FilterFs(const sDirectory& root);
  sDirectory& GetRootFs() { return root_; }

  static uint32_t GetNestedDirNum(const sDirectory& dir);
  static uint32_t GetNestedFileNum(const sDirectory& dir);

  // Copies src into the empty dst, leaving out subdirectories without any
  // file below them. Directory text is copied (and owned by the filter);
  // file records share their text with the scanned tree. 0 or 2.
  int CopyDirNode(const sDirectory& src, sDirectory& dst);
  // An independent copy of a file record with its own text (the caller
  // releases it). 0 or 2.
  static int CopyFileNode(const sFile& src, sFile& dst);

 private:
  static void FreeCopiedText(sDirectory& dir);

  sDirectory root_;
};
