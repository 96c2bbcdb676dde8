// The Wavefront OBJ models that kiln builds from.
#ifndef KILN_OBJ_H
#define KILN_OBJ_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "geometry.h"

namespace kiln {

struct ObjModel {
  struct Triangle {
    uint32_t corner[3];  // vertex numbers, 0-based
    uint32_t material;   // kNoMaterial before any usemtl
    uint32_t line;       // the face's line
  };
  static constexpr uint32_t kNoMaterial = UINT32_MAX;

  std::vector<Vec3> vertices;
  std::vector<uint32_t> vertexLines;
  std::vector<Triangle> triangles;  // polygons split into fans
  std::vector<std::string> materials;
  std::vector<uint32_t> materialLines;  // where each was first used
  uint64_t faces = 0;                   // f statements
  // OBJ statements that describe no surface (l, p, curves, ...): left out,
  // and counted for a warning.
  struct Skipped {
    std::string keyword;
    uint64_t count;
    uint32_t firstLine;
  };
  std::vector<Skipped> skipped;
};

// Longest line accepted.
constexpr size_t kMaxObjLine = 65536;

// Reads an OBJ text. A damaged one throws an Error naming the line.
ObjModel readObj(std::string_view text);

}  // namespace kiln

#endif
