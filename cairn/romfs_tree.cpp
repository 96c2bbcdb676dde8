#include "romfs_tree.h"

#include <algorithm>
#include <tuple>

#include "ByteBuffer.h"
#include "oschar.h"
#include "romfs.h"

namespace uncairn {

namespace {

constexpr uint32_t kDirFixed = 24;
constexpr uint32_t kFileFixed = 32;
// Deeper folders are not walked: no image that a console reads comes near,
// and it keeps every path short enough to build and to open.
constexpr uint32_t kMaxDepth = 256;

const char* const kTableNames[4] = {"directory hash table", "directory table", "file hash table",
                                    "file table"};

std::string Num(uint64_t v) { return std::to_string(v); }
std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// A name for messages: a NUL cannot be printed, so it shows as \0.
std::string Printable(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (c == '\0') {
      out += "\\0";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

void RomfsTree::Problem(const std::string& text) {
  ++problems_;
  report_(name_ + ": " + text);
}

bool RomfsTree::ReadTables(IvfcReader& image) {
  const std::string damaged = "damaged RomFS header: ";
  if (level3_size_ < Romfs::sRomfsHeader::kSize) {
    Problem(damaged + "level 3 is only " + Num(level3_size_) + " bytes long");
    return false;
  }
  uint8_t header[Romfs::sRomfsHeader::kSize];
  if (!image.ReadLevel3(0, header, sizeof(header))) return false;
  header_size_ = get_le32(header);
  if (header_size_ < sizeof(header) || header_size_ > level3_size_) {
    Problem(damaged + "its size is " + Num(header_size_) + ", not 40");
    return false;
  }
  uint64_t total = 0;
  for (int i = 0; i < 4; ++i) {
    Table& t = tables_[i];
    t.offset = get_le32(header + 4 + 8 * i);
    t.size = get_le32(header + 8 + 8 * i);
    const uint64_t end = uint64_t(t.offset) + t.size;
    if (t.offset < header_size_ || end > level3_size_) {
      Problem(damaged + "the " + kTableNames[i] + " (" + Num(t.size) + " bytes at " +
              Num(t.offset) + ") lies outside the " + Num(level3_size_) + "-byte level 3");
      return false;
    }
    if ((i == kDirHash || i == kFileHash) && t.size % 4 != 0) {
      Problem(damaged + "the " + kTableNames[i] + " is " + Num(t.size) +
              " bytes long, not a whole number of 4-byte buckets");
      return false;
    }
    total += t.size;
  }
  data_offset_ = get_le32(header + 36);
  if (data_offset_ > level3_size_) {
    Problem(damaged + "the file data begins at " + Num(data_offset_) + ", past the end of the " +
            Num(level3_size_) + "-byte level 3");
    return false;
  }
  if (total > kMaxTables) {
    Problem("the RomFS tables take " + Num(total) + " bytes; more than " + Num(kMaxTables) +
            " are not read");
    return false;
  }
  for (Table& t : tables_) {
    t.bytes.resize(t.size);
    if (!image.ReadLevel3(t.offset, t.bytes.data(), t.size)) return false;
  }
  return true;
}

bool RomfsTree::NodeFits(int table, uint32_t offset, uint32_t fixed, const std::string& what) {
  const Table& t = tables_[table];
  std::string fault;
  if (offset % 4 != 0) {
    fault = "not on a 4-byte boundary";
  } else if (uint64_t(offset) + fixed > t.size) {
    fault = "outside the table's " + Num(t.size) + " bytes";
  } else {
    const uint32_t name_size = get_le32(t.bytes.data() + offset + fixed - 4);
    if (uint64_t(offset) + fixed + name_size > t.size) {
      fault = "its name of " + Num(name_size) + " bytes runs past the end of the table";
    } else if (name_size % 2 != 0) {
      fault = "its name is " + Num(name_size) + " bytes long, not a whole number of UTF-16 units";
    }
  }
  if (fault.empty()) return true;
  Problem("damaged RomFS: " + what + " is at " + Num(offset) + " in the " + kTableNames[table] +
          ": " + fault);
  return false;
}

std::string RomfsTree::NameAt(int table, uint32_t offset, uint32_t fixed) const {
  const uint8_t* node = tables_[table].bytes.data() + offset;
  const uint32_t units = get_le32(node + fixed - 4) / 2;
  std::u16string name(units, u'\0');
  for (uint32_t i = 0; i < units; ++i) {
    name[i] = static_cast<char16_t>(node[fixed + 2 * i] | (node[fixed + 2 * i + 1] << 8));
  }
  return utf16_to_utf8(name.data(), name.size());
}

std::string RomfsTree::Name(const Dir& dir) const {
  return dir.node == 0 ? "" : NameAt(kDirTable, dir.node, kDirFixed);
}

std::string RomfsTree::Name(const File& file) const {
  return NameAt(kFileTable, file.node, kFileFixed);
}

std::string RomfsTree::Path(const Dir& dir) const {
  std::vector<const Dir*> chain;
  for (const Dir* d = &dir; d->depth > 0; d = &dirs_[d->parent]) chain.push_back(d);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += '/';
    path += Printable(Name(**it));
  }
  return path;
}

std::string RomfsTree::Path(const File& file) const {
  std::string path = Path(dirs_[file.parent]);
  if (!path.empty()) path += '/';
  return path + Printable(Name(file));
}

bool RomfsTree::CheckName(int table, uint32_t offset, uint32_t fixed,
                          const std::string& parent_path, const char* kind) {
  const std::string name = NameAt(table, offset, fixed);
  const std::string where = parent_path.empty() ? "the root folder" : Quoted(parent_path);
  const std::string path = parent_path.empty() ? name : parent_path + "/" + name;
  if (name.empty()) {
    Problem("skipping a " + std::string(kind) + " with an empty name in " + where);
  } else if (name.find('\0') != std::string::npos || name.find('/') != std::string::npos) {
    Problem("skipping " + Quoted(Printable(path)) + ": a name must not hold NUL or \"/\"");
  } else if (name == "." || name == "..") {
    Problem("skipping " + Quoted(path) + ": a name must not be \".\" or \"..\"");
  } else {
    return true;
  }
  return false;
}

bool RomfsTree::Load(IvfcReader& image, const Report& report) {
  name_ = image.name();
  report_ = report;
  level3_size_ = image.level3_size();
  if (level3_size_ == 0) return true;  // an image without files
  if (!ReadTables(image)) return false;
  if (!NodeFits(kDirTable, 0, kDirFixed, "the root folder")) return false;
  std::vector<uint8_t> dir_seen(tables_[kDirTable].size / 4 + 1, 0);
  std::vector<uint8_t> file_seen(tables_[kFileTable].size / 4 + 1, 0);
  Walk(dir_seen, file_seen);
  CheckHashChains(kDirHash, kDirTable, dir_seen);
  CheckHashChains(kFileHash, kFileTable, file_seen);
  return true;
}

bool RomfsTree::MayVisit(int table, uint32_t offset, uint32_t fixed, std::vector<uint8_t>& seen,
                         const std::string& what, const char* met_before) {
  if (!NodeFits(table, offset, fixed, what)) {
    // Reported once: the hash chains may pass through it without a second message.
    if (offset % 4 == 0 && offset / 4 < seen.size() && seen[offset / 4] == 0) {
      seen[offset / 4] = kFaulty;
    }
    return false;
  }
  if (seen[offset / 4]) {
    Problem("damaged RomFS: " + what + " is at " + Num(offset) + " in the " + kTableNames[table] +
            ", " + met_before);
    return false;
  }
  return true;
}

void RomfsTree::Walk(std::vector<uint8_t>& dir_seen, std::vector<uint8_t>& file_seen) {
  const uint8_t* dir_table = tables_[kDirTable].bytes.data();
  const uint8_t* file_table = tables_[kFileTable].bytes.data();
  dirs_.push_back(Dir());
  dir_seen[0] = 1;
  for (size_t i = 0; i < dirs_.size(); ++i) {
    const uint32_t node = dirs_[i].node;
    const uint8_t* fields = dir_table + node;
    const std::string path = Path(dirs_[i]);
    const std::string in = path.empty() ? "the root folder" : Quoted(path);
    const bool usable = dirs_[i].usable;

    dirs_[i].files_begin = static_cast<uint32_t>(files_.size());
    std::string what = "the first file of " + in;
    for (uint32_t f = get_le32(fields + 12); f != kNone;) {
      if (!MayVisit(kFileTable, f, kFileFixed, file_seen, what,
                    "a file met before: the chain of files runs in a circle")) {
        break;
      }
      file_seen[f / 4] = 1;
      const uint8_t* file_node = file_table + f;
      File file;
      file.node = f;
      file.parent = static_cast<uint32_t>(i);
      file.size = get_le64(file_node + 16);
      const uint64_t offset = get_le64(file_node + 8);
      file.offset = data_offset_ + offset;
      file.usable = usable && CheckName(kFileTable, f, kFileFixed, path, "file");
      const std::string file_path = Quoted(Path(file));
      if (get_le32(file_node) != node) {
        Problem("damaged RomFS: " + file_path + " names the folder at " + Num(get_le32(file_node)) +
                " as its parent, not the one at " + Num(node));
      }
      const uint64_t area = level3_size_ - data_offset_;
      if (offset > area || file.size > area - offset) {
        Problem("damaged RomFS: the data of " + file_path + " (" + Num(file.size) + " bytes at " +
                Num(offset) + " in the file data) lies outside the " + Num(level3_size_) +
                "-byte level 3");
        file.usable = false;
        file.offset = 0;
        file.size = 0;
      }
      files_.push_back(file);
      what = "the file after " + file_path;
      f = get_le32(file_node + 4);
    }
    dirs_[i].files_end = static_cast<uint32_t>(files_.size());

    dirs_[i].dirs_begin = static_cast<uint32_t>(dirs_.size());
    what = "the first folder in " + in;
    for (uint32_t c = get_le32(fields + 8); c != kNone;) {
      if (!MayVisit(kDirTable, c, kDirFixed, dir_seen, what,
                    "a folder met before: the folders run in a circle")) {
        break;
      }
      const uint8_t* child_node = dir_table + c;
      Dir child;
      child.node = c;
      child.parent = static_cast<uint32_t>(i);
      child.depth = dirs_[i].depth + 1;
      child.usable = usable && CheckName(kDirTable, c, kDirFixed, path, "folder");
      const std::string child_path = Quoted(Path(child));
      if (get_le32(child_node) != node) {
        Problem("damaged RomFS: the folder " + child_path + " names the folder at " +
                Num(get_le32(child_node)) + " as its parent, not the one at " + Num(node));
      }
      if (child.depth > kMaxDepth) {
        Problem("skipping " + child_path + ": folders nested more than " + Num(kMaxDepth) +
                " deep are not read");
        break;
      }
      dir_seen[c / 4] = 1;
      dirs_.push_back(child);
      what = "the folder after " + child_path;
      c = get_le32(child_node + 4);
    }
    dirs_[i].dirs_end = static_cast<uint32_t>(dirs_.size());
    CheckDuplicates(dirs_[i]);
  }
}

void RomfsTree::CheckDuplicates(Dir& dir) {
  std::vector<std::tuple<std::string, bool, uint32_t>> names;
  for (uint32_t f = dir.files_begin; f < dir.files_end; ++f) {
    if (files_[f].usable) names.emplace_back(Name(files_[f]), false, f);
  }
  for (uint32_t d = dir.dirs_begin; d < dir.dirs_end; ++d) {
    if (dirs_[d].usable) names.emplace_back(Name(dirs_[d]), true, d);
  }
  std::sort(names.begin(), names.end());
  for (size_t k = 1; k < names.size(); ++k) {
    if (std::get<0>(names[k]) != std::get<0>(names[k - 1])) continue;
    const bool is_dir = std::get<1>(names[k]);
    const uint32_t index = std::get<2>(names[k]);
    const std::string path = is_dir ? Path(dirs_[index]) : Path(files_[index]);
    Problem("skipping the second " + Quoted(path) + ": that name is in its folder twice");
    if (is_dir) {
      dirs_[index].usable = false;
    } else {
      files_[index].usable = false;
    }
  }
}

void RomfsTree::CheckHashChains(int hash_table, int node_table, const std::vector<uint8_t>& seen) {
  const bool dirs = node_table == kDirTable;
  const uint32_t fixed = dirs ? kDirFixed : kFileFixed;
  const uint32_t link = dirs ? 16 : 24;  // the hash_sibling field
  const Table& hash = tables_[hash_table];
  const Table& nodes = tables_[node_table];
  const uint32_t buckets = hash.size / 4;
  // Entries by node offset, to name the node a chain reaches.
  const size_t count = dirs ? dirs_.size() : files_.size();
  std::vector<uint32_t> by_node(count);
  for (uint32_t k = 0; k < count; ++k) by_node[k] = k;
  auto node_of = [&](uint32_t k) { return dirs ? dirs_[k].node : files_[k].node; };
  std::sort(by_node.begin(), by_node.end(),
            [&](uint32_t a, uint32_t b) { return node_of(a) < node_of(b); });
  auto index_at = [&](uint32_t node) {
    return *std::lower_bound(by_node.begin(), by_node.end(), node,
                             [&](uint32_t k, uint32_t n) { return node_of(k) < n; });
  };
  auto path_of = [&](uint32_t node) {
    return Quoted(dirs ? Path(dirs_[index_at(node)]) : Path(files_[index_at(node)]));
  };
  // Entries that are skipped anyway (bad names, duplicates) need not be
  // found by name.
  auto usable_at = [&](uint32_t node) {
    return dirs ? dirs_[index_at(node)].usable : files_[index_at(node)].usable;
  };
  const char* kind = dirs ? "folder" : "file";

  std::vector<uint8_t> chained(seen.size(), 0);
  for (uint32_t b = 0; b < buckets; ++b) {
    for (uint32_t off = get_le32(hash.bytes.data() + 4 * b); off != kNone;) {
      if (off % 4 == 0 && off < nodes.size && seen[off / 4] == kFaulty && !chained[off / 4]) {
        chained[off / 4] = 1;
        if (uint64_t(off) + fixed > nodes.size) break;
        off = get_le32(nodes.bytes.data() + off + link);
        continue;
      }
      if (off % 4 != 0 || off >= nodes.size || seen[off / 4] != 1) {
        Problem("damaged RomFS: bucket " + Num(b) + " of the " + kTableNames[hash_table] +
                " leads to " + Num(off) + ", where no " + kind + " of the tree is");
        break;
      }
      if (chained[off / 4]) {
        Problem("damaged RomFS: bucket " + Num(b) + " of the " + kTableNames[hash_table] +
                " leads to " + path_of(off) + " a second time: the chain runs in a circle");
        break;
      }
      chained[off / 4] = 1;
      const uint8_t* node = nodes.bytes.data() + off;
      const uint32_t units = get_le32(node + fixed - 4) / 2;
      std::u16string name(units, u'\0');
      for (uint32_t i = 0; i < units; ++i) {
        name[i] = static_cast<char16_t>(node[fixed + 2 * i] | (node[fixed + 2 * i + 1] << 8));
      }
      const uint32_t expected = CalcPathHash(get_le32(node), name.c_str()) % buckets;
      if (expected != b && usable_at(off)) {
        Problem("damaged RomFS: the " + std::string(kind) + " " + path_of(off) + " is in bucket " +
                Num(b) + " of the " + kTableNames[hash_table] + ", but is looked for in bucket " +
                Num(expected));
      }
      off = get_le32(node + link);
    }
  }
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t node = node_of(k);
    if (!chained[node / 4] && (dirs ? dirs_[k].usable : files_[k].usable)) {
      Problem("damaged RomFS: the " + std::string(kind) + " " + path_of(node) +
              " is missing from the " + kTableNames[hash_table] +
              ", so it cannot be found by name");
    }
  }
}

std::vector<std::pair<uint64_t, uint64_t>> RomfsTree::MetadataRanges() const {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  if (level3_size_ == 0) return ranges;
  ranges.emplace_back(0, header_size_);
  for (const Table& t : tables_) ranges.emplace_back(t.offset, uint64_t(t.offset) + t.size);
  return ranges;
}

std::string RomfsTree::Holdings(uint64_t begin, uint64_t end) {
  if (by_offset_.empty()) {
    for (uint32_t k = 0; k < files_.size(); ++k) {
      if (files_[k].size > 0) by_offset_.push_back(k);
    }
    std::sort(by_offset_.begin(), by_offset_.end(),
              [&](uint32_t a, uint32_t b) { return files_[a].offset < files_[b].offset; });
    uint64_t max_end = 0;
    for (uint32_t k : by_offset_) {
      max_end = std::max(max_end, files_[k].offset + files_[k].size);
      max_end_.push_back(max_end);
    }
  }
  std::string text;
  for (const auto& [first, last] : MetadataRanges()) {
    if (first < end && last > begin && first < last) {
      text = "the RomFS metadata";
      break;
    }
  }
  // Files that begin before end, latest first, while any of them may still
  // reach past begin.
  size_t k = std::partition_point(by_offset_.begin(), by_offset_.end(),
                                  [&](uint32_t f) { return files_[f].offset < end; }) -
             by_offset_.begin();
  std::vector<uint32_t> found;
  while (k > 0 && max_end_[k - 1] > begin) {
    --k;
    const File& f = files_[by_offset_[k]];
    if (f.offset + f.size > begin) found.push_back(by_offset_[k]);
  }
  for (auto it = found.rbegin(); it != found.rend(); ++it) {
    text += text.empty() ? "" : (it == found.rbegin() ? " and " : ", ");
    text += Quoted(Path(files_[*it]));
  }
  return text;
}

std::vector<RomfsTree::Child> RomfsTree::SortedChildren(const Dir& dir) const {
  std::vector<Child> children;
  for (uint32_t f = dir.files_begin; f < dir.files_end; ++f) {
    if (files_[f].usable) children.push_back({Name(files_[f]), false, f});
  }
  for (uint32_t d = dir.dirs_begin; d < dir.dirs_end; ++d) {
    if (dirs_[d].usable) children.push_back({Name(dirs_[d]) + "/", true, d});
  }
  std::sort(children.begin(), children.end(),
            [](const Child& a, const Child& b) { return a.key < b.key; });
  return children;
}

bool RomfsTree::Find(const std::string& path, bool& is_dir, uint32_t& index) const {
  if (dirs_.empty()) return false;
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    const std::string part = path.substr(start, slash - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = slash + 1;
  }
  uint32_t dir = 0;
  for (size_t p = 0; p < parts.size(); ++p) {
    const Dir& d = dirs_[dir];
    bool found = false;
    if (p + 1 == parts.size()) {
      for (uint32_t f = d.files_begin; f < d.files_end && !found; ++f) {
        if (files_[f].usable && Name(files_[f]) == parts[p]) {
          is_dir = false;
          index = f;
          return true;
        }
      }
    }
    for (uint32_t c = d.dirs_begin; c < d.dirs_end && !found; ++c) {
      if (dirs_[c].usable && Name(dirs_[c]) == parts[p]) {
        dir = c;
        found = true;
      }
    }
    if (!found) return false;
  }
  is_dir = true;
  index = dir;
  return true;
}

}  // namespace uncairn
