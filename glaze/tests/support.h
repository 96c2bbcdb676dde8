// What glaze's end-to-end tests share: running the program, models made
// with the builder from known texels, and reading PNG files back.
#pragma once

#include <string>
#include <vector>

#include "gx/gx.h"
#include "j3d_builder.h"
#include "test_support.h"

namespace glazetest {

const std::string kGlaze = GLAZE_PROGRAM;

testkit::RunResult runGlaze(const std::vector<std::string>& args,
                            const testkit::RunOptions& options = {});

// A texture of random stored bytes in a format (palette formats with a
// palette of `entries` random entries, indices inside it).
struct Known {
  j3dbuild::HeaderFields header;
  std::vector<uint8_t> data, palette;
};
Known known(int format, int width, int height, int levels, uint32_t seed, int paletteFormat = 2,
            int entries = 16);

// Adds the texture with its own blocks; returns its index.
int add(j3dbuild::Model& model, const std::string& name, const Known& k);

// The texels of level `level` of a texture in a built file, by the
// reference decoder.
std::vector<uint8_t> referenceTexels(const Known& k, int level);

// The texels of level `level` of the texture whose 32-byte header (J3D,
// BTI) is at `header` in a file, by the reference decoder.
std::vector<uint8_t> texelsIn(const std::vector<uint8_t>& file, size_t header, int level = 0);

// A PNG read back as RGBA through ImageMagick, independently of glaze.
std::vector<uint8_t> pngTexels(const std::string& path, int& width, int& height);
// Expects the PNG to be w x h texels of exactly these RGBA values.
void expectTexels(const std::string& path, const std::vector<uint8_t>& expected, int w, int h);
// The colour type byte of a PNG's header (4 grey + alpha, 6 RGBA).
int pngColourType(const std::string& path);
// Writes an RGBA image as a PNG with glaze's writer.
void writePng(const std::string& path, const glaze::Image& image);

// The bytes from..to of two files are equal except inside the listed
// ranges; reports the first difference.
::testing::AssertionResult SameOutside(const std::vector<uint8_t>& before,
                                       const std::vector<uint8_t>& after,
                                       std::vector<std::pair<size_t, size_t>> changed);

uint32_t be32(const std::vector<uint8_t>& bytes, size_t at);
uint16_t be16(const std::vector<uint8_t>& bytes, size_t at);

}  // namespace glazetest
