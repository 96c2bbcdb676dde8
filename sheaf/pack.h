// What each format's writer is given: the tree to pack, where to report,
// and the original archive when the new one is made like it.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
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

// A file kept from the original, as the sharing of data blocks sees it.
struct KeptFile {
  bool kept = false;   // false: a file new to the archive
  uint64_t start = 0;  // its original data: where it lay in the original archive
  uint64_t size = 0;
  uint32_t file = 0;  // its host file
};

// Entries that shared one data block in the original share one in the new
// archive while their files are identical, in the original block's place;
// a file that changed gets its own block by the usual rules. A writer
// first puts one file still equal to each shared block first among the
// files of that block (KeepersFirst), then asks for each file, in data
// order, whether it can use a block placed before (Find) and, if not,
// tells where its own went (Placed).
class SharedBlocks {
 public:
  static constexpr uint64_t kNone = ~uint64_t{0};

  SharedBlocks(const HostTree& host, Messages& messages, Input* original)
      : host_(host), messages_(messages), original_(original) {}

  // Reorders a data order; describe(index) gives its KeptFile. False when
  // a file cannot be read (reported).
  template <class Index, class Describe>
  bool KeepersFirst(std::vector<Index>& order, Describe describe);

  // The new start of a block placed before for a file of the same
  // original block with the same content, or kNone. False when a file
  // cannot be read (reported).
  bool Find(const KeptFile& kept, uint64_t* start);
  void Placed(const KeptFile& kept, uint64_t start);

 private:
  // A file is compared with at most this many blocks made of one
  // original block, so that a hostile original cannot make the
  // comparisons grow with the square of its entries.
  static constexpr size_t kMaxBlocks = 8;
  struct Block {
    uint32_t file;
    uint64_t start;
  };
  bool Reorder(const std::vector<KeptFile>& files, std::vector<size_t>* order);
  bool Sharing(const KeptFile& kept) const {
    return kept.kept && kept.size > 0 && host_.entries[kept.file].size > 0;
  }

  const HostTree& host_;
  Messages& messages_;
  Input* original_;
  std::set<std::pair<uint64_t, uint64_t>> shared_;  // original blocks of several files
  std::map<std::pair<uint64_t, uint64_t>, std::vector<Block>> blocks_;
};

template <class Index, class Describe>
bool SharedBlocks::KeepersFirst(std::vector<Index>& order, Describe describe) {
  std::vector<KeptFile> files;
  files.reserve(order.size());
  for (const Index i : order) files.push_back(describe(i));
  std::vector<size_t> positions;
  if (!Reorder(files, &positions)) return false;
  std::vector<Index> reordered;
  reordered.reserve(order.size());
  for (const size_t p : positions) reordered.push_back(order[p]);
  order.swap(reordered);
  return true;
}

// The message of an entry that cannot be packed: cannot pack "a/b": why.
std::string CannotPack(const std::string& path, const std::string& why);

}  // namespace sheaf
