#include "romfs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "oschar.h"
#include "romfs_dir_filter.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;

// Both tables and the header use 32-bit offsets and sizes.
constexpr uint64_t kMaxMetadataEnd = 0xFFFFFFFF;

uint32_t GetBucket(const uint8_t* table, uint32_t index) {
  return get_le32(table + 4 * static_cast<uint64_t>(index));
}

void SetBucket(uint8_t* table, uint32_t index, uint32_t value) {
  put_le32(table + 4 * static_cast<uint64_t>(index), value);
}

void WriteName(uint8_t* dst, const char16_t* name, uint32_t name_size) {
  for (uint32_t i = 0; i < name_size / 2; ++i) put_le16(dst + 2 * i, name[i]);
}

// Totals of a tree at 64-bit width, with overflow detection, used to refuse
// trees that the format cannot describe before anything is allocated.
struct TreeTotals {
  uint64_t dirs = 0;  // directories below the root
  uint64_t files = 0;
  uint64_t dir_table = 0;
  uint64_t file_table = 0;
};

void SumTree(const RomfsDirScanner::sDirectory& dir, TreeTotals& totals) {
  totals.dir_table += 24 + align(dir.name_size, 4);
  totals.files += dir.file_list.size();
  for (const auto& file : dir.file_list) totals.file_table += 32 + align(file.name_size, 4);
  totals.dirs += dir.dir_list.size();
  for (const auto& child : dir.dir_list) SumTree(child, totals);
}

// GetDataSize at 64-bit width; false when the sum does not fit.
bool CheckedDataSize(const RomfsDirScanner::sDirectory& dir, uint64_t& size) {
  uint64_t s = 0;
  for (const auto& file : dir.file_list) {
    if (__builtin_add_overflow(align(s, 16), file.size, &s) || s > UINT64_MAX - 15) return false;
  }
  for (const auto& child : dir.dir_list) {
    uint64_t child_size = 0;
    if (!CheckedDataSize(child, child_size)) return false;
    if (__builtin_add_overflow(align(s, 16), child_size, &s) || s > UINT64_MAX - 15) return false;
  }
  size = s;
  return true;
}

// Warns about entries of one directory that get the same UTF-16 name: only
// one of them can be found by name in the image.
template <typename Record>
void WarnSameNames(const std::vector<Record>& list) {
  if (list.size() < 2) return;
  std::vector<std::pair<std::u16string, const char*>> names;
  names.reserve(list.size());
  for (const Record& rec : list)
    names.emplace_back(std::u16string(rec.name, rec.name_size / 2), rec.path);
  std::sort(names.begin(), names.end());
  for (size_t i = 1; i < names.size(); ++i) {
    if (names[i].first == names[i - 1].first) {
      fprintf(stderr,
              "[WARNING] \"%s\" and \"%s\" get the same name in the image; only one of them "
              "can be found by name\n",
              names[i - 1].second, names[i].second);
    }
  }
}

void WarnSameNamesInTree(const RomfsDirScanner::sDirectory& dir) {
  WarnSameNames(dir.file_list);
  WarnSameNames(dir.dir_list);
  for (const auto& child : dir.dir_list) WarnSameNamesInTree(child);
}

}  // namespace

uint32_t CalcHashTableLen(uint32_t count) {
  if (count <= 2) return 3;
  if (count <= 18) return count | 1;
  uint32_t m = count | 1;
  for (;;) {
    bool ok = true;
    for (uint32_t p : {3u, 5u, 7u, 11u, 13u, 17u}) {
      if (m % p == 0) {
        ok = false;
        break;
      }
    }
    if (ok) return m;
    m += 2;
  }
}

uint32_t CalcPathHash(uint32_t parent, const char16_t* name) {
  uint32_t h = parent ^ 0x075BCD15u;
  for (const char16_t* c = name; *c != 0; ++c) h = ((h >> 5) | (h << 27)) ^ *c;
  return h;
}

uint32_t CalcHash(uint32_t parent, const char16_t* name, uint32_t bucket_count) {
  return CalcPathHash(parent, name) % bucket_count;
}

void Romfs::sDirectoryNode::set_name(const char16_t* name, uint32_t name_size) {
  put_le32(p_ + 20, name_size);
  WriteName(p_ + kFixedSize, name, name_size);
}

uint32_t Romfs::sDirectoryNode::node_size() const {
  return static_cast<uint32_t>(align(kFixedSize + uint64_t(name_size()), 4));
}

void Romfs::sFileNode::set_name(const char16_t* name, uint32_t name_size) {
  put_le32(p_ + 28, name_size);
  WriteName(p_ + kFixedSize, name, name_size);
}

uint32_t Romfs::sFileNode::node_size() const {
  return static_cast<uint32_t>(align(kFixedSize + uint64_t(name_size()), 4));
}

Romfs::Romfs() { RomfsDirScanner::InitDirectory(root); }

Romfs::~Romfs() = default;

int Romfs::CreateRomfs(const char* dir) {
  int result = 0;
  try {
    RomfsDirScanner scanner;
    result = scanner.ScanDir(dir);
    if (result != 0) return result;
    entries_left_out_ = scanner.entries_left_out();
    RomfsDirFilter filter;
    result = filter.FilterFs(scanner.root_dir());
    if (result == 0) result = CreateRomfsFromDir(filter.GetRootFs());
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "[ERROR] Out of memory while building the romfs image of \"%s\"\n", dir);
    result = 2;
  }
  // The tree's text dies with the scanner and the filter.
  RomfsDirScanner::InitDirectory(root);
  return result;
}

int Romfs::CreateRomfsFromDir(const sDirectory& tree) {
  root = tree;
  WarnSameNamesInTree(root);
  if (GetDirNum(root) == 0 && GetFileNum(root) == 0) return 0;
  int result = CreateRomfsLayout();
  if (result != 0) return result;
  AddDirToRomfs(root, 0, kNone);
  return AddDirChildToRomfs(root, 0, 0);
}

uint32_t Romfs::GetDirNum(const sDirectory& dir) {
  uint32_t count = static_cast<uint32_t>(dir.dir_list.size());
  for (const sDirectory& child : dir.dir_list) count += GetDirNum(child);
  return count;
}

uint32_t Romfs::GetFileNum(const sDirectory& dir) {
  uint32_t count = static_cast<uint32_t>(dir.file_list.size());
  for (const sDirectory& child : dir.dir_list) count += GetFileNum(child);
  return count;
}

uint32_t Romfs::GetDirTableSize(const sDirectory& dir) {
  uint32_t size = static_cast<uint32_t>(24 + align(dir.name_size, 4));
  for (const sDirectory& child : dir.dir_list) size += GetDirTableSize(child);
  return size;
}

uint32_t Romfs::GetFileTableSize(const sDirectory& dir) {
  uint32_t size = 0;
  for (const sFile& file : dir.file_list)
    size += static_cast<uint32_t>(32 + align(file.name_size, 4));
  for (const sDirectory& child : dir.dir_list) size += GetFileTableSize(child);
  return size;
}

uint64_t Romfs::GetDataSize(const sDirectory& dir) {
  uint64_t size = 0;
  for (const sFile& file : dir.file_list) size = align(size, 16) + file.size;
  for (const sDirectory& child : dir.dir_list) size = align(size, 16) + GetDataSize(child);
  return size;
}

int Romfs::CreateRomfsLayout() {
  // Refuse what the 32-bit tables cannot describe before allocating.
  TreeTotals totals;
  SumTree(root, totals);
  uint64_t data_size = 0;
  const bool data_fits = CheckedDataSize(root, data_size);
  if (totals.dirs + 1 > 0x3FFFFFFF || totals.files > 0x3FFFFFFF) {
    fprintf(stderr, "[ERROR] Too many entries for a romfs image: %llu directories, %llu files\n",
            static_cast<unsigned long long>(totals.dirs + 1),
            static_cast<unsigned long long>(totals.files));
    return kTooLarge;
  }
  dir_hash_table_len = CalcHashTableLen(static_cast<uint32_t>(totals.dirs + 1));
  file_hash_table_len = CalcHashTableLen(static_cast<uint32_t>(totals.files));
  const uint64_t sizes[4] = {4 * uint64_t(dir_hash_table_len), totals.dir_table,
                             4 * uint64_t(file_hash_table_len), totals.file_table};
  const uint64_t metadata_end = sRomfsHeader::kSize + sizes[0] + sizes[1] + sizes[2] + sizes[3];
  if (align(metadata_end, 16) > kMaxMetadataEnd) {
    fprintf(stderr,
            "[ERROR] The romfs tables would take %llu bytes, more than their 32-bit offsets "
            "can address\n",
            static_cast<unsigned long long>(metadata_end));
    return kTooLarge;
  }
  const uint32_t data_offset = static_cast<uint32_t>(align(metadata_end, 16));
  uint64_t image_size = 0;
  if (!data_fits || __builtin_add_overflow(uint64_t(data_offset), data_size, &image_size)) {
    fprintf(stderr, "[ERROR] The files are too large for one romfs image\n");
    return kTooLarge;
  }

  if (image.alloc(image_size) != 0) {
    fprintf(stderr, "[ERROR] Failed to allocate %llu bytes for the romfs image\n",
            static_cast<unsigned long long>(image_size));
    return 2;
  }

  uint8_t* base = image.data();
  sRomfsHeader header(base);
  header.set_header_size(sRomfsHeader::kSize);
  header.set_data_offset(data_offset);
  uint32_t pos = sRomfsHeader::kSize;
  uint8_t** section_ptr[4] = {&dir_hash_table, &dir_table, &file_hash_table, &file_table};
  for (int i = 0; i < 4; ++i) {
    header.set_section(i, pos, static_cast<uint32_t>(sizes[i]));
    *section_ptr[i] = base + pos;
    pos += static_cast<uint32_t>(sizes[i]);
  }
  dir_table_pos = 0;
  file_table_pos = 0;
  data_pos = 0;
  data_area = base + align(pos, 16);

  for (uint32_t i = 0; i < dir_hash_table_len; ++i) SetBucket(dir_hash_table, i, kNone);
  for (uint32_t i = 0; i < file_hash_table_len; ++i) SetBucket(file_hash_table, i, kNone);
  return 0;
}

void Romfs::AddDirToRomfs(const sDirectory& dir, uint32_t parent, uint32_t sibling) {
  const uint32_t off = dir_table_pos;
  sDirectoryNode node(dir_table + off);
  node.set_parent_node(parent);
  node.set_sibling_node(sibling);
  node.set_child_node(kNone);
  node.set_file_node(kNone);
  const uint32_t bucket = CalcHash(parent, dir.name, dir_hash_table_len);
  node.set_hash_sibling(GetBucket(dir_hash_table, bucket));
  SetBucket(dir_hash_table, bucket, off);
  node.set_name(dir.name, dir.name_size);
  dir_table_pos += node.node_size();
}

int Romfs::AddFileToRomfs(const sFile& file, uint32_t parent, uint32_t sibling) {
  const uint32_t off = file_table_pos;
  sFileNode node(file_table + off);
  node.set_parent_node(parent);
  node.set_sibling_node(sibling);
  node.set_data_offset(0);
  node.set_data_size(file.size);
  const uint32_t bucket = CalcHash(parent, file.name, file_hash_table_len);
  node.set_hash_sibling(GetBucket(file_hash_table, bucket));
  SetBucket(file_hash_table, bucket, off);
  node.set_name(file.name, file.name_size);

  if (file.size != 0) {
    // Empty files are never opened, so an unreadable empty file is fine.
    const int fd = open(file.path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      fprintf(stderr, "[ERROR] Failed to open file for romfs: %s\n", file.path);
      return 1;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    data_pos = align(data_pos, 16);
    node.set_data_offset(data_pos);
    // Read straight into place. One read returns at most about 2 GiB, and
    // a file that yields less than its scanned size must not leave a
    // zero-filled hole that looks like data.
    uint8_t* dst = data_area + data_pos;
    uint64_t done = 0;
    while (done < file.size) {
      const uint64_t want = std::min<uint64_t>(file.size - done, uint64_t(1) << 30);
      const ssize_t got = read(fd, dst + done, static_cast<size_t>(want));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        const int err = errno;
        close(fd);
        fprintf(stderr, "[ERROR] Failed to read file for romfs: %s (%s)\n", file.path,
                strerror(err));
        return 1;
      }
      if (got == 0) {
        close(fd);
        fprintf(stderr,
                "[ERROR] Failed to read file for romfs: %s (it ended after %llu of %llu "
                "bytes)\n",
                file.path, static_cast<unsigned long long>(done),
                static_cast<unsigned long long>(file.size));
        return 1;
      }
      done += static_cast<uint64_t>(got);
    }
    close(fd);
  }

  data_pos += file.size;
  file_table_pos += node.node_size();
  return 0;
}

int Romfs::AddDirChildToRomfs(const sDirectory& dir, uint32_t /*parent*/, uint32_t self) {
  sDirectoryNode node(dir_table + self);
  if (!dir.file_list.empty()) {
    node.set_file_node(file_table_pos);
    for (size_t i = 0; i < dir.file_list.size(); ++i) {
      const sFile& file = dir.file_list[i];
      const uint32_t sibling =
          i + 1 < dir.file_list.size()
              ? file_table_pos + static_cast<uint32_t>(32 + align(file.name_size, 4))
              : kNone;
      const int result = AddFileToRomfs(file, self, sibling);
      if (result != 0) return result;
    }
  }
  if (dir.dir_list.empty()) return 0;

  node.set_child_node(dir_table_pos);
  std::vector<uint32_t> offsets(dir.dir_list.size());
  for (size_t i = 0; i < dir.dir_list.size(); ++i) {
    const sDirectory& child = dir.dir_list[i];
    offsets[i] = dir_table_pos;
    const uint32_t sibling =
        i + 1 < dir.dir_list.size()
            ? dir_table_pos + static_cast<uint32_t>(24 + align(child.name_size, 4))
            : kNone;
    AddDirToRomfs(child, self, sibling);
  }
  for (size_t i = 0; i < dir.dir_list.size(); ++i) {
    const int result = AddDirChildToRomfs(dir.dir_list[i], self, offsets[i]);
    if (result != 0) return result;
  }
  return 0;
}
