#include "nds.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "bytes.h"

namespace sheaf {

namespace {

constexpr uint64_t kMaxTables = 16 << 20;

struct Crc16Table {
  uint16_t value[256];
  constexpr Crc16Table() : value() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? (c >> 1) ^ 0xA001 : c >> 1;
      value[i] = static_cast<uint16_t>(c);
    }
  }
};
constexpr Crc16Table kCrc16;

std::string Hex3(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%03X", value);
  return text;
}

bool EndsWith(const std::string& name, const char* suffix) {
  const size_t n = strlen(suffix);
  if (name.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = name[name.size() - n + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

std::string Range(uint64_t start, uint64_t size) { return Hex(start) + " to " + Hex(start + size); }

// A part not yet checked against the others.
struct Candidate {
  NdsPart part;
  uint32_t node = Tree::kNone;  // its entry in the tree, when it is extracted
  std::string label;            // a table's name in messages
  bool usable = true;           // false: reported, holds its file ID only
};

class Reader {
 public:
  Reader(Input& input, Messages& messages, NdsModel* model, Tree* tree)
      : input_(input), messages_(messages), m_(*model), tree_(*tree) {}
  bool Run();

 private:
  uint32_t U32(uint32_t at) const { return kLittle.U32(m_.header.data() + at); }
  // Whether a part lies in the file (an empty one may point anywhere).
  bool Fits(uint64_t start, uint64_t size) const {
    return size == 0 || start + size <= m_.file_size;
  }
  std::string PastTheEnd(uint64_t start, uint64_t size) const {
    return "its data (" + Range(start, size) + ") runs past the end of the " +
           std::to_string(m_.file_size) + "-byte ROM";
  }
  bool HasFooter(uint64_t end);
  void AddPart(NdsPart::Kind kind, uint64_t start, uint64_t size, const std::string& path,
               bool footer = false);
  // A table at the header's (offset, size) pair at `at`; false (reported)
  // when it does not lie in the file.
  bool AddTable(NdsPart::Kind kind, uint32_t at, const std::string& label, uint32_t* start,
                uint32_t* size);
  void ReadOverlays(const std::vector<uint8_t>& table, const char* table_name, uint32_t folder);
  void ReadNames(const std::vector<uint8_t>& fnt, uint32_t data_node);
  // A file (or overlay) of FAT entry id at path, named name in the
  // tree's folder parent; why: what is wrong with its name, if anything.
  void Claim(uint32_t id, const std::string& path, const std::string& shown, uint32_t parent,
             const std::string& name, bool overlay);
  void Settle();

  Input& input_;
  Messages& messages_;
  NdsModel& m_;
  Tree& tree_;
  std::vector<Candidate> fixed_;   // the header's parts, in order
  std::vector<Candidate> files_;   // overlays and named files, in the order they came
  std::vector<uint32_t> claimed_;  // per FAT entry: 1 + its claimant's index in files_, or 0
};

bool Reader::HasFooter(uint64_t end) {
  uint8_t word[4];
  if (!Fits(end, 12) || !input_.Read(end, word, 4)) return false;
  return kLittle.U32(word) == nds::kFooterMagic;
}

void Reader::AddPart(NdsPart::Kind kind, uint64_t start, uint64_t size, const std::string& path,
                     bool footer) {
  if (!Fits(start, size)) {
    messages_.Problem("skipping " + Quote(path) + ": " + PastTheEnd(start, size));
    return;
  }
  Candidate c;
  c.part.kind = kind;
  c.part.start = start;
  c.part.size = size;
  c.part.path = path;
  c.part.footer = footer;
  if (tree_.AddChild(0, path, false, &c.node) != Tree::Added::kNew) return;
  fixed_.push_back(std::move(c));
}

bool Reader::AddTable(NdsPart::Kind kind, uint32_t at, const std::string& label, uint32_t* start,
                      uint32_t* size) {
  *start = U32(at);
  *size = U32(at + 4);
  if (*size == 0) return true;
  if (!Fits(*start, *size)) {
    messages_.Problem("damaged ROM: " + label + " (" + Range(*start, *size) +
                      ") runs past the end of the " + std::to_string(m_.file_size) + "-byte ROM");
    *size = 0;
    return false;
  }
  Candidate c;
  c.part.kind = kind;
  c.part.start = *start;
  c.part.size = *size;
  c.label = label;
  fixed_.push_back(std::move(c));
  return true;
}

void Reader::Claim(uint32_t id, const std::string& path, const std::string& shown, uint32_t parent,
                   const std::string& name, bool overlay) {
  std::string why;
  if (id >= m_.fat.size()) {
    why = "its file ID " + std::to_string(id) + " lies past the FAT's " +
          std::to_string(m_.fat.size()) + " entries";
  } else if (claimed_[id] != 0) {
    why = "file ID " + std::to_string(id) + " is used before, by " +
          Quote(files_[claimed_[id] - 1].part.path);
  } else {
    const auto [start, end] = m_.fat[id];
    if (start > end) {
      why = "its data (" + Hex(start) + " to " + Hex(end) + ") ends before it begins";
    } else if (!Fits(start, end - start)) {
      why = PastTheEnd(start, end - start);
    }
    Candidate c;
    c.part.kind = overlay ? NdsPart::kOverlay : NdsPart::kFile;
    c.part.fat = id;
    c.part.start = start;
    c.part.size = start > end ? 0 : end - start;
    c.part.path = path;
    c.usable = why.empty();
    files_.push_back(std::move(c));
    claimed_[id] = static_cast<uint32_t>(files_.size());
  }
  if (why.empty()) {
    why = Tree::Refusal(tree_.AddChild(parent, name, false, &files_.back().node));
    if (!why.empty()) files_.back().usable = false;
  }
  if (!why.empty()) messages_.Problem("skipping " + shown + ": " + why);
}

void Reader::ReadOverlays(const std::vector<uint8_t>& table, const char* table_name,
                          uint32_t folder) {
  if (table.size() % nds::kOverlayEntry != 0) {
    messages_.Problem(std::string("damaged ROM: ") + table_name + " holds " +
                      std::to_string(table.size()) +
                      " bytes, not a multiple of its 32-byte entries");
  }
  for (size_t i = 0; i + nds::kOverlayEntry <= table.size(); i += nds::kOverlayEntry) {
    const uint32_t id = kLittle.U32(table.data() + i + 0x18);
    const std::string path = nds::OverlayPath(id);
    Claim(id, path,
          Quote(path) + " (" + table_name + "'s entry " + std::to_string(i / nds::kOverlayEntry) +
              ")",
          folder, path.substr(strlen("overlay/")), true);
  }
}

void Reader::ReadNames(const std::vector<uint8_t>& t, uint32_t data_node) {
  uint32_t count = t.size() >= 8 ? kLittle.U16(t.data() + 6) : 0;
  if (count == 0 || uint64_t{count} * 8 > t.size() || count > nds::kMaxFolders) {
    messages_.Problem("damaged ROM name table: its root gives " + std::to_string(count) +
                      " folders, which its " + std::to_string(t.size()) +
                      " bytes cannot hold; no file has a name");
    return;
  }
  std::vector<uint8_t> reached(count, 0);
  struct Work {
    uint32_t folder;
    uint32_t node;
    std::string path;
  };
  std::vector<Work> stack{{0, data_node, "data"}};
  reached[0] = 1;
  // Sub-tables may share bytes; the names read in all are bounded as the
  // tree is.
  uint64_t records = 0;
  while (!stack.empty()) {
    const Work w = std::move(stack.back());
    stack.pop_back();
    const uint8_t* entry = t.data() + 8 * w.folder;
    uint64_t at = kLittle.U32(entry);
    uint32_t id = kLittle.U16(entry + 4);
    const std::string label = "the folder " + Quote(w.path);
    for (;;) {
      if (at >= t.size()) {
        messages_.Problem("damaged ROM name table: the names of " + label +
                          " run past the end of the table");
        break;
      }
      const uint8_t type = t[at++];
      if (type == 0) break;
      if (++records > Tree::kMaxNodes) {
        messages_.Problem("damaged ROM name table: it gives more than " +
                          std::to_string(Tree::kMaxNodes) + " names; the rest is skipped");
        return;
      }
      if (type == 0x80) {
        messages_.Problem("damaged ROM name table: the names of " + label +
                          " hold the reserved type 0x80; the rest of them is skipped");
        break;
      }
      const bool folder = type > 0x80;
      const uint32_t length = type & 0x7F;
      if (at + length + (folder ? 2 : 0) > t.size()) {
        messages_.Problem("damaged ROM name table: the names of " + label +
                          " run past the end of the table");
        break;
      }
      const std::string name(reinterpret_cast<const char*>(t.data() + at), length);
      at += length;
      const std::string path = w.path + "/" + name;
      const std::string shown = Quote(path);
      const std::string bad = Tree::CheckName(name);
      if (!folder) {
        const uint32_t file = id++;
        if (!bad.empty()) {
          messages_.Problem("skipping " + shown + ": " + bad);
        } else {
          Claim(file, path, shown, w.node, name, false);
        }
        continue;
      }
      const uint32_t field = kLittle.U16(t.data() + at);
      at += 2;
      const uint32_t target = field - nds::kFolderBase;
      std::string why = bad;
      if (why.empty() && (field < nds::kFolderBase || target >= count)) {
        why = "it names folder " + Hex(field) + ", but the folders are 0xF000 to " +
              Hex(nds::kFolderBase + count - 1);
      } else if (why.empty() && reached[target]) {
        why = "it names folder " + Hex(field) +
              ", which is reached before (a cycle, or two ways to one folder)";
      }
      uint32_t node = 0;
      if (why.empty()) why = Tree::Refusal(tree_.AddChild(w.node, name, true, &node));
      if (!why.empty()) {
        messages_.Problem("skipping " + shown + ": " + why);
        continue;
      }
      reached[target] = 1;
      m_.folders.push_back(path);
      stack.push_back({target, node, path});
    }
  }
}

// Each part's data against the parts before it: of two that overlap, the
// later one is skipped (a table is only reported: it is still read).
void Reader::Settle() {
  std::vector<Candidate*> order;
  for (Candidate& c : fixed_) order.push_back(&c);
  std::vector<Candidate*> files;
  for (Candidate& c : files_) {
    if (c.usable) files.push_back(&c);
  }
  std::sort(files.begin(), files.end(),
            [](const Candidate* a, const Candidate* b) { return a->part.fat < b->part.fat; });
  order.insert(order.end(), files.begin(), files.end());
  std::map<uint64_t, std::pair<uint64_t, std::string>> taken;  // start -> end, whose
  for (Candidate* c : order) {
    const NdsPart& p = c->part;
    const bool table = c->node == Tree::kNone;
    const std::string own = table ? c->label : "that of " + Quote(p.path);
    if (p.size > 0) {
      auto next = taken.upper_bound(p.start);
      const std::string* other = nullptr;
      if (next != taken.begin() && std::prev(next)->second.first > p.start) {
        other = &std::prev(next)->second.second;
      } else if (next != taken.end() && next->first < p.start + p.size) {
        other = &next->second.second;
      }
      if (other != nullptr && table) {
        messages_.Problem("damaged ROM: " + c->label + " (" + Range(p.start, p.size) +
                          ") overlaps " + *other);
      } else if (other != nullptr) {
        messages_.Problem("skipping " + Quote(p.path) + ": its data (" + Range(p.start, p.size) +
                          ") overlaps " + *other);
        tree_.node(c->node).usable = false;
        continue;
      } else {
        taken[p.start] = {p.start + p.size, own};
      }
    }
    if (!table) {
      tree_.node(c->node).offset = p.start;
      tree_.node(c->node).size = p.size;
    }
    m_.parts.push_back(p);
  }
}

bool Reader::Run() {
  m_.file_size = input_.size();
  if (m_.file_size < nds::kMinHeader) {
    messages_.Problem("truncated: " + std::to_string(m_.file_size) +
                      " bytes, too short for a DS ROM's header of 0x200 bytes");
    return false;
  }
  m_.header.resize(nds::kMinHeader);
  if (!input_.Read(0, m_.header.data(), nds::kMinHeader)) return false;
  m_.dsi = nds::IsDsi(m_.header.data());
  const uint32_t least = m_.dsi ? nds::kMinDsiHeader : nds::kMinHeader;
  const char* kind = m_.dsi ? "a DSi ROM's header" : "a DS ROM's header";
  if (m_.file_size < least) {
    messages_.Problem("truncated: " + std::to_string(m_.file_size) + " bytes, too short for " +
                      kind + " of " + Hex(least) + " bytes");
    return false;
  }
  const uint32_t header_size = U32(0x84);
  if (header_size < least || header_size > m_.file_size) {
    messages_.Problem("damaged ROM header: its size (0x84) is " + Hex(header_size) +
                      (header_size < least ? ", below the " + Hex(least) + " bytes of " + kind
                                           : ", past the end of the " +
                                                 std::to_string(m_.file_size) + "-byte ROM"));
    return false;
  }
  if (header_size > kMaxTables) {
    messages_.Problem("the tables take more than the 16 MiB that sheaf reads");
    return false;
  }
  m_.header.resize(header_size);
  if (!input_.Read(0, m_.header.data(), header_size)) return false;

  AddPart(NdsPart::kHeader, 0, header_size, "header.bin");
  const uint64_t arm9 = U32(0x20), arm9_size = U32(0x2C);
  const bool arm9_footer = HasFooter(arm9 + arm9_size);
  AddPart(NdsPart::kArm9, arm9, arm9_size + (arm9_footer ? 12 : 0), "arm9.bin", arm9_footer);
  AddPart(NdsPart::kArm7, U32(0x30), U32(0x3C), "arm7.bin");
  const uint32_t y9_size = U32(0x54), y7_size = U32(0x5C);
  if (y9_size > 0) AddPart(NdsPart::kY9, U32(0x50), y9_size, "y9.bin");
  if (y7_size > 0) AddPart(NdsPart::kY7, U32(0x58), y7_size, "y7.bin");
  uint32_t fnt = 0, fnt_size = 0, fat = 0, fat_size = 0;
  const bool fnt_read = AddTable(NdsPart::kFnt, 0x40, "the name table (FNT)", &fnt, &fnt_size);
  AddTable(NdsPart::kFat, 0x48, "the allocation table (FAT)", &fat, &fat_size);
  if (const uint32_t banner = U32(0x68); banner != 0) {
    uint8_t version[2] = {0, 0};
    if (Fits(banner, 2) && !input_.Read(banner, version, 2)) return false;
    m_.banner_version = kLittle.U16(version);
    AddPart(NdsPart::kBanner, banner, nds::BannerSize(m_.banner_version), "banner.bin");
  }
  if (m_.dsi) {
    if (const uint64_t size = U32(0x1CC); size != 0) {
      const uint64_t start = U32(0x1C0);
      const bool footer = HasFooter(start + size);
      AddPart(NdsPart::kArm9i, start, size + (footer ? 12 : 0), "arm9i.bin", footer);
    }
    if (const uint32_t size = U32(0x1DC); size != 0) {
      AddPart(NdsPart::kArm7i, U32(0x1D0), size, "arm7i.bin");
    }
  }

  // The tables, read whole: the overlay tables as they are extracted.
  std::vector<uint8_t> y9, y7, names, allocation;
  for (const Candidate& c : fixed_) {
    if (c.part.kind == NdsPart::kY9) y9.resize(c.part.size);
    if (c.part.kind == NdsPart::kY7) y7.resize(c.part.size);
  }
  const uint64_t tables = uint64_t{header_size} + fnt_size + fat_size + y9.size() + y7.size();
  if (tables > kMaxTables) {
    messages_.Problem("the tables take " + std::to_string(tables) +
                      " bytes, more than the 16 MiB that sheaf reads");
    return false;
  }
  names.resize(fnt_size);
  allocation.resize(fat_size);
  if (!input_.Read(fnt, names.data(), names.size()) ||
      !input_.Read(fat, allocation.data(), allocation.size()) ||
      !input_.Read(U32(0x50), y9.data(), y9.size()) ||
      !input_.Read(U32(0x58), y7.data(), y7.size())) {
    return false;
  }
  if (fat_size % 8 != 0) {
    messages_.Problem("damaged ROM: the allocation table (FAT) holds " + std::to_string(fat_size) +
                      " bytes, not a multiple of its 8-byte entries");
  }
  m_.fat.resize(fat_size / 8);
  for (size_t i = 0; i < m_.fat.size(); ++i) {
    m_.fat[i] = {kLittle.U32(allocation.data() + 8 * i),
                 kLittle.U32(allocation.data() + 8 * i + 4)};
  }
  claimed_.assign(m_.fat.size(), 0);

  if (y9.size() + y7.size() >= nds::kOverlayEntry) {
    uint32_t folder = 0;
    tree_.AddChild(0, "overlay", true, &folder);
    m_.folders.push_back("overlay");
    ReadOverlays(y9, "y9.bin", folder);
    ReadOverlays(y7, "y7.bin", folder);
  }
  if (fnt_size > 0 && fnt_read) {
    uint32_t data = 0;
    tree_.AddChild(0, "data", true, &data);
    m_.folders.push_back("data");
    ReadNames(names, data);
  }
  m_.y9 = std::move(y9);
  m_.y7 = std::move(y7);
  Settle();
  return true;
}

}  // namespace

uint16_t Crc16(const uint8_t* data, size_t size, uint16_t crc) {
  for (size_t i = 0; i < size; ++i)
    crc = static_cast<uint16_t>((crc >> 8) ^ kCrc16.value[(crc ^ data[i]) & 0xFF]);
  return crc;
}

namespace nds {

uint32_t BannerSize(uint16_t version) {
  switch (version) {
    case 2:
      return 0x940;
    case 3:
      return 0xA40;
    case 0x103:
      return 0x23C0;
    default:
      return 0x840;
  }
}

std::vector<BannerCrc> BannerCrcs(uint16_t version) {
  std::vector<BannerCrc> crcs;
  if (version != 1 && version != 2 && version != 3 && version != 0x103) return crcs;
  crcs.push_back({0x02, 0x20, 0x840});
  if (version >= 2) crcs.push_back({0x04, 0x20, 0x940});
  if (version >= 3) crcs.push_back({0x06, 0x20, 0xA40});
  if (version == 0x103) crcs.push_back({0x08, 0x1240, 0x23C0});
  return crcs;
}

std::string Hex4(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

std::string OverlayPath(uint32_t id) {
  char text[40];
  snprintf(text, sizeof text, "overlay/overlay_%04u.bin", id);
  return text;
}

}  // namespace nds

bool IsNdsRom(const uint8_t* head, size_t size, uint64_t file_size, const std::string& name) {
  if (EndsWith(name, ".nds") || EndsWith(name, ".srl") || EndsWith(name, ".dsi")) return true;
  if (file_size < nds::kMinHeader || size < 0x160) return false;
  return Crc16(head, 0x15E) == kLittle.U16(head + 0x15E) ||
         Crc16(head + 0xC0, 0x9C) == kLittle.U16(head + 0x15C);
}

std::unique_ptr<Model> ReadNdsRom(Input& input, Messages& messages, Tree* tree, bool* ok) {
  auto model = std::make_unique<NdsModel>();
  Reader reader(input, messages, model.get(), tree);
  *ok = reader.Run();
  return model;
}

void VerifyNdsRom(const Model& model, Input& input, Messages& messages) {
  const auto& m = static_cast<const NdsModel&>(model);
  const uint8_t* h = m.header.data();
  auto check = [&](const std::string& what, uint32_t stored, uint32_t computed,
                   const std::string& over) {
    if (stored != computed) {
      messages.Warning(what + " is " + nds::Hex4(stored) + ", but " + over + " give " +
                       nds::Hex4(computed));
    }
  };
  check("the header CRC (0x15E)", kLittle.U16(h + 0x15E), Crc16(h, 0x15E),
        "bytes " + Hex3(0) + "-" + Hex3(0x15D));
  check("the logo CRC (0x15C)", kLittle.U16(h + 0x15C), Crc16(h + 0xC0, 0x9C),
        "bytes " + Hex3(0xC0) + "-" + Hex3(0x15B));
  for (const NdsPart& p : m.parts) {
    if (p.kind != NdsPart::kBanner) continue;
    std::vector<uint8_t> banner(p.size);
    if (!input.Read(p.start, banner.data(), banner.size())) return;
    for (const nds::BannerCrc& crc : nds::BannerCrcs(m.banner_version)) {
      check("the banner's CRC over " + Hex(crc.start) + "-" + Hex(crc.end - 1),
            kLittle.U16(banner.data() + crc.at),
            Crc16(banner.data() + crc.start, crc.end - crc.start), "those bytes");
    }
  }
}

}  // namespace sheaf
