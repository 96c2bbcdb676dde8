// Verifying and extracting the level-3 image: its bytes are read in large
// pieces, every block's digest checked the first time it is read, and the
// files written below a folder without ever leaving it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ivfc_reader.h"
#include "romfs_tree.h"

namespace uncairn {

// Level-3 bytes, read through the image with each block checked once.
class Level3Stream {
 public:
  using Sink = std::function<bool(const uint8_t* data, size_t size)>;

  explicit Level3Stream(IvfcReader& image);

  // Hands [offset, offset + size) to sink in pieces. False when the image
  // cannot be read (reported) or sink returns false.
  bool Read(uint64_t offset, uint64_t size, const Sink& sink);
  // Checks every block that has not been read yet. False on a read error.
  bool CheckRest();

 private:
  bool IsChecked(uint64_t block) const;
  void MarkChecked(uint64_t first, uint64_t end);

  IvfcReader& image_;
  uint64_t block_size_;
  std::vector<uint8_t> buffer_;
  std::map<uint64_t, uint64_t> checked_;  // runs of checked blocks: first -> end
};

struct ExtractOptions {
  bool force = false;              // replace existing files
  FILE* verbose = nullptr;         // where to print each file written
  std::vector<std::string> paths;  // only these files and folders; all when empty
};

// Extracts below dir (made when missing). Every problem is reported; false
// when one stopped the run (the image cannot be read, the output cannot be
// written), true when the run went to its end.
bool Extract(IvfcReader& image, RomfsTree& tree, const std::string& dir,
             const ExtractOptions& options, const Report& report);

}  // namespace uncairn
