// The spatial index: the area, the root grid, and cubes split into eight
// until their lists are short. A cube lists every prism whose hit volume
// reaches into it, tested exactly (a triangle against a box) so that lists
// stay short without ever missing a prism.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "index.h"

namespace kiln {

namespace {

// A whole number of units with thousands separated; beyond 10^15 in
// scientific form.
std::string units(double value) {
  if (!(value < 1e15)) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
  }
  return withCommas(static_cast<uint64_t>(value));
}

const char kAxisNames[] = "xyz";

struct Interval {
  double min = HUGE_VAL, max = -HUGE_VAL;
  void add(double v) {
    min = std::min(min, v);
    max = std::max(max, v);
  }
};

// One shape, made ready for many cube tests: coordinates counted from the
// area's origin, and the projections of its hull and of its triangle on
// the axes that can separate them from a cube.
struct Prepared {
  double lo[3], hi[3];  // bounds of the whole hit volume
  Interval hullBox[3], triBox[3];
  double radius;
  // The face and edge normals.
  struct Own {
    double a[3];
    Interval hull, tri;
    double l1, l2;
  } own[4];
  // (x, y, z) x (the triangle's edges and the face normal): the two
  // coefficients on the cube centre's other coordinates.
  struct Cross {
    double u, v;
    Interval hull, tri;
    double l1, l2;
  } cross[12];
};

void prepare(const HitShape& shape, const double origin[3], Prepared& p) {
  const Vec3 o{origin[0], origin[1], origin[2]};
  Vec3 corner[3], hull[6];
  for (int i = 0; i < 3; ++i) corner[i] = shape.corner[i] - o;
  for (int i = 0; i < 6; ++i) hull[i] = shape.hull[i] - o;
  p.radius = shape.radius;
  for (int axis = 0; axis < 3; ++axis) {
    for (const Vec3& v : corner) p.triBox[axis].add(v[axis]);
    for (const Vec3& v : hull) p.hullBox[axis].add(v[axis]);
    p.lo[axis] = std::min(p.hullBox[axis].min, p.triBox[axis].min - p.radius);
    p.hi[axis] = std::max(p.hullBox[axis].max, p.triBox[axis].max + p.radius);
  }
  auto fillIntervals = [&](Vec3 axis, Interval& h, Interval& t) {
    for (const Vec3& v : hull) h.add(dot(axis, v));
    for (const Vec3& v : corner) t.add(dot(axis, v));
  };
  for (int i = 0; i < 4; ++i) {
    const Vec3 a = shape.normals[i];
    Prepared::Own& own = p.own[i];
    own.a[0] = a.x;
    own.a[1] = a.y;
    own.a[2] = a.z;
    fillIntervals(a, own.hull, own.tri);
    own.l1 = std::fabs(a.x) + std::fabs(a.y) + std::fabs(a.z);
    own.l2 = length(a);
  }
  const Vec3 directions[4] = {corner[1] - corner[0], corner[2] - corner[1], corner[0] - corner[2],
                              shape.normals[0]};
  for (int d = 0; d < 4; ++d) {
    const Vec3 e = directions[d];
    // x cross e = (0, -ez, ey); y cross e = (ez, 0, -ex); z cross e = (-ey, ex, 0).
    const Vec3 axes[3] = {{0, -e.z, e.y}, {e.z, 0, -e.x}, {-e.y, e.x, 0}};
    for (int k = 0; k < 3; ++k) {
      Prepared::Cross& cross = p.cross[k * 4 + d];
      const Vec3 a = axes[k];
      cross.u = k == 0 ? a.y : a.x;
      cross.v = k == 2 ? a.y : a.z;
      fillIntervals(a, cross.hull, cross.tri);
      cross.l1 = std::fabs(a.x) + std::fabs(a.y) + std::fabs(a.z);
      cross.l2 = length(a);
    }
  }
}

inline bool apart(const Interval& shape, double centre, double reach) {
  return shape.min > centre + reach || shape.max < centre - reach;
}

// Does the hit volume meet the cube of centre c and half edge e (the
// cube's margin included)? Separating axes: any axis that separates proves
// the two apart, so testing fewer axes than an exact test would only lists
// more, never fewer.
bool meets(const Prepared& p, const double c[3], double e) {
  for (int axis = 0; axis < 3; ++axis) {
    if (p.lo[axis] > c[axis] + e || p.hi[axis] < c[axis] - e) return false;
  }
  double centreOwn[4], centreCross[12];
  for (int i = 0; i < 4; ++i) {
    centreOwn[i] = p.own[i].a[0] * c[0] + p.own[i].a[1] * c[1] + p.own[i].a[2] * c[2];
  }
  for (int k = 0; k < 3; ++k) {
    const double cu = k == 0 ? c[1] : c[0];
    const double cv = k == 2 ? c[1] : c[2];
    for (int d = 0; d < 4; ++d) {
      const Prepared::Cross& x = p.cross[k * 4 + d];
      centreCross[k * 4 + d] = x.u * cu + x.v * cv;
    }
  }
  // The region inside the edge planes, against the cube.
  bool hull = true;
  for (int axis = 0; axis < 3 && hull; ++axis) hull = !apart(p.hullBox[axis], c[axis], e);
  for (int i = 0; i < 4 && hull; ++i) hull = !apart(p.own[i].hull, centreOwn[i], e * p.own[i].l1);
  for (int i = 0; i < 12 && hull; ++i) {
    hull = !apart(p.cross[i].hull, centreCross[i], e * p.cross[i].l1);
  }
  if (hull) return true;
  // The triangle against the cube grown by a ball of the radius.
  for (int axis = 0; axis < 3; ++axis) {
    if (apart(p.triBox[axis], c[axis], e + p.radius)) return false;
  }
  for (int i = 0; i < 4; ++i) {
    if (apart(p.own[i].tri, centreOwn[i], e * p.own[i].l1 + p.radius * p.own[i].l2)) return false;
  }
  for (int i = 0; i < 12; ++i) {
    if (apart(p.cross[i].tri, centreCross[i], e * p.cross[i].l1 + p.radius * p.cross[i].l2)) {
      return false;
    }
  }
  return true;
}

// Does the triangle itself meet the cube? (Where the surface is.)
bool touches(const Prepared& p, const double c[3], double e) {
  for (int axis = 0; axis < 3; ++axis) {
    if (apart(p.triBox[axis], c[axis], e)) return false;
  }
  if (apart(p.own[0].tri, p.own[0].a[0] * c[0] + p.own[0].a[1] * c[1] + p.own[0].a[2] * c[2],
            e * p.own[0].l1)) {
    return false;
  }
  for (int k = 0; k < 3; ++k) {
    const double cu = k == 0 ? c[1] : c[0];
    const double cv = k == 2 ? c[1] : c[2];
    for (int d = 0; d < 3; ++d) {
      const Prepared::Cross& x = p.cross[k * 4 + d];
      if (apart(x.tri, x.u * cu + x.v * cv, e * x.l1)) return false;
    }
  }
  return true;
}

class Builder {
 public:
  Builder(const std::vector<HitShape>& shapes, const IndexArea& area,
          const IndexParameters& parameters, IndexTree& tree)
      : shapes_(shapes),
        area_(area),
        parameters_(parameters),
        tree_(tree),
        margin_(cubeMargin(area)) {}

  void build() {
    const int s = area_.shift;
    const int64_t n[3] = {int64_t{1} << (area_.bits[0] - s), int64_t{1} << (area_.bits[1] - s),
                          int64_t{1} << (area_.bits[2] - s)};
    const size_t roots = area_.rootCount();
    tree_.area = area_;
    tree_.nodes.assign(roots, IndexTree::Node{});
    // The root cubes each shape's bounds reach, sorted by root (counting).
    const double edge = std::ldexp(1.0, s);
    auto range = [&](const HitShape& shape, int64_t from[3], int64_t to[3]) {
      for (int axis = 0; axis < 3; ++axis) {
        double lo = HUGE_VAL, hi = -HUGE_VAL;
        for (const Vec3& v : shape.corner) {
          lo = std::min(lo, v[axis] - shape.radius);
          hi = std::max(hi, v[axis] + shape.radius);
        }
        for (const Vec3& v : shape.hull) {
          lo = std::min(lo, v[axis]);
          hi = std::max(hi, v[axis]);
        }
        lo -= area_.origin[axis] + margin_;
        hi += margin_ - area_.origin[axis];
        from[axis] =
            std::clamp<int64_t>(static_cast<int64_t>(std::floor(lo / edge)), 0, n[axis] - 1);
        to[axis] = std::clamp<int64_t>(static_cast<int64_t>(std::floor(hi / edge)), 0, n[axis] - 1);
      }
    };
    std::vector<uint32_t> first(roots + 1, 0);
    for (int pass = 0; pass < 2; ++pass) {
      std::vector<uint32_t> cursor;
      if (pass == 1) {
        for (size_t r = 0; r < roots; ++r) first[r + 1] += first[r];
        cursor.assign(first.begin(), first.end() - 1);
        candidates_.resize(first[roots]);
      }
      for (uint32_t i = 0; i < shapes_.size(); ++i) {
        int64_t from[3], to[3];
        range(shapes_[i], from, to);
        for (int64_t z = from[2]; z <= to[2]; ++z) {
          for (int64_t y = from[1]; y <= to[1]; ++y) {
            for (int64_t x = from[0]; x <= to[0]; ++x) {
              const size_t root = static_cast<size_t>((z * n[1] + y) * n[0] + x);
              if (pass == 0) {
                ++first[root + 1];
              } else {
                candidates_[cursor[root]++] = i;
              }
            }
          }
        }
      }
    }
    // Each root cube in turn, with its shapes made ready in a small buffer.
    for (size_t root = 0; root < roots; ++root) {
      if (first[root] == first[root + 1]) continue;  // an empty leaf
      const int64_t x = static_cast<int64_t>(root) % n[0],
                    y = (static_cast<int64_t>(root) / n[0]) % n[1],
                    z = static_cast<int64_t>(root) / (n[0] * n[1]);
      const double centre[3] = {(x + 0.5) * edge, (y + 0.5) * edge, (z + 0.5) * edge};
      prepared_.clear();
      ids_.clear();
      arena_.clear();
      for (uint32_t i = first[root]; i < first[root + 1]; ++i) {
        const uint32_t shape = candidates_[i];
        prepare(shapes_[shape], area_.origin, prepared_.emplace_back());
        if (!meets(prepared_.back(), centre, edge / 2 + margin_)) {
          prepared_.pop_back();
          continue;
        }
        arena_.push_back(static_cast<uint32_t>(ids_.size()));
        ids_.push_back(shape);
      }
      fill(static_cast<uint32_t>(root), x << s, y << s, z << s, s, 0, arena_.size());
    }
  }

 private:
  void makeLeaf(uint32_t node, size_t begin, size_t end) {
    tree_.nodes[node].listStart = static_cast<uint32_t>(tree_.entries.size());
    tree_.nodes[node].listLength = static_cast<uint32_t>(end - begin);
    for (size_t i = begin; i < end; ++i)
      tree_.entries.push_back(static_cast<uint16_t>(ids_[arena_[i]] + 1));
  }

  // Lists the shapes in arena_[begin, end) that meet the cube with lowest
  // corner (x, y, z) and edge 2^bits, splitting it while that shortens them.
  void fill(uint32_t node, int64_t x, int64_t y, int64_t z, int bits, size_t begin, size_t end) {
    const size_t count = end - begin;
    // A long list may split further, but only a little below the smallest
    // cube: where the hit volumes themselves overlap that much, smaller
    // cubes cannot shorten it.
    const bool longList = count > parameters_.longList && bits > parameters_.minCubeBits - 2;
    if (count <= parameters_.maxLeafList || bits == 0 ||
        (bits <= parameters_.minCubeBits && !longList)) {
      makeLeaf(node, begin, end);
      return;
    }
    const double half = std::ldexp(1.0, bits - 1);
    const double lower[3] = {static_cast<double>(x), static_cast<double>(y),
                             static_cast<double>(z)};
    const double reachHalf = half / 2 + margin_;  // a child's half edge
    // Which of the eight children each shape meets, and how many
    // triangles lie in each (where the surface is).
    masks_.resize(count);
    size_t childCount[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    size_t surface[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < count; ++i) {
      const Prepared& p = prepared_[arena_[begin + i]];
      bool side[3][2];
      for (int axis = 0; axis < 3; ++axis) {
        const double middle = lower[axis] + half;
        side[axis][0] = p.lo[axis] <= middle + margin_;
        side[axis][1] = p.hi[axis] >= middle - margin_;
      }
      uint8_t mask = 0;
      for (int child = 0; child < 8; ++child) {
        const int bx = child & 1, by = (child >> 1) & 1, bz = child >> 2;
        if (!side[0][bx] || !side[1][by] || !side[2][bz]) continue;
        const double centre[3] = {lower[0] + half * (bx + 0.5), lower[1] + half * (by + 0.5),
                                  lower[2] + half * (bz + 0.5)};
        if (meets(p, centre, reachHalf)) {
          mask = static_cast<uint8_t>(mask | (1 << child));
          ++childCount[child];
          if (touches(p, centre, reachHalf)) ++surface[child];
        }
      }
      masks_[i] = mask;
    }
    // A split pays when the lists the game searches at the surface get
    // notably shorter. A cube with no surface in it stays whole (nothing
    // rests there) unless its list is long; so does a small one whose
    // children's lists, weighted by their surface, are nearly as long.
    double weighted = 0, weights = 0, listed = 0, total = 0;
    for (int child = 0; child < 8; ++child) {
      weighted += static_cast<double>(surface[child]) * static_cast<double>(childCount[child]);
      weights += static_cast<double>(surface[child]);
      listed += childCount[child] > 0;
      total += static_cast<double>(childCount[child]);
    }
    const double after = weights > 0 ? weighted / weights : total / listed;
    const double gain = longList ? parameters_.longListGain : parameters_.splitGain;
    // Far above the smallest cube a split may gain little at once and much
    // a level or two down (a tunnel's mouth in a cube of 2,048 units):
    // those with surface in them split whatever their children list.
    const bool judged = bits <= parameters_.minCubeBits + parameters_.judgedLevels || longList;
    if ((weights == 0 && !longList) || (judged && after > gain * static_cast<double>(count))) {
      makeLeaf(node, begin, end);
      return;
    }
    // The children's lists, one after another at the end of the arena.
    const size_t childrenBegin = arena_.size();
    size_t childBegin[9];
    childBegin[0] = childrenBegin;
    for (int child = 0; child < 8; ++child)
      childBegin[child + 1] = childBegin[child] + childCount[child];
    arena_.resize(childBegin[8]);
    size_t cursor[8];
    std::copy(childBegin, childBegin + 8, cursor);
    for (size_t i = 0; i < count; ++i) {
      const uint32_t shape = arena_[begin + i];
      for (int child = 0; child < 8; ++child) {
        if (masks_[i] & (1 << child)) arena_[cursor[child]++] = shape;
      }
    }
    const uint32_t first = static_cast<uint32_t>(tree_.nodes.size());
    tree_.nodes.resize(first + 8);
    tree_.nodes[node].firstChild = static_cast<int32_t>(first);
    const size_t entriesBefore = tree_.entries.size();
    const int64_t step = int64_t{1} << (bits - 1);
    for (int child = 0; child < 8; ++child) {
      fill(first + child, x + (child & 1) * step, y + ((child >> 1) & 1) * step,
           z + (child >> 2) * step, bits - 1, childBegin[child], childBegin[child + 1]);
    }
    arena_.resize(childrenBegin);
    collapse(node, first, entriesBefore);
  }

  // Eight leaves with the same list are one leaf.
  void collapse(uint32_t node, uint32_t first, size_t entriesBefore) {
    const IndexTree::Node& model = tree_.nodes[first];
    for (uint32_t child = first; child < first + 8; ++child) {
      const IndexTree::Node& other = tree_.nodes[child];
      if (other.firstChild >= 0 || other.listLength != model.listLength) return;
      if (!std::equal(tree_.entries.begin() + other.listStart,
                      tree_.entries.begin() + other.listStart + other.listLength,
                      tree_.entries.begin() + model.listStart)) {
        return;
      }
    }
    IndexTree::Node leaf;
    leaf.listStart = static_cast<uint32_t>(entriesBefore);
    leaf.listLength = model.listLength;
    // The first child's list is the first one written after entriesBefore.
    tree_.entries.resize(entriesBefore + model.listLength);
    tree_.nodes.resize(first);
    tree_.nodes[node] = leaf;
  }

  const std::vector<HitShape>& shapes_;
  const IndexArea& area_;
  const IndexParameters& parameters_;
  IndexTree& tree_;
  double margin_;
  std::vector<uint32_t> candidates_;  // by root cube, from the shapes' bounds
  std::vector<Prepared> prepared_;    // the current root cube's shapes
  std::vector<uint32_t> ids_;         // their numbers (0-based)
  std::vector<uint32_t> arena_;       // lists of positions in prepared_
  std::vector<uint8_t> masks_;
};

}  // namespace

double cubeMargin(const IndexArea& area) {
  // The float games round P - origin to a float: half a step of the
  // largest magnitude involved, with room to spare.
  double largest = 0;
  for (int axis = 0; axis < 3; ++axis) {
    largest = std::max({largest, std::fabs(area.origin[axis]),
                        std::fabs(area.origin[axis] + std::ldexp(1.0, area.bits[axis]))});
  }
  return 1.0 / 16 + std::ldexp(largest, -21);
}

HitShape hitShapeOf(const PrismPlanes& prism, Vec3 b, Vec3 c, double thickness, double radius) {
  HitShape shape;
  shape.corner[0] = prism.a;
  shape.corner[1] = b;
  shape.corner[2] = c;
  // Where the edge planes meet the planes `thickness` under the face and
  // `radius` above it.
  int i = 0;
  for (double level : {-thickness, radius}) {
    shape.hull[i++] = meet(prism.a, prism.edgeAC, 0, prism.edgeAB, 0, prism.face, level);
    shape.hull[i++] = meet(prism.a, prism.edgeAB, 0, prism.edgeBC, prism.height, prism.face, level);
    shape.hull[i++] = meet(prism.a, prism.edgeAC, 0, prism.edgeBC, prism.height, prism.face, level);
  }
  shape.normals[0] = prism.face;
  shape.normals[1] = prism.edgeAC;
  shape.normals[2] = prism.edgeAB;
  shape.normals[3] = prism.edgeBC;
  // Rounding in the numbers above.
  shape.radius = radius * (1 + 1e-9) + 1e-6;
  return shape;
}

IndexParameters chooseParameters(Game game) {
  IndexParameters parameters;
  const double reach = std::max(infoOf(game).thickness, infoOf(game).radius);
  // Cubes much smaller than the hit volume's reach shorten no list: the
  // smallest is the power of two nearest to it (32 units for MK7 and MKDS,
  // 256 for MKWii and SMG), unless a list is long.
  parameters.minCubeBits = std::max(0, static_cast<int>(std::lround(std::log2(reach))));
  parameters.maxLeafList = 16;
  parameters.splitGain = 0.75;
  if (reach >= 100) {
    // Hit volumes that reach this far (MKWii's and SMG's 300 and 250) put
    // every triangle within that reach into the lists near the surface
    // whatever the cube, and the fine cubes that shorten them a little
    // cost more in size than they save in time: a cube may list twice as
    // many before it splits, and a list may hold up to 256 before the
    // smallest cube splits further (on a game-like course of 65,000
    // triangles, a file of 2.9 times its sections instead of 3.8, lists
    // at the surface of 27 prisms on average instead of 25).
    parameters.maxLeafList = 32;
    parameters.longList = 256;
  }
  return parameters;
}

IndexArea chooseArea(const std::vector<HitShape>& shapes, Game game) {
  IndexArea area;
  if (shapes.empty()) return area;  // one root cube of one unit, listing nothing
  const GameInfo& info = infoOf(game);
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (const HitShape& shape : shapes) {
    for (int axis = 0; axis < 3; ++axis) {
      for (const Vec3& corner : shape.corner) {
        lo[axis] = std::min(lo[axis], corner[axis] - shape.radius);
        hi[axis] = std::max(hi[axis], corner[axis] + shape.radius);
      }
      for (const Vec3& point : shape.hull) {
        lo[axis] = std::min(lo[axis], point[axis]);
        hi[axis] = std::max(hi[axis], point[axis]);
      }
    }
  }
  const int maxBits = info.fixedPoint ? kMaxDsAreaBits : kMaxFloatAreaBits;
  const int minCubeBits = chooseParameters(game).minCubeBits;
  int needed[3];
  for (int axis = 0; axis < 3; ++axis) {
    // A unit to spare (truncation can move a point into the cube below),
    // and the rounding margin of coordinates this large.
    const double spare =
        1 + 1.0 / 16 + std::ldexp(std::max(std::fabs(lo[axis]), std::fabs(hi[axis])), -20);
    double origin = std::floor(lo[axis] - spare);
    if (!info.fixedPoint) {
      // The file holds the origin as a float: one it holds exactly, so that
      // the index is built for the origin the game reads.
      float held = static_cast<float>(origin);
      if (held > origin) held = std::nextafter(held, -HUGE_VALF);
      origin = held;
    }
    const double width = hi[axis] + spare - origin;
    int bits = std::max(0, static_cast<int>(std::ceil(std::log2(width))));
    while (std::ldexp(1.0, bits) < width) ++bits;
    if (bits > maxBits) {
      throw Error("the collision spans " + units(std::ceil(width)) + " units along " +
                  kAxisNames[axis] + " (with the reach of its hit volumes); the " + info.name +
                  " index area covers at most " + withCommas(uint64_t{1} << maxBits));
    }
    if (info.fixedPoint && origin <= -kFixedPointLimit) {
      // The origin must be an fx32 number too.
      throw Error("the index area along " + std::string(1, kAxisNames[axis]) + " starts " +
                  units(-origin) +
                  " units below zero, past MKDS's fixed-point range of 524,288 units either side "
                  "of zero");
    }
    area.origin[axis] = origin;
    needed[axis] = bits;
  }
  // The root cube: the smallest (down to twice the smallest cube) for which
  // the root grid stays small beside the prisms. An axis narrower than the
  // root cube is widened to one: an elongated course does not make the
  // grid huge.
  const uint64_t rootLimit = std::max<uint64_t>(512, shapes.size() / 2);
  auto rootBits = [&](int s) {
    int sum = 0;
    for (int axis = 0; axis < 3; ++axis) sum += std::max(needed[axis], s) - s;
    return sum;
  };
  int shift = std::max(0, minCubeBits + 1);
  while (shift < maxBits &&
         (rootBits(shift) > 62 || (uint64_t{1} << rootBits(shift)) > rootLimit)) {
    ++shift;
  }
  for (int axis = 0; axis < 3; ++axis) area.bits[axis] = std::max(needed[axis], shift);
  area.shift = shift;
  return area;
}

IndexTree buildIndex(const std::vector<HitShape>& shapes, const IndexArea& area,
                     const IndexParameters& parameters) {
  IndexTree tree;
  Builder(shapes, area, parameters, tree).build();
  return tree;
}

}  // namespace kiln
