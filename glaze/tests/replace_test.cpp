// Replacing a texture: what changes in the file, and that nothing else does.
#include <gtest/gtest.h>

#include "fault_injection.h"
#include "pictures.h"
#include "reference.h"
#include "support.h"

using namespace glazetest;
using testkit::ReadBytes;
using testkit::TempDir;

namespace {

// An image of colours RGB565 holds exactly.
glaze::Image representable(int w, int h, uint32_t seed) {
  glaze::Image image = pictures::gameArt(w, h, seed);
  for (size_t i = 0; i < image.rgba.size(); i += 4) {
    uint8_t* p = &image.rgba[i];
    p[0] = uint8_t(glaze::widen5(glaze::nearest5(p[0])));
    p[1] = uint8_t(glaze::widen6(glaze::nearest6(p[1])));
    p[2] = uint8_t(glaze::widen5(glaze::nearest5(p[2])));
    p[3] = 255;
  }
  return image;
}

size_t headerAt(const j3dbuild::Layout& layout, size_t index) {
  return layout.headers + 32 * index;
}

struct Files {
  TempDir dir;
  std::string model = dir / "m.bmd", image = dir / "new.png";
};

}  // namespace

TEST(GlazeReplace, InPlaceUpdatesEverySharingHeaderAlike) {
  j3dbuild::Model model;
  model.after = {{"EVP2", 64}};
  add(model, "a", known(4, 16, 16, 1, 1));
  add(model, "other", known(4, 16, 16, 1, 2));
  j3dbuild::Texture mirror = model.textures[0];
  mirror.name = "a_mirror";
  mirror.header.wrapS = mirror.header.wrapT = 2;
  mirror.header.lodBias = -40;
  model.textures.push_back(mirror);
  j3dbuild::Layout layout;
  const auto before = j3dbuild::build(model, &layout);
  Files f;
  testkit::WriteFile(f.model, before);
  const glaze::Image image = representable(16, 16, 3);
  writePng(f.image, image);

  const auto r = runGlaze({f.model, "a_mirror", f.image});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  const auto after = ReadBytes(f.model);
  ASSERT_EQ(after.size(), before.size());
  // Both headers now describe the image; the data block was overwritten;
  // nothing else changed (the other texture, the names, the other chunks).
  EXPECT_EQ(texelsIn(after, headerAt(layout, 0)), image.rgba);
  EXPECT_EQ(texelsIn(after, headerAt(layout, 2)), image.rgba);
  EXPECT_EQ(after[headerAt(layout, 0) + 1], 0) << "alpha flag of an opaque image";
  EXPECT_EQ(after[headerAt(layout, 2) + 6], 2) << "wrap modes kept";
  EXPECT_TRUE(SameOutside(before, after,
                          {{headerAt(layout, 0), headerAt(layout, 0) + 32},
                           {headerAt(layout, 2), headerAt(layout, 2) + 32},
                           {layout.dataAt[0], layout.dataAt[0] + 512}}));
}

TEST(GlazeReplace, LargerDataMovesToTheEndOfTex1) {
  j3dbuild::Model model;
  model.after = {{"EVP2", 96}, {"DRW2", 64}};
  model.namesLast = true;
  add(model, "small", known(4, 8, 8, 1, 1));
  add(model, "keep", known(14, 16, 16, 2, 2));
  j3dbuild::Texture twin = model.textures[0];
  twin.name = "twin";
  model.textures.push_back(twin);
  j3dbuild::Layout layout;
  const auto before = j3dbuild::build(model, &layout);
  Files f;
  testkit::WriteFile(f.model, before);
  const glaze::Image image = representable(64, 32, 4);
  writePng(f.image, image);

  const auto r = runGlaze({"-M", "auto", "-o", f.dir / "out.bmd", f.model, "#2", f.image});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(testkit::SameBytes(before, ReadBytes(f.model))) << "-o leaves the model as it was";
  const auto after = ReadBytes(f.dir / "out.bmd");
  const size_t tex1End = layout.tex1 + layout.tex1Size;
  const size_t chain = 4096 + 1024 + 256 + 64 + 32 + 32 + 32;  // 64x32 down to 1x1
  ASSERT_EQ(after.size(), before.size() + chain);
  EXPECT_EQ(be32(after, 8), after.size()) << "file size";
  EXPECT_EQ(be32(after, layout.tex1 + 4), layout.tex1Size + chain) << "TEX1 size";
  for (size_t h : {headerAt(layout, 0), headerAt(layout, 2)}) {
    EXPECT_EQ(h + be32(after, h + 0x1C), tex1End) << "data at the old end of TEX1";
    EXPECT_EQ(after[h + 0x18], 7);
    EXPECT_EQ(after[h + 0x17], 48) << "max LOD";
    EXPECT_EQ(after[h + 0x10], 1) << "mipmaps on";
    EXPECT_EQ(after[h + 0x14], 5) << "linear becomes linear/mip linear";
    EXPECT_EQ(texelsIn(after, h), image.rgba);
    EXPECT_EQ(texelsIn(after, h, 6).size(), 4u);
  }
  // Everything before the end of TEX1 as it was but the two headers and the
  // sizes; the chunks after TEX1 moved along unchanged.
  EXPECT_TRUE(SameOutside(std::vector<uint8_t>(before.begin(), before.begin() + long(tex1End)),
                          std::vector<uint8_t>(after.begin(), after.begin() + long(tex1End)),
                          {{8, 12},
                           {layout.tex1 + 4, layout.tex1 + 8},
                           {headerAt(layout, 0), headerAt(layout, 0) + 32},
                           {headerAt(layout, 2), headerAt(layout, 2) + 32}}));
  EXPECT_TRUE(
      testkit::SameBytes(std::vector<uint8_t>(before.begin() + long(tex1End), before.end()),
                         std::vector<uint8_t>(after.begin() + long(tex1End + chain), after.end())));
}

TEST(GlazeReplace, BdlDisplayListsArePatchedInPlace) {
  // Material 0 shows texture 0 on map 0 (coordinate 0) and the palette
  // texture 1 on map 1 (coordinate 1); material 1 shows texture 2 only.
  j3dbuild::Model model;
  model.bdl = true;
  add(model, "road", known(14, 32, 32, 1, 1));
  add(model, "leaves", known(9, 16, 16, 1, 2, 2, 16));
  add(model, "sky", known(4, 8, 8, 1, 3));
  auto mapped = [&](int map, int index, int tlut = 0) {
    return j3dbuild::TextureMap{map, index, model.textures[size_t(index)].header, tlut};
  };
  model.displayLists = {j3dbuild::materialList({mapped(0, 0), mapped(1, 1, 0x180)}, {{0, 0, 1, 1}}),
                        j3dbuild::materialList({mapped(0, 2)}, {{0, 0, -1, 0}})};
  j3dbuild::Layout layout;
  const auto before = j3dbuild::build(model, &layout);
  Files f;
  testkit::WriteFile(f.model, before);
  writePng(f.image, pictures::photo(64, 128, 5));

  // road: 64 x 128 with a whole chain; leaves: 32 x 32 C8 of more colours.
  auto r = runGlaze({"-M", "auto", f.model, "road", f.image});
  ASSERT_EQ(r.status, 0) << r.err;
  writePng(f.image, pictures::gameArt(32, 32, 6));
  r = runGlaze({"-P", "RGB565", f.model, "leaves", f.image});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto after = ReadBytes(f.model);

  // The lists are what J3D would write for the new textures.
  j3dbuild::HeaderFields road = model.textures[0].header, leaves = model.textures[1].header;
  road.width = 64, road.height = 128, road.levels = 8, road.minFilter = 5;
  leaves.width = leaves.height = 32, leaves.paletteFormat = 1;
  leaves.paletteEntries = be16(after, headerAt(layout, 1) + 0x0A);
  ASSERT_GT(leaves.paletteEntries, 16);
  auto expected = j3dbuild::materialList({{0, 0, road, 0}, {1, 1, leaves, 0x180}}, {{0, 0, 1, 1}});
  const std::vector<uint8_t> list(after.begin() + long(layout.listAt[0]),
                                  after.begin() + long(layout.listAt[0] + expected.size()));
  EXPECT_TRUE(testkit::SameBytes(expected, list));
  // Only the first list and the two textures changed before TEX1's old end.
  const size_t tex1End = layout.tex1 + layout.tex1Size;
  EXPECT_TRUE(SameOutside(std::vector<uint8_t>(before.begin(), before.begin() + long(tex1End)),
                          std::vector<uint8_t>(after.begin(), after.begin() + long(tex1End)),
                          {{8, 12},
                           {layout.listAt[0], layout.listAt[0] + expected.size()},
                           {layout.tex1 + 4, layout.tex1 + 8},
                           {headerAt(layout, 0), headerAt(layout, 2)}}));

  // A palette format for a map whose list loads no palette is refused, and
  // the model stays as it was.
  writePng(f.image, pictures::gameArt(8, 8, 7));
  r = runGlaze({"-F", "C4", f.model, "sky", f.image});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "glaze: " + f.model +
                       ": the display list of material 1 loads no palette for texture map 0, so "
                       "it cannot take a palette format\n");
  EXPECT_TRUE(testkit::SameBytes(after, ReadBytes(f.model)));
}

TEST(GlazeReplace, APaletteThatWouldRunIntoAnotherIsRefused) {
  // Two palettes one TMEM unit (512 bytes, 16 lines) apart: C14X2 with
  // hundreds of colours needs more lines than fit before the second.
  j3dbuild::Model model;
  model.bdl = true;
  add(model, "a", known(9, 16, 16, 1, 1, 2, 16));
  add(model, "b", known(8, 8, 8, 1, 2, 2, 16));
  model.displayLists = {j3dbuild::materialList(
      {{0, 0, model.textures[0].header, 0x180}, {1, 1, model.textures[1].header, 0x181}},
      {{0, 0, 1, 1}})};
  const auto before = j3dbuild::build(model);
  Files f;
  testkit::WriteFile(f.model, before);
  writePng(f.image, pictures::photo(64, 64, 9));
  auto r = runGlaze({"-F", "C14X2", "-P", "RGB565", f.model, "a", f.image});
  EXPECT_EQ(r.status, 1);
  const std::string head = "glaze: " + f.model +
                           ": the display list of material 0 loads another palette at TMEM "
                           "address 0x181, which a palette of ",
                    tail = " colours for texture map 0 would overlap\n";
  EXPECT_EQ(r.err.substr(0, head.size()), head) << r.err;
  EXPECT_TRUE(r.err.size() > head.size() + tail.size() &&
              r.err.compare(r.err.size() - tail.size(), tail.size(), tail) == 0)
      << r.err;
  EXPECT_TRUE(testkit::SameBytes(before, ReadBytes(f.model)));
  // Up to 256 colours the palette takes 16 lines and fits.
  r = runGlaze({"-F", "C8", "-P", "RGB565", f.model, "a", f.image});
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST(GlazeReplace, FormatsPalettesAndLevels) {
  j3dbuild::Model model;
  add(model, "t", known(4, 32, 32, 6, 1));
  Files f;
  testkit::WriteFile(f.model, j3dbuild::build(model));
  const auto original = ReadBytes(f.model);
  const std::string prefix = "glaze: " + f.model + ": ";

  // Mipmaps need sides that are powers of two.
  writePng(f.image, pictures::photo(40, 24, 1));
  auto r = runGlaze({f.model, "t", f.image});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix +
                       "the image is 40 x 24; 6 mip levels need sides that are powers of "
                       "two (-M 1 gives a single level)\n");
  r = runGlaze({"-M", "7", f.model, "t", f.image});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix + "a 40 x 24 texture has at most 6 levels, not 7\n");
  EXPECT_TRUE(testkit::SameBytes(original, ReadBytes(f.model)));
  r = runGlaze({"-M", "1", "-F", "ia8", f.model, "t", f.image});
  EXPECT_EQ(r.status, 0) << r.err;
  r = runGlaze({"-l", f.model});
  EXPECT_EQ(r.out, "0\tt\tIA8\t40x24\t1\t-\t-\n");
  auto bytes = ReadBytes(f.model);
  const size_t header = 32 + 96 + 160 + 32;  // INF1 and VTX1, then TEX1's own header
  EXPECT_EQ(bytes[header + 0x14], 1) << "linear again";

  // A palette format on a texture that had none: RGB5A3 for an image with
  // alpha; -P with a format that has none is refused.
  glaze::Image leaves = pictures::cutOut(32, 32, 2);
  writePng(f.image, leaves);
  r = runGlaze({"-P", "IA8", f.model, "t", f.image});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix + "-P needs a palette format (C4, C8 or C14X2): texture 0 (t) is IA8\n");
  r = runGlaze({"-F", "C8", "-M", "auto", f.model, "t", f.image});
  EXPECT_EQ(r.status, 0) << r.err;
  r = runGlaze({"-l", f.model});
  EXPECT_EQ(r.out.rfind("0\tt\tC8\t32x32\t6\tRGB5A3/", 0), 0u) << r.out;
  // Texels under the alpha test are transparent, the rest opaque.
  bytes = ReadBytes(f.model);
  const auto texels = texelsIn(bytes, header);
  for (size_t i = 3; i < texels.size(); i += 4)
    ASSERT_EQ(texels[i] >= 128, leaves.rgba[i] >= 128) << "texel " << i / 4;
  EXPECT_NE(bytes[header + 1], 0) << "alpha flag";
}

TEST(GlazeReplace, BtiFilesAreWrittenAnew) {
  const Known k = known(4, 16, 16, 1, 1);
  Files f;
  const std::string bti = f.dir / "sign.bti";
  testkit::WriteFile(bti, j3dbuild::buildBti(k.header, k.data, {}));
  glaze::Image image = representable(32, 16, 2);
  image.at(3, 3)[3] = 0;
  writePng(f.image, image);
  const auto r = runGlaze({"-F", "C4", "-P", "RGB5A3", bti, "#0", f.image});
  EXPECT_EQ(r.status, 0) << r.err;
  const auto after = ReadBytes(bti);
  EXPECT_EQ(after[0], 8);
  EXPECT_EQ(be32(after, 0x1C), 32u) << "data at 0x20";
  EXPECT_EQ(be32(after, 0x0C), 32u + 256) << "the palette after it";
  EXPECT_EQ(after.size() % 32, 0u);
  EXPECT_EQ(after[1], 1) << "alpha flag";
  const auto texels = texelsIn(after, 0);
  EXPECT_EQ(texels[(3 * 32 + 3) * 4 + 3], 0);
}

TEST(GlazeReplace, NamesIndicesAndAmbiguity) {
  j3dbuild::Model model;
  add(model, "same", known(4, 8, 8, 1, 1));
  add(model, "same", known(4, 8, 8, 1, 2));
  add(model, "\x8A\xC5\x94\xC2", known(4, 8, 8, 1, 3));
  Files f;
  testkit::WriteFile(f.model, j3dbuild::build(model));
  writePng(f.image, representable(8, 8, 1));
  const std::string prefix = "glaze: " + f.model + ": ";
  auto r = runGlaze({f.model, "same", f.image});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix +
                       "several textures are named same (#0, #1): give the one to replace as "
                       "#INDEX\n");
  r = runGlaze({f.model, "#3", f.image});
  EXPECT_EQ(r.err, prefix + "it has no texture #3 (it has 3)\n");
  r = runGlaze({f.model, "nothing", f.image});
  EXPECT_EQ(r.err, prefix + "it has no texture named nothing\n");
  // The name as -l shows it, and as the model holds it.
  EXPECT_EQ(runGlaze({f.model, "看板", f.image}).status, 0);
  EXPECT_EQ(runGlaze({f.model, "\x8A\xC5\x94\xC2", f.image}).status, 0);
  EXPECT_EQ(runGlaze({f.model, "#1", f.image}).status, 0);
}

TEST(GlazeReplace, AFailureLeavesTheModelAsItWas) {
  // Every failing system call and an interrupt at each: the model is either
  // the old one or the whole new one, and no temporary file stays.
  j3dbuild::Model model;
  add(model, "a", known(4, 16, 16, 1, 1));
  const auto bytes = j3dbuild::build(model);
  TempDir images;
  writePng(images / "new.png", representable(32, 32, 1));
  testkit::FaultSweep sweep;
  sweep.argv = {kGlaze, "m.bmd", "a", images / "new.png"};
  sweep.prepare = [&](const std::string& dir) { testkit::WriteFile(dir + "/m.bmd", bytes); };
  sweep.calls = {"read",  "pread64", "write", "openat", "close",
                 "fstat", "rename",  "fsync", "fchmod"};
  sweep.samples_per_call = 3;
  testkit::ExpectEveryFailingCallHandled(sweep);
  sweep.fault = "signal=SIGINT";
  testkit::ExpectEveryFailingCallHandled(sweep);
}
