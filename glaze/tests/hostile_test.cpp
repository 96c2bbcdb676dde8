// Damaged and hostile models, BTI files and PNG files, and the command line:
// a message, status 1 (2 for a usage error), bounded time and memory, and
// the model untouched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <functional>

#include "pictures.h"
#include "support.h"

using namespace glazetest;
using testkit::ReadBytes;
using testkit::TempDir;

namespace {

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}
void put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v >> 8);
  b[at + 1] = uint8_t(v);
}

struct Base {
  j3dbuild::Model model;
  j3dbuild::Layout layout;
  std::vector<uint8_t> bytes;
  Base() {
    add(model, "a", known(4, 8, 8, 1, 1));
    add(model, "pal", known(9, 8, 4, 1, 2, 2, 20));
    bytes = j3dbuild::build(model, &layout);
  }
  size_t header(size_t i) const { return layout.headers + 32 * i; }
};

struct Case {
  std::string what;
  std::function<void(Base&)> damage;
  std::string message;  // after "glaze: PATH: "
  bool listed = false;  // a damaged texture: the listing is still printed
  int texture = 0;      // the one a replacement names
};

}  // namespace

TEST(GlazeHostile, DamagedModels) {
  const std::vector<Case> cases = {
      {"short", [](Base& b) { b.bytes.resize(20); }, "it is too short for a J3D header (20 bytes)"},
      {"magic", [](Base& b) { b.bytes[4] = 'x'; },
       "it is not a BMD or BDL model (no J3D2bmd3 or J3D2bdl4 magic), a BRRES file (no bres "
       "magic), a TEX0 texture (no TEX0 magic) or a DS model or texture file (no BMD0 or BTX0 "
       "magic), and its name does not end in .bti"},
      {"chunk of 4", [](Base& b) { put32(b.bytes, 36, 4); },
       "its chunk at offset 32 has size 4 (less than 8)"},
      {"chunk past the end", [](Base& b) { put32(b.bytes, 36, 0x7FFFFFF0); },
       "its chunk at offset 32 has size 2147483632 past the end of the file"},
      {"no TEX1", [](Base& b) { std::copy_n("XEX1", 4, b.bytes.begin() + long(b.layout.tex1)); },
       "it has no TEX1 chunk"},
      {"TEX1 too short", [](Base& b) { put32(b.bytes, b.layout.tex1 + 4, 16); },
       "its TEX1 chunk is too short (16 bytes)"},
      {"headers", [](Base& b) { put16(b.bytes, b.layout.tex1 + 8, 60000); },
       "its TEX1 header array (60000 headers at offset 320) lies past the TEX1 chunk"},
      {"names", [](Base& b) { put32(b.bytes, b.layout.tex1 + 16, 0xFFFFFFF0); },
       "its name table (at offset 4294967568) lies past the TEX1 chunk"},
      {"name count", [](Base& b) { put16(b.bytes, b.layout.names, 3); },
       "its name table holds 3 names for 2 textures"},
      {"name offset", [](Base& b) { put16(b.bytes, b.layout.names + 10, 0xFFF0); },
       "texture 1 (): its name (at offset 65904) is not ended inside the TEX1 chunk", true, 1},
      {"width 0", [](Base& b) { put16(b.bytes, b.header(0) + 2, 0); },
       "texture 0 (a): its size 0 x 8 is outside 1..1024", true},
      {"width 2048", [](Base& b) { put16(b.bytes, b.header(0) + 2, 2048); },
       "texture 0 (a): its size 2048 x 8 is outside 1..1024", true},
      {"levels", [](Base& b) { b.bytes[b.header(0) + 0x18] = 5; },
       "texture 0 (a): it claims 5 levels; 8 x 8 has 1 to 4", true},
      {"format 15", [](Base& b) { b.bytes[b.header(0)] = 15; },
       "texture 0 (a): format 15 is not a texture format", true},
      {"palette format", [](Base& b) { b.bytes[b.header(1) + 9] = 3; },
       "texture 1 (pal): palette format 3 is unknown", true, 1},
      {"palette past the end", [](Base& b) { put32(b.bytes, b.header(1) + 12, 0xFFFFFFFF); },
       "texture 1 (pal): its palette (40 bytes at offset 4294967647) lies past the end of the file",
       true, 1},
      {"data past the end", [](Base& b) { put32(b.bytes, b.header(0) + 0x1C, 0xFFFFFFFF); },
       "texture 0 (a): its data (128 bytes at offset 4294967615) lie past the end of the file",
       true},
  };
  for (const Case& c : cases) {
    Base b;
    c.damage(b);
    TempDir dir;
    const std::string model = dir / "m.bmd";
    testkit::WriteFile(model, b.bytes);
    writePng(dir / "new.png", pictures::gameArt(8, 8, 1));
    testkit::RunOptions options;
    options.timeout_seconds = 20;
    if (!testkit::BuiltWithSanitizers()) options.max_address_space = 256 << 20;
    const std::string message = "glaze: " + model + ": " + c.message + "\n";
    // Appended, not "#" + ...: GCC 12 at -O3 warns falsely (-Wrestrict).
    std::string index = "#";
    index += std::to_string(c.texture);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-l", model}, {"-x", model, dir / "out"}, {model, index, dir / "new.png"}}) {
      const auto r = runGlaze(args, options);
      EXPECT_EQ(r.status, 1) << c.what << " " << args[0];
      if (args[0] == "-l") {
        EXPECT_EQ(r.err, message) << c.what;
        EXPECT_EQ(r.out.empty(), !c.listed) << c.what;
      } else {
        // A replacement says "texture 0 (a) cannot be replaced: ...".
        const std::string reason =
            c.listed ? c.message.substr(c.message.find("): ") + 3) : c.message;
        EXPECT_NE(r.err.find(reason), std::string::npos) << c.what << ": " << r.err;
      }
    }
    EXPECT_TRUE(testkit::SameBytes(b.bytes, ReadBytes(model))) << c.what;
    if (!c.listed) {
      EXPECT_FALSE(testkit::Exists(dir / "out/a.png")) << c.what;
    }
  }
}

TEST(GlazeHostile, DamagedBtiFiles) {
  TempDir dir;
  testkit::WriteFile(dir / "short.bti", std::vector<uint8_t>(10, 0));
  auto r = runGlaze({"-l", dir / "short.bti"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "glaze: " + (dir / "short.bti") +
                       ": it is too short for a BTI texture header (10 bytes, 32 needed)\n");
  const Known k = known(14, 16, 16, 3, 1);
  auto bytes = j3dbuild::buildBti(k.header, k.data, {});
  bytes.resize(bytes.size() - 32);
  testkit::WriteFile(dir / "cut.bti", bytes);
  r = runGlaze({"-x", dir / "cut.bti", dir / "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "glaze: " + (dir / "cut.bti") +
                       ": texture 0 (cut): its data (192 bytes at offset 32) lie past the end of "
                       "the file\n");
}

TEST(GlazeHostile, DamagedDisplayLists) {
  auto bdl = [](const std::function<void(std::vector<uint8_t>&, const j3dbuild::Layout&)>& damage) {
    j3dbuild::Model model;
    model.bdl = true;
    add(model, "a", known(4, 8, 8, 1, 1));
    model.displayLists = {
        j3dbuild::materialList({{0, 0, model.textures[0].header, 0}}, {{0, 0, -1, 0}})};
    j3dbuild::Layout layout;
    auto bytes = j3dbuild::build(model, &layout);
    damage(bytes, layout);
    return bytes;
  };
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {bdl([](auto& b, auto& l) { put32(b, l.mdl3 + 0x40, 0x10000); }),
       "its MDL3 chunk is damaged: the display list of material 0 lies past the chunk"},
      {bdl([](auto& b, auto& l) { put16(b, l.mdl3 + 8, 4000); }),
       "its MDL3 chunk is damaged: its packet table lies past the chunk"},
      {bdl([](auto& b, auto& l) { b[l.listAt[0] + 13] = 0x42; }),
       "the display list of material 0 has an unknown command 0x42 at byte 13"},
      {bdl([](auto& b, auto& l) { b[l.listAt[0] + 2] = 0xFF; }),
       "the display list of material 0 has a command cut short at byte 0"},
  };
  for (const auto& [bytes, message] : cases) {
    TempDir dir;
    testkit::WriteFile(dir / "m.bdl", bytes);
    writePng(dir / "new.png", pictures::gameArt(16, 16, 1));
    const auto r = runGlaze({dir / "m.bdl", "a", dir / "new.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "glaze: " + (dir / "m.bdl") + ": " + message + "\n");
    EXPECT_TRUE(testkit::SameBytes(bytes, ReadBytes(dir / "m.bdl")));
  }
}

TEST(GlazeHostile, DamagedAndEnormousImages) {
  Base b;
  TempDir dir;
  const std::string model = dir / "m.bmd";
  testkit::WriteFile(model, b.bytes);
  writePng(dir / "good.png", pictures::gameArt(16, 16, 1));
  const auto good = ReadBytes(dir / "good.png");

  // A header claiming 100000 x 100000 texels (CRC made right): refused
  // from the header, quickly and in little memory.
  auto huge = good;
  put32(huge, 16, 100000);
  put32(huge, 20, 100000);
  put32(huge, 29, uint32_t(crc32(0, &huge[12], 17)));
  testkit::WriteFile(dir / "huge.png", huge);
  auto cut = good;
  cut.resize(good.size() - 30);
  testkit::WriteFile(dir / "cut.png", cut);
  auto crc = good;
  crc[40] ^= 0x55;
  testkit::WriteFile(dir / "crc.png", crc);
  testkit::WriteFile(dir / "text.png", std::string_view("not a picture"));
  writePng(dir / "wide.png", pictures::gameArt(2048, 4, 1));
  {
    // 65 MiB, mostly a hole.
    testkit::WriteFile(dir / "vast.png", good);
    ASSERT_EQ(truncate((dir / "vast.png").c_str(), 65 << 20), 0);
  }
  testkit::MakeDir(dir / "folder.png");
  const std::pair<std::string, std::string> cases[] = {
      {"huge.png", "it is 100000 x 100000 texels; the console takes at most 1024 x 1024"},
      {"wide.png", "it is 2048 x 4 texels; the console takes at most 1024 x 1024"},
      {"cut.png", "it is damaged: "},
      {"crc.png", "it is damaged: "},
      {"text.png", "it is not a PNG file"},
      {"vast.png", "it is 68157440 bytes; a PNG of a texture takes at most 67108864 bytes"},
      {"folder.png", "it is not a regular file"},
      {"missing.png", "cannot open it: No such file or directory"},
  };
  testkit::RunOptions options;
  options.timeout_seconds = 20;
  if (!testkit::BuiltWithSanitizers()) options.max_address_space = 256 << 20;
  for (const auto& [file, message] : cases) {
    const auto r = runGlaze({model, "a", dir / file}, options);
    EXPECT_EQ(r.status, 1) << file;
    EXPECT_EQ(r.err.rfind("glaze: " + model + ": " + (dir / file) + ": " + message, 0), 0u)
        << r.err;
    EXPECT_TRUE(testkit::SameBytes(b.bytes, ReadBytes(model)));
  }
}

TEST(GlazeHostile, ModelsThatAreNotFiles) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "pipe.bmd").c_str(), 0644), 0);
  testkit::RunOptions options;
  options.timeout_seconds = 10;
  for (const std::string& model : {dir / "pipe.bmd", dir.path(), std::string("/dev/zero")}) {
    const auto r = runGlaze({"-l", model}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "glaze: " + model + ": it is not a regular file\n");
  }
  const auto r = runGlaze({"-l", dir / "missing.bmd"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "glaze: " + (dir / "missing.bmd") + ": cannot open it: No such file or directory\n");
}

TEST(GlazeCommandLine, UsageErrors) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "nothing to do"},
      {{"-l"}, "-l takes one MODEL"},
      {{"-l", "a", "b"}, "-l takes one MODEL"},
      {{"-x", "m"}, "-x takes a MODEL and a DIR"},
      {{"-l", "-x", "m"}, "-l and -x exclude one another"},
      {{"-m", "m", "t", "i.png"}, "-m and -f go with -x"},
      {{"-l", "-F", "CMPR", "m"}, "-F, -P, -M and -o go with a replacement, not with -l or -x"},
      {{"m", "t"}, "a replacement takes MODEL TEXTURE IMAGE.png"},
      {{"-F", "DXT1", "m", "t", "i.png"}, "unknown format -F DXT1"},
      {{"-F", "7", "m", "t", "i.png"}, "unknown format -F 7"},
      {{"-F", "RGB565", "-P", "IA8", "m", "t", "i.png"},
       "-P goes with a palette format (C4, C8, C14X2), not RGB565"},
      {{"-M", "0", "m", "t", "i.png"}, "-M takes a number of levels from 1 to 11, or auto; not 0"},
      {{"-M", "12", "m", "t", "i.png"},
       "-M takes a number of levels from 1 to 11, or auto; not 12"},
      {{"-M", "all", "m", "t", "i.png"},
       "-M takes a number of levels from 1 to 11, or auto; not all"},
      {{"-M"}, "-M needs a value"},
      {{"-q", "m"}, "unknown option -q"},
      {{"--frobnicate", "m"}, "unknown option --frobnicate"},
  };
  for (const auto& [args, problem] : cases) {
    const auto r = runGlaze(args);
    EXPECT_EQ(r.status, 2) << problem;
    EXPECT_EQ(r.err.rfind("glaze: " + problem + "\nusage: glaze -l MODEL\n", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
  }
  auto r = runGlaze({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: glaze -l MODEL\n", 0), 0u);
  EXPECT_NE(r.out.find("Exit status: 0 on success, 1 on failure, 2 on a usage error."),
            std::string::npos);
  r = runGlaze({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "glaze 1.0\n");
  // Lower-case names are taken.
  TempDir dir;
  Base b;
  testkit::WriteFile(dir / "m.bmd", b.bytes);
  writePng(dir / "i.png", pictures::gameArt(8, 8, 2));
  // -P takes a DS palette's name too, so a GX palette format is checked
  // once the file is known to be GX.
  r = runGlaze({"-P", "RGBA8", dir / "m.bmd", "a", dir / "i.png"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("glaze: unknown palette format -P RGBA8\nusage: glaze -l MODEL\n", 0), 0u)
      << r.err;
  r = runGlaze({"-F", "cmpr", "-M", "auto", dir / "m.bmd", "a", dir / "i.png"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(runGlaze({"-l", dir / "m.bmd"}).out.substr(0, 19), "0\ta\tCMPR\t8x8\t4\t-\t-\n");
}
