// sheaf-genrom ROM [MIB [FILES]]: writes a DS ROM laid out as the console
// maker's SDK lays one out (romwriter), for the demo and the benchmark:
// without sizes the sample (code, overlays, a banner, a few files in
// folders, names in Shift-JIS); with them about MIB MiB of game-like files
// in FILES files (most small, every 50th a large one), in nested folders.
// The same arguments give the same ROM.

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "rom_writer.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    fprintf(stderr, "usage: %s ROM [MIB [FILES]]\n", argv[0]);
    return 2;
  }
  romwriter::Content content = romwriter::SampleContent();
  if (argc >= 3) {
    const uint64_t total = strtoull(argv[2], nullptr, 10) << 20;
    const uint64_t files = argc == 4 ? strtoull(argv[3], nullptr, 10) : 1000;
    if (files == 0) {
      fprintf(stderr, "%s: FILES must be at least 1\n", argv[0]);
      return 2;
    }
    content.files.clear();
    content.empty_folders.clear();
    std::mt19937_64 next(42);
    // Weights: a log-normal spread makes most files small with a long tail
    // (the median some 64 KiB at 512 MiB in 1,000 files); every 50th is a
    // large one (a course's models, a sound archive).
    std::lognormal_distribution<double> spread(0.0, 2.0);
    std::vector<double> weights(files);
    double sum = 0;
    for (uint64_t i = 0; i < files; ++i) {
      weights[i] = spread(next) + (i % 50 == 7 ? 40.0 : 0.0);
      sum += weights[i];
    }
    for (uint64_t i = 0; i < files; ++i) {
      const uint64_t size = static_cast<uint64_t>(weights[i] / sum * static_cast<double>(total));
      romwriter::Bytes data(size);
      for (uint64_t j = 0; j < size; j += 8) {
        const uint64_t v = next();
        for (uint64_t k = 0; k < 8 && j + k < size; ++k)
          data[j + k] = static_cast<uint8_t>(v >> (8 * k));
      }
      content.files.push_back({"Area" + std::to_string(i % 9) + "/set" + std::to_string(i % 37) +
                                   "/file" + std::to_string(i) + ".bin",
                               std::move(data)});
    }
  }
  romwriter::Style style;
  const romwriter::Bytes rom = romwriter::WriteRom(content, style);
  FILE* out = fopen(argv[1], "wb");
  if (out == nullptr || fwrite(rom.data(), 1, rom.size(), out) != rom.size() || fclose(out) != 0) {
    perror(argv[1]);
    return 1;
  }
  return 0;
}
