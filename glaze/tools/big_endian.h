// Big-endian numbers in a file being built or read by the tools and tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bigendian {

inline void put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v >> 8);
  b[at + 1] = uint8_t(v);
}
inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  put16(b, at, v >> 16);
  put16(b, at + 2, v);
}
inline uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

}  // namespace bigendian
