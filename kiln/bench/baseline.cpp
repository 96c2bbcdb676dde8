// kiln-bench-baseline MODEL.obj OUT.kcl GAME: kiln's job with a
// straightforward index (the benchmark's baseline): the same OBJ reader,
// encoding and file, but cubes split while they list more than 16 prisms,
// down to the same smallest cube, each listing every prism whose hit
// volume's bounding box meets it.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "kiln.h"

namespace {

struct Box {
  double lo[3], hi[3];
};

class Plain {
 public:
  Plain(const std::vector<kiln::HitShape>& shapes, const kiln::IndexArea& area, kiln::Game game)
      : area_(area),
        margin_(kiln::cubeMargin(area)),
        minBits_(kiln::chooseParameters(game).minCubeBits) {
    for (const kiln::HitShape& s : shapes) {
      Box box;
      for (int axis = 0; axis < 3; ++axis) {
        box.lo[axis] = HUGE_VAL;
        box.hi[axis] = -HUGE_VAL;
        for (const kiln::Vec3& v : s.corner) {
          box.lo[axis] = std::fmin(box.lo[axis], v[axis] - s.radius - area.origin[axis]);
          box.hi[axis] = std::fmax(box.hi[axis], v[axis] + s.radius - area.origin[axis]);
        }
        for (const kiln::Vec3& v : s.hull) {
          box.lo[axis] = std::fmin(box.lo[axis], v[axis] - area.origin[axis]);
          box.hi[axis] = std::fmax(box.hi[axis], v[axis] - area.origin[axis]);
        }
      }
      boxes_.push_back(box);
    }
  }

  kiln::IndexTree build() {
    tree_.area = area_;
    const int s = area_.shift;
    const uint32_t nx = 1u << (area_.bits[0] - s), ny = 1u << (area_.bits[1] - s);
    tree_.nodes.assign(area_.rootCount(), kiln::IndexTree::Node{});
    std::vector<uint32_t> all(boxes_.size());
    for (uint32_t i = 0; i < all.size(); ++i) all[i] = i;
    for (uint32_t root = 0; root < area_.rootCount(); ++root) {
      const double lo[3] = {static_cast<double>((root % nx) << s),
                            static_cast<double>(((root / nx) % ny) << s),
                            static_cast<double>((root / (nx * ny)) << s)};
      fill(root, lo, s, filter(all, lo, s));
    }
    return tree_;
  }

 private:
  std::vector<uint32_t> filter(const std::vector<uint32_t>& from, const double lo[3],
                               int bits) const {
    const double edge = std::ldexp(1.0, bits);
    std::vector<uint32_t> kept;
    for (uint32_t i : from) {
      const Box& b = boxes_[i];
      bool meets = true;
      for (int axis = 0; axis < 3 && meets; ++axis) {
        meets = b.lo[axis] <= lo[axis] + edge + margin_ && b.hi[axis] >= lo[axis] - margin_;
      }
      if (meets) kept.push_back(i);
    }
    return kept;
  }

  void fill(uint32_t node, const double lo[3], int bits, const std::vector<uint32_t>& list) {
    if (list.size() <= 16 || bits <= minBits_) {
      tree_.nodes[node].listStart = static_cast<uint32_t>(tree_.entries.size());
      tree_.nodes[node].listLength = static_cast<uint32_t>(list.size());
      for (uint32_t i : list) tree_.entries.push_back(static_cast<uint16_t>(i + 1));
      return;
    }
    const uint32_t first = static_cast<uint32_t>(tree_.nodes.size());
    tree_.nodes.resize(first + 8);
    tree_.nodes[node].firstChild = static_cast<int32_t>(first);
    const double half = std::ldexp(1.0, bits - 1);
    for (int child = 0; child < 8; ++child) {
      const double childLo[3] = {lo[0] + (child & 1) * half, lo[1] + ((child >> 1) & 1) * half,
                                 lo[2] + (child >> 2) * half};
      fill(first + static_cast<uint32_t>(child), childLo, bits - 1,
           filter(list, childLo, bits - 1));
    }
  }

  kiln::IndexArea area_;
  double margin_;
  int minBits_;
  std::vector<Box> boxes_;
  kiln::IndexTree tree_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || !kiln::gameNamed(argv[3])) {
    std::fprintf(stderr, "usage: kiln-bench-baseline MODEL.obj OUT.kcl mk7|mkds|mkwii\n");
    return 2;
  }
  try {
    const std::vector<uint8_t> text = kiln::readFile(argv[1], uint64_t{1} << 30);
    kiln::BuildOptions options;
    options.game = *kiln::gameNamed(argv[3]);
    options.indexBuilder = [](const std::vector<kiln::HitShape>& shapes,
                              const kiln::IndexArea& area,
                              kiln::Game game) { return Plain(shapes, area, game).build(); };
    const kiln::BuildResult result = kiln::buildKcl(
        kiln::readObj(std::string_view(reinterpret_cast<const char*>(text.data()), text.size())),
        options);
    std::ofstream out(argv[2], std::ios::binary);
    out.write(reinterpret_cast<const char*>(result.file.data()),
              static_cast<std::streamsize>(result.file.size()));
    if (!out.flush()) throw kiln::Error("cannot write");
  } catch (const kiln::Error& e) {
    std::fprintf(stderr, "kiln-bench-baseline: %s\n", e.what());
    return 1;
  }
  return 0;
}
