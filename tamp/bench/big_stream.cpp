// untamp-big-stream SIZE yaz0|plain: writes to standard output a Yaz0 stream
// that decodes to SIZE bytes (yaz0), or those decoded bytes (plain).
//
// tamp refuses inputs of 2 GiB or more, so the benchmark makes its large
// streams here: groups of eight literals (one in ten) and groups of eight
// back-references of random distance and length, the same for the same
// SIZE. The decoded bytes follow from the chunks through a window of the
// last 4096 bytes, so neither mode holds more than that.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

class Rng {
 public:
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) * n >> 32); }

 private:
  uint64_t state_ = 1;
};

class Writer {
 public:
  explicit Writer(bool plain) : plain_(plain) { buffer_.reserve(kBlock + 4096); }
  ~Writer() { flush(); }
  void compressed(uint8_t byte) {
    if (!plain_) put(byte);
  }
  // One decoded byte: into the window, and out in plain mode.
  void decoded(uint8_t byte) {
    window_[produced_++ & 4095] = byte;
    if (plain_) put(byte);
  }
  uint8_t back(uint32_t distance) const { return window_[(produced_ - distance) & 4095]; }
  uint64_t produced() const { return produced_; }

 private:
  static constexpr size_t kBlock = 1 << 20;
  void put(uint8_t byte) {
    buffer_.push_back(byte);
    if (buffer_.size() >= kBlock) flush();
  }
  void flush() {
    if (!buffer_.empty() &&
        std::fwrite(buffer_.data(), 1, buffer_.size(), stdout) != buffer_.size()) {
      std::perror("untamp-big-stream");
      std::exit(1);
    }
    buffer_.clear();
  }

  bool plain_;
  std::vector<uint8_t> buffer_;
  uint8_t window_[4096] = {};
  uint64_t produced_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[2], "yaz0") != 0 && std::strcmp(argv[2], "plain") != 0)) {
    std::fprintf(stderr, "usage: untamp-big-stream SIZE yaz0|plain\n");
    return 2;
  }
  const uint64_t size = std::strtoull(argv[1], nullptr, 10);
  if (size > 0xFFFFFFFFull) {
    std::fprintf(stderr, "untamp-big-stream: SIZE must be below 4 GiB\n");
    return 2;
  }
  Writer out(std::strcmp(argv[2], "plain") == 0);
  for (char c : {'Y', 'a', 'z', '0'}) out.compressed(static_cast<uint8_t>(c));
  for (int shift = 24; shift >= 0; shift -= 8) out.compressed(static_cast<uint8_t>(size >> shift));
  for (int i = 0; i < 8; ++i) out.compressed(0);

  Rng rng;
  while (out.produced() < size) {
    // Literals at the start, near the end and in one group of ten.
    const bool literals =
        out.produced() < 16 || size - out.produced() < 8 * 273 || rng.below(10) == 0;
    if (literals) {
      const uint64_t count = std::min<uint64_t>(8, size - out.produced());
      out.compressed(static_cast<uint8_t>(0xFF00 >> count));
      for (uint64_t i = 0; i < count; ++i) {
        const uint8_t byte = static_cast<uint8_t>(rng.next());
        out.compressed(byte);
        out.decoded(byte);
      }
      continue;
    }
    out.compressed(0);
    for (int chunk = 0; chunk < 8; ++chunk) {
      const uint32_t reach = static_cast<uint32_t>(std::min<uint64_t>(out.produced(), 4096));
      const uint32_t distance = 1 + rng.below(reach);
      const uint32_t length = 3 + rng.below(271);
      if (length <= 17) {
        out.compressed(static_cast<uint8_t>((length - 2) << 4 | (distance - 1) >> 8));
        out.compressed(static_cast<uint8_t>(distance - 1));
      } else {
        out.compressed(static_cast<uint8_t>((distance - 1) >> 8));
        out.compressed(static_cast<uint8_t>(distance - 1));
        out.compressed(static_cast<uint8_t>(length - 18));
      }
      for (uint32_t i = 0; i < length; ++i) out.decoded(out.back(distance));
    }
  }
  return 0;
}
