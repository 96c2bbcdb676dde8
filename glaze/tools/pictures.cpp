#include "pictures.h"

#include <algorithm>
#include <cmath>

namespace pictures {

namespace {

struct Random {
  uint32_t state;
  uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  float unit() { return float(next() & 0xFFFFFF) / float(0x1000000); }
};

uint32_t hash(int x, int y, uint32_t seed) {
  uint32_t h = uint32_t(x) * 374761393u + uint32_t(y) * 668265263u + seed * 2246822519u;
  h = (h ^ (h >> 13)) * 1274126177u;
  return h ^ (h >> 16);
}

float lattice(int x, int y, uint32_t seed) { return float(hash(x, y, seed) & 0xFFFF) / 65535.0f; }

// Smooth value noise in 0..1.
float valueNoise(float x, float y, uint32_t seed) {
  const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
  float fx = x - float(x0), fy = y - float(y0);
  fx = fx * fx * (3 - 2 * fx);
  fy = fy * fy * (3 - 2 * fy);
  const float a = lattice(x0, y0, seed), b = lattice(x0 + 1, y0, seed);
  const float c = lattice(x0, y0 + 1, seed), d = lattice(x0 + 1, y0 + 1, seed);
  return (a + (b - a) * fx) * (1 - fy) + (c + (d - c) * fx) * fy;
}

float fractal(float x, float y, uint32_t seed, int octaves) {
  float sum = 0, amplitude = 0.5f, scale = 1;
  for (int o = 0; o < octaves; ++o) {
    sum += amplitude * valueNoise(x * scale, y * scale, seed + uint32_t(o) * 101u);
    amplitude *= 0.5f;
    scale *= 2;
  }
  return sum;
}

uint8_t byte(float v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); }

void set(glaze::Image& image, int x, int y, float r, float g, float b, float a = 255) {
  uint8_t* p = image.at(x, y);
  p[0] = byte(r), p[1] = byte(g), p[2] = byte(b), p[3] = byte(a);
}

}  // namespace

glaze::Image photo(int width, int height, uint32_t seed) {
  glaze::Image image(width, height);
  Random grain{seed * 7919u + 1};
  const float scale = 6.0f / float(std::max(width, height));
  const float horizon = 0.35f + 0.2f * lattice(1, 2, seed);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const float u = float(x) * scale, v = float(y) * scale;
      const float ny = float(y) / float(height);
      const float ridge = horizon + 0.12f * (fractal(u * 0.7f, 0, seed + 5, 5) - 0.5f);
      float r, g, b;
      if (ny < ridge) {
        // Sky with clouds.
        const float cloud = std::max(0.0f, fractal(u * 1.5f, v * 3, seed + 9, 6) - 0.45f) * 2.2f;
        r = 90 + 100 * ny + 150 * cloud;
        g = 140 + 80 * ny + 140 * cloud;
        b = 220 + 20 * ny + 30 * cloud;
      } else {
        // Ground: fields and rocks, shaded by a height field.
        const float h = fractal(u, v, seed, 7);
        const float shade = 0.6f + 0.8f * (fractal(u + 0.05f, v, seed, 7) - h) * 12;
        const float field = valueNoise(u * 0.8f, v * 0.8f, seed + 3);
        r = (60 + 120 * h + 60 * field) * shade;
        g = (80 + 110 * h - 30 * field) * shade;
        b = (40 + 60 * h) * shade;
        // Sharp-edged houses and a road.
        const int cell = std::max(8, width / 16);
        if (hash(x / cell, y / cell, seed) % 11 == 0 && (x % cell) > cell / 5 &&
            (y % cell) > cell / 4) {
          const bool roof = (y % cell) < cell / 2;
          r = roof ? 150 : 210, g = roof ? 50 : 200, b = roof ? 40 : 185;
        }
        if (std::abs(x - width / 2 - int(float(y) * 0.3f)) < std::max(2, width / 80))
          r = 95, g = 92, b = 90;
      }
      const float n = (grain.unit() - 0.5f) * 10;
      set(image, x, y, r + n, g + n, b + n);
    }
  return image;
}

glaze::Image gameArt(int width, int height, uint32_t seed) {
  glaze::Image image(width, height);
  static const float kColours[][3] = {{214, 64, 52},  {245, 190, 60},  {70, 160, 72},
                                      {52, 110, 200}, {240, 240, 230}, {150, 90, 170},
                                      {250, 140, 40}, {60, 200, 210}};
  const int tile = std::max(8, width / 8);
  Random random{seed + 17};
  // Discs placed at random.
  struct Disc {
    float x, y, r;
    int colour;
  };
  Disc discs[12];
  for (Disc& d : discs)
    d = {random.unit() * float(width), random.unit() * float(height),
         (0.04f + 0.1f * random.unit()) * float(width), int(random.next() % 8)};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const int tx = x / tile, ty = y / tile;
      const int kind = int(hash(tx, ty, seed) % 4);
      const float* c = kColours[hash(tx, ty, seed + 1) % 8];
      float r = c[0], g = c[1], b = c[2];
      const float fx = float(x % tile) / float(tile), fy = float(y % tile) / float(tile);
      if (kind == 1 && (x / std::max(2, tile / 8) + y / std::max(2, tile / 8)) % 2) {
        r *= 0.75f, g *= 0.75f, b *= 0.75f;  // stripes
      } else if (kind == 2) {
        const float t = 0.55f + 0.45f * fy;  // gradient
        r *= t, g *= t, b *= t;
      } else if (kind == 3 && std::abs(fx - 0.5f) < 0.08f && fy > 0.2f && fy < 0.8f) {
        r = g = b = 250;  // a glyph-like bar
      }
      for (const Disc& d : discs) {
        const float dx = float(x) - d.x, dy = float(y) - d.y, dist = std::sqrt(dx * dx + dy * dy);
        if (dist < d.r) {
          const float* dc = kColours[d.colour];
          const float light = 1.1f - 0.4f * dist / d.r;
          r = dc[0] * light, g = dc[1] * light, b = dc[2] * light;
        }
        if (std::fabs(dist - d.r) < 1.5f) r = g = b = 20;  // outline
      }
      if (x % tile == 0 || y % tile == 0) r = g = b = 30;  // tile borders
      set(image, x, y, r, g, b);
    }
  return image;
}

glaze::Image cutOut(int width, int height, uint32_t seed) {
  glaze::Image image(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) set(image, x, y, 40, 90, 30, 0);
  Random random{seed + 3};
  // Thin stems, one texel wide, and leaves along them.
  for (int stem = 0; stem < 6; ++stem) {
    float x = random.unit() * float(width);
    const float drift = (random.unit() - 0.5f) * 0.6f;
    for (int y = height - 1; y >= height / 6; --y) {
      x += drift + (random.unit() - 0.5f) * 0.4f;
      const int ix = std::clamp(int(x), 0, width - 1);
      set(image, ix, y, 70, 110, 40);
      if (y % std::max(4, height / 10) == 0) {
        const int size = std::max(2, width / 20);
        for (int dy = -size; dy <= size; ++dy)
          for (int dx = -2 * size; dx <= 2 * size; ++dx) {
            const int lx = ix + dx, ly = y + dy;
            if (lx < 0 || ly < 0 || lx >= width || ly >= height) continue;
            if (float(dx * dx) / 4 + float(dy * dy) <= float(size * size))
              set(image, lx, ly, 60 + 40 * random.unit(), 140 + 60 * random.unit(), 50);
          }
      }
    }
  }
  return image;
}

glaze::Image grass(int width, int height, uint32_t seed) {
  glaze::Image image(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) set(image, x, y, 50, 80, 20, 0);
  Random random{seed + 7};
  // Enough blades to cover about a third of the sprite.
  const int blades = std::max(4, width * 2 / 5);
  for (int blade = 0; blade < blades; ++blade) {
    float x = random.unit() * float(width);
    const float lean = (random.unit() - 0.5f) * 1.2f;
    const int wide = 1 + int(random.next() % 2);
    const int top = int(float(height) * (0.05f + 0.5f * random.unit()));
    const float shade = random.unit();
    for (int y = height - 1; y >= top; --y) {
      // Thinner towards the tip.
      const int w = y < top + (height - top) / 4 ? 1 : wide;
      for (int dx = 0; dx < w; ++dx) {
        const int ix = int(std::floor(x)) + dx;
        if (ix >= 0 && ix < width)
          set(image, ix, y, 60 + 50 * shade, 120 + 90 * shade, 30 + 20 * random.unit());
      }
      x += lean * float(y - top) / float(height);
    }
  }
  return image;
}

}  // namespace pictures
