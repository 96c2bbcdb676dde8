#include "reference.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>

namespace reference {

namespace {

uint64_t Align(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

void Put16(Bytes& b, size_t at, uint32_t v, bool big) {
  b[at + (big ? 0 : 1)] = static_cast<uint8_t>(v >> 8);
  b[at + (big ? 1 : 0)] = static_cast<uint8_t>(v);
}
void Put32(Bytes& b, size_t at, uint32_t v, bool big) {
  for (int i = 0; i < 4; ++i) b[at + (big ? 3 - i : i)] = static_cast<uint8_t>(v >> (8 * i));
}
void Append(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

// Where identical non-empty files were stored, when they are stored once.
class Stored {
 public:
  explicit Stored(bool share) : share_(share) {}
  // The start of an earlier copy of data, or false.
  bool Find(const Bytes& data, uint32_t* start) const {
    if (!share_ || data.empty()) return false;
    const auto it = starts_.find(Key(data));
    if (it == starts_.end()) return false;
    *start = it->second;
    return true;
  }
  void Add(const Bytes& data, uint32_t start) { starts_.emplace(Key(data), start); }

 private:
  static std::string Key(const Bytes& data) { return std::string(data.begin(), data.end()); }

  bool share_;
  std::unordered_map<std::string, uint32_t> starts_;
};

// A folder of the tree: its files and sub-folders by name.
struct Folder {
  std::string name;
  std::map<std::string, const File*> files;
  std::map<std::string, Folder> folders;
};

Folder Build(const Tree& tree) {
  Folder root;
  auto folder_at = [&](const std::string& path) {
    Folder* at = &root;
    size_t i = 0;
    while (i < path.size()) {
      size_t end = path.find('/', i);
      if (end == std::string::npos) end = path.size();
      const std::string name = path.substr(i, end - i);
      Folder& next = at->folders[name];
      next.name = name;
      at = &next;
      i = end + 1;
    }
    return at;
  };
  for (const File& f : tree.files) {
    const size_t slash = f.path.rfind('/');
    Folder* at = slash == std::string::npos ? &root : folder_at(f.path.substr(0, slash));
    at->files[slash == std::string::npos ? f.path : f.path.substr(slash + 1)] = &f;
  }
  for (const std::string& p : tree.empty_folders) folder_at(p);
  return root;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

// The games' order of U8 names.
bool GamesLess(const std::string& a, const std::string& b) {
  auto key = [](unsigned char c) {
    const int lower = tolower(c);
    int group = 2;
    if (c == '/')
      group = 0;
    else if (c == '.')
      group = 1;
    else if (isalpha(c) && c < 0x80)
      group = 3;
    else if (c >= 0x80)
      group = 4;
    return group * 256 + lower;
  };
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const int x = key(static_cast<unsigned char>(a[i])), y = key(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

}  // namespace

uint32_t SarcNameHash(const std::string& name, uint32_t multiplier, SarcHash hash) {
  uint32_t h = 0;
  if (hash == SarcHash::kCodePoints) {
    for (size_t i = 0; i < name.size();) {
      const auto c = static_cast<unsigned char>(name[i]);
      uint32_t cp = c;
      size_t n = 1;
      if (c >= 0xF0)
        cp = c & 0x07, n = 4;
      else if (c >= 0xE0)
        cp = c & 0x0F, n = 3;
      else if (c >= 0xC0)
        cp = c & 0x1F, n = 2;
      for (size_t k = 1; k < n; ++k)
        cp = cp << 6 | (static_cast<unsigned char>(name[i + k]) & 0x3F);
      h = h * multiplier + cp;
      i += n;
    }
    return h;
  }
  for (const char c : name) {
    const uint32_t unit =
        hash == SarcHash::kSigned
            ? static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)))
            : static_cast<unsigned char>(c);
    h = h * multiplier + unit;
  }
  return h;
}

uint32_t ContentAlignment(const File& f) {
  auto starts = [&](const char* m, size_t n, size_t at = 0) {
    return f.data.size() >= at + n && memcmp(f.data.data() + at, m, n) == 0;
  };
  auto tail = [&](const char* m) {
    return f.data.size() >= 0x28 && memcmp(f.data.data() + f.data.size() - 0x28, m, 4) == 0;
  };
  if (starts("SARC", 4) || starts("FFNT", 4) || starts("Gfx2", 4) || starts("FRES", 4) ||
      starts("AAHS", 4) || starts("BAHS", 4) || tail("FLIM"))
    return 0x2000;
  if (starts("BNTX\0\0\0\0", 8) || starts("BNSH\0\0\0\0", 8) || starts("FSHA    ", 8))
    return 0x1000;
  if (starts("SCDL", 4, 0xC)) return 0x100;
  if (starts("Yaz0", 4) || starts("Yaz1", 4) || starts("CFNT", 4) || starts("CGFX", 4) ||
      tail("CLIM") || starts("YB", 2) || starts("BY", 2) || starts("MsgStdBn", 8) ||
      starts("MsgPrjBn", 8))
    return 0x80;
  if (starts("CSTM", 4) || starts("FSTM", 4) || starts("FSTP", 4) || starts("CWAV", 4) ||
      starts("FWAV", 4))
    return 0x20;
  if (starts("CTPK", 4)) return 0x10;
  if (starts("AAMP", 4)) return 8;
  return 4;
}

Bytes WriteSarc(const Tree& tree, const SarcStyle& style) {
  struct Entry {
    uint32_t hash;
    bool named;
    std::string name;
    const File* file;
    uint32_t collision = 1;
    uint32_t name_offset = 0;
  };
  std::vector<Entry> entries;
  for (const File& f : tree.files) {
    Entry e{0, true, style.leading_slash ? "/" + f.path : f.path, &f};
    if (style.unnamed && f.path.size() == 9 && f.path[0] == '@') {
      e.named = false;
      e.hash = static_cast<uint32_t>(std::stoul(f.path.substr(1), nullptr, 16));
    } else {
      e.hash = SarcNameHash(e.name, style.multiplier, style.hash);
    }
    entries.push_back(e);
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.name < b.name;
  });
  for (size_t i = 1; i < entries.size(); ++i) {
    if (entries[i].hash == entries[i - 1].hash) entries[i].collision = entries[i - 1].collision + 1;
  }
  Bytes names;
  for (Entry& e : entries) {
    if (!e.named) continue;
    e.name_offset = static_cast<uint32_t>(names.size());
    Append(names, e.name);
    names.push_back(0);
    names.resize(Align(names.size(), 4), 0);
  }
  uint64_t largest = 1;
  for (const Entry& e : entries) {
    largest = std::max<uint64_t>(largest, style.alignment ? style.alignment(*e.file) : 4);
  }
  const bool big = style.big_endian;
  const size_t tables = 0x14 + 0xC + 16 * entries.size() + 8 + names.size();
  const size_t data_offset = Align(tables, largest);
  Bytes out(data_offset, 0);
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  Stored stored(style.share);
  for (const Entry& e : entries) {
    uint32_t earlier = 0;
    if (stored.Find(e.file->data, &earlier)) {
      ranges.push_back({earlier, earlier + static_cast<uint32_t>(e.file->data.size())});
      continue;
    }
    const uint32_t a = style.alignment ? style.alignment(*e.file) : 4;
    const size_t start = Align(out.size() - data_offset, a);
    stored.Add(e.file->data, static_cast<uint32_t>(start));
    out.resize(data_offset + start, 0);
    out.insert(out.end(), e.file->data.begin(), e.file->data.end());
    ranges.push_back(
        {static_cast<uint32_t>(start), static_cast<uint32_t>(start + e.file->data.size())});
  }
  memcpy(out.data(), "SARC", 4);
  Put16(out, 4, 0x14, big);
  Put16(out, 6, 0xFEFF, big);
  Put32(out, 8, static_cast<uint32_t>(out.size()), big);
  Put32(out, 12, static_cast<uint32_t>(data_offset), big);
  Put16(out, 16, 0x100, big);
  memcpy(out.data() + 0x14, "SFAT", 4);
  Put16(out, 0x18, 0xC, big);
  Put16(out, 0x1A, static_cast<uint32_t>(entries.size()), big);
  Put32(out, 0x1C, style.multiplier, big);
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t at = 0x20 + 16 * i;
    Put32(out, at, entries[i].hash, big);
    Put32(out, at + 4,
          entries[i].named ? entries[i].collision << 24 | entries[i].name_offset / 4 : 0, big);
    Put32(out, at + 8, ranges[i].first, big);
    Put32(out, at + 12, ranges[i].second, big);
  }
  const size_t sfnt = 0x20 + 16 * entries.size();
  memcpy(out.data() + sfnt, "SFNT", 4);
  Put16(out, sfnt + 4, 8, big);
  std::copy(names.begin(), names.end(), out.begin() + static_cast<std::ptrdiff_t>(sfnt + 8));
  return out;
}

Bytes WriteRarc(const Tree& tree, const RarcStyle& style) {
  const bool big = !style.little_endian;
  const Folder root = Build(tree);
  struct Dir {
    const Folder* folder;
    std::string name;
    uint32_t parent;
    std::vector<uint32_t> entries;
  };
  struct Entry {
    std::string name;
    bool folder;
    const File* file;
    uint32_t target;  // folders and dots
    uint32_t name_offset = 0;
    uint32_t start = 0;
  };
  std::vector<Dir> dirs;
  std::vector<Entry> entries;
  // Folders depth first, in the order they are added.
  std::vector<uint32_t> order;
  auto add = [&](auto&& self, const Folder* f, const std::string& name,
                 uint32_t parent) -> uint32_t {
    const auto index = static_cast<uint32_t>(dirs.size());
    dirs.push_back({f, name, parent, {}});
    std::vector<std::pair<const Folder*, uint32_t>> subs;
    for (const auto& [n, sub] : f->folders) subs.push_back({&sub, self(self, &sub, n, index)});
    (void)subs;
    return index;
  };
  add(add, &root, style.root_name, 0xFFFFFFFF);
  // Entries per folder: files, folders, "." and "..".
  std::map<const Folder*, uint32_t> index_of;
  for (uint32_t i = 0; i < dirs.size(); ++i) index_of[dirs[i].folder] = i;
  for (uint32_t i = 0; i < dirs.size(); ++i) {
    Dir& d = dirs[i];
    for (const auto& [n, f] : d.folder->files) {
      d.entries.push_back(static_cast<uint32_t>(entries.size()));
      entries.push_back({n, false, f, 0});
    }
    for (const auto& [n, sub] : d.folder->folders) {
      d.entries.push_back(static_cast<uint32_t>(entries.size()));
      entries.push_back({n, true, nullptr, index_of[&sub]});
    }
    d.entries.push_back(static_cast<uint32_t>(entries.size()));
    entries.push_back({".", true, nullptr, i});
    d.entries.push_back(static_cast<uint32_t>(entries.size()));
    entries.push_back({"..", true, nullptr, i == 0 ? style.root_parent : d.parent});
  }
  // Strings.
  std::string strings(".\0..\0", 5);
  std::map<std::string, uint32_t> shared{{".", 0}, {"..", 2}};
  std::vector<uint32_t> dir_name(dirs.size());
  auto intern = [&](const std::string& s, bool share) {
    if (share && shared.count(s)) return shared[s];
    const auto at = static_cast<uint32_t>(strings.size());
    strings += s;
    strings += '\0';
    if (share) shared[s] = at;
    return at;
  };
  if (style.gclib) {
    for (uint32_t i = 0; i < dirs.size(); ++i) dir_name[i] = intern(dirs[i].name, true);
    for (const Dir& d : dirs) {
      for (const uint32_t e : d.entries) entries[e].name_offset = intern(entries[e].name, true);
    }
  } else {
    dir_name[0] = intern(style.root_name, false);
    auto walk = [&](auto&& self, uint32_t di) -> void {
      for (const uint32_t e : dirs[di].entries) {
        Entry& entry = entries[e];
        if (entry.name == "." || entry.name == "..") {
          entry.name_offset = entry.name == "." ? 0 : 2;
          continue;
        }
        entry.name_offset = intern(entry.name, false);
        if (entry.folder) {
          dir_name[entry.target] = entry.name_offset;
          self(self, entry.target);
        }
      }
    };
    walk(walk, 0);
  }
  auto pad = [&](Bytes& out, size_t to, bool text) {
    const size_t from = out.size();
    out.resize(to, 0);
    if (text) {
      static const char kText[] = "This is padding data to alignme";
      for (size_t i = from; i < to; ++i) out[i] = static_cast<uint8_t>(kText[(i - from) % 31]);
    }
  };
  const bool text = style.gclib && style.text_padding;
  Bytes out(0x40 + 16 * dirs.size(), 0);
  pad(out, Align(out.size(), 32), false);
  const size_t entry_table = out.size();
  out.resize(out.size() + 20 * entries.size(), 0);
  pad(out, Align(out.size(), 32), text);
  const size_t string_table = out.size();
  Append(out, strings);
  pad(out, Align(out.size(), 32), text);
  const size_t data_start = out.size();
  // Files by memory group, each group in entry order.
  auto attributes = [&](const Entry& e) -> uint8_t {
    return style.attributes ? style.attributes(*e.file) : 0x11;
  };
  auto group = [](uint8_t a) { return a & 0x10 ? 0 : a & 0x20 ? 1 : 2; };
  uint32_t spans[3] = {0, 0, 0};
  Stored stored(style.share);
  for (int g = 0; g < 3; ++g) {
    for (const Dir& d : dirs) {
      for (const uint32_t e : d.entries) {
        Entry& entry = entries[e];
        if (entry.folder || group(attributes(entry)) != g) continue;
        if (stored.Find(entry.file->data, &entry.start)) continue;
        stored.Add(entry.file->data, static_cast<uint32_t>(out.size() - data_start));
        const size_t before = out.size();
        entry.start = static_cast<uint32_t>(out.size() - data_start);
        out.insert(out.end(), entry.file->data.begin(), entry.file->data.end());
        pad(out, Align(out.size(), 32), text);
        spans[g] += static_cast<uint32_t>(out.size() - before);
      }
    }
  }
  memcpy(out.data(), big ? "RARC" : "CRAR", 4);
  Put32(out, 4, static_cast<uint32_t>(out.size()), big);
  Put32(out, 8, 0x20, big);
  Put32(out, 0xC, static_cast<uint32_t>(data_start - 0x20), big);
  Put32(out, 0x10, static_cast<uint32_t>(out.size() - data_start), big);
  Put32(out, 0x14, spans[0], big);
  Put32(out, 0x18, spans[1], big);
  Put32(out, 0x1C, style.dvd_field ? spans[2] : 0, big);
  Put32(out, 0x20, static_cast<uint32_t>(dirs.size()), big);
  Put32(out, 0x24, 0x20, big);
  Put32(out, 0x28, static_cast<uint32_t>(entries.size()), big);
  Put32(out, 0x2C, static_cast<uint32_t>(entry_table - 0x20), big);
  Put32(out, 0x30, static_cast<uint32_t>(data_start - string_table), big);
  Put32(out, 0x34, static_cast<uint32_t>(string_table - 0x20), big);
  uint32_t files = 0;
  for (const Entry& e : entries) files += !e.folder;
  Put16(out, 0x38, style.ids_follow ? static_cast<uint32_t>(entries.size()) : files, big);
  out[0x3A] = style.ids_follow ? 1 : 0;
  auto hash = [](const std::string& s) {
    uint32_t h = 0;
    for (const char c : s) h = h * 3 + static_cast<unsigned char>(c);
    return h & 0xFFFF;
  };
  uint32_t first = 0;
  for (size_t i = 0; i < dirs.size(); ++i) {
    const size_t at = 0x40 + 16 * i;
    for (size_t k = 0; k < 4; ++k) {
      const char c = i == 0 ? "ROOT"[k] : k < dirs[i].name.size() ? dirs[i].name[k] : ' ';
      out[at + k] = static_cast<uint8_t>(toupper(static_cast<unsigned char>(c)) & 0xFF);
      if (static_cast<unsigned char>(c) >= 0x80) out[at + k] = static_cast<uint8_t>(c);
    }
    Put32(out, at + 4, dir_name[i], big);
    Put16(out, at + 8, hash(dirs[i].name), big);
    Put16(out, at + 10, static_cast<uint32_t>(dirs[i].entries.size()), big);
    Put32(out, at + 12, first, big);
    first += static_cast<uint32_t>(dirs[i].entries.size());
  }
  uint32_t index = 0, file_number = 0;
  for (const Dir& d : dirs) {
    for (const uint32_t e : d.entries) {
      const Entry& entry = entries[e];
      const size_t at = entry_table + 20 * index;
      Put16(out, at, entry.folder ? 0xFFFF : style.ids_follow ? index : file_number, big);
      Put16(out, at + 2, hash(entry.name), big);
      Put32(out, at + 4,
            uint32_t{entry.folder ? uint8_t{0x02} : attributes(entry)} << 24 | entry.name_offset,
            big);
      Put32(out, at + 8, entry.folder ? entry.target : entry.start, big);
      Put32(out, at + 12, entry.folder ? 0x10 : static_cast<uint32_t>(entry.file->data.size()),
            big);
      file_number += !entry.folder;
      ++index;
    }
  }
  return out;
}

Bytes WriteU8(const Tree& tree, const U8Style& style) {
  const Folder root = Build(tree);
  struct Node {
    std::string name;
    bool folder;
    const File* file;
    uint32_t parent;
    uint32_t end = 0;
  };
  std::vector<Node> nodes{{"", true, nullptr, 0}};
  auto less = [&](const std::string& a, const std::string& b) {
    return style.wszst ? GamesLess(a, b) : Lower(a) < Lower(b);
  };
  auto add = [&](auto&& self, const Folder& f, uint32_t self_index) -> void {
    std::vector<std::string> files, folders;
    for (const auto& [n, file] : f.files) files.push_back(n);
    for (const auto& [n, sub] : f.folders) folders.push_back(n);
    std::sort(files.begin(), files.end(), less);
    std::sort(folders.begin(), folders.end(), less);
    for (const std::string& n : files) nodes.push_back({n, false, f.files.at(n), self_index});
    for (const std::string& n : folders) {
      const auto index = static_cast<uint32_t>(nodes.size());
      nodes.push_back({n, true, nullptr, self_index});
      self(self, f.folders.at(n), index);
      nodes[index].end = static_cast<uint32_t>(nodes.size());
    }
  };
  const bool dot = style.wszst && style.dot_folder;
  if (dot) {
    nodes.push_back({".", true, nullptr, 0});
    add(add, root, 1);
    nodes[1].end = static_cast<uint32_t>(nodes.size());
  } else {
    add(add, root, 0);
  }
  nodes[0].end = static_cast<uint32_t>(nodes.size());
  std::string strings;
  std::vector<uint32_t> name_offset;
  for (const Node& n : nodes) {
    name_offset.push_back(static_cast<uint32_t>(strings.size()));
    strings += n.name;
    strings += '\0';
  }
  const uint32_t table = style.node_table;
  const uint32_t size = static_cast<uint32_t>(12 * nodes.size() + strings.size());
  const size_t data_offset = Align(table + size, 32);
  Bytes out(data_offset, 0);
  if (style.wszst && style.reserved_cc) std::fill(out.begin() + 0x10, out.begin() + table, 0xCC);
  std::vector<uint32_t> start(nodes.size(), 0);
  Stored stored(style.share);
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].folder || stored.Find(nodes[i].file->data, &start[i])) continue;
    out.resize(Align(out.size(), 32), 0);
    stored.Add(nodes[i].file->data, static_cast<uint32_t>(out.size()));
    start[i] = static_cast<uint32_t>(out.size());
    out.insert(out.end(), nodes[i].file->data.begin(), nodes[i].file->data.end());
  }
  if (style.wszst && style.pad_last) out.resize(Align(out.size(), 32), 0);
  memcpy(out.data(), "\x55\xAA\x38\x2D", 4);
  Put32(out, 4, table, true);
  Put32(out, 8, size, true);
  Put32(out, 12, static_cast<uint32_t>(data_offset), true);
  for (size_t i = 0; i < nodes.size(); ++i) {
    const size_t at = table + 12 * i;
    out[at] = nodes[i].folder ? 1 : 0;
    out[at + 1] = static_cast<uint8_t>(name_offset[i] >> 16);
    out[at + 2] = static_cast<uint8_t>(name_offset[i] >> 8);
    out[at + 3] = static_cast<uint8_t>(name_offset[i]);
    Put32(out, at + 4, nodes[i].folder ? nodes[i].parent : start[i], true);
    Put32(out, at + 8,
          nodes[i].folder ? nodes[i].end : static_cast<uint32_t>(nodes[i].file->data.size()), true);
  }
  std::copy(strings.begin(), strings.end(),
            out.begin() + table + 12 * static_cast<std::ptrdiff_t>(nodes.size()));
  return out;
}

Bytes WriteNarc(const Tree& tree, const NarcStyle& style) {
  const Folder root = Build(tree);
  struct Dir {
    const Folder* folder;
    uint32_t parent;
    uint32_t first_id = 0;
    Bytes sub;
  };
  std::vector<Dir> dirs;
  std::vector<const File*> files;  // by id
  if (!style.named) {
    std::vector<const File*> sorted;
    for (const File& f : tree.files) sorted.push_back(&f);
    std::sort(sorted.begin(), sorted.end(),
              [](const File* a, const File* b) { return a->path < b->path; });
    files = sorted;
  } else {
    // Folders depth first; each folder's files get their ids when it is reached.
    auto visit = [&](auto&& self, const Folder* f, uint32_t parent) -> uint32_t {
      const auto index = static_cast<uint32_t>(dirs.size());
      dirs.push_back({f, parent, 0, {}});
      dirs[index].first_id = static_cast<uint32_t>(files.size());
      struct Item {
        std::string name;
        bool folder;
      };
      std::vector<Item> items;
      for (const auto& [n, file] : f->files) items.push_back({n, false});
      for (const auto& [n, sub] : f->folders) items.push_back({n, true});
      if (style.knarc_order) {
        std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
          return Lower(a.name) < Lower(b.name);
        });
      }
      for (const Item& it : items) {
        if (!it.folder) files.push_back(f->files.at(it.name));
      }
      Bytes sub;
      for (const Item& it : items) {
        sub.push_back(static_cast<uint8_t>(it.name.size() | (it.folder ? 0x80 : 0)));
        Append(sub, it.name);
        if (it.folder) {
          const uint32_t child = self(self, &f->folders.at(it.name), index);
          sub.push_back(static_cast<uint8_t>(child));
          sub.push_back(static_cast<uint8_t>((0xF000 + child) >> 8));
        }
      }
      sub.push_back(0);
      dirs[index].sub = sub;
      return index;
    };
    visit(visit, &root, 0);
  }
  Bytes names;
  if (!style.named) {
    names = style.ndspy ? Bytes{8, 0, 0, 0, 0, 0, 1, 0, 0, 0xFF, 0xFF, 0xFF}
                        : Bytes{4, 0, 0, 0, 0, 0, 1, 0};
  } else {
    names.resize(8 * dirs.size(), 0);
    for (size_t i = 0; i < dirs.size(); ++i) {
      Put32(names, 8 * i, static_cast<uint32_t>(names.size()), false);
      Put16(names, 8 * i + 4, dirs[i].first_id, false);
      Put16(names, 8 * i + 6, i == 0 ? static_cast<uint32_t>(dirs.size()) : 0xF000 + dirs[i].parent,
            false);
      names.insert(names.end(), dirs[i].sub.begin(), dirs[i].sub.end());
    }
    names.resize(Align(names.size(), 4), 0xFF);
  }
  const uint8_t fill = style.ndspy ? 0x00 : 0xFF;
  Bytes data;
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  Stored stored(style.share);
  for (const File* f : files) {
    uint32_t earlier = 0;
    if (stored.Find(f->data, &earlier)) {
      ranges.push_back({earlier, earlier + static_cast<uint32_t>(f->data.size())});
      continue;
    }
    data.resize(Align(data.size(), 4), fill);
    stored.Add(f->data, static_cast<uint32_t>(data.size()));
    ranges.push_back(
        {static_cast<uint32_t>(data.size()), static_cast<uint32_t>(data.size() + f->data.size())});
    data.insert(data.end(), f->data.begin(), f->data.end());
  }
  data.resize(Align(data.size(), 4), fill);
  Bytes out(0x10, 0);
  memcpy(out.data(), "NARC", 4);
  const uint8_t marks_knarc[] = {0xFE, 0xFF, 0x00, 0x01}, marks_ndspy[] = {0xFF, 0xFE, 0x01, 0x00};
  memcpy(out.data() + 4, style.ndspy ? marks_ndspy : marks_knarc, 4);
  Put16(out, 12, 0x10, false);
  Put16(out, 14, 3, false);
  const size_t btaf = out.size();
  out.resize(btaf + 12 + 8 * files.size(), 0);
  memcpy(out.data() + btaf, "BTAF", 4);
  Put32(out, btaf + 4, static_cast<uint32_t>(12 + 8 * files.size()), false);
  Put16(out, btaf + 8, static_cast<uint32_t>(files.size()), false);
  for (size_t i = 0; i < ranges.size(); ++i) {
    Put32(out, btaf + 12 + 8 * i, ranges[i].first, false);
    Put32(out, btaf + 16 + 8 * i, ranges[i].second, false);
  }
  const size_t btnf = out.size();
  out.resize(btnf + 8, 0);
  memcpy(out.data() + btnf, "BTNF", 4);
  Put32(out, btnf + 4, static_cast<uint32_t>(8 + names.size()), false);
  out.insert(out.end(), names.begin(), names.end());
  const size_t gmif = out.size();
  out.resize(gmif + 8, 0);
  memcpy(out.data() + gmif, "GMIF", 4);
  Put32(out, gmif + 4, static_cast<uint32_t>(8 + data.size()), false);
  out.insert(out.end(), data.begin(), data.end());
  Put32(out, 8, static_cast<uint32_t>(out.size()), false);
  return out;
}

Bytes Lz77(const Bytes& data) {
  Bytes out{0x10, static_cast<uint8_t>(data.size()), static_cast<uint8_t>(data.size() >> 8),
            static_cast<uint8_t>(data.size() >> 16)};
  size_t at = 0;
  while (at < data.size()) {
    const size_t flags = out.size();
    out.push_back(0);
    for (int bit = 0; bit < 8 && at < data.size(); ++bit) {
      size_t best = 0, distance = 0;
      for (size_t back = 1; back <= 4096 && back <= at; ++back) {
        size_t n = 0;
        while (n < 18 && at + n < data.size() && data[at + n] == data[at + n - back]) ++n;
        if (n > best) best = n, distance = back;
      }
      if (best >= 3) {
        out[flags] = static_cast<uint8_t>(out[flags] | 0x80 >> bit);
        out.push_back(static_cast<uint8_t>((best - 3) << 4 | (distance - 1) >> 8));
        out.push_back(static_cast<uint8_t>(distance - 1));
        at += best;
      } else {
        out.push_back(data[at++]);
      }
    }
  }
  out.resize(Align(out.size(), 4), 0);
  return out;
}

Bytes DecodeLz77(const Bytes& s) {
  size_t size = s[1] | s[2] << 8 | s[3] << 16, at = 4;
  if (size == 0) {
    size = s[4] | s[5] << 8 | s[6] << 16 | static_cast<size_t>(s[7]) << 24;
    at = 8;
  }
  Bytes out;
  while (out.size() < size) {
    const uint8_t flags = s.at(at++);
    for (int bit = 7; bit >= 0 && out.size() < size; --bit) {
      if (flags >> bit & 1) {
        const size_t length = (s.at(at) >> 4) + 3;
        const size_t distance = ((s.at(at) & 0xF) << 8 | s.at(at + 1)) + 1;
        at += 2;
        for (size_t k = 0; k < length; ++k) out.push_back(out.at(out.size() - distance));
      } else {
        out.push_back(s.at(at++));
      }
    }
  }
  return out;
}

}  // namespace reference
