// The arithmetic of KCL prisms, shared by kiln's builder, reader and
// queries: vectors, a prism's normals and corners, the games' sphere test,
// and the distance from a point to a triangle.
#ifndef KILN_GEOMETRY_H
#define KILN_GEOMETRY_H

#include <cmath>

namespace kiln {

struct Vec3 {
  double x = 0, y = 0, z = 0;
  double operator[](int axis) const { return axis == 0 ? x : axis == 1 ? y : z; }
};

inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator*(Vec3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
inline double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3 cross(Vec3 a, Vec3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double length(Vec3 a) { return std::sqrt(dot(a, a)); }
inline bool finite(Vec3 a) {
  return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z);
}
// a / |a|; a zero vector stays zero.
inline Vec3 unit(Vec3 a) {
  const double l = length(a);
  return l > 0 ? a * (1 / l) : Vec3{};
}

// The four planes of a prism, as a game reads them: the stored corner A, the
// face normal, the edge normals of A-C, A-B and B-C (pointing away from the
// triangle) and the height, the distance from A to the line B-C.
struct PrismPlanes {
  Vec3 a;
  Vec3 face;
  Vec3 edgeAC, edgeAB, edgeBC;
  double height = 0;
};

// The exact normals of the triangle A, B, C (its solid side is the side
// (B - A) x (C - A) points to) and the height that goes with them.
PrismPlanes planesOf(Vec3 a, Vec3 b, Vec3 c);

// The corners B and C back from the planes: B is where the A-B and B-C
// edge planes meet the face plane, C where the A-C and B-C ones do. Not
// finite when the planes do not meet.
void cornersOf(const PrismPlanes& prism, Vec3& b, Vec3& c);

// The point where the three planes n1.(X - A) = d1, n2.(X - A) = d2,
// n3.(X - A) = d3 meet (not finite when they do not).
Vec3 meet(Vec3 a, Vec3 n1, double d1, Vec3 n2, double d2, Vec3 n3, double d3);

// The distance from p to the triangle a, b, c (a degenerate one included).
double distanceToTriangle(Vec3 p, Vec3 a, Vec3 b, Vec3 c);

// Why a prism does or does not collide with a sphere.
enum class Contact {
  kHit,           // inside all three edges, within the face's thickness and radius
  kHitNearEdge,   // outside an edge, but the triangle is closer than the radius
  kBeyondEdge,    // an edge plane is the radius or more away
  kAbove,         // the face plane is the radius or more below the centre
  kBelow,         // the centre is the thickness or more under the face
  kTooFarAround,  // near an edge or corner, but the triangle is the radius or more away
};

// The games' sphere test of one prism (corners b and c recovered from it)
// for a sphere of the given radius at p, with the prism thickness.
// planeDistance is set to (p - A) . face.
Contact sphereTest(const PrismPlanes& prism, Vec3 b, Vec3 c, Vec3 p, double radius,
                   double thickness, double* planeDistance = nullptr);

inline bool hits(Contact contact) {
  return contact == Contact::kHit || contact == Contact::kHitNearEdge;
}

}  // namespace kiln

#endif
