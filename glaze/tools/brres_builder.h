// Builds BRRES files and .tex0 files byte by byte from a description, in
// the layouts the games' and the community's tools write (the string pool
// after the sub-files, sorted; CTools' pool, unsorted and without a NUL
// where a name ends on 4 bytes; an old tool's pool inside the root section
// with TEX0s holding their own names): for glaze's tests, demo and fuzz
// seeds. It knows nothing of glaze's code; the index groups' trees are
// built by inserting the names one by one, as the format describes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace brresbuild {

enum class Pool {
  kSorted,      // after the last sub-file, sorted, each name ended by a NUL
  kCTools,      // after the last sub-file, unsorted, no NUL or padding when
                // the characters end on a 4-byte boundary
  kInsideRoot,  // inside the root section after the groups; every TEX0
                // holds its own name at 0x38 and its data at 0x60
};

struct Texture {
  std::string name;
  int version = 3;
  int format = 14, width = 8, height = 8, images = 1;
  std::vector<uint8_t> data;      // every level
  float minLod = 0, maxLod = -1;  // -1: images - 1
  uint32_t flags = 0xFFFFFFFF;    // 0xFFFFFFFF: 1 for palette formats, else 0
};

struct Palette {
  std::string name;
  int version = 1;
  int format = 2;
  std::vector<uint16_t> entries;
};

// An MDL0 whose structures (bones, materials...) name strings of the pool
// by offsets counted from themselves.
struct Model {
  std::string name;
  std::vector<std::string> names;
};

struct File {
  Pool pool = Pool::kSorted;
  std::vector<Model> models;            // 3DModels(NW4R)
  std::vector<Texture> textures;        // Textures(NW4R)
  std::vector<Palette> palettes;        // Palettes(NW4R), when any
  std::vector<std::string> animations;  // SRT0s in AnmTexSrt(NW4R), not aligned
  bool rootText = false;                // a root entry "Todo.txt" pointing at text
  // A root folder "Custom" (no format's name) holding a text file and a
  // folder "New folder" of its own, empty, inside the root section.
  bool customFolder = false;
  bool emptyReferenceNames = false;  // reference entries name an empty string
  int sectionCount = -1;             // 0x0E; -1: sub-files + 1
  bool padPool = true;               // zeros after the pool to 0x80
};

// Where things lie (absolute offsets).
struct Layout {
  std::map<std::string, size_t> groups;  // by folder name; "" is the root group
  std::vector<size_t> textureAt, paletteAt, modelAt, animationAt;
  size_t poolAt = 0, poolEnd = 0, textAt = 0;
  // A name offset inside a model: where it is stored, what it counts from,
  // and the name it must reach.
  struct Reference {
    size_t field, base;
    std::string name;
  };
  std::vector<Reference> references;
};

std::vector<uint8_t> build(const File& file, Layout* layout = nullptr);

// A .tex0 file as tools export one: the TEX0 (version 1, data at 0x40,
// offset to the BRRES 0), then its name, the name offset length + 4.
std::vector<uint8_t> tex0File(const Texture& texture);

// The index group of names at `at`, as the format builds it: entry 0 the
// reference, entries in the order given. nameAt gives where each name's
// characters lie, dataAt each entry's data (absolute).
std::vector<uint8_t> group(const std::vector<std::string>& names, size_t at,
                           const std::vector<size_t>& nameAt, const std::vector<size_t>& dataAt,
                           size_t referenceNameAt = 0);
// The entry a walk of the tree of the group at `at` in `file` finds for a
// name (0 when it finds none).
size_t lookUp(const std::vector<uint8_t>& file, size_t at, const std::string& name);

// The bytes of a level of a texture, for its size: whole tiles.
size_t levelBytes(int format, int width, int height);

}  // namespace brresbuild
