// untamp-plain IN OUT: the benchmark's baseline. Reads IN whole, decodes it
// one byte at a time (tests/plain_untamp.h) and writes OUT.

#include <cstdio>
#include <vector>

#include "plain_untamp.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: untamp-plain IN OUT\n");
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::vector<uint8_t> data;
  uint8_t buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0)
    data.insert(data.end(), buffer, buffer + got);
  std::fclose(in);
  const plain::Decoded decoded = plain::decode(data.data(), data.size());
  if (decoded.verdict != plain::Verdict::kDecoded) {
    std::fprintf(stderr, "untamp-plain: %s is damaged (at offset %zu)\n", argv[1], decoded.offset);
    return 1;
  }
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr ||
      std::fwrite(decoded.bytes.data(), 1, decoded.bytes.size(), out) != decoded.bytes.size() ||
      std::fclose(out) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  return 0;
}
