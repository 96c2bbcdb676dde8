// kiln -t's check of an index against the games' search: wherever the
// sphere test is sure to hit a prism (inside its three edge planes, from
// just above the thickness under the face to just below the radius over
// it), the leaf the game searches must list the prism. The region is
// convex and a separating-axis test with every axis decides exactly
// whether it meets a cube, so a file whose index is right is never blamed.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "read.h"
#include "report.h"

namespace kiln {

namespace {

struct Interval {
  double min = HUGE_VAL, max = -HUGE_VAL;
};

class CoverageCheck {
 public:
  CoverageCheck(const KclFile& kcl, std::vector<std::string>& problems)
      : kcl_(kcl), problems_(problems), area_(kcl.area()) {}

  void run() {
    // A header without a radius says nothing of the spheres its index was
    // made for: then only the region under the face, which a sphere of any
    // radius hits, is held to it.
    const double t = kcl_.thickness(), r = kcl_.radiusStored() ? kcl_.radius() : 0;
    if (!(t > 0) || (kcl_.radiusStored() && !(r > 0))) return;  // the sphere test hits nothing
    // A hair inside the region and inside each cube: rounding of P - origin
    // and of the prism's numbers must not count against the file.
    const double inset = 1e-3 * std::max(t, r) + 1e-6;
    for (size_t k = 1; k <= kcl_.prismCount() && !stopped_; ++k) {
      const PrismPlanes p = kcl_.planes(k);
      const double levels[2] = {-t + inset, r - inset};
      Vec3 hull[6];
      for (int i = 0; i < 2; ++i) {
        hull[3 * i] = meet(p.a, p.edgeAC, 0, p.edgeAB, 0, p.face, levels[i]);
        hull[3 * i + 1] = meet(p.a, p.edgeAB, 0, p.edgeBC, p.height, p.face, levels[i]);
        hull[3 * i + 2] = meet(p.a, p.edgeAC, 0, p.edgeBC, p.height, p.face, levels[i]);
      }
      bool finiteHull = true;
      for (const Vec3& v : hull)
        finiteHull = finiteHull && finite(v) && std::fabs(v.x) < 1e15 && std::fabs(v.y) < 1e15 &&
                     std::fabs(v.z) < 1e15;
      if (!finiteHull) continue;  // planes that barely meet: no region to speak of
      checkPrism(k, p, hull);
    }
    if (missing_ > kShown) {
      problems_.push_back(std::to_string(missing_) +
                          " leaves in all lack a prism whose hit volume reaches into them");
    }
    if (outside_ > 1) {
      problems_.push_back(std::to_string(outside_) +
                          " prisms in all have hit volumes that reach outside the index area");
    }
  }

 private:
  static constexpr int kShown = 5;
  // Cube visits: far beyond what any game's file needs (a few per prism
  // and level), but bounded for a file of shared blocks many levels deep.
  uint64_t budget() const {
    return std::min<uint64_t>(50'000'000, 1'000'000 + 16 * uint64_t{kcl_.bytes().size()});
  }

  void checkPrism(size_t k, const PrismPlanes& p, const Vec3 hull[6]) {
    // The region's own relative coordinates, and the axes that decide
    // whether it meets a cube: the cube's three, the region's five face
    // normals (face, three edges) and the cross products of its six edge
    // directions with the cube's three.
    Vec3 v[6];
    for (int i = 0; i < 6; ++i) {
      v[i] = {hull[i].x - area_.origin[0], hull[i].y - area_.origin[1],
              hull[i].z - area_.origin[2]};
    }
    axes_.clear();
    const Vec3 faces[4] = {p.face, p.edgeAC, p.edgeAB, p.edgeBC};
    for (const Vec3& n : faces) addAxis(n, v);
    const Vec3 edges[6] = {v[1] - v[0], v[2] - v[1], v[0] - v[2],
                           v[3] - v[0], v[4] - v[1], v[5] - v[2]};
    for (const Vec3& e : edges) {
      addAxis({0, -e.z, e.y}, v);
      addAxis({e.z, 0, -e.x}, v);
      addAxis({-e.y, e.x, 0}, v);
    }
    for (int axis = 0; axis < 3; ++axis) {
      box_[axis] = Interval{};
      for (const Vec3& point : v) {
        box_[axis].min = std::min(box_[axis].min, point[axis]);
        box_[axis].max = std::max(box_[axis].max, point[axis]);
      }
    }
    // Outside the area the game tests nothing: the float games truncate
    // P - origin toward zero, so up to a unit below the origin still counts.
    const bool floats = !infoOf(kcl_.game()).fixedPoint;
    for (int axis = 0; axis < 3; ++axis) {
      const double width = std::ldexp(1.0, area_.bits[axis]);
      if (box_[axis].min < (floats ? -1.0 : 0.0) || box_[axis].max >= width) {
        if (outside_++ == 0) {
          problems_.push_back("prism " + std::to_string(k) +
                              ": its hit volume reaches outside the index area, where the game "
                              "tests nothing");
        }
        break;
      }
    }
    // The root cubes the region's bounds reach, then down the tree.
    const int s = area_.shift;
    int64_t from[3], to[3], n[3];
    for (int axis = 0; axis < 3; ++axis) {
      // Clamped while still a double: a hostile origin can put the region
      // any distance from the area.
      n[axis] = int64_t{1} << (area_.bits[axis] - s);
      const double last = static_cast<double>(n[axis] - 1), edge = std::ldexp(1.0, s);
      from[axis] = static_cast<int64_t>(std::clamp(std::floor(box_[axis].min / edge), 0.0, last));
      to[axis] = static_cast<int64_t>(std::clamp(std::floor(box_[axis].max / edge), 0.0, last));
    }
    for (int64_t z = from[2]; z <= to[2]; ++z) {
      for (int64_t y = from[1]; y <= to[1]; ++y) {
        for (int64_t x = from[0]; x <= to[0]; ++x) {
          const int64_t cube[3] = {x << s, y << s, z << s};
          if (!meets(cube, s)) continue;
          const uint64_t index =
              (static_cast<uint64_t>(z) << (area_.bits[0] - s + area_.bits[1] - s)) |
              (static_cast<uint64_t>(y) << (area_.bits[0] - s)) | static_cast<uint64_t>(x);
          descend(k, kcl_.indexOffset(), kcl_.indexOffset() + 4 * index, cube, s);
        }
      }
    }
  }

  void addAxis(Vec3 a, const Vec3 v[6]) {
    const double l = length(a);
    if (!(l > 1e-12)) return;  // parallel edges: the face normals cover them
    a = a * (1 / l);
    Axis axis{a, {}};
    for (int i = 0; i < 6; ++i) {
      const double d = dot(a, v[i]);
      axis.region.min = std::min(axis.region.min, d);
      axis.region.max = std::max(axis.region.max, d);
    }
    axes_.push_back(axis);
  }

  // Does the region meet the cube (lowest corner, edge 2^bits), shrunk by
  // a hair?
  bool meets(const int64_t cube[3], int bits) const {
    const double edge = std::ldexp(1.0, bits);
    const double shrink = std::min(edge / 4, 1.0 / 16);
    const double half = edge / 2 - shrink;
    double centre[3];
    for (int axis = 0; axis < 3; ++axis) {
      centre[axis] = static_cast<double>(cube[axis]) + edge / 2;
      if (box_[axis].min > centre[axis] + half || box_[axis].max < centre[axis] - half)
        return false;
    }
    for (const Axis& a : axes_) {
      const double c =
          a.direction.x * centre[0] + a.direction.y * centre[1] + a.direction.z * centre[2];
      const double reach =
          half * (std::fabs(a.direction.x) + std::fabs(a.direction.y) + std::fabs(a.direction.z));
      if (a.region.min > c + reach || a.region.max < c - reach) return false;
    }
    return true;
  }

  void descend(size_t k, size_t block, size_t keyAt, const int64_t cube[3], int bits) {
    if (++visits_ > budget()) {
      if (!stopped_) {
        problems_.push_back(
            "the index is too deep to check every prism against it (stopped after " +
            std::to_string(budget()) + " cubes)");
      }
      stopped_ = true;
      return;
    }
    const uint32_t key = word(keyAt);
    if (key & 0x80000000u) {
      if (listed(block + (key & 0x7FFFFFFFu) + 2, static_cast<uint16_t>(k))) return;
      if (missing_++ < kShown) {
        const double edge = std::ldexp(1.0, bits);
        char text[256];
        std::snprintf(
            text, sizeof text,
            "prism %zu is missing from the leaf of the cube at (%g, %g, %g), %g units wide, "
            "which its hit volume reaches (index key at 0x%zX)",
            k, area_.origin[0] + static_cast<double>(cube[0]),
            area_.origin[1] + static_cast<double>(cube[1]),
            area_.origin[2] + static_cast<double>(cube[2]), edge, keyAt);
        problems_.push_back(text);
      }
      return;
    }
    const size_t child = block + key;
    const int64_t step = int64_t{1} << (bits - 1);
    for (int i = 0; i < 8 && !stopped_; ++i) {
      const int64_t sub[3] = {cube[0] + (i & 1) * step, cube[1] + ((i >> 1) & 1) * step,
                              cube[2] + (i >> 2) * step};
      if (meets(sub, bits - 1))
        descend(k, child, child + 4 * static_cast<size_t>(i), sub, bits - 1);
    }
  }

  uint32_t word(size_t at) const {
    const uint8_t* b = kcl_.bytes().data() + at;
    return infoOf(kcl_.game()).bigEndian
               ? (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3]
               : uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) |
                     (uint32_t{b[3]} << 24);
  }

  // Is prism k in the list at `at`? Long lists are searched sorted, once.
  bool listed(size_t at, uint16_t k) {
    auto [it, added] = sorted_.try_emplace(at);
    std::vector<uint16_t>& list = it->second;
    if (added) {
      const bool big = infoOf(kcl_.game()).bigEndian;
      for (const uint8_t* b = kcl_.bytes().data() + at;; b += 2) {
        const uint16_t value = static_cast<uint16_t>(big ? (b[0] << 8) | b[1] : b[0] | (b[1] << 8));
        if (value == 0) break;
        list.push_back(value);
      }
      std::sort(list.begin(), list.end());
    }
    return std::binary_search(list.begin(), list.end(), k);
  }

  struct Axis {
    Vec3 direction;
    Interval region;
  };

  const KclFile& kcl_;
  std::vector<std::string>& problems_;
  const IndexArea& area_;
  std::vector<Axis> axes_;
  Interval box_[3];
  std::unordered_map<size_t, std::vector<uint16_t>> sorted_;
  uint64_t visits_ = 0;
  bool stopped_ = false;
  size_t missing_ = 0, outside_ = 0;
};

}  // namespace

void checkIndexCoverage(const KclFile& kcl, std::vector<std::string>& problems) {
  CoverageCheck(kcl, problems).run();
}

}  // namespace kiln
