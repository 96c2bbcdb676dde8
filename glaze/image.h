// The RGBA image every console's codecs decode to and encode from, and the
// largest texture any of the consoles takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace glaze {

// Sides of a texture: 1..kMaxSide on every console glaze serves (the GX's
// 10-bit width-1 field, the DS's largest size); so at most kMaxLevels mip
// levels, 1024 down to 1.
constexpr int kMaxSide = 1024;
constexpr int kMaxLevels = 11;

// An 8-bit RGBA image, rows top to bottom.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;

  Image() = default;
  Image(int w, int h) : width(w), height(h), rgba(size_t(w) * size_t(h) * 4) {}
  uint8_t* at(int x, int y) { return &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4]; }
  const uint8_t* at(int x, int y) const {
    return &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4];
  }
};

}  // namespace glaze
