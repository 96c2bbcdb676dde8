// A reader of BRRES files for the tests, written from the format's
// description and strict where glaze is lenient: every group's tree must
// find every name, every sub-file's offset to the file must be minus its
// position, every name offset must reach the name of its entry. It shares
// nothing with glaze's reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brresref {

struct SubFile {
  std::string folder, name, magic;
  size_t at = 0;
  uint32_t length = 0;
};

struct Tex0 {
  std::string name;  // the group entry's
  size_t at = 0;
  uint32_t length = 0, version = 0, dataOffset = 0, flags = 0;
  int32_t nameOffset = 0;
  int width = 0, height = 0, format = 0, images = 0;
  uint32_t minLod = 0, maxLod = 0;  // the stored bits
  std::vector<uint8_t> data;
};

struct Plt0 {
  std::string name;
  size_t at = 0;
  uint32_t length = 0, version = 0;
  int32_t nameOffset = 0;
  int format = 0;
  std::vector<uint16_t> entries;
};

struct File {
  uint16_t sections = 0;
  uint32_t rootLength = 0;
  std::vector<std::string> root;  // the root entries' names
  // Folders that no format's name tells (a group found where an entry
  // points), as paths: "Custom", "Custom/New folder".
  std::vector<std::string> otherFolders;
  std::vector<SubFile> subFiles;
  std::vector<Tex0> textures;
  std::vector<Plt0> palettes;
};

// False with the first fault found.
bool read(const std::vector<uint8_t>& bytes, File& out, std::string& fault);

// The pool string whose characters start at `at` ("" past the file).
std::string poolString(const std::vector<uint8_t>& bytes, size_t at);

}  // namespace brresref
