// Example courses for kiln's tests, benchmark and demo: triangles in named
// materials, written as Wavefront OBJ text.
#ifndef KILN_COURSE_H
#define KILN_COURSE_H

#include <cstdint>
#include <string>
#include <vector>

namespace course {

struct Point {
  double x, y, z;
};

struct Course {
  std::vector<Point> vertices;
  struct Face {
    uint32_t corner[3];  // 0-based
    uint32_t material;
  };
  std::vector<Face> faces;
  std::vector<std::string> materials;

  uint32_t material(const std::string& name);
  uint32_t vertex(double x, double y, double z);
  void triangle(uint32_t a, uint32_t b, uint32_t c, uint32_t m) { faces.push_back({{a, b, c}, m}); }
  // Two triangles a b c, a c d (counter-clockwise seen from the solid side).
  void quad(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t m) {
    triangle(a, b, c, m);
    triangle(a, c, d, m);
  }
};

// A game-scale course of about 65,000 triangles of tens to hundreds of
// units: rolling terrain, a looping road with walls and boost pads, two
// bridges on pillars, a tunnel through a hill, a building of three storeys
// with ramps between them, rocks beside the road, and water below.
Course gameCourse();
// A small course with several identifiers (road, off-road, walls, a boost
// pad, a trickable ramp, a fall plane), a few hundred triangles.
Course demoCourse();

// The OBJ text: vertices, then faces grouped by material with usemtl.
std::string toObj(const Course& course, const std::string& comment);

}  // namespace course

#endif
