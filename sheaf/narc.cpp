#include "narc.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_map>
#include <utility>

#include "bytes.h"

namespace sheaf {

namespace {

constexpr uint32_t kHeaderSize = 0x10;
constexpr uint32_t kMaxTables = 16 << 20;
constexpr uint32_t kMaxFolders = 0x1000;
constexpr uint32_t kFolderBase = 0xF000;
constexpr uint64_t kAlign = 4;

std::string UnnamedPath(uint32_t id) {
  char text[16];
  snprintf(text, sizeof text, "@%05u", id);
  return text;
}

bool IsUnnamedPath(const std::string& path, uint32_t* id) {
  if (path.size() != 6 || path[0] != '@') return false;
  uint32_t value = 0;
  for (size_t i = 1; i < 6; ++i) {
    if (path[i] < '0' || path[i] > '9') return false;
    value = value * 10 + static_cast<uint32_t>(path[i] - '0');
  }
  *id = value;
  return true;
}

std::string FolderLabel(const std::string& path) {
  return path.empty() ? std::string("the root folder") : "the folder " + Quote(path);
}

}  // namespace

bool ReadNarc(Input& input, Messages& messages, NarcModel* m, Tree* tree) {
  uint8_t h[kHeaderSize + 12];
  if (input.size() < sizeof h) {
    messages.Problem("truncated: " + std::to_string(input.size()) +
                     " bytes, too short for a NARC's header");
    return false;
  }
  if (!input.Read(0, h, sizeof h)) return false;
  memcpy(m->marks, h + 4, 4);
  m->size = kLittle.U32(h + 8);
  if (kLittle.U16(h + 12) != kHeaderSize || kLittle.U16(h + 14) != 3) {
    messages.Problem("damaged NARC header: it gives a header of " + Hex(kLittle.U16(h + 12)) +
                     " bytes and " + std::to_string(kLittle.U16(h + 14)) +
                     " blocks, not 0x10 and 3");
    return false;
  }
  if (m->size > input.size()) {
    messages.Problem("truncated: the header gives " + std::to_string(m->size) +
                     " bytes, the archive holds " + std::to_string(input.size()));
    return false;
  }
  const uint8_t* btaf = h + kHeaderSize;
  const uint32_t btaf_size = kLittle.U32(btaf + 4);
  const uint32_t count = kLittle.U16(btaf + 8);
  m->btaf_reserved = kLittle.U16(btaf + 10);
  if (memcmp(btaf, "BTAF", 4) != 0 || btaf_size < 12 + 8 * count ||
      uint64_t{kHeaderSize} + btaf_size + 8 > m->size) {
    messages.Problem("damaged NARC: the allocation block (BTAF) at 0x10 " +
                     std::string(memcmp(btaf, "BTAF", 4) != 0 ? "is missing"
                                 : btaf_size < 12 + 8 * count
                                     ? "is too small for its " + std::to_string(count) + " files"
                                     : "runs past the end of the archive"));
    return false;
  }
  m->btnf_offset = kHeaderSize + btaf_size;
  uint8_t block[8];
  if (!input.Read(m->btnf_offset, block, 8)) return false;
  m->btnf_size = kLittle.U32(block + 4);
  if (memcmp(block, "BTNF", 4) != 0 || m->btnf_size < 8 ||
      uint64_t{m->btnf_offset} + m->btnf_size + 8 > m->size) {
    messages.Problem(
        "damaged NARC: the name block (BTNF) at " + Hex(m->btnf_offset) +
        (memcmp(block, "BTNF", 4) != 0 ? " is missing" : " runs past the end of the archive"));
    return false;
  }
  m->gmif_offset = m->btnf_offset + m->btnf_size;
  if (!input.Read(m->gmif_offset, block, 8)) return false;
  m->gmif_size = kLittle.U32(block + 4);
  if (memcmp(block, "GMIF", 4) != 0 || m->gmif_size < 8 ||
      uint64_t{m->gmif_offset} + m->gmif_size > m->size) {
    messages.Problem(
        "damaged NARC: the data block (GMIF) at " + Hex(m->gmif_offset) +
        (memcmp(block, "GMIF", 4) != 0 ? " is missing" : " runs past the end of the archive"));
    return false;
  }
  if (uint64_t{btaf_size} + m->btnf_size > kMaxTables) {
    messages.Problem("the tables take more than the 16 MiB that sheaf reads");
    return false;
  }
  std::vector<uint8_t> fat(8 * count);
  m->names.resize(m->btnf_size - 8);
  if (!input.Read(kHeaderSize + 12, fat.data(), fat.size()) ||
      !input.Read(m->btnf_offset + 8, m->names.data(), m->names.size())) {
    return false;
  }
  const uint64_t data = uint64_t{m->gmif_offset} + 8;
  const uint64_t data_size = m->gmif_size - 8;
  m->files.resize(count);
  m->paths.assign(count, "");
  std::vector<uint8_t> bad(count, 0);
  for (uint32_t i = 0; i < count; ++i) {
    m->files[i] = {kLittle.U32(fat.data() + 8 * i), kLittle.U32(fat.data() + 8 * i + 4)};
  }
  auto data_problem = [&](uint32_t id) -> std::string {
    const auto [start, end] = m->files[id];
    if (start > end)
      return "its data (" + Hex(start) + " to " + Hex(end) + ") ends before it begins";
    if (end > data_size) {
      return "its data (" + Hex(start) + " to " + Hex(end) + ") runs past the end of the " +
             std::to_string(data_size) + "-byte data block";
    }
    return "";
  };

  // The name table, from the root.
  const std::string& t = m->names;
  uint32_t folder_count = 0;
  if (t.size() >= 8) folder_count = kLittle.U16(reinterpret_cast<const uint8_t*>(t.data()) + 6);
  if (t.size() < 8 || folder_count == 0 || uint64_t{folder_count} * 8 > t.size()) {
    messages.Problem("damaged NARC name table: its root gives " + std::to_string(folder_count) +
                     " folders, which its " + std::to_string(t.size()) +
                     " bytes cannot hold; the files are known by number only");
    folder_count = 0;
  }
  m->folders.resize(folder_count);
  for (uint32_t f = 0; f < folder_count; ++f) {
    const auto* p = reinterpret_cast<const uint8_t*>(t.data()) + 8 * f;
    m->folders[f].sub_offset = kLittle.U32(p);
    m->folders[f].first_id = kLittle.U16(p + 4);
    m->folders[f].parent_field = kLittle.U16(p + 6);
  }
  std::vector<uint8_t> named(count, 0);
  struct Work {
    uint32_t folder;
    uint32_t node;
  };
  std::vector<Work> stack;
  if (folder_count > 0) {
    stack.push_back({0, 0});
    m->folders[0].reached = true;
  }
  while (!stack.empty()) {
    const Work w = stack.back();
    stack.pop_back();
    NarcFolder& folder = m->folders[w.folder];
    const std::string label = FolderLabel(folder.path);
    const std::string where = folder.path.empty() ? "" : folder.path + "/";
    uint64_t at = folder.sub_offset;
    uint32_t id = folder.first_id;
    for (;;) {
      if (at >= t.size()) {
        messages.Problem("damaged NARC name table: the names of " + label +
                         " run past the end of the table");
        break;
      }
      const auto length_byte = static_cast<uint8_t>(t[at++]);
      if (length_byte == 0) break;
      const bool is_folder = length_byte >= 0x80;
      const uint32_t length = length_byte & 0x7F;
      if (at + length + (is_folder ? 2 : 0) > t.size()) {
        messages.Problem("damaged NARC name table: the names of " + label +
                         " run past the end of the table");
        break;
      }
      NarcRecord record;
      record.folder = is_folder;
      record.name = t.substr(at, length);
      at += length;
      const std::string shown = Quote(where + record.name);
      std::string why = Tree::CheckName(record.name);
      if (is_folder) {
        const uint32_t field = kLittle.U16(reinterpret_cast<const uint8_t*>(t.data()) + at);
        at += 2;
        record.target = field - kFolderBase;
        if (why.empty() && (field < kFolderBase || record.target >= folder_count)) {
          why = "it names folder " + Hex(field) + ", but the folders are 0xF000 to " +
                Hex(kFolderBase + folder_count - 1);
        } else if (why.empty() && (record.target == 0 || m->folders[record.target].reached)) {
          why = "it names folder " + Hex(field) +
                ", which is reached before (a cycle, or two ways to one folder)";
        } else if (why.empty() &&
                   m->folders[record.target].parent_field != kFolderBase + w.folder) {
          messages.Problem("damaged NARC name table: the folder " + shown + " gives " +
                           Hex(m->folders[record.target].parent_field) + " as its parent, not " +
                           Hex(kFolderBase + w.folder));
        }
      } else {
        record.file = id++;
        if (why.empty() && record.file >= count) {
          why = "its file number " + std::to_string(record.file) +
                " lies past the allocation table's " + std::to_string(count) + " files";
        } else if (why.empty() && named[record.file]) {
          why = "file " + std::to_string(record.file) + " is named before";
        } else if (why.empty()) {
          why = data_problem(record.file);
          if (!why.empty()) bad[record.file] = 1;
        }
      }
      if (why.empty()) {
        uint32_t node = 0;
        why = Tree::Refusal(tree->AddChild(w.node, record.name, is_folder, &node));
        if (why.empty()) {
          if (is_folder) {
            NarcFolder& target = m->folders[record.target];
            target.reached = true;
            target.path = where + record.name;
            stack.push_back({record.target, node});
          } else {
            named[record.file] = 1;
            m->paths[record.file] = where + record.name;
            tree->node(node).entry = record.file;
            tree->node(node).offset = data + m->files[record.file].first;
            tree->node(node).size = m->files[record.file].second - m->files[record.file].first;
          }
        }
      }
      if (!why.empty()) {
        if (!is_folder && record.file < count) named[record.file] = 1;
        messages.Problem("skipping " + shown + ": " + why);
        record.name.clear();  // not kept
      }
      folder.records.push_back(record);
    }
    folder.sub_end = static_cast<uint32_t>(at);
  }
  m->named = !(folder_count == 1 && m->folders[0].records.empty());
  // Files without a name go to the top as @NNNNN.
  for (uint32_t id = 0; id < count; ++id) {
    if (named[id]) continue;
    const std::string path = UnnamedPath(id);
    const std::string why = bad[id] ? "" : data_problem(id);
    if (!why.empty()) {
      messages.Problem("skipping " + Quote(path) + " (a file without a name): " + why);
      continue;
    }
    uint32_t node = 0;
    if (tree->AddChild(0, path, false, &node) != Tree::Added::kNew) {
      messages.Problem("skipping " + Quote(path) +
                       " (a file without a name): another entry has that path");
      continue;
    }
    m->paths[id] = path;
    tree->node(node).entry = id;
    tree->node(node).offset = data + m->files[id].first;
    tree->node(node).size = m->files[id].second - m->files[id].first;
  }
  return true;
}

// ---- writing ----

namespace {

struct OutRecord {
  bool folder = false;
  std::string name;
  uint32_t target = 0;  // out folder
  uint32_t host = 0;    // a file's host entry
  int64_t file = -1;    // a file's id in the original, when kept
};

struct OutFolder {
  int64_t original = -1;
  uint32_t host = 0;
  uint32_t parent = 0;
  std::vector<OutRecord> records;
  uint32_t first_id = 0;
  uint32_t sub_offset = 0;
};

}  // namespace

bool PlanNarc(const NarcModel& model, bool has_original, const PackJob& job, Plan* plan) {
  HostTree& host = job.host;
  Messages& messages = job.messages;
  Input* original = has_original ? job.original : nullptr;
  const Fill ff{Fill::kByte, 0xFF};

  // Without names when every file is a top-level @NNNNN and there is no
  // folder; the files then go by those numbers.
  bool unnamed = true;
  std::vector<uint32_t> loose;  // top-level @NNNNN files, by number
  std::map<uint32_t, uint32_t> loose_by_number;
  for (uint32_t i = 1; i < host.entries.size(); ++i) {
    const HostEntry& e = host.entries[i];
    uint32_t number = 0;
    if (e.parent == 0 && !e.folder && IsUnnamedPath(e.path, &number) && number < 0x10000) {
      loose_by_number[number] = i;
    } else {
      unnamed = false;
    }
  }
  for (const auto& [number, index] : loose_by_number) loose.push_back(index);
  if (unnamed) {
    uint32_t expected = 0;
    for (const auto& [number, index] : loose_by_number) {
      if (number != expected) {
        messages.Problem(CannotPack(host.entries[index].path,
                                    "a NARC without names numbers its files from @00000 on, and " +
                                        UnnamedPath(expected) + " is missing"));
        return false;
      }
      ++expected;
    }
  }

  std::vector<OutFolder> folders;
  std::vector<uint32_t> files;       // host files in id order
  std::vector<int64_t> original_id;  // of each file in id order, -1 when new
  if (!unnamed) {
    // Folders: the original's that are still there, then the new ones
    // depth first.
    std::vector<uint32_t> out_of_host(host.entries.size(), Tree::kNone);
    std::vector<uint32_t> out_of_original(model.folders.size(), Tree::kNone);
    for (size_t i = 0; i < model.folders.size() && model.named; ++i) {
      const NarcFolder& f = model.folders[i];
      if (!f.reached) continue;
      const uint32_t at = i == 0 ? 0 : host.Find(f.path);
      if (at == HostTree::kNone || !host.entries[at].folder) continue;
      OutFolder out;
      out.original = static_cast<int64_t>(i);
      out.host = at;
      out_of_original[i] = static_cast<uint32_t>(folders.size());
      out_of_host[at] = static_cast<uint32_t>(folders.size());
      folders.push_back(out);
    }
    if (folders.empty()) {
      out_of_host[0] = 0;
      folders.push_back({});
    }
    std::vector<uint32_t> stack{0};
    while (!stack.empty()) {
      const uint32_t at = stack.back();
      stack.pop_back();
      const auto& children = host.entries[at].children;
      for (auto it = children.rbegin(); it != children.rend(); ++it) {
        if (host.entries[*it].folder) stack.push_back(*it);
      }
      if (out_of_host[at] != Tree::kNone) continue;
      OutFolder out;
      out.host = at;
      out_of_host[at] = static_cast<uint32_t>(folders.size());
      folders.push_back(out);
    }
    if (folders.size() > kMaxFolders) {
      messages.Problem(CannotPack(host.entries[folders[kMaxFolders].host].path,
                                  "a NARC holds at most 4,096 folders"));
      return false;
    }
    std::vector<uint8_t> matched(host.entries.size(), 0);
    for (const uint32_t index : loose) matched[index] = 1;
    for (uint32_t fi = 0; fi < folders.size(); ++fi) {
      OutFolder& f = folders[fi];
      if (f.host != 0) f.parent = out_of_host[host.entries[f.host].parent];
      std::vector<OutRecord>& records = f.records;
      if (f.original >= 0) {
        for (const NarcRecord& r : model.folders[static_cast<size_t>(f.original)].records) {
          if (r.name.empty()) continue;
          OutRecord out;
          out.folder = r.folder;
          out.name = r.name;
          if (r.folder) {
            out.target = out_of_original[r.target];
            if (out.target == Tree::kNone) continue;
            matched[folders[out.target].host] = 1;
          } else {
            const uint32_t at = host.Find(model.paths[r.file]);
            if (at == HostTree::kNone || host.entries[at].folder) continue;
            out.host = at;
            out.file = r.file;
            matched[at] = 1;
          }
          records.push_back(out);
        }
      }
      std::vector<OutRecord> new_files, new_folders;
      for (const uint32_t child : host.entries[f.host].children) {
        if (matched[child]) continue;
        const HostEntry& c = host.entries[child];
        if (c.name.size() > 127) {
          messages.Problem(CannotPack(c.path, "a NARC name holds at most 127 bytes"));
          return false;
        }
        OutRecord out;
        out.folder = c.folder;
        out.name = c.name;
        out.host = child;
        if (c.folder) out.target = out_of_host[child];
        (c.folder ? new_folders : new_files).push_back(out);
      }
      size_t file_at = 0;
      for (size_t i = 0; i < records.size(); ++i) {
        if (!records[i].folder) file_at = i + 1;
      }
      records.insert(records.begin() + static_cast<ptrdiff_t>(file_at), new_files.begin(),
                     new_files.end());
      records.insert(records.end(), new_folders.begin(), new_folders.end());
    }
    // Ids: each folder's files in a run, the runs in the original's order,
    // the new folders' after them, the files without a name last.
    std::vector<uint32_t> run_order(folders.size());
    for (uint32_t i = 0; i < folders.size(); ++i) run_order[i] = i;
    auto original_files = [&](const OutFolder& f) {
      size_t n = 0;
      for (const NarcRecord& r : model.folders[static_cast<size_t>(f.original)].records) {
        n += !r.folder;
      }
      return n;
    };
    OriginalsFirst(run_order, folders, [&](const OutFolder& x, const OutFolder& y) {
      const uint32_t p = model.folders[static_cast<size_t>(x.original)].first_id;
      const uint32_t q = model.folders[static_cast<size_t>(y.original)].first_id;
      return p != q ? p < q : original_files(x) < original_files(y);
    });
    for (const uint32_t fi : run_order) {
      folders[fi].first_id = static_cast<uint32_t>(files.size());
      for (const OutRecord& r : folders[fi].records) {
        if (r.folder) continue;
        files.push_back(r.host);
        original_id.push_back(r.file);
      }
    }
  }
  std::unordered_map<std::string, int64_t> id_of_path;
  if (has_original) {
    for (size_t k = 0; k < model.paths.size(); ++k) {
      if (!model.paths[k].empty()) id_of_path[model.paths[k]] = static_cast<int64_t>(k);
    }
  }
  for (const uint32_t index : loose) {
    files.push_back(index);
    const auto it = id_of_path.find(host.entries[index].path);
    original_id.push_back(it == id_of_path.end() ? -1 : it->second);
  }
  if (files.size() > 0xFFFF) {
    messages.Problem(
        CannotPack(host.entries[files[0xFFFF]].path, "a NARC holds at most 65,535 files"));
    return false;
  }

  // The name table: without names, the original's own bytes or the
  // common 8-byte form; with names, the main table then each folder's
  // sub-table, the original's where they were while nothing before them
  // changed.
  std::vector<uint8_t> names;
  const bool keep_names_table = unnamed && has_original && !model.named;
  if (keep_names_table) {
    names.assign(model.names.begin(), model.names.end());
  } else if (unnamed) {
    names = {4, 0, 0, 0, 0, 0, 1, 0};
  } else {
    names.assign(8 * folders.size(), 0);
    std::vector<uint32_t> sub_order(folders.size());
    for (uint32_t i = 0; i < folders.size(); ++i) sub_order[i] = i;
    OriginalsFirst(sub_order, folders, [&](const OutFolder& x, const OutFolder& y) {
      return model.folders[static_cast<size_t>(x.original)].sub_offset <
             model.folders[static_cast<size_t>(y.original)].sub_offset;
    });
    std::map<uint32_t, uint32_t> end_before;  // original sub-table offset -> end of the one before
    {
      std::vector<std::pair<uint32_t, uint32_t>> spans;
      for (const NarcFolder& f : model.folders) {
        if (f.reached) spans.push_back({f.sub_offset, f.sub_end});
      }
      std::sort(spans.begin(), spans.end());
      uint32_t end =
          has_original && model.named ? 8 * static_cast<uint32_t>(model.folders.size()) : 0;
      for (const auto& [start, stop] : spans) {
        end_before[start] = end;
        end = std::max(end, stop);
      }
    }
    for (const uint32_t fi : sub_order) {
      OutFolder& f = folders[fi];
      Origin origin;
      if (f.original >= 0) {
        const uint32_t start = model.folders[static_cast<size_t>(f.original)].sub_offset;
        origin = {true, end_before[start], start};
      }
      const uint64_t pos = names.size();
      const uint64_t start = Place(pos, 1, origin);
      names.resize(static_cast<size_t>(start), 0);
      if (SameGap(pos, origin)) {
        memcpy(names.data() + pos, model.names.data() + pos, static_cast<size_t>(start - pos));
      }
      f.sub_offset = static_cast<uint32_t>(start);
      for (const OutRecord& r : f.records) {
        names.push_back(static_cast<uint8_t>(r.name.size() | (r.folder ? 0x80 : 0)));
        names.insert(names.end(), r.name.begin(), r.name.end());
        if (r.folder) {
          names.push_back(static_cast<uint8_t>(r.target));
          names.push_back(static_cast<uint8_t>((kFolderBase + r.target) >> 8));
        }
      }
      names.push_back(0);
    }
    for (uint32_t fi = 0; fi < folders.size(); ++fi) {
      uint8_t* p = names.data() + 8 * fi;
      kLittle.Put32(p, folders[fi].sub_offset);
      kLittle.Put16(p + 4, folders[fi].first_id);
      kLittle.Put16(p + 6, fi == 0 ? static_cast<uint32_t>(folders.size())
                                   : kFolderBase + folders[fi].parent);
    }
  }
  // The name table's padding: the original's, else 0xFF to 4 bytes.
  uint64_t names_end = names.size();
  if (!keep_names_table) {
    Trail trail{4, 0};
    Fill fill = ff;
    if (has_original && model.named && !unnamed) {
      uint64_t used = 0;
      for (const NarcFolder& f : model.folders) {
        if (f.reached) used = std::max<uint64_t>(used, f.sub_end);
      }
      used = std::max<uint64_t>(used, 8 * model.folders.size());
      trail = DetectTrail(used, model.names.size());
      if (used < model.names.size()) {
        fill = DetectFill(reinterpret_cast<const uint8_t*>(model.names.data()) + used,
                          model.names.size() - used, ff);
      }
    }
    names_end = ApplyTrail(trail, names.size());
    const size_t at = names.size();
    names.resize(static_cast<size_t>(names_end));
    FillBytes(fill, names.data() + at, names.size() - at);
  }

  // Blocks.
  const uint64_t btaf_size = 12 + 8 * uint64_t{files.size()};
  const uint64_t btnf_offset = kHeaderSize + btaf_size;
  const uint64_t gmif_offset = btnf_offset + 8 + names.size();
  const uint64_t data = gmif_offset + 8;
  std::vector<uint8_t>& head = plan->head;
  head.assign(static_cast<size_t>(data), 0);
  plan->size = data;

  // Data in id order, 4-aligned, the gaps as the original's.
  std::vector<uint64_t> gap_start(model.files.size(), 0);
  uint64_t original_last_end = 0;
  {
    std::vector<uint32_t> all;
    for (uint32_t k = 0; k < model.files.size(); ++k) {
      if (!model.paths[k].empty()) all.push_back(k);
    }
    std::stable_sort(all.begin(), all.end(), [&](uint32_t a, uint32_t b) {
      return model.files[a].first < model.files[b].first;
    });
    // Files sharing a block share its gap.
    for (size_t i = 0; i < all.size(); ++i) {
      const bool same_block = i > 0 && model.files[all[i - 1]] == model.files[all[i]];
      gap_start[all[i]] = same_block ? gap_start[all[i - 1]] : original_last_end;
      original_last_end = std::max<uint64_t>(original_last_end, model.files[all[i]].second);
    }
  }
  const uint64_t original_data = uint64_t{model.gmif_offset} + 8;
  const uint64_t original_end = uint64_t{model.gmif_offset} + model.gmif_size;
  const bool same_region = has_original && data == original_data;
  Fill data_fill = ff;
  if (has_original) {
    bool found = false;
    for (size_t i = 0; i < files.size() && !found; ++i) {
      if (original_id[i] < 0) continue;
      const auto k = static_cast<size_t>(original_id[i]);
      if (model.files[k].first > gap_start[k]) {
        data_fill = OriginalFill(original, original_data + gap_start[k],
                                 original_data + model.files[k].first, ff);
        found = true;
      }
    }
    if (!found && original_data + original_last_end < original_end) {
      data_fill = OriginalFill(original, original_data + original_last_end, original_end, ff);
    }
  }
  // Data in id order, but for a block that several files shared: one
  // still equal to it takes the block's place.
  SharedBlocks shared(host, messages, original);
  auto describe = [&](size_t i) {
    if (original_id[i] < 0) return KeptFile{};
    const auto& [first, last] = model.files[static_cast<size_t>(original_id[i])];
    return KeptFile{true, original_data + first, uint64_t{last} - first, files[i]};
  };
  std::vector<size_t> data_order(files.size());
  for (size_t i = 0; i < files.size(); ++i) data_order[i] = i;
  if (!shared.KeepersFirst(data_order, describe)) return false;
  std::vector<std::pair<uint64_t, uint64_t>> ranges(files.size());
  uint64_t pos = 0;
  for (const size_t i : data_order) {
    const HostEntry& f = host.entries[files[i]];
    const KeptFile kept = describe(i);
    uint64_t start = 0;
    if (!shared.Find(kept, &start)) return false;
    if (start != SharedBlocks::kNone) {
      plan->Shared(files[i]);
      ranges[i] = {start, start + f.size};
      continue;
    }
    Origin origin;
    uint64_t align = kAlign;
    if (kept.kept) {
      const uint64_t first = kept.start - original_data;
      align = LowBit(first, kAlign);
      if (same_region) origin = {true, gap_start[static_cast<size_t>(original_id[i])], first};
    }
    start = Place(pos, align, origin);
    if (data + start + f.size > 0xFFFFFFFFull) {
      messages.Problem(CannotPack(f.path, "a NARC ends before 4 GiB (its offsets are 32-bit)"));
      return false;
    }
    plan->Gap(data + start, SameGap(pos, origin), original_data + pos, data_fill);
    plan->File(files[i], f.size);
    shared.Placed(kept, start);
    ranges[i] = {start, start + f.size};
    pos = start + f.size;
  }
  uint64_t end;
  if (same_region && pos == original_last_end) {
    end = model.size;
    plan->Gap(end, true, original_data + pos, data_fill);
  } else {
    const Trail trail = has_original ? DetectTrail(original_data + original_last_end, model.size)
                                     : Trail{kAlign, 0};
    end = ApplyTrail(trail, data + pos);
    plan->Gap(end, false, 0, data_fill);
  }
  if (end > 0xFFFFFFFFull) {
    messages.Problem("cannot pack the tree: a NARC ends before 4 GiB");
    return false;
  }

  uint8_t* h = head.data();
  memcpy(h, "NARC", 4);
  memcpy(h + 4, model.marks, 4);
  kLittle.Put32(h + 8, static_cast<uint32_t>(end));
  kLittle.Put16(h + 12, kHeaderSize);
  kLittle.Put16(h + 14, 3);
  uint8_t* btaf = h + kHeaderSize;
  memcpy(btaf, "BTAF", 4);
  kLittle.Put32(btaf + 4, static_cast<uint32_t>(btaf_size));
  kLittle.Put16(btaf + 8, static_cast<uint32_t>(files.size()));
  kLittle.Put16(btaf + 10, model.btaf_reserved);
  for (size_t i = 0; i < ranges.size(); ++i) {
    kLittle.Put32(btaf + 12 + 8 * i, static_cast<uint32_t>(ranges[i].first));
    kLittle.Put32(btaf + 16 + 8 * i, static_cast<uint32_t>(ranges[i].second));
  }
  uint8_t* btnf = h + btnf_offset;
  memcpy(btnf, "BTNF", 4);
  kLittle.Put32(btnf + 4, static_cast<uint32_t>(8 + names.size()));
  memcpy(btnf + 8, names.data(), names.size());
  uint8_t* gmif = h + gmif_offset;
  memcpy(gmif, "GMIF", 4);
  kLittle.Put32(gmif + 4, static_cast<uint32_t>(
                              Derive(has_original, model.gmif_size,
                                     {{original_end - model.gmif_offset, end - gmif_offset},
                                      {model.size - model.gmif_offset, end - gmif_offset}})));
  return true;
}

}  // namespace sheaf
