// Integers in an archive's byte order, alignment arithmetic, and the text of
// names in messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sheaf {

// Reads and writes integers in one byte order.
struct Order {
  bool big = false;

  uint16_t U16(const uint8_t* p) const {
    return big ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
  }
  uint32_t U24(const uint8_t* p) const {
    return big ? uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2]
               : uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
  }
  uint32_t U32(const uint8_t* p) const {
    return big ? uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]
               : uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
  }
  void Put16(uint8_t* p, uint32_t v) const {
    if (big) {
      p[0] = static_cast<uint8_t>(v >> 8);
      p[1] = static_cast<uint8_t>(v);
    } else {
      p[0] = static_cast<uint8_t>(v);
      p[1] = static_cast<uint8_t>(v >> 8);
    }
  }
  void Put24(uint8_t* p, uint32_t v) const {
    for (int i = 0; i < 3; ++i) p[big ? 2 - i : i] = static_cast<uint8_t>(v >> (8 * i));
  }
  void Put32(uint8_t* p, uint32_t v) const {
    for (int i = 0; i < 4; ++i) p[big ? 3 - i : i] = static_cast<uint8_t>(v >> (8 * i));
  }
};

constexpr Order kBig{true};
constexpr Order kLittle{false};

// value rounded up to a multiple of alignment (0 and 1 leave it as it is).
inline uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return alignment <= 1 ? value : (value + alignment - 1) / alignment * alignment;
}

// The largest power of two dividing value, at most cap (cap for 0).
inline uint64_t LowBit(uint64_t value, uint64_t cap) {
  if (value == 0) return cap;
  const uint64_t bit = value & (~value + 1);
  return bit < cap ? bit : cap;
}

// A name or path for a message, in double quotes: control characters,
// quotes, backslashes and bytes that are not UTF-8 become escapes, so that a
// hostile name cannot disturb the terminal.
std::string Quote(std::string_view name);

// "0x1F" and the like.
std::string Hex(uint64_t value);

}  // namespace sheaf
