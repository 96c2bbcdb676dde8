#include "mip_quality.h"

#include <algorithm>
#include <cmath>

namespace mipquality {

namespace {

int grey(const uint8_t* p) {
  if (p[0] == p[1] && p[1] == p[2]) return p[0];
  return (77 * p[0] + 150 * p[1] + 29 * p[2] + 128) >> 8;
}

// The 2x2 (or 2x1) block of the level above that texel (x, y) covers.
template <typename F>
void block(int width, int height, int x, int y, F texel) {
  const int sx = width > 1 ? 2 : 1, sy = height > 1 ? 2 : 1;
  for (int dy = 0; dy < sy; ++dy)
    for (int dx = 0; dx < sx; ++dx) texel(x * sx + dx, y * sy + dy, sx * sy);
}

uint8_t byte(double v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); }

}  // namespace

std::vector<glaze::Image> referenceChain(const glaze::Image& image, int levels, bool intensity) {
  std::vector<glaze::Image> chain{image};
  // Premultiplied colour and alpha in doubles, level after level.
  int w = image.width, h = image.height;
  std::vector<double> level(image.rgba.size());
  for (size_t i = 0; i < image.rgba.size(); i += 4) {
    const double a = intensity ? grey(&image.rgba[i]) : image.rgba[i + 3];
    for (int ch = 0; ch < 3; ++ch)
      level[i + size_t(ch)] = intensity ? a : image.rgba[i + size_t(ch)] * a / 255;
    level[i + 3] = a;
  }
  for (int k = 1; k < levels; ++k) {
    const int nw = std::max(1, w / 2), nh = std::max(1, h / 2);
    std::vector<double> next(size_t(nw) * size_t(nh) * 4, 0);
    glaze::Image out(nw, nh);
    for (int y = 0; y < nh; ++y)
      for (int x = 0; x < nw; ++x) {
        double* t = &next[(size_t(y) * size_t(nw) + size_t(x)) * 4];
        block(w, h, x, y, [&](int ax, int ay, int n) {
          for (int ch = 0; ch < 4; ++ch)
            t[ch] += level[(size_t(ay) * size_t(w) + size_t(ax)) * 4 + size_t(ch)] / n;
        });
        uint8_t* o = out.at(x, y);
        for (int ch = 0; ch < 3; ++ch)
          o[ch] = intensity ? byte(t[ch]) : t[3] > 0 ? byte(t[ch] * 255 / t[3]) : 0;
        o[3] = byte(t[3]);
      }
    chain.push_back(std::move(out));
    level = std::move(next);
    w = nw, h = nh;
  }
  return chain;
}

std::vector<glaze::Image> toolChain(const glaze::Image& image, int levels, bool intensity) {
  std::vector<glaze::Image> chain{image};
  if (intensity)
    for (size_t i = 0; i < image.rgba.size(); i += 4)
      std::fill_n(&chain[0].rgba[i], 4, uint8_t(grey(&image.rgba[i])));
  for (int k = 1; k < levels; ++k) {
    const glaze::Image& above = chain.back();
    glaze::Image out(std::max(1, above.width / 2), std::max(1, above.height / 2));
    for (int y = 0; y < out.height; ++y)
      for (int x = 0; x < out.width; ++x) {
        double sum[4] = {0, 0, 0, 0};
        block(above.width, above.height, x, y, [&](int ax, int ay, int n) {
          for (int ch = 0; ch < 4; ++ch) sum[ch] += double(above.at(ax, ay)[ch]) / n;
        });
        for (int ch = 0; ch < 4; ++ch) out.at(x, y)[ch] = byte(sum[ch]);
      }
    chain.push_back(std::move(out));
  }
  chain[0] = image;
  return chain;
}

void Error::add(const glaze::Image& reference, const std::vector<uint8_t>& rgba) {
  for (size_t i = 0; i + 3 < reference.rgba.size() && i + 3 < rgba.size(); i += 4) {
    const double a = reference.rgba[i + 3] / 255.0;
    for (int ch = 0; ch < 3; ++ch) {
      const double d = double(reference.rgba[i + size_t(ch)]) - rgba[i + size_t(ch)];
      error += a * d * d;
    }
    const double d = double(reference.rgba[i + 3]) - rgba[i + 3];
    error += d * d;
    weight += 3 * a + 1;
  }
}

double Error::psnr() const {
  if (error <= 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * weight / error);
}

double psnr(const glaze::Image& reference, const std::vector<uint8_t>& rgba) {
  Error e;
  e.add(reference, rgba);
  return e.psnr();
}

double passingShare(const std::vector<uint8_t>& rgba) {
  size_t pass = 0;
  for (size_t i = 3; i < rgba.size(); i += 4) pass += rgba[i] >= 128;
  return rgba.empty() ? 0 : double(pass) / double(rgba.size() / 4);
}

}  // namespace mipquality
