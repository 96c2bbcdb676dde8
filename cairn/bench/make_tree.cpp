// cairn_bench_tree DIR MIB FILES: makes a tree of about MIB MiB in FILES
// files below DIR (nested folders, sizes from a few bytes to a few MiB), the
// same for the same arguments.

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

uint64_t g_state = 0x9E3779B97F4A7C15ull;

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
    return 1;
  }
  const std::string root = argv[1];
  const uint64_t total = strtoull(argv[2], nullptr, 10) << 20;
  const uint64_t files = strtoull(argv[3], nullptr, 10);
  if (files == 0) return 1;
  if (mkdir(root.c_str(), 0755) != 0) {
    perror(root.c_str());
    return 1;
  }

  // Sizes: uneven, most small, a few large, scaled to the total.
  std::vector<double> weights(files);
  double sum = 0;
  for (uint64_t i = 0; i < files; ++i) {
    const double u = double(Next() % 1000000 + 1) / 1000000.0;
    weights[i] = u * u * u + 0.01;
    sum += weights[i];
  }

  std::vector<uint8_t> buffer;
  for (uint64_t i = 0; i < files; ++i) {
    const std::string dir =
        root + "/area" + std::to_string(i % 8) + "/set" + std::to_string(i % 37);
    mkdir((root + "/area" + std::to_string(i % 8)).c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    const uint64_t size = static_cast<uint64_t>(weights[i] / sum * double(total)) + i % 13;
    buffer.resize(size);
    for (uint64_t j = 0; j + 8 <= size; j += 8) {
      const uint64_t v = Next();
      for (int k = 0; k < 8; ++k) buffer[j + k] = uint8_t(v >> (8 * k));
    }
    const std::string path = dir + "/file" + std::to_string(i) + ".bin";
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(buffer.data(), 1, size, f) != size || fclose(f) != 0) {
      perror(path.c_str());
      return 1;
    }
  }
  return 0;
}
