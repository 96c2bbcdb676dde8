#include "support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace kilntest {

course::Course soup(size_t triangles, double extent, uint64_t seed, course::Point centre) {
  Random random(seed);
  course::Course c;
  const uint32_t materials[3] = {c.material("a_0000"), c.material("b_0010"), c.material("c_1234")};
  for (size_t i = 0; i < triangles; ++i) {
    const double x = centre.x + random.between(-extent, extent);
    const double y = centre.y + random.between(-extent, extent);
    const double z = centre.z + random.between(-extent, extent);
    // Sizes from a unit to a tenth of the box, some of them slivers.
    const double size = std::pow(10, random.between(0, std::log10(extent / 5)));
    const double thin = random.uniform() < 0.2 ? random.between(0.02, 1) : 1;
    uint32_t corner[3];
    for (int k = 0; k < 3; ++k) {
      const double s = k == 2 ? size * thin : size;
      corner[k] =
          c.vertex(x + random.between(-s, s), y + random.between(-s, s), z + random.between(-s, s));
    }
    c.triangle(corner[0], corner[1], corner[2], materials[i % 3]);
  }
  return c;
}

std::vector<uint8_t> build(const course::Course& model, kiln::Game game,
                           std::vector<std::string>* warnings) {
  kiln::BuildOptions options;
  options.game = game;
  kiln::BuildResult result = kiln::buildKcl(kiln::readObj(course::toObj(model, "test")), options);
  if (warnings != nullptr) *warnings = result.warnings;
  return result.file;
}

namespace {

using reference::V;

V add(V a, V b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
V sub(V a, V b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
V scale(V a, double s) { return {a.x * s, a.y * s, a.z * s}; }
V unitOf(V a) { return scale(a, 1 / std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z)); }
V crossOf(V a, V b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

}  // namespace

Coverage coverage(const reference::File& file, int points, uint64_t seed) {
  Random random(seed);
  Coverage result;
  const double r = file.radius, t = file.thickness;
  // The smallest cube edge any index uses here is at least 1 unit: seams
  // lie on whole multiples of it from the origin.
  for (size_t k = 1; k <= file.prismCount; ++k) {
    const reference::File::Prism prism = file.prism(k);
    const V corners[3] = {prism.a, prism.b, prism.c};
    const V normal = unitOf(crossOf(sub(prism.b, prism.a), sub(prism.c, prism.a)));
    for (int i = 0; i < points; ++i) {
      // A point of the triangle: corners and edges now and then.
      double u = random.uniform(), v = random.uniform();
      if (u + v > 1) {
        u = 1 - u;
        v = 1 - v;
      }
      const int kind = i % 8;
      if (kind == 0) {
        u = i / 8 % 3 == 1;
        v = i / 8 % 3 == 2;
      } else if (kind == 1) {
        v = 0;
      } else if (kind == 2) {
        v = 1 - u;
      } else if (kind == 3) {
        u = 0;
      }
      V p = add(corners[0],
                add(scale(sub(corners[1], corners[0]), u), scale(sub(corners[2], corners[0]), v)));
      // Off the face: down to the thickness, up to the radius.
      const double height = i % 5 == 0 ? 0 : random.between(-t, r);
      p = add(p, scale(normal, height));
      // Off the edges and corners: anywhere within the radius.
      if (i % 3 != 0) {
        const V d = unitOf({random.between(-1, 1), random.between(-1, 1), random.between(-1, 1)});
        p = add(p, scale(d, random.between(0, r)));
      }
      // Onto a seam: a coordinate moved to a whole multiple of 16 units
      // from the origin, a hair either side.
      if (i % 4 == 1) {
        const int axis = static_cast<int>(random.next() % 3);
        double* c = axis == 0 ? &p.x : axis == 1 ? &p.y : &p.z;
        const double from = *c - file.origin[axis];
        *c = file.origin[axis] + std::round(from / 16) * 16 + random.between(-0.01, 0.01);
      }
      if (!reference::hits(prism, p, r, t)) continue;
      ++result.tested;
      bool outside = false;
      const std::vector<uint16_t> list = file.search(p, &outside);
      if (std::find(list.begin(), list.end(), static_cast<uint16_t>(k)) != list.end()) continue;
      if (result.missed++ == 0) {
        char text[256];
        std::snprintf(text, sizeof text, "prism %zu not found at (%.4f, %.4f, %.4f)%s", k, p.x, p.y,
                      p.z, outside ? ", outside the area" : "");
        result.firstMiss = text;
      }
    }
  }
  return result;
}

namespace {

V normalised(V a) { return unitOf(a); }
double dotOf(V a, V b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

class BigEndian {
 public:
  void u32(uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(v >> shift));
  }
  void u16(uint16_t v) {
    bytes.push_back(static_cast<uint8_t>(v >> 8));
    bytes.push_back(static_cast<uint8_t>(v));
  }
  void f32(double v) {
    const float f = static_cast<float>(v);
    uint32_t word;
    std::memcpy(&word, &f, 4);
    u32(word);
  }
  void vector(V v) {
    f32(v.x);
    f32(v.y);
    f32(v.z);
  }
  std::vector<uint8_t> bytes;
};

}  // namespace

std::vector<uint8_t> galaxyFile(const std::vector<Triangle>& triangles, double thickness,
                                double reach) {
  // The area: whole units, `reach` beyond the corners; root cubes of 2^s
  // units, two of them along x.
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (const Triangle& t : triangles) {
    for (const V& v : {t.a, t.b, t.c}) {
      const double c[3] = {v.x, v.y, v.z};
      for (int axis = 0; axis < 3; ++axis) {
        lo[axis] = std::min(lo[axis], c[axis]);
        hi[axis] = std::max(hi[axis], c[axis]);
      }
    }
  }
  double origin[3];
  uint32_t s = 1;
  for (int axis = 0; axis < 3; ++axis) {
    origin[axis] = std::floor(lo[axis] - reach - 1);
    const double width = hi[axis] + reach + 1 - origin[axis];
    while (std::ldexp(1.0, static_cast<int>(s) + (axis == 0 ? 1 : 0)) < width) ++s;
  }
  const uint32_t bits[3] = {s + 1, s, s};

  const uint32_t count = static_cast<uint32_t>(triangles.size());
  const uint32_t unused = 3;
  const uint32_t positions = 0x38, normals = positions + 12 * (count + unused);
  const uint32_t prisms = normals + 12 * 4 * count, index = prisms + 16 * count;
  BigEndian out;
  out.u32(positions);
  out.u32(normals);
  out.u32(prisms - 0x10);
  out.u32(index);
  out.f32(thickness);
  for (double o : origin) out.f32(o);
  for (uint32_t b : bits) out.u32(~((uint32_t{1} << b) - 1));
  out.u32(s);
  out.u32(bits[0] - s);
  out.u32(bits[0] - s + bits[1] - s);
  for (const Triangle& t : triangles) out.vector(t.a);
  for (uint32_t i = 0; i < unused; ++i) out.vector({1e4 + i, -1e4, 0.5 * i});
  std::vector<double> heights;
  for (const Triangle& t : triangles) {
    const V fn = normalised(crossOf(sub(t.b, t.a), sub(t.c, t.a)));
    const V en1 = normalised(crossOf(fn, sub(t.c, t.a)));
    const V en2 = normalised(crossOf(sub(t.b, t.a), fn));
    const V en3 = normalised(crossOf(fn, sub(t.b, t.c)));
    for (const V& n : {fn, en1, en2, en3}) out.vector(n);
    heights.push_back(dotOf(sub(t.b, t.a), en3));
  }
  for (uint32_t i = 0; i < count; ++i) {
    out.f32(heights[i]);
    out.u16(static_cast<uint16_t>(i));
    for (uint32_t n = 0; n < 4; ++n) out.u16(static_cast<uint16_t>(4 * i + n));
    out.u16(triangles[i].attribute);
  }
  // The root block (two keys), the first root's block of eight, then the
  // list: each key relative to its own block, a leaf's pointing 2 bytes
  // before its list's first entry.
  const uint32_t block = index + 8, list = block + 32;
  out.u32(8);
  out.u32(0x80000000u | (list - 2 - index));
  for (int i = 0; i < 8; ++i) out.u32(0x80000000u | (list - 2 - block));
  for (uint32_t k = 1; k <= count; ++k) out.u16(static_cast<uint16_t>(k));
  out.u16(0);
  return out.bytes;
}

}  // namespace kilntest
