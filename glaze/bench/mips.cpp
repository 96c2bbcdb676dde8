// glaze-bench-mips: the mip levels glaze makes against a file's own, on
// textures exported and put back unedited with the glaze program.
//
// Each texture is made as a tool makes it (its levels plain 2x2 boxes,
// rounded level by level) in a BMD model; `glaze -x` writes its level 0,
// `glaze MODEL NAME PNG` puts it back with its format and level count, and
// both files' levels are decoded and measured against 2x2 boxes of the
// exported image (colour weighted by alpha; for I4 and I8 a plain box of
// the intensity) by a PSNR whose colour error is weighted by alpha. Also:
// the share of texels passing the alpha test on each level of a cut-out,
// and how many CMPR blocks of level 0 come back texel for texel.
//
//   glaze-bench-mips GLAZE [SIDE]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "big_endian.h"
#include "gx/gx.h"
#include "j3d_builder.h"
#include "mip_quality.h"
#include "model_writer.h"
#include "pictures.h"
#include "png_io.h"

namespace {

struct Case {
  const char* picture;
  int format;
  int paletteFormat;
};

glaze::Image picture(const std::string& kind, int side) {
  if (kind == "art") return pictures::gameArt(side, side, 21);
  if (kind == "grass") return pictures::grass(side, side, 22);
  glaze::Image image = pictures::photo(side, side, 23);
  if (kind == "grey" || kind == "grey+alpha")
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        uint8_t* p = image.at(x, y);
        p[0] = p[1] = p[2] = uint8_t(glaze::greyOf(p[0], p[1], p[2]));
        if (kind == "grey+alpha") p[3] = uint8_t(255 * (x + y) / (2 * side - 2));
      }
  return image;
}

// The decoded levels of the texture whose header is at `header`.
std::vector<std::vector<uint8_t>> levelsOf(const std::vector<uint8_t>& file, size_t header,
                                           int levels) {
  const glaze::FormatInfo& f = *glaze::formatInfo(file[header]);
  const int w = file[header + 2] << 8 | file[header + 3];
  const int h = file[header + 4] << 8 | file[header + 5];
  size_t at = header + bigendian::get32(file, header + 0x1C);
  glaze::Palette palette;
  palette.format = glaze::PaletteFormat(file[header + 9]);
  const size_t paletteAt = header + bigendian::get32(file, header + 0x0C);
  if (f.maxEntries > 0)
    for (int i = 0; i < (file[header + 0x0A] << 8 | file[header + 0x0B]); ++i)
      palette.entries.push_back(
          uint16_t(file[paletteAt + 2 * size_t(i)] << 8 | file[paletteAt + 2 * size_t(i) + 1]));
  std::vector<std::vector<uint8_t>> out;
  for (int k = 0; k < levels; ++k) {
    const int lw = glaze::levelSide(w, k), lh = glaze::levelSide(h, k);
    std::vector<uint8_t> rgba(size_t(lw) * size_t(lh) * 4);
    glaze::decodeLevel(f, lw, lh, &file[at], &palette, rgba.data());
    out.push_back(std::move(rgba));
    at += glaze::levelBytes(f, lw, lh);
  }
  return out;
}

// CMPR 4x4 blocks of level 0 whose texels all came back.
double exactBlocks(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int side) {
  size_t exact = 0, blocks = 0;
  for (int by = 0; by < side; by += 4)
    for (int bx = 0; bx < side; bx += 4, ++blocks) {
      bool same = true;
      for (int y = by; y < by + 4 && same; ++y)
        same = std::memcmp(&a[(size_t(y) * size_t(side) + size_t(bx)) * 4],
                           &b[(size_t(y) * size_t(side) + size_t(bx)) * 4], 16) == 0;
      exact += same;
    }
  return double(exact) / double(blocks);
}

bool readFile(const std::string& path, std::vector<uint8_t>& out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  out.clear();
  uint8_t buffer[65536];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
    out.insert(out.end(), buffer, buffer + n);
  std::fclose(f);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: glaze-bench-mips GLAZE [SIDE]\n");
    return 2;
  }
  const std::string glazeProgram = argv[1];
  const int side = argc > 2 ? std::atoi(argv[2]) : 256;
  const int levels = 6;
  char folder[] = "/tmp/glaze-bench-mips-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  const std::string dir = folder;
  const Case cases[] = {{"photo", 14, 0}, {"art", 14, 0},  {"grass", 14, 0},     {"photo", 5, 0},
                        {"grass", 5, 0},  {"photo", 6, 0}, {"grey+alpha", 3, 0}, {"grey", 1, 0},
                        {"grey", 0, 0},   {"art", 9, 1},   {"grass", 8, 2}};
  std::printf("%-11s %-7s %s\n", "picture", "format",
              "level: PSNR of the file's own levels / glaze's (dB), share passing alpha 128");
  double worst = 1e9, worstShare = 1, bestShare = 1, exactShare = 1;
  std::string worstAt;
  int failures = 0;
  for (const Case& c : cases) {
    const glaze::FormatInfo& f = *glaze::formatInfo(c.format);
    const bool intensity = c.format == 0 || c.format == 1;
    const glaze::Image image = picture(c.picture, side);
    const auto own = glaze::encodeTexture(f, glaze::PaletteFormat(c.paletteFormat),
                                          mipquality::toolChain(image, levels, intensity),
                                          int(std::thread::hardware_concurrency()));
    j3dbuild::HeaderFields header;
    header.format = uint8_t(c.format);
    header.width = header.height = uint16_t(side);
    header.levels = uint8_t(levels);
    header.minFilter = 5;
    header.alpha = 1;
    std::vector<uint8_t> palette;
    if (f.maxEntries > 0) {
      header.palette = true;
      header.paletteFormat = uint8_t(c.paletteFormat);
      header.paletteEntries = uint16_t(own.palette.entries.size());
      for (uint16_t e : own.palette.entries)
        palette.push_back(uint8_t(e >> 8)), palette.push_back(uint8_t(e));
    }
    j3dbuild::Model model;
    j3dbuild::addTexture(model, "t", header, own.data, palette);
    j3dbuild::Layout layout;
    const auto before = j3dbuild::build(model, &layout);
    const std::string bmd = dir + "/m.bmd";
    if (!modelwriter::writeFile(bmd, before)) return 1;
    const std::string run = "'" + glazeProgram + "' -x -f '" + bmd + "' '" + dir + "/out' && '" +
                            glazeProgram + "' '" + bmd + "' t '" + dir + "/out/t.png'";
    std::vector<uint8_t> after;
    if (std::system(run.c_str()) != 0 || !readFile(bmd, after)) {
      std::printf("%-11s %-7s glaze failed\n", c.picture, f.name);
      ++failures;
      continue;
    }
    const auto ownLevels = levelsOf(before, layout.headers, levels);
    const auto newLevels = levelsOf(after, layout.headers, levels);
    glaze::Image exported(side, side);
    exported.rgba = ownLevels[0];
    const auto reference = mipquality::referenceChain(exported, levels, intensity);
    std::printf("%-11s %-7s", c.picture, f.name);
    const bool cutOut = std::string(c.picture) == "grass";
    const double share0 = mipquality::passingShare(ownLevels[0]);
    mipquality::Error ownError, newError;
    for (int k = 1; k < levels; ++k) {
      const double a = mipquality::psnr(reference[size_t(k)], ownLevels[size_t(k)]);
      const double b = mipquality::psnr(reference[size_t(k)], newLevels[size_t(k)]);
      ownError.add(reference[size_t(k)], ownLevels[size_t(k)]);
      newError.add(reference[size_t(k)], newLevels[size_t(k)]);
      std::printf(" %d: %5.2f/%5.2f", k, a, b);
      if (cutOut) {
        const double kept = mipquality::passingShare(newLevels[size_t(k)]) / share0;
        std::printf(" %.2fx", kept);
        worstShare = std::min(worstShare, kept);
        bestShare = std::max(bestShare, kept);
      }
    }
    const double gain = newError.psnr() - ownError.psnr();
    std::printf("  all: %5.2f/%5.2f", ownError.psnr(), newError.psnr());
    if (gain < worst) worst = gain, worstAt = std::string(c.picture) + " " + f.name;
    if (c.format == 14) {
      const double exact = exactBlocks(ownLevels[0], newLevels[0], side);
      std::printf("  level 0: %.1f %% of blocks back", 100 * exact);
      exactShare = std::min(exactShare, exact);
    }
    std::printf("\n");
  }
  std::system(("rm -rf '" + dir + "'").c_str());
  const bool ok =
      failures == 0 && worst >= -1 && worstShare >= 0.8 && bestShare <= 1.5 && exactShare >= 1;
  std::printf(
      "worst PSNR of glaze's levels against the file's own, all levels: %+.2f dB (%s; "
      "target: at least -1 dB)\n",
      worst, worstAt.c_str());
  std::printf(
      "cut-out levels keep %.2fx to %.2fx of level 0's share passing the alpha test "
      "(target: 0.8x to 1.5x)\n",
      worstShare, bestShare);
  std::printf("CMPR level 0 back texel for texel: %.1f %% of blocks at least (target: all)\n",
              100 * exactShare);
  return ok ? 0 : 1;
}
