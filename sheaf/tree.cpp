#include "tree.h"

namespace sheaf {

namespace {

uint64_t HashOf(uint32_t parent, std::string_view name) {
  uint64_t h = 0xCBF29CE484222325ull ^ parent;
  for (const char c : name) h = (h ^ static_cast<uint8_t>(c)) * 0x100000001B3ull;
  return h ^ (h >> 29);
}

}  // namespace

Tree::Tree() {
  nodes_.emplace_back();
  nodes_[0].folder = true;
  slots_.assign(1024, kNone);
}

std::string Tree::CheckName(std::string_view name) {
  if (name.empty()) return "an empty name";
  if (name == "." || name == "..") return "a name must not be \".\" or \"..\"";
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0) return "a name must not hold NUL";
    if (byte == '/') return "a name must not hold \"/\"";
    if (byte < 0x20 || byte == 0x7F) return "a name must not hold a control character";
  }
  return "";
}

std::string Tree::Refusal(Added added) {
  switch (added) {
    case Added::kNew:
      return "";
    case Added::kFolderExists:
    case Added::kTaken:
      return "another entry has that path";
    case Added::kTooDeep:
      return "deeper than " + std::to_string(kMaxDepth) + " folders";
    case Added::kFull:
      return "more than " + std::to_string(kMaxNodes) + " files and folders";
  }
  return "";
}

size_t Tree::Slot(uint32_t parent, std::string_view name) const {
  const size_t mask = slots_.size() - 1;
  size_t slot = HashOf(parent, name) & mask;
  while (slots_[slot] != kNone) {
    const Node& n = nodes_[slots_[slot]];
    if (n.parent == parent && Name(slots_[slot]) == name) break;
    slot = (slot + 1) & mask;
  }
  return slot;
}

void Tree::Grow() {
  std::vector<uint32_t> old;
  old.swap(slots_);
  slots_.assign(old.size() * 2, kNone);
  for (const uint32_t index : old) {
    if (index != kNone) slots_[Slot(nodes_[index].parent, Name(index))] = index;
  }
}

uint32_t Tree::Child(uint32_t parent, std::string_view name) const {
  return slots_[Slot(parent, name)];
}

Tree::Added Tree::AddChild(uint32_t parent, std::string_view name, bool folder, uint32_t* index) {
  const size_t slot = Slot(parent, name);
  if (slots_[slot] != kNone) {
    if (folder && nodes_[slots_[slot]].folder) {
      *index = slots_[slot];
      return Added::kFolderExists;
    }
    return Added::kTaken;
  }
  if (nodes_[parent].depth >= kMaxDepth) return Added::kTooDeep;
  if (nodes_.size() >= kMaxNodes) return Added::kFull;
  Node n;
  n.name = static_cast<uint32_t>(names_.size());
  n.name_size = static_cast<uint32_t>(name.size());
  n.parent = parent;
  n.depth = static_cast<uint16_t>(nodes_[parent].depth + 1);
  n.folder = folder;
  n.next_sibling = nodes_[parent].first_child;
  names_.append(name);
  *index = static_cast<uint32_t>(nodes_.size());
  nodes_[parent].first_child = *index;
  nodes_.push_back(n);
  slots_[slot] = *index;
  if (nodes_.size() * 2 > slots_.size()) Grow();
  return Added::kNew;
}

std::string Tree::Path(uint32_t index) const {
  std::vector<uint32_t> chain;
  for (uint32_t i = index; i != 0; i = nodes_[i].parent) chain.push_back(i);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += '/';
    path.append(Name(*it));
  }
  return path;
}

void Tree::Finish() {
  // Parents come before their children.
  for (Node& n : nodes_) {
    if (!nodes_[n.parent].usable) n.usable = false;
  }
}

uint32_t Tree::Find(std::string_view path) const {
  uint32_t at = 0;
  size_t i = 0;
  while (i <= path.size()) {
    size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(i, end - i);
    i = end + 1;
    if (part.empty() || part == ".") continue;
    if (!nodes_[at].folder) return kNone;
    at = Child(at, part);
    if (at == kNone || !nodes_[at].usable) return kNone;
  }
  return at;
}

std::vector<Tree::SortKey> Tree::SortedChildren(uint32_t folder) const {
  std::vector<SortKey> children;
  for (uint32_t c = nodes_[folder].first_child; c != kNone; c = nodes_[c].next_sibling) {
    if (!nodes_[c].usable) continue;
    std::string key(Name(c));
    if (nodes_[c].folder) key += '/';
    children.push_back({std::move(key), c});
  }
  std::sort(children.begin(), children.end(),
            [](const SortKey& a, const SortKey& b) { return a.key < b.key; });
  return children;
}

std::vector<uint32_t> Tree::FilesInDataOrder() const {
  std::vector<uint32_t> files;
  for (uint32_t i = 1; i < nodes_.size(); ++i) {
    if (!nodes_[i].folder && nodes_[i].usable) files.push_back(i);
  }
  std::sort(files.begin(), files.end(), [this](uint32_t a, uint32_t b) {
    return nodes_[a].offset != nodes_[b].offset ? nodes_[a].offset < nodes_[b].offset : a < b;
  });
  return files;
}

std::vector<std::pair<uint32_t, uint32_t>> Tree::Overlapping() const {
  std::vector<uint32_t> files;
  for (uint32_t i = 1; i < nodes_.size(); ++i) {
    if (!nodes_[i].folder && nodes_[i].usable && nodes_[i].size > 0) files.push_back(i);
  }
  std::sort(files.begin(), files.end(), [this](uint32_t a, uint32_t b) {
    const Node& x = nodes_[a];
    const Node& y = nodes_[b];
    if (x.offset != y.offset) return x.offset < y.offset;
    return x.size != y.size ? x.size < y.size : a < b;
  });
  // In that order, a file overlaps an earlier one exactly when it starts
  // before the furthest end so far.
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  uint32_t reach = kNone;
  for (const uint32_t f : files) {
    const Node& n = nodes_[f];
    if (reach != kNone) {
      const Node& r = nodes_[reach];
      const bool same_block = n.offset == r.offset && n.size == r.size;
      if (n.offset < r.offset + r.size && !same_block) pairs.push_back({f, reach});
      if (n.offset + n.size <= r.offset + r.size) continue;
    }
    reach = f;
  }
  return pairs;
}

}  // namespace sheaf
