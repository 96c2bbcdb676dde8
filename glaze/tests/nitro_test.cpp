// The DS codecs: decoders against the reference, value conversions against
// every value, encoders that give back what they were given, the 4x4
// encoder's windows against an exhaustive search, and palettes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "nitro/nitro.h"
#include "nitro/texture.h"
#include "nitro_reference.h"
#include "pictures.h"

namespace nitro = glaze::nitro;

namespace {

struct Random {
  std::mt19937 engine;
  explicit Random(uint32_t seed) : engine(seed) {}
  int below(int n) { return int(engine() % uint32_t(n)); }
  std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v) b = uint8_t(engine());
    return v;
  }
  std::vector<uint16_t> colours(size_t n) {
    std::vector<uint16_t> v(n);
    for (uint16_t& c : v) c = uint16_t(engine());
    return v;
  }
};

// Random stored bytes of a texture; 4x4 windows reach up to `reach` colours.
nitro::Stored randomTexture(Random& r, int format, int w, int h, size_t reach) {
  nitro::Stored s;
  s.format = format;
  s.width = w;
  s.height = h;
  s.transparent0 = r.below(2) == 1;
  s.data = r.bytes(size_t(nitro::texelBytes(format, w, h)));
  if (format == nitro::kTex4x4) {
    s.index = r.bytes(size_t(nitro::indexBytes(w, h)));
    for (size_t i = 0; i + 1 < s.index.size(); i += 2) {
      const int pairs = int(std::max<size_t>(reach / 2, 1));
      const int a = r.below(pairs);
      s.index[i] = uint8_t(a);
      s.index[i + 1] = uint8_t((s.index[i + 1] & 0xC0) | (a >> 8));
    }
  }
  return s;
}

std::vector<uint16_t> masked(std::vector<uint16_t> palette) {
  for (uint16_t& c : palette) c &= 0x7FFF;
  return palette;
}

glaze::Image imageOf(int w, int h, const std::vector<uint8_t>& rgba) {
  glaze::Image image(w, h);
  image.rgba = rgba;
  return image;
}

}  // namespace

TEST(NitroCodec, DecodersAgreeWithTheReference) {
  Random r(1);
  for (int format = 1; format <= 7; ++format)
    for (int round = 0; round < 12; ++round) {
      const int w = 8 << r.below(3), h = 8 << r.below(3);
      // Palettes shorter and longer than the indices reach.
      const size_t length = size_t(r.below(format == 5 ? 80 : 40));
      const nitro::Stored s = randomTexture(r, format, w, h, 96);
      const std::vector<uint16_t> palette = r.colours(length);
      uint64_t expectedMissing = 0;
      const auto expected = nitroref::decode(format, w, h, s.transparent0, s.data, s.index, palette,
                                             &expectedMissing);
      std::vector<uint8_t> actual(expected.size());
      const uint64_t missing = nitro::decode(s.texels(), masked(palette), actual.data());
      ASSERT_TRUE(expected == actual) << "format " << format << " " << w << "x" << h;
      EXPECT_EQ(missing, expectedMissing) << "format " << format;
    }
}

TEST(NitroCodec, ColoursUsedIsTheShortestPaletteWithNothingMissing) {
  Random r(2);
  for (int format = 1; format <= 6; ++format)
    for (int round = 0; round < 8; ++round) {
      const nitro::Stored s = randomTexture(r, format, 8, 16, 40);
      const size_t used = nitro::coloursUsed(s.texels());
      const std::vector<uint16_t> full = r.colours(300);
      uint64_t missing = 0;
      nitroref::decode(format, 8, 16, false, s.data, s.index,
                       {full.begin(), full.begin() + long(used)}, &missing);
      EXPECT_EQ(missing, 0u) << format;
      if (used == 0) continue;
      nitroref::decode(format, 8, 16, false, s.data, s.index,
                       {full.begin(), full.begin() + long(used) - 1}, &missing);
      EXPECT_GT(missing, 0u) << format;
    }
}

TEST(NitroCodec, ValuesAreTheNearest) {
  for (int x = 0; x < 256; ++x) {
    int best = 0;
    for (int v = 0; v < 32; ++v)
      if (std::abs((v * 8 + v / 4) - x) < std::abs((best * 8 + best / 4) - x)) best = v;
    EXPECT_EQ(nitro::nearest5(x), best) << x;
    int bestA3 = 0;
    auto a3 = [](int a) { return (a * 4 + a / 2) * 8 + (a * 4 + a / 2) / 4; };
    for (int a = 0; a < 8; ++a)
      if (std::abs(a3(a) - x) < std::abs(a3(bestA3) - x)) bestA3 = a;
    EXPECT_EQ(nitro::nearestA3(x), bestA3) << x;
  }
  EXPECT_EQ(nitro::widenA3(1), 33);
  EXPECT_EQ(nitro::widenA3(2), 74);
  EXPECT_EQ(nitro::widenA3(7), 255);
  EXPECT_EQ(nitro::formatByName("TEX4x4"), nitro::kTex4x4);
  EXPECT_EQ(nitro::formatByName("pal"), nitro::kNone);
}

// An export put back keeps every stored value: decoded texels that show
// what they show now are not encoded anew, whatever their palette.
TEST(NitroCodec, TexturesPutBackAsTheyDecodeKeepTheirBytes) {
  Random r(3);
  for (int format = 1; format <= 7; ++format)
    for (bool own : {false, true}) {
      const nitro::Stored s = randomTexture(r, format, 16, 8, 24);
      const std::vector<uint16_t> palette = masked(r.colours(format == 5 ? 20 : 12));
      glaze::Image image(16, 8);
      nitro::decode(s.texels(), palette, image.rgba.data());
      nitro::Replacement out;
      std::string error;
      ASSERT_TRUE(nitro::encodeReplacement(s, format, image, {palette, own}, 1, out, error))
          << error;
      EXPECT_TRUE(out.texture.data == s.data) << format;
      EXPECT_TRUE(out.texture.index == s.index) << format;
      EXPECT_EQ(out.texture.transparent0, s.transparent0) << format;
      EXPECT_TRUE(out.palette.empty()) << format;
    }
}

// An image of the format's values, in a texture of another size (so
// nothing is kept), comes back exactly through its own palette rebuilt.
TEST(NitroCodec, ImagesOfTheFormatsValuesComeBackExactly) {
  Random r(4);
  for (int format : {1, 2, 3, 4, 6, 7}) {
    const nitro::Stored s = randomTexture(r, format, 32, 16, 4);
    const std::vector<uint16_t> palette = masked(r.colours(size_t(nitro::paletteCapacity(format))));
    std::vector<uint8_t> rgba(32 * 16 * 4);
    nitro::decode(s.texels(), palette, rgba.data());
    nitro::Stored old = randomTexture(r, format, 8, 8, 4);
    old.transparent0 = false;  // else colour 0 is not for opaque texels
    nitro::Replacement out;
    std::string error;
    ASSERT_TRUE(
        nitro::encodeReplacement(old, format, imageOf(32, 16, rgba), {{}, true}, 1, out, error));
    std::vector<uint16_t> now = out.palette;
    std::vector<uint8_t> back(rgba.size());
    EXPECT_EQ(nitro::decode(out.texture.texels(), now, back.data()), 0u);
    if (nitro::paletteCapacity(format) > 0) {
      EXPECT_EQ(out.fate, nitro::PaletteFate::kExact);
    }
    // Colour 0 of a transparent pal texture stands for every transparent
    // texel: their colours may differ, their alpha not.
    for (size_t i = 0; i < rgba.size(); i += 4) {
      if (rgba[i + 3] != 0 || !s.transparent0 || format == 1 || format == 6 || format == 7)
        ASSERT_EQ(std::memcmp(&rgba[i], &back[i], 4), 0) << format << " texel " << i / 4;
      else
        ASSERT_EQ(back[i + 3], 0) << format;
    }
  }
}

TEST(NitroCodec, KeptPalettesGiveTheNearestColourAndCountTheMissing) {
  const std::vector<uint16_t> palette = {0x0000, 0x7FFF, 0x001F, 0x03E0};
  glaze::Image image(8, 8);
  for (size_t i = 0; i < image.rgba.size(); i += 4) {
    const uint8_t c[4] = {250, 10, 10, 255};  // near red (0x001F), not in it
    std::memcpy(&image.rgba[i], c, 4);
  }
  std::memcpy(&image.rgba[0], "\xFF\xFF\xFF\xFF", 4);  // white is in it
  Random r(5);
  const nitro::Stored old = randomTexture(r, nitro::kPal4, 16, 16, 4);
  nitro::Replacement out;
  std::string error;
  ASSERT_TRUE(nitro::encodeReplacement(old, nitro::kPal4, image, {palette, false}, 1, out, error));
  EXPECT_EQ(out.missing, 63u);
  EXPECT_EQ(out.texture.data[0], 0x01 | 0x02 << 2 | 0x02 << 4 | 0x02 << 6);
  EXPECT_TRUE(out.palette.empty());
  // Nothing to encode against.
  EXPECT_FALSE(nitro::encodeReplacement(old, nitro::kPal4, image, {{}, false}, 1, out, error));
  EXPECT_EQ(error, "holds no colours");
}

// A palette too small for the image's colours is quantised to the
// format's full size; transparency keeps colour 0 for itself.
TEST(NitroCodec, OwnPalettesOfTooManyColoursAreQuantisedToTheFormatsSize) {
  const glaze::Image image = pictures::cutOut(32, 32, 3);
  nitro::Stored old;
  old.format = nitro::kPal16, old.width = old.height = 32;
  old.data.assign(512, 0);
  nitro::Replacement out;
  std::string error;
  ASSERT_TRUE(
      nitro::encodeReplacement(old, nitro::kPal16, image, {{0x1234, 0x0001}, true}, 1, out, error));
  EXPECT_EQ(out.fate, nitro::PaletteFate::kQuantised);
  EXPECT_TRUE(out.texture.transparent0);
  EXPECT_EQ(out.palette.size(), 16u);
  std::vector<uint8_t> back(image.rgba.size());
  nitro::decode(out.texture.texels(), out.palette, back.data());
  double error2 = 0, shown = 0;
  for (size_t i = 0; i < back.size(); i += 4) {
    ASSERT_EQ(back[i + 3] >= 128, image.rgba[i + 3] >= 128);
    if (image.rgba[i + 3] < 128) continue;
    ++shown;
    for (int c = 0; c < 3; ++c)
      error2 += std::pow(back[i + size_t(c)] - image.rgba[i + size_t(c)], 2);
  }
  EXPECT_GT(10 * std::log10(255.0 * 255.0 * 3 * shown / error2), 28);
}

TEST(NitroCodec, BudgetsOf4x4Palettes) {
  nitro::Stored was;
  was.format = nitro::kTex4x4, was.width = was.height = 128;
  EXPECT_EQ(nitro::budget4x4(was, 512, 128, 128), 512);
  EXPECT_EQ(nitro::budget4x4(was, 512, 64, 64), 512);
  EXPECT_EQ(nitro::budget4x4(was, 500, 256, 128), 1000);
  EXPECT_EQ(nitro::budget4x4(was, 501, 256, 128), 1008);
  was.format = nitro::kPal16;
  EXPECT_EQ(nitro::budget4x4(was, 16, 256, 256), 1536);
  EXPECT_EQ(nitro::budget4x4(was, 16, 64, 64), 512);
  EXPECT_EQ(nitro::budget4x4(was, 16, 128, 128), 1024);
  EXPECT_EQ(nitro::budget4x4(was, 16, 8, 8), 64);
}

// Against a palette that stays, each block takes the window and mode of
// least error: checked by trying every one with the reference decoder.
TEST(NitroCodec, FixedPalette4x4BlocksTakeTheBestWindow) {
  Random r(6);
  const std::vector<uint16_t> palette = masked(r.colours(11));
  glaze::Image image = pictures::gameArt(16, 16, 9);
  for (int i = 0; i < 12; ++i) image.rgba[size_t(4 * r.below(256) + 3)] = 0;  // transparent texels
  const nitro::Tex4x4 t = nitro::encode4x4Fixed(image, palette, 2);
  ASSERT_TRUE(t.palette == palette);
  auto blockError = [&](const std::vector<uint8_t>& rgba, int bx, int by, bool& bad) {
    double e = 0;
    bad = false;
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x) {
        const size_t i = 4 * (size_t(4 * by + y) * 16 + size_t(4 * bx + x));
        if (image.rgba[i + 3] < 128) {
          bad = bad || rgba[i + 3] != 0;
          continue;
        }
        bad = bad || rgba[i + 3] != 255;
        for (int c = 0; c < 3; ++c)
          e += std::pow(double(rgba[i + size_t(c)]) - image.rgba[i + size_t(c)], 2);
      }
    return e;
  };
  uint64_t missing = 0;
  const auto got = nitroref::decode(5, 16, 16, false, t.texels, t.index, palette, &missing);
  EXPECT_EQ(missing, 0u);
  for (int by = 0; by < 4; ++by)
    for (int bx = 0; bx < 4; ++bx) {
      bool bad;
      const double ours = blockError(got, bx, by, bad);
      EXPECT_FALSE(bad) << bx << "," << by;
      // Every window, mode and (for the block alone) best codes.
      double best = INFINITY;
      for (int a = 0; a < 6; ++a)
        for (int mode = 0; mode < 4; ++mode) {
          std::vector<uint8_t> index = {uint8_t(a), uint8_t(mode << 6)};
          // Each texel at its best code: try the 4 codes of a one-texel block.
          double e = 0;
          bool possible = true;
          for (int y = 0; y < 4 && possible; ++y)
            for (int x = 0; x < 4; ++x) {
              const size_t i = 4 * (size_t(4 * by + y) * 16 + size_t(4 * bx + x));
              const bool clear = image.rgba[i + 3] < 128;
              double texel = INFINITY;
              for (int code = 0; code < 4; ++code) {
                const std::vector<uint8_t> word = {uint8_t(code), 0, 0, 0};
                uint64_t past = 0;
                const auto one = nitroref::decode(5, 4, 4, false, word, index, palette, &past);
                if (past > 0) continue;
                if (clear != (one[3] == 0)) continue;
                double d = 0;
                for (int c = 0; c < 3 && !clear; ++c)
                  d += std::pow(double(one[size_t(c)]) - image.rgba[i + size_t(c)], 2);
                texel = std::min(texel, d);
              }
              if (texel == INFINITY) possible = false;
              e += texel;
            }
          if (possible) best = std::min(best, e);
        }
      EXPECT_EQ(ours, best) << "block " << bx << "," << by;
    }
}

// Two flat colours per block, few distinct pairs: the encoder finds them
// exactly, and transparency lands where the image has it.
TEST(NitroCodec, Made4x4PalettesReproduceFewColoursExactly) {
  const uint16_t pairs[4][2] = {
      {0x001F, 0x7C00}, {0x03E0, 0x0000}, {0x7FFF, 0x1234}, {0x4210, 0x5AD6}};
  glaze::Image image(32, 32);
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {
      const int block = (y / 4) * 8 + x / 4;
      const uint16_t c = pairs[block % 4][(x + y + block) % 2];
      uint8_t* p = image.at(x, y);
      nitro::widenRgb555(c, p);
      p[3] = block % 7 == 3 && x % 4 == 0 ? 0 : 255;
    }
  const nitro::Tex4x4 t = nitro::encode4x4(image, 16, 1);
  EXPECT_LE(t.palette.size(), 16u);
  uint64_t missing = 0;
  const auto back = nitroref::decode(5, 32, 32, false, t.texels, t.index, t.palette, &missing);
  EXPECT_EQ(missing, 0u);
  for (size_t i = 0; i < back.size(); i += 4) {
    if (image.rgba[i + 3] == 0)
      ASSERT_EQ(back[i + 3], 0) << i / 4;
    else
      ASSERT_EQ(std::memcmp(&back[i], &image.rgba[i], 4), 0) << "texel " << i / 4;
  }
}

TEST(NitroCodec, TheQuantiserKeepsFewColoursAndSpendsNoMore) {
  std::vector<nitro::WeightedColour> colours;
  for (int k = 0; k < 5; ++k)
    for (int n = 0; n < 10 + k; ++n) {
      const uint8_t v = uint8_t(k * 60);
      colours.push_back({{v, uint8_t(255 - v), 33}, 1});
    }
  std::vector<uint16_t> palette = nitro::quantise(colours, 16);
  EXPECT_EQ(palette.size(), 5u);
  for (const auto& c : colours)
    EXPECT_NE(std::find(palette.begin(), palette.end(), nitro::rgb555(c.rgb)), palette.end());
  palette = nitro::quantise(colours, 3);
  EXPECT_EQ(palette.size(), 3u);
}
