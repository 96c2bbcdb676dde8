// Extraction below a folder, treating the archive as hostile: every folder
// is made and opened relative to its opened parent without following
// links, so nothing is ever written outside DIR, not even through a link
// that is already in it; each file is written beside its name and renamed
// into place when whole; an existing file is replaced only when asked.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "archive.h"
#include "messages.h"

namespace sheaf {

struct ExtractOptions {
  bool force = false;              // replace existing files
  FILE* verbose = nullptr;         // where to name each file extracted
  std::vector<std::string> paths;  // only these files and folders; all when empty
};

// Extracts the usable files (and folders) of archive below dir, made when
// missing. False when a problem stopped the run (a failed write, the
// archive cannot be read); every problem is reported.
bool Extract(Archive& archive, const std::string& dir, const ExtractOptions& options,
             Messages& messages);

}  // namespace sheaf
