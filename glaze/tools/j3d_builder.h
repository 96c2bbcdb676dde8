// Builds BMD/BDL models and BTI files byte by byte from a description, as
// the console's tools lay them out: for glaze's tests, demo, benchmark and
// fuzz seeds. It knows nothing of glaze's code.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace j3dbuild {

struct HeaderFields {
  uint8_t format = 0;
  uint8_t alpha = 0;
  uint16_t width = 1, height = 1;
  uint8_t wrapS = 1, wrapT = 1;
  bool palette = false;  // 0x08
  uint8_t paletteFormat = 0;
  uint16_t paletteEntries = 0;
  uint8_t edgeLod = 0, biasClamp = 0, maxAniso = 0;
  uint8_t minFilter = 1, magFilter = 1;
  int8_t minLod = 0;
  uint8_t levels = 1;
  uint8_t unused = 0;
  int16_t lodBias = 0;
};

// The 32 bytes; mipmaps enabled and max LOD follow from the level count.
std::array<uint8_t, 32> headerBytes(const HeaderFields& h, uint32_t paletteOffset,
                                    uint32_t dataOffset);

struct Texture {
  std::string name;
  HeaderFields header;
  int data = -1;     // index into Model::data; textures with one index share it
  int palette = -1;  // index into Model::palettes; -1: the offset points at the data
  std::optional<uint32_t> dataOffset;  // raw overrides of the offsets
  std::optional<uint32_t> paletteOffset;
};

struct Model {
  bool bdl = false;
  // Chunks before TEX1 (tag, size; filled with a pattern), and after it.
  std::vector<std::pair<std::string, uint32_t>> before = {{"INF1", 96}, {"VTX1", 160}};
  std::vector<std::pair<std::string, uint32_t>> after;
  std::vector<std::vector<uint8_t>> displayLists;  // MDL3, one per material (BDL)
  std::vector<Texture> textures;
  std::vector<std::vector<uint8_t>> data, palettes;
  bool namesLast = false;  // the name table after the blocks instead of before
};

// Where the builder put things (absolute offsets).
struct Layout {
  size_t tex1 = 0, tex1Size = 0, headers = 0, names = 0, mdl3 = 0;
  std::vector<size_t> dataAt, paletteAt, listAt;
};

std::vector<uint8_t> build(const Model& model, Layout* layout = nullptr);
// A BTI: the header, the data at 0x20, the palette after it.
std::vector<uint8_t> buildBti(const HeaderFields& h, const std::vector<uint8_t>& data,
                              const std::vector<uint8_t>& palette);

// Adds a texture with data (and palette) blocks of its own; returns its index.
int addTexture(Model& model, const std::string& name, const HeaderFields& header,
               const std::vector<uint8_t>& data, const std::vector<uint8_t>& palette);

// ---------------------------------------------------------------------------
// Material display lists

// One texture map as J3D's material list loads it.
struct TextureMap {
  int map = 0;          // 0..7
  int headerIndex = 0;  // SETIMAGE3 holds the TEX1 header index
  HeaderFields header;  // size, format, levels, filters, wraps, palette
  int tlutAddress = 0;  // TMEM address of the palette (palette formats)
  // Whether the list sets up the palette of a palette format (BP mask,
  // LOADTLUT0/1, SETTLUT): the BDL models of some games leave it to the
  // game, which loads it from the texture header.
  bool paletteSetUp = true;
};

// A TEV order pair: (map, texture coordinate) of each order; -1 disables.
struct OrderPair {
  int map0 = -1, coordinate0 = 0, map1 = -1, coordinate1 = 0;
};

void bpWrite(std::vector<uint8_t>& list, int reg, uint32_t value);
// SETIMAGE3, SETIMAGE0, SETMODE0, SETMODE1 for each map; for palette
// formats (unless paletteSetUp is false) a BP mask, LOADTLUT0, LOADTLUT1 and
// SETTLUT; then per order pair
// a RAS1_TREF and, behind a BP mask of 0x03FFFF, SU_SSIZE and SU_TSIZE of
// each coordinate with the size of its map's texture; padded with zeros to
// a multiple of 32 bytes.
std::vector<uint8_t> materialList(const std::vector<TextureMap>& maps,
                                  const std::vector<OrderPair>& orders);

}  // namespace j3dbuild
