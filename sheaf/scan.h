// The tree below DIR that -c packs: every regular file and folder, links
// followed, names as the host gives them, each folder's entries sorted
// bytewise. Links back to an enclosing folder and special files are left
// out (reported: the run ends with status 1, the rest is packed); an entry
// that cannot be read stops the run before anything is written.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "messages.h"

namespace sheaf {

struct HostEntry {
  std::string name;  // in its folder
  std::string path;  // from the top, "/" between names ("" for the top)
  uint32_t parent = 0;
  bool folder = false;
  uint64_t size = 0;
  dev_t device = 0;
  ino_t inode = 0;
  std::vector<uint32_t> children;  // of a folder, bytewise by name
  // The first bytes and the four at size - 0x28, for the rules that go by
  // content (SniffFiles).
  uint8_t head[16] = {};
  uint8_t head_size = 0;
  uint8_t tail[4] = {};
  bool has_tail = false;
};

class HostTree {
 public:
  static constexpr uint32_t kNone = 0xFFFFFFFF;
  static constexpr int kMaxDepth = 256;

  std::string top;                 // DIR as given
  std::vector<HostEntry> entries;  // [0] is the top

  std::string HostPath(uint32_t index) const {
    return entries[index].path.empty() ? top : top + "/" + entries[index].path;
  }
  // The entry at a path from the top, or kNone.
  uint32_t Find(const std::string& path) const;
  void Index();

 private:
  std::unordered_map<std::string, uint32_t> by_path_;
};

// The file not to pack (the archive being replaced, when it lies below DIR).
struct Skip {
  bool known = false;
  dev_t device = 0;
  ino_t inode = 0;
};

// Scans dir into tree. False when nothing may be written: dir or an entry
// below it cannot be read (reported).
bool ScanTree(const std::string& dir, const Skip& skip, Messages& messages, HostTree* tree);

// Reads the content that the layout rules look at for each file listed.
// False (reported) when one cannot be read.
bool SniffFiles(HostTree& tree, const std::vector<uint32_t>& files, Messages& messages);

// Whether the file sniffed starts with magic (n bytes) at offset at.
inline bool StartsWith(const HostEntry& e, const char* magic, size_t n, size_t at = 0) {
  if (e.head_size < at + n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (e.head[at + i] != static_cast<uint8_t>(magic[i])) return false;
  }
  return true;
}

}  // namespace sheaf
