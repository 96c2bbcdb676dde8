// Draws the calculators' window icon, a chequered flag on a pole over a
// rounded tile, and saves it as a 64 x 64 PNG: make_icon <out.png>.
// Every pixel is averaged from 4 x 4 samples so that the edges are smooth.
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace {

constexpr int size = 64;
constexpr int samples = 4;

struct Colour {
  double r, g, b, a;
};

// Inside a square of side 60 centred in the icon with corners of radius 12.
bool in_tile(double x, double y) {
  double dx = std::max(std::fabs(x - 32.0) - 18.0, 0.0);
  double dy = std::max(std::fabs(y - 32.0) - 18.0, 0.0);
  return dx * dx + dy * dy <= 12.0 * 12.0;
}

// The colour of the drawing at one sample point.
Colour paint(double x, double y) {
  Colour c{0, 0, 0, 0};
  if (!in_tile(x, y)) return c;
  // Tile: a deep blue that lightens towards the bottom, with a grey road band.
  c = {0.10, 0.22 + 0.002 * y, 0.45 + 0.003 * y, 1};
  if (y > 46 && y < 56) c = {0.35, 0.37, 0.40, 1};
  if (y > 50.5 && y < 51.5 && std::fmod(x, 8.0) < 4.0) c = {0.95, 0.85, 0.25, 1};
  // Pole.
  if (x >= 15 && x <= 18 && y >= 8 && y <= 52) c = {0.90, 0.90, 0.92, 1};
  // Flag: 6 x 4 squares, bent by a wave that grows away from the pole.
  double u = (x - 18.0) / 34.0;  // 0 at the pole, 1 at the free edge
  if (u >= 0 && u <= 1) {
    double wave = 3.0 * u * std::sin(u * 2.0 * std::numbers::pi);
    double v = (y - 10.0 - wave) / 24.0;  // 0 at the top, 1 at the bottom
    if (v >= 0 && v <= 1) {
      int column = std::min(5, static_cast<int>(u * 6));
      int row = std::min(3, static_cast<int>(v * 4));
      double shade = 0.85 + 0.15 * std::cos(u * 2.0 * std::numbers::pi);
      c = (column + row) % 2 ? Colour{0.08 * shade, 0.08 * shade, 0.10 * shade, 1}
                             : Colour{0.98 * shade, 0.98 * shade, 0.98 * shade, 1};
    }
  }
  return c;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icon <out.png>\n");
    return 1;
  }
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size);
  guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
  int stride = gdk_pixbuf_get_rowstride(pixbuf);
  for (int py = 0; py < size; ++py) {
    for (int px = 0; px < size; ++px) {
      // Average premultiplied colour over the samples of this pixel.
      double r = 0, g = 0, b = 0, a = 0;
      for (int sy = 0; sy < samples; ++sy) {
        for (int sx = 0; sx < samples; ++sx) {
          Colour c = paint(px + (sx + 0.5) / samples, py + (sy + 0.5) / samples);
          r += c.r * c.a;
          g += c.g * c.a;
          b += c.b * c.a;
          a += c.a;
        }
      }
      guchar* p = pixels + py * stride + px * 4;
      auto byte = [](double v) {
        return static_cast<guchar>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
      };
      p[0] = a > 0 ? byte(r / a) : 0;
      p[1] = a > 0 ? byte(g / a) : 0;
      p[2] = a > 0 ? byte(b / a) : 0;
      p[3] = byte(a / (samples * samples));
    }
  }
  GError* error = nullptr;
  bool saved = gdk_pixbuf_save(pixbuf, argv[1], "png", &error, nullptr);
  g_object_unref(pixbuf);
  if (!saved) {
    std::fprintf(stderr, "%s\n", error->message);
    g_error_free(error);
    return 1;
  }
  return 0;
}
