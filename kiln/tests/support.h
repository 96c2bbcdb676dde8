// What kiln's tests share: models made in memory, building them with the
// library, and the check that a file's index lists every prism wherever
// the game's sphere test would hit it.
#ifndef KILN_SUPPORT_H
#define KILN_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "course.h"
#include "kcl_reference.h"
#include "kiln.h"

namespace kilntest {

// A small deterministic generator.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  double uniform() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
  double between(double lo, double hi) { return lo + (hi - lo) * uniform(); }

 private:
  uint64_t state_;
};

// Triangles of every size and direction in a box of `extent` units around
// `centre`: slivers, walls, ceilings, a few of hundreds of units.
course::Course soup(size_t triangles, double extent, uint64_t seed,
                    course::Point centre = {0, 0, 0});

// The model's OBJ text built for a game with the library; warnings are
// returned through the pointer when given.
std::vector<uint8_t> build(const course::Course& model, kiln::Game game,
                           std::vector<std::string>* warnings = nullptr);

struct Coverage {
  size_t tested = 0;  // points where the sphere test hits
  size_t missed = 0;  // of those, the ones whose leaf does not list the prism
  std::string firstMiss;
};

// For each prism, `points` points on and around its triangle (on it, under
// it down to the thickness, above it up to the radius, beyond its edges and
// corners, some moved onto the seams of the index's cubes); each one that
// the game's sphere test (at the file's radius) hits must find the prism in
// the list of its leaf.
Coverage coverage(const reference::File& file, int points, uint64_t seed);

// A triangle and the 16-bit value its prism stores.
struct Triangle {
  reference::V a, b, c;
  uint16_t attribute;
};

// A KCL file of Galaxy's layout written from the format's description alone
// (sharing no code with kiln), as the games' files are: a 0x38-byte header
// without a sphere radius, big-endian floats, one position and four
// normals per prism and, after the positions the prisms use, a few that
// none uses (as other tools' signatures); an area `reach` units beyond the
// corners, of two root cubes along x, the first split into eight leaves;
// every leaf lists every prism.
std::vector<uint8_t> galaxyFile(const std::vector<Triangle>& triangles, double thickness,
                                double reach);

}  // namespace kilntest

#endif
