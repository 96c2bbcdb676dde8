// The files and folders of an archive as they are extracted: every reader
// turns its format's tables into this tree, whose root is the top of DIR.
// Each name is checked once, when it is added; a name taken twice in one
// folder is refused there, so no two entries can be written to one path.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sheaf {

class Tree {
 public:
  static constexpr uint32_t kNone = 0xFFFFFFFF;
  // Bounds on what a hostile archive can make sheaf hold: games' archives
  // have some thousands of entries and a few levels of folders.
  static constexpr uint32_t kMaxNodes = 1 << 19;
  static constexpr uint32_t kMaxDepth = 256;

  struct Node {
    uint64_t offset = 0;  // a file's data in the archive
    uint64_t size = 0;
    uint32_t name = 0;  // where its name lies in the names
    uint32_t name_size = 0;
    uint32_t parent = 0;
    uint32_t entry = kNone;  // the format's own index of the entry
    uint32_t first_child = kNone;
    uint32_t next_sibling = kNone;
    uint16_t depth = 0;  // the root is at 0
    bool folder = false;
    bool usable = true;  // false when it or a folder above it cannot be extracted
  };

  enum class Added {
    kNew,           // made; its index is in *index
    kFolderExists,  // a folder was asked for and one of that name is there (*index)
    kTaken,         // the name is taken by another entry
    kTooDeep,       // more than kMaxDepth levels
    kFull,          // kMaxNodes entries already
  };

  Tree();

  Added AddChild(uint32_t parent, std::string_view name, bool folder, uint32_t* index);
  // Why an entry was not added ("another entry has that path", ...), or ""
  // when it was (kNew).
  static std::string Refusal(Added added);
  // Why a name cannot be a path component ("." and "..", empty, NUL,
  // control characters, "/"), or "" when it can.
  static std::string CheckName(std::string_view name);

  uint32_t size() const { return static_cast<uint32_t>(nodes_.size()); }
  const Node& node(uint32_t index) const { return nodes_[index]; }
  Node& node(uint32_t index) { return nodes_[index]; }
  std::string_view Name(uint32_t index) const {
    return std::string_view(names_).substr(nodes_[index].name, nodes_[index].name_size);
  }
  // The path from the root, "/" between names ("" for the root).
  std::string Path(uint32_t index) const;
  // The child of parent named name, or kNone.
  uint32_t Child(uint32_t parent, std::string_view name) const;

  // Marks everything below an unusable folder unusable too (call once all
  // is added).
  void Finish();

  // The node a path names, written as -l prints it; a leading "/" or "./",
  // a trailing "/", doubled slashes and "." components are accepted. kNone
  // when there is none (or it is not usable).
  uint32_t Find(std::string_view path) const;

  // The usable files in bytewise order of their paths (a folder sorts as
  // its name followed by "/"): visit(index, path).
  template <typename Visit>
  void ForEachFileInPathOrder(Visit visit) const;

  // The usable files in the order of their data in the archive.
  std::vector<uint32_t> FilesInDataOrder() const;

  // Usable files whose data overlap without being one block (the same
  // start and size: a file stored once for several entries, as games do):
  // each pair is a file and one whose data it overlaps. Every file that
  // overlaps another partially is in a pair, or one equal to it is.
  std::vector<std::pair<uint32_t, uint32_t>> Overlapping() const;

 private:
  struct SortKey {
    std::string key;
    uint32_t index;
  };
  std::vector<SortKey> SortedChildren(uint32_t folder) const;
  size_t Slot(uint32_t parent, std::string_view name) const;
  void Grow();

  std::vector<Node> nodes_;
  std::string names_;
  std::vector<uint32_t> slots_;  // open addressing on (parent, name): node indexes
};

template <typename Visit>
void Tree::ForEachFileInPathOrder(Visit visit) const {
  struct Frame {
    std::vector<SortKey> children;
    size_t next;
    std::string prefix;
  };
  std::vector<Frame> stack;
  stack.push_back({SortedChildren(0), 0, ""});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.children.size()) {
      stack.pop_back();
      continue;
    }
    const SortKey& child = top.children[top.next++];
    if (nodes_[child.index].folder) {
      std::string prefix = top.prefix + child.key;  // the key ends in "/"
      stack.push_back({SortedChildren(child.index), 0, std::move(prefix)});
    } else {
      visit(child.index, top.prefix + child.key);
    }
  }
}

}  // namespace sheaf
