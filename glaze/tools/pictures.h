// Pictures made by the project for glaze's demo, benchmark, tests and fuzz
// seeds: nothing is downloaded.
#pragma once

#include <cstdint>

#include "image.h"

namespace pictures {

// Like a photograph: a landscape of fractal noise under a sky gradient,
// soft shading, fine grain and a few sharp edges.
glaze::Image photo(int width, int height, uint32_t seed);

// Like game art: flat colours with dark outlines, tiles, stripes, discs,
// gradients and small glyph-like marks.
glaze::Image gameArt(int width, int height, uint32_t seed);

// A cut-out (alpha-tested) texture: leaves and thin stems, alpha 0 or 255.
glaze::Image cutOut(int width, int height, uint32_t seed);

// A sprite of grass: blades one or two texels wide rising from the bottom
// edge at slants, alpha 0 or 255, for alpha testing at 128.
glaze::Image grass(int width, int height, uint32_t seed);

}  // namespace pictures
