// From an OBJ model to a KCL file: the build and the writer of the file's
// bytes.
#ifndef KILN_BUILD_H
#define KILN_BUILD_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "format.h"
#include "index.h"
#include "obj.h"

namespace kiln {

struct BuildOptions {
  Game game = Game::kMk7;
  // -m NAME=XXXX: identifiers (the calculators' form) by material name.
  std::vector<std::pair<std::string, uint16_t>> materialIdentifiers;
  // Another way to build the index (the benchmark's baseline); kiln's own
  // when empty.
  std::function<IndexTree(const std::vector<HitShape>&, const IndexArea&, Game)> indexBuilder;
};

struct BuildStats {
  size_t prisms = 0, positions = 0, normals = 0;
  size_t degenerate = 0;
  size_t unrecoverable = 0;          // slivers the format would give back as other triangles
  size_t distinctNormalsBefore = 0;  // when coarsened
  double coarsenedDegrees = 0;       // the largest change of direction, when coarsened
  double largestCornerError = 0;     // between a model's corner and the one the file gives back
  int depth = 0;
  size_t leaves = 0, emptyLeaves = 0;
  double meanList = 0;  // over the leaves that list anything
  size_t longestList = 0;
  size_t indexBytes = 0;
};

struct BuildResult {
  std::vector<uint8_t> file;
  std::vector<std::string> warnings;
  BuildStats stats;
};

BuildResult buildKcl(const ObjModel& model, const BuildOptions& options);

struct StoredPrism {
  uint32_t height;  // a number word
  uint16_t position, face, edgeAC, edgeAB, edgeBC;
  uint16_t attribute;  // as stored
};

struct StoredKcl {
  Game game = Game::kMk7;
  std::vector<std::array<uint32_t, 3>> positions;  // number words
  std::vector<std::array<uint32_t, 3>> normals;    // normal words
  std::vector<StoredPrism> prisms;
};

// The whole file: header, sections, index (blocks breadth first, then the
// lists, identical lists written once). indexBytes is set to the index
// section's size.
std::vector<uint8_t> writeKcl(const StoredKcl& kcl, const IndexTree& tree,
                              size_t* indexBytes = nullptr);

}  // namespace kiln

#endif
