// How good a texture's mip levels are, measured the same way for the
// levels glaze makes and for a file's own: against 2x2 boxes of the image
// (colour weighted by alpha; for I4 and I8, whose intensity is their alpha,
// a plain box of the intensity), by a PSNR over colour and alpha in which
// each texel's colour error is weighted by the reference's alpha (the
// colour of a transparent texel is not seen). For the benchmark and the
// tests; it uses none of glaze's mip code.
#pragma once

#include <cstdint>
#include <vector>

#include "image.h"

namespace mipquality {

// Levels 0..levels-1 of the reference: level 0 is the image.
std::vector<glaze::Image> referenceChain(const glaze::Image& image, int levels, bool intensity);

// Levels as a tool makes them: each a plain 2x2 box of the level above,
// rounded (for intensity, of the grey value in every channel).
std::vector<glaze::Image> toolChain(const glaze::Image& image, int levels, bool intensity);

// PSNR of RGBA texels (as decoded) against a reference level; 99 when
// equal. Levels measured together: the sums of their errors and weights.
struct Error {
  double error = 0, weight = 0;
  void add(const glaze::Image& reference, const std::vector<uint8_t>& rgba);
  double psnr() const;
};
double psnr(const glaze::Image& reference, const std::vector<uint8_t>& rgba);

// The share of texels at or above alpha 128.
double passingShare(const std::vector<uint8_t>& rgba);

}  // namespace mipquality
