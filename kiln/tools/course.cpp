// The example courses: simple shapes laid out like a racing course.
#include "course.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace course {

uint32_t Course::material(const std::string& name) {
  for (uint32_t i = 0; i < materials.size(); ++i) {
    if (materials[i] == name) return i;
  }
  materials.push_back(name);
  return static_cast<uint32_t>(materials.size() - 1);
}

uint32_t Course::vertex(double x, double y, double z) {
  vertices.push_back({x, y, z});
  return static_cast<uint32_t>(vertices.size() - 1);
}

namespace {

// Rolling hills: a few waves and two bumps.
double terrainHeight(double x, double z) {
  return 600 * std::sin(x / 3100) * std::cos(z / 2700) + 260 * std::sin((x + 2 * z) / 1300) +
         1400 * std::exp(-((x - 9000) * (x - 9000) + (z + 6000) * (z + 6000)) / 2.0e7) -
         900 * std::exp(-((x + 8000) * (x + 8000) + (z - 2000) * (z - 2000)) / 1.5e7);
}

// A grid of cells x cells quads over [x0, x0 + size] x [z0, z0 + size],
// facing up, each vertex at height(x, z).
template <typename Height>
void grid(Course& c, double x0, double z0, double size, int cells, uint32_t m, Height height) {
  const uint32_t first = static_cast<uint32_t>(c.vertices.size());
  const double step = size / cells;
  for (int j = 0; j <= cells; ++j) {
    for (int i = 0; i <= cells; ++i) {
      const double x = x0 + i * step, z = z0 + j * step;
      c.vertex(x, height(x, z), z);
    }
  }
  auto at = [&](int i, int j) { return first + static_cast<uint32_t>(j * (cells + 1) + i); };
  for (int j = 0; j < cells; ++j) {
    for (int i = 0; i < cells; ++i) {
      // Seen from above (+y) with x right and z down the quad turns
      // clockwise, so this order makes (B - A) x (C - A) point up.
      c.quad(at(i, j), at(i, j + 1), at(i + 1, j + 1), at(i + 1, j), m);
    }
  }
}

}  // namespace

Course gameCourse() {
  Course c;
  const uint32_t terrain = c.material("terrain_0005");
  const uint32_t road = c.material("road_0000");
  const uint32_t boost = c.material("boost_0008");
  const uint32_t wall = c.material("wall_0010");
  const uint32_t bridge = c.material("bridge_0081");
  const uint32_t tunnel = c.material("tunnel_0030");
  const uint32_t water = c.material("water_0039");

  // Terrain: 161 x 161 quads of about 250 units (51,842 triangles).
  grid(c, -20000, -20000, 40000, 161, terrain, terrainHeight);
  // Water far below the valleys: 16 x 16 quads.
  grid(c, -20000, -20000, 40000, 16, water, [](double, double) { return -2600.0; });

  // The road: a closed loop 30 units above the ground, 1,200 wide, four
  // strips across, with walls 300 high on both sides (every 25th segment a
  // boost pad).
  const int segments = 600;
  const double width = 1200;
  std::vector<uint32_t> previous;
  uint32_t prevLeftTop = 0, prevRightTop = 0;
  for (int s = 0; s <= segments; ++s) {
    const double t = 2 * M_PI * (s % segments) / segments;
    const double cx = 12000 * std::cos(t) + 2500 * std::cos(3 * t);
    const double cz = 11000 * std::sin(t) + 2000 * std::sin(2 * t);
    const double dx = -12000 * std::sin(t) - 7500 * std::sin(3 * t);
    const double dz = 11000 * std::cos(t) + 4000 * std::cos(2 * t);
    const double len = std::hypot(dx, dz);
    const double nx = -dz / len, nz = dx / len;  // to the left of the direction of travel
    std::vector<uint32_t> row;
    const double y = terrainHeight(cx, cz) + 30;
    for (int k = 0; k <= 4; ++k) {
      const double w = -width / 2 + width * k / 4;
      row.push_back(c.vertex(cx + nx * w, y, cz + nz * w));
    }
    const uint32_t leftTop = c.vertex(cx + nx * width / 2, y + 300, cz + nz * width / 2);
    const uint32_t rightTop = c.vertex(cx - nx * width / 2, y + 300, cz - nz * width / 2);
    if (s > 0) {
      const uint32_t m = s % 25 == 0 ? boost : road;
      for (int k = 0; k < 4; ++k) {
        // Travel goes from previous to row; +w is to the left: this order
        // faces up.
        c.quad(previous[k], row[k], row[k + 1], previous[k + 1], m);
      }
      // Walls face the road.
      c.quad(previous[0], prevRightTop, rightTop, row[0], wall);
      c.quad(previous[4], row[4], leftTop, prevLeftTop, wall);
    }
    previous = row;
    prevLeftTop = leftTop;
    prevRightTop = rightTop;
  }

  // A bridge across the valley at x = -8000: a deck 7,000 long, 1,000
  // wide, at height 400, with railings and pillars down to the water.
  {
    const int pieces = 28;
    const double x0 = -8000, z0 = -1500, deckY = 400;
    std::vector<uint32_t> top, bottom;
    for (int i = 0; i <= pieces; ++i) {
      const double z = z0 + 7000.0 * i / pieces;
      for (double x : {x0 - 500, x0 + 500}) {
        top.push_back(c.vertex(x, deckY, z));
        bottom.push_back(c.vertex(x, deckY - 80, z));
      }
    }
    for (int i = 0; i < pieces; ++i) {
      const uint32_t a = static_cast<uint32_t>(2 * i), b = a + 1, cc = a + 2, d = a + 3;
      c.quad(top[a], top[cc], top[d], top[b], bridge);              // deck, up
      c.quad(bottom[a], bottom[b], bottom[d], bottom[cc], bridge);  // underside, down
      c.quad(top[a], bottom[a], bottom[cc], top[cc], wall);         // railing sides
      c.quad(top[b], top[d], bottom[d], bottom[b], wall);
    }
    for (int i = 0; i <= pieces; i += 4) {
      // A square pillar of 160 units under the middle of the deck.
      const double z = z0 + 7000.0 * i / pieces;
      const double corners[4][2] = {
          {x0 - 80, z - 80}, {x0 + 80, z - 80}, {x0 + 80, z + 80}, {x0 - 80, z + 80}};
      for (int k = 0; k < 4; ++k) {
        const double* p = corners[k];
        const double* q = corners[(k + 1) % 4];
        for (int level = 0; level < 6; ++level) {
          const double y0 = -2600 + 500.0 * level, y1 = std::min(deckY - 80, y0 + 500);
          c.quad(c.vertex(p[0], y0, p[1]), c.vertex(q[0], y0, q[1]), c.vertex(q[0], y1, q[1]),
                 c.vertex(p[0], y1, p[1]), wall);
        }
      }
    }
  }

  // A tunnel through the hill at (9000, -6000): a tube of radius 800 along
  // x, 10,000 long, 24 faces around and 100 rings, facing inwards.
  {
    const int around = 24, rings = 100;
    const double y0 = 1200, zc = -6000;
    std::vector<uint32_t> ring(static_cast<size_t>((rings + 1) * around));
    for (int i = 0; i <= rings; ++i) {
      const double x = 4000 + 10000.0 * i / rings;
      for (int k = 0; k < around; ++k) {
        const double a = 2 * M_PI * k / around;
        ring[static_cast<size_t>(i * around + k)] =
            c.vertex(x, y0 + 800 * std::sin(a), zc + 800 * std::cos(a));
      }
    }
    for (int i = 0; i < rings; ++i) {
      for (int k = 0; k < around; ++k) {
        const uint32_t a = ring[static_cast<size_t>(i * around + k)];
        const uint32_t b = ring[static_cast<size_t>(i * around + (k + 1) % around)];
        const uint32_t cc = ring[static_cast<size_t>((i + 1) * around + (k + 1) % around)];
        const uint32_t d = ring[static_cast<size_t>((i + 1) * around + k)];
        c.quad(a, d, cc, b, tunnel);
      }
    }
  }
  return c;
}

Course demoCourse() {
  Course c;
  const uint32_t grass = c.material("grass_0005");
  const uint32_t road = c.material("road_0000");
  const uint32_t boost = c.material("boost_0008");
  const uint32_t ramp = c.material("ramp_1000");
  const uint32_t wall = c.material("wall_0010");
  const uint32_t fall = c.material("fall_0019");
  // Gently rolling grass, 6,000 units square.
  grid(c, -3000, -3000, 6000, 12, grass,
       [](double x, double z) { return 40 * std::sin(x / 700) + 30 * std::cos(z / 900) - 100; });
  // A straight road over it, with a boost pad and a ramp at its end.
  grid(c, -600, -2800, 1200, 4, road, [](double, double) { return 0.0; });
  grid(c, -600, -1600, 1200, 4, road, [](double, double) { return 0.0; });
  grid(c, -300, -400, 600, 2, boost, [](double, double) { return 0.0; });
  grid(c, -600, 200, 1200, 4, road, [](double, double) { return 0.0; });
  grid(c, -600, 1400, 1200, 4, ramp, [](double, double z) { return (z - 1400) * 0.25; });
  // Walls along the road's sides, facing the road.
  for (double side : {-600.0, 600.0}) {
    for (int i = 0; i < 8; ++i) {
      const double z0 = -2800 + 600.0 * i, z1 = z0 + 600;
      const uint32_t a = c.vertex(side, 0, z0), b = c.vertex(side, 0, z1),
                     t1 = c.vertex(side, 250, z1), t0 = c.vertex(side, 250, z0);
      if (side < 0) {
        c.quad(a, b, t1, t0, wall);
      } else {
        c.quad(a, t0, t1, b, wall);
      }
    }
  }
  // Water to fall into below the ramp's end.
  grid(c, -3000, 2600, 6000, 3, fall, [](double, double) { return -400.0; });
  return c;
}

std::string toObj(const Course& course, const std::string& comment) {
  std::string text = "# " + comment + "\n";
  char line[160];
  for (const Point& p : course.vertices) {
    std::snprintf(line, sizeof line, "v %.4f %.4f %.4f\n", p.x, p.y, p.z);
    text += line;
  }
  for (uint32_t m = 0; m < course.materials.size(); ++m) {
    text += "usemtl " + course.materials[m] + "\n";
    for (const Course::Face& f : course.faces) {
      if (f.material != m) continue;
      std::snprintf(line, sizeof line, "f %u %u %u\n", f.corner[0] + 1, f.corner[1] + 1,
                    f.corner[2] + 1);
      text += line;
    }
  }
  return text;
}

}  // namespace course
