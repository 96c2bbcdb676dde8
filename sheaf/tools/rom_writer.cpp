#include "rom_writer.h"

#include <algorithm>
#include <map>
#include <random>
#include <utility>

namespace romwriter {

namespace {

void Put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Align(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

// Made-up code and data: the same for the same size and seed.
Bytes Noise(size_t size, uint32_t seed) {
  Bytes b(size);
  std::mt19937 random(seed);
  for (uint8_t& c : b) c = static_cast<uint8_t>(random() >> 24);
  return b;
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// The folders of data/, each with its files and folders in the order the
// tool chain sorts them.
struct Folder {
  std::string name;
  std::vector<std::pair<std::string, size_t>> files;  // name, index in content.files
  std::vector<size_t> folders;                        // indexes in the tree
  uint32_t id = 0;
  uint32_t first_file = 0;
  size_t parent = 0;
};

struct NameTable {
  Bytes bytes;
  std::vector<uint32_t> file_ids;  // of each content file
  uint32_t file_count = 0;
};

NameTable BuildNames(const Content& c, Chain chain, uint32_t first_id) {
  std::vector<Folder> tree(1);
  auto folder_of = [&](const std::string& path) {
    size_t at = 0, from = 0;
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', from)) {
      const std::string name = path.substr(from, slash - from);
      from = slash + 1;
      size_t next = 0;
      for (const size_t child : tree[at].folders) {
        if (tree[child].name == name) next = child;
      }
      if (next == 0) {
        Folder f;
        f.name = name;
        f.parent = at;
        tree.push_back(f);
        next = tree.size() - 1;
        tree[at].folders.push_back(next);
      }
      at = next;
    }
    return std::pair{at, path.substr(from)};
  };
  for (size_t i = 0; i < c.files.size(); ++i) {
    const auto [at, name] = folder_of(c.files[i].path);
    tree[at].files.push_back({name, i});
  }
  for (const std::string& empty : c.empty_folders) folder_of(empty + "/x");
  auto key = [&](const std::string& name) { return chain == Chain::kSdk ? Lower(name) : name; };
  for (Folder& f : tree) {
    std::sort(f.files.begin(), f.files.end(),
              [&](const auto& a, const auto& b) { return key(a.first) < key(b.first); });
    std::sort(f.folders.begin(), f.folders.end(),
              [&](size_t a, size_t b) { return key(tree[a].name) < key(tree[b].name); });
  }
  // Visiting order: depth first, each folder's folders in sorted order.
  std::vector<size_t> visit;
  std::vector<size_t> stack{0};
  while (!stack.empty()) {
    const size_t f = stack.back();
    stack.pop_back();
    visit.push_back(f);
    for (auto it = tree[f].folders.rbegin(); it != tree[f].folders.rend(); ++it) {
      stack.push_back(*it);
    }
  }
  // Folder IDs: the SDK numbers them in visiting order; ndstool as the
  // host's directory listing gave them (here: depth first, backwards).
  const bool numbered_in_order = chain == Chain::kSdk || chain == Chain::kKit;
  if (numbered_in_order) {
    for (size_t i = 0; i < visit.size(); ++i) tree[visit[i]].id = static_cast<uint32_t>(i);
  } else {
    uint32_t next = 0;
    stack = {0};
    while (!stack.empty()) {
      const size_t f = stack.back();
      stack.pop_back();
      tree[f].id = next++;
      for (const size_t child : tree[f].folders) stack.push_back(child);
    }
  }
  NameTable t;
  t.file_ids.assign(c.files.size(), 0);
  uint32_t id = first_id;
  for (const size_t f : visit) {
    tree[f].first_file = id;
    for (const auto& [name, index] : tree[f].files) t.file_ids[index] = id++;
  }
  t.file_count = id - first_id;
  // Sub-tables: the SDK's by folder ID, ndstool's in visiting order.
  std::vector<size_t> order = visit;
  if (numbered_in_order) {
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return tree[a].id < tree[b].id; });
  }
  t.bytes.assign(8 * tree.size(), 0);
  for (const size_t f : order) {
    const Folder& folder = tree[f];
    const size_t entry = 8 * folder.id;
    Put32(t.bytes, entry, static_cast<uint32_t>(t.bytes.size()));
    Put16(t.bytes, entry + 4, folder.first_file);
    Put16(t.bytes, entry + 6,
          f == 0 ? static_cast<uint32_t>(tree.size()) : 0xF000 + tree[folder.parent].id);
    for (const auto& [name, index] : folder.files) {
      t.bytes.push_back(static_cast<uint8_t>(name.size()));
      t.bytes.insert(t.bytes.end(), name.begin(), name.end());
    }
    for (const size_t child : folder.folders) {
      t.bytes.push_back(static_cast<uint8_t>(0x80 | tree[child].name.size()));
      t.bytes.insert(t.bytes.end(), tree[child].name.begin(), tree[child].name.end());
      t.bytes.push_back(static_cast<uint8_t>(0xF000 + tree[child].id));
      t.bytes.push_back(static_cast<uint8_t>((0xF000 + tree[child].id) >> 8));
    }
    t.bytes.push_back(0);
  }
  return t;
}

uint32_t BannerBytes(uint16_t version) {
  switch (version) {
    case 1:
      return 0x840;
    case 2:
      return 0x940;
    case 3:
      return 0xA40;
    case 0x103:
      return 0x23C0;
  }
  return 0x840;
}

}  // namespace

uint16_t Crc16(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFF;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return static_cast<uint16_t>(crc);
}

Bytes Banner(uint16_t version, const std::string& title) {
  Bytes b = Noise(BannerBytes(version), version);
  std::fill(b.begin(), b.begin() + 0x20, 0);
  Put16(b, 0, version);
  for (uint32_t k = 0; k < 8 && 0x240 + 0x100 * k + 0x100 <= std::min<size_t>(b.size(), 0xA40);
       ++k) {
    const uint32_t at = 0x240 + 0x100 * k;
    std::fill(b.begin() + at, b.begin() + at + 0x100, 0);
    for (size_t i = 0; i < title.size() && i < 127; ++i) Put16(b, at + 2 * i, uint8_t(title[i]));
  }
  if (version == 0x103) std::fill(b.begin() + 0xA40, b.begin() + 0x1240, 0);
  const struct {
    uint32_t at, start, end;
    uint16_t since;
  } crcs[] = {
      {2, 0x20, 0x840, 1}, {4, 0x20, 0x940, 2}, {6, 0x20, 0xA40, 3}, {8, 0x1240, 0x23C0, 0x103}};
  for (const auto& c : crcs) {
    if (version >= c.since && c.end <= b.size())
      Put16(b, c.at, Crc16(b.data() + c.start, c.end - c.start));
  }
  return b;
}

Bytes WriteRom(const Content& c, const Style& s) {
  const bool sdk = s.chain == Chain::kSdk;
  const bool blocks = s.chain == Chain::kBlocksDs;
  const bool kit = s.chain == Chain::kKit;
  const uint8_t gap = sdk || kit ? 0xFF : 0x00;
  std::vector<const Overlay*> overlays;
  for (const bool arm7 : {false, true}) {
    for (const Overlay& o : c.overlays) {
      if (o.arm7 == arm7) overlays.push_back(&o);
    }
  }
  const uint32_t overlay_count = static_cast<uint32_t>(overlays.size());
  const NameTable names = BuildNames(c, s.chain, s.overlays_after_files ? 0 : overlay_count);
  std::vector<uint32_t> overlay_ids(overlay_count);
  for (uint32_t i = 0; i < overlay_count; ++i) {
    overlay_ids[i] = s.overlays_after_files ? names.file_count + i : i;
  }
  const uint32_t fat_count = overlay_count + names.file_count;
  Bytes fat(8 * fat_count, 0);
  Bytes y9, y7;
  for (uint32_t i = 0; i < overlay_count; ++i) {
    Bytes entry(32, 0);
    Put32(entry, 0, overlays[i]->id);
    Put32(entry, 4, 0x02100000 + 0x10000 * overlays[i]->id);
    Put32(entry, 8, static_cast<uint32_t>(overlays[i]->data.size()));
    Put32(entry, 0x18, overlay_ids[i]);
    Bytes& table = overlays[i]->arm7 ? y7 : y9;
    table.insert(table.end(), entry.begin(), entry.end());
  }
  Bytes arm9 = c.arm9;
  if (sdk) {
    // A dump's secure area starts as the BIOS leaves it; the module
    // parameters' footer follows the binary.
    for (size_t i = 0; i < 8 && i < arm9.size(); ++i)
      arm9[i] = "\xFF\xDE\xFF\xE7\xFF\xDE\xFF\xE7"[i];
    for (const uint8_t b : {0x21, 0x06, 0xC0, 0xDE, 0xA0, 0x0B, 0x00, 0x00, 0, 0, 0, 0})
      arm9.push_back(b);
  } else if (blocks && !y9.empty()) {
    for (const uint8_t b : {0x21, 0x06, 0xC0, 0xDE, 0xD8, 0x0A, 0x00, 0x00, 0, 0, 0, 0})
      arm9.push_back(b);
  }
  const size_t arm9_footer = arm9.size() - c.arm9.size();
  Bytes banner = c.banner_version != 0 ? Banner(c.banner_version, c.title) : Bytes{};
  if (s.stale_crcs && !banner.empty()) std::fill(banner.begin() + 2, banner.begin() + 10, 0);

  Bytes rom(s.header_size, 0);
  uint32_t pos = s.header_size, last_nonempty = 0;
  auto place = [&](const Bytes& data, bool aligned = true, uint32_t least = 0) {
    uint32_t start = std::max(least, aligned ? Align(pos, 0x200) : pos);
    if (!data.empty()) {
      if (rom.size() < start + data.size()) rom.resize(start + data.size(), gap);
      std::copy(data.begin(), data.end(), rom.begin() + start);
      pos = start + static_cast<uint32_t>(data.size());
      last_nonempty = pos;
    } else {
      pos = std::max(pos, start);
    }
    return start;
  };
  std::vector<uint32_t> at(fat_count, 0);
  auto place_overlays = [&](bool arm7) {
    for (uint32_t i = 0; i < overlay_count; ++i) {
      if (overlays[i]->arm7 != arm7) continue;
      at[overlay_ids[i]] = place(overlays[i]->data);
    }
  };
  const uint32_t arm9_at = place(arm9);
  const uint32_t y9_at = y9.empty() ? 0 : place(y9, !blocks);
  if (sdk) place_overlays(false);
  const uint32_t arm7_at = place(c.arm7, true, 0x8000);
  const uint32_t y7_at = y7.empty() ? 0 : place(y7, !blocks);
  if (sdk) place_overlays(true);
  const uint32_t fnt_at = c.name_table ? place(names.bytes) : 0;
  const uint32_t fat_at = place(fat);
  if (blocks && names.file_count > 0) {
    const std::string mark = "NitroFS!";
    rom.resize(std::max<size_t>(rom.size(), pos + 8), gap);
    std::copy(mark.begin(), mark.end(), rom.begin() + pos);
    pos += 8;
  }
  const uint32_t banner_at = banner.empty() ? 0 : place(banner);
  if (!sdk && !s.overlays_after_files) {
    place_overlays(false);
    place_overlays(true);
  }
  std::vector<size_t> data_order(c.files.size());
  for (size_t i = 0; i < data_order.size(); ++i) data_order[i] = i;
  std::sort(data_order.begin(), data_order.end(), [&](size_t a, size_t b) {
    return sdk ? c.files[a].path < c.files[b].path : names.file_ids[a] < names.file_ids[b];
  });
  for (const size_t i : data_order) at[names.file_ids[i]] = place(c.files[i].data);
  if (s.overlays_after_files) {
    place_overlays(false);
    place_overlays(true);
  }
  for (uint32_t i = 0; i < overlay_count; ++i) {
    Put32(fat, 8 * overlay_ids[i], at[overlay_ids[i]]);
    Put32(fat, 8 * overlay_ids[i] + 4, at[overlay_ids[i]] + uint32_t(overlays[i]->data.size()));
  }
  for (size_t i = 0; i < c.files.size(); ++i) {
    const uint32_t id = names.file_ids[i];
    Put32(fat, 8 * id, at[id]);
    Put32(fat, 8 * id + 4, at[id] + static_cast<uint32_t>(c.files[i].data.size()));
  }
  std::copy(fat.begin(), fat.end(), rom.begin() + fat_at);

  // The end of the data: the SDK's is where the last part ends; ndstool's
  // where its last part (an empty one too) is, aligned to 4; the kit's
  // where the last part that is not empty ends, aligned to 4.
  const uint32_t end80 = sdk ? last_nonempty : Align(kit ? last_nonempty : pos, 4);
  uint32_t length = sdk || kit || pos == last_nonempty ? end80 : last_nonempty;
  if (rom.size() < length) rom.resize(length, gap);
  rom.resize(length);
  if (sdk && s.download_play) {
    Bytes ac = Noise(0x88, 7);
    ac[0] = 'a', ac[1] = 'c', ac[2] = 1, ac[3] = 0;
    rom.insert(rom.end(), ac.begin(), ac.end());
    length += 0x88;
  }
  uint32_t arm9i_at = 0, arm7i_at = 0;
  if (s.dsi) {
    rom.resize(length, gap);
    uint32_t end = length;
    if (!c.arm9i.empty()) {
      arm9i_at = Align(end, 0x400);
      rom.resize(arm9i_at, gap);
      rom.insert(rom.end(), c.arm9i.begin(), c.arm9i.end());
      end = static_cast<uint32_t>(rom.size());
    }
    if (!c.arm7i.empty()) {
      arm7i_at = Align(end, 0x200);
      rom.resize(arm7i_at, gap);
      rom.insert(rom.end(), c.arm7i.begin(), c.arm7i.end());
      end = static_cast<uint32_t>(rom.size());
    }
    length = Align(end, 0x200);
    if (banner_at != 0) length = std::max(length, banner_at + 0x23C0);
    rom.resize(length, gap);
  }
  // The chip: the smallest that holds more than the data (ndstool goes by
  // [0x80] on a DS title).
  const uint32_t used = sdk || kit || s.dsi ? length : end80;
  uint8_t capacity = 0;
  while ((uint64_t{128} << (10 + capacity)) <= used) ++capacity;
  if (s.full) rom.resize(size_t{128} << (10 + capacity), 0xFF);

  Bytes& h = rom;
  const std::string title = c.title.substr(0, 12);
  std::copy(title.begin(), title.end(), h.begin());
  std::copy_n(sdk ? "AXYE01" : "####00", 6, h.begin() + 0x0C);
  h[0x12] = s.dsi ? 2 : 0;
  h[0x14] = capacity;
  h[0x1C] = s.dsi ? 1 : 0;
  h[0x1F] = sdk ? 0 : 4;
  Put32(h, 0x20, arm9_at);
  Put32(h, 0x24, 0x02000800);
  Put32(h, 0x28, 0x02000000);
  Put32(h, 0x2C, static_cast<uint32_t>(arm9.size() - arm9_footer));
  Put32(h, 0x30, arm7_at);
  Put32(h, 0x34, 0x02380000);
  Put32(h, 0x38, 0x02380000);
  Put32(h, 0x3C, static_cast<uint32_t>(c.arm7.size()));
  Put32(h, 0x40, fnt_at);
  Put32(h, 0x44, c.name_table ? static_cast<uint32_t>(names.bytes.size()) : 0);
  Put32(h, 0x48, fat_at);
  Put32(h, 0x4C, static_cast<uint32_t>(fat.size()));
  Put32(h, 0x50, y9_at);
  Put32(h, 0x54, static_cast<uint32_t>(y9.size()));
  Put32(h, 0x58, y7_at);
  Put32(h, 0x5C, static_cast<uint32_t>(y7.size()));
  Put32(h, 0x60, 0x00586000);
  Put32(h, 0x64, 0x001808F8);
  Put32(h, 0x68, banner_at);
  Put16(h, 0x6E, sdk ? 0x051E : 0);
  Put32(h, 0x80, end80);
  Put32(h, 0x84, s.header_size);
  if (sdk) Put32(h, 0x88, 0x4BA0);
  // The logo (here a made-up one), or old homebrew's PassMe branch and
  // loader stub.
  const Bytes logo = Noise(0x9C, s.header_size == 0x200 ? 3 : 1);
  std::copy(logo.begin(), logo.end(), h.begin() + 0xC0);
  if (s.header_size == 0x200) Put32(h, 0, 0xEA00002E);
  if (s.dsi) {
    Put32(h, 0x1B0, 0xFFFFFFFF);
    Put32(h, 0x1C0, arm9i_at);
    Put32(h, 0x1C8, 0x02400000);
    Put32(h, 0x1CC, static_cast<uint32_t>(c.arm9i.size()));
    Put32(h, 0x1D0, arm7i_at);
    Put32(h, 0x1D4, 0x02FFDC00);
    Put32(h, 0x1D8, 0x02E80000);
    Put32(h, 0x1DC, static_cast<uint32_t>(c.arm7i.size()));
    Put32(h, 0x208, static_cast<uint32_t>(banner.size()));
    Put32(h, 0x20C, 0x00010000);
    Put32(h, 0x210, length);
    const Bytes signature = Noise(0x80, 11);
    std::copy(signature.begin(), signature.end(), h.begin() + 0xF80);
  }
  if (sdk && s.header_size >= 0x4000) {
    // What some dumps hold where the card reads nothing: kept as it is.
    const Bytes pattern = Noise(0x1000, 5);
    std::copy(pattern.begin(), pattern.end(), h.begin() + 0x3000);
  }
  // The secure area's CRC: ndstool's and the kit's over the raw bytes, the
  // SDK's over their encrypted form (here: anything but the raw CRC), 0 in
  // old homebrew.
  uint16_t secure = 0;
  if (arm9_at < 0x8000) {
    const size_t end = std::min<size_t>(0x8000, h.size());
    secure = Crc16(h.data() + arm9_at, end - arm9_at);
  }
  Put16(h, 0x6C, kit ? secure : s.header_size == 0x200 ? 0 : sdk ? secure ^ 0x5A5A : secure);
  if (!s.stale_crcs) {
    Put16(h, 0x15C, Crc16(h.data() + 0xC0, 0x9C));
    Put16(h, 0x15E, Crc16(h.data(), 0x15E));
  }
  return rom;
}

Content SampleContent() {
  Content c;
  c.title = "SHEAF SAMPLE";
  c.arm9 = Noise(0x5123, 1);
  c.arm7 = Noise(0x2345, 2);
  c.overlays = {
      {0, Noise(0x700, 3), false}, {1, Noise(0x233, 4), false}, {0, Noise(0x411, 5), true}};
  auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  c.files = {
      {"a.txt", text("hello")},
      {"empty", {}},
      {"Zeta.bin", Noise(1000, 6)},
      {"alpha.bin", Noise(513, 7)},
      {"Course/course.kcl", Noise(3001, 8)},
      {"Course/Deeper/nested.narc", Noise(333, 9)},
      {"Course/Deeper/zero", {}},
      {"Sound/wave.sdat", Noise(0x1200, 10)},
      {"\x83\x65\x83\x58\x83\x67/\x83\x74\x83\x40\x83\x43\x83\x8B.bin", Noise(77, 11)},
  };
  c.empty_folders = {"Empty/Nothing"};
  return c;
}

}  // namespace romwriter
