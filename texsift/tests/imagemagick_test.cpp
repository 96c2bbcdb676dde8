// A DDS reader that is not ours (ImageMagick) sees the pixels of the source
// images in the files texsift writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "known.h"
#include "test_support.h"

namespace {

// The first level as 8-bit RGBA, read by ImageMagick.
std::vector<uint8_t> readWithImageMagick(const std::string& dds) {
  const std::string command = "convert 'dds:" + dds + "[0]' -depth 8 rgba:- 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::vector<uint8_t> out;
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    out.insert(out.end(), buffer, buffer + n);
  pclose(pipe);
  return out;
}

// Expands a colour channel of `bits` bits to 8 by repeating its top bits.
int expand(uint32_t c, int bits) {
  return static_cast<int>((c << (8 - bits)) | (c >> (2 * bits - 8)));
}

struct Rgba {
  int c[4];
};

Rgba rgb565(uint16_t v) {
  return {{expand(v >> 11, 5), expand((v >> 5) & 63, 6), expand(v & 31, 5), 255}};
}

// Reference DXT1 decoding of one pixel of a block (four-colour blocks only).
Rgba dxt1Pixel(const uint8_t* block, int x, int y) {
  const Rgba c0 = rgb565(static_cast<uint16_t>(block[0] | block[1] << 8));
  const Rgba c1 = rgb565(static_cast<uint16_t>(block[2] | block[3] << 8));
  const int index = (block[4 + y] >> (2 * x)) & 3;
  Rgba p{{0, 0, 0, 255}};
  for (int i = 0; i < 3; ++i) {
    const int a = c0.c[i], b = c1.c[i];
    const int mix[] = {a, b, (2 * a + b) / 3, (a + 2 * b) / 3};
    p.c[i] = mix[index];
  }
  return p;
}

}  // namespace

TEST(ImageMagick, ReadsTheSourcePixels) {
  ASSERT_EQ(std::system("convert -version >/dev/null 2>&1"), 0)
      << "ImageMagick's convert is needed";
  const int width = 24, height = 16;
  std::vector<Known> known;
  modelwriter::Model model;
  for (int format : {1, 4, 5, 14}) {
    known.push_back(knownTexture(std::to_string(format) + "t", format, width, height, 2, format));
    model.textures.push_back(known.back().texture);
  }
  testkit::TempDir dir;
  const std::string path = dir / "m.bmd";
  testkit::WriteFile(path, modelwriter::build(model));
  ASSERT_EQ(testkit::RunProgram({TEXSIFT_PROGRAM, path}).status, 0);

  for (size_t i = 0; i < known.size(); ++i) {
    const int format = known[i].texture.format;
    const KnownLevel& level = known[i].levels[0];
    const auto rgba =
        readWithImageMagick(dir / ("m.bmd " + std::to_string(i) + " " + std::to_string(format) +
                                   "t " + std::to_string(format) + ".dds"));
    ASSERT_EQ(rgba.size(), size_t{width} * height * 4)
        << "format " << format << ": " << std::string(rgba.begin(), rgba.end());
    // ImageMagick scales 5- and 6-bit channels by its own rounding, and
    // interpolates DXT1 colours from them: within 1 of the bit-repeating
    // expansion, 2 for the interpolated DXT1 colours. Luminance and 8-bit
    // channels are exact.
    const int tolerance = format == 4 ? 1 : format == 14 ? 2 : 0;
    int mismatches = 0;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        Rgba want{};
        const uint16_t v = format == 14 ? 0 : level.values[static_cast<size_t>(y) * width + x];
        switch (format) {
          case 1:
            want = {{v, v, v, 255}};
            break;
          case 4:
            want = rgb565(v);
            break;
          case 5: {
            const uint32_t argb = rgb5a3Argb(v);
            want = {
                {int(argb >> 16 & 255), int(argb >> 8 & 255), int(argb & 255), int(argb >> 24)}};
            break;
          }
          case 14:
            want = dxt1Pixel(&level.blocks[(static_cast<size_t>(y / 4) * (width / 4) + x / 4) * 8],
                             x % 4, y % 4);
            break;
        }
        for (int c = 0; c < 4; ++c) {
          const int got = rgba[(static_cast<size_t>(y) * width + x) * 4 + c];
          if (std::abs(got - want.c[c]) > tolerance && ++mismatches <= 5)
            ADD_FAILURE() << "format " << format << " pixel " << x << "," << y << " channel " << c
                          << ": ImageMagick " << got << ", source " << want.c[c];
        }
      }
    EXPECT_EQ(mismatches, 0) << "format " << format;
  }
}
