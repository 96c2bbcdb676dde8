// -c for DS ROMs: the kit's own layout of an extracted tree, or the layout
// of an original ROM, its parts kept where they fit.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bytes.h"
#include "nds.h"

namespace sheaf {

namespace {

constexpr uint64_t kMaxTables = 16 << 20;
constexpr uint64_t kMaxBanner = 1 << 20;
constexpr uint64_t kUnbounded = ~uint64_t{0};
constexpr uint32_t kMaxFileIds = 0xF000;
constexpr uint32_t kAcSize = 0x88;
constexpr uint64_t kSecureEnd = 0x8000;

// The smallest n whose chip of 128 KiB << n holds more than size bytes.
uint8_t Capacity(uint64_t size) {
  uint8_t n = 0;
  while (n < 31 && (uint64_t{128} << (10 + n)) <= size) ++n;
  return n;
}

// A part of the new ROM and where its bytes come from.
struct Placed {
  enum Source : uint8_t { kHost, kBlock, kOriginal } source = kHost;
  uint64_t start = 0;
  uint64_t size = 0;
  uint32_t host = Piece::kNoFile;  // kHost: the file; kBlock: the file it is made from, for -v
  uint32_t block = 0;              // kBlock
  uint64_t from = 0;               // kOriginal: where the bytes lie in the original
};

// What lies between the parts from start on (to the next segment): the
// original's bytes (from + the distance from start) or one byte.
struct Segment {
  uint64_t start = 0;
  bool copy = false;
  uint64_t from = 0;
  uint8_t fill = 0xFF;
};

// The new ROM: its parts, and what lies between them.
class Layout {
 public:
  Layout(const HostTree& host, Input* original, Messages& messages)
      : host_(host), original_(original), messages_(messages) {}

  uint32_t Block(std::vector<uint8_t> bytes) {
    blocks_.push_back(std::move(bytes));
    return static_cast<uint32_t>(blocks_.size() - 1);
  }
  std::vector<uint8_t>& block(uint32_t index) { return blocks_[index]; }
  void Add(const Placed& part) {
    if (part.size > 0) parts_.push_back(part);
  }
  // From start on, the gaps hold the original's bytes at from (copy) or fill.
  void Background(uint64_t start, bool copy, uint64_t from, uint8_t fill) {
    segments_[start] = {start, copy, from, fill};
  }
  void set_size(uint64_t size) { size_ = size; }
  uint64_t size() const { return size_; }

  // The new ROM's bytes in [start, end). False (reported) when a file or
  // the original cannot be read.
  bool Render(uint64_t start, uint64_t end, std::vector<uint8_t>* out);
  void Emit(Plan* plan);

 private:
  const Segment& SegmentAt(uint64_t at) const {
    return std::prev(segments_.upper_bound(at))->second;
  }

  const HostTree& host_;
  Input* original_;
  Messages& messages_;
  std::vector<Placed> parts_;
  std::vector<std::vector<uint8_t>> blocks_;
  std::map<uint64_t, Segment> segments_{{0, Segment{}}};
  uint64_t size_ = 0;
};

// size bytes at offset of a file of the tree.
bool ReadHostBytes(const HostTree& host, uint32_t entry, uint64_t offset, uint8_t* out, size_t size,
                   Messages& messages) {
  const std::string path = host.HostPath(entry);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  size_t done = 0;
  int error = fd < 0 ? errno : 0;
  while (fd >= 0 && done < size) {
    const ssize_t n = pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : 0;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (fd >= 0) close(fd);
  if (done == size) return true;
  messages.Problem(error == 0 ? "cannot pack " + Quote(path) +
                                    ": it changed while the ROM was made (it ended early)"
                              : "cannot read " + Quote(path) + ": " + strerror(error));
  return false;
}

bool Layout::Render(uint64_t start, uint64_t end, std::vector<uint8_t>* out) {
  out->assign(static_cast<size_t>(end - start), 0);
  for (uint64_t at = start; at < end;) {
    const Segment& s = SegmentAt(at);
    const auto next = segments_.upper_bound(at);
    const uint64_t stop = std::min(end, next == segments_.end() ? end : next->first);
    uint8_t* into = out->data() + (at - start);
    if (s.copy) {
      if (!original_->Read(s.from + (at - s.start), into, static_cast<size_t>(stop - at))) {
        return false;
      }
    } else {
      memset(into, s.fill, static_cast<size_t>(stop - at));
    }
    at = stop;
  }
  for (const Placed& p : parts_) {
    const uint64_t a = std::max(start, p.start), b = std::min(end, p.start + p.size);
    if (a >= b) continue;
    uint8_t* into = out->data() + (a - start);
    const auto n = static_cast<size_t>(b - a);
    switch (p.source) {
      case Placed::kHost:
        if (!ReadHostBytes(host_, p.host, a - p.start, into, n, messages_)) return false;
        break;
      case Placed::kBlock:
        memcpy(into, blocks_[p.block].data() + (a - p.start), n);
        break;
      case Placed::kOriginal:
        if (!original_->Read(p.from + (a - p.start), into, n)) return false;
        break;
    }
  }
  return true;
}

void Layout::Emit(Plan* plan) {
  std::sort(parts_.begin(), parts_.end(),
            [](const Placed& a, const Placed& b) { return a.start < b.start; });
  auto gap_to = [&](uint64_t end) {
    while (plan->size < end) {
      const Segment& s = SegmentAt(plan->size);
      const auto next = segments_.upper_bound(plan->size);
      const uint64_t stop = std::min(end, next == segments_.end() ? end : next->first);
      plan->Gap(stop, s.copy, s.from + (plan->size - s.start), Fill{Fill::kByte, s.fill});
    }
  };
  for (Placed& p : parts_) {
    gap_to(p.start);
    switch (p.source) {
      case Placed::kHost:
        plan->File(p.host, p.size);
        break;
      case Placed::kBlock:
        plan->Bytes(std::move(blocks_[p.block]), p.host);
        break;
      case Placed::kOriginal:
        plan->Gap(p.start + p.size, true, p.from, Fill{});
        break;
    }
  }
  gap_to(size_);
}

// The tree's top-level entries that a ROM is made of.
struct Top {
  uint32_t header = HostTree::kNone, arm9 = HostTree::kNone, arm7 = HostTree::kNone;
  uint32_t y9 = HostTree::kNone, y7 = HostTree::kNone, banner = HostTree::kNone;
  uint32_t arm9i = HostTree::kNone, arm7i = HostTree::kNone;
  uint32_t data = HostTree::kNone, overlay = HostTree::kNone;
};

// Reads a whole file of the tree (at most limit bytes).
bool ReadWhole(const HostTree& host, uint32_t entry, uint64_t limit, Messages& messages,
               std::vector<uint8_t>* out) {
  const HostEntry& e = host.entries[entry];
  if (e.size > limit) {
    messages.Problem(CannotPack(e.path, "it holds " + std::to_string(e.size) +
                                            " bytes, more than the " + std::to_string(limit) +
                                            " that this part of a ROM can"));
    return false;
  }
  out->assign(static_cast<size_t>(e.size), 0);
  return ReadHostBytes(host, entry, 0, out->data(), out->size(), messages);
}

bool Empty(const HostTree& host, uint32_t entry) {
  return entry == HostTree::kNone || host.entries[entry].size == 0;
}

// The overlay tables' file IDs, in table order (y9's first).
struct Overlays {
  std::vector<uint32_t> ids;
  std::vector<uint32_t> files;  // the host file of each
};

// Checks an overlay table's size and reads its entries' file IDs.
bool TableIds(const HostTree& host, uint32_t entry, const std::vector<uint8_t>& table,
              Messages& messages, std::vector<uint32_t>* ids) {
  if (table.size() % nds::kOverlayEntry != 0) {
    messages.Problem(
        CannotPack(host.entries[entry].path, "it holds " + std::to_string(table.size()) +
                                                 " bytes, not a multiple of its 32-byte entries"));
    return false;
  }
  for (size_t i = 0; i < table.size(); i += nds::kOverlayEntry) {
    ids->push_back(kLittle.U32(table.data() + i + 0x18));
  }
  return true;
}

// The kit's own layout.
class DefaultRom {
 public:
  explicit DefaultRom(const PackJob& job) : host_(job.host), messages_(job.messages) {}
  bool Plan(sheaf::Plan* plan);

 private:
  bool FindTop();
  bool ReadOverlays(std::vector<uint8_t>* y9, std::vector<uint8_t>* y7);
  bool NameTable(uint32_t first_id);

  HostTree& host_;
  Messages& messages_;
  Top top_;
  Overlays overlays_;
  std::vector<uint8_t> fnt_;
  std::vector<uint32_t> files_;  // in file-ID order
};

bool DefaultRom::FindTop() {
  bool ok = true;
  for (const uint32_t child : host_.entries[0].children) {
    const HostEntry& e = host_.entries[child];
    const struct {
      const char* name;
      uint32_t* slot;
      bool folder;
    } names[] = {{"header.bin", &top_.header, false}, {"arm9.bin", &top_.arm9, false},
                 {"arm7.bin", &top_.arm7, false},     {"y9.bin", &top_.y9, false},
                 {"y7.bin", &top_.y7, false},         {"banner.bin", &top_.banner, false},
                 {"arm9i.bin", &top_.arm9i, false},   {"arm7i.bin", &top_.arm7i, false},
                 {"data", &top_.data, true},          {"overlay", &top_.overlay, true}};
    bool known = false;
    for (const auto& n : names) {
      if (e.name == n.name && e.folder == n.folder) {
        *n.slot = child;
        known = true;
      }
    }
    if (!known) {
      messages_.Problem(
          CannotPack(e.path,
                     "a ROM holds header.bin, arm9.bin, arm7.bin, y9.bin, y7.bin, banner.bin, "
                     "arm9i.bin, arm7i.bin and the folders data and overlay, nothing else"));
      ok = false;
    }
  }
  for (const auto& [slot, name] :
       {std::pair{top_.header, "header.bin"}, std::pair{top_.arm9, "arm9.bin"},
        std::pair{top_.arm7, "arm7.bin"}}) {
    if (slot == HostTree::kNone) {
      messages_.Problem(std::string("cannot pack the tree: it has no ") + name +
                        " (a ROM needs header.bin, arm9.bin and arm7.bin)");
      ok = false;
    }
  }
  return ok;
}

bool DefaultRom::ReadOverlays(std::vector<uint8_t>* y9, std::vector<uint8_t>* y7) {
  if ((!Empty(host_, top_.y9) && !ReadWhole(host_, top_.y9, kMaxTables, messages_, y9)) ||
      (!Empty(host_, top_.y7) && !ReadWhole(host_, top_.y7, kMaxTables, messages_, y7)) ||
      (!y9->empty() && !TableIds(host_, top_.y9, *y9, messages_, &overlays_.ids)) ||
      (!y7->empty() && !TableIds(host_, top_.y7, *y7, messages_, &overlays_.ids))) {
    return false;
  }
  bool ok = true;
  std::unordered_map<uint32_t, size_t> first;
  std::vector<uint8_t> named(host_.entries.size(), 0);
  const size_t in_y9 = y9->size() / nds::kOverlayEntry;
  for (size_t i = 0; i < overlays_.ids.size(); ++i) {
    const uint32_t id = overlays_.ids[i];
    const std::string entry = std::string(i < in_y9 ? "y9.bin" : "y7.bin") + "'s entry " +
                              std::to_string(i < in_y9 ? i : i - in_y9);
    const std::string path = nds::OverlayPath(id);
    const uint32_t at = host_.Find(path);
    if (id >= kMaxFileIds) {
      messages_.Problem("cannot pack the tree: " + entry + " names file ID " + std::to_string(id) +
                        ", but a ROM numbers its files below 61,440");
      ok = false;
    } else if (!first.emplace(id, i).second) {
      messages_.Problem("cannot pack the tree: " + entry + " names file ID " + std::to_string(id) +
                        ", which another overlay has");
      ok = false;
    } else if (at == HostTree::kNone || host_.entries[at].folder) {
      messages_.Problem("cannot pack the tree: " + entry + " names file ID " + std::to_string(id) +
                        ", but there is no file " + Quote(path));
      ok = false;
    } else {
      named[at] = 1;
    }
    overlays_.files.push_back(at);
  }
  if (top_.overlay != HostTree::kNone) {
    for (const uint32_t child : host_.entries[top_.overlay].children) {
      if (named[child]) continue;
      messages_.Problem(CannotPack(host_.entries[child].path,
                                   "no entry of y9.bin or y7.bin names it as an overlay"));
      ok = false;
    }
  }
  return ok;
}

// The name table of data/: per folder its files, then its folders, each
// bytewise; folders numbered depth first in that order, their sub-tables
// in that order after the main table; file IDs in that order.
bool DefaultRom::NameTable(uint32_t first_id) {
  std::vector<uint32_t> folders;  // host entries, by folder ID
  std::vector<uint32_t> stack{top_.data};
  std::unordered_map<uint32_t, uint32_t> id_of;
  while (!stack.empty()) {
    const uint32_t at = stack.back();
    stack.pop_back();
    id_of[at] = static_cast<uint32_t>(folders.size());
    folders.push_back(at);
    const auto& children = host_.entries[at].children;
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      if (host_.entries[*it].folder) stack.push_back(*it);
    }
  }
  if (folders.size() > nds::kMaxFolders) {
    messages_.Problem(CannotPack(host_.entries[folders[nds::kMaxFolders]].path,
                                 "a ROM's name table holds at most 4,096 folders"));
    return false;
  }
  std::vector<uint8_t>& t = fnt_;
  t.assign(8 * folders.size(), 0);
  uint32_t id = first_id;
  for (uint32_t f = 0; f < folders.size(); ++f) {
    const HostEntry& folder = host_.entries[folders[f]];
    uint8_t* entry = t.data() + 8 * f;
    kLittle.Put32(entry, static_cast<uint32_t>(t.size()));
    kLittle.Put16(entry + 4, id);
    kLittle.Put16(entry + 6, f == 0 ? static_cast<uint32_t>(folders.size())
                                    : nds::kFolderBase + id_of[folder.parent]);
    for (const bool folders_now : {false, true}) {
      for (const uint32_t child : folder.children) {
        const HostEntry& c = host_.entries[child];
        if (c.folder != folders_now) continue;
        if (c.name.size() > 127) {
          messages_.Problem(CannotPack(c.path, "a ROM's names hold at most 127 bytes"));
          return false;
        }
        t.push_back(static_cast<uint8_t>(c.name.size() | (c.folder ? 0x80 : 0)));
        t.insert(t.end(), c.name.begin(), c.name.end());
        if (c.folder) {
          t.push_back(static_cast<uint8_t>(id_of[child]));
          t.push_back(static_cast<uint8_t>((nds::kFolderBase + id_of[child]) >> 8));
        } else {
          if (id >= kMaxFileIds) {
            messages_.Problem(CannotPack(c.path, "a ROM numbers its files below 61,440"));
            return false;
          }
          files_.push_back(child);
          ++id;
        }
      }
    }
    t.push_back(0);
  }
  return true;
}

// Whether the file ends with the 12-byte footer that follows an ARM9
// binary (the header's size leaves it out).
bool EndsWithFooter(const HostTree& host, uint32_t entry, Messages& messages, bool* footer) {
  *footer = false;
  const uint64_t size = host.entries[entry].size;
  if (size < 12) return true;
  uint8_t word[4];
  if (!ReadHostBytes(host, entry, size - 12, word, 4, messages)) return false;
  *footer = kLittle.U32(word) == nds::kFooterMagic;
  return true;
}

// Sets the banner's CRCs for its version.
void SetBannerCrcs(std::vector<uint8_t>& banner) {
  for (const nds::BannerCrc& crc : nds::BannerCrcs(kLittle.U16(banner.data()))) {
    if (crc.end > banner.size()) continue;
    kLittle.Put16(banner.data() + crc.at, Crc16(banner.data() + crc.start, crc.end - crc.start));
  }
}

// Reads banner.bin and checks that it holds what its version needs.
bool ReadBanner(const HostTree& host, uint32_t entry, Messages& messages,
                std::vector<uint8_t>* banner) {
  if (!ReadWhole(host, entry, kMaxBanner, messages, banner)) return false;
  const uint16_t version = banner->size() >= 2 ? kLittle.U16(banner->data()) : 0;
  if (banner->size() < nds::BannerSize(version)) {
    messages.Problem(
        CannotPack(host.entries[entry].path, "a banner of version " + Hex(version) + " holds " +
                                                 Hex(nds::BannerSize(version)) +
                                                 " bytes, this one " + Hex(banner->size())));
    return false;
  }
  return true;
}

bool DefaultRom::Plan(sheaf::Plan* plan) {
  if (!FindTop()) return false;
  std::vector<uint8_t> header;
  if (!ReadWhole(host_, top_.header, kMaxTables, messages_, &header)) return false;
  const std::string& header_path = host_.entries[top_.header].path;
  if (header.size() < nds::kMinHeader) {
    messages_.Problem(CannotPack(
        header_path, "a ROM's header holds at least 0x200 bytes, this one " + Hex(header.size())));
    return false;
  }
  const bool dsi = nds::IsDsi(header.data());
  if (dsi && header.size() < nds::kMinDsiHeader) {
    messages_.Problem(
        CannotPack(header_path,
                   "a DSi header (bit 1 of the unit code at 0x12) holds at least 0x1000 bytes, "
                   "this one " +
                       Hex(header.size())));
    return false;
  }
  const uint32_t header_size = kLittle.U32(header.data() + 0x84);
  const uint32_t least = dsi ? nds::kMinDsiHeader : nds::kMinHeader;
  if (header_size < least || header_size < header.size() || header_size > kMaxTables) {
    messages_.Problem(CannotPack(
        header_path, "its header size (0x84), " + Hex(header_size) +
                         (header_size < least        ? ", is below " + Hex(least)
                          : header_size > kMaxTables ? ", is more than the 16 MiB that sheaf reads"
                                                     : ", is smaller than the file")));
    return false;
  }
  header.resize(header_size, 0);
  for (const uint32_t entry : {top_.arm9i, top_.arm7i}) {
    if (!dsi && !Empty(host_, entry)) {
      messages_.Problem(
          CannotPack(host_.entries[entry].path,
                     "it goes with a DSi header only (bit 1 of the unit code at 0x12)"));
      return false;
    }
  }
  std::vector<uint8_t> y9, y7;
  if (!ReadOverlays(&y9, &y7)) return false;
  uint32_t first_id = 0;
  for (const uint32_t id : overlays_.ids) first_id = std::max(first_id, id + 1);
  if (top_.data != HostTree::kNone && !NameTable(first_id)) return false;
  const uint64_t fat_count = first_id + uint64_t{files_.size()};
  std::vector<uint8_t> banner;
  if (!Empty(host_, top_.banner)) {
    if (!ReadBanner(host_, top_.banner, messages_, &banner)) return false;
    SetBannerCrcs(banner);
  }
  const uint64_t tables = header_size + fnt_.size() + 8 * fat_count + y9.size() + y7.size();
  if (tables > kMaxTables) {
    messages_.Problem("cannot pack the tree: its tables would take " + std::to_string(tables) +
                      " bytes, more than the 16 MiB that sheaf reads back");
    return false;
  }

  // Each part at the first 0x200 boundary after the last one that is not
  // empty.
  Layout layout(host_, nullptr, messages_);
  layout.Background(0, false, 0, 0xFF);
  uint64_t pos = header_size;
  auto place = [&](uint64_t size, uint64_t least_start = 0) {
    const uint64_t start = std::max(least_start, AlignUp(pos, 0x200));
    if (size > 0) pos = start + size;
    return start;
  };
  auto from_host = [&](uint32_t entry, uint64_t start) {
    Placed p;
    p.host = entry;
    p.start = start;
    p.size = host_.entries[entry].size;
    layout.Add(p);
  };
  auto from_block = [&](uint32_t block, uint64_t start, uint32_t entry) {
    Placed p;
    p.source = Placed::kBlock;
    p.block = block;
    p.host = entry;
    p.start = start;
    p.size = layout.block(block).size();
    layout.Add(p);
  };
  const uint32_t header_block = layout.Block(std::move(header));
  from_block(header_block, 0, top_.header);
  const uint64_t arm9_size = host_.entries[top_.arm9].size;
  const uint64_t arm9 = place(arm9_size);
  from_host(top_.arm9, arm9);
  const uint64_t y9_at = y9.empty() ? 0 : place(y9.size());
  if (!y9.empty()) from_host(top_.y9, y9_at);
  const uint64_t arm7_size = host_.entries[top_.arm7].size;
  const uint64_t arm7 = place(arm7_size, kSecureEnd);
  from_host(top_.arm7, arm7);
  const uint64_t y7_at = y7.empty() ? 0 : place(y7.size());
  if (!y7.empty()) from_host(top_.y7, y7_at);
  uint64_t fnt_at = 0;
  if (top_.data != HostTree::kNone) {
    fnt_at = place(fnt_.size());
    from_block(layout.Block(fnt_), fnt_at, Piece::kNoFile);
  }
  std::vector<uint8_t> fat(static_cast<size_t>(8 * fat_count), 0);
  const uint64_t fat_at = place(fat.size());
  const uint32_t fat_block = layout.Block({});
  uint64_t banner_at = 0;
  const uint64_t banner_size = banner.size();
  if (!banner.empty()) {
    banner_at = place(banner.size());
    from_block(layout.Block(std::move(banner)), banner_at, top_.banner);
  }
  auto file_at = [&](uint32_t id, uint32_t entry) {
    const uint64_t start = place(host_.entries[entry].size);
    kLittle.Put32(fat.data() + 8 * id, static_cast<uint32_t>(start));
    kLittle.Put32(fat.data() + 8 * id + 4,
                  static_cast<uint32_t>(start + host_.entries[entry].size));
    from_host(entry, start);
  };
  for (size_t i = 0; i < overlays_.ids.size(); ++i) file_at(overlays_.ids[i], overlays_.files[i]);
  for (size_t i = 0; i < files_.size(); ++i) {
    file_at(first_id + static_cast<uint32_t>(i), files_[i]);
  }
  const uint64_t ntr_end = AlignUp(pos, 4);
  uint64_t length = ntr_end;
  uint64_t arm9i = 0, arm7i = 0;
  if (dsi) {
    uint64_t at = ntr_end;
    if (!Empty(host_, top_.arm9i)) {
      arm9i = AlignUp(at, 0x400);
      at = arm9i + host_.entries[top_.arm9i].size;
      from_host(top_.arm9i, arm9i);
    }
    if (!Empty(host_, top_.arm7i)) {
      arm7i = AlignUp(at, 0x200);
      at = arm7i + host_.entries[top_.arm7i].size;
      from_host(top_.arm7i, arm7i);
    }
    length = AlignUp(at, 0x200);
    if (banner_size > 0) length = std::max<uint64_t>(length, banner_at + 0x23C0);
  }
  if (length > 0xFFFFFFFFull) {
    messages_.Problem("cannot pack the tree: a ROM ends before 4 GiB (its offsets are 32-bit)");
    return false;
  }
  layout.set_size(length);
  layout.block(fat_block) = std::move(fat);
  Placed fat_part;
  fat_part.source = Placed::kBlock;
  fat_part.block = fat_block;
  fat_part.start = fat_at;
  fat_part.size = 8 * fat_count;
  layout.Add(fat_part);

  uint8_t* h = layout.block(header_block).data();
  bool footer = false;
  if (!EndsWithFooter(host_, top_.arm9, messages_, &footer)) return false;
  auto put = [&](uint32_t at, uint64_t value) {
    kLittle.Put32(h + at, static_cast<uint32_t>(value));
  };
  h[0x14] = Capacity(length);
  put(0x20, arm9);
  put(0x2C, arm9_size - (footer ? 12 : 0));
  put(0x30, arm7);
  put(0x3C, arm7_size);
  put(0x40, fnt_at);
  put(0x44, fnt_.size());
  put(0x48, fat_at);
  put(0x4C, 8 * fat_count);
  put(0x50, y9_at);
  put(0x54, y9.size());
  put(0x58, y7_at);
  put(0x5C, y7.size());
  put(0x68, banner_at);
  put(0x80, ntr_end);
  if (dsi) {
    bool footer_i = false;
    if (arm9i != 0 && !EndsWithFooter(host_, top_.arm9i, messages_, &footer_i)) return false;
    put(0x1C0, arm9i);
    put(0x1CC, arm9i == 0 ? 0 : host_.entries[top_.arm9i].size - (footer_i ? 12 : 0));
    put(0x1D0, arm7i);
    put(0x1DC, arm7i == 0 ? 0 : host_.entries[top_.arm7i].size);
    put(0x210, length);
  }
  const uint64_t secure_end = std::min(kSecureEnd, length);
  if (arm9 < secure_end) {
    std::vector<uint8_t> secure;
    if (!layout.Render(arm9, secure_end, &secure)) return false;
    kLittle.Put16(h + 0x6C, Crc16(secure.data(), secure.size()));
  }
  kLittle.Put16(h + 0x15C, Crc16(h + 0xC0, 0x9C));
  kLittle.Put16(h + 0x15E, Crc16(h, 0x15E));
  layout.Emit(plan);
  return true;
}

// ---- like an original ----

// A part of the original and where it goes.
struct Item {
  NdsPart part;  // as it was
  uint32_t host = HostTree::kNone;
  uint64_t size = 0;  // now
  uint64_t start = 0;
  bool moved = false;
  bool placed = false;
  bool footer = false;  // the ARM9's (or ARM9i's) footer still ends it
  bool changed() const { return moved || size != part.size; }
};

class LikeRom {
 public:
  LikeRom(const NdsModel& model, const PackJob& job)
      : m_(model), host_(job.host), messages_(job.messages), original_(job.original) {}
  bool Plan(sheaf::Plan* plan);

 private:
  bool Match();
  bool Items();
  void Orphans();
  uint8_t GapByte(const std::vector<Item*>& region);
  // Lays the items of a region out from their original places moved by
  // shift: a part stays where it fits, the others follow the last one
  // aligned to align. The end of the region's data.
  uint64_t Lay(std::vector<Item*>& region, uint64_t shift, std::vector<Item*> later,
               uint64_t align);
  uint8_t RestFill(uint64_t start, uint8_t otherwise);
  void Backdrop(const std::vector<Item*>& region, uint64_t copy_end, uint64_t shift, uint8_t gap,
                Layout& layout);
  Item* Find(NdsPart::Kind kind);

  const NdsModel& m_;
  HostTree& host_;
  Messages& messages_;
  Input* original_;
  std::vector<Item> items_;
  std::vector<uint8_t> header_, y9_, y7_;
};

Item* LikeRom::Find(NdsPart::Kind kind) {
  for (Item& item : items_) {
    if (item.part.kind == kind) return &item;
  }
  return nullptr;
}

bool LikeRom::Match() {
  std::unordered_map<std::string, bool> expected;  // path -> a folder
  for (const NdsPart& p : m_.parts) {
    if (!p.path.empty()) expected[p.path] = false;
  }
  for (const std::string& folder : m_.folders) expected[folder] = true;
  bool ok = true;
  for (uint32_t i = 1; i < host_.entries.size(); ++i) {
    const HostEntry& e = host_.entries[i];
    const auto it = expected.find(e.path);
    if (it == expected.end()) {
      // The empty files the usual tool writes for parts a ROM lacks.
      const bool empty_part = e.parent == 0 && !e.folder && e.size == 0 &&
                              (e.name == "y9.bin" || e.name == "y7.bin" || e.name == "arm9i.bin" ||
                               e.name == "arm7i.bin");
      if (empty_part) continue;
      messages_.Problem(CannotPack(e.path, std::string("the original has no such ") +
                                               (e.folder ? "folder" : "file") +
                                               ", and a ROM made like another holds exactly its "
                                               "files (their IDs are part of the game)"));
      ok = false;
    } else if (it->second != e.folder) {
      messages_.Problem(CannotPack(e.path, it->second ? "it is a file, a folder in the original"
                                                      : "it is a folder, a file in the original"));
      ok = false;
    }
  }
  for (const auto& [path, folder] : expected) {
    if (host_.Find(path) == HostTree::kNone) {
      messages_.Problem("cannot pack the tree: " + Quote(path) +
                        " is missing, and a ROM made like another holds exactly its files "
                        "(their IDs are part of the game)");
      ok = false;
    }
  }
  return ok;
}

bool LikeRom::Items() {
  for (const NdsPart& p : m_.parts) {
    Item item;
    item.part = p;
    item.size = p.size;
    if (!p.path.empty()) {
      item.host = host_.Find(p.path);
      item.size = host_.entries[item.host].size;
    }
    if (p.footer && !EndsWithFooter(host_, item.host, messages_, &item.footer)) return false;
    items_.push_back(item);
  }
  bool ok = true;
  auto same_size = [&](NdsPart::Kind kind, const char* what) {
    Item* item = Find(kind);
    if (item == nullptr || item->size == item->part.size) return;
    messages_.Problem(CannotPack(
        item->part.path, "it holds " + std::to_string(item->size) + " bytes, the original's " +
                             what + " " + std::to_string(item->part.size) +
                             " (a ROM made like another keeps the size of its " + what + ")"));
    ok = false;
  };
  same_size(NdsPart::kHeader, "header");
  same_size(NdsPart::kY9, "ARM9 overlay table");
  same_size(NdsPart::kY7, "ARM7 overlay table");
  if (!ok) return false;
  if (!ReadWhole(host_, Find(NdsPart::kHeader)->host, kMaxTables, messages_, &header_))
    return false;
  for (auto [kind, table, was] :
       {std::tuple{NdsPart::kY9, &y9_, &m_.y9}, std::tuple{NdsPart::kY7, &y7_, &m_.y7}}) {
    Item* item = Find(kind);
    if (item == nullptr) continue;
    if (!ReadWhole(host_, item->host, kMaxTables, messages_, table)) return false;
    for (size_t i = 0; i + nds::kOverlayEntry <= table->size(); i += nds::kOverlayEntry) {
      const uint32_t id = kLittle.U32(table->data() + i + 0x18);
      const uint32_t old_id = kLittle.U32(was->data() + i + 0x18);
      if (id == old_id) continue;
      messages_.Problem(CannotPack(
          item->part.path, "its entry " + std::to_string(i / nds::kOverlayEntry) +
                               " names file ID " + std::to_string(id) + ", the original's " +
                               std::to_string(old_id) + " (file IDs are part of the game)"));
      ok = false;
    }
  }
  return ok;
}

// FAT entries with data that no name or overlay uses stay where they are.
void LikeRom::Orphans() {
  std::vector<uint8_t> used(m_.fat.size(), 0);
  std::map<uint64_t, uint64_t> taken;
  for (const NdsPart& p : m_.parts) {
    if (p.kind == NdsPart::kOverlay || p.kind == NdsPart::kFile) used[p.fat] = 1;
    if (p.size > 0) taken[p.start] = p.start + p.size;
  }
  for (uint32_t id = 0; id < m_.fat.size(); ++id) {
    const auto [start, end] = m_.fat[id];
    if (used[id] || end <= start || end > m_.file_size) continue;
    auto next = taken.lower_bound(start);
    if ((next != taken.end() && next->first < end) ||
        (next != taken.begin() && std::prev(next)->second > start)) {
      continue;
    }
    taken[start] = end;
    Item item;
    item.part.kind = NdsPart::kOrphan;
    item.part.fat = id;
    item.part.start = start;
    item.part.size = end - start;
    item.size = item.part.size;
    items_.push_back(item);
  }
}

uint8_t LikeRom::GapByte(const std::vector<Item*>& region) {
  for (size_t i = 1, tried = 0; i < region.size() && tried < 64; ++i) {
    const uint64_t end = region[i - 1]->part.start + region[i - 1]->part.size;
    if (region[i]->part.start <= end) continue;
    ++tried;
    const Fill fill = OriginalFill(original_, end, region[i]->part.start, Fill{Fill::kText, 0});
    if (fill.kind == Fill::kByte && (fill.byte == 0x00 || fill.byte == 0xFF)) return fill.byte;
  }
  return 0x00;
}

uint8_t LikeRom::RestFill(uint64_t start, uint8_t otherwise) {
  const Fill fill = OriginalFill(original_, start, m_.file_size, Fill{Fill::kText, 0});
  return fill.kind == Fill::kByte ? fill.byte : otherwise;
}

uint64_t LikeRom::Lay(std::vector<Item*>& region, uint64_t shift, std::vector<Item*> later,
                      uint64_t align) {
  std::vector<Item*> moved;
  uint64_t end = 0;
  for (size_t i = 0; i < region.size(); ++i) {
    Item& item = *region[i];
    const bool last = i + 1 == region.size();
    const uint64_t room = last ? kUnbounded : region[i + 1]->part.start - item.part.start;
    if (item.size == item.part.size || last || item.size <= room) {
      item.start = item.part.start + shift;
      item.moved = shift != 0;
      item.placed = true;
      if (item.size > 0) end = std::max(end, item.start + item.size);
    } else {
      moved.push_back(&item);
    }
  }
  moved.insert(moved.end(), later.begin(), later.end());
  for (Item* item : moved) {
    item->start = AlignUp(end, align);
    item->moved = item->start != item->part.start;
    item->placed = true;
    end = item->start + item->size;
  }
  return end;
}

// The gaps of a region: the original's bytes up to copy_end (moved by
// shift), but the gap byte in what a part that shrank left.
void LikeRom::Backdrop(const std::vector<Item*>& region, uint64_t copy_end, uint64_t shift,
                       uint8_t gap, Layout& layout) {
  if (region.empty()) return;
  const uint64_t first = region.front()->part.start + shift;
  layout.Background(first, true, first - shift, gap);
  for (const Item* item : region) {
    if (item->moved || item->size >= item->part.size) continue;
    const uint64_t end = item->start + item->size, old_end = item->start + item->part.size;
    if (end >= copy_end) continue;
    layout.Background(end, false, 0, gap);
    if (old_end < copy_end) layout.Background(old_end, true, old_end - shift, gap);
  }
  layout.Background(copy_end, false, 0, gap);
}

bool LikeRom::Plan(sheaf::Plan* plan) {
  if (!Match() || !Items()) return false;
  Orphans();
  const bool dsi = m_.dsi;
  // The DSi area: ARM9i, ARM7i and what lies above them.
  uint64_t dsi_start = kUnbounded;
  uint64_t dsi_align = 1;
  for (const Item& item : items_) {
    if (item.part.kind == NdsPart::kArm9i || item.part.kind == NdsPart::kArm7i) {
      dsi_start = std::min(dsi_start, item.part.start);
      dsi_align = std::max(dsi_align, LowBit(item.part.start, 0x80000));
    }
  }
  uint64_t file_align = 0x200;
  for (const Item& item : items_) {
    if ((item.part.kind == NdsPart::kOverlay || item.part.kind == NdsPart::kFile) &&
        item.part.size > 0) {
      file_align = std::min(file_align, LowBit(item.part.start, 0x200));
    }
  }
  std::vector<Item*> low, high, grown_from_empty;
  for (Item& item : items_) {
    if (item.part.size == 0) {
      if (item.size > 0) grown_from_empty.push_back(&item);
      continue;
    }
    (item.part.start >= dsi_start ? high : low).push_back(&item);
  }
  auto by_start = [](const Item* a, const Item* b) { return a->part.start < b->part.start; };
  std::sort(low.begin(), low.end(), by_start);
  std::sort(high.begin(), high.end(), by_start);
  auto end_of = [](const std::vector<Item*>& region) {
    uint64_t end = 0;
    for (const Item* item : region) end = std::max(end, item->part.start + item->part.size);
    return end;
  };
  const uint64_t low_old = end_of(low), high_old = end_of(high);
  const uint64_t low_new = Lay(low, 0, grown_from_empty, file_align);
  bool changed = false;
  for (const Item& item : items_) changed = changed || item.changed();

  Layout layout(host_, original_, messages_);
  const uint8_t* was = m_.header.data();
  const uint32_t old80 = kLittle.U32(was + 0x80);
  const uint8_t old_capacity = was[0x14];
  uint64_t length = m_.file_size, new80 = old80, new210 = dsi ? kLittle.U32(was + 0x210) : 0;
  bool outgrown = false;
  uint8_t capacity = old_capacity;
  if (!changed) {
    for (Item* item : high) {
      item->start = item->part.start;
      item->placed = true;
    }
    layout.Background(0, true, 0, 0);
  } else {
    const uint8_t gap = GapByte(low);
    const uint64_t low_limit = high.empty() ? m_.file_size : dsi_start;
    uint8_t ac[4] = {};
    const bool has_ac = old80 >= low_old && uint64_t{old80} + kAcSize <= low_limit &&
                        original_->Read(old80, ac, 4) && memcmp(ac, "ac\x01\x00", 4) == 0;
    new80 = old80 % 4 == 0 ? AlignUp(low_new, 4) : low_new;
    const uint64_t content_old = has_ac ? old80 + kAcSize : low_old;
    const uint64_t content_new = has_ac ? new80 + kAcSize : low_new;
    if (has_ac) {
      Placed block;
      block.source = Placed::kOriginal;
      block.start = new80;
      block.size = kAcSize;
      block.from = old80;
      layout.Add(block);
    }
    Backdrop(low, std::min(low_old, low_new), 0, gap, layout);
    const uint64_t old_chip = old_capacity < 32 ? uint64_t{128} << (10 + old_capacity) : kUnbounded;
    const uint64_t rest_start = high.empty() ? content_old : high_old;
    const bool full =
        m_.file_size == old_chip && rest_start < m_.file_size &&
        OriginalFill(original_, rest_start, m_.file_size, Fill{Fill::kText, 0}).kind == Fill::kByte;
    const uint8_t rest = RestFill(rest_start, gap);
    uint64_t data_old = content_old, data_new = content_new;
    if (!high.empty()) {
      const uint64_t shift =
          content_new > dsi_start ? AlignUp(content_new - dsi_start, dsi_align) : 0;
      layout.Background(content_new, false, 0, gap);
      const uint64_t high_new = Lay(high, shift, {}, 0x200);
      Backdrop(high, std::min(high_old + shift, high_new), shift, gap, layout);
      data_old = high_old;
      data_new = high_new;
    }
    length = ApplyTrail(DetectTrail(data_old, m_.file_size), data_new);
    new210 = Derive(true, new210,
                    {{m_.file_size, length},
                     {data_old, data_new},
                     {AlignUp(data_old, 0x200), AlignUp(data_new, 0x200)}});
    const uint64_t used = dsi ? std::max<uint64_t>(new210, data_new) : content_new;
    outgrown = used > old_chip;
    if (outgrown) capacity = Capacity(used);
    if (full) length = std::max(data_new, uint64_t{128} << (10 + capacity));
    layout.Background(data_new, false, 0, rest);
  }
  layout.set_size(length);
  if (length > 0xFFFFFFFFull) {
    messages_.Problem("cannot pack the tree: a ROM ends before 4 GiB (its offsets are 32-bit)");
    return false;
  }

  // The parts' bytes; the FAT and the header as they now are.
  std::vector<uint8_t> fat(8 * m_.fat.size());
  for (size_t i = 0; i < m_.fat.size(); ++i) {
    kLittle.Put32(fat.data() + 8 * i, m_.fat[i].first);
    kLittle.Put32(fat.data() + 8 * i + 4, m_.fat[i].second);
  }
  uint8_t* h = header_.data();
  auto put = [&](uint32_t at, uint64_t value) {
    kLittle.Put32(h + at, static_cast<uint32_t>(value));
  };
  uint32_t header_block = 0, fat_block = 0;
  // The header's offset (and size) field of each part that has them.
  static const struct {
    NdsPart::Kind kind;
    uint32_t start, size;
  } kFields[] = {{NdsPart::kArm9, 0x20, 0x2C},   {NdsPart::kArm7, 0x30, 0x3C},
                 {NdsPart::kFnt, 0x40, 0},       {NdsPart::kFat, 0x48, 0},
                 {NdsPart::kY9, 0x50, 0},        {NdsPart::kY7, 0x58, 0},
                 {NdsPart::kBanner, 0x68, 0},    {NdsPart::kArm9i, 0x1C0, 0x1CC},
                 {NdsPart::kArm7i, 0x1D0, 0x1DC}};
  for (Item& item : items_) {
    if (!item.placed) item.start = item.part.start;  // an empty file that stays empty
    Placed p;
    p.start = item.start;
    p.size = item.size;
    p.host = item.host;
    const NdsPart& was_part = item.part;
    for (const auto& field : kFields) {
      if (field.kind != was_part.kind || !item.changed()) continue;
      put(field.start, item.start);
      // The ARM9's (ARM9i's) size leaves out the footer while it ends the file.
      if (field.size != 0) put(field.size, item.size - (item.footer ? 12 : 0));
    }
    switch (was_part.kind) {
      case NdsPart::kHeader:
        p.source = Placed::kBlock;
        header_block = p.block = layout.Block({});
        break;
      case NdsPart::kFnt:
        p.source = Placed::kOriginal;
        p.from = was_part.start;
        break;
      case NdsPart::kFat:
        p.source = Placed::kBlock;
        fat_block = p.block = layout.Block({});
        break;
      case NdsPart::kBanner: {
        std::vector<uint8_t> banner, old(was_part.size);
        if (!ReadBanner(host_, item.host, messages_, &banner) ||
            !original_->Read(was_part.start, old.data(), old.size())) {
          return false;
        }
        if (banner != old) {
          SetBannerCrcs(banner);
          p.source = Placed::kBlock;
          p.block = layout.Block(std::move(banner));
        }
        break;
      }
      case NdsPart::kOrphan:
        p.source = Placed::kOriginal;
        p.from = was_part.start;
        [[fallthrough]];
      case NdsPart::kOverlay:
      case NdsPart::kFile:
        if (item.changed()) {
          kLittle.Put32(fat.data() + 8 * was_part.fat, static_cast<uint32_t>(item.start));
          kLittle.Put32(fat.data() + 8 * was_part.fat + 4,
                        static_cast<uint32_t>(item.start + item.size));
        }
        break;
      default:
        break;
    }
    layout.Add(p);
  }
  layout.block(fat_block) = std::move(fat);
  if (changed) {
    put(0x80, new80);
    if (dsi) put(0x210, new210);
  }
  if (outgrown) h[0x14] = capacity;

  // The secure area's CRC over [0x20] to 0x7FFF, when those bytes changed.
  const uint64_t old20 = kLittle.U32(was + 0x20), new20 = kLittle.U32(h + 0x20);
  const uint64_t old_end = std::min(kSecureEnd, m_.file_size),
                 new_end = std::min(kSecureEnd, length);
  std::vector<uint8_t> old_secure, new_secure;
  if (old20 < old_end) {
    old_secure.resize(old_end - old20);
    if (!original_->Read(old20, old_secure.data(), old_secure.size())) return false;
  }
  if (new20 < new_end && !layout.Render(new20, new_end, &new_secure)) return false;
  if ((old20 != new20 || old_secure != new_secure) && !(old_secure.empty() && new_secure.empty())) {
    const uint16_t stored = kLittle.U16(h + 0x6C);
    if (!old_secure.empty() && stored == Crc16(old_secure.data(), old_secure.size()) &&
        !new_secure.empty()) {
      kLittle.Put16(h + 0x6C, Crc16(new_secure.data(), new_secure.size()));
    } else {
      messages_.Warning("the secure area CRC (0x06C) stays " + nds::Hex4(stored) +
                        " although bytes " + Hex(new20) + "-" + Hex(new_end - 1) +
                        " changed: it is not their plain CRC (a dump keeps the CRC of the "
                        "encrypted bytes, which sheaf cannot make)");
    }
  }
  if (memcmp(h, was, 0x15E) != 0) kLittle.Put16(h + 0x15E, Crc16(h, 0x15E));
  if (dsi && memcmp(h, was, 0xE00) != 0) {
    messages_.Warning(
        "the DSi header's RSA signature no longer matches bytes 0x000-0xDFF (it cannot be made "
        "again without the console maker's key)");
  }
  layout.block(header_block) = std::move(header_);
  layout.Emit(plan);
  return true;
}

}  // namespace

bool PlanNdsRom(const Model* original, bool, const PackJob& job, Plan* plan) {
  if (original == nullptr) return DefaultRom(job).Plan(plan);
  return LikeRom(static_cast<const NdsModel&>(*original), job).Plan(plan);
}

}  // namespace sheaf
