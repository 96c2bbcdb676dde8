// glaze's texture codecs against the reference decoder and the format's
// rules: decoding, nearest-value encoding, palettes, CMPR, mip levels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>

#include "gx/gx.h"
#include "mip_quality.h"
#include "pictures.h"
#include "reference.h"

namespace {

using glaze::Image;

constexpr int kFormats[] = {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 14};
const std::pair<int, int> kSizes[] = {{40, 20}, {1, 1}, {13, 7}, {8, 8}, {64, 4}, {3, 33}};

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(n);
  for (uint8_t& b : bytes) b = uint8_t(random());
  return bytes;
}

Image randomImage(int w, int h, uint32_t seed, bool alpha = true) {
  Image image(w, h);
  image.rgba = randomBytes(image.rgba.size(), seed);
  if (!alpha)
    for (size_t i = 3; i < image.rgba.size(); i += 4) image.rgba[i] = 255;
  return image;
}

std::vector<uint8_t> decode(int format, const Image& shape, const glaze::Encoded& encoded,
                            size_t at = 0) {
  std::vector<uint8_t> out(shape.rgba.size());
  glaze::decodeLevel(*glaze::formatInfo(format), shape.width, shape.height,
                     encoded.data.data() + at, &encoded.palette, out.data());
  return out;
}

int squared(const uint8_t* a, const uint8_t* b) {
  int e = 0;
  for (int c = 0; c < 4; ++c) e += (a[c] - b[c]) * (a[c] - b[c]);
  return e;
}

double psnrRgb(const Image& a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.rgba.size(); ++i)
    if (i % 4 != 3) sum += (a.rgba[i] - b[i]) * (a.rgba[i] - b[i]);
  const double mse = sum / double(a.rgba.size() / 4 * 3);
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255 / mse);
}

}  // namespace

TEST(GlazeCodec, EveryFormatDecodesAsTheReference) {
  for (int format : kFormats)
    for (const auto& [w, h] : kSizes)
      for (int paletteFormat = 0; paletteFormat < 3; ++paletteFormat) {
        const glaze::FormatInfo& f = *glaze::formatInfo(format);
        if (f.maxEntries == 0 && paletteFormat > 0) continue;
        ASSERT_EQ(glaze::levelBytes(f, w, h), reference::levelBytes(format, w, h));
        const auto data = randomBytes(glaze::levelBytes(f, w, h), uint32_t(format * 100 + w));
        // Palettes shorter than the indices reach: those texels are (0,0,0,0).
        const auto entries = randomBytes(f.maxEntries > 256 ? 600 : 2 * (f.maxEntries * 3 / 4), 9);
        std::vector<uint16_t> palette;
        for (size_t i = 0; i + 1 < entries.size(); i += 2)
          palette.push_back(uint16_t(entries[i] << 8 | entries[i + 1]));
        glaze::Palette p{glaze::PaletteFormat(paletteFormat), palette};
        std::vector<uint8_t> ours(size_t(w) * size_t(h) * 4);
        const uint64_t past = glaze::decodeLevel(f, w, h, data.data(), &p, ours.data());
        const auto expected = reference::decode(format, w, h, data.data(), palette, paletteFormat);
        ASSERT_EQ(ours, expected) << f.name << " " << w << "x" << h << " palette " << paletteFormat;
        if (f.maxEntries > 0) {
          uint64_t zero = 0;
          for (size_t i = 0; i < expected.size(); i += 4)
            zero += expected[i] == 0 && expected[i + 3] == 0;
          EXPECT_LE(past, zero);
          EXPECT_GT(past + (w * h < 8 ? 1 : 0), 0u) << f.name;
        } else {
          EXPECT_EQ(past, 0u);
        }
      }
}

TEST(GlazeCodec, CmprCasesOfTheFormat) {
  auto sub = [](uint16_t c0, uint16_t c1) {
    uint8_t p[4][4];
    glaze::cmprPalette(c0, c1, p);
    return std::vector<int>{p[0][0], p[1][0], p[2][0], p[3][0], p[2][3], p[3][3]};
  };
  // 3/8 and 5/8 blends, truncated (a PC decoder says 170 and 85).
  EXPECT_EQ(sub(0xFFFF, 0x0000), (std::vector<int>{255, 0, 159, 95, 255, 255}));
  // Three colours: the average rounded down, index 3 the same colour with alpha 0.
  EXPECT_EQ(sub(0x0000, 0xFFFF), (std::vector<int>{0, 255, 127, 127, 255, 0}));
  uint8_t p[4][4];
  glaze::cmprPalette(0x0821, 0xF7DE, p);
  EXPECT_EQ(std::vector<int>(p[0], p[0] + 3), (std::vector<int>{8, 4, 8}));
  EXPECT_EQ(std::vector<int>(p[1], p[1] + 3), (std::vector<int>{247, 251, 247}));
  EXPECT_EQ(std::vector<int>(p[2], p[2] + 3), (std::vector<int>{127, 127, 127}));
  // Equal colours are the three-colour mode.
  EXPECT_EQ(sub(0x1234, 0x1234)[5], 0);
}

TEST(GlazeCodec, WideningAndNearestCodes) {
  EXPECT_EQ(glaze::widen3(3), 109);
  EXPECT_EQ(glaze::widen5(1), 8);
  EXPECT_EQ(glaze::widen6(1), 4);
  // Nearest after widening, not truncation: 29 is code 4 (33), not 3 (24).
  EXPECT_EQ(glaze::nearest5(29), 4);
  for (int x = 0; x < 256; ++x) {
    using Nearest = int (*)(int);
    for (auto [bits, nearest] : {std::pair<int, Nearest>{3, glaze::nearest3},
                                 {4, glaze::nearest4},
                                 {5, glaze::nearest5},
                                 {6, glaze::nearest6}}) {
      int best = 1 << 30;
      for (int c = 0; c < (1 << bits); ++c) {
        // Widening written out: the bits repeated from the top.
        int v = 0;
        for (int have = 0; have < 8; have += bits) v = v << bits | c;
        v >>= (8 + bits - 1) / bits * bits - 8;
        best = std::min(best, std::abs(v - x));
      }
      const int c = nearest(x);
      const int made = bits == 3   ? glaze::widen3(c)
                       : bits == 4 ? glaze::widen4(c)
                       : bits == 5 ? glaze::widen5(c)
                                   : glaze::widen6(c);
      ASSERT_EQ(std::abs(made - x), best) << bits << " bits, " << x;
    }
  }
}

TEST(GlazeCodec, DirectFormatsEncodeToTheNearestValue) {
  // Each texel's error must be the least any stored value of the format
  // gives (found by trying them all on the reference decoder).
  const Image image = randomImage(40, 20, 5);
  for (int format : {0, 1, 2, 3, 4, 5, 6}) {
    const glaze::FormatInfo& f = *glaze::formatInfo(format);
    const auto encoded = glaze::encodeTexture(f, glaze::kPalRGB5A3, {image});
    const auto decoded = decode(format, image, encoded);
    std::vector<std::vector<uint8_t>> values;  // every value one texel can decode to
    const int count = format == 0 ? 16 : format <= 2 ? 256 : format <= 5 ? 65536 : 0;
    for (int v = 0; v < count; ++v) {
      uint8_t c[4];
      if (format == 0) c[0] = c[1] = c[2] = c[3] = uint8_t(v * 17);
      if (format == 1) c[0] = c[1] = c[2] = c[3] = uint8_t(v);
      if (format == 2) c[0] = c[1] = c[2] = uint8_t((v & 15) * 17), c[3] = uint8_t((v >> 4) * 17);
      if (format == 3) reference::ia8(uint16_t(v), c);
      if (format == 4) reference::rgb565(uint16_t(v), c);
      if (format == 5) reference::rgb5a3(uint16_t(v), c);
      values.emplace_back(c, c + 4);
    }
    for (size_t i = 0; i < image.rgba.size(); i += 4) {
      uint8_t target[4];
      std::copy_n(&image.rgba[i], 4, target);
      if (f.grey) {
        // Grey formats take the luma; I4 and I8 show it as alpha too.
        const int g = glaze::greyOf(target[0], target[1], target[2]);
        target[0] = target[1] = target[2] = uint8_t(g);
        if (format <= 1) target[3] = uint8_t(g);
      }
      if (format == 4) target[3] = 255;
      if (format == 6) {
        ASSERT_EQ(squared(&decoded[i], target), 0);
        continue;
      }
      int best = 1 << 30;
      for (const auto& v : values) best = std::min(best, squared(v.data(), target));
      ASSERT_EQ(squared(&decoded[i], target), best) << f.name << " texel " << i / 4;
    }
  }
}

TEST(GlazeCodec, DecodedTexturesEncodeBackToTheSameTexels) {
  // Every format, partial tiles (40 x 20) and a chain down to 1 x 1.
  for (int format : kFormats)
    for (int paletteFormat = 0; paletteFormat < 3; ++paletteFormat) {
      const glaze::FormatInfo& f = *glaze::formatInfo(format);
      if (f.maxEntries == 0 && paletteFormat > 0) continue;
      for (const auto& [w, h, levels] : {std::tuple{40, 20, 1}, std::tuple{8, 4, 4}}) {
        // Texels the format can hold: decoded from random stored bytes.
        std::vector<Image> chain;
        glaze::Palette palette{glaze::PaletteFormat(paletteFormat), {}};
        const auto entries = randomBytes(2 * size_t(std::min(f.maxEntries, 200)), 3);
        for (size_t i = 0; i + 1 < entries.size(); i += 2)
          palette.entries.push_back(uint16_t(entries[i] << 8 | entries[i + 1]));
        for (int k = 0; k < levels; ++k) {
          Image level(glaze::levelSide(w, k), glaze::levelSide(h, k));
          auto data =
              randomBytes(glaze::levelBytes(f, level.width, level.height), uint32_t(k + format));
          if (f.maxEntries > 0)  // indices inside the palette
            for (size_t i = 0; i < data.size(); ++i)
              data[i] = uint8_t(format == 8   ? (data[i] % 10) * 17
                                : format == 9 ? data[i] % 200
                                : i % 2 == 0  ? 0
                                              : data[i] % 200);
          glaze::decodeLevel(f, level.width, level.height, data.data(), &palette,
                             level.rgba.data());
          chain.push_back(level);
        }
        const auto encoded = glaze::encodeTexture(f, glaze::PaletteFormat(paletteFormat), chain);
        ASSERT_EQ(encoded.data.size(), glaze::chainBytes(f, w, h, levels));
        size_t at = 0;
        for (const Image& level : chain) {
          const auto back =
              reference::decode(format, level.width, level.height, encoded.data.data() + at,
                                encoded.palette.entries, paletteFormat);
          if (format == 14) {
            // CMPR: blocks of four-colour texels need not come back, but
            // a level that is one or two colours per block does below.
            EXPECT_GT(psnrRgb(level, back), 20) << w << "x" << h;
          } else {
            ASSERT_EQ(back, level.rgba) << f.name << " palette " << paletteFormat << " level "
                                        << level.width << "x" << level.height;
          }
          at += glaze::levelBytes(f, level.width, level.height);
        }
      }
    }
}

TEST(GlazeCodec, PalettesExactWhenFewColoursAndQuantisedOtherwise) {
  // Twelve colours: an exact palette of twelve entries.
  Image few(40, 20);
  for (size_t i = 0; i < few.rgba.size(); i += 4) {
    const int c = int(i / 4 % 12);
    uint8_t rgba[4] = {uint8_t(c * 20), uint8_t(255 - c * 10), uint8_t(c * 7), 255};
    std::copy_n(rgba, 4, &few.rgba[i]);
  }
  for (int paletteFormat : {1, 2}) {
    const auto encoded =
        glaze::encodeTexture(*glaze::formatInfo(8), glaze::PaletteFormat(paletteFormat), {few});
    EXPECT_EQ(encoded.palette.entries.size(), 12u);
    const auto back = decode(8, few, encoded);
    for (size_t i = 0; i < back.size(); i += 4) {
      const uint16_t v = paletteFormat == 1 ? glaze::encodeRGB565(&few.rgba[i])
                                            : glaze::encodeRGB5A3(&few.rgba[i]);
      uint8_t expected[4];
      glaze::decodePaletteEntry(glaze::PaletteFormat(paletteFormat), v, expected);
      ASSERT_EQ(squared(&back[i], expected), 0);
    }
  }
  // A photograph: C14X2 holds its 473 colours exactly (each the nearest
  // RGB565 value); C8 and C4 quantise to 256 and 16 entries, C8 close to
  // the exact result.
  const Image photo = pictures::photo(64, 64, 3);
  double quality[3];
  for (int i = 0; i < 3; ++i) {
    const glaze::FormatInfo& f = *glaze::formatInfo(8 + i);
    const auto encoded = glaze::encodeTexture(f, glaze::kPalRGB565, {photo});
    EXPECT_LE(encoded.palette.entries.size(), size_t(f.maxEntries));
    quality[i] = psnrRgb(photo, decode(f.id, photo, encoded));
  }
  std::vector<uint8_t> nearest(photo.rgba.size());
  for (size_t i = 0; i < photo.rgba.size(); i += 4)
    reference::rgb565(glaze::encodeRGB565(&photo.rgba[i]), &nearest[i]);
  EXPECT_DOUBLE_EQ(quality[2], psnrRgb(photo, nearest));
  EXPECT_GT(quality[1], quality[0] + 3);
  EXPECT_GT(quality[1], quality[2] - 1);
}

TEST(GlazeCodec, CmprBlocks) {
  // Transparent texels through index 3 of the three-colour mode.
  Image image = pictures::photo(16, 8, 4);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; ++x)
      if ((x + y) % 3 == 0) image.at(x, y)[3] = uint8_t(x * 8);
  const auto encoded = glaze::encodeTexture(*glaze::formatInfo(14), glaze::kPalRGB5A3, {image});
  const auto back = reference::decode(14, 16, 8, encoded.data.data());
  for (size_t i = 3; i < back.size(); i += 4)
    ASSERT_EQ(back[i], image.rgba[i] < 128 ? 0 : 255) << "texel " << i / 4;

  // One colour per block: the pair of end points whose blend comes nearest,
  // exact for many colours that RGB565 alone cannot hold.
  std::mt19937 random(7);
  int exact = 0;
  for (int trial = 0; trial < 200; ++trial) {
    uint8_t texels[16][4];
    const uint8_t c[4] = {uint8_t(random()), uint8_t(random()), uint8_t(random()), 255};
    for (auto& t : texels) std::copy_n(c, 4, t);
    uint8_t block[8];
    glaze::encodeCmprBlock(texels, 0xFFFF, block);
    uint8_t p[4][4];
    glaze::cmprPalette(uint16_t(block[0] << 8 | block[1]), uint16_t(block[2] << 8 | block[3]), p);
    const int index = block[4] >> 6;
    int error = 0;
    for (int ch = 0; ch < 3; ++ch) error = std::max(error, std::abs(p[index][ch] - c[ch]));
    EXPECT_LE(error, 2);
    exact += error == 0;
    for (int row = 0; row < 4; ++row) EXPECT_EQ(block[4 + row], block[4]);
  }
  EXPECT_GT(exact, 100);

  // Two colours that RGB565 holds come back exactly; texels past the edge
  // (valid bits clear) do not count.
  uint8_t texels[16][4] = {};
  for (int i = 0; i < 16; ++i) {
    const uint8_t v = i % 2 ? 255 : 0;
    texels[i][0] = texels[i][1] = texels[i][2] = v, texels[i][3] = 255;
  }
  texels[15][0] = 77;
  uint8_t block[8];
  glaze::encodeCmprBlock(texels, 0x7FFF, block);
  uint8_t p[4][4];
  glaze::cmprPalette(uint16_t(block[0] << 8 | block[1]), uint16_t(block[2] << 8 | block[3]), p);
  for (int i = 0; i < 15; ++i) {
    const int index = (block[4 + i / 4] >> (6 - 2 * (i % 4))) & 3;
    ASSERT_EQ(p[index][0], texels[i][0]);
    ASSERT_EQ(p[index][3], 255);
  }

  // Photographs and art come out well (the benchmark compares with other
  // encoders).
  const Image photo = pictures::photo(64, 64, 9), art = pictures::gameArt(64, 64, 9);
  for (const Image* picture : {&photo, &art}) {
    const auto e = glaze::encodeTexture(*glaze::formatInfo(14), glaze::kPalRGB5A3, {*picture}, 2);
    EXPECT_GT(psnrRgb(*picture, reference::decode(14, 64, 64, e.data.data())), 28);
  }
}

TEST(GlazeCodec, MipLevels) {
  // A checker becomes its average; sides stop at 1.
  Image checker(8, 2);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 8; ++x) {
      uint8_t* p = checker.at(x, y);
      p[0] = p[1] = p[2] = (x + y) % 2 ? 200 : 100;
      p[3] = 255;
    }
  const auto chain = glaze::makeMipChain(checker, 4);
  ASSERT_EQ(chain.size(), 4u);
  EXPECT_EQ(chain[1].width, 4);
  EXPECT_EQ(chain[1].height, 1);
  EXPECT_EQ(chain[3].width, 1);
  for (size_t i = 0; i < chain[1].rgba.size(); i += 4) EXPECT_EQ(chain[1].rgba[i], 150);

  // The colour of transparent texels does not bleed into the level below.
  Image edge(2, 2);
  for (int i = 0; i < 4; ++i) {
    uint8_t* p = &edge.rgba[size_t(i) * 4];
    p[0] = i == 0 ? 255 : 0, p[1] = 0, p[2] = i == 0 ? 0 : 255, p[3] = i == 0 ? 255 : 0;
  }
  const auto two = glaze::makeMipChain(edge, 2);
  EXPECT_EQ(two[1].rgba[0], 255);
  EXPECT_EQ(two[1].rgba[2], 0);

  // A cut-out keeps the share of texels that pass the alpha test, level by
  // level, where a plain box lets thin stems fade.
  const Image leaves = pictures::cutOut(128, 128, 2);
  ASSERT_TRUE(glaze::isCutOut(leaves));
  EXPECT_FALSE(glaze::isCutOut(pictures::photo(16, 16, 1)));
  auto share = [](const Image& image) {
    size_t pass = 0;
    for (size_t i = 3; i < image.rgba.size(); i += 4) pass += image.rgba[i] >= 128;
    return double(pass) / double(image.rgba.size() / 4);
  };
  const auto levels = glaze::makeMipChain(leaves, 8);
  const double base = share(leaves);
  ASSERT_GT(base, 0.05);
  for (size_t k = 1; k + 2 < levels.size(); ++k)
    EXPECT_NEAR(share(levels[k]), base, 1.5 / double(levels[k].rgba.size() / 4) + 0.02)
        << "level " << k;
}

TEST(GlazeCodec, MipLevelsAsGoodAsAToolsWithinOneDecibel) {
  // Levels made as tools make them (plain boxes, rounded level by level)
  // and glaze's, both encoded and measured against boxes of the image; for
  // I4 and I8 a plain box of the intensity, which glaze's filter must not
  // weight by itself. Palette texels keep their side of the alpha test.
  struct Case {
    Image image;
    int format, paletteFormat;
  };
  Image grey = pictures::photo(64, 64, 3);
  for (size_t i = 0; i < grey.rgba.size(); i += 4)
    grey.rgba[i] = grey.rgba[i + 1] = grey.rgba[i + 2] =
        uint8_t(glaze::greyOf(grey.rgba[i], grey.rgba[i + 1], grey.rgba[i + 2]));
  const Case cases[] = {{pictures::photo(64, 64, 1), 14, 0},
                        {pictures::grass(64, 64, 2), 14, 0},
                        {pictures::grass(64, 64, 2), 5, 0},
                        {pictures::grass(64, 64, 2), 8, 2},
                        {pictures::cutOut(64, 64, 4), 9, 0},
                        {grey, 1, 0},
                        {grey, 0, 0},
                        {pictures::gameArt(64, 64, 5), 2, 0}};
  for (const Case& c : cases) {
    const glaze::FormatInfo& f = *glaze::formatInfo(c.format);
    const bool intensity = c.format == 0 || c.format == 1;
    const auto palette = glaze::PaletteFormat(c.paletteFormat);
    const auto tool =
        glaze::encodeTexture(f, palette, mipquality::toolChain(c.image, 5, intensity));
    const auto ours =
        glaze::encodeTexture(f, palette, glaze::makeMipChain(c.image, 5, glaze::mipFilterFor(f)));
    const auto reference = mipquality::referenceChain(c.image, 5, intensity);
    mipquality::Error own, made;
    size_t at = 0;
    for (int k = 0; k < 5; ++k) {
      const Image& level = reference[size_t(k)];
      if (k > 0) {
        own.add(level, decode(c.format, level, tool, at));
        made.add(level, decode(c.format, level, ours, at));
        if (glaze::isCutOut(c.image) && level.width >= 8) {
          const double kept = mipquality::passingShare(decode(c.format, level, ours, at)) /
                              mipquality::passingShare(c.image.rgba);
          EXPECT_GE(kept, 0.8) << "format " << c.format << ", level " << k;
          EXPECT_LE(kept, 1.5) << "format " << c.format << ", level " << k;
        }
      }
      at += glaze::levelBytes(f, level.width, level.height);
    }
    EXPECT_GE(made.psnr(), own.psnr() - 1) << "format " << c.format;
    if (c.format == 1) {
      EXPECT_GE(made.psnr(), 45) << "I8";
    }
  }
}

TEST(GlazeCodec, CmprBlocksThatAreADecodeComeBackAsOne) {
  // Any stored block, decoded, encodes to a block that decodes alike: both
  // modes, blocks using some indices only, transparent texels (whose colour
  // is the average too), and partly valid blocks at a level's edge.
  std::mt19937 random(7);
  int failures = 0;
  for (int n = 0; n < 20000 && failures < 5; ++n) {
    uint8_t block[8];
    for (uint8_t& b : block) b = uint8_t(random());
    if (n % 4 == 0) block[0] = block[2], block[1] = block[3];  // equal end points
    const int used = 1 + int(random() % 4);                    // indices 0 .. used-1 or others
    const int offset = int(random() % 4);
    for (int row = 0; row < 4; ++row) {
      uint8_t byte = 0;
      for (int col = 0; col < 4; ++col)
        byte = uint8_t(byte << 2 | (offset + int(random() % uint32_t(used))) % 4);
      block[4 + row] = byte;
    }
    uint8_t palette[4][4], texels[16][4];
    glaze::cmprPalette(uint16_t(block[0] << 8 | block[1]), uint16_t(block[2] << 8 | block[3]),
                       palette);
    for (int i = 0; i < 16; ++i)
      std::copy_n(palette[(block[4 + i / 4] >> (6 - 2 * (i % 4))) & 3], 4, texels[i]);
    const uint16_t valid = n % 5 == 0 ? uint16_t(random()) : 0xFFFF;
    uint8_t out[8], again[4][4];
    glaze::encodeCmprBlock(texels, valid, out);
    glaze::cmprPalette(uint16_t(out[0] << 8 | out[1]), uint16_t(out[2] << 8 | out[3]), again);
    for (int i = 0; i < 16; ++i) {
      if (!(valid >> i & 1)) continue;
      const uint8_t* back = again[(out[4 + i / 4] >> (6 - 2 * (i % 4))) & 3];
      if (!std::equal(back, back + 4, texels[i])) {
        ADD_FAILURE() << "block " << n << ", texel " << i;
        ++failures;
        break;
      }
    }
  }
}
