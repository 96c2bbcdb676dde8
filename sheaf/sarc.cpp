#include "sarc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

namespace sheaf {

namespace {

constexpr uint32_t kHeaderSize = 0x14;
constexpr uint32_t kSfatHeaderSize = 0xC;
constexpr uint32_t kSfntHeaderSize = 8;
constexpr uint32_t kMaxEntries = 0x3FFF;
constexpr uint32_t kMaxTables = 16 << 20;
constexpr uint64_t kLargestAlignment = 0x2000;

std::string UnnamedPath(uint32_t hash) {
  char text[16];
  snprintf(text, sizeof text, "@%08X", hash);
  return text;
}

bool IsUnnamedPath(const std::string& path, uint32_t* hash) {
  if (path.size() != 9 || path[0] != '@') return false;
  uint32_t value = 0;
  for (size_t i = 1; i < 9; ++i) {
    const char c = path[i];
    if (c >= '0' && c <= '9') {
      value = value << 4 | static_cast<uint32_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      value = value << 4 | static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
  }
  *hash = value;
  return true;
}

bool HasNonAscii(std::string_view name) {
  return std::any_of(name.begin(), name.end(), [](char c) { return (c & 0x80) != 0; });
}

// Adds a SARC path (a leading "/" dropped) to the tree: "" when added,
// else why not.
std::string AddPath(Tree& tree, std::string_view path, uint32_t* node) {
  if (!path.empty() && path[0] == '/') path.remove_prefix(1);
  uint32_t at = 0;
  size_t i = 0;
  for (;;) {
    size_t end = path.find('/', i);
    const bool last = end == std::string_view::npos;
    if (last) end = path.size();
    const std::string_view part = path.substr(i, end - i);
    std::string why = Tree::CheckName(part);
    if (!why.empty()) {
      if (part.empty() && path.empty()) return "an empty name";
      return why == "an empty name" ? "an empty folder name in the path" : why;
    }
    uint32_t index = 0;
    switch (tree.AddChild(at, part, !last, &index)) {
      case Tree::Added::kNew:
      case Tree::Added::kFolderExists:
        break;
      case Tree::Added::kTaken:
        return last ? "another entry has that path"
                    : Quote(path.substr(0, end)) + " is a file as well as a folder";
      case Tree::Added::kTooDeep:
        return "deeper than " + std::to_string(Tree::kMaxDepth) + " folders";
      case Tree::Added::kFull:
        return "more than " + std::to_string(Tree::kMaxNodes) + " files and folders";
    }
    at = index;
    if (last) break;
    i = end + 1;
  }
  *node = at;
  return "";
}

}  // namespace

uint32_t SarcHash(std::string_view name, uint32_t multiplier, HashConvention convention) {
  uint32_t h = 0;
  const auto* p = reinterpret_cast<const uint8_t*>(name.data());
  const size_t n = name.size();
  for (size_t i = 0; i < n;) {
    uint32_t unit = p[i];
    size_t length = 1;
    if (convention == HashConvention::kSigned) {
      unit = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(p[i])));
    } else if (convention == HashConvention::kCodePoints && p[i] >= 0xC0) {
      // One UTF-8 character; a byte that does not start a whole one counts alone.
      const size_t want = p[i] >= 0xF0 ? 4 : p[i] >= 0xE0 ? 3 : 2;
      uint32_t c = p[i] & (0x7F >> want);
      size_t k = 1;
      for (; k < want && i + k < n && (p[i + k] & 0xC0) == 0x80; ++k)
        c = c << 6 | (p[i + k] & 0x3F);
      if (k == want) {
        unit = c;
        length = want;
      }
    }
    h = h * multiplier + unit;
    i += length;
  }
  return h;
}

uint64_t SarcContentAlignment(const HostEntry& f) {
  auto starts = [&](const char* magic, size_t n, size_t at = 0) {
    return StartsWith(f, magic, n, at);
  };
  auto tail = [&](const char* magic) { return f.has_tail && memcmp(f.tail, magic, 4) == 0; };
  if (starts("SARC", 4) || starts("FFNT", 4) || starts("Gfx2", 4) || starts("FRES", 4) ||
      starts("AAHS", 4) || starts("BAHS", 4) || tail("FLIM")) {
    return 0x2000;
  }
  if (starts("BNTX\0\0\0\0", 8) || starts("BNSH\0\0\0\0", 8) || starts("FSHA    ", 8))
    return 0x1000;
  if (starts("SCDL", 4, 0xC)) return 0x100;
  if (starts("Yaz0", 4) || starts("Yaz1", 4) || starts("CFNT", 4) || starts("CGFX", 4) ||
      tail("CLIM") || starts("YB", 2) || starts("BY", 2) || starts("MsgStdBn", 8) ||
      starts("MsgPrjBn", 8)) {
    return 0x80;
  }
  if (starts("CSTM", 4) || starts("FSTM", 4) || starts("FSTP", 4) || starts("CWAV", 4) ||
      starts("FWAV", 4)) {
    return 0x20;
  }
  if (starts("CTPK", 4)) return 0x10;
  if (starts("AAMP", 4)) return 8;
  return 4;
}

bool ReadSarc(Input& input, Messages& messages, SarcModel* m, Tree* tree) {
  uint8_t h[kHeaderSize];
  if (input.size() < kHeaderSize + kSfatHeaderSize + kSfntHeaderSize) {
    messages.Problem("truncated: " + std::to_string(input.size()) +
                     " bytes, too short for a SARC's headers");
    return false;
  }
  if (!input.Read(0, h, sizeof h)) return false;
  m->order.big = h[6] == 0xFE;
  const Order& o = m->order;
  const uint32_t header_size = o.U16(h + 4);
  m->size = o.U32(h + 8);
  m->data_offset = o.U32(h + 12);
  m->version = o.U16(h + 16);
  m->reserved = o.U16(h + 18);
  if (header_size != kHeaderSize) {
    messages.Problem("damaged SARC header: its size field is " + Hex(header_size) + ", not 0x14");
    return false;
  }
  if (m->size > input.size()) {
    messages.Problem("truncated: the header gives " + std::to_string(m->size) +
                     " bytes, the archive holds " + std::to_string(input.size()));
    return false;
  }
  if (m->data_offset > m->size ||
      m->data_offset < kHeaderSize + kSfatHeaderSize + kSfntHeaderSize) {
    messages.Problem(
        "damaged SARC header: the data region starts at " + Hex(m->data_offset) +
        (m->data_offset > m->size ? ", past the end of the archive" : ", inside the tables"));
    return false;
  }
  if (m->data_offset > kMaxTables) {
    messages.Problem("the tables take " + std::to_string(m->data_offset) +
                     " bytes, more than the 16 MiB that sheaf reads");
    return false;
  }
  std::vector<uint8_t> t(m->data_offset);
  if (!input.Read(0, t.data(), t.size())) return false;
  const uint8_t* sfat = t.data() + kHeaderSize;
  if (memcmp(sfat, "SFAT", 4) != 0 || o.U16(sfat + 4) != kSfatHeaderSize) {
    messages.Problem("damaged SARC: no SFAT table header at 0x14");
    return false;
  }
  const uint32_t count = o.U16(sfat + 6);
  m->multiplier = o.U32(sfat + 8);
  const uint64_t sfnt_at = kHeaderSize + kSfatHeaderSize + uint64_t{16} * count;
  if (sfnt_at + kSfntHeaderSize > m->data_offset) {
    messages.Problem("damaged SARC: its " + std::to_string(count) +
                     " entries need the tables up to " + Hex(sfnt_at + kSfntHeaderSize) +
                     ", but the data region starts at " + Hex(m->data_offset));
    return false;
  }
  if (count > kMaxEntries) {
    messages.Problem("damaged SARC: " + std::to_string(count) +
                     " entries; the games read at most 16,383");
  }
  const uint8_t* sfnt = t.data() + sfnt_at;
  if (memcmp(sfnt, "SFNT", 4) != 0 || o.U16(sfnt + 4) != kSfntHeaderSize) {
    messages.Problem("damaged SARC: no SFNT name table header at " + Hex(sfnt_at));
    return false;
  }
  m->sfnt_reserved = o.U16(sfnt + 6);
  m->names_start = static_cast<uint32_t>(sfnt_at + kSfntHeaderSize);

  // Entries in table order: the first of two with one path is the one kept.
  std::map<uint32_t, int> unnamed_hashes, hash_uses;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = sfat + kSfatHeaderSize + 16 * i;
    ++hash_uses[o.U32(e)];
  }
  int votes[3] = {0, 0, 0};
  int non_ascii = 0;
  bool sorted_warned = false;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = sfat + kSfatHeaderSize + 16 * i;
    SarcEntry entry;
    entry.hash = o.U32(e);
    entry.attributes = o.U32(e + 4);
    entry.start = o.U32(e + 8);
    entry.end = o.U32(e + 12);
    entry.named = entry.attributes != 0;
    if (i > 0 && entry.hash < o.U32(e - 16) && !sorted_warned) {
      sorted_warned = true;
      messages.Warning("the entries are not sorted by name hash (from entry " + std::to_string(i) +
                       " on): games look files up by that order and may not find them");
    }
    std::string label = "entry " + std::to_string(i);
    bool usable = true;
    if (entry.named) {
      const uint64_t at = m->names_start + uint64_t{entry.attributes & 0xFFFFFF} * 4;
      const void* nul = at < t.size() ? memchr(t.data() + at, 0, t.size() - at) : nullptr;
      if (at >= t.size()) {
        messages.Problem("skipping " + label + ": its name offset " + Hex(at - m->names_start) +
                         " lies outside the name table");
        usable = false;
      } else if (nul == nullptr) {
        messages.Problem("skipping " + label + ": its name runs past the end of the name table");
        usable = false;
      } else {
        entry.name.assign(reinterpret_cast<const char*>(t.data() + at),
                          static_cast<const uint8_t*>(nul) - (t.data() + at));
        entry.path = entry.name;
        if (!entry.path.empty() && entry.path[0] == '/') entry.path.erase(0, 1);
        label = Quote(entry.name);
      }
    } else {
      entry.path = UnnamedPath(entry.hash);
      label = Quote(entry.path) + " (an entry without a name)";
      if (hash_uses[entry.hash] > 1) {
        messages.Problem("skipping " + label +
                         ": another entry has its hash, so it cannot be told apart");
        usable = false;
      }
    }
    if (usable && (entry.start > entry.end || uint64_t{m->data_offset} + entry.end > m->size)) {
      messages.Problem("skipping " + label + ": its data (" + Hex(entry.start) + " to " +
                       Hex(entry.end) + " in the data region at " + Hex(m->data_offset) + ") " +
                       (entry.start > entry.end ? "ends before it begins"
                                                : "runs past the end of the " +
                                                      std::to_string(m->size) + "-byte archive"));
      usable = false;
    }
    if (usable) {
      uint32_t node = 0;
      const std::string why = AddPath(
          *tree, entry.named ? std::string_view(entry.name) : std::string_view(entry.path), &node);
      if (!why.empty()) {
        messages.Problem("skipping " + label + ": " + why);
      } else {
        entry.node = node;
        Tree::Node& n = tree->node(node);
        n.offset = uint64_t{m->data_offset} + entry.start;
        n.size = entry.end - entry.start;
        n.entry = i;
      }
    }
    if (entry.named && usable) {
      const bool matches[3] = {
          SarcHash(entry.name, m->multiplier, HashConvention::kUnsigned) == entry.hash,
          SarcHash(entry.name, m->multiplier, HashConvention::kSigned) == entry.hash,
          SarcHash(entry.name, m->multiplier, HashConvention::kCodePoints) == entry.hash};
      if (!matches[0] && !matches[1] && !matches[2]) {
        messages.Warning(label + ": its name hash " + Hex(entry.hash) +
                         " matches none of the known ways of hashing a name (a game may not find "
                         "it)");
      }
      if (HasNonAscii(entry.name)) {
        ++non_ascii;
        for (int k = 0; k < 3; ++k) votes[k] += matches[k];
      }
    }
    m->entries.push_back(std::move(entry));
  }
  // The convention of new names: the one all non-ASCII names show, or
  // else the one most of them show; unsigned bytes when nothing shows it.
  m->convention = HashConvention::kUnsigned;
  if (non_ascii > 0) {
    int best = 0;
    for (int k = 1; k < 3; ++k) {
      if (votes[k] > votes[best]) best = k;
    }
    if (votes[best] > 0) m->convention = static_cast<HashConvention>(best);
  }
  return true;
}

// ---- writing ----

namespace {

struct Item {
  uint32_t hash = 0;
  uint32_t collision = 1;
  bool named = true;
  std::string name;       // as stored
  uint32_t host = 0;      // the host file
  int64_t original = -1;  // its entry in the original, when kept
  uint64_t align = 4;
  uint32_t name_offset = 0;
  uint64_t start = 0;  // relative to the data region
};

}  // namespace

bool PlanSarc(const SarcModel& model, bool has_original, const PackJob& job, Plan* plan) {
  const Order& o = model.order;
  HostTree& host = job.host;
  Messages& messages = job.messages;
  Input* original = has_original ? job.original : nullptr;

  // Which files of the original are still there.
  std::vector<int64_t> kept_by_host(host.entries.size(), -1);
  for (size_t i = 0; i < model.entries.size(); ++i) {
    const SarcEntry& e = model.entries[i];
    const uint32_t at = host.Find(e.path);
    if (at != HostTree::kNone && !host.entries[at].folder)
      kept_by_host[at] = static_cast<int64_t>(i);
  }
  std::vector<Item> kept, added;
  for (uint32_t i = 1; i < host.entries.size(); ++i) {
    const HostEntry& f = host.entries[i];
    if (f.folder) continue;
    Item item;
    item.host = i;
    if (kept_by_host[i] >= 0) {
      const SarcEntry& e = model.entries[static_cast<size_t>(kept_by_host[i])];
      item.original = kept_by_host[i];
      item.hash = e.hash;
      item.named = e.named;
      item.name = e.name;
      item.collision = e.attributes >> 24;
      kept.push_back(item);
      continue;
    }
    uint32_t hash = 0;
    if (f.parent == 0 && IsUnnamedPath(f.path, &hash)) {
      item.named = false;
      item.hash = hash;
    } else {
      item.name = f.path;
      item.hash = SarcHash(f.path, model.multiplier, model.convention);
    }
    added.push_back(item);
  }
  std::sort(kept.begin(), kept.end(),
            [](const Item& a, const Item& b) { return a.original < b.original; });
  std::stable_sort(added.begin(), added.end(), [](const Item& a, const Item& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.name < b.name;
  });
  // New entries go where the hash order puts them: before the first kept
  // entry with a greater hash.
  std::vector<Item> items;
  items.reserve(kept.size() + added.size());
  {
    size_t k = 0, a = 0;
    while (k < kept.size() || a < added.size()) {
      if (a < added.size() && (k == kept.size() || added[a].hash < kept[k].hash)) {
        items.push_back(added[a++]);
      } else {
        items.push_back(kept[k++]);
      }
    }
  }
  if (items.size() > kMaxEntries) {
    messages.Problem(CannotPack(host.entries[items[kMaxEntries].host].path,
                                "a SARC holds at most 16,383 files"));
    return false;
  }
  // Hashes: an entry without a name must have its own; equal hashes of
  // named entries are told apart by their collision index, kept from the
  // original while the group is as it was.
  std::map<uint32_t, int> original_group;
  for (const SarcEntry& e : model.entries) {
    if (e.named) ++original_group[e.hash];
  }
  for (size_t i = 0; i < items.size();) {
    size_t j = i;
    while (j < items.size() && items[j].hash == items[i].hash) ++j;
    bool unchanged = j - i == static_cast<size_t>(original_group[items[i].hash]);
    for (size_t k = i; k < j; ++k) {
      if (!items[k].named && j - i > 1) {
        messages.Problem(
            CannotPack(host.entries[items[k].host].path,
                       "an entry without a name needs a hash that no other entry has"));
        return false;
      }
      unchanged = unchanged && items[k].original >= 0;
    }
    for (size_t k = i; k < j; ++k) {
      if (!unchanged) items[k].collision = static_cast<uint32_t>(k - i + 1);
    }
    i = j;
  }

  // Names: the original's in their table order, then the new ones.
  std::vector<size_t> name_order;
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].named) name_order.push_back(i);
  }
  auto original_offset = [&](const Item& item) {
    return model.entries[static_cast<size_t>(item.original)].attributes & 0xFFFFFF;
  };
  OriginalsFirst(name_order, items, [&](const Item& x, const Item& y) {
    return original_offset(x) < original_offset(y);
  });
  // The end of each original name, by its offset, for the gaps.
  std::map<uint64_t, uint64_t> name_end_before;  // offset -> end of the name before it
  uint64_t original_names_end = 0;
  {
    std::vector<std::pair<uint64_t, uint64_t>> spans;  // start, end (relative to the names)
    for (const SarcEntry& e : model.entries) {
      if (!e.named || e.node == Tree::kNone) continue;
      const uint64_t start = uint64_t{e.attributes & 0xFFFFFF} * 4;
      spans.push_back({start, start + e.name.size() + 1});
    }
    std::sort(spans.begin(), spans.end());
    uint64_t end = 0;
    for (const auto& [start, stop] : spans) {
      name_end_before.emplace(start, end);
      end = std::max(end, stop);
    }
    original_names_end = end;
  }
  const uint64_t names_start = kHeaderSize + kSfatHeaderSize + 16 * items.size() + kSfntHeaderSize;
  const bool same_names_start = has_original && names_start == model.names_start;
  std::vector<uint8_t> names;
  for (const size_t i : name_order) {
    Item& item = items[i];
    Origin origin;
    if (item.original >= 0 && same_names_start) {
      origin.known = true;
      origin.start = uint64_t{original_offset(item)} * 4;
      origin.gap_start = name_end_before[origin.start];
    }
    const uint64_t pos = names.size();
    const uint64_t start = Place(pos, 4, origin);
    if (start / 4 > 0xFFFFFF) {
      messages.Problem(
          CannotPack(host.entries[item.host].path, "the names of a SARC take at most 64 MiB"));
      return false;
    }
    names.resize(static_cast<size_t>(start), 0);
    if (SameGap(pos, origin) && !original->Read(model.names_start + pos, names.data() + pos,
                                                static_cast<size_t>(start - pos))) {
      return false;
    }
    item.name_offset = static_cast<uint32_t>(start);
    names.insert(names.end(), item.name.begin(), item.name.end());
    names.push_back(0);
  }

  // Alignment: a kept file keeps the one its original offset gives it, up
  // to the original data region's own; a new one gets its content's.
  const uint64_t cap =
      has_original ? LowBit(model.data_offset, kLargestAlignment) : kLargestAlignment;
  std::vector<uint32_t> to_sniff;
  for (const Item& item : items) {
    if (item.original < 0) to_sniff.push_back(item.host);
  }
  if (!SniffFiles(host, to_sniff, messages)) return false;
  uint64_t largest = 1, largest_added = 1;
  for (Item& item : items) {
    item.align = item.original >= 0
                     ? LowBit(model.entries[static_cast<size_t>(item.original)].start, cap)
                     : SarcContentAlignment(host.entries[item.host]);
    largest = std::max(largest, item.align);
    if (item.original < 0) largest_added = std::max(largest_added, item.align);
  }

  // The data region, after the names.
  const uint64_t names_end = names_start + names.size();
  Origin region;
  if (same_names_start) {
    region = {true, model.names_start + original_names_end, model.data_offset};
  }
  const uint64_t data_offset = Place(names_end, largest, region);
  plan->head.assign(static_cast<size_t>(names_start), 0);
  plan->head.insert(plan->head.end(), names.begin(), names.end());
  const Fill zero;
  const Fill head_fill =
      has_original ? OriginalFill(original, region.gap_start, region.start, zero) : zero;
  if (!HeadGap(plan->head, data_offset, SameGap(names_end, region), region.gap_start, head_fill,
               original)) {
    return false;
  }
  plan->size = data_offset;
  plan->largest_alignment = largest_added;

  // Data: kept files in the original's data order, then the new ones.
  std::vector<size_t> data_order(items.size());
  for (size_t i = 0; i < items.size(); ++i) data_order[i] = i;
  auto original_start = [&](const Item& item) {
    return model.entries[static_cast<size_t>(item.original)].start;
  };
  OriginalsFirst(data_order, items, [&](const Item& x, const Item& y) {
    if (original_start(x) != original_start(y)) return original_start(x) < original_start(y);
    return x.original < y.original;
  });
  // Where each original file's gap began: the end of the one before it.
  std::vector<uint64_t> gap_start(model.entries.size(), 0);
  uint64_t original_last_end = 0;
  {
    std::vector<size_t> order;
    for (size_t i = 0; i < model.entries.size(); ++i) {
      if (model.entries[i].node != Tree::kNone) order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return model.entries[a].start < model.entries[b].start;
    });
    // Entries sharing a block share its gap.
    for (size_t k = 0; k < order.size(); ++k) {
      const SarcEntry& e = model.entries[order[k]];
      const SarcEntry* before = k > 0 ? &model.entries[order[k - 1]] : nullptr;
      const bool same_block = before != nullptr && before->start == e.start && before->end == e.end;
      gap_start[order[k]] = same_block ? gap_start[order[k - 1]] : original_last_end;
      original_last_end = std::max<uint64_t>(original_last_end, e.end);
    }
  }
  const bool same_region = has_original && data_offset == model.data_offset;
  Fill data_fill = zero;
  if (has_original) {
    for (const size_t i : data_order) {
      const Item& item = items[i];
      if (item.original < 0) break;
      const SarcEntry& e = model.entries[static_cast<size_t>(item.original)];
      const uint64_t from = gap_start[static_cast<size_t>(item.original)];
      if (e.start > from) {
        data_fill =
            OriginalFill(original, model.data_offset + from, model.data_offset + e.start, zero);
        break;
      }
    }
  }
  SharedBlocks shared(host, messages, original);
  auto describe = [&](size_t i) {
    const Item& item = items[i];
    if (item.original < 0) return KeptFile{};
    const SarcEntry& e = model.entries[static_cast<size_t>(item.original)];
    return KeptFile{true, uint64_t{model.data_offset} + e.start, uint64_t{e.end} - e.start,
                    item.host};
  };
  if (!shared.KeepersFirst(data_order, describe)) return false;
  uint64_t pos = 0;
  for (const size_t i : data_order) {
    Item& item = items[i];
    const HostEntry& f = host.entries[item.host];
    const KeptFile kept = describe(i);
    if (!shared.Find(kept, &item.start)) return false;
    if (item.start != SharedBlocks::kNone) {
      plan->Shared(item.host);
      continue;
    }
    Origin origin;
    if (kept.kept && same_region) {
      origin = {true, gap_start[static_cast<size_t>(item.original)], original_start(item)};
    }
    item.start = Place(pos, item.align, origin);
    if (data_offset + item.start + f.size > 0xFFFFFFFFull) {
      messages.Problem(CannotPack(f.path, "a SARC ends before 4 GiB (its offsets are 32-bit)"));
      return false;
    }
    plan->Gap(data_offset + item.start, SameGap(pos, origin), model.data_offset + pos, data_fill);
    plan->File(item.host, f.size);
    shared.Placed(kept, item.start);
    pos = item.start + f.size;
  }
  // The end: the original's bytes after its last file while that file
  // ends where it did; else padded as the original was.
  uint64_t end = data_offset + pos;
  if (has_original) {
    const uint64_t original_end = uint64_t{model.data_offset} + original_last_end;
    if (same_region && pos == original_last_end) {
      end = model.size;
    } else {
      end = ApplyTrail(DetectTrail(original_end, model.size), end);
    }
    if (end > 0xFFFFFFFFull) {
      messages.Problem("cannot pack the tree: a SARC ends before 4 GiB");
      return false;
    }
    plan->Gap(end, same_region && pos == original_last_end, original_end, data_fill);
  }

  // The tables.
  uint8_t* h = plan->head.data();
  memcpy(h, "SARC", 4);
  o.Put16(h + 4, kHeaderSize);
  o.Put16(h + 6, 0xFEFF);
  o.Put32(h + 8, static_cast<uint32_t>(end));
  o.Put32(h + 12, static_cast<uint32_t>(data_offset));
  o.Put16(h + 16, model.version);
  o.Put16(h + 18, model.reserved);
  uint8_t* sfat = h + kHeaderSize;
  memcpy(sfat, "SFAT", 4);
  o.Put16(sfat + 4, kSfatHeaderSize);
  o.Put16(sfat + 6, static_cast<uint32_t>(items.size()));
  o.Put32(sfat + 8, model.multiplier);
  for (size_t i = 0; i < items.size(); ++i) {
    const Item& item = items[i];
    uint8_t* e = sfat + kSfatHeaderSize + 16 * i;
    o.Put32(e, item.hash);
    o.Put32(e + 4, item.named ? (item.collision & 0xFF) << 24 | item.name_offset / 4 : 0);
    o.Put32(e + 8, static_cast<uint32_t>(item.start));
    o.Put32(e + 12, static_cast<uint32_t>(item.start + host.entries[item.host].size));
  }
  uint8_t* sfnt = sfat + kSfatHeaderSize + 16 * items.size();
  memcpy(sfnt, "SFNT", 4);
  o.Put16(sfnt + 4, kSfntHeaderSize);
  o.Put16(sfnt + 6, model.sfnt_reserved);
  return true;
}

}  // namespace sheaf
