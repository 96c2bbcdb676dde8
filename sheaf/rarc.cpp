#include "rarc.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>

namespace sheaf {

namespace {

constexpr uint32_t kInfo = 0x20;         // the info block, and the base of its offsets
constexpr uint32_t kTablesStart = 0x40;  // after the header and the info block
constexpr uint32_t kMaxTables = 16 << 20;
constexpr uint32_t kNoParent = 0xFFFFFFFF;
constexpr uint64_t kAlign = 32;
constexpr uint16_t kFolderId = 0xFFFF;

// The NUL-terminated string at offset, or why there is none.
bool StringAt(const std::string& strings, uint64_t offset, std::string* text, std::string* why) {
  if (offset >= strings.size()) {
    *why = "its name offset " + Hex(offset) + " lies outside the " +
           std::to_string(strings.size()) + "-byte string table";
    return false;
  }
  const size_t end = strings.find('\0', static_cast<size_t>(offset));
  if (end == std::string::npos) {
    *why = "its name runs past the end of the string table";
    return false;
  }
  *text = strings.substr(static_cast<size_t>(offset), end - static_cast<size_t>(offset));
  return true;
}

std::string FolderLabel(const std::string& path) {
  return path.empty() ? std::string("the root folder") : "the folder " + Quote(path);
}

// 0 plain, 1 Yay0, 2 Yaz0.
int CompressionOf(const uint8_t* head, size_t size) {
  if (size >= 4 && memcmp(head, "Yaz0", 4) == 0) return 2;
  if (size >= 4 && memcmp(head, "Yay0", 4) == 0) return 1;
  return 0;
}

uint8_t WithCompression(uint8_t attributes, int compression) {
  attributes = static_cast<uint8_t>(attributes & ~0x84);
  if (compression == 2) attributes |= 0x84;
  if (compression == 1) attributes |= 0x04;
  return attributes;
}

// Files are laid out by memory group: main RAM, auxiliary RAM, the disc.
int GroupOf(uint8_t attributes) {
  if (attributes & 0x10) return 0;
  if (attributes & 0x20) return 1;
  if (attributes & 0x40) return 2;
  return 3;
}

}  // namespace

uint16_t RarcHash(std::string_view name) {
  uint32_t h = 0;
  for (const char c : name) h = h * 3 + static_cast<uint8_t>(c);
  return static_cast<uint16_t>(h);
}

bool ReadRarc(Input& input, Messages& messages, RarcModel* m, Tree* tree) {
  uint8_t h[kTablesStart];
  if (input.size() < kTablesStart) {
    messages.Problem("truncated: " + std::to_string(input.size()) +
                     " bytes, too short for a RARC's header and info block");
    return false;
  }
  if (!input.Read(0, h, sizeof h)) return false;
  m->order.big = memcmp(h, "RARC", 4) == 0;
  const Order& o = m->order;
  m->size = o.U32(h + 4);
  const uint32_t info = o.U32(h + 8);
  m->data_offset = o.U32(h + 0xC);
  m->data_size = o.U32(h + 0x10);
  m->mram_size = o.U32(h + 0x14);
  m->aram_size = o.U32(h + 0x18);
  m->dvd_size = o.U32(h + 0x1C);
  const uint32_t folder_count = o.U32(h + 0x20);
  m->folder_table = o.U32(h + 0x24);
  const uint32_t entry_count = o.U32(h + 0x28);
  m->entry_table = o.U32(h + 0x2C);
  m->string_size = o.U32(h + 0x30);
  m->string_table = o.U32(h + 0x34);
  m->next_id = o.U16(h + 0x38);
  m->ids_follow = h[0x3A];
  m->reserved_byte = h[0x3B];
  m->reserved_word = o.U32(h + 0x3C);
  if (info != kInfo) {
    messages.Problem("damaged RARC header: the info block is at " + Hex(info) + ", not 0x20");
    return false;
  }
  if (m->size > input.size()) {
    messages.Problem("truncated: the header gives " + std::to_string(m->size) +
                     " bytes, the archive holds " + std::to_string(input.size()));
    return false;
  }
  const struct {
    const char* what;
    uint32_t offset;
    uint64_t size;
  } tables[] = {{"folder table", m->folder_table, uint64_t{folder_count} * 16},
                {"entry table", m->entry_table, uint64_t{entry_count} * 20},
                {"string table", m->string_table, m->string_size}};
  uint64_t total = 0;
  for (const auto& t : tables) {
    if (uint64_t{kInfo} + t.offset + t.size > m->size) {
      messages.Problem(std::string("damaged RARC: the ") + t.what + " (" + std::to_string(t.size) +
                       " bytes at " + Hex(uint64_t{kInfo} + t.offset) +
                       ") runs past the end of the " + std::to_string(m->size) + "-byte archive");
      return false;
    }
    total += t.size;
  }
  if (total > kMaxTables) {
    messages.Problem("the tables take " + std::to_string(total) +
                     " bytes, more than the 16 MiB that sheaf reads");
    return false;
  }
  if (folder_count == 0) {
    messages.Problem("damaged RARC: it has no root folder");
    return false;
  }
  const uint64_t data_start = uint64_t{kInfo} + m->data_offset;
  if (data_start > m->size) {
    messages.Problem("damaged RARC header: the data region starts at " + Hex(data_start) +
                     ", past the end of the archive");
    return false;
  }
  std::vector<uint8_t> folders(folder_count * 16), entries(entry_count * 20);
  m->strings.resize(m->string_size);
  if (!input.Read(kInfo + m->folder_table, folders.data(), folders.size()) ||
      !input.Read(kInfo + m->entry_table, entries.data(), entries.size()) ||
      !input.Read(kInfo + m->string_table, m->strings.data(), m->strings.size())) {
    return false;
  }
  m->folders.resize(folder_count);
  for (uint32_t i = 0; i < folder_count; ++i) {
    const uint8_t* f = folders.data() + 16 * i;
    RarcFolder& folder = m->folders[i];
    memcpy(folder.type, f, 4);
    folder.name_offset = o.U32(f + 4);
    folder.hash = o.U16(f + 8);
    folder.count = o.U16(f + 10);
    folder.first = o.U32(f + 12);
  }
  m->entries.resize(entry_count);
  for (uint32_t i = 0; i < entry_count; ++i) {
    const uint8_t* e = entries.data() + 20 * i;
    RarcEntry& entry = m->entries[i];
    entry.id = o.U16(e);
    entry.hash = o.U16(e + 2);
    const uint32_t word = o.U32(e + 4);
    entry.attributes = static_cast<uint8_t>(word >> 24);
    entry.name_offset = word & 0xFFFFFF;
    entry.data = o.U32(e + 8);
    entry.size = o.U32(e + 12);
    entry.reserved = o.U32(e + 16);
  }
  std::string why;
  if (!StringAt(m->strings, m->folders[0].name_offset, &m->root_name, &why)) {
    messages.Problem("damaged RARC: the root folder's name: " + why);
  }

  // The folders from the root, each reached once; a folder's entries are
  // its own run of the entry table.
  struct Work {
    uint32_t folder;
    uint32_t parent;
    uint32_t node;
  };
  std::vector<Work> stack{{0, kNoParent, 0}};
  std::vector<uint8_t> owned(entry_count, 0);
  m->folders[0].reached = true;
  while (!stack.empty()) {
    const Work w = stack.back();
    stack.pop_back();
    RarcFolder& folder = m->folders[w.folder];
    const std::string label = FolderLabel(folder.path);
    if (uint64_t{folder.first} + folder.count > entry_count) {
      messages.Problem("skipping the contents of " + label + ": its entries " +
                       std::to_string(folder.first) + " to " +
                       std::to_string(uint64_t{folder.first} + folder.count - 1) +
                       " lie past the end of the " + std::to_string(entry_count) + "-entry table");
      continue;
    }
    if (std::any_of(owned.begin() + folder.first, owned.begin() + folder.first + folder.count,
                    [](uint8_t v) { return v != 0; })) {
      messages.Problem("skipping the contents of " + label +
                       ": its entries overlap those of another folder");
      continue;
    }
    std::fill(owned.begin() + folder.first, owned.begin() + folder.first + folder.count, 1);
    for (uint32_t k = folder.first; k < folder.first + folder.count; ++k) {
      RarcEntry& e = m->entries[k];
      const std::string where = folder.path.empty() ? "" : folder.path + "/";
      if (!StringAt(m->strings, e.name_offset, &e.name, &why)) {
        messages.Problem("skipping entry " + std::to_string(k) + " of " + label + ": " + why);
        continue;
      }
      const std::string shown = Quote(where + e.name);
      if (e.attributes & 0x02) {
        if (e.name == "." || e.name == "..") {
          const bool self = e.name == ".";
          e.kind = self ? RarcEntry::kSelf : RarcEntry::kParent;
          const uint32_t expected = self ? w.folder : w.parent;
          // The root has no parent: 0xFFFFFFFF in most files, 0x0000FFFF in
          // other tools'; any value that names no folder says so.
          const bool no_parent = !self && w.parent == kNoParent && e.data >= folder_count;
          if (e.data != expected && !no_parent) {
            messages.Problem("damaged RARC: the \"" + e.name + "\" entry of " + label +
                             " leads to folder " + std::to_string(e.data) + ", not to " +
                             (self ? "itself" : "its parent"));
            continue;
          }
          e.reached = true;
          continue;
        }
        e.kind = RarcEntry::kFolder;
        why = Tree::CheckName(e.name);
        if (!why.empty()) {
          messages.Problem("skipping " + shown + ": " + why);
          continue;
        }
        if (e.data >= folder_count) {
          messages.Problem("skipping " + shown + ": it leads to folder " + std::to_string(e.data) +
                           ", but there are " + std::to_string(folder_count));
          continue;
        }
        if (m->folders[e.data].reached) {
          messages.Problem("skipping " + shown + ": it leads to folder " + std::to_string(e.data) +
                           ", which is reached before (a cycle, or two ways to one folder)");
          continue;
        }
      } else {
        e.kind = RarcEntry::kFile;
        why = Tree::CheckName(e.name);
        if (!why.empty()) {
          messages.Problem("skipping " + shown + ": " + why);
          continue;
        }
        if (data_start + e.data + e.size > m->size) {
          messages.Problem("skipping " + shown + ": its data (" + std::to_string(e.size) +
                           " bytes at " + Hex(e.data) + " in the data region at " +
                           Hex(data_start) + ") runs past the end of the " +
                           std::to_string(m->size) + "-byte archive");
          continue;
        }
      }
      const bool is_folder = e.kind == RarcEntry::kFolder;
      uint32_t node = 0;
      switch (tree->AddChild(w.node, e.name, is_folder, &node)) {
        case Tree::Added::kNew:
          break;
        case Tree::Added::kFolderExists:
        case Tree::Added::kTaken:
          messages.Problem("skipping " + shown + ": another entry has that path");
          continue;
        case Tree::Added::kTooDeep:
          messages.Problem("skipping " + shown + ": deeper than " +
                           std::to_string(Tree::kMaxDepth) + " folders");
          continue;
        case Tree::Added::kFull:
          messages.Problem("skipping " + shown + ": more than " + std::to_string(Tree::kMaxNodes) +
                           " files and folders");
          continue;
      }
      e.reached = true;
      e.path = where + e.name;
      tree->node(node).entry = k;
      if (is_folder) {
        RarcFolder& target = m->folders[e.data];
        target.reached = true;
        target.path = e.path;
        stack.push_back({e.data, w.folder, node});
      } else {
        tree->node(node).offset = data_start + e.data;
        tree->node(node).size = e.size;
      }
    }
  }
  return true;
}

// ---- writing ----

namespace {

struct OutFolder {
  int64_t original = -1;
  uint32_t host = 0;
  uint32_t parent = kNoParent;  // its out folder
  uint32_t entry = kNoParent;   // the entry leading to it
  std::vector<uint32_t> run;    // its out entries, in order
  uint8_t type[4] = {};
  uint16_t hash = 0;
  uint32_t name_offset = 0;
  std::string name;
  uint32_t first = 0;
};

struct OutEntry {
  int64_t original = -1;
  RarcEntry::Kind kind = RarcEntry::kFile;
  uint32_t host = 0;
  uint32_t target = 0;  // folders and dots: the out folder
  uint16_t id = kFolderId;
  uint16_t hash = 0;
  uint8_t attributes = 0;
  uint32_t size_field = 0;
  uint32_t reserved = 0;
  std::string name;
  uint32_t name_offset = 0;
  uint64_t start = 0;  // files: relative to the data region
};

void FolderType(const std::string& name, uint8_t* type) {
  for (size_t i = 0; i < 4; ++i) {
    const char c = i < name.size() ? name[i] : ' ';
    type[i] = static_cast<uint8_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
}

}  // namespace

bool PlanRarc(const RarcModel& model, bool has_original, const PackJob& job, Plan* plan) {
  const Order& o = model.order;
  HostTree& host = job.host;
  Messages& messages = job.messages;
  Input* original = has_original ? job.original : nullptr;
  const Fill zero;

  // Folders: the original's that are still there, in their order, then
  // the new ones depth first.
  std::vector<OutFolder> folders;
  std::vector<uint32_t> out_of_host(host.entries.size(), kNoParent);
  std::vector<uint32_t> out_of_original(model.folders.size(), kNoParent);
  for (size_t i = 0; i < model.folders.size(); ++i) {
    const RarcFolder& f = model.folders[i];
    if (!f.reached) continue;
    const uint32_t at = i == 0 ? 0 : host.Find(f.path);
    if (at == HostTree::kNone || !host.entries[at].folder) continue;
    OutFolder out;
    out.original = static_cast<int64_t>(i);
    out.host = at;
    memcpy(out.type, f.type, 4);
    out.hash = f.hash;
    out_of_original[i] = static_cast<uint32_t>(folders.size());
    out_of_host[at] = static_cast<uint32_t>(folders.size());
    folders.push_back(out);
  }
  if (!has_original) {
    OutFolder root;
    root.host = 0;
    memcpy(root.type, "ROOT", 4);
    std::string stem = job.archive_name;
    const size_t slash = stem.rfind('/');
    if (slash != std::string::npos) stem.erase(0, slash + 1);
    const size_t dot = stem.rfind('.');
    if (dot != std::string::npos && dot > 0) stem.erase(dot);
    root.name = stem.empty() ? "archive" : stem;
    root.hash = RarcHash(root.name);
    out_of_host[0] = 0;
    folders.push_back(root);
  }
  {
    std::vector<uint32_t> stack{0};
    while (!stack.empty()) {
      const uint32_t at = stack.back();
      stack.pop_back();
      const auto& children = host.entries[at].children;
      for (auto it = children.rbegin(); it != children.rend(); ++it) {
        if (host.entries[*it].folder) stack.push_back(*it);
      }
      if (out_of_host[at] != kNoParent) continue;
      OutFolder out;
      out.host = at;
      out.name = host.entries[at].name;
      FolderType(out.name, out.type);
      out.hash = RarcHash(out.name);
      out_of_host[at] = static_cast<uint32_t>(folders.size());
      folders.push_back(out);
    }
  }
  for (OutFolder& f : folders) {
    if (f.host != 0) f.parent = out_of_host[host.entries[f.host].parent];
  }

  // Each folder's entries: the original's that are still there, in their
  // order, with new files after its last file and new folders after its
  // last folder; a new folder gets its files, its folders, "." and "..".
  uint32_t folder_entry_size = 0x10;
  for (const RarcEntry& e : model.entries) {
    if (e.reached && e.kind != RarcEntry::kFile) {
      folder_entry_size = e.size;
      break;
    }
  }
  std::vector<OutEntry> entries;
  std::vector<uint8_t> matched(host.entries.size(), 0);
  auto add_new = [&](uint32_t child) {
    const HostEntry& c = host.entries[child];
    OutEntry e;
    e.host = child;
    e.name = c.name;
    e.hash = RarcHash(c.name);
    if (c.folder) {
      e.kind = RarcEntry::kFolder;
      e.target = out_of_host[child];
      e.attributes = 0x02;
      e.size_field = folder_entry_size;
    } else {
      e.attributes = 0x11;
    }
    entries.push_back(e);
    return static_cast<uint32_t>(entries.size() - 1);
  };
  auto add_dot = [&](uint32_t folder, bool self) {
    OutEntry e;
    e.kind = self ? RarcEntry::kSelf : RarcEntry::kParent;
    e.name = self ? "." : "..";
    e.hash = RarcHash(e.name);
    e.attributes = 0x02;
    e.size_field = folder_entry_size;
    e.target = self ? folder : folders[folder].parent;
    entries.push_back(e);
    return static_cast<uint32_t>(entries.size() - 1);
  };
  for (uint32_t fi = 0; fi < folders.size(); ++fi) {
    OutFolder& f = folders[fi];
    std::vector<uint32_t>& run = f.run;
    if (f.original >= 0) {
      const RarcFolder& of = model.folders[static_cast<size_t>(f.original)];
      for (uint32_t k = of.first; k < of.first + of.count; ++k) {
        const RarcEntry& oe = model.entries[k];
        if (!oe.reached) continue;
        OutEntry e;
        e.original = k;
        e.kind = oe.kind;
        e.name = oe.name;
        e.hash = oe.hash;
        e.id = oe.id;
        e.attributes = oe.attributes;
        e.size_field = oe.size;
        e.reserved = oe.reserved;
        if (oe.kind == RarcEntry::kFile) {
          const uint32_t at = host.Find(oe.path);
          if (at == HostTree::kNone || host.entries[at].folder) continue;
          e.host = at;
          matched[at] = 1;
        } else if (oe.kind == RarcEntry::kFolder) {
          const uint32_t target = out_of_original[oe.data];
          if (target == kNoParent) continue;
          e.target = target;
          e.host = folders[target].host;
          matched[e.host] = 1;
        } else {
          e.target = oe.kind == RarcEntry::kSelf ? fi : f.parent;
          // The root's "..": the original's value while it names no folder.
          if (oe.kind == RarcEntry::kParent && f.parent == kNoParent && oe.data >= folders.size())
            e.target = oe.data;
        }
        entries.push_back(e);
        run.push_back(static_cast<uint32_t>(entries.size() - 1));
      }
      std::vector<uint32_t> new_files, new_folders;
      for (const uint32_t child : host.entries[f.host].children) {
        if (matched[child]) continue;
        (host.entries[child].folder ? new_folders : new_files).push_back(add_new(child));
      }
      auto last_of = [&](auto pred) {
        size_t at = 0;
        for (size_t i = 0; i < run.size(); ++i) {
          if (pred(entries[run[i]])) at = i + 1;
        }
        return at;
      };
      size_t file_at = last_of([](const OutEntry& e) { return e.kind == RarcEntry::kFile; });
      run.insert(run.begin() + static_cast<ptrdiff_t>(file_at), new_files.begin(), new_files.end());
      size_t folder_at = last_of([](const OutEntry& e) { return e.kind == RarcEntry::kFolder; });
      if (folder_at == 0) {
        folder_at = run.size();
        for (size_t i = 0; i < run.size(); ++i) {
          if (entries[run[i]].kind == RarcEntry::kSelf ||
              entries[run[i]].kind == RarcEntry::kParent) {
            folder_at = i;
            break;
          }
        }
        folder_at = std::max(folder_at, file_at + new_files.size());
      }
      run.insert(run.begin() + static_cast<ptrdiff_t>(folder_at), new_folders.begin(),
                 new_folders.end());
    } else {
      for (const uint32_t child : host.entries[f.host].children) {
        if (!host.entries[child].folder) run.push_back(add_new(child));
      }
      for (const uint32_t child : host.entries[f.host].children) {
        if (host.entries[child].folder) run.push_back(add_new(child));
      }
      run.push_back(add_dot(fi, true));
      run.push_back(add_dot(fi, false));
    }
    if (run.size() > 0xFFFF) {
      messages.Problem(
          CannotPack(host.entries[f.host].path.empty() ? host.top : host.entries[f.host].path,
                     "a RARC folder holds at most 65,535 entries, \".\" and \"..\" "
                     "included"));
      return false;
    }
  }
  for (OutEntry& e : entries) {
    if (e.kind == RarcEntry::kFolder)
      folders[e.target].entry = static_cast<uint32_t>(&e - entries.data());
  }

  // The entry table: the runs of the original's folders in its order, then
  // the new folders'.
  std::vector<uint32_t> run_order(folders.size());
  for (uint32_t i = 0; i < folders.size(); ++i) run_order[i] = i;
  OriginalsFirst(run_order, folders, [&](const OutFolder& x, const OutFolder& y) {
    return model.folders[static_cast<size_t>(x.original)].first <
           model.folders[static_cast<size_t>(y.original)].first;
  });
  std::vector<uint32_t> table;  // out entries in table order
  for (const uint32_t fi : run_order) {
    folders[fi].first = static_cast<uint32_t>(table.size());
    table.insert(table.end(), folders[fi].run.begin(), folders[fi].run.end());
  }

  // Attributes follow a file's compression, and ids the original's rule.
  std::vector<uint32_t> files;
  for (const uint32_t k : table) {
    if (entries[k].kind == RarcEntry::kFile) files.push_back(entries[k].host);
  }
  if (!SniffFiles(host, files, messages)) return false;
  enum { kIdIsIndex, kIdIsCount, kIdKept } id_rule = model.ids_follow ? kIdIsIndex : kIdIsCount;
  uint32_t original_files = 0, original_max_id = 0;
  if (has_original) {
    bool index = true, count = true;
    for (uint32_t k = 0; k < model.entries.size(); ++k) {
      const RarcEntry& e = model.entries[k];
      if (!e.reached || e.kind != RarcEntry::kFile) continue;
      index = index && e.id == k;
      count = count && e.id == original_files;
      original_max_id = std::max<uint32_t>(original_max_id, e.id);
      ++original_files;
    }
    if (original_files > 0) id_rule = index ? kIdIsIndex : count ? kIdIsCount : kIdKept;
  }
  uint32_t next_free = std::max<uint32_t>(model.next_id, original_max_id + 1);
  uint32_t file_count = 0, max_id = 0;
  for (uint32_t t = 0; t < table.size(); ++t) {
    OutEntry& e = entries[table[t]];
    if (e.kind != RarcEntry::kFile) continue;
    const HostEntry& f = host.entries[e.host];
    const int now = CompressionOf(f.head, f.head_size);
    if (e.original < 0) {
      e.attributes = WithCompression(e.attributes, now);
    } else {
      const RarcEntry& oe = model.entries[static_cast<size_t>(e.original)];
      uint8_t head[4] = {};
      const size_t n = std::min<uint32_t>(4, oe.size);
      if (!original->Read(uint64_t{kInfo} + model.data_offset + oe.data, head, n)) return false;
      if (CompressionOf(head, n) != now) e.attributes = WithCompression(e.attributes, now);
    }
    uint32_t id = id_rule == kIdIsIndex ? t : id_rule == kIdIsCount ? file_count : e.id;
    if (id_rule == kIdKept && e.original < 0) id = next_free++;
    if (id >= kFolderId) {
      messages.Problem(CannotPack(f.path, "a RARC numbers its files below 65,535"));
      return false;
    }
    e.id = static_cast<uint16_t>(id);
    max_id = std::max(max_id, id);
    ++file_count;
  }
  const uint32_t next_id = static_cast<uint32_t>(Derive(has_original, model.next_id,
                                                        {{model.entries.size(), table.size()},
                                                         {original_files, file_count},
                                                         {original_max_id + 1, max_id + 1}}));

  // Strings: the original's that are still used, where they were while
  // nothing before them changed, then the new names (shared when the
  // original shares equal names).
  std::map<uint32_t, std::string> all_strings, kept_strings;
  bool folder_uses_entry = true;
  for (size_t i = 0; i < model.folders.size(); ++i) {
    const RarcFolder& f = model.folders[i];
    std::string text, why;
    if (f.reached && StringAt(model.strings, f.name_offset, &text, &why)) {
      all_strings[f.name_offset] = text;
      if (out_of_original[i] != kNoParent) kept_strings[f.name_offset] = text;
    }
  }
  for (const RarcEntry& e : model.entries) {
    if (!e.reached) continue;
    all_strings[e.name_offset] = e.name;
    if (e.kind == RarcEntry::kFolder && model.folders[e.data].name_offset != e.name_offset) {
      folder_uses_entry = false;
    }
  }
  for (const OutEntry& e : entries) {
    if (e.original >= 0)
      kept_strings[model.entries[static_cast<size_t>(e.original)].name_offset] = e.name;
  }
  const bool sharing = StringPool::Shares(all_strings, true);
  const uint64_t original_strings_end = StringPool::End(all_strings);
  StringPool pool;
  if (has_original) {
    pool.Keep(model.strings, all_strings, kept_strings);
  } else {
    pool.Add(".", false);
    pool.Add("..", false);
  }
  for (OutFolder& f : folders) {
    if (f.original >= 0)
      f.name_offset = pool.Moved(model.folders[static_cast<size_t>(f.original)].name_offset);
  }
  for (OutEntry& e : entries) {
    if (e.original >= 0)
      e.name_offset = pool.Moved(model.entries[static_cast<size_t>(e.original)].name_offset);
  }
  auto name_new_folders = [&]() {
    for (OutFolder& f : folders) {
      if (f.original >= 0) continue;
      if (folder_uses_entry && !sharing && f.entry != kNoParent) {
        f.name_offset = entries[f.entry].name_offset;
      } else {
        f.name_offset = pool.Add(f.host == 0 ? f.name : host.entries[f.host].name, sharing);
      }
    }
  };
  const bool entries_first = folder_uses_entry && !sharing;
  if (!entries_first) name_new_folders();
  for (const uint32_t k : table) {
    OutEntry& e = entries[k];
    if (e.original >= 0) continue;
    const bool dot = e.kind == RarcEntry::kSelf || e.kind == RarcEntry::kParent;
    e.name_offset = pool.Add(e.name, sharing || dot);
  }
  if (entries_first) name_new_folders();
  if (pool.bytes().size() > 0xFFFFFF) {
    messages.Problem("cannot pack the tree: the names of a RARC take less than 16 MiB");
    return false;
  }

  // The head: header, info block, the three tables on 32-byte boundaries,
  // the gaps between them kept or filled as in the original.
  std::vector<uint8_t>& head = plan->head;
  head.assign(kTablesStart, 0);
  auto table_start = [&](uint64_t original_gap_start, uint64_t original_start,
                         uint64_t* start) -> bool {
    const Origin origin{has_original, original_gap_start, original_start};
    const uint64_t pos = head.size();
    *start = Place(pos, kAlign, origin);
    const Fill fill = OriginalFill(original, original_gap_start, original_start, zero);
    return HeadGap(head, *start, SameGap(pos, origin), original_gap_start, fill, original);
  };
  const uint64_t of_start = kInfo + uint64_t{model.folder_table};
  const uint64_t of_end = of_start + 16 * uint64_t{model.folders.size()};
  const uint64_t oe_start = kInfo + uint64_t{model.entry_table};
  const uint64_t oe_end = oe_start + 20 * uint64_t{model.entries.size()};
  const uint64_t os_start = kInfo + uint64_t{model.string_table};
  const uint64_t os_end = os_start + original_strings_end;
  const uint64_t od_start = kInfo + uint64_t{model.data_offset};
  uint64_t folder_table = 0, entry_table = 0, string_table = 0, data_start = 0;
  if (!table_start(kTablesStart, of_start, &folder_table)) return false;
  head.resize(head.size() + 16 * folders.size());
  if (!table_start(of_end, oe_start, &entry_table)) return false;
  head.resize(head.size() + 20 * table.size());
  if (!table_start(oe_end, os_start, &string_table)) return false;
  head.insert(head.end(), pool.bytes().begin(), pool.bytes().end());
  if (!table_start(os_end, od_start, &data_start)) return false;
  plan->size = data_start;

  // The data: the original's files in its order, each new file after the
  // last of its memory group.
  std::vector<uint32_t> order;  // out entries of files
  {
    std::vector<uint32_t> kept, added;
    for (const uint32_t k : table) {
      if (entries[k].kind != RarcEntry::kFile) continue;
      (entries[k].original >= 0 ? kept : added).push_back(k);
    }
    std::sort(kept.begin(), kept.end(), [&](uint32_t a, uint32_t b) {
      const uint32_t x = model.entries[static_cast<size_t>(entries[a].original)].data;
      const uint32_t y = model.entries[static_cast<size_t>(entries[b].original)].data;
      return x != y ? x < y : entries[a].original < entries[b].original;
    });
    std::stable_sort(added.begin(), added.end(), [&](uint32_t a, uint32_t b) {
      return GroupOf(entries[a].attributes) < GroupOf(entries[b].attributes);
    });
    size_t a = 0;
    for (const uint32_t k : kept) {
      const int group = GroupOf(entries[k].attributes);
      while (a < added.size() && GroupOf(entries[added[a]].attributes) < group) {
        order.push_back(added[a++]);
      }
      order.push_back(k);
    }
    order.insert(order.end(), added.begin() + static_cast<ptrdiff_t>(a), added.end());
  }
  std::vector<uint64_t> gap_start(model.entries.size(), 0);
  uint64_t original_last_end = 0;
  std::vector<uint64_t> original_group(4, 0);
  {
    std::vector<uint32_t> all;
    for (uint32_t k = 0; k < model.entries.size(); ++k) {
      if (model.entries[k].reached && model.entries[k].kind == RarcEntry::kFile) all.push_back(k);
    }
    std::stable_sort(all.begin(), all.end(), [&](uint32_t a, uint32_t b) {
      return model.entries[a].data < model.entries[b].data;
    });
    // A block shared by several entries counts once, in the first one's group.
    std::vector<uint32_t> blocks;
    for (const uint32_t k : all) {
      const RarcEntry& e = model.entries[k];
      const bool same_block = !blocks.empty() && model.entries[blocks.back()].data == e.data &&
                              model.entries[blocks.back()].size == e.size;
      gap_start[k] = same_block ? gap_start[blocks.back()] : original_last_end;
      original_last_end = std::max<uint64_t>(original_last_end, uint64_t{e.data} + e.size);
      if (!same_block) blocks.push_back(k);
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
      const RarcEntry& e = model.entries[blocks[i]];
      const uint64_t next =
          i + 1 < blocks.size() ? model.entries[blocks[i + 1]].data : model.size - od_start;
      original_group[static_cast<size_t>(GroupOf(e.attributes))] += next - e.data;
    }
  }
  const bool same_region = has_original && data_start == od_start;
  Fill data_fill = zero;
  if (has_original) {
    for (const uint32_t k : order) {
      if (entries[k].original < 0) break;
      const RarcEntry& oe = model.entries[static_cast<size_t>(entries[k].original)];
      const uint64_t from = gap_start[static_cast<size_t>(entries[k].original)];
      if (oe.data > from) {
        data_fill = OriginalFill(original, od_start + from, od_start + oe.data, zero);
        break;
      }
    }
  }
  SharedBlocks shared(host, messages, original);
  auto describe = [&](uint32_t k) {
    const OutEntry& e = entries[k];
    if (e.original < 0) return KeptFile{};
    const RarcEntry& oe = model.entries[static_cast<size_t>(e.original)];
    return KeptFile{true, od_start + oe.data, oe.size, e.host};
  };
  if (!shared.KeepersFirst(order, describe)) return false;
  std::vector<uint32_t> placed;  // the files with blocks of their own
  uint64_t pos = 0;
  for (const uint32_t k : order) {
    OutEntry& e = entries[k];
    const HostEntry& f = host.entries[e.host];
    const RarcEntry* oe =
        e.original >= 0 ? &model.entries[static_cast<size_t>(e.original)] : nullptr;
    const KeptFile kept = describe(k);
    Origin origin;
    uint64_t align = kAlign;
    if (oe != nullptr) {
      if (!shared.Find(kept, &e.start)) return false;
      if (e.start != SharedBlocks::kNone) {
        plan->Shared(e.host);
        continue;
      }
      align = LowBit(oe->data, kAlign);
      if (same_region) origin = {true, gap_start[static_cast<size_t>(e.original)], oe->data};
    }
    e.start = Place(pos, align, origin);
    if (data_start + e.start + f.size > 0xFFFFFFFFull) {
      messages.Problem(CannotPack(f.path, "a RARC ends before 4 GiB (its offsets are 32-bit)"));
      return false;
    }
    plan->Gap(data_start + e.start, SameGap(pos, origin), od_start + pos, data_fill);
    plan->File(e.host, f.size);
    shared.Placed(kept, e.start);
    placed.push_back(k);
    pos = e.start + f.size;
  }
  uint64_t end;
  if (same_region && pos == original_last_end) {
    end = model.size;
    plan->Gap(end, true, od_start + pos, data_fill);
  } else {
    const Trail trail =
        has_original ? DetectTrail(od_start + original_last_end, model.size) : Trail{kAlign, 0};
    end = ApplyTrail(trail, data_start + pos);
    plan->Gap(end, false, 0, data_fill);
  }
  if (end > 0xFFFFFFFFull) {
    messages.Problem("cannot pack the tree: a RARC ends before 4 GiB");
    return false;
  }
  std::vector<uint64_t> group(4, 0);
  for (size_t i = 0; i < placed.size(); ++i) {
    const OutEntry& e = entries[placed[i]];
    const uint64_t next = i + 1 < placed.size() ? entries[placed[i + 1]].start : end - data_start;
    group[static_cast<size_t>(GroupOf(e.attributes))] += next - e.start;
  }

  // The header and the info block.
  uint8_t* h = head.data();
  memcpy(h, o.big ? "RARC" : "CRAR", 4);
  o.Put32(h + 4, static_cast<uint32_t>(Derive(has_original, model.size, {{model.size, end}})));
  o.Put32(h + 8, kInfo);
  o.Put32(h + 0xC, static_cast<uint32_t>(data_start - kInfo));
  o.Put32(h + 0x10, static_cast<uint32_t>(Derive(has_original, model.data_size,
                                                 {{model.size - od_start, end - data_start}})));
  o.Put32(h + 0x14, static_cast<uint32_t>(
                        Derive(has_original, model.mram_size, {{original_group[0], group[0]}})));
  o.Put32(h + 0x18, static_cast<uint32_t>(
                        Derive(has_original, model.aram_size, {{original_group[1], group[1]}})));
  o.Put32(h + 0x1C, static_cast<uint32_t>(Derive(has_original, model.dvd_size,
                                                 {{0, 0}, {original_group[2], group[2]}})));
  o.Put32(h + 0x20, static_cast<uint32_t>(folders.size()));
  o.Put32(h + 0x24, static_cast<uint32_t>(folder_table - kInfo));
  o.Put32(h + 0x28, static_cast<uint32_t>(table.size()));
  o.Put32(h + 0x2C, static_cast<uint32_t>(entry_table - kInfo));
  o.Put32(h + 0x30, static_cast<uint32_t>(Derive(has_original, model.string_size,
                                                 {{od_start - os_start, data_start - string_table},
                                                  {original_strings_end, pool.bytes().size()}})));
  o.Put32(h + 0x34, static_cast<uint32_t>(string_table - kInfo));
  o.Put16(h + 0x38, next_id);
  h[0x3A] = has_original ? model.ids_follow : 1;
  h[0x3B] = model.reserved_byte;
  o.Put32(h + 0x3C, model.reserved_word);
  for (size_t i = 0; i < folders.size(); ++i) {
    const OutFolder& f = folders[i];
    uint8_t* p = h + folder_table + 16 * i;
    memcpy(p, f.type, 4);
    o.Put32(p + 4, f.name_offset);
    o.Put16(p + 8, f.hash);
    o.Put16(p + 10, static_cast<uint32_t>(f.run.size()));
    o.Put32(p + 12, f.first);
  }
  for (uint32_t t = 0; t < table.size(); ++t) {
    const OutEntry& e = entries[table[t]];
    uint8_t* p = h + entry_table + 20 * t;
    o.Put16(p, e.id);
    o.Put16(p + 2, e.hash);
    o.Put32(p + 4, uint32_t{e.attributes} << 24 | e.name_offset);
    if (e.kind == RarcEntry::kFile) {
      o.Put32(p + 8, static_cast<uint32_t>(e.start));
      o.Put32(p + 12, static_cast<uint32_t>(host.entries[e.host].size));
    } else {
      o.Put32(p + 8, e.target);
      o.Put32(p + 12, e.size_field);
    }
    o.Put32(p + 16, e.reserved);
  }
  return true;
}

}  // namespace sheaf
