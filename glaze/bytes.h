// Big-endian numbers as the consoles' files store them, and the 32-byte
// alignment of their blocks.
#pragma once

#include <cstdint>

namespace glaze {

inline uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void put16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void put32(uint8_t* p, uint32_t v) {
  put16(p, v >> 16);
  put16(p + 2, v);
}
inline uint64_t align32(uint64_t v) { return (v + 31) & ~uint64_t(31); }

}  // namespace glaze
