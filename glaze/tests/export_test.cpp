// glaze -l and -x on models and BTI files built from known texels.
#include <gtest/gtest.h>

#include "support.h"

using namespace glazetest;
using testkit::ListDir;
using testkit::TempDir;

namespace {

// A model of every format, shared data, repeated and awkward names.
struct Example {
  j3dbuild::Model model;
  std::vector<Known> textures;
  Example() {
    const std::pair<std::string, Known> list[] = {
        {"road", known(14, 40, 20, 1, 1)},
        {"dup", known(0, 16, 16, 3, 2)},
        {"dup", known(1, 8, 4, 1, 3)},
        {"a/b", known(2, 9, 9, 1, 4)},
        {".hidden", known(3, 4, 4, 3, 5)},
        {"", known(4, 5, 3, 1, 6)},
        {"\x8A\xC5\x94\xC2", known(5, 8, 8, 4, 7)},  // Shift-JIS
        {"x", known(6, 4, 4, 2, 8)},
        {"x.mip1", known(8, 16, 8, 1, 9, 0, 16)},
        {"pal", known(9, 8, 4, 1, 10, 1, 200)},
        {"big", known(10, 4, 4, 1, 11, 2, 300)},
    };
    for (const auto& [name, k] : list) {
      add(model, name, k);
      textures.push_back(k);
    }
    // Header 11 shares the data of header 0, with other wrap modes.
    j3dbuild::Texture shared = model.textures[0];
    shared.name = "road_mirror";
    shared.header.wrapS = 2;
    model.textures.push_back(shared);
    textures.push_back(textures[0]);
  }
};

}  // namespace

TEST(GlazeExport, ListsEveryHeader) {
  Example e;
  TempDir dir;
  testkit::WriteFile(dir / "m.bmd", j3dbuild::build(e.model));
  const auto r = runGlaze({"-l", dir / "m.bmd"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "0\troad\tCMPR\t40x20\t1\t-\t11\n"
            "1\tdup\tI4\t16x16\t3\t-\t-\n"
            "2\tdup\tI8\t8x4\t1\t-\t-\n"
            "3\ta/b\tIA4\t9x9\t1\t-\t-\n"
            "4\t.hidden\tIA8\t4x4\t3\t-\t-\n"
            "5\t\tRGB565\t5x3\t1\t-\t-\n"
            "6\t看板\tRGB5A3\t8x8\t4\t-\t-\n"
            "7\tx\tRGBA8\t4x4\t2\t-\t-\n"
            "8\tx.mip1\tC4\t16x8\t1\tIA8/16\t-\n"
            "9\tpal\tC8\t8x4\t1\tRGB565/200\t-\n"
            "10\tbig\tC14X2\t4x4\t1\tRGB5A3/300\t-\n"
            "11\troad_mirror\tCMPR\t40x20\t1\t-\t0\n");
}

TEST(GlazeExport, EveryTextureAndLevelAsTheReferenceDecodesIt) {
  Example e;
  TempDir dir;
  testkit::WriteFile(dir / "m.bmd", j3dbuild::build(e.model));
  const auto r = runGlaze({"-x", "-m", dir / "m.bmd", dir / "out"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  // Names made safe; repeated names and names that meet another's levels
  // get their index.
  EXPECT_EQ(
      ListDir(dir / "out"),
      (std::vector<std::string>{
          "_.png",        "_hidden.mip1.png", "_hidden.mip2.png", "_hidden.png",   "a_b.png",
          "big.png",      "dup.1.mip1.png",   "dup.1.mip2.png",   "dup.1.png",     "dup.2.png",
          "pal.png",      "road.png",         "road_mirror.png",  "x.7.mip1.png",  "x.7.png",
          "x.mip1.8.png", "看板.mip1.png",    "看板.mip2.png",    "看板.mip3.png", "看板.png"}));
  const std::vector<std::pair<std::string, int>> files = {
      {"road.png", 0},     {"dup.1.png", 1}, {"dup.2.png", 2}, {"a_b.png", 3},
      {"_hidden.png", 4},  {"_.png", 5},     {"看板.png", 6},  {"x.7.png", 7},
      {"x.mip1.8.png", 8}, {"pal.png", 9},   {"big.png", 10},  {"road_mirror.png", 11}};
  for (const auto& [file, index] : files) {
    const Known& k = e.textures[size_t(index)];
    expectTexels(dir / ("out/" + file), referenceTexels(k, 0), k.header.width, k.header.height);
  }
  expectTexels(dir / "out/看板.mip3.png", referenceTexels(e.textures[6], 3), 1, 1);
  expectTexels(dir / "out/dup.1.mip2.png", referenceTexels(e.textures[1], 2), 4, 4);
  // Grey formats (and a palette of grey entries) as grey + alpha.
  EXPECT_EQ(pngColourType(dir / "out/dup.1.png"), 4);
  EXPECT_EQ(pngColourType(dir / "out/x.mip1.8.png"), 4);
  EXPECT_EQ(pngColourType(dir / "out/road.png"), 6);
}

TEST(GlazeExport, ExistingFilesAreReplacedOnlyWithForce) {
  j3dbuild::Model model;
  add(model, "a", known(4, 8, 8, 1, 1));
  add(model, "b", known(4, 8, 8, 1, 2));
  TempDir dir;
  testkit::WriteFile(dir / "m.bmd", j3dbuild::build(model));
  testkit::MakeDir(dir / "out");
  testkit::WriteFile(dir / "out/a.png", std::string_view("mine"));
  auto r = runGlaze({"-x", dir / "m.bmd", dir / "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "glaze: " + (dir / "m.bmd") + ": " + (dir / "out") +
                       "/a.png exists (-f replaces it)\n");
  EXPECT_EQ(testkit::ReadFile(dir / "out/a.png"), "mine");
  EXPECT_EQ(ListDir(dir / "out"), (std::vector<std::string>{"a.png", "b.png"}));
  r = runGlaze({"-x", "-f", dir / "m.bmd", dir / "out"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(testkit::ReadFile(dir / "out/a.png"), "mine");
  EXPECT_EQ(ListDir(dir / "out"), (std::vector<std::string>{"a.png", "b.png"}));
}

TEST(GlazeExport, AShortPaletteIsAWarning) {
  // Indices up to 15 into a palette of 4 entries.
  Known k = known(8, 8, 8, 1, 3, 1, 16);
  k.header.paletteEntries = 4;
  k.palette.resize(8);
  j3dbuild::Model model;
  add(model, "short", k);
  TempDir dir;
  testkit::WriteFile(dir / "m.bmd", j3dbuild::build(model));
  const auto r = runGlaze({"-x", dir / "m.bmd", dir / "out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("glaze: " + (dir / "m.bmd") + ": warning: texture 0 (short): "),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("indices past its 4-entry palette; they are written transparent"),
            std::string::npos)
      << r.err;
  const auto expected = referenceTexels(k, 0);
  size_t transparent = 0;
  for (size_t i = 3; i < expected.size(); i += 4) transparent += expected[i] == 0;
  ASSERT_GT(transparent, 0u);
  expectTexels(dir / "out/short.png", expected, 8, 8);
}

TEST(GlazeExport, BtiFiles) {
  const Known k = known(9, 16, 8, 1, 4, 2, 40);
  TempDir dir;
  testkit::WriteFile(dir / "Sign.BTI", j3dbuild::buildBti(k.header, k.data, k.palette));
  auto r = runGlaze({"-l", dir / "Sign.BTI"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0\tSign\tC8\t16x8\t1\tRGB5A3/40\t-\n");
  r = runGlaze({"-x", dir / "Sign.BTI", dir.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  expectTexels(dir / "Sign.png", referenceTexels(k, 0), 16, 8);
}

TEST(GlazeExport, DamagedTexturesAreLeftOutAndTheOthersWritten) {
  j3dbuild::Model model;
  add(model, "good", known(4, 8, 8, 1, 1));
  Known bad = known(4, 8, 8, 1, 2);
  bad.header.format = 7;
  add(model, "bad", bad);
  add(model, "far", known(1, 8, 4, 1, 3));
  model.textures[2].dataOffset = 0x7FFFFFF0;
  TempDir dir;
  testkit::WriteFile(dir / "m.bmd", j3dbuild::build(model));
  auto r = runGlaze({"-x", dir / "m.bmd", dir / "out"});
  EXPECT_EQ(r.status, 1);
  const std::string prefix = "glaze: " + (dir / "m.bmd") + ": ";
  EXPECT_EQ(r.err, prefix + "texture 1 (bad): format 7 is not a texture format\n" + prefix +
                       "texture 2 (far): its data (32 bytes at offset 2147484016) lie past the "
                       "end of the file\n");
  EXPECT_EQ(ListDir(dir / "out"), std::vector<std::string>{"good.png"});
  r = runGlaze({"-l", dir / "m.bmd"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "0\tgood\tRGB565\t8x8\t1\t-\t-\n1\tbad\t?7\t8x8\t1\t-\t-\n2\tfar\tI8\t8x4\t1\t-\t-\n");
}
