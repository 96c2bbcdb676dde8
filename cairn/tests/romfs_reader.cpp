#include "romfs_reader.h"

#include <fcntl.h>
#include <mbedtls/md.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;
constexpr uint64_t kBlock = 4096;

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }
uint64_t RoundUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }
bool AllZero(const uint8_t* p, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}
uint32_t NameHash(uint32_t parent, const std::u16string& name) {
  uint32_t h = parent ^ 123456789u;
  for (char16_t c : name) h = ((h >> 5) | (h << 27)) ^ c;
  return h;
}
std::string Hex(uint64_t v) {
  char buf[32];
  snprintf(buf, sizeof(buf), "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}
// Checks that digests[i] is the SHA-256 of block i of src, for every block,
// and that the rest of the digest area is zero.
std::string CheckDigests(const char* what, const uint8_t* src, uint64_t blocks,
                         const uint8_t* digests, uint64_t digest_area) {
  uint8_t md[32];
  for (uint64_t i = 0; i < blocks; ++i) {
    mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), src + i * kBlock, kBlock, md);
    if (memcmp(md, digests + 32 * i, 32) != 0)
      return std::string(what) + ": digest " + std::to_string(i) + " is wrong";
  }
  if (!AllZero(digests + 32 * blocks, digest_area - 32 * blocks))
    return std::string(what) + ": bytes after the digests are not zero";
  return "";
}

}  // namespace

std::string ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | cp >> 6);
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | cp >> 12);
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | cp >> 18);
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

ImageReader::~ImageReader() {
  if (map_ != nullptr) munmap(map_, map_size_);
}

std::string ImageReader::Load(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "cannot open " + path;
  struct stat st;
  fstat(fd, &st);
  map_size_ = static_cast<uint64_t>(st.st_size);
  if (map_size_ < kBlock || map_size_ % kBlock != 0) {
    close(fd);
    return "file length " + std::to_string(map_size_) + " is not a positive multiple of 4096";
  }
  void* map = mmap(nullptr, map_size_, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return "cannot map " + path;
  map_ = static_cast<uint8_t*>(map);
  madvise(map_, map_size_, MADV_SEQUENTIAL);
  std::string fault = CheckIvfc();
  if (fault.empty() && level3_size_ > 0) fault = CheckLevel3();
  return fault;
}

std::string ImageReader::CheckIvfc() {
  const uint8_t* h = map_;
  if (memcmp(h, "IVFC", 4) != 0) return "no IVFC magic";
  if (Le32(h + 4) != 0x10000) return "IVFC id is " + Hex(Le32(h + 4));
  if (Le32(h + 0x54) != 0x5C || Le32(h + 0x58) != 0 || Le32(h + 0x5C) != 0)
    return "IVFC header size or reserved fields wrong";
  uint64_t offsets[3], sizes[3];
  for (int i = 0; i < 3; ++i) {
    const uint8_t* e = h + 0x0C + 24 * i;
    offsets[i] = Le64(e);
    sizes[i] = Le64(e + 8);
    if (Le32(e + 16) != 12 || Le32(e + 20) != 0)
      return "level " + std::to_string(i) + ": block size or reserved field wrong";
  }
  const uint64_t l3 = sizes[2], s1 = sizes[1], s0 = sizes[0];
  const uint64_t master = Le32(h + 8);
  if (s1 != RoundUp(l3, kBlock) / kBlock * 32) return "hash level 1 size does not match the image";
  if (s0 != RoundUp(s1, kBlock) / kBlock * 32)
    return "hash level 0 size does not match hash level 1";
  if (master != RoundUp(s0, kBlock) / kBlock * 32)
    return "master hash size does not match hash level 0";
  if (offsets[0] != 0 || offsets[1] != RoundUp(s0, kBlock) ||
      offsets[2] != RoundUp(offsets[1] + s1, kBlock)) {
    return "logical offsets wrong";
  }
  header_block_ = RoundUp(96 + master, kBlock);
  const uint64_t l3_area = RoundUp(l3, kBlock), l0_area = RoundUp(s0, kBlock),
                 l1_area = RoundUp(s1, kBlock);
  if (map_size_ != header_block_ + l3_area + l0_area + l1_area)
    return "file length does not match the levels";
  if (!AllZero(h + 96 + master, header_block_ - 96 - master))
    return "header block padding is not zero";

  level3_size_ = l3;
  level3_ = map_ + header_block_;
  const uint8_t* level0 = level3_ + l3_area;
  const uint8_t* level1 = level0 + l0_area;
  if (!AllZero(level3_ + l3, l3_area - l3)) return "padding after the image is not zero";
  std::string fault = CheckDigests("hash level 1", level3_, l3_area / kBlock, level1, l1_area);
  if (fault.empty())
    fault = CheckDigests("hash level 0", level1, l1_area / kBlock, level0, l0_area);
  if (fault.empty()) fault = CheckDigests("master hash", level0, l0_area / kBlock, h + 96, master);
  return fault;
}

std::u16string ImageReader::NodeName(const uint8_t* table, uint32_t off, uint32_t fixed) const {
  const uint32_t size = Le32(table + off + fixed - 4);
  std::u16string name;
  for (uint32_t i = 0; i < size / 2; ++i) {
    name += static_cast<char16_t>(table[off + fixed + 2 * i] | table[off + fixed + 2 * i + 1] << 8);
  }
  return name;
}

std::string ImageReader::CheckLevel3() {
  const uint8_t* img = level3_;
  if (level3_size_ < 40) return "image shorter than its header";
  if (Le32(img) != 40) return "RomFS header size is not 40";
  uint32_t pos = 40;
  uint32_t off[4], size[4];
  for (int i = 0; i < 4; ++i) {
    off[i] = Le32(img + 4 + 8 * i);
    size[i] = Le32(img + 8 + 8 * i);
    if (off[i] != pos) return "section " + std::to_string(i) + " does not follow the one before";
    if (size[i] % 4 != 0) return "section " + std::to_string(i) + " size is not a multiple of 4";
    pos += size[i];
  }
  const uint32_t data_offset = Le32(img + 36);
  if (data_offset != RoundUp(pos, 16) || data_offset > level3_size_) return "data offset wrong";
  if (!AllZero(img + pos, data_offset - pos)) return "gap before the file data is not zero";
  if (size[0] == 0 || size[2] == 0) return "a hash table is empty";
  dir_hash_ = img + off[0];
  dir_buckets_ = size[0] / 4;
  dir_table_ = img + off[1];
  dir_table_size_ = size[1];
  file_hash_ = img + off[2];
  file_buckets_ = size[2] / 4;
  file_table_ = img + off[3];
  file_table_size_ = size[3];
  data_area_ = img + data_offset;
  data_area_size_ = level3_size_ - data_offset;

  root_ = ImageDir();
  std::string fault = ReadDir(0, 0, root_, 0);
  if (!fault.empty()) return fault;
  if (!root_.name.empty()) return "the root has a name";
  if (Le32(dir_table_ + 4) != kNone) return "the root has a sibling";

  uint64_t dir_bytes = 0, file_bytes = 0;
  for (uint32_t n : dir_nodes_) dir_bytes += RoundUp(24 + Le32(dir_table_ + n + 20), 4);
  for (uint32_t n : file_nodes_) file_bytes += RoundUp(32 + Le32(file_table_ + n + 28), 4);
  if (dir_bytes != dir_table_size_) return "directory nodes not reached from the root";
  if (file_bytes != file_table_size_) return "file nodes not reached from the root";

  fault = CheckHashChains();
  if (fault.empty()) fault = CheckData();
  if (fault.empty()) fault = CheckLookups(root_, u"");
  return fault;
}

std::string ImageReader::ReadDir(uint32_t off, uint32_t parent, ImageDir& out, int depth) {
  if (depth > 10000) return "directory nesting does not end";
  if (uint64_t(off) + 24 > dir_table_size_)
    return "directory node " + Hex(off) + " outside its table";
  const uint8_t* n = dir_table_ + off;
  const uint32_t name_size = Le32(n + 20);
  if (name_size % 2 != 0 ||
      uint64_t(off) + RoundUp(24 + uint64_t(name_size), 4) > dir_table_size_) {
    return "directory node " + Hex(off) + " name does not fit";
  }
  if (!AllZero(n + 24 + name_size, RoundUp(24 + name_size, 4) - 24 - name_size))
    return "directory name padding not zero";
  if (std::find(dir_nodes_.begin(), dir_nodes_.end(), off) != dir_nodes_.end())
    return "directory node " + Hex(off) + " reached twice";
  if (Le32(n) != parent) return "directory node " + Hex(off) + " has the wrong parent";
  dir_nodes_.push_back(off);
  out.node = off;
  out.name = NodeName(dir_table_, off, 24);

  for (uint32_t f = Le32(n + 12); f != kNone; f = Le32(file_table_ + f + 4)) {
    if (uint64_t(f) + 32 > file_table_size_) return "file node " + Hex(f) + " outside its table";
    const uint8_t* fn = file_table_ + f;
    const uint32_t fname_size = Le32(fn + 28);
    if (fname_size % 2 != 0 ||
        uint64_t(f) + RoundUp(32 + uint64_t(fname_size), 4) > file_table_size_) {
      return "file node " + Hex(f) + " name does not fit";
    }
    if (!AllZero(fn + 32 + fname_size, RoundUp(32 + fname_size, 4) - 32 - fname_size))
      return "file name padding not zero";
    if (std::find(file_nodes_.begin(), file_nodes_.end(), f) != file_nodes_.end())
      return "file node " + Hex(f) + " reached twice";
    if (Le32(fn) != off) return "file node " + Hex(f) + " has the wrong parent";
    file_nodes_.push_back(f);
    ImageFile file;
    file.node = f;
    file.name = NodeName(file_table_, f, 32);
    file.data_offset = Le64(fn + 8);
    file.size = Le64(fn + 16);
    out.files.push_back(file);
    all_files_.push_back(file);
  }
  for (uint32_t c = Le32(n + 8); c != kNone;) {
    out.dirs.emplace_back();
    std::string fault = ReadDir(c, off, out.dirs.back(), depth + 1);
    if (!fault.empty()) return fault;
    c = Le32(dir_table_ + c + 4);
  }
  return "";
}

std::string ImageReader::CheckHashChains() {
  struct Table {
    const char* what;
    const uint8_t* buckets;
    uint32_t count;
    const uint8_t* nodes;
    uint32_t fixed;
    uint32_t hash_field;
    const std::vector<uint32_t>* reached;
  };
  const Table tables[2] = {{"directory", dir_hash_, dir_buckets_, dir_table_, 24, 16, &dir_nodes_},
                           {"file", file_hash_, file_buckets_, file_table_, 32, 24, &file_nodes_}};
  for (const Table& t : tables) {
    const std::set<uint32_t> reached(t.reached->begin(), t.reached->end());
    std::set<uint32_t> chained;
    for (uint32_t b = 0; b < t.count; ++b) {
      for (uint32_t n = Le32(t.buckets + 4 * b); n != kNone; n = Le32(t.nodes + n + t.hash_field)) {
        if (reached.count(n) == 0)
          return std::string(t.what) + " bucket " + std::to_string(b) + " names an unknown node";
        if (!chained.insert(n).second) return std::string(t.what) + " node chained twice";
        const uint32_t parent = Le32(t.nodes + n);
        if (NameHash(parent, NodeName(t.nodes, n, t.fixed)) % t.count != b) {
          return std::string(t.what) + " node " + Hex(n) + " is in the wrong bucket";
        }
      }
    }
    if (chained.size() != reached.size())
      return std::string(t.what) + " nodes missing from the hash chains";
  }
  return "";
}

std::string ImageReader::CheckData() {
  // Contents lie in the order of the file nodes, each non-empty one on a
  // 16-byte boundary, with zeros in between and after.
  std::vector<ImageFile> files = all_files_;
  std::sort(files.begin(), files.end(),
            [](const ImageFile& a, const ImageFile& b) { return a.node < b.node; });
  uint64_t end = 0;
  for (const ImageFile& f : files) {
    if (f.size == 0) {
      if (f.data_offset != 0) return "empty file " + ToUtf8(f.name) + " has a data offset";
      continue;
    }
    if (f.data_offset % 16 != 0) return "data of " + ToUtf8(f.name) + " not on a 16-byte boundary";
    if (f.data_offset < end) return "data of " + ToUtf8(f.name) + " overlaps or is out of order";
    if (f.data_offset > data_area_size_ || f.size > data_area_size_ - f.data_offset)
      return "data of " + ToUtf8(f.name) + " outside the image";
    if (!AllZero(data_area_ + end, f.data_offset - end))
      return "gap before " + ToUtf8(f.name) + " not zero";
    end = f.data_offset + f.size;
  }
  if (!AllZero(data_area_ + end, data_area_size_ - end))
    return "bytes after the last file not zero";
  if (data_area_size_ - end > 15 * (files.size() + 1) + 15)
    return "file-data area longer than its padding explains";
  return "";
}

std::string ImageReader::CheckLookups(const ImageDir& dir, const std::u16string& path) {
  if (LookupDir(path) != dir.node) return "lookup of directory \"" + ToUtf8(path) + "\" fails";
  const std::u16string prefix = path.empty() ? path : path + u"/";
  for (const ImageFile& f : dir.files) {
    if (LookupFile(prefix + f.name) != f.node)
      return "lookup of file \"" + ToUtf8(prefix + f.name) + "\" fails";
  }
  for (const ImageDir& d : dir.dirs) {
    std::string fault = CheckLookups(d, prefix + d.name);
    if (!fault.empty()) return fault;
  }
  return "";
}

uint32_t ImageReader::LookupDir(const std::u16string& path) const {
  uint32_t cur = 0;
  size_t start = 0;
  while (start < path.size()) {
    size_t slash = path.find(u'/', start);
    if (slash == std::u16string::npos) slash = path.size();
    const std::u16string name = path.substr(start, slash - start);
    uint32_t n = Le32(dir_hash_ + 4 * (NameHash(cur, name) % dir_buckets_));
    while (n != kNone && !(Le32(dir_table_ + n) == cur && NodeName(dir_table_, n, 24) == name)) {
      n = Le32(dir_table_ + n + 16);
    }
    if (n == kNone) return kNotFound;
    cur = n;
    start = slash + 1;
  }
  return cur;
}

uint32_t ImageReader::LookupFile(const std::u16string& path) const {
  const size_t slash = path.rfind(u'/');
  const uint32_t parent = slash == std::u16string::npos ? 0 : LookupDir(path.substr(0, slash));
  if (parent == kNotFound) return kNotFound;
  const std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
  uint32_t n = Le32(file_hash_ + 4 * (NameHash(parent, name) % file_buckets_));
  while (n != kNone && !(Le32(file_table_ + n) == parent && NodeName(file_table_, n, 32) == name)) {
    n = Le32(file_table_ + n + 24);
  }
  return n == kNone ? kNotFound : n;
}
