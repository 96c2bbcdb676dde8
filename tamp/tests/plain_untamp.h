// The reference decoder: Yaz0 decoded one byte at a time, as plainly as
// possible, from a whole file in memory into a whole output in memory. The
// benchmark times untamp against it and the fuzz harness compares untamp's
// output and verdict with it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace plain {

enum class Verdict { kDecoded, kNotYaz0, kTruncated, kBeforeStart, kPastEnd };

struct Decoded {
  Verdict verdict = Verdict::kDecoded;
  size_t offset = 0;  // where in the input the problem lies
  std::vector<uint8_t> bytes;
};

inline Decoded decode(const uint8_t* in, size_t size) {
  Decoded result;
  if (size < 16 || std::memcmp(in, "Yaz0", 4) != 0) {
    result.verdict = Verdict::kNotYaz0;
    return result;
  }
  const size_t declared = static_cast<size_t>(in[4]) << 24 | static_cast<size_t>(in[5]) << 16 |
                          static_cast<size_t>(in[6]) << 8 | in[7];
  std::vector<uint8_t>& out = result.bytes;
  // Each input byte gives at most 88 output bytes (25 bytes: 8 x 273): a
  // large declared size with little data behind it reserves no more.
  out.reserve(std::min(declared, size * 88));
  size_t pos = 16;
  auto fail = [&](Verdict verdict, size_t offset) {
    result.verdict = verdict;
    result.offset = offset;
    return result;
  };
  while (out.size() < declared) {
    if (pos >= size) return fail(Verdict::kTruncated, size);
    const uint8_t code = in[pos++];
    for (int bit = 7; bit >= 0 && out.size() < declared; --bit) {
      const size_t chunk = pos;
      if (code & (1 << bit)) {
        if (pos >= size) return fail(Verdict::kTruncated, size);
        out.push_back(in[pos++]);
        continue;
      }
      if (pos + 2 > size) return fail(Verdict::kTruncated, size);
      const size_t b1 = in[pos], b2 = in[pos + 1];
      pos += 2;
      size_t length = (b1 >> 4) + 2;
      if ((b1 >> 4) == 0) {
        if (pos >= size) return fail(Verdict::kTruncated, size);
        length = in[pos++] + size_t{18};
      }
      const size_t distance = ((b1 & 0x0F) << 8 | b2) + 1;
      if (distance > out.size()) return fail(Verdict::kBeforeStart, chunk);
      if (length > declared - out.size()) return fail(Verdict::kPastEnd, chunk);
      for (size_t i = 0; i < length; ++i) out.push_back(out[out.size() - distance]);
    }
  }
  return result;
}

}  // namespace plain
