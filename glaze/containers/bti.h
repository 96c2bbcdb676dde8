// BTI files: one 32-byte texture header, its data and its palette. J3D
// models hold the same headers in their TEX1 chunk, so the header, the
// checks of a texture it describes and the jobs over such textures are here
// for both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "container.h"
#include "gx/texture.h"

namespace glaze::bti {

// The 32-byte texture header, raw and read.
struct Header {
  uint8_t raw[32];
  int format() const { return raw[0x00]; }
  int alphaFlag() const { return raw[0x01]; }
  int width() const { return raw[0x02] << 8 | raw[0x03]; }
  int height() const { return raw[0x04] << 8 | raw[0x05]; }
  int paletteFormat() const { return raw[0x09]; }
  int paletteEntries() const { return raw[0x0A] << 8 | raw[0x0B]; }
  uint32_t paletteOffset() const { return word(0x0C); }
  int minFilter() const { return raw[0x14]; }
  // Some real files store 0 levels (the console takes the level range from
  // the LOD fields): that is one level.
  int levels() const { return raw[0x18] == 0 ? 1 : raw[0x18]; }
  uint32_t dataOffset() const { return word(0x1C); }
  uint32_t word(int at) const {
    return uint32_t(raw[at]) << 24 | uint32_t(raw[at + 1]) << 16 | uint32_t(raw[at + 2]) << 8 |
           raw[at + 3];
  }
  gx::Description description() const;
};

// A header and where the blocks it points at lie.
struct Texture {
  Header header;
  uint64_t headerAt = 0;   // absolute file offsets
  uint64_t dataAt = 0;     // header + data offset
  uint64_t paletteAt = 0;  // header + palette offset

  const FormatInfo* format() const { return formatInfo(header.format()); }
  uint64_t dataBytes() const;     // whole chain (0 when the header is unusable)
  uint64_t paletteBytes() const;  // 0 without a palette
};

// Why the texture cannot be used in a file of fileSize bytes ("format 7 is
// not a texture format"), or "".
std::string problemOf(const Texture& texture, uint64_t fileSize);

// The header's min filter when the level count changes between one and
// more: near and linear take their mipmapped forms, and back.
int minFilterFor(int filter, int oldLevels, int newLevels);

// Textures of BTI headers: -l, -x and the new header of a replacement are
// alike wherever the headers lie. Derived classes fill headers_ beside
// textures_ and plan the replacement.
class HeaderContainer : public Container {
 public:
  explicit HeaderContainer(const Source& source) : source_(source) {}
  std::vector<std::string> listFields(size_t texture) const override;
  int levelCount(size_t texture) const override;
  bool decode(size_t texture, const std::vector<int>& levels, Decoded& out,
              std::string& error) const override;

 protected:
  // Adds a texture named name, its problem found, to both lists.
  void add(const Texture& texture, const std::string& name, uint64_t fileSize);
  // Fills in which textures share data (the same data address).
  void findSharing();
  // What a usable texture stores now (its level 0 and palette), for its
  // replacement; false with the reason when it cannot be read.
  bool readStored(size_t texture, gx::Stored& out, std::string& error) const;
  // The header of old once it holds the replacement, its data and palette
  // at these file offsets (relative to the header as stored). A stored
  // level count of 0 stays unless the request gives one.
  static Header newHeader(const Texture& old, const gx::Replacement& replacement,
                          const ReplaceRequest& request, uint64_t dataAt, uint64_t paletteAt);

  const Source& source_;
  std::vector<Texture> headers_;
};

extern const ContainerType kType;

}  // namespace glaze::bti
