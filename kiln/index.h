// The spatial index: the area it covers, the hit volume a leaf must list a
// prism for, the tree before it is written, and its builder.
#ifndef KILN_INDEX_H
#define KILN_INDEX_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "format.h"
#include "geometry.h"

namespace kiln {

// Where the index lies: its lowest corner (whole units), the width of the
// area on each axis (2^bits) and the root cube edge (2^shift).
struct IndexArea {
  double origin[3] = {0, 0, 0};
  int bits[3] = {0, 0, 0};
  int shift = 0;
  uint32_t rootCount() const {
    return 1u << ((bits[0] - shift) + (bits[1] - shift) + (bits[2] - shift));
  }
};

// What a leaf must list a prism for: the prism's hit volume is the region
// inside its three edge planes from `thickness` under the face to `radius`
// above it (the hull of `hull`), and every point closer than `radius` to
// the triangle.
struct HitShape {
  Vec3 corner[3];   // the triangle as the file gives it back
  Vec3 hull[6];     // the corners of the region inside the edge planes, bottom then top
  Vec3 normals[4];  // face, edges A-C, A-B, B-C
  double radius = 0;
};

// The tree before it is written. nodes[0 .. rootCount) are the root cubes,
// x fastest, then y, then z; a branch's eight children are consecutive,
// in the games' order (x, then y, then z as bits 0, 1, 2).
struct IndexTree {
  struct Node {
    int32_t firstChild = -1;  // a leaf when negative
    uint32_t listStart = 0;   // leaves: their prism numbers in `entries`
    uint32_t listLength = 0;
  };
  IndexArea area;
  std::vector<Node> nodes;
  std::vector<uint16_t> entries;  // prism numbers, 1-based
};

struct IndexParameters {
  size_t maxLeafList = 16;  // split a cube listing more than this
  int minCubeBits = 4;      // but never below cubes of 2^minCubeBits units
  // and, for cubes up to judgedLevels above the smallest, only when the
  // children's lists, weighted by the surface in them, are at most this
  // share of the cube's
  double splitGain = 0.75;
  int judgedLevels = 2;
  // A list longer than this splits outside the surface too, and down to
  // two levels below minCubeBits, when its children's lists are at most
  // longListGain of it.
  size_t longList = 128;
  double longListGain = 0.9;
};

// The area that holds every shape with a unit to spare, or an Error naming
// the limit it passes.
IndexArea chooseArea(const std::vector<HitShape>& shapes, Game game);
IndexParameters chooseParameters(Game game);
// The cube margin that covers the games' rounding of P - origin.
double cubeMargin(const IndexArea& area);
IndexTree buildIndex(const std::vector<HitShape>& shapes, const IndexArea& area,
                     const IndexParameters& parameters);

// The hit volume of a stored prism (its planes as the game reads them,
// corners b and c recovered from them).
HitShape hitShapeOf(const PrismPlanes& prism, Vec3 b, Vec3 c, double thickness, double radius);

}  // namespace kiln

#endif
