// What glaze's model harnesses share: a small image of pseudo-random texels
// for a replacement (the same for the same seed), and an edit made in
// memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "container.h"
#include "image.h"

inline glaze::Image smallImage(uint32_t seed, int w, int h) {
  glaze::Image image(w, h);
  for (size_t i = 0; i < image.rgba.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    image.rgba[i] = uint8_t(seed >> 24);
  }
  return image;
}

// The file with the edit made; a write that fails is a fault of the edit.
inline std::vector<uint8_t> edited(const glaze::Source& source, const glaze::Edit& edit) {
  char* buffer = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&buffer, &length);
  if (!out) std::abort();
  if (!glaze::writeEdited(source, edit, out)) __builtin_trap();
  std::fclose(out);
  std::vector<uint8_t> bytes(buffer, buffer + length);
  std::free(buffer);
  return bytes;
}
