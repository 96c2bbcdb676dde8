// PNG in and out through libpng.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "image.h"

namespace glaze {

// A PNG file larger than this is refused before it is read: a 1024 x 1024
// image is at most a few MiB even uncompressed.
constexpr uint64_t kMaxPngFileBytes = 64 << 20;

// Decodes a PNG of any colour type, bit depth and interlacing to 8-bit RGBA
// (16-bit channels rounded, no gamma conversion: the stored values are the
// texels). A width or height above maxSide is refused from the header,
// before anything is decoded. On failure returns false with error set
// ("it is damaged: ...", "it is 4096 x 4096 ..."). Checksums are checked
// unless checkCrc is false (the fuzz harness, whose changed bytes would
// otherwise never get past them).
bool readPng(const uint8_t* data, size_t size, int maxSide, Image& image, std::string& error,
             bool checkCrc = true);

// Writes an 8-bit PNG: RGBA, or grey + alpha (from R and A) when grey is
// set; zlib level 1 with the Up filter, which is fast and small enough for
// textures. On failure returns false with errno set.
bool writePng(FILE* file, const Image& image, bool grey);

}  // namespace glaze
