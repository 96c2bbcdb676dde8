// Reading a KCL file that may be damaged or hostile, and the games' lookup
// in its index.
#ifndef KILN_READ_H
#define KILN_READ_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "format.h"
#include "geometry.h"
#include "index.h"

namespace kiln {

// A KCL file, checked as hostile data when read: every offset, key, list,
// index and number that the reports and lookups use is known to be sound.
class KclFile {
 public:
  // Throws an Error describing the first fault found.
  explicit KclFile(std::vector<uint8_t> bytes);

  Game game() const { return game_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  double thickness() const { return thickness_; }
  // The header's sphere radius; SMG's header holds none (radiusStored()
  // false): the one kiln builds SMG files for.
  double radius() const { return radius_; }
  bool radiusStored() const { return infoOf(game_).storesRadius(); }
  const IndexArea& area() const { return area_; }
  uint32_t mask(int axis) const { return masks_[axis]; }
  uint32_t indexOffset() const { return indexOffset_; }

  size_t positionCount() const { return positionCount_; }
  size_t normalCount() const { return normalCount_; }
  size_t prismCount() const { return prismCount_; }

  // Prism number k (1-based, as lists name them).
  PrismPlanes planes(size_t k) const;
  uint16_t attribute(size_t k) const;
  // The corners recovered from prism k (finite in a file that was read).
  void corners(size_t k, Vec3& a, Vec3& b, Vec3& c) const;

  struct Leaf {
    bool inside = false;          // false: the point lies outside the area
    int depth = 0;                // branches followed
    int cubeBits = 0;             // the leaf's cube is 2^cubeBits units
    int64_t cube[3] = {0, 0, 0};  // its lowest corner, counted from the origin
    uint32_t keyOffset = 0, listOffset = 0;
    std::vector<uint16_t> prisms;  // 1-based
  };
  // The leaf the game searches for a sphere centred at p.
  Leaf lookup(Vec3 p) const;

  struct IndexStats {
    int depth = 0;  // the deepest branch level
    size_t blocks = 0, leaves = 0, emptyLeaves = 0, distinctLists = 0;
    double meanList = 0;  // over the leaves that list anything
    size_t longestList = 0;
    int smallestCubeBits = 0;
  };
  const IndexStats& indexStats() const { return stats_; }

 private:
  void readHeader();
  void readPrisms();
  void walkIndex();
  uint32_t u32(size_t offset) const;
  uint16_t u16(size_t offset) const;
  Vec3 position(size_t index) const;
  Vec3 normal(size_t index) const;

  std::vector<uint8_t> bytes_;
  Game game_ = Game::kMk7;
  bool big_ = false;
  uint32_t normalsOffset_ = 0, prismBase_ = 0, indexOffset_ = 0;
  size_t positionCount_ = 0, normalCount_ = 0, prismCount_ = 0;
  double thickness_ = 0, radius_ = 0;
  IndexArea area_;
  uint32_t masks_[3] = {0, 0, 0};
  uint32_t shiftX_ = 0, shiftXY_ = 0;
  std::vector<Vec3> cornerB_, cornerC_;  // per prism, recovered once
  IndexStats stats_;
};

// The game a file's first words say it is for, or an Error.
Game detectGame(const std::vector<uint8_t>& bytes);

}  // namespace kiln

#endif
