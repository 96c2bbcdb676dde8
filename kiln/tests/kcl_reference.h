// An independent reading of KCL files for kiln's tests, written from the
// format's description alone: the header, the prisms with their corners,
// the games' search of the spatial index and their sphere test. It shares
// no code with kiln, so the tests can hold kiln's files against it.
#ifndef KCL_REFERENCE_H
#define KCL_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace reference {

struct V {
  double x, y, z;
};

class File {
 public:
  // The game from the first word (big-endian 0x3C: MKWii, 0x38: SMG) and,
  // little-endian, from the thickness word (below 0x00800000: MKDS fixed
  // point, else MK7).
  explicit File(std::vector<uint8_t> bytes);

  enum Game { kMk7, kMkds, kMkwii, kSmg };
  // SMG's header holds no radius: the spheres kiln builds its index for.
  static constexpr double kSmgRadius = 250;
  Game game;
  double thickness, radius;
  double origin[3];
  uint32_t masks[3], shift, shiftX, shiftXY;
  uint32_t positionsOffset, normalsOffset, prismsOffset, indexOffset;
  size_t prismCount;

  struct Prism {
    V a, b, c;  // b and c recovered from the normals
    V face, edgeAC, edgeAB, edgeBC;
    double height;
    uint16_t attribute;
  };
  Prism prism(size_t number) const;  // 1-based

  // The prism numbers the game tests for a sphere centred at p; outside is
  // set when p lies outside the index area (the game then tests nothing).
  std::vector<uint16_t> search(V p, bool* outside = nullptr) const;

  uint32_t u32(size_t offset) const;
  uint16_t u16(size_t offset) const;
  double number(size_t offset) const;  // a float or an fx32

 private:
  V vector(size_t offset) const;
  V normal(size_t index) const;
  std::vector<uint8_t> bytes_;
};

// The games' sphere test: does a sphere of radius r at p touch the prism?
bool hits(const File::Prism& prism, V p, double r, double thickness);

}  // namespace reference

#endif
