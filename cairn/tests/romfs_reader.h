// A small reader of cairn's output, written independently of the builder:
// it checks the IVFC header, every digest of every level and every structure
// of the level-3 RomFS, and finds entries through the hash tables the way a
// console does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ImageFile {
  std::u16string name;
  uint32_t node = 0;         // offset in the file metadata table
  uint64_t data_offset = 0;  // from the start of the file-data area
  uint64_t size = 0;
};

struct ImageDir {
  std::u16string name;
  uint32_t node = 0;  // offset in the directory metadata table
  std::vector<ImageDir> dirs;
  std::vector<ImageFile> files;
};

class ImageReader {
 public:
  static constexpr uint32_t kNotFound = 0xFFFFFFFF;

  ImageReader() = default;
  ~ImageReader();
  ImageReader(const ImageReader&) = delete;
  ImageReader& operator=(const ImageReader&) = delete;

  // Maps the image file and checks all of it. Returns an empty text when
  // the image is sound, otherwise a description of the first fault.
  std::string Load(const std::string& path);

  const ImageDir& root() const { return root_; }
  uint64_t file_size() const { return map_size_; }
  uint64_t header_block_size() const { return header_block_; }
  uint64_t level3_size() const { return level3_size_; }
  const uint8_t* level3() const { return level3_; }
  const uint8_t* FileData(const ImageFile& file) const { return data_area_ + file.data_offset; }
  uint32_t dir_buckets() const { return dir_buckets_; }
  uint32_t file_buckets() const { return file_buckets_; }

  // Looks up "a/b/c" (UTF-16, "/" between names; "" is the root) through
  // the hash tables. Returns the node offset or kNotFound.
  uint32_t LookupDir(const std::u16string& path) const;
  uint32_t LookupFile(const std::u16string& path) const;

 private:
  std::string CheckIvfc();
  std::string CheckLevel3();
  std::string ReadDir(uint32_t off, uint32_t parent, ImageDir& out, int depth);
  std::string CheckHashChains();
  std::string CheckData();
  std::string CheckLookups(const ImageDir& dir, const std::u16string& path);
  std::u16string NodeName(const uint8_t* table, uint32_t off, uint32_t fixed) const;

  uint8_t* map_ = nullptr;
  uint64_t map_size_ = 0;
  uint64_t header_block_ = 0;
  uint64_t level3_size_ = 0;
  const uint8_t* level3_ = nullptr;
  const uint8_t* dir_hash_ = nullptr;
  const uint8_t* dir_table_ = nullptr;
  const uint8_t* file_hash_ = nullptr;
  const uint8_t* file_table_ = nullptr;
  const uint8_t* data_area_ = nullptr;
  uint32_t dir_buckets_ = 0;
  uint32_t file_buckets_ = 0;
  uint32_t dir_table_size_ = 0;
  uint32_t file_table_size_ = 0;
  uint64_t data_area_size_ = 0;
  std::vector<uint32_t> dir_nodes_;   // every directory node reached
  std::vector<uint32_t> file_nodes_;  // every file node reached
  std::vector<ImageFile> all_files_;
  ImageDir root_;
};

// UTF-16 to UTF-8 for messages.
std::string ToUtf8(const std::u16string& text);
