// libFuzzer harness of kiln's KCL reader: any bytes are either refused
// with an Error or read into a file whose every report, lookup and export
// stays inside it; lookups list only prisms the file holds, and the export
// reads back as a model of one triangle per prism.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kiln.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "kiln-fuzz-kcl: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  try {
    const kiln::KclFile kcl(std::move(bytes));
    const std::string text = kiln::describeKcl(kcl, "fuzz.kcl", 40);
    check(!text.empty(), "an empty description");
    kiln::checkKcl(kcl);
    // Points around each prism's corners and in the area.
    const kiln::IndexArea& area = kcl.area();
    std::vector<kiln::Vec3> points = {
        {area.origin[0], area.origin[1], area.origin[2]},
        {area.origin[0] + 0.5, area.origin[1] - 0.5, area.origin[2] + 3},
        {1e30, -1e30, 0}};
    for (size_t k = 1; k <= kcl.prismCount() && k <= 8; ++k) {
      kiln::Vec3 a, b, c;
      kcl.corners(k, a, b, c);
      points.push_back(a);
      points.push_back((a + b + c) * (1.0 / 3));
    }
    for (const kiln::Vec3& p : points) {
      const kiln::KclFile::Leaf leaf = kcl.lookup(p);
      for (uint16_t k : leaf.prisms)
        check(k >= 1 && k <= kcl.prismCount(), "a list names a prism the file lacks");
      kiln::queryKcl(kcl, p);
    }
    const kiln::ObjExport exported = kiln::exportObj(kcl, "fuzz.mtl", "fuzz.kcl");
    const kiln::ObjModel model = kiln::readObj(exported.obj);
    check(model.triangles.size() == kcl.prismCount(), "the export lost or made up triangles");
  } catch (const kiln::Error&) {
    // Refused: what a damaged file should get.
  }
  return 0;
}
