// The floor texsift is measured against: read a model from start to end and
// write files of given sizes, with no conversion in between.
//
//   texsift-bench-baseline MODEL FOLDER SIZE...
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: texsift-bench-baseline MODEL FOLDER SIZE...\n");
    return 2;
  }
  // The model is read through one buffer, as texsift reads it; the files are
  // written from another that holds the model's first bytes.
  constexpr size_t kChunk = 1 << 20;
  std::vector<char> in(kChunk), out(kChunk);
  FILE* model = std::fopen(argv[1], "rb");
  if (!model) {
    std::fprintf(stderr, "cannot open %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  size_t n, total = 0;
  while ((n = std::fread(in.data(), 1, kChunk, model)) > 0) {
    if (total == 0) std::copy_n(in.begin(), n, out.begin());
    total += n;
  }
  std::fclose(model);

  for (int i = 3; i < argc; ++i) {
    const std::string path = std::string(argv[2]) + "/copy " + std::to_string(i - 3) + ".dds";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
      std::fprintf(stderr, "cannot create %s: %s\n", path.c_str(), std::strerror(errno));
      return 1;
    }
    for (size_t left = std::strtoull(argv[i], nullptr, 10); left > 0;) {
      const size_t take = std::min(left, kChunk);
      if (std::fwrite(out.data(), 1, take, file) != take) return 1;
      left -= take;
    }
    if (std::fclose(file) != 0) return 1;
  }
  return total > 0 ? 0 : 1;
}
