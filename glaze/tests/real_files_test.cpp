// Conventions of the games' and the community's files, which are not
// damage: a level count of 0, one header among many that cannot be read,
// BDL display lists that set up no palette, and cut-out sprites whose mip
// levels must keep the share of texels that pass the alpha test.
#include <gtest/gtest.h>

#include "pictures.h"
#include "reference.h"
#include "support.h"

using namespace glazetest;
using testkit::ReadBytes;
using testkit::TempDir;

namespace {

void put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v >> 8);
  b[at + 1] = uint8_t(v);
}

double passingShare(const std::vector<uint8_t>& rgba) {
  size_t pass = 0;
  for (size_t i = 3; i < rgba.size(); i += 4) pass += rgba[i] >= 128;
  return double(pass) / double(rgba.size() / 4);
}

}  // namespace

TEST(GlazeRealFiles, ALevelCountOfZeroIsOneLevel) {
  // As custom models of a GameCube title store it: 0 levels, max LOD 0.
  j3dbuild::Model model;
  add(model, "before", known(4, 8, 8, 1, 1));
  Known zero = known(14, 16, 16, 1, 2);
  zero.header.levels = 0;
  add(model, "zero", zero);
  j3dbuild::Layout layout;
  const auto bytes = j3dbuild::build(model, &layout);
  const size_t header = layout.headers + 32;
  ASSERT_EQ(bytes[header + 0x18], 0);
  TempDir dir;
  const std::string bmd = dir / "m.bmd", bti = dir / "zero.bti";
  testkit::WriteFile(bmd, bytes);
  testkit::WriteFile(bti, j3dbuild::buildBti(zero.header, zero.data, {}));

  for (const std::string& file : {bmd, bti}) {
    auto r = runGlaze({"-l", file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("zero\tCMPR\t16x16\t1\t-\t-\n"), std::string::npos) << r.out;
    r = runGlaze({"-x", "-m", "-f", file, dir / "out"});
    EXPECT_EQ(r.status, 0) << r.err;
    int w, h;
    EXPECT_EQ(pngTexels(dir / "out/zero.png", w, h), referenceTexels(zero, 0));
    EXPECT_FALSE(testkit::Exists(dir / "out/zero.mip1.png"));
  }

  // A replacement keeps the stored 0 unless -M gives a count.
  writePng(dir / "new.png", pictures::photo(16, 16, 3));
  auto r = runGlaze({bmd, "zero", dir / "new.png"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto after = ReadBytes(bmd);
  EXPECT_EQ(after[header + 0x18], 0);
  EXPECT_EQ(after[header + 0x17], 0) << "max LOD";
  r = runGlaze({bti, "#0", dir / "new.png"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadBytes(bti)[0x18], 0);
  r = runGlaze({"-M", "1", bmd, "zero", dir / "new.png"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadBytes(bmd)[header + 0x18], 1);
  r = runGlaze({"-M", "auto", bti, "#0", dir / "new.png"});
  ASSERT_EQ(r.status, 0) << r.err;
  after = ReadBytes(bti);
  EXPECT_EQ(after[0x18], 5);
  EXPECT_EQ(after[0x17], 32) << "max LOD";
}

TEST(GlazeRealFiles, OneBadHeaderDoesNotStopTheOthers) {
  // good, a name that runs out of TEX1, an unknown format, a header sharing
  // that one's data, and another good one.
  j3dbuild::Model model;
  const Known good = known(5, 8, 8, 1, 1), last = known(3, 8, 4, 1, 5);
  add(model, "good", good);
  add(model, "unnamed", known(4, 8, 8, 1, 2));
  const Known odd = known(4, 8, 8, 1, 3);
  add(model, "odd", odd);
  j3dbuild::Texture twin = model.textures[2];
  twin.name = "twin";
  model.textures.push_back(twin);
  add(model, "last", last);
  j3dbuild::Layout layout;
  auto bytes = j3dbuild::build(model, &layout);
  put16(bytes, layout.names + 4 + 4 * 1 + 2, 0xFFF0);
  bytes[layout.headers + 32 * 2] = 7;
  TempDir dir;
  const std::string bmd = dir / "m.bmd";
  testkit::WriteFile(bmd, bytes);
  const std::string prefix = "glaze: " + bmd + ": ";
  const std::string unnamed = "texture 1 (): its name (at offset " +
                              std::to_string(layout.names + 0xFFF0) +
                              ") is not ended inside the TEX1 chunk";
  const std::string oddFault = "texture 2 (odd): format 7 is not a texture format";

  auto r = runGlaze({"-l", bmd});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "0\tgood\tRGB5A3\t8x8\t1\t-\t-\n"
            "1\t\tRGB565\t8x8\t1\t-\t-\n"
            "2\todd\t?7\t8x8\t1\t-\t3\n"
            "3\ttwin\tRGB565\t8x8\t1\t-\t2\n"
            "4\tlast\tIA8\t8x4\t1\t-\t-\n");
  EXPECT_EQ(r.err, prefix + unnamed + "\n" + prefix + oddFault + "\n");

  r = runGlaze({"-x", bmd, dir / "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix + unnamed + "\n" + prefix + oddFault + "\n");
  int w, h;
  EXPECT_EQ(pngTexels(dir / "out/good.png", w, h), referenceTexels(good, 0));
  EXPECT_EQ(pngTexels(dir / "out/twin.png", w, h), referenceTexels(odd, 0));
  EXPECT_EQ(pngTexels(dir / "out/last.png", w, h), referenceTexels(last, 0));
  EXPECT_FALSE(testkit::Exists(dir / "out/odd.png"));

  // Replacing a good texture works; the bad ones and a header sharing a bad
  // one's data are refused, the model kept.
  writePng(dir / "new.png", pictures::gameArt(16, 16, 4));
  r = runGlaze({bmd, "last", dir / "new.png"});
  EXPECT_EQ(r.status, 0) << r.err;
  const auto replaced = ReadBytes(bmd);
  EXPECT_EQ(be16(replaced, layout.headers + 32 * 4 + 2), 16);
  r = runGlaze({bmd, "#1", dir / "new.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix + "texture 1 () cannot be replaced: " + unnamed.substr(14) + "\n");
  r = runGlaze({bmd, "twin", dir / "new.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix + "texture 2 (odd), which shares the data of texture 3 (twin), is " +
                       "damaged: format 7 is not a texture format\n");
  EXPECT_TRUE(testkit::SameBytes(replaced, ReadBytes(bmd)));
}

TEST(GlazeRealFiles, DisplayListsThatSetUpNoPalette) {
  // A C8 map set up with SETIMAGE0-3 and SETMODE0/1 only, beside an RGB565
  // map: the game loads the palette from the texture header.
  j3dbuild::Model model;
  model.bdl = true;
  add(model, "grass", known(9, 16, 16, 1, 1, 1, 64));
  add(model, "rock", known(4, 16, 16, 1, 2));
  auto mapped = [&](int map, int index) {
    j3dbuild::TextureMap m{map, index, model.textures[size_t(index)].header, 0};
    m.paletteSetUp = false;
    return m;
  };
  model.displayLists = {j3dbuild::materialList({mapped(0, 0), mapped(1, 1)}, {{0, 0, 1, 1}})};
  j3dbuild::Layout layout;
  const auto before = j3dbuild::build(model, &layout);
  TempDir dir;
  const std::string bdl = dir / "m.bdl";
  testkit::WriteFile(bdl, before);

  // C8 by a C8 image of another size and palette: the list follows in what
  // it records, nothing is added.
  writePng(dir / "new.png", pictures::gameArt(32, 16, 3));
  auto r = runGlaze({bdl, "grass", dir / "new.png"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto after = ReadBytes(bdl);
  j3dbuild::HeaderFields grass = model.textures[0].header;
  grass.width = 32, grass.height = 16;
  grass.paletteEntries = be16(after, layout.headers + 0x0A);
  j3dbuild::TextureMap newMap{0, 0, grass, 0};
  newMap.paletteSetUp = false;
  const auto expected = j3dbuild::materialList({newMap, mapped(1, 1)}, {{0, 0, 1, 1}});
  EXPECT_TRUE(testkit::SameBytes(
      expected, std::vector<uint8_t>(after.begin() + long(layout.listAt[0]),
                                     after.begin() + long(layout.listAt[0] + expected.size()))));
  EXPECT_EQ(texelsIn(after, layout.headers, 0).size(), 32u * 16 * 4);
  // To C4 as well; but the RGB565 map, which showed no palette texture,
  // cannot take one: the list has no palette to point at it.
  r = runGlaze({"-F", "C4", bdl, "grass", dir / "new.png"});
  EXPECT_EQ(r.status, 0) << r.err;
  after = ReadBytes(bdl);
  r = runGlaze({"-F", "C8", bdl, "rock", dir / "new.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "glaze: " + bdl +
                       ": the display list of material 0 loads no palette for texture map 1, so "
                       "it cannot take a palette format\n");
  EXPECT_TRUE(testkit::SameBytes(after, ReadBytes(bdl)));
}

TEST(GlazeRealFiles, CutOutMipLevelsKeepTheirCoverage) {
  // Blades of grass one or two texels wide, alpha tested at 128: every
  // level keeps about the share of texels that pass, the first one too.
  const glaze::Image sprite = pictures::grass(128, 128, 1);
  const double share = passingShare(sprite.rgba);
  ASSERT_GT(share, 0.2);
  ASSERT_LT(share, 0.4);
  for (int format : {14, 5, 2}) {
    j3dbuild::Model model;
    add(model, "grass", known(format, 128, 128, 1, 1));
    j3dbuild::Layout layout;
    TempDir dir;
    testkit::WriteFile(dir / "m.bmd", j3dbuild::build(model, &layout));
    writePng(dir / "grass.png", sprite);
    const auto r = runGlaze({"-M", "5", dir / "m.bmd", "grass", dir / "grass.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto after = ReadBytes(dir / "m.bmd");
    EXPECT_EQ(passingShare(texelsIn(after, layout.headers, 0)), share) << "format " << format;
    for (int level = 1; level < 5; ++level) {
      const double kept = passingShare(texelsIn(after, layout.headers, level)) / share;
      EXPECT_GE(kept, 0.8) << "format " << format << ", level " << level;
      EXPECT_LE(kept, 1.5) << "format " << format << ", level " << level;
    }
  }
}
