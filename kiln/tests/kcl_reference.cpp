#include "kcl_reference.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

namespace reference {

namespace {

V add(V a, V b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
V sub(V a, V b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
V scale(V a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double dotp(V a, V b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
V crossp(V a, V b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }

double segmentDistance(V p, V a, V b) {
  const V ab = sub(b, a);
  double t = dotp(sub(p, a), ab) / dotp(ab, ab);
  if (!(t > 0)) t = 0;
  if (t > 1) t = 1;
  const V d = sub(p, add(a, scale(ab, t)));
  return std::sqrt(dotp(d, d));
}

// The distance from p to the triangle: to its plane when p lies over it,
// else to the nearest edge.
double triangleDistance(V p, V a, V b, V c) {
  const V n = crossp(sub(b, a), sub(c, a));
  const double nn = dotp(n, n);
  if (nn > 0) {
    const double along = dotp(sub(p, a), n) / nn;
    const V q = sub(p, scale(n, along));
    // q inside when it lies on the inner side of all three edges.
    const bool inside = dotp(crossp(sub(b, a), sub(q, a)), n) >= 0 &&
                        dotp(crossp(sub(c, b), sub(q, b)), n) >= 0 &&
                        dotp(crossp(sub(a, c), sub(q, c)), n) >= 0;
    if (inside) return std::fabs(along) * std::sqrt(nn);
  }
  return std::fmin(segmentDistance(p, a, b),
                   std::fmin(segmentDistance(p, b, c), segmentDistance(p, c, a)));
}

}  // namespace

File::File(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
  if (bytes_.size() < 0x38) throw std::runtime_error("shorter than a header");
  const uint32_t first = (uint32_t{bytes_[0]} << 24) | (uint32_t{bytes_[1]} << 16) |
                         (uint32_t{bytes_[2]} << 8) | bytes_[3];
  game = kMk7;  // little-endian, until the first word says otherwise
  if (first == 0x3C) {
    game = kMkwii;
  } else if (first == 0x38) {
    game = kSmg;  // MKWii's layout, the header ending before the radius
  } else if (bytes_.size() < 0x3C) {
    throw std::runtime_error("shorter than a header");
  } else if (u32(0x10) < 0x00800000u) {
    game = kMkds;
  }
  positionsOffset = u32(0);
  normalsOffset = u32(4);
  prismsOffset = u32(8) + 0x10;
  indexOffset = u32(0xC);
  thickness = number(0x10);
  for (int i = 0; i < 3; ++i) {
    origin[i] = number(0x14 + 4 * i);
    masks[i] = u32(0x20 + 4 * i);
  }
  shift = u32(0x2C);
  shiftX = u32(0x30);
  shiftXY = u32(0x34);
  radius = game == kSmg ? kSmgRadius : number(0x38);
  prismCount = (indexOffset - prismsOffset) / 16;
}

uint32_t File::u32(size_t at) const {
  const uint8_t* p = &bytes_.at(at + 3) - 3;
  if (game == kMkwii || game == kSmg)
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

uint16_t File::u16(size_t at) const {
  const uint8_t* p = &bytes_.at(at + 1) - 1;
  const bool big = game == kMkwii || game == kSmg;
  return static_cast<uint16_t>(big ? (p[0] << 8) | p[1] : (p[1] << 8) | p[0]);
}

double File::number(size_t at) const {
  const uint32_t word = u32(at);
  if (game == kMkds) return static_cast<int32_t>(word) / 4096.0;
  float f;
  std::memcpy(&f, &word, 4);
  return f;
}

V File::vector(size_t at) const { return {number(at), number(at + 4), number(at + 8)}; }

V File::normal(size_t index) const {
  if (game == kMkds) {
    const size_t at = normalsOffset + 6 * index;
    return {static_cast<int16_t>(u16(at)) / 4096.0, static_cast<int16_t>(u16(at + 2)) / 4096.0,
            static_cast<int16_t>(u16(at + 4)) / 4096.0};
  }
  return vector(normalsOffset + 12 * index);
}

File::Prism File::prism(size_t number) const {
  const size_t at = prismsOffset + 16 * (number - 1);
  Prism p;
  p.height = this->number(at);
  p.a = vector(positionsOffset + 12 * u16(at + 4));
  p.face = normal(u16(at + 6));
  p.edgeAC = normal(u16(at + 8));
  p.edgeAB = normal(u16(at + 10));
  p.edgeBC = normal(u16(at + 12));
  p.attribute = u16(at + 14);
  const V u = crossp(p.face, p.edgeAB), w = crossp(p.face, p.edgeAC);
  p.b = add(p.a, scale(u, p.height / dotp(u, p.edgeBC)));
  p.c = add(p.a, scale(w, p.height / dotp(w, p.edgeBC)));
  return p;
}

std::vector<uint16_t> File::search(V p, bool* outside) const {
  if (outside != nullptr) *outside = true;
  const double point[3] = {p.x, p.y, p.z};
  uint32_t d[3];
  for (int i = 0; i < 3; ++i) {
    if (game == kMkds) {
      const int32_t fx = static_cast<int32_t>(std::lround(point[i] * 4096));
      const int32_t originFx = static_cast<int32_t>(u32(0x14 + 4 * i));
      d[i] = static_cast<uint32_t>(
          static_cast<int32_t>(static_cast<uint32_t>(fx) - static_cast<uint32_t>(originFx)) >> 12);
    } else {
      const float difference = static_cast<float>(point[i]) - static_cast<float>(origin[i]);
      d[i] = static_cast<uint32_t>(static_cast<int32_t>(difference));  // toward zero
    }
  }
  if (((d[0] & masks[0]) | (d[1] & masks[1]) | (d[2] & masks[2])) != 0) return {};
  if (outside != nullptr) *outside = false;
  uint32_t s = shift;
  size_t block = indexOffset;
  uint32_t key =
      u32(block + 4 * (((d[2] >> s) << shiftXY) | ((d[1] >> s) << shiftX) | (d[0] >> s)));
  while ((key & 0x80000000u) == 0) {
    block += key;
    --s;
    key =
        u32(block + 4 * ((((d[2] >> s) & 1) << 2) | (((d[1] >> s) & 1) << 1) | ((d[0] >> s) & 1)));
  }
  std::vector<uint16_t> list;
  for (size_t at = block + (key & 0x7FFFFFFFu) + 2; u16(at) != 0; at += 2) list.push_back(u16(at));
  return list;
}

bool hits(const File::Prism& prism, V p, double r, double thickness) {
  const V rel = sub(p, prism.a);
  if (dotp(rel, prism.edgeAC) >= r || dotp(rel, prism.edgeAB) >= r ||
      dotp(rel, prism.edgeBC) - prism.height >= r) {
    return false;
  }
  const double plane = dotp(rel, prism.face);
  if (!(plane > -thickness && plane < r)) return false;
  if (dotp(rel, prism.edgeAC) <= 0 && dotp(rel, prism.edgeAB) <= 0 &&
      dotp(rel, prism.edgeBC) - prism.height <= 0) {
    return true;
  }
  return triangleDistance(p, prism.a, prism.b, prism.c) < r;
}

}  // namespace reference
