// glaze-bench-cmpr: glaze's CMPR encoder against libsquish's cluster fit
// (its best mode), on photographs and game art that the project makes.
// Both encode the same 4x4 blocks on one thread; the blocks are decoded
// with the console's rule (3/8 blends, truncated) and compared with the
// picture (PSNR over RGB). Prints the figures and the targets: within
// 0.1 dB of libsquish or better, in at most a third of its CPU time.
//
//   glaze-bench-cmpr [SIDE]
#include <squish.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "gx/gx.h"
#include "pictures.h"

namespace {

double cpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Encodes every 4x4 block of the picture with encode(texels, out8) into
// console-order blocks; returns the CPU seconds.
using BlockEncoder = std::function<void(const uint8_t texels[16][4], uint8_t out[8])>;

double encodeAll(const glaze::Image& image, const BlockEncoder& encode,
                 std::vector<uint8_t>& blocks) {
  const int across = image.width / 4, down = image.height / 4;
  blocks.assign(size_t(across) * size_t(down) * 8, 0);
  const double start = cpuSeconds();
  for (int by = 0; by < down; ++by)
    for (int bx = 0; bx < across; ++bx) {
      uint8_t texels[16][4];
      for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
          std::memcpy(texels[4 * y + x], image.at(4 * bx + x, 4 * by + y), 4);
      encode(texels, &blocks[(size_t(by) * size_t(across) + size_t(bx)) * 8]);
    }
  return cpuSeconds() - start;
}

// PSNR of RGB after decoding the blocks with the console's rule.
double psnr(const glaze::Image& image, const std::vector<uint8_t>& blocks) {
  const int across = image.width / 4;
  double squared = 0;
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      const uint8_t* b = &blocks[(size_t(y / 4) * size_t(across) + size_t(x / 4)) * 8];
      uint8_t colours[4][4];
      glaze::cmprPalette(uint16_t(b[0] << 8 | b[1]), uint16_t(b[2] << 8 | b[3]), colours);
      const int index = (b[4 + y % 4] >> (6 - 2 * (x % 4))) & 3;
      for (int ch = 0; ch < 3; ++ch) {
        const double d = double(colours[index][ch]) - double(image.at(x, y)[ch]);
        squared += d * d;
      }
    }
  const double mse = squared / (double(image.width) * double(image.height) * 3);
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

void glazeBlock(const uint8_t texels[16][4], uint8_t out[8]) {
  glaze::encodeCmprBlock(texels, 0xFFFF, out);
}

// libsquish writes PC BC1 blocks: little-endian colours, the first texel of
// a row in the low bits. The console's order swaps both.
void squishBlock(const uint8_t texels[16][4], uint8_t out[8]) {
  uint8_t bc1[8];
  squish::Compress(&texels[0][0], bc1, squish::kDxt1 | squish::kColourClusterFit);
  out[0] = bc1[1], out[1] = bc1[0], out[2] = bc1[3], out[3] = bc1[2];
  for (int row = 0; row < 4; ++row) {
    uint8_t r = 0;
    for (int t = 0; t < 4; ++t) r = uint8_t(r | ((bc1[4 + row] >> (2 * t)) & 3) << (6 - 2 * t));
    out[4 + row] = r;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int side = argc > 1 ? std::atoi(argv[1]) : 512;
  if (side < 16 || side > 4096 || side % 4 != 0) {
    std::fprintf(stderr, "usage: glaze-bench-cmpr [SIDE (a multiple of 4)]\n");
    return 2;
  }
  struct Case {
    const char* name;
    glaze::Image image;
  };
  std::vector<Case> cases = {{"photo 1", pictures::photo(side, side, 1)},
                             {"photo 2", pictures::photo(side, side, 2)},
                             {"game art 1", pictures::gameArt(side, side, 1)},
                             {"game art 2", pictures::gameArt(side, side, 2)}};
  std::printf("CMPR on %d x %d pictures, one thread, PSNR of RGB after the console's decode\n",
              side, side);
  std::printf("%-12s %10s %10s %8s %10s %10s %7s\n", "picture", "glaze dB", "squish dB", "gain",
              "glaze ms", "squish ms", "time");
  double worstGain = 1e9, glazeTotal = 0, squishTotal = 0;
  for (const Case& c : cases) {
    std::vector<uint8_t> ours, theirs;
    const double ourTime = encodeAll(c.image, glazeBlock, ours);
    const double theirTime = encodeAll(c.image, squishBlock, theirs);
    const double ourDb = psnr(c.image, ours), theirDb = psnr(c.image, theirs);
    worstGain = std::min(worstGain, ourDb - theirDb);
    glazeTotal += ourTime;
    squishTotal += theirTime;
    std::printf("%-12s %10.2f %10.2f %+8.2f %10.1f %10.1f %6.2fx\n", c.name, ourDb, theirDb,
                ourDb - theirDb, ourTime * 1000, theirTime * 1000, ourTime / theirTime);
  }
  const double ratio = glazeTotal / squishTotal;
  const bool quality = worstGain >= -0.1, speed = ratio <= 1.0 / 3;
  std::printf("worst PSNR gain over libsquish: %+.2f dB (target: at least -0.10 dB; mark +0.3)%s\n",
              worstGain, quality ? "" : "  MISSED");
  std::printf("CPU time: %.0f ms against %.0f ms, %.2f of libsquish's (target: at most 0.33)%s\n",
              glazeTotal * 1000, squishTotal * 1000, ratio, speed ? "" : "  MISSED");
  return quality && speed ? 0 : 1;
}
