// Mip levels: a 2x2 box per level with alpha-weighted colour (a transparent
// texel's colour does not bleed into its neighbours), kept in floating point
// from level to level; for cut-out textures each level's alpha is scaled so
// that as many texels pass the alpha test (128) as in level 0 (Castaño,
// "Computing Alpha Mipmaps").
#include <algorithm>
#include <cmath>

#include "gx.h"

namespace glaze {

namespace {

// Premultiplied RGBA in 0..255.
struct Level {
  int width, height;
  std::vector<float> texels;
};

Level fromImage(const Image& image) {
  Level level{image.width, image.height, std::vector<float>(image.rgba.size())};
  for (size_t i = 0; i < image.rgba.size(); i += 4) {
    const float a = image.rgba[i + 3];
    for (int ch = 0; ch < 3; ++ch)
      level.texels[i + size_t(ch)] = image.rgba[i + size_t(ch)] * a / 255;
    level.texels[i + 3] = a;
  }
  return level;
}

Level halve(const Level& above) {
  Level level{std::max(1, above.width / 2), std::max(1, above.height / 2), {}};
  level.texels.resize(size_t(level.width) * size_t(level.height) * 4);
  const int sx = above.width > 1 ? 2 : 1, sy = above.height > 1 ? 2 : 1;
  const float share = 1.0f / float(sx * sy);
  for (int y = 0; y < level.height; ++y)
    for (int x = 0; x < level.width; ++x) {
      float sum[4] = {0, 0, 0, 0};
      for (int dy = 0; dy < sy; ++dy)
        for (int dx = 0; dx < sx; ++dx) {
          const float* t =
              &above.texels[(size_t(y * sy + dy) * size_t(above.width) + size_t(x * sx + dx)) * 4];
          for (int ch = 0; ch < 4; ++ch) sum[ch] += t[ch];
        }
      float* out = &level.texels[(size_t(y) * size_t(level.width) + size_t(x)) * 4];
      for (int ch = 0; ch < 4; ++ch) out[ch] = sum[ch] * share;
    }
  return level;
}

uint8_t toByte(float v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); }

// The level as 8-bit RGBA, alpha multiplied by alphaScale.
Image toImage(const Level& level, float alphaScale) {
  Image image(level.width, level.height);
  for (size_t i = 0; i < level.texels.size(); i += 4) {
    const float a = level.texels[i + 3];
    for (int ch = 0; ch < 3; ++ch)
      image.rgba[i + size_t(ch)] = a > 0 ? toByte(level.texels[i + size_t(ch)] * 255 / a) : 0;
    image.rgba[i + 3] = toByte(a * alphaScale);
  }
  return image;
}

size_t passing(const Level& level, float scale) {
  size_t n = 0;
  for (size_t i = 3; i < level.texels.size(); i += 4) n += toByte(level.texels[i] * scale) >= 128;
  return n;
}

// The alpha scale whose share of passing texels comes nearest to `share`.
float coverageScale(const Level& level, double share) {
  const double texels = double(level.texels.size() / 4);
  const double wanted = share * texels;
  if (std::fabs(double(passing(level, 1)) - wanted) <= 0.5) return 1;
  float low = 0, high = 64;
  for (int it = 0; it < 24; ++it) {
    const float mid = (low + high) / 2;
    if (double(passing(level, mid)) < wanted)
      low = mid;
    else
      high = mid;
  }
  // Of the two ends of the search, the one nearer the wanted count.
  const double below = std::fabs(double(passing(level, low)) - wanted);
  const double above = std::fabs(double(passing(level, high)) - wanted);
  return below < above ? low : high;
}

}  // namespace

bool isCutOut(const Image& image) {
  size_t total = 0, binary = 0, below = 0;
  for (size_t i = 3; i < image.rgba.size(); i += 4) {
    const int a = image.rgba[i];
    ++total;
    binary += a <= 16 || a >= 240;
    below += a < 128;
  }
  return below > 0 && binary * 100 >= total * 95;
}

std::vector<Image> makeMipChain(const Image& base, int levels) {
  std::vector<Image> chain{base};
  if (levels <= 1) return chain;
  const bool cutOut = isCutOut(base);
  size_t pass0 = 0;
  for (size_t i = 3; i < base.rgba.size(); i += 4) pass0 += base.rgba[i] >= 128;
  const double share = double(pass0) / double(base.rgba.size() / 4);
  Level level = fromImage(base);
  for (int k = 1; k < levels; ++k) {
    level = halve(level);
    chain.push_back(toImage(level, cutOut ? coverageScale(level, share) : 1.0f));
  }
  return chain;
}

}  // namespace glaze
