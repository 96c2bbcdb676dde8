// tamp's own test helpers (the kit's testkit has the general ones): input
// makers, a Yaz0 decoder, and a second reference for the longest matches.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "plain_yaz0.h"
#include "tamp.h"

namespace support {

using Bytes = std::vector<unsigned char>;

class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) * n >> 32); }
  unsigned char byte() { return static_cast<unsigned char>(next()); }

 private:
  uint64_t state_;
};

// n bytes drawn from the first `alphabet` letters (all byte values when 256).
inline Bytes randomBytes(Rng& rng, size_t n, uint32_t alphabet = 256) {
  const unsigned base = alphabet >= 256 ? 0 : 'a';
  Bytes out(n);
  for (auto& b : out) b = static_cast<unsigned char>(base + rng.below(alphabet));
  return out;
}

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline void append(Bytes& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}

// A pattern repeated to the given length.
inline Bytes periodic(const Bytes& pattern, size_t length) {
  Bytes out(length);
  for (size_t i = 0; i < length; ++i) out[i] = pattern[i % pattern.size()];
  return out;
}

// Blocks built from pieces the search finds hard: runs, periods, copies of
// earlier data at chosen distances, random filler.
inline Bytes shaped(Rng& rng, size_t length, size_t maxPiece = 600) {
  Bytes out;
  while (out.size() < length) {
    size_t piece = 1 + rng.below(static_cast<uint32_t>(maxPiece));
    switch (rng.below(6)) {
      case 0:  // a run of one byte
        out.insert(out.end(), piece, rng.below(3) == 0 ? 0 : rng.byte());
        break;
      case 1: {  // a short period
        Bytes pattern =
            randomBytes(rng, 2 + rng.below(rng.below(2) ? 8 : 300), 1 + rng.below(4) * 85);
        append(out, periodic(pattern, piece));
        break;
      }
      case 2:
      case 3:
        if (!out.empty()) {  // a copy from up to a little over a window back, maybe altered
          size_t distance =
              1 + rng.below(static_cast<uint32_t>(std::min<size_t>(out.size(), 4200)));
          if (rng.below(4) == 0) distance = std::min<size_t>(out.size(), 4095 + rng.below(4));
          for (size_t i = 0; i < piece; ++i) {
            unsigned char c = out[out.size() - distance];
            if (rng.below(50) == 0) c = rng.byte();
            out.push_back(c);
          }
          break;
        }
        [[fallthrough]];
      default:
        append(out, randomBytes(rng, piece, rng.below(2) ? 256 : 2 + rng.below(6)));
    }
  }
  out.resize(length);
  return out;
}

// The best match at every position, found by a second method: for every
// distance d the number of equal bytes between x - d and x follows from
// the one at x + 1, going backwards through the input. best[x] is the
// greatest number of equal bytes over the window, from[x] the earliest
// candidate giving it (0 when nothing matches).
struct Matches {
  std::vector<uint32_t> best;
  std::vector<int> from;
};

// One step back: equal[d] for x from equal[d] for x + 1, d = 1 .. reach,
// where back[d] is the byte at x - d. Returns the greatest count shifted
// left by 13 bits, with the farthest distance giving it in the low bits.
// (The innermost loop of the tests; the sanitizer builds leave it plain so
// that they do not take minutes.)
__attribute__((no_sanitize("address", "undefined"))) inline uint32_t updateByDistance(
    uint32_t* __restrict equal, const unsigned char* __restrict back, int reach) {
  const uint32_t c = back[0];
  uint32_t best = 0;
  for (int d = 1; d <= reach; ++d) {
    const uint32_t same = static_cast<uint32_t>(back[d]) == c;
    const uint32_t e = same * (equal[d] + 1);
    equal[d] = e;
    const uint32_t key = e << 13 | static_cast<uint32_t>(d);
    best = best > key ? best : key;
  }
  return best;
}

inline Matches matchesByDistance(const Bytes& src) {
  if (src.size() >= (size_t{1} << 19)) throw std::runtime_error("input too large for the table");
  const int n = static_cast<int>(src.size());
  Matches m{std::vector<uint32_t>(src.size()), std::vector<int>(src.size())};
  const Bytes reversed(src.rbegin(), src.rend());
  // equal[d]: the equal bytes from x - d and x, for the x being done.
  std::vector<uint32_t> equal(tamp::kWindow + 1, 0);
  for (int x = n - 1; x >= 0; --x) {
    const int reach = std::min(x, tamp::kWindow);
    const uint32_t key = updateByDistance(equal.data(), reversed.data() + (n - 1 - x), reach);
    for (int d = reach + 1; d <= tamp::kWindow; ++d) equal[d] = 0;
    const uint32_t best = key >> 13;
    const int bestDistance = static_cast<int>(key & 0x1FFF);
    m.best[x] = best;
    m.from[x] = best == 0 ? 0 : x - bestDistance;
  }
  return m;
}

// The encoder's lengths from a table of best matches, as simpleEnc gives them.
inline unsigned creditFrom(const Matches& m, int pos, unsigned* matchOut) {
  uint32_t best = m.best[static_cast<size_t>(pos)];
  *matchOut = best >= 3 ? static_cast<unsigned>(m.from[static_cast<size_t>(pos)]) : 0;
  if (best < 4) return 1;
  return best - 1;
}

// tamp's own encoder on a buffer: header and groups.
inline Bytes fastEncode(const Bytes& src, int* total = nullptr) {
  tamp::OutputBuffer out;
  tamp::writeHeader(out, static_cast<int>(src.size()));
  int64_t written = tamp::encodeYaz0(src.data(), static_cast<int>(src.size()), out, nullptr);
  if (total != nullptr) *total = static_cast<int>(written);
  return out.bytes();
}

// A small Yaz0 reader, strict about the format: fails on a bad header, a
// back-reference before the start, or data missing or left over.
inline Bytes decodeYaz0(const Bytes& file) {
  if (file.size() < 16 || std::memcmp(file.data(), "Yaz0", 4) != 0)
    throw std::runtime_error("bad header");
  for (int i = 8; i < 16; ++i) {
    if (file[static_cast<size_t>(i)] != 0) throw std::runtime_error("header padding not zero");
  }
  size_t size = static_cast<size_t>(file[4]) << 24 | static_cast<size_t>(file[5]) << 16 |
                static_cast<size_t>(file[6]) << 8 | file[7];
  Bytes out;
  out.reserve(size);
  size_t in = 16;
  auto next = [&]() -> unsigned {
    if (in >= file.size()) throw std::runtime_error("data ends early");
    return file[in++];
  };
  while (out.size() < size) {
    unsigned code = next();
    for (int bit = 7; bit >= 0 && out.size() < size; --bit) {
      if (code & (1u << bit)) {
        out.push_back(static_cast<unsigned char>(next()));
        continue;
      }
      unsigned b1 = next(), b2 = next();
      size_t distance = ((b1 & 0x0Fu) << 8 | b2) + 1;
      size_t length = (b1 >> 4) != 0 ? (b1 >> 4) + 2 : next() + 18;
      if (distance > out.size()) throw std::runtime_error("reference before the start");
      if (out.size() + length > size) throw std::runtime_error("reference past the end");
      for (size_t i = 0; i < length; ++i) out.push_back(out[out.size() - distance]);
    }
  }
  if (in != file.size()) throw std::runtime_error("bytes left over");
  return out;
}

}  // namespace support
