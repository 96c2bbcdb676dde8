// What each format's writer is given: the tree to pack, where to report,
// and the original archive when the new one is made like it.
#pragma once

#include <string>
#include <vector>

#include "input.h"
#include "layout.h"
#include "messages.h"
#include "scan.h"

namespace sheaf {

struct PackJob {
  HostTree& host;
  Messages& messages;
  Input* original = nullptr;  // --like's archive
  std::string archive_name;   // ARCHIVE's file name, for a RARC's root folder
};

// Appends to head the gap up to start: the original's bytes at from when
// copy, else the fill. False when the original cannot be read (reported).
bool HeadGap(std::vector<uint8_t>& head, uint64_t start, bool copy, uint64_t from, const Fill& fill,
             Input* original);

// The fill of a gap of the original (read from it), or otherwise.
Fill OriginalFill(Input* original, uint64_t start, uint64_t end, Fill otherwise);

// The message of an entry that cannot be packed: cannot pack "a/b": why.
std::string CannotPack(const std::string& path, const std::string& why);

}  // namespace sheaf
