// sheaf_bench_tree DIR MIB FILES: makes a game-like tree below DIR of about
// MIB MiB in FILES files: many small files, a few large ones, in nested
// folders, some starting with magics that ask for an alignment in a SARC.
// The same arguments give the same tree.

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint64_t g_state = 0x2545F4914F6CDD1Dull;

uint64_t Next() {
  g_state ^= g_state << 13;
  g_state ^= g_state >> 7;
  g_state ^= g_state << 17;
  return g_state;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s DIR MIB FILES\n", argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  const uint64_t total = strtoull(argv[2], nullptr, 10) << 20;
  const uint64_t files = strtoull(argv[3], nullptr, 10);
  if (files == 0 || mkdir(root.c_str(), 0755) != 0) {
    perror(root.c_str());
    return 1;
  }
  // Weights: a cube of a uniform number makes most files small; every
  // 500th file is a large one (models, streams).
  std::vector<double> weights(files);
  double sum = 0;
  for (uint64_t i = 0; i < files; ++i) {
    const double u = static_cast<double>(Next() % 1000000 + 1) / 1e6;
    weights[i] = u * u * u * u + 0.002 + (i % 500 == 7 ? 2.0 : 0.0);
    sum += weights[i];
  }
  static const char* kMagics[] = {"Yaz0", "CWAV", "AAMP", "FLYT", "CTPK", "CGFX", "SARC", "CLYT"};
  std::vector<uint8_t> buffer;
  for (uint64_t i = 0; i < files; ++i) {
    const std::string area = root + "/Area" + std::to_string(i % 12);
    const std::string folder = area + "/set" + std::to_string(i % 61);
    mkdir(area.c_str(), 0755);
    mkdir(folder.c_str(), 0755);
    const uint64_t size =
        static_cast<uint64_t>(weights[i] / sum * static_cast<double>(total)) + i % 7;
    buffer.resize(size);
    for (uint64_t j = 0; j < size; j += 8) {
      const uint64_t v = Next();
      memcpy(buffer.data() + j, &v, std::min<uint64_t>(8, size - j));
    }
    const char* magic = kMagics[i % 8];
    if (size >= 8 && i % 3 == 0) memcpy(buffer.data(), magic, 4);
    const std::string path = folder + "/file" + std::to_string(i) + ".bin";
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(buffer.data(), 1, size, f) != size || fclose(f) != 0) {
      perror(path.c_str());
      return 1;
    }
  }
  return 0;
}
