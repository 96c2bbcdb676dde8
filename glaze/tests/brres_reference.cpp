#include "brres_reference.h"

#include <cstring>
#include <functional>

#include "brres_builder.h"

namespace brresref {

namespace {

uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
uint16_t u16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] << 8 | b[at + 1]); }

// Sections before the name offset, by magic and version.
int sections(const std::string& magic, uint32_t version) {
  if (magic == "TEX0" || magic == "PLT0") return 1;
  if (magic == "MDL0") return version >= 10 ? 14 : 11;
  if (magic == "SRT0" || magic == "CHR0" || magic == "CLR0") return 2;
  return -1;
}

size_t chain(int format, int w, int h, int levels) {
  size_t n = 0;
  for (int k = 0; k < levels; ++k)
    n += brresbuild::levelBytes(format, std::max(1, w >> k), std::max(1, h >> k));
  return n;
}

}  // namespace

std::string poolString(const std::vector<uint8_t>& b, size_t at) {
  if (at < 4 || at > b.size()) return "";
  const size_t length = u32(b, at - 4);
  if (length > b.size() - at) return "";
  std::string s(b.begin() + long(at), b.begin() + long(at + length));
  return s.substr(0, s.find('\0'));
}

bool read(const std::vector<uint8_t>& b, File& out, std::string& fault) {
  out = File();
  auto fail = [&](const std::string& what) {
    fault = what;
    return false;
  };
  if (b.size() < 0x18 || std::memcmp(b.data(), "bres", 4) != 0 || u16(b, 4) != 0xFEFF)
    return fail("no BRRES header");
  if (u32(b, 8) != b.size()) return fail("the header's length is not the file's");
  out.sections = u16(b, 14);
  const size_t root = u16(b, 12);
  if (std::memcmp(&b[root], "root", 4) != 0) return fail("no root section");
  out.rootLength = u32(b, root + 4);
  if (root + out.rootLength > b.size()) return fail("root section past the end");

  // A group: its length, every name found by the walk; its entries' names
  // and data positions.
  struct Entry {
    std::string name;
    size_t data;
  };
  auto group = [&](size_t at, std::vector<Entry>& entries, std::string& problem) {
    if (at + 8 > b.size()) return problem = "group past the end", false;
    const size_t n = u32(b, at + 4);
    if (u32(b, at) != 8 + 16 * (n + 1) || at + 8 + 16 * (n + 1) > b.size())
      return problem = "group length", false;
    if (u16(b, at + 8) != 0xFFFF) return problem = "reference id", false;
    for (size_t i = 1; i <= n; ++i) {
      const size_t e = at + 8 + 16 * i;
      const std::string name = poolString(b, size_t(int64_t(at) + int32_t(u32(b, e + 8))));
      if (brresbuild::lookUp(b, at, name) != i)
        return problem = "entry " + std::to_string(i) + " (" + name + ") not found", false;
      entries.push_back({name, size_t(int64_t(at) + int32_t(u32(b, e + 12)))});
    }
    return true;
  };
  std::vector<Entry> rootEntries;
  std::string problem;
  if (!group(root + 8, rootEntries, problem)) return fail("root group: " + problem);
  // Other folders: where an entry's data has a group's length, its tree
  // must find its names too.
  std::function<bool(const Entry&, const std::string&, int)> other =
      [&](const Entry& e, const std::string& path, int depth) {
        if (depth > 4 || e.data + 8 > b.size()) return true;
        const size_t n = u32(b, e.data + 4);
        if (n > 1000 || u32(b, e.data) != 8 + 16 * (n + 1)) return true;  // not a folder
        std::vector<Entry> inside;
        if (!group(e.data, inside, problem)) return fail(path + ": " + problem);
        out.otherFolders.push_back(path);
        for (const Entry& i : inside)
          if (!other(i, path + "/" + i.name, depth + 1)) return false;
        return true;
      };
  for (const Entry& folder : rootEntries) {
    out.root.push_back(folder.name);
    std::vector<Entry> files;
    if (folder.name.find("(NW4R)") == std::string::npos) {
      if (!other(folder, folder.name, 0)) return false;
      continue;
    }
    if (!group(folder.data, files, problem)) return fail(folder.name + ": " + problem);
    for (const Entry& file : files) {
      const size_t s = file.data;
      if (s + 0x18 > b.size()) return fail(file.name + ": past the end");
      SubFile sub{folder.name, file.name, std::string(b.begin() + long(s), b.begin() + long(s + 4)),
                  s, u32(b, s + 4)};
      if (s + sub.length > b.size()) return fail(file.name + ": length past the end");
      if (int64_t(int32_t(u32(b, s + 12))) != -int64_t(s))
        return fail(file.name + ": its offset to the file is not minus its position");
      const int n = sections(sub.magic, u32(b, s + 8));
      if (n < 0) return fail(file.name + ": unknown sub-file " + sub.magic);
      const int32_t nameOffset = int32_t(u32(b, s + 0x10 + 4 * size_t(n)));
      if (poolString(b, size_t(int64_t(s) + nameOffset)) != file.name)
        return fail(file.name + ": its name offset does not reach its name");
      if (sub.magic == "MDL0" || sub.magic == "TEX0" || sub.magic == "PLT0")
        if (s % 32 != 0) return fail(file.name + ": not 32-byte aligned");
      if (sub.magic == "TEX0") {
        Tex0 t;
        t.name = file.name, t.at = s, t.length = sub.length, t.version = u32(b, s + 8);
        t.dataOffset = u32(b, s + 0x10), t.nameOffset = nameOffset, t.flags = u32(b, s + 0x18);
        t.width = u16(b, s + 0x1C), t.height = u16(b, s + 0x1E);
        t.format = int(u32(b, s + 0x20)), t.images = int(u32(b, s + 0x24));
        t.minLod = u32(b, s + 0x28), t.maxLod = u32(b, s + 0x2C);
        if (t.version != 1 && t.version != 3) return fail(file.name + ": TEX0 version");
        if (t.length != t.dataOffset + chain(t.format, t.width, t.height, t.images))
          return fail(file.name + ": TEX0 length is not data offset + levels");
        if ((s + t.dataOffset) % 32 != 0) return fail(file.name + ": data not aligned");
        t.data.assign(b.begin() + long(s + t.dataOffset), b.begin() + long(s + t.length));
        out.textures.push_back(std::move(t));
      } else if (sub.magic == "PLT0") {
        Plt0 p;
        p.name = file.name, p.at = s, p.length = sub.length, p.version = u32(b, s + 8);
        p.nameOffset = nameOffset, p.format = int(u32(b, s + 0x18));
        const size_t count = u16(b, s + 0x1C), data = u32(b, s + 0x10);
        if (p.length != data + 2 * count) return fail(file.name + ": PLT0 length");
        for (size_t k = 0; k < count; ++k) p.entries.push_back(u16(b, s + data + 2 * k));
        out.palettes.push_back(std::move(p));
      }
      out.subFiles.push_back(std::move(sub));
    }
  }
  return true;
}

}  // namespace brresref
