// Builds DS texture files (BTX0) and models (BMD0) byte by byte from a
// description, laid out as the games' converter lays them out: for glaze's
// tests, demo and fuzz seeds. It knows nothing of glaze's code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace g3dbuild {

// Texel data; textures naming one Data share it (stored once).
struct Data {
  std::vector<uint8_t> texels;
  std::vector<uint8_t> index;  // 4x4: the palette-index words
};

struct Texture {
  std::string name;  // at most 16 bytes
  int format = 3;
  int width = 8, height = 8;
  bool transparent0 = false;
  int data = -1;                  // into File::data
  uint32_t otherBits = 0;         // word 0's bits 16-19 and 30-31
  std::optional<uint32_t> extra;  // word 1; by default the size with bit 31
};

struct Palette {
  std::string name;
  std::vector<uint16_t> colours;
  int sameAs = -1;          // an earlier palette whose offset this one shares
  bool fourColour = false;  // flags bit 0, and 0x32 = 0x8000
};

// A model's materials: the names of the textures and palettes each material
// takes, as MDL0's pairing dictionaries list them (name to material indices).
struct Model {
  int materials = 1;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> textures, palettes;
};

struct File {
  bool model = false;  // BMD0 with MDL0 (and TEX0 unless noTex0), else BTX0
  bool noTex0 = false;
  std::vector<Texture> textures;
  std::vector<Data> data;
  std::vector<Palette> palettes;
  std::vector<Model> models;
  // The dictionaries' trees made of nodes that loop and reach nothing.
  bool loopingTrees = false;
  std::optional<uint32_t> fileSizeField;  // a stale size at 0x08
};

// Where the builder put things (absolute offsets).
struct Layout {
  size_t tex0 = 0, tex0Size = 0;
  size_t texels = 0, texelsSize = 0;  // the sections
  size_t compressed = 0, compressedSize = 0;
  size_t indices = 0;
  size_t palettes = 0, palettesSize = 0;
  std::vector<size_t> dataAt;     // per Data: in its section
  std::vector<size_t> paletteAt;  // per palette: in the palette section
  std::vector<size_t> textureEntry, paletteEntry;
  size_t textureDictionary = 0, paletteDictionary = 0, dictionariesEnd = 0;
};

std::vector<uint8_t> build(const File& file, Layout* layout = nullptr);

// An NNS dictionary of the names with their entries' data (entrySize bytes
// each), its Patricia tree built as the converter builds it.
std::vector<uint8_t> dictionary(const std::vector<std::string>& names, size_t entrySize,
                                const std::vector<uint8_t>& entries, bool looping = false);

}  // namespace g3dbuild
