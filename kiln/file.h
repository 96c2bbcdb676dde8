// Files read whole, and outputs that appear only when whole.
#ifndef KILN_FILE_H
#define KILN_FILE_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "safefs/temporary.h"

namespace kiln {

// Which file a path leads to.
struct FileId {
  uint64_t device = 0, inode = 0;
  bool known = false;
};

// A regular file read whole (FIFOs and devices are refused at once, without
// waiting for a writer). Throws an Error: "cannot open: REASON", "cannot
// read: REASON", "not a regular file", or the size beyond `limit`.
std::vector<uint8_t> readFile(const std::string& path, uint64_t limit, FileId* id = nullptr);

// Files written beside their names and renamed over them only when whole
// (safefs::TemporaryFile): an old file survives any failure, and no partial
// or temporary file is left (the interrupts that safefs::HandleInterrupts
// handles remove the temporary files too).
class OutputFiles {
 public:
  // Writes data under a temporary name beside path (or beside the file a
  // symbolic link at path leads to). Throws an Error naming the problem;
  // `input` is the file read, which may not be replaced.
  void add(const std::string& path, std::string_view data, const FileId& input);
  // Renames the files over their names, in the order added. Throws an
  // Error (with the failing path in *failed) when a rename fails.
  void commit(std::string* failed);

 private:
  struct Pending {
    std::string target;
    std::unique_ptr<safefs::TemporaryFile> file;
  };
  std::vector<Pending> pending_;
};

}  // namespace kiln

#endif
