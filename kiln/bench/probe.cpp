// kiln-bench-probe FILE.kcl: the benchmark's measures of an index, taken
// with the tests' independent reading of the format. Prints one line:
//   surface=MEAN surface_longest=N longest=N leaves=MEAN tested=N misses=N sections=BYTES
//   bytes=BYTES
// surface: the mean length of the list the game searches at points spread
// evenly over the surface (200,000 of them); longest: the longest list of
// any leaf; leaves: the mean length over the leaves that list anything; tested and misses: points
// within the hit volumes (20 per prism) and those whose leaf does not list the prism; sections: the
// bytes of positions, normals and prisms.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "kcl_reference.h"
#include "support.h"

namespace {

using reference::V;

// The longest list of the leaves below a block, and the count and total
// length of those that list anything.
struct Lists {
  size_t longest = 0, listing = 0, entries = 0;
};

void listsBelow(const reference::File& file, size_t block, uint32_t count, Lists& lists) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t key = file.u32(block + 4 * i);
    if (key & 0x80000000u) {
      size_t n = 0;
      for (size_t at = block + (key & 0x7FFFFFFFu) + 2; file.u16(at) != 0; at += 2) ++n;
      lists.longest = std::max(lists.longest, n);
      lists.listing += n > 0;
      lists.entries += n;
    } else {
      listsBelow(file, block + key, 8, lists);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kiln-bench-probe FILE.kcl\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  const reference::File file(bytes);

  // Points spread evenly over the prisms' surface, by area.
  std::vector<double> cumulative;
  double total = 0;
  for (size_t k = 1; k <= file.prismCount; ++k) {
    const reference::File::Prism p = file.prism(k);
    const V ab{p.b.x - p.a.x, p.b.y - p.a.y, p.b.z - p.a.z},
        ac{p.c.x - p.a.x, p.c.y - p.a.y, p.c.z - p.a.z};
    const V n{ab.y * ac.z - ab.z * ac.y, ab.z * ac.x - ab.x * ac.z, ab.x * ac.y - ab.y * ac.x};
    total += std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z) / 2;
    cumulative.push_back(total);
  }
  kilntest::Random random(1);
  const int samples = 200000;
  double sum = 0;
  size_t surfaceLongest = 0;
  for (int i = 0; i < samples; ++i) {
    const size_t k = static_cast<size_t>(std::lower_bound(cumulative.begin(), cumulative.end(),
                                                          random.uniform() * total) -
                                         cumulative.begin()) +
                     1;
    const reference::File::Prism p = file.prism(std::min(k, file.prismCount));
    double u = random.uniform(), v = random.uniform();
    if (u + v > 1) {
      u = 1 - u;
      v = 1 - v;
    }
    const V at{p.a.x + (p.b.x - p.a.x) * u + (p.c.x - p.a.x) * v,
               p.a.y + (p.b.y - p.a.y) * u + (p.c.y - p.a.y) * v,
               p.a.z + (p.b.z - p.a.z) * u + (p.c.z - p.a.z) * v};
    const size_t n = file.search(at).size();
    sum += static_cast<double>(n);
    surfaceLongest = std::max(surfaceLongest, n);
  }
  const uint32_t roots = 1u << (file.shiftXY + (__builtin_popcount(~file.masks[2]) - file.shift));
  Lists lists;
  listsBelow(file, file.indexOffset, roots, lists);
  const kilntest::Coverage coverage = kilntest::coverage(file, 20, 3);
  std::printf(
      "surface=%.2f surface_longest=%zu longest=%zu leaves=%.2f tested=%zu misses=%zu sections=%u "
      "bytes=%zu\n",
      sum / samples, surfaceLongest, lists.longest,
      lists.listing > 0 ? static_cast<double>(lists.entries) / static_cast<double>(lists.listing)
                        : 0,
      coverage.tested, coverage.missed, file.indexOffset - file.positionsOffset, bytes.size());
  if (coverage.missed > 0)
    std::fprintf(stderr, "kiln-bench-probe: %s\n", coverage.firstMiss.c_str());
  return 0;
}
