// libFuzzer harness: compresses each input with tamp's search and with the
// exhaustive one and stops at the first byte where the two files differ.
//
// An input whose first byte is odd is first expanded as a little program of
// literal pieces and copies from earlier output (any distance, any length,
// overlapping allowed), which reaches long runs, periods and near-repeats
// far more often than raw bytes do.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tamp.h"

std::vector<unsigned char> referenceEncode(const unsigned char* src, int size);

namespace {

// Long enough for a stretch to match more than a window ahead.
constexpr size_t kMaxInput = 4608;

std::vector<unsigned char> expand(const uint8_t* data, size_t size) {
  std::vector<unsigned char> out;
  size_t i = 0;
  while (i < size && out.size() < kMaxInput) {
    unsigned op = data[i++];
    if (op < 0x80) {  // the next (op & 0x3F) + 1 bytes as they are
      for (unsigned n = (op & 0x3F) + 1; n > 0 && i < size; --n) out.push_back(data[i++]);
    } else if (!out.empty() && i + 1 < size) {  // a copy: 13 bits of distance, length up to 2 KiB
      size_t distance = ((op & 0x1F) << 8 | data[i]) % out.size() + 1;
      size_t length = 3 + (static_cast<size_t>(data[i + 1]) << ((op >> 5) & 3));
      i += 2;
      for (size_t n = 0; n < length && out.size() < kMaxInput; ++n)
        out.push_back(out[out.size() - distance]);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  std::vector<unsigned char> input;
  if (size > 0 && (data[0] & 1) != 0) {
    input = expand(data + 1, size - 1);
  } else {
    input.assign(data, data + size);
  }
  const int length = static_cast<int>(input.size());

  tamp::OutputBuffer out;
  tamp::writeHeader(out, length);
  int64_t total = tamp::encodeYaz0(input.data(), length, out, nullptr);
  std::vector<unsigned char> fast = out.bytes();
  std::vector<unsigned char> reference = referenceEncode(input.data(), length);

  size_t common = fast.size() < reference.size() ? fast.size() : reference.size();
  for (size_t i = 0; i < common; ++i) {
    if (fast[i] != reference[i]) {
      std::fprintf(stderr, "outputs differ at byte %zu of %zu (input of %d bytes)\n", i,
                   reference.size(), length);
      std::abort();
    }
  }
  if (fast.size() != reference.size() || total != static_cast<int64_t>(reference.size()) - 16) {
    std::fprintf(stderr, "output sizes differ: %zu (reported %lld) against %zu\n", fast.size(),
                 static_cast<long long>(total), reference.size());
    std::abort();
  }
  return 0;
}
