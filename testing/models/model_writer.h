// Builds BMD models from known images: the inverse of texsift's conversions.
// Used by the tests, the benchmark, the fuzz seeds and the example generator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace modelwriter {

// Source tile of a format: width and height in pixels (every tile is 32 bytes).
struct Tile {
  int width;
  int height;
};
Tile tileOf(int format);

// The stored bytes of one level of width x height pixels in format 0, 1, 2,
// 3, 4 or 5. `values` holds one stored value per pixel in row order: the
// 4-bit intensity (0), the byte (1, 2) or the 16-bit value (3, 4, 5). Tiles
// reaching past the level are padded with `pad`.
std::vector<uint8_t> encodeLevel(int format, int width, int height,
                                 const std::vector<uint16_t>& values, uint16_t pad = 0);

// The stored bytes of one compressed level (format 14) from standard DXT1
// blocks in row order (8 bytes each, colours little-endian). Blocks reaching
// past the level are padded with zero bytes.
std::vector<uint8_t> encodeDxt1Level(int width, int height, const std::vector<uint8_t>& blocks);

// A width x height level's dimensions as texsift counts them (halved, >= 1).
int levelSize(int full, int level);

struct Texture {
  std::string name;
  uint16_t hash = 0;
  uint8_t format = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint8_t levels = 1;
  std::vector<uint8_t> data;  // all levels back to back, as stored
  // Fields texsift only lists.
  uint8_t unknown1 = 0;
  uint16_t unknown2 = 0;
  uint32_t unknown3 = 0, unknown4 = 0, unknown5 = 0;
  uint16_t unknown6 = 0, unknown7 = 0;
  uint8_t unknown8 = 0;
  uint16_t unknown9 = 0;
  // Overrides the offset of the data from the record (otherwise the data
  // follow the name table).
  std::optional<uint32_t> dataOffset;
};

struct Section {
  std::string tag;      // four characters
  uint32_t length = 8;  // whole section, prefix included
};

struct Model {
  std::vector<Section> before;  // sections ahead of TEX1
  std::vector<Texture> textures;
  std::vector<Section> after;         // sections behind TEX1
  std::optional<uint16_t> nameCount;  // overrides the name table's count
};

std::vector<uint8_t> build(const Model& model);

// A simple name hash for the name table (texsift only lists it).
uint16_t nameHash(const std::string& name);

// Every level of a texture filled with a deterministic pattern.
Texture patternTexture(const std::string& name, uint8_t format, uint16_t width, uint16_t height,
                       uint8_t levels, uint32_t seed);

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace modelwriter
