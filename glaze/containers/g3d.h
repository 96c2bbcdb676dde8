// Nitro G3D files of the DS: texture files (BTX0, NSBTX) and models (BMD0,
// NSBMD), whose TEX0 block holds the textures and their palettes, and whose
// MDL0 block's materials pair textures with palettes. g3d.cpp reads them as
// hostile input and pairs palettes; g3d_edit.cpp plans a replacement.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "container.h"
#include "nitro/texture.h"

namespace glaze::g3d {

extern const ContainerType kType;

// One of TEX0's four data sections; offsets are from the TEX0 block.
struct Section {
  uint32_t at = 0, size = 0;
  std::vector<uint8_t> bytes;
};

struct Texture {
  std::string name;      // up to 16 bytes
  uint64_t entryAt = 0;  // the 8-byte entry, absolute
  uint32_t word0 = 0, word1 = 0;
  int format = 0, width = 0, height = 0;
  bool transparent0 = false;
  uint32_t offset = 0;  // in its section: 4x4 texels, or the texel data
  bool compressed() const { return format == nitro::kTex4x4; }
};

struct Palette {
  std::string name;
  uint64_t entryAt = 0;  // the 4-byte entry, absolute
  uint32_t offset = 0;   // in the palette data
  uint32_t length = 0;   // bytes: to the next higher palette or the end of the data
};

// How a texture's palette was found.
enum class Pairing {
  kNone,      // no palette (direct colour, or the file holds none)
  kMaterial,  // a material of the model names both
  kName,      // the palette has the texture's name, or NAME_pl
  kColours,   // the first palette holding every colour the texels use, else #0
};

class File : public Container {
 public:
  File(const Source& source) : source_(source) {}
  bool read(std::string& error);

  // The textures' entries as read (the fuzz harness checks their flags).
  const std::vector<Texture>& entries() const { return entries_; }

  std::vector<std::string> listFields(size_t texture) const override;
  int levelCount(size_t) const override { return 1; }
  bool decode(size_t texture, const std::vector<int>& levels, Decoded& out,
              std::string& error) const override;
  bool plan(size_t texture, const Image& image, const ReplaceRequest& request, int threads,
            Edit& edit, std::string& error) const override;

 private:
  bool readTex0(uint64_t at, uint32_t size, std::string& error);
  bool readMaterials(uint64_t at, uint32_t size, std::string& error);
  void pairPalettes();
  int paletteNamed(const std::string& name) const;
  nitro::Stored stored(size_t texture) const;
  std::vector<uint16_t> colours(int palette) const;
  // The palette texture t is drawn with, when its format has one; -1 else.
  int shownPalette(size_t t) const;
  // Lays out the edit of a replacement: over the old bytes, or spliced with
  // the data after it moved.
  bool placeEdit(size_t texture, const std::vector<size_t>& group, const nitro::Replacement& r,
                 int palette, Edit& edit, std::string& error) const;

  const Source& source_;
  uint32_t fileSizeField_ = 0;
  uint64_t tex0At_ = 0;
  uint32_t tex0Size_ = 0;
  std::vector<uint64_t> blockAt_;  // the block table's offsets
  uint32_t dictionariesEnd_ = 0;   // from TEX0: past the header and both dictionaries
  uint8_t header_[0x3C] = {};
  Section texels_, compressed_, indices_, palettes_;
  std::vector<Texture> entries_;
  std::vector<Palette> paletteList_;
  // The MDL0 materials: per model, per material, the texture and palette
  // names that pair with it (in their dictionaries' order).
  struct Material {
    std::vector<std::string> textures, palettes;
  };
  std::vector<std::vector<Material>> models_;
  std::vector<int> palette_;  // per texture (for a palette format): -1 when none
  std::vector<Pairing> pairing_;
};

}  // namespace glaze::g3d
