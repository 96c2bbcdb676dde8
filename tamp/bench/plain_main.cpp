// tamp-plain INPUT OUTPUT: the benchmark's baseline. Does tamp's job with
// the straightforward search: reads INPUT, writes its Yaz0 form to OUTPUT
// and prints the same lines as tamp.

#include <cstdio>
#include <vector>

#include "plain_yaz0.h"

int main(int argc, char** argv) {
  if (argc < 3) return 1;
  std::FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) return 1;
  std::fseek(in, 0, SEEK_END);
  long size = std::ftell(in);
  std::fseek(in, 0, SEEK_SET);
  if (size < 0 || size > 0x7FFFFFFF) return 1;
  std::printf("input file size: %d\n", static_cast<int>(size));
  std::vector<unsigned char> data(static_cast<size_t>(size));
  if (std::fread(data.data(), 1, data.size(), in) != data.size()) return 1;
  std::fclose(in);

  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) return 255;
  std::printf("Writing %s\n", argv[2]);
  std::vector<int> progress;
  std::vector<unsigned char> encoded =
      plain::encode(data.data(), static_cast<int>(size), &progress);
  for (int percent : progress) std::printf("\r %3d%%", percent);
  std::printf("\r done\n");
  bool ok = std::fwrite(encoded.data(), 1, encoded.size(), out) == encoded.size();
  ok = std::fclose(out) == 0 && ok;
  if (!ok) return 1;
  std::printf("Encoded %d bytes from input\n", static_cast<int>(encoded.size() - 16));
  return 0;
}
