// Lays out the level-3 RomFS image of a host directory tree in one
// zero-filled buffer: header, directory hash table, directory metadata table,
// file hash table, file metadata table and the file-data area.
#pragma once

#include <cstdint>

#include "ByteBuffer.h"
#include "romfs_dir_scanner.h"

class Romfs {
 public:
  using sDirectory = RomfsDirScanner::sDirectory;
  using sFile = RomfsDirScanner::sFile;

  // Result codes besides 0 (success), 1 (cannot open) and 2 (cannot
  // allocate): the tree does not fit the format's 32-bit tables.
  static constexpr int kTooLarge = 3;

  // Views onto the image: every record is written in place, little-endian.
  class sSectionGeometry {
   public:
    explicit sSectionGeometry(uint8_t* p) : p_(p) {}
    uint32_t offset() const { return get_le32(p_); }
    uint32_t size() const { return get_le32(p_ + 4); }
    void set_offset(uint32_t v) { put_le32(p_, v); }
    void set_size(uint32_t v) { put_le32(p_ + 4, v); }

   private:
    uint8_t* p_;
  };

  class sRomfsHeader {
   public:
    static constexpr uint32_t kSize = 40;
    explicit sRomfsHeader(uint8_t* p) : p_(p) {}
    uint32_t header_size() const { return get_le32(p_); }
    uint32_t data_offset() const { return get_le32(p_ + 36); }
    void set_header_size(uint32_t v) { put_le32(p_, v); }
    void set_data_offset(uint32_t v) { put_le32(p_ + 36, v); }
    sSectionGeometry section(int i) { return sSectionGeometry(p_ + 4 + 8 * i); }
    void set_section(int i, uint32_t offset, uint32_t size) {
      section(i).set_offset(offset);
      section(i).set_size(size);
    }

   private:
    uint8_t* p_;
  };

  class sDirectoryNode {
   public:
    static constexpr uint32_t kFixedSize = 24;
    explicit sDirectoryNode(uint8_t* p) : p_(p) {}
    void set_parent_node(uint32_t v) { put_le32(p_, v); }
    void set_sibling_node(uint32_t v) { put_le32(p_ + 4, v); }
    void set_child_node(uint32_t v) { put_le32(p_ + 8, v); }
    void set_file_node(uint32_t v) { put_le32(p_ + 12, v); }
    void set_hash_sibling(uint32_t v) { put_le32(p_ + 16, v); }
    uint32_t name_size() const { return get_le32(p_ + 20); }
    void set_name(const char16_t* name, uint32_t name_size);
    uint32_t node_size() const;

   private:
    uint8_t* p_;
  };

  class sFileNode {
   public:
    static constexpr uint32_t kFixedSize = 32;
    explicit sFileNode(uint8_t* p) : p_(p) {}
    void set_parent_node(uint32_t v) { put_le32(p_, v); }
    void set_sibling_node(uint32_t v) { put_le32(p_ + 4, v); }
    void set_data_offset(uint64_t v) { put_le64(p_ + 8, v); }
    void set_data_size(uint64_t v) { put_le64(p_ + 16, v); }
    void set_hash_sibling(uint32_t v) { put_le32(p_ + 24, v); }
    uint32_t name_size() const { return get_le32(p_ + 28); }
    void set_name(const char16_t* name, uint32_t name_size);
    uint32_t node_size() const;

   private:
    uint8_t* p_;
  };

  Romfs();
  ~Romfs();
  Romfs(const Romfs&) = delete;
  Romfs& operator=(const Romfs&) = delete;

  // Scans, filters and lays out the tree below dir. 0 on success, otherwise
  // the first non-zero code met (the message has been printed).
  int CreateRomfs(const char* dir);
  // Lays out an already scanned and filtered tree (every subdirectory holds
  // a file somewhere below it), reading the files named by its records.
  int CreateRomfsFromDir(const sDirectory& root);

  // True when CreateRomfs left out a folder it could not read (its message
  // has been printed): the image holds the rest of the tree.
  bool entries_left_out() const { return entries_left_out_; }

  const uint8_t* data_blob() const { return image.data_const(); }
  uint64_t data_size() const { return image.size(); }

  // Counting passes over a tree.
  static uint32_t GetDirNum(const sDirectory& dir);
  static uint32_t GetFileNum(const sDirectory& dir);
  static uint32_t GetDirTableSize(const sDirectory& dir);
  static uint32_t GetFileTableSize(const sDirectory& dir);
  static uint64_t GetDataSize(const sDirectory& dir);

  int CreateRomfsLayout();
  void AddDirToRomfs(const sDirectory& dir, uint32_t parent, uint32_t sibling);
  int AddDirChildToRomfs(const sDirectory& dir, uint32_t parent, uint32_t self);
  int AddFileToRomfs(const sFile& file, uint32_t parent, uint32_t sibling);

 private:
  // The hash tables are arrays of little-endian u32 buckets in the image.
  uint32_t dir_hash_table_len = 0;
  uint8_t* dir_hash_table = nullptr;
  uint32_t file_hash_table_len = 0;
  uint8_t* file_hash_table = nullptr;
  uint32_t dir_table_pos = 0;
  uint8_t* dir_table = nullptr;
  uint32_t file_table_pos = 0;
  uint8_t* file_table = nullptr;
  uint64_t data_pos = 0;
  uint8_t* data_area = nullptr;
  sDirectory root;
  ByteBuffer image;
  bool entries_left_out_ = false;
};

// Number of hash buckets for count entries.
uint32_t CalcHashTableLen(uint32_t count);
// Bucket of an entry named name inside the directory whose node is at parent.
uint32_t CalcHash(uint32_t parent, const char16_t* name, uint32_t bucket_count);
// CalcHash without the final reduction to a bucket.
uint32_t CalcPathHash(uint32_t parent, const char16_t* name);
