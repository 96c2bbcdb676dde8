// Textures made from known images, with the DDS file a reader should see.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model_writer.h"

// The DDS header expected for a texture (pixel format by format code).
std::vector<uint8_t> expectedHeader(int format, int width, int height, int levels);

// One level as a DDS reader wants it, from the stored value of each pixel in
// row order (for format 14: standard DXT1 blocks in row order).
std::vector<uint8_t> expectedLevel(int format, const std::vector<uint16_t>& values,
                                   const std::vector<uint8_t>& blocks);

// The RGBA colour of an RGB5A3 value: the byte values of the listed pixels.
uint32_t rgb5a3Argb(uint16_t v);

struct KnownLevel {
  int width, height;
  std::vector<uint16_t> values;  // formats 0 to 5
  std::vector<uint8_t> blocks;   // format 14
};

struct Known {
  modelwriter::Texture texture;
  std::vector<KnownLevel> levels;
  std::vector<uint8_t> dds;  // the whole DDS file texsift should write
};

// A texture of random pixels (blocks with c0 > c1 for format 14).
Known knownTexture(const std::string& name, int format, int width, int height, int levels,
                   uint32_t seed);
