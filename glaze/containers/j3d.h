// J3D models (BMD and BDL): the textures of the TEX1 chunk, and a
// replacement written in place or at the end of TEX1, with a BDL's material
// display lists following the new texture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "container.h"
#include "gx/gx.h"

namespace glaze::j3d {

extern const ContainerType kType;

struct Chunk {
  std::string tag;
  uint64_t at = 0;
  uint64_t size = 0;
};

// What a material display list must say of the replaced textures.
struct NewTexture {
  const FormatInfo* format;
  int paletteFormat;
  int paletteEntries;
  int width, height, levels;
  std::vector<int> oldMinFilter, newMinFilter;  // by header index (-1: not replaced)
  std::vector<bool> hadPalette;                 // by header index: the old format had one
};

// Patches every material's display list in the MDL3 chunk where it repeats
// the parameters of a replaced texture (j3d_lists.cpp); false with the
// reason when a list cannot express the change.
bool patchDisplayLists(const Source& source, const Chunk& mdl3, const NewTexture& texture,
                       Edit& edit, std::string& error);

}  // namespace glaze::j3d
