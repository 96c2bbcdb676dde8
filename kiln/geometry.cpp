// Prism arithmetic: normals from corners, corners from normals, the sphere
// test, point-to-triangle distance.
#include "geometry.h"

#include <algorithm>

namespace kiln {

PrismPlanes planesOf(Vec3 a, Vec3 b, Vec3 c) {
  PrismPlanes prism;
  prism.a = a;
  prism.face = unit(cross(b - a, c - a));
  prism.edgeAC = unit(cross(prism.face, c - a));
  prism.edgeAB = unit(cross(b - a, prism.face));
  prism.edgeBC = unit(cross(prism.face, b - c));
  prism.height = dot(b - a, prism.edgeBC);
  return prism;
}

void cornersOf(const PrismPlanes& prism, Vec3& b, Vec3& c) {
  const Vec3 u = cross(prism.face, prism.edgeAB);
  const Vec3 w = cross(prism.face, prism.edgeAC);
  b = prism.a + u * (prism.height / dot(u, prism.edgeBC));
  c = prism.a + w * (prism.height / dot(w, prism.edgeBC));
}

Vec3 meet(Vec3 a, Vec3 n1, double d1, Vec3 n2, double d2, Vec3 n3, double d3) {
  const Vec3 c23 = cross(n2, n3), c31 = cross(n3, n1), c12 = cross(n1, n2);
  const double determinant = dot(n1, c23);
  return a + (c23 * d1 + c31 * d2 + c12 * d3) * (1 / determinant);
}

namespace {

double distanceToSegment(Vec3 p, Vec3 a, Vec3 b) {
  const Vec3 ab = b - a;
  const double squared = dot(ab, ab);
  double t = squared > 0 ? dot(p - a, ab) / squared : 0;
  t = std::clamp(t, 0.0, 1.0);
  return length(p - (a + ab * t));
}

}  // namespace

double distanceToTriangle(Vec3 p, Vec3 a, Vec3 b, Vec3 c) {
  // The closest point by the triangle's Voronoi regions: corners, edges,
  // then the face.
  const Vec3 ab = b - a, ac = c - a, ap = p - a;
  const double d1 = dot(ab, ap), d2 = dot(ac, ap);
  if (d1 <= 0 && d2 <= 0) return length(ap);
  const Vec3 bp = p - b;
  const double d3 = dot(ab, bp), d4 = dot(ac, bp);
  if (d3 >= 0 && d4 <= d3) return length(bp);
  const Vec3 cp = p - c;
  const double d5 = dot(ab, cp), d6 = dot(ac, cp);
  if (d6 >= 0 && d5 <= d6) return length(cp);
  const double vc = d1 * d4 - d3 * d2;
  const double vb = d5 * d2 - d1 * d6;
  const double va = d3 * d6 - d5 * d4;
  const double area = length(cross(ab, ac));
  const double longest = std::max({dot(ab, ab), dot(ac, ac), dot(c - b, c - b)});
  if (!(area > 1e-12 * longest)) {
    // No face to speak of: the nearest of the three edges.
    return std::min(
        {distanceToSegment(p, a, b), distanceToSegment(p, b, c), distanceToSegment(p, c, a)});
  }
  if (vc <= 0 && d1 >= 0 && d3 <= 0) return length(p - (a + ab * (d1 / (d1 - d3))));
  if (vb <= 0 && d2 >= 0 && d6 <= 0) return length(p - (a + ac * (d2 / (d2 - d6))));
  if (va <= 0 && (d4 - d3) >= 0 && (d5 - d6) >= 0) {
    return length(p - (b + (c - b) * ((d4 - d3) / ((d4 - d3) + (d5 - d6)))));
  }
  const double denominator = 1 / (va + vb + vc);
  const Vec3 closest = a + ab * (vb * denominator) + ac * (vc * denominator);
  return length(p - closest);
}

Contact sphereTest(const PrismPlanes& prism, Vec3 b, Vec3 c, Vec3 p, double radius,
                   double thickness, double* planeDistance) {
  const Vec3 rel = p - prism.a;
  const double alongAC = dot(rel, prism.edgeAC);
  const double alongAB = dot(rel, prism.edgeAB);
  const double alongBC = dot(rel, prism.edgeBC) - prism.height;
  const double plane = dot(rel, prism.face);
  if (planeDistance != nullptr) *planeDistance = plane;
  if (alongAC >= radius || alongAB >= radius || alongBC >= radius) return Contact::kBeyondEdge;
  if (plane >= radius) return Contact::kAbove;
  if (plane <= -thickness) return Contact::kBelow;
  if (alongAC <= 0 && alongAB <= 0 && alongBC <= 0) return Contact::kHit;
  return distanceToTriangle(p, prism.a, b, c) < radius ? Contact::kHitNearEdge
                                                       : Contact::kTooFarAround;
}

}  // namespace kiln
