// The level-3 RomFS of an image as a tree: its header and four tables are
// read (and held, at most kMaxTables bytes), every node is checked before it
// is used and visited at most once, and each directory's subdirectories and
// files end up as contiguous runs of two flat lists. Names are read from the
// tables when they are needed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ivfc_reader.h"

namespace uncairn {

class RomfsTree {
 public:
  static constexpr uint64_t kMaxTables = 16 << 20;
  static constexpr uint32_t kNone = 0xFFFFFFFF;

  struct Dir {
    uint32_t node = 0;    // offset in the directory table
    uint32_t parent = 0;  // index in dirs(); the root is its own parent
    uint32_t dirs_begin = 0, dirs_end = 0;
    uint32_t files_begin = 0, files_end = 0;
    uint32_t depth = 0;  // the root is at 0
    bool usable = true;  // false when it, or a folder above it, cannot be extracted
  };
  struct File {
    uint32_t node = 0;  // offset in the file table
    uint32_t parent = 0;
    uint64_t offset = 0;  // of its data in level 3
    uint64_t size = 0;
    bool usable = true;  // false when it cannot be extracted (reported)
  };

  // Reads and checks level 3's header and tables and walks the tree,
  // reporting every problem. False when there is no tree to speak of (the
  // header or a table cannot be read); otherwise whatever could be walked is
  // there, and problems() counts what was reported.
  bool Load(IvfcReader& image, const Report& report);

  const std::vector<Dir>& dirs() const { return dirs_; }
  const std::vector<File>& files() const { return files_; }
  int problems() const { return problems_; }

  std::string Name(const Dir& dir) const;
  std::string Name(const File& file) const;
  // "a/b/c" from the root (the root is "").
  std::string Path(const Dir& dir) const;
  std::string Path(const File& file) const;

  // The level-3 ranges of the header and tables.
  std::vector<std::pair<uint64_t, uint64_t>> MetadataRanges() const;
  // For messages about level-3 bytes [begin, end): "the RomFS metadata and
  // "a/b", "c"", or empty when they hold neither.
  std::string Holdings(uint64_t begin, uint64_t end);

  // Calls visit(file index, path) for every usable file in bytewise order of
  // the paths.
  template <typename Visit>
  void ForEachFileInPathOrder(Visit visit) const;
  // The paths' sort key: a folder sorts as its name followed by "/".
  struct Child {
    std::string key;
    bool is_dir;
    uint32_t index;
  };
  std::vector<Child> SortedChildren(const Dir& dir) const;

  // Finds a usable entry by its path as -l prints it. False when absent.
  bool Find(const std::string& path, bool& is_dir, uint32_t& index) const;

 private:
  struct Table {
    uint32_t offset = 0;
    uint32_t size = 0;
    std::vector<uint8_t> bytes;
  };
  enum { kDirHash = 0, kDirTable = 1, kFileHash = 2, kFileTable = 3 };

  void Problem(const std::string& text);
  bool ReadTables(IvfcReader& image);
  // Checks a node offset met in a chain; what says where it came from.
  bool NodeFits(int table, uint32_t offset, uint32_t fixed, const std::string& what);
  std::string NameAt(int table, uint32_t offset, uint32_t fixed) const;
  bool CheckName(int table, uint32_t offset, uint32_t fixed, const std::string& parent_path,
                 const char* kind);
  static constexpr uint8_t kFaulty = 2;  // in the seen lists, beside 0 and 1
  // Whether a chain may go on to the node at offset: it fits its table and
  // was not met before (else reported, met_before saying how).
  bool MayVisit(int table, uint32_t offset, uint32_t fixed, std::vector<uint8_t>& seen,
                const std::string& what, const char* met_before);
  void Walk(std::vector<uint8_t>& dir_seen, std::vector<uint8_t>& file_seen);
  void CheckDuplicates(Dir& dir);
  void CheckHashChains(int hash_table, int node_table, const std::vector<uint8_t>& seen);

  std::string name_;
  Report report_;
  int problems_ = 0;
  uint64_t level3_size_ = 0;
  uint64_t data_offset_ = 0;
  uint32_t header_size_ = 0;
  Table tables_[4];
  std::vector<Dir> dirs_;
  std::vector<File> files_;
  // Files by where their data begins, and the largest end up to each, to
  // find the files in a block; built when a message first needs it.
  std::vector<uint32_t> by_offset_;
  std::vector<uint64_t> max_end_;
};

template <typename Visit>
void RomfsTree::ForEachFileInPathOrder(Visit visit) const {
  if (dirs_.empty()) return;
  struct Frame {
    std::vector<Child> children;
    size_t next;
    std::string prefix;
  };
  std::vector<Frame> stack;
  stack.push_back({SortedChildren(dirs_[0]), 0, ""});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.children.size()) {
      stack.pop_back();
      continue;
    }
    const Child& child = top.children[top.next++];
    if (child.is_dir) {
      std::string prefix = top.prefix + child.key;  // the key ends in "/"
      stack.push_back({SortedChildren(dirs_[child.index]), 0, std::move(prefix)});
    } else {
      visit(child.index, top.prefix + child.key);
    }
  }
}

}  // namespace uncairn
