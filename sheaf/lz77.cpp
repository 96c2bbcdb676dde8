#include "lz77.h"

#include <algorithm>
#include <cstring>

#include "bytes.h"

namespace sheaf {

namespace {

constexpr size_t kWindow = 4096;
constexpr size_t kShortest = 3;
constexpr size_t kLongest = 18;
constexpr size_t kNearest = 2;  // never one byte back (see EncodeLz77)

// Pulls bytes from a source in large blocks.
class Reader {
 public:
  explicit Reader(untamp::Source& source) : source_(source), buffer_(1 << 16) {}
  // The next byte: false at the end of the data or on a read error.
  bool Next(uint8_t* byte) {
    if (at_ == end_ && !Fill()) return false;
    *byte = buffer_[at_++];
    ++consumed_;
    return true;
  }
  uint64_t consumed() const { return consumed_; }
  int error() const { return error_; }

 private:
  bool Fill() {
    if (error_ != 0) return false;
    const long n = source_.read(buffer_.data(), buffer_.size());
    if (n < 0) error_ = static_cast<int>(-n);
    if (n <= 0) return false;
    at_ = 0;
    end_ = static_cast<size_t>(n);
    return true;
  }

  untamp::Source& source_;
  std::vector<uint8_t> buffer_;
  size_t at_ = 0, end_ = 0;
  uint64_t consumed_ = 0;
  int error_ = 0;
};

}  // namespace

bool ParseLz77Header(const uint8_t* data, size_t size, Lz77Header* header) {
  if (size < 4 || data[0] != kLz77Type) return false;
  header->decoded_size = uint32_t{data[1]} | uint32_t{data[2]} << 8 | uint32_t{data[3]} << 16;
  header->extended = false;
  header->header_size = 4;
  if (header->decoded_size == 0 && size >= 8) {
    header->extended = true;
    header->header_size = 8;
    header->decoded_size = uint32_t{data[4]} | uint32_t{data[5]} << 8 | uint32_t{data[6]} << 16 |
                           uint32_t{data[7]} << 24;
  }
  return true;
}

uint64_t Lz77MostDecoded(uint64_t size) {
  // Each group: a flag byte and eight references of two bytes, 8 x 18 bytes.
  return (size / 17 + 1) * 8 * kLongest;
}

Lz77Outcome DecodeLz77(untamp::Source& source, const Lz77Header& header, uint8_t* out) {
  Reader in(source);
  Lz77Outcome outcome;
  uint8_t byte = 0;
  for (size_t i = 0; i < header.header_size; ++i) {
    if (!in.Next(&byte)) {
      outcome.problem = "the header is cut short";
      return outcome;
    }
  }
  const uint64_t size = header.decoded_size;
  uint64_t done = 0;
  auto cut = [&]() {
    outcome.problem = in.error() != 0 ? std::string("cannot read: ") + strerror(in.error())
                                      : "the stream ends after " + std::to_string(done) + " of " +
                                            std::to_string(size) + " bytes";
    return outcome;
  };
  while (done < size) {
    uint8_t flags;
    if (!in.Next(&flags)) return cut();
    for (int bit = 0; bit < 8 && done < size; ++bit, flags = static_cast<uint8_t>(flags << 1)) {
      if ((flags & 0x80) == 0) {
        if (!in.Next(&byte)) return cut();
        out[done++] = byte;
        continue;
      }
      uint8_t high, low;
      if (!in.Next(&high) || !in.Next(&low)) return cut();
      const uint64_t length = (high >> 4) + kShortest;
      const uint64_t distance = (uint64_t{high & 0x0Fu} << 8 | low) + 1;
      if (distance > done) {
        outcome.problem = "at stream byte " + std::to_string(in.consumed() - 2) +
                          ": a back-reference " + std::to_string(distance) +
                          " bytes back from output byte " + std::to_string(done) +
                          " reaches before the start";
        return outcome;
      }
      if (length > size - done) {
        outcome.problem = "at stream byte " + std::to_string(in.consumed() - 2) +
                          ": a back-reference of " + std::to_string(length) +
                          " bytes at output byte " + std::to_string(done) +
                          " runs past the decoded size (" + std::to_string(size) + ")";
        return outcome;
      }
      // Byte by byte: the reference may overlap what it writes.
      for (uint64_t k = 0; k < length; ++k, ++done) out[done] = out[done - distance];
    }
  }
  outcome.ok = true;
  outcome.consumed = in.consumed();
  return outcome;
}

std::vector<uint8_t> EncodeLz77(const uint8_t* data, size_t size, bool extended, size_t pad) {
  std::vector<uint8_t> out;
  out.reserve(size / 2 + 64);
  out.push_back(kLz77Type);
  if (extended) {
    out.insert(out.end(), {0, 0, 0});
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(size >> (8 * i)));
  } else {
    for (int i = 0; i < 3; ++i) out.push_back(static_cast<uint8_t>(size >> (8 * i)));
  }

  // Chains of earlier positions with the same first three bytes.
  constexpr int kHashBits = 15;
  constexpr int kMaxSteps = 128;
  std::vector<int32_t> head(size_t{1} << kHashBits, -1);
  std::vector<int32_t> previous(kWindow, -1);
  auto hash = [&](size_t at) {
    const uint32_t v = uint32_t{data[at]} << 16 | uint32_t{data[at + 1]} << 8 | data[at + 2];
    return (v * 2654435761u) >> (32 - kHashBits);
  };
  size_t indexed = 0;  // positions below this one are in the chains
  auto index_up_to = [&](size_t end) {
    for (; indexed < end && indexed + kShortest <= size; ++indexed) {
      const uint32_t h = hash(indexed);
      previous[indexed % kWindow] = head[h];
      head[h] = static_cast<int32_t>(indexed);
    }
  };
  auto longest = [&](size_t at, size_t* distance) {
    size_t best = 0;
    if (at + kShortest > size) return best;
    index_up_to(at);
    const size_t limit = std::min(kLongest, size - at);
    int32_t candidate = head[hash(at)];
    for (int steps = 0; candidate >= 0 && steps < kMaxSteps; ++steps) {
      const size_t back = at - static_cast<size_t>(candidate);
      if (back > kWindow) break;
      if (back >= kNearest) {
        size_t length = 0;
        while (length < limit && data[candidate + length] == data[at + length]) ++length;
        if (length > best) {
          best = length;
          *distance = back;
          if (length == limit) break;
        }
      }
      const int32_t next = previous[static_cast<size_t>(candidate) % kWindow];
      if (next >= candidate) break;  // the ring slot was reused
      candidate = next;
    }
    return best;
  };

  size_t at = 0;
  while (at < size) {
    const size_t flag_at = out.size();
    out.push_back(0);
    for (int bit = 0; bit < 8 && at < size; ++bit) {
      size_t distance = 0;
      const size_t length = longest(at, &distance);
      if (length >= kShortest) {
        out[flag_at] = static_cast<uint8_t>(out[flag_at] | 0x80 >> bit);
        out.push_back(static_cast<uint8_t>((length - kShortest) << 4 | (distance - 1) >> 8));
        out.push_back(static_cast<uint8_t>(distance - 1));
        at += length;
      } else {
        out.push_back(data[at++]);
      }
    }
  }
  if (pad > 1) out.resize(static_cast<size_t>(AlignUp(out.size(), pad)), 0);
  return out;
}

}  // namespace sheaf
