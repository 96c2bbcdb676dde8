// Mip levels: a 2x2 box per level with alpha-weighted colour (a transparent
// texel's colour does not bleed into its neighbours), kept in floating point
// from level to level; for cut-out textures each level's alpha is scaled so
// that as many texels pass the alpha test (128) as in level 0 (Castaño,
// "Computing Alpha Mipmaps"), equal values told apart so that the share
// holds on every level. I4 and I8, whose intensity is their alpha, take a
// plain box of the intensity.
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

// The level as 8-bit RGBA, with other alpha values when `alphas` holds
// them.
Image toImage(const Level& level, const std::vector<float>* alphas = nullptr) {
  Image image(level.width, level.height);
  for (size_t i = 0; i < level.texels.size(); i += 4) {
    const float a = level.texels[i + 3];
    for (int ch = 0; ch < 3; ++ch)
      image.rgba[i + size_t(ch)] = a > 0 ? toByte(level.texels[i + size_t(ch)] * 255 / a) : 0;
    image.rgba[i + 3] = toByte(alphas ? (*alphas)[i / 4] : a);
  }
  return image;
}

// For a cut-out: the alpha of each texel scaled so that as many texels
// as `share` of them pass the alpha test (128), nearest to the count.
// Texels of equal alpha are told apart by the alpha around them (their 3x3
// neighbourhood), then by an ordered dither of their place, so that a level
// of many equal values (thin blades over a 2x2 box are all 1/4, 1/2 or 3/4)
// still gets its share instead of jumping past it.
std::vector<float> keptCoverage(const Level& level, double share) {
  const int w = level.width, h = level.height;
  const size_t n = size_t(w) * size_t(h);
  auto alpha = [&](int x, int y) {
    return level.texels[(size_t(y) * size_t(w) + size_t(x)) * 4 + 3];
  };
  size_t wanted = size_t(std::lround(share * double(n)));
  size_t visible = 0;
  for (size_t i = 0; i < n; ++i) visible += level.texels[i * 4 + 3] > 0;
  // A texel of no alpha has no colour to show.
  wanted = std::min(wanted, visible);
  struct Rank {
    float alpha, around;
    int dither;
    size_t texel;
  };
  std::vector<Rank> ranks(n);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float around = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
          around += alpha(std::clamp(x + dx, 0, w - 1), std::clamp(y + dy, 0, h - 1));
      // A 4x4 ordered dither (Bayer), by bit reversal of interleaved bits.
      const int bx = x & 3, by = y & 3, v = bx ^ by;
      const int dither = (v & 1) << 3 | (by & 1) << 2 | (v & 2) | (by & 2) >> 1;
      const size_t i = size_t(y) * size_t(w) + size_t(x);
      ranks[i] = {alpha(x, y), around, dither, i};
    }
  std::sort(ranks.begin(), ranks.end(), [](const Rank& a, const Rank& b) {
    if (a.alpha != b.alpha) return a.alpha > b.alpha;
    if (a.around != b.around) return a.around > b.around;
    if (a.dither != b.dither) return a.dither < b.dither;
    return a.texel < b.texel;
  });
  // The scale puts the test between the last texel that passes and the
  // first that does not; equal ones either side are then set just above
  // or below it.
  float scale = 1;
  if (wanted > 0) {
    const float last = ranks[wanted - 1].alpha;
    const float next = wanted < n ? ranks[wanted].alpha : 0;
    scale = last > next ? 255 / (last + next) : 127.5f / last;
  } else if (!ranks.empty() && ranks[0].alpha > 0) {
    scale = std::min(1.0f, 127.0f / ranks[0].alpha);
  }
  std::vector<float> kept(n);
  for (size_t r = 0; r < n; ++r) {
    const float scaled = std::min(255.0f, ranks[r].alpha * scale);
    kept[ranks[r].texel] = r < wanted ? std::max(scaled, 128.0f) : std::min(scaled, 127.0f);
  }
  return kept;
}

}  // namespace

MipFilter mipFilterFor(const FormatInfo& format) {
  return format.id == kI4 || format.id == kI8 ? MipFilter::kIntensity : MipFilter::kColour;
}

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

std::vector<Image> makeMipChain(const Image& base, int levels, MipFilter filter) {
  std::vector<Image> chain{base};
  if (levels <= 1) return chain;
  if (filter == MipFilter::kIntensity) {
    // The value that I4 and I8 store, which the console shows as alpha too:
    // a plain box of it, since weighting by alpha would weight the
    // intensity by itself.
    Level level{base.width, base.height, std::vector<float>(base.rgba.size())};
    for (size_t i = 0; i < base.rgba.size(); i += 4) {
      const float grey = float(greyOf(base.rgba[i], base.rgba[i + 1], base.rgba[i + 2]));
      for (int ch = 0; ch < 4; ++ch) level.texels[i + size_t(ch)] = grey;
    }
    for (int k = 1; k < levels; ++k) {
      level = halve(level);
      Image image(level.width, level.height);
      for (size_t i = 0; i < level.texels.size(); ++i) image.rgba[i] = toByte(level.texels[i]);
      chain.push_back(std::move(image));
    }
    return chain;
  }
  const bool cutOut = isCutOut(base);
  size_t pass0 = 0;
  for (size_t i = 3; i < base.rgba.size(); i += 4) pass0 += base.rgba[i] >= 128;
  const double share = double(pass0) / double(base.rgba.size() / 4);
  Level level = fromImage(base);
  for (int k = 1; k < levels; ++k) {
    level = halve(level);
    if (cutOut) {
      const std::vector<float> alphas = keptCoverage(level, share);
      chain.push_back(toImage(level, &alphas));
    } else {
      chain.push_back(toImage(level));
    }
  }
  return chain;
}

}  // namespace glaze
