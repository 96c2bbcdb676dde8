// BRRES and TEX0 files end to end: files of the three pool layouts that
// real files use, with models whose names must survive, listed, exported,
// put back unedited (byte for byte), grown, shrunk, given palettes; hostile
// files; standalone .tex0 files. Every edited file is read back by the
// tests' own strict reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "brres_builder.h"
#include "brres_reference.h"
#include "fault_injection.h"
#include "mip_quality.h"
#include "pictures.h"
#include "reference.h"
#include "support.h"

using namespace glazetest;
using brresbuild::Pool;
using testkit::ReadBytes;
using testkit::TempDir;

namespace {

constexpr Pool kPools[] = {Pool::kSorted, Pool::kCTools, Pool::kInsideRoot};

const char* poolName(Pool pool) {
  return pool == Pool::kSorted ? "sorted" : pool == Pool::kCTools ? "CTools" : "inside root";
}

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}

// A texture of random stored bytes (support's known), and its palette.
brresbuild::Texture texture(const std::string& name, int format, int w, int h, int images,
                            uint32_t seed, int version, brresbuild::Palette* palette = nullptr,
                            int paletteFormat = 2, int entries = 16) {
  const Known k = known(format, w, h, images, seed, paletteFormat, entries);
  brresbuild::Texture t;
  t.name = name, t.version = version, t.format = format;
  t.width = w, t.height = h, t.images = images, t.data = k.data;
  if (palette) {
    palette->name = name, palette->format = paletteFormat;
    for (size_t i = 0; i + 1 < k.palette.size(); i += 2)
      palette->entries.push_back(uint16_t(k.palette[i] << 8 | k.palette[i + 1]));
  }
  return t;
}

// A course-like file: two models naming pool strings from inside, textures
// of every format (names of 1 to 8 characters, so that some end on 4
// bytes), TEX0 versions 1 and 3, palettes, an animation.
brresbuild::File sample(Pool pool) {
  brresbuild::File f;
  f.pool = pool;
  f.models = {{"course", {"bone_root", "mat_road", "mat_grass", "road", "grass", "shader0"}},
              {"sky_model", {"mat_sky", "sky"}}};
  brresbuild::Palette grass, lamp, glow;
  f.textures = {texture("road", 14, 32, 32, 3, 1, 3),
                texture("grass", 8, 16, 16, 1, 2, 1, &grass, 2, 16),
                texture("sky", 5, 16, 8, 1, 3, 3),
                texture("a", 0, 8, 8, 1, 4, 1),
                texture("ab", 1, 16, 8, 2, 5, 3),
                texture("abc", 2, 8, 8, 1, 6, 3),
                texture("abcd", 3, 8, 4, 1, 7, 1),
                texture("abcde", 4, 8, 8, 4, 8, 3),
                texture("abcdefgh", 6, 4, 4, 1, 9, 3),
                texture("lamp", 9, 8, 8, 1, 10, 3, &lamp, 0, 20),
                texture("glow", 10, 4, 4, 1, 11, 1, &glow, 1, 30)};
  // Tool-made files store a max LOD of 0 with several images.
  f.textures[0].maxLod = 0;
  f.palettes = {grass, lamp, glow};
  f.animations = {"scroll"};
  f.rootText = pool == Pool::kSorted;
  f.customFolder = pool != Pool::kInsideRoot;
  f.emptyReferenceNames = pool == Pool::kCTools;
  f.sectionCount = pool == Pool::kCTools ? 3 : -1;
  f.padPool = pool != Pool::kCTools;
  return f;
}

const char* const kFormatNames[] = {"I4", "I8", "IA4",   "IA8", "RGB565", "RGB5A3", "RGBA8", "",
                                    "C4", "C8", "C14X2", "",    "",       "",       "CMPR"};
const char* const kPaletteNames[] = {"IA8", "RGB565", "RGB5A3"};

std::string listing(const brresbuild::File& f) {
  std::string out;
  for (size_t i = 0; i < f.textures.size(); ++i) {
    const brresbuild::Texture& t = f.textures[i];
    std::string palette = "-";
    for (const brresbuild::Palette& p : f.palettes)
      if (p.name == t.name && t.format >= 8 && t.format <= 10)
        palette = std::string(kPaletteNames[p.format]) + "/" + std::to_string(p.entries.size());
    out += std::to_string(i) + "\t" + t.name + "\t" + kFormatNames[t.format] + "\t" +
           std::to_string(t.width) + "x" + std::to_string(t.height) + "\t" +
           std::to_string(t.images) + "\t" + palette + "\t-\n";
  }
  return out;
}

// The texels of level `level` of a texture as the tests' reader finds it.
std::vector<uint8_t> texels(const brresref::File& file, const std::string& name, int level = 0) {
  for (const brresref::Tex0& t : file.textures) {
    if (t.name != name) continue;
    size_t at = 0;
    for (int k = 0; k < level; ++k)
      at += reference::levelBytes(t.format, std::max(1, t.width >> k), std::max(1, t.height >> k));
    std::vector<uint16_t> palette;
    int paletteFormat = 0;
    for (const brresref::Plt0& p : file.palettes)
      if (p.name == name) palette = p.entries, paletteFormat = p.format;
    return reference::decode(t.format, std::max(1, t.width >> level),
                             std::max(1, t.height >> level), t.data.data() + at, palette,
                             paletteFormat);
  }
  ADD_FAILURE() << "no texture " << name;
  return {};
}

brresref::File readBack(const std::vector<uint8_t>& bytes) {
  brresref::File file;
  std::string fault;
  EXPECT_TRUE(brresref::read(bytes, file, fault)) << fault;
  return file;
}

const brresref::Tex0& tex0Of(const brresref::File& file, const std::string& name) {
  for (const brresref::Tex0& t : file.textures)
    if (t.name == name) return t;
  throw std::runtime_error("no TEX0 " + name);
}

const brresref::Plt0* plt0Of(const brresref::File& file, const std::string& name) {
  for (const brresref::Plt0& p : file.palettes)
    if (p.name == name) return &p;
  return nullptr;
}

// The names models reach from inside, after an edit moved them by delta.
::testing::AssertionResult ModelNamesHold(const std::vector<uint8_t>& bytes,
                                          const brresbuild::Layout& layout, size_t delta) {
  for (const auto& ref : layout.references) {
    const size_t field = ref.field + delta, base = ref.base + delta;
    const int32_t offset = int32_t(be32(bytes, field));
    const std::string name = brresref::poolString(bytes, size_t(int64_t(base) + offset));
    if (name != ref.name)
      return ::testing::AssertionFailure() << "the model's name at " << field << " reaches \""
                                           << name << "\", not \"" << ref.name << "\"";
  }
  return ::testing::AssertionSuccess();
}

// Every sub-file but the named ones has the same bytes at `delta` further on.
::testing::AssertionResult OthersUnchanged(const std::vector<uint8_t>& before,
                                           const std::vector<uint8_t>& after,
                                           const std::vector<std::string>& changed, size_t delta) {
  const brresref::File old = readBack(before);
  for (const brresref::SubFile& s : old.subFiles) {
    if (std::find(changed.begin(), changed.end(), s.name) != changed.end()) continue;
    // The offset to the file (0x0C) follows a move.
    for (size_t i = 0; i < s.length; ++i) {
      if (delta != 0 && i >= 12 && i < 16) continue;
      if (s.at + delta + i >= after.size() || before[s.at + i] != after[s.at + delta + i])
        return ::testing::AssertionFailure()
               << s.magic << " " << s.name << " changed at byte " << i;
    }
  }
  return ::testing::AssertionSuccess();
}

struct Files {
  TempDir dir;
  std::string brres = dir / "course_model.brres", image = dir / "new.png";
};

}  // namespace

TEST(GlazeBrres, ListsAndExportsEveryLayout) {
  for (Pool pool : kPools) {
    SCOPED_TRACE(poolName(pool));
    const brresbuild::File f = sample(pool);
    const auto bytes = brresbuild::build(f);
    const brresref::File file = readBack(bytes);
    Files files;
    testkit::WriteFile(files.brres, bytes);
    auto r = runGlaze({"-l", files.brres});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, listing(f));
    EXPECT_EQ(r.err, "");
    // Every level of one layout, level 0 of the others (ImageMagick reads
    // them back, a process each).
    const bool mips = pool == Pool::kSorted;
    r = runGlaze({"-x", mips ? "-m" : "-f", files.brres, files.dir / "out"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const brresbuild::Texture& t : f.textures)
      for (int level = 0; level < (mips ? t.images : 1); ++level) {
        int w, h;
        const std::string png =
            files.dir / ("out/" + t.name + (level ? ".mip" + std::to_string(level) : "") + ".png");
        EXPECT_EQ(pngTexels(png, w, h), texels(file, t.name, level)) << t.name << " " << level;
      }
    EXPECT_TRUE(testkit::SameBytes(bytes, ReadBytes(files.brres)));
  }
  // A file without textures lists nothing.
  brresbuild::File empty;
  empty.models = {{"m", {"n"}}};
  Files files;
  testkit::WriteFile(files.brres, brresbuild::build(empty));
  const auto r = runGlaze({"-l", files.brres});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "glaze: " + files.brres + ": it holds no textures (no Textures(NW4R) folder)\n");
}

TEST(GlazeBrres, PutBackUneditedComesBackByteForByte) {
  // Level 0 and everything else as it was; only the mip levels are made
  // anew. The palettes stay.
  for (Pool pool : kPools) {
    const brresbuild::File f = sample(pool);
    brresbuild::Layout layout;
    const auto bytes = brresbuild::build(f, &layout);
    Files files;
    testkit::WriteFile(files.brres, bytes);
    ASSERT_EQ(runGlaze({"-x", files.brres, files.dir / "out"}).status, 0);
    for (size_t i = 0; i < f.textures.size(); ++i) {
      const brresbuild::Texture& t = f.textures[i];
      SCOPED_TRACE(std::string(poolName(pool)) + ", " + t.name);
      const auto r = runGlaze({files.brres, t.name, files.dir / ("out/" + t.name + ".png")});
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "");
      const auto after = ReadBytes(files.brres);
      const size_t data = layout.textureAt[i] + (pool == Pool::kInsideRoot ? 0x60 : 0x40);
      const size_t mips = data + brresbuild::levelBytes(t.format, t.width, t.height);
      const size_t end = data + t.data.size();
      EXPECT_TRUE(SameOutside(bytes, after, {{mips, end}}));
      EXPECT_EQ(after.size(), bytes.size());
      testkit::WriteFile(files.brres, bytes);
    }
  }
}

TEST(GlazeBrres, GrowingMovesTheTextureToTheEndAndShrinkingStaysInPlace) {
  for (Pool pool : kPools) {
    SCOPED_TRACE(poolName(pool));
    const brresbuild::File f = sample(pool);
    brresbuild::Layout layout;
    const auto before = brresbuild::build(f, &layout);
    Files files;
    testkit::WriteFile(files.brres, before);
    const glaze::Image image = pictures::gameArt(64, 32, 3);
    writePng(files.image, image);

    auto r = runGlaze({"-M", "auto", files.brres, "road", files.image});
    ASSERT_EQ(r.status, 0) << r.err;
    auto after = ReadBytes(files.brres);
    brresref::File file = readBack(after);
    const brresref::Tex0 road = tex0Of(file, "road");
    const size_t oldAt = layout.textureAt[0], oldLength = 0x40 + f.textures[0].data.size() +
                                                          (pool == Pool::kInsideRoot ? 0x20 : 0);
    EXPECT_EQ(road.at, (before.size() + 31) / 32 * 32) << "moved to the end, 32-byte aligned";
    EXPECT_EQ(road.width, 64);
    EXPECT_EQ(road.images, 7);
    EXPECT_EQ(road.maxLod, 0x40C00000u) << "6.0: the image count changed";
    if (pool == Pool::kInsideRoot) {
      EXPECT_EQ(road.nameOffset, 0x38) << "its own name moves with it";
      EXPECT_EQ(after.size(), road.at + road.length);
    } else {
      EXPECT_EQ(size_t(road.nameOffset), road.length + 4) << "a copy of its name after it";
    }
    EXPECT_EQ(std::count(after.begin() + long(oldAt), after.begin() + long(oldAt + oldLength), 0),
              long(oldLength))
        << "the old block is zeros";
    const size_t entry = layout.groups.at("Textures(NW4R)") + 8 + 16;
    EXPECT_TRUE(SameOutside(before, after,
                            {{8, 12}, {oldAt, oldAt + oldLength}, {entry + 12, entry + 16}}));
    // Only the TEX0's entry changed in the groups; nothing else moved.
    EXPECT_TRUE(OthersUnchanged(before, after, {"road"}, 0));
    EXPECT_TRUE(ModelNamesHold(after, layout, 0));
    EXPECT_GT(mipquality::psnr(image, texels(file, "road")), 25);

    // A smaller image stays in place: the length follows, the bytes freed
    // are zeros, the file keeps its size.
    writePng(files.image, pictures::gameArt(8, 8, 4));
    const auto grown = after;
    r = runGlaze({"-M", "1", files.brres, "road", files.image});
    ASSERT_EQ(r.status, 0) << r.err;
    after = ReadBytes(files.brres);
    EXPECT_EQ(after.size(), grown.size());
    file = readBack(after);
    const brresref::Tex0 small = tex0Of(file, "road");
    EXPECT_EQ(small.at, road.at);
    EXPECT_EQ(small.length, small.dataOffset + 32);
    EXPECT_EQ(small.maxLod, 0u);
    EXPECT_EQ(std::count(after.begin() + long(small.at + small.length),
                         after.begin() + long(road.at + road.length), 0),
              long(road.length - small.length));
    EXPECT_TRUE(OthersUnchanged(grown, after, {"road"}, 0));
  }
}

TEST(GlazeBrres, PalettesFollowTheirTexture) {
  for (Pool pool : kPools) {
    SCOPED_TRACE(poolName(pool));
    const brresbuild::File f = sample(pool);
    brresbuild::Layout layout;
    const auto before = brresbuild::build(f, &layout);
    Files files;
    testkit::WriteFile(files.brres, before);

    // C4 to C8 of many colours: the PLT0 grows and moves to the end.
    writePng(files.image, pictures::photo(16, 16, 5));
    auto r = runGlaze({"-F", "C8", "-P", "RGB565", files.brres, "grass", files.image});
    ASSERT_EQ(r.status, 0) << r.err;
    auto after = ReadBytes(files.brres);
    brresref::File file = readBack(after);
    const brresref::Plt0* grass = plt0Of(file, "grass");
    ASSERT_TRUE(grass);
    EXPECT_EQ(grass->format, 1);
    EXPECT_GT(grass->entries.size(), 16u);
    EXPECT_GT(grass->at, layout.paletteAt.back()) << "moved to the end";
    EXPECT_EQ(tex0Of(file, "grass").format, 9);
    EXPECT_EQ(tex0Of(file, "grass").flags, 1u);
    EXPECT_TRUE(OthersUnchanged(before, after, {"grass"}, 0));

    // C8 of 20 IA8 entries to C4: the palette fits in place.
    testkit::WriteFile(files.brres, before);
    writePng(files.image, pictures::gameArt(8, 8, 6));
    r = runGlaze({"-F", "C4", files.brres, "lamp", files.image});
    ASSERT_EQ(r.status, 0) << r.err;
    after = ReadBytes(files.brres);
    EXPECT_EQ(after.size(), before.size());
    file = readBack(after);
    const brresref::Plt0* lamp = plt0Of(file, "lamp");
    ASSERT_TRUE(lamp);
    EXPECT_EQ(lamp->at, layout.paletteAt[1]);
    EXPECT_EQ(lamp->format, 0) << "IA8 kept";
    EXPECT_LE(lamp->entries.size(), 16u);

    // Leaving the palette formats keeps the PLT0.
    testkit::WriteFile(files.brres, before);
    r = runGlaze({"-F", "CMPR", files.brres, "lamp", files.image});
    ASSERT_EQ(r.status, 0) << r.err;
    after = ReadBytes(files.brres);
    file = readBack(after);
    EXPECT_EQ(tex0Of(file, "lamp").flags, 0u);
    EXPECT_TRUE(OthersUnchanged(before, after, {"lamp"}, 0));
  }
}

TEST(GlazeBrres, APaletteMadeAnewMovesWhatFollowsTheGroups) {
  // A texture that had none takes a palette format: a PLT0 is made at the
  // end, named in Palettes(NW4R) (made too when absent); the groups grow
  // and all after them moves by a multiple of 32, names and all.
  for (Pool pool : kPools)
    for (bool folder : {true, false}) {
      SCOPED_TRACE(std::string(poolName(pool)) + (folder ? ", a Palettes folder" : ", none"));
      brresbuild::File f = sample(pool);
      if (!folder) {
        f.palettes.clear();
        f.textures.erase(
            std::remove_if(f.textures.begin(), f.textures.end(),
                           [](const auto& t) { return t.format >= 8 && t.format <= 10; }),
            f.textures.end());
      }
      brresbuild::Layout layout;
      const auto before = brresbuild::build(f, &layout);
      Files files;
      testkit::WriteFile(files.brres, before);
      // Colours that RGB565 holds: the palette is exact.
      glaze::Image image = pictures::gameArt(16, 8, 7);
      for (size_t i = 0; i < image.rgba.size(); i += 4) {
        image.rgba[i] = uint8_t(glaze::widen5(glaze::nearest5(image.rgba[i])));
        image.rgba[i + 1] = uint8_t(glaze::widen6(glaze::nearest6(image.rgba[i + 1])));
        image.rgba[i + 2] = uint8_t(glaze::widen5(glaze::nearest5(image.rgba[i + 2])));
        image.rgba[i + 3] = 255;
      }
      writePng(files.image, image);
      const auto r = runGlaze({"-F", "C8", files.brres, "sky", files.image});
      ASSERT_EQ(r.status, 0) << r.err;
      const size_t skyIndex = size_t(std::find_if(f.textures.begin(), f.textures.end(),
                                                  [](const auto& t) { return t.name == "sky"; }) -
                                     f.textures.begin());
      EXPECT_EQ(r.err, "glaze: " + files.brres + ": warning: texture " + std::to_string(skyIndex) +
                           " (sky): its palette is a new PLT0 of its name, "
                           "which no material links yet; glaze does not edit models, so a "
                           "material of the model must link it\n");
      const auto after = ReadBytes(files.brres);
      const brresref::File file = readBack(after);
      const brresref::File old = readBack(before);
      const brresref::Plt0* sky = plt0Of(file, "sky");
      ASSERT_TRUE(sky);
      EXPECT_EQ(sky->version, 1u);
      EXPECT_EQ(sky->format, 1) << "RGB565 for an opaque image";
      EXPECT_GT(sky->nameOffset, 0);
      EXPECT_EQ(texels(file, "sky"), image.rgba);
      EXPECT_EQ(file.sections, old.sections + 1);
      const size_t delta = tex0Of(file, "road").at - tex0Of(old, "road").at;
      EXPECT_GT(delta, 0u);
      EXPECT_EQ(delta % 32, 0u);
      // The root section covers the new groups (and the pool it held).
      EXPECT_EQ(file.rootLength - old.rootLength, pool == Pool::kInsideRoot ? delta
                                                  : folder                  ? 16u
                                                                            : 16u + 40 + 20);
      if (!folder) {
        EXPECT_EQ(file.root.back(), "Palettes(NW4R)");
      }
      // The folders inside a folder of no format's name follow.
      EXPECT_EQ(file.otherFolders, old.otherFolders);
      if (pool != Pool::kInsideRoot) {
        EXPECT_EQ(file.otherFolders, (std::vector<std::string>{"Custom", "Custom/New folder"}));
      }
      EXPECT_TRUE(OthersUnchanged(before, after, {"sky"}, delta));
      EXPECT_TRUE(ModelNamesHold(after, layout, delta));
      // The pool moved whole.
      EXPECT_TRUE(std::equal(before.begin() + long(layout.poolAt),
                             before.begin() + long(layout.poolEnd),
                             after.begin() + long(layout.poolAt + delta)));
      // glaze reads it back, the palette included.
      const auto listed = runGlaze({"-l", files.brres});
      EXPECT_EQ(listed.status, 0) << listed.err;
      EXPECT_NE(listed.out.find("\tsky\tC8\t16x8\t1\tRGB565/"), std::string::npos) << listed.out;
    }
}

TEST(GlazeBrres, HostileFiles) {
  struct Case {
    std::string what;
    std::function<void(std::vector<uint8_t>&, const brresbuild::Layout&)> damage;
    std::string message;  // after "glaze: PATH: "
    bool listed = false;  // a damaged TEX0 or PLT0: the others are listed
  };
  const std::vector<Case> cases = {
      {"short", [](auto& b, auto&) { b.resize(10); },
       "it is too short for a BRRES header (10 bytes, 16 needed)"},
      {"little-endian", [](auto& b, auto&) { b[4] = 0xFF, b[5] = 0xFE; },
       "its byte-order mark is 0xFFFE, not 0xFEFF (a little-endian file; the Wii's are "
       "big-endian)"},
      {"length", [](auto& b, auto&) { put32(b, 8, uint32_t(b.size() + 1)); }, "its header claims "},
      {"root magic", [](auto& b, auto&) { b[0x10] = 'R'; },
       "its root section (at offset 16) has no root magic"},
      {"root length", [](auto& b, auto&) { put32(b, 0x14, 0x7FFFFFFF); },
       "its root section (2147483647 bytes) runs past the end of the file"},
      {"entries", [](auto& b, auto& l) { put32(b, l.groups.at("") + 4, 0x7FFFFFFF); },
       "its root index group is damaged: it claims 2147483647 entries"},
      {"link past the group",
       [](auto& b, auto& l) { b[l.groups.at("Textures(NW4R)") + 8 + 16 + 4] = 0x40; },
       "its folder Textures(NW4R) is damaged: its entry 1 links to an entry past its 11"},
      {"looping tree",
       [](auto& b, auto& l) {
         // Every entry's links point back at entry 1, ids rising: a walk
         // must stop, not loop, and the names are not found.
         const size_t g = l.groups.at("Textures(NW4R)");
         for (size_t i = 1; i <= 11; ++i) {
           const size_t e = g + 8 + 16 * i;
           b[e] = 0, b[e + 1] = uint8_t(i);
           b[e + 4] = 0, b[e + 5] = 1, b[e + 6] = 0, b[e + 7] = 1;
         }
       },
       "its folder Textures(NW4R) is damaged: its entry "},
      {"name past the end",
       [](auto& b, auto& l) { put32(b, l.groups.at("Textures(NW4R)") + 8 + 16 + 8, 0x7FFFFF00); },
       "its folder Textures(NW4R) is damaged: its entry 1's name at offset "},
      {"unterminated name",
       [](auto& b, auto& l) {
         // "road" is 4 characters: its length said 6 runs into the next.
         const size_t g = l.groups.at("Textures(NW4R)");
         const size_t chars = size_t(int64_t(g) + int32_t(be32(b, g + 8 + 16 + 8)));
         put32(b, chars - 4, 0x7FFF);
       },
       "its folder Textures(NW4R) is damaged: its entry 1's name at offset "},
      {"data past the end",
       [](auto& b, auto& l) { put32(b, l.groups.at("Textures(NW4R)") + 8 + 16 + 12, 0x7FFFFFF0); },
       "its folder Textures(NW4R) is damaged: its entry 1's data (offset "},
      {"entries past the file",
       [](auto& b, auto& l) { put32(b, l.groups.at("Textures(NW4R)") + 4, 0xFFF0); },
       "its folder Textures(NW4R) is damaged: its 65520 entries run past the end of the file"},
      {"TEX0 version 2", [](auto& b, auto& l) { put32(b, l.textureAt[2] + 8, 2); },
       "texture 2 (sky): its version 2 is not read (1 and 3 are)", true},
      {"TEX0 length 0", [](auto& b, auto& l) { put32(b, l.textureAt[2] + 4, 0); },
       "texture 2 (sky): its length (0 bytes at offset ", true},
      {"TEX0 width 0",
       [](auto& b, auto& l) { b[l.textureAt[2] + 0x1C] = 0, b[l.textureAt[2] + 0x1D] = 0; },
       "texture 2 (sky): its size 0 x 8 is outside 1..1024", true},
      {"TEX0 images", [](auto& b, auto& l) { put32(b, l.textureAt[2] + 0x24, 9); },
       "texture 2 (sky): it claims 9 images; 16 x 8 has 1 to 5", true},
      {"TEX0 format", [](auto& b, auto& l) { put32(b, l.textureAt[2] + 0x20, 7); },
       "texture 2 (sky): format 7 is not a texture format", true},
      {"TEX0 data past its length", [](auto& b, auto& l) { b[l.textureAt[2] + 0x1C] = 0x02; },
       "texture 2 (sky): its data (", true},
      {"not a TEX0", [](auto& b, auto& l) { b[l.textureAt[2]] = 'X'; },
       "texture 2 (sky): its sub-file at offset ", true},
      {"PLT0 format", [](auto& b, auto& l) { put32(b, l.paletteAt[0] + 0x18, 3); },
       "texture 1 (grass): its palette, PLT0 grass, is damaged: palette format 3 is unknown", true},
      {"PLT0 entries", [](auto& b, auto& l) { b[l.paletteAt[1] + 0x1C] = 0x40; },
       "texture 9 (lamp): its palette, PLT0 lamp, is damaged: it claims 16404 entries (at most "
       "16384)",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const brresbuild::File f = sample(Pool::kSorted);
    brresbuild::Layout layout;
    auto bytes = brresbuild::build(f, &layout);
    c.damage(bytes, layout);
    TempDir dir;
    const std::string file = dir / "m.brres";
    testkit::WriteFile(file, bytes);
    writePng(dir / "new.png", pictures::gameArt(8, 8, 1));
    testkit::RunOptions options;
    options.timeout_seconds = 20;
    if (!testkit::BuiltWithSanitizers()) options.max_address_space = 256 << 20;
    const auto r = runGlaze({"-l", file}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("glaze: " + file + ": " + c.message, 0), 0u) << r.err;
    EXPECT_EQ(r.out.empty(), !c.listed) << r.out;
    const auto x = runGlaze({"-x", file, dir / "out"}, options);
    EXPECT_LE(x.status, 1);
    if (c.listed) {
      EXPECT_TRUE(testkit::Exists(dir / "out/road.png")) << "the others are written";
    }
    const auto replaced = runGlaze({file, "#2", dir / "new.png"}, options);
    EXPECT_LE(replaced.status, 1) << replaced.err;
    if (!c.listed) {
      EXPECT_EQ(replaced.status, 1);
      EXPECT_TRUE(testkit::SameBytes(bytes, ReadBytes(file)));
    }
    if (c.listed && c.message.rfind("texture 2 ", 0) == 0) {
      EXPECT_EQ(replaced.status, 1);
      EXPECT_TRUE(testkit::SameBytes(bytes, ReadBytes(file)));
    }
  }
}

TEST(GlazeBrres, ANameInsideTheGroupsIsNotRewrittenUnderIt) {
  // A damaged file whose reference entry names the bytes of an entry of its
  // own group (the data offset, after the name offset as its length): it
  // reads, but a palette made anew moves every offset in the groups, and
  // with them that name. glaze refuses that change; one that leaves the
  // groups alone goes ahead.
  const brresbuild::File f = sample(Pool::kInsideRoot);
  brresbuild::Layout layout;
  auto bytes = brresbuild::build(f, &layout);
  const size_t g = layout.groups.at("Textures(NW4R)");
  const size_t entry1 = g + 8 + 16;
  ASSERT_LE(be32(bytes, entry1 + 8), 1024u) << "the name's length field is entry 1's name offset";
  put32(bytes, g + 8 + 8, uint32_t(entry1 + 12 - g));
  Files files;
  testkit::WriteFile(files.brres, bytes);
  ASSERT_EQ(runGlaze({"-l", files.brres}).status, 0);
  writePng(files.image, pictures::gameArt(16, 8, 3));
  const auto r = runGlaze({"-F", "C8", files.brres, "sky", files.image});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "glaze: " + files.brres + ": glaze cannot change it: the name at offset " +
                       std::to_string(entry1 + 12) + " lies in bytes that the change rewrites\n");
  EXPECT_TRUE(testkit::SameBytes(bytes, ReadBytes(files.brres)));
  const auto inPlace = runGlaze({files.brres, "sky", files.image});
  EXPECT_EQ(inPlace.status, 0) << inPlace.err;
  EXPECT_EQ(runGlaze({"-l", files.brres}).status, 0);
}

TEST(GlazeBrres, AFolderPastTheRootSectionFollowsItsMovedTexture) {
  // A root section whose length covers its own group only, the folders'
  // groups after it: a palette made anew grows the root group, the folders
  // move whole, and the entry of a texture that went to the end must name
  // it there, not its old block.
  brresbuild::File f = sample(Pool::kSorted);
  f.palettes.clear();
  f.textures.erase(std::remove_if(f.textures.begin(), f.textures.end(),
                                  [](const auto& t) { return t.format >= 8 && t.format <= 10; }),
                   f.textures.end());
  auto bytes = brresbuild::build(f);
  put32(bytes, 0x14, 8 + be32(bytes, 0x18));
  Files files;
  testkit::WriteFile(files.brres, bytes);
  const auto before = runGlaze({"-l", files.brres});
  ASSERT_EQ(before.status, 0) << before.err;
  writePng(files.image, pictures::gameArt(32, 32, 5));
  const auto r = runGlaze({"-F", "C8", files.brres, "sky", files.image});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto after = runGlaze({"-l", files.brres});
  EXPECT_EQ(after.status, 0) << after.err;
  auto lines = [](const std::string& text) {
    std::vector<std::string> out;
    for (size_t at = 0; at < text.size();) {
      const size_t end = text.find('\n', at);
      out.push_back(text.substr(at, end - at));
      at = end + 1;
    }
    return out;
  };
  const auto old = lines(before.out), now = lines(after.out);
  ASSERT_EQ(now.size(), old.size());
  for (size_t i = 0; i < old.size(); ++i) {
    if (old[i].find("\tsky\t") != std::string::npos) {
      EXPECT_NE(now[i].find("\tsky\tC8\t32x32\t"), std::string::npos) << now[i];
    } else {
      EXPECT_EQ(now[i], old[i]);
    }
  }
}

TEST(GlazeBrres, NoPaletteOfItsName) {
  brresbuild::File f = sample(Pool::kSorted);
  f.palettes.pop_back();  // glow's
  Files files;
  testkit::WriteFile(files.brres, brresbuild::build(f));
  const auto r = runGlaze({"-l", files.brres});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("10\tglow\tC14X2\t4x4\t1\t-\t-\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "glaze: " + files.brres +
                       ": texture 10 (glow): it is C14X2, and Palettes(NW4R) holds no PLT0 of "
                       "its name\n");
}

TEST(GlazeBrres, MipLevelsWithinOneDecibelOfTheFilesOwn) {
  // Levels made as tools make them, exported and put back unedited: glaze's
  // new levels lose at most 1 dB against boxes of the image.
  struct Case {
    glaze::Image image;
    int format;
  };
  glaze::Image grey = pictures::photo(64, 64, 1);
  for (size_t i = 0; i < grey.rgba.size(); i += 4)
    grey.rgba[i] = grey.rgba[i + 1] = grey.rgba[i + 2] =
        uint8_t(glaze::greyOf(grey.rgba[i], grey.rgba[i + 1], grey.rgba[i + 2]));
  const Case cases[] = {
      {pictures::photo(64, 64, 2), 14}, {grey, 1}, {pictures::grass(64, 64, 3), 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    const bool intensity = c.format == 1;
    const glaze::FormatInfo& fi = *glaze::formatInfo(c.format);
    const auto own =
        glaze::encodeTexture(fi, glaze::kPalRGB5A3, mipquality::toolChain(c.image, 5, intensity));
    brresbuild::File f;
    brresbuild::Texture t;
    t.name = "t", t.format = c.format, t.width = t.height = 64, t.images = 5, t.data = own.data;
    f.textures = {t};
    Files files;
    const auto before = brresbuild::build(f);
    testkit::WriteFile(files.brres, before);
    ASSERT_EQ(runGlaze({"-x", files.brres, files.dir / "out"}).status, 0);
    ASSERT_EQ(runGlaze({files.brres, "t", files.dir / "out/t.png"}).status, 0);
    const brresref::File old = readBack(before), now = readBack(ReadBytes(files.brres));
    glaze::Image exported(64, 64);
    exported.rgba = texels(old, "t");
    const auto reference = mipquality::referenceChain(exported, 5, intensity);
    mipquality::Error ownError, newError;
    for (int k = 1; k < 5; ++k) {
      ownError.add(reference[size_t(k)], texels(old, "t", k));
      newError.add(reference[size_t(k)], texels(now, "t", k));
    }
    EXPECT_GE(newError.psnr(), ownError.psnr() - 1);
  }
}

TEST(GlazeTex0Files, ListExportAndWriteAnew) {
  brresbuild::Texture t = texture("my_sign", 5, 16, 16, 1, 1, 1);
  const auto bytes = brresbuild::tex0File(t);
  Files files;
  const std::string tex0 = files.dir / "my_sign.tex0";
  testkit::WriteFile(tex0, bytes);
  auto r = runGlaze({"-l", tex0});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0\tmy_sign\tRGB5A3\t16x16\t1\t-\t-\n");
  r = runGlaze({"-x", tex0, files.dir / "out"});
  EXPECT_EQ(r.status, 0) << r.err;
  int w, h;
  const auto exported = pngTexels(files.dir / "out/my_sign.png", w, h);
  EXPECT_EQ(exported, reference::decode(5, 16, 16, t.data.data()));
  // Put back unedited: byte for byte.
  r = runGlaze({tex0, "my_sign", files.dir / "out/my_sign.png"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(testkit::SameBytes(bytes, ReadBytes(tex0)));
  // Larger, as CMPR with mip levels: header, data, then the name.
  writePng(files.image, pictures::photo(32, 32, 2));
  r = runGlaze({"-F", "CMPR", "-M", "auto", tex0, "#0", files.image});
  EXPECT_EQ(r.status, 0) << r.err;
  const auto after = ReadBytes(tex0);
  const uint32_t length = be32(after, 4);
  EXPECT_EQ(length, 0x40u + 512 + 128 + 32 + 32 + 32 + 32);
  EXPECT_EQ(be32(after, 0x14), length + 4);
  EXPECT_EQ(be32(after, 0x24), 6u);
  EXPECT_EQ(be32(after, length), 7u);
  EXPECT_EQ(std::string(after.begin() + long(length) + 4, after.end()),
            std::string("my_sign\0", 8));
  EXPECT_EQ(be32(after, 0x28), 0u) << "min LOD 0";
  EXPECT_EQ(be32(after, 0x2C), 0x40A00000u) << "max LOD 5.0: the image count changed";
  // A palette format has nowhere to go: a usage error, the file kept.
  r = runGlaze({"-F", "C8", tex0, "#0", files.image});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("glaze: a TEX0 file holds no palette: it takes no -F C4, C8 or C14X2 and "
                        "no -P\nusage:",
                        0),
            0u)
      << r.err;
  EXPECT_TRUE(testkit::SameBytes(after, ReadBytes(tex0)));
  // A palette texture in a TEX0 file cannot be shown.
  testkit::WriteFile(tex0, brresbuild::tex0File(texture("pal", 9, 8, 8, 1, 3, 1)));
  r = runGlaze({"-l", tex0});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "0\tpal\tC8\t8x8\t1\t-\t-\n");
  EXPECT_EQ(r.err, "glaze: " + tex0 +
                       ": texture 0 (pal): it is C8, and a TEX0 file holds no palette to show it "
                       "with\n");
}

TEST(GlazeBrres, AFailureLeavesTheFileAsItWas) {
  // Making a palette rewrites the most: every failing call and an interrupt
  // at a sample of them leave the old file or the whole new one.
  const auto bytes = brresbuild::build(sample(Pool::kSorted));
  TempDir images;
  writePng(images / "new.png", pictures::gameArt(16, 8, 1));
  testkit::FaultSweep sweep;
  sweep.argv = {kGlaze, "-F", "C8", "m.brres", "sky", images / "new.png"};
  sweep.prepare = [&](const std::string& dir) { testkit::WriteFile(dir + "/m.brres", bytes); };
  sweep.calls = {"read", "pread64", "write", "openat", "rename", "fsync"};
  sweep.samples_per_call = 2;
  testkit::ExpectEveryFailingCallHandled(sweep);
}
