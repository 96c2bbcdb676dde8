// The example courses: simple shapes laid out like a racing course.
#include "course.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

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

// The quad a b cc d, wound so that its solid side faces the point `toward`.
void quadFacing(Course& c, uint32_t a, uint32_t b, uint32_t cc, uint32_t d, uint32_t m,
                Point toward) {
  const Point& p = c.vertices[a];
  const Point& q = c.vertices[b];
  const Point& r = c.vertices[cc];
  const double u[3] = {q.x - p.x, q.y - p.y, q.z - p.z}, v[3] = {r.x - p.x, r.y - p.y, r.z - p.z};
  const double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                       u[0] * v[1] - u[1] * v[0]};
  const double side = n[0] * (toward.x - p.x) + n[1] * (toward.y - p.y) + n[2] * (toward.z - p.z);
  if (side >= 0) {
    c.quad(a, b, cc, d, m);
  } else {
    c.quad(a, d, cc, b, m);
  }
}

// The side of a box from (x0, z0) to (x1, z1) between heights y0 and y1,
// facing `toward`.
void wallFacing(Course& c, double x0, double z0, double x1, double z1, double y0, double y1,
                uint32_t m, Point toward) {
  quadFacing(c, c.vertex(x0, y0, z0), c.vertex(x1, y0, z1), c.vertex(x1, y1, z1),
             c.vertex(x0, y1, z0), m, toward);
}

// A square pillar of `half` x 2 units around (x, z) from y0 to y1, facing
// out, in pieces at most 500 high.
void pillar(Course& c, double x, double z, double half, double y0, double y1, uint32_t m) {
  const double corners[5][2] = {{x - half, z - half},
                                {x + half, z - half},
                                {x + half, z + half},
                                {x - half, z + half},
                                {x - half, z - half}};
  for (double bottom = y0; bottom < y1; bottom += 500) {
    const double top = std::min(y1, bottom + 500);
    for (int k = 0; k < 4; ++k) {
      const double mx = (corners[k][0] + corners[k + 1][0]) / 2,
                   mz = (corners[k][1] + corners[k + 1][1]) / 2;
      wallFacing(c, corners[k][0], corners[k][1], corners[k + 1][0], corners[k + 1][1], bottom, top,
                 m, {2 * mx - x, bottom, 2 * mz - z});
    }
  }
}

// A deck 1,000 wide on pillars from (x0, z0), `length` long along x (or z),
// at height deckY, its sides and underside facing out, pillars down to the
// water.
void bridge(Course& c, double x0, double z0, double length, bool alongX, double deckY,
            uint32_t deck, uint32_t wall) {
  const int pieces = static_cast<int>(length / 250);
  // u along the bridge, v across it.
  auto place = [&](double u, double v) {
    return alongX ? std::pair{x0 + u, z0 + v} : std::pair{x0 + v, z0 + u};
  };
  for (int i = 0; i < pieces; ++i) {
    const double u0 = length * i / pieces, u1 = length * (i + 1) / pieces;
    const auto [ax, az] = place(u0, -500);
    const auto [bx, bz] = place(u1, -500);
    const auto [cx, cz] = place(u1, 500);
    const auto [dx, dz] = place(u0, 500);
    for (const double y : {deckY, deckY - 80}) {
      quadFacing(c, c.vertex(ax, y, az), c.vertex(bx, y, bz), c.vertex(cx, y, cz),
                 c.vertex(dx, y, dz), deck, {ax, y == deckY ? y + 100 : y - 100, az});
    }
    const auto [mx, mz] = place(u0, 0);
    wallFacing(c, ax, az, bx, bz, deckY - 80, deckY, wall, {2 * ax - mx, deckY, 2 * az - mz});
    wallFacing(c, dx, dz, cx, cz, deckY - 80, deckY, wall, {2 * dx - mx, deckY, 2 * dz - mz});
  }
  for (int i = 0; i <= pieces; i += 4) {
    const auto [px, pz] = place(length * i / pieces, 0);
    pillar(c, px, pz, 80, -2600, deckY - 80, wall);
  }
}

// A rock: an icosahedron split twice (320 triangles) of about `radius`
// units around (x, y, z), its surface made uneven, facing outwards.
void rock(Course& c, double x, double y, double z, double radius, uint32_t seed, uint32_t m) {
  const double g = (1 + std::sqrt(5.0)) / 2;
  std::vector<Point> points = {{-1, g, 0}, {1, g, 0}, {-1, -g, 0}, {1, -g, 0},
                               {0, -1, g}, {0, 1, g}, {0, -1, -g}, {0, 1, -g},
                               {g, 0, -1}, {g, 0, 1}, {-g, 0, -1}, {-g, 0, 1}};
  std::vector<std::array<uint32_t, 3>> faces = {
      {0, 11, 5},  {0, 5, 1},  {0, 1, 7},  {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
      {11, 10, 2}, {10, 7, 6}, {7, 1, 8},  {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
      {3, 8, 9},   {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
  for (int round = 0; round < 2; ++round) {
    std::vector<std::array<uint32_t, 3>> split;
    std::vector<std::pair<uint64_t, uint32_t>> middles;
    auto middle = [&](uint32_t a, uint32_t b) {
      const uint64_t key = (uint64_t{std::min(a, b)} << 32) | std::max(a, b);
      for (const auto& [k, v] : middles) {
        if (k == key) return v;
      }
      const Point& p = points[a];
      const Point& q = points[b];
      points.push_back({(p.x + q.x) / 2, (p.y + q.y) / 2, (p.z + q.z) / 2});
      middles.emplace_back(key, static_cast<uint32_t>(points.size() - 1));
      return static_cast<uint32_t>(points.size() - 1);
    };
    for (const auto& f : faces) {
      const uint32_t ab = middle(f[0], f[1]), bc = middle(f[1], f[2]), ca = middle(f[2], f[0]);
      split.push_back({f[0], ab, ca});
      split.push_back({f[1], bc, ab});
      split.push_back({f[2], ca, bc});
      split.push_back({ab, bc, ca});
    }
    faces = split;
  }
  const uint32_t first = static_cast<uint32_t>(c.vertices.size());
  for (const Point& p : points) {
    const double l = std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
    // Unevenness: a few waves over the sphere, different for each rock.
    const double bump = 1 + 0.18 * std::sin(3.1 * p.x / l + seed) * std::cos(2.3 * p.z / l) +
                        0.08 * std::sin(7.0 * p.y / l + 2.0 * seed);
    const double r = radius * bump / l;
    c.vertex(x + p.x * r, y + p.y * r * 0.7, z + p.z * r);
  }
  // The icosahedron's faces turn counter-clockwise seen from outside.
  for (const auto& f : faces) c.triangle(first + f[0], first + f[1], first + f[2], m);
}

// A building of three storeys, 4,000 units square and 500 high each, around
// (x0, y0, z0): floors of 250-unit quads with a stairwell, outer walls,
// pillars and a ramp up through each floor, and a roof.
void building(Course& c, double x0, double y0, double z0, uint32_t floor, uint32_t wall,
              uint32_t ramp) {
  const int cells = 16;
  const double size = 4000, step = size / cells, storey = 500;
  for (int level = 0; level <= 3; ++level) {
    const double y = y0 + storey * level;
    const uint32_t first = static_cast<uint32_t>(c.vertices.size());
    for (int j = 0; j <= cells; ++j) {
      for (int i = 0; i <= cells; ++i) c.vertex(x0 + i * step, y, z0 + j * step);
    }
    auto at = [&](int i, int j) { return first + static_cast<uint32_t>(j * (cells + 1) + i); };
    for (int j = 0; j < cells; ++j) {
      for (int i = 0; i < cells; ++i) {
        // The stairwell: where the ramp comes up through the floor.
        if (level > 0 && level < 3 && j >= 6 && j < 10 && i >= 2 && i < 4) continue;
        c.quad(at(i, j), at(i, j + 1), at(i + 1, j + 1), at(i + 1, j), floor);
      }
    }
    if (level == 3) break;
    // Outer walls facing in, a quad per cell of each side, and pillars of
    // 120 units on a grid of 1,000.
    const Point inside{x0 + size / 2, y, z0 + size / 2};
    for (int i = 0; i < cells; ++i) {
      const double a = i * step, b = a + step;
      wallFacing(c, x0 + a, z0, x0 + b, z0, y, y + storey, wall, inside);
      wallFacing(c, x0 + a, z0 + size, x0 + b, z0 + size, y, y + storey, wall, inside);
      wallFacing(c, x0, z0 + a, x0, z0 + b, y, y + storey, wall, inside);
      wallFacing(c, x0 + size, z0 + a, x0 + size, z0 + b, y, y + storey, wall, inside);
    }
    for (int pj = 1; pj < 4; ++pj) {
      for (int pi = 1; pi < 4; ++pi)
        pillar(c, x0 + 1000 * pi, z0 + 1000 * pj, 60, y, y + storey, wall);
    }
    // A ramp from this floor to the next, through the stairwell: two
    // strips of 8 quads up along z.
    const uint32_t rampFirst = static_cast<uint32_t>(c.vertices.size());
    for (int j = 0; j <= 8; ++j) {
      for (int i = 0; i <= 2; ++i) {
        c.vertex(x0 + (2 + i) * step, y + storey * j / 8, z0 + (2 + j) * step);
      }
    }
    auto r = [&](int i, int j) { return rampFirst + static_cast<uint32_t>(j * 3 + i); };
    for (int j = 0; j < 8; ++j) {
      for (int i = 0; i < 2; ++i) c.quad(r(i, j), r(i, j + 1), r(i + 1, j + 1), r(i + 1, j), ramp);
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
  const uint32_t deck = c.material("bridge_0081");
  const uint32_t tunnel = c.material("tunnel_0030");
  const uint32_t water = c.material("water_0039");
  const uint32_t floor = c.material("floor_0000");
  const uint32_t ramp = c.material("ramp_1000");
  const uint32_t stone = c.material("rock_0004");

  // Terrain: 140 x 140 quads of about 286 units (39,200 triangles).
  grid(c, -20000, -20000, 40000, 140, terrain, terrainHeight);
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
        c.quad(previous[k], previous[k + 1], row[k + 1], row[k], m);
      }
      // Walls face the road.
      c.quad(previous[0], row[0], rightTop, prevRightTop, wall);
      c.quad(previous[4], prevLeftTop, leftTop, row[4], wall);
    }
    previous = row;
    prevLeftTop = leftTop;
    prevRightTop = rightTop;
  }

  // Two bridges: across the valley at x = -8000, and along x over the
  // hollow south of the loop.
  bridge(c, -8000, -1500, 7000, false, 400, deck, wall);
  bridge(c, -3500, 15500, 7000, true, 700, deck, wall);

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
        c.quad(a, b, cc, d, tunnel);
      }
    }
  }

  // A building of three storeys inside the loop.
  building(c, -2000, terrainHeight(0, 0) + 40, -2000, floor, wall, ramp);

  // Rocks of 350 to 900 units beside the road, half sunk into the ground.
  for (uint32_t i = 0; i < 28; ++i) {
    const double t = 2 * M_PI * (i + 0.37) / 28;
    const double side = i % 2 == 0 ? 1.0 : -1.0;
    const double cx = 12000 * std::cos(t) + 2500 * std::cos(3 * t);
    const double cz = 11000 * std::sin(t) + 2000 * std::sin(2 * t);
    const double x = cx * (1 + side * 0.12), z = cz * (1 + side * 0.12);
    const double radius = 350 + 550 * std::fmod(i * 0.618034, 1.0);
    rock(c, x, terrainHeight(x, z), z, radius, i, stone);
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
