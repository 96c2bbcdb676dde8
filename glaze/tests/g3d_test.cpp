// glaze on DS files (BTX0, BMD0) built by tools/g3d_builder.cpp: the
// listing, exports against the reference decoder, exports put back byte for
// byte, replacements of other sizes and formats checked against a reading
// of the new file made here from the format's rules, shared data and
// palette swaps, damaged files, and the command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <random>

#include "g3d_builder.h"
#include "nitro_reference.h"
#include "pictures.h"
#include "support.h"

using namespace glazetest;
using testkit::Bytes;
using testkit::TempDir;

namespace {

uint16_t le16(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
uint32_t le32(const Bytes& b, size_t at) {
  return uint32_t(le16(b, at)) | uint32_t(le16(b, at + 2)) << 16;
}
void set16(Bytes& b, size_t at, uint32_t v) { b[at] = uint8_t(v), b[at + 1] = uint8_t(v >> 8); }
void set32(Bytes& b, size_t at, uint32_t v) { set16(b, at, v), set16(b, at + 2, v >> 16); }

// ---------------------------------------------------------------------------
// A reading of a well-formed file, from the format's rules.

struct Parsed {
  uint32_t fileSizeField = 0;
  size_t tex0 = 0, tex0Size = 0;
  size_t texels = 0, texelsSize = 0, compressed = 0, compressedSize = 0, indices = 0;
  size_t palettes = 0, palettesSize = 0;
  struct Texture {
    std::string name;
    uint32_t word0, word1;
    int format, width, height;
    bool transparent0;
    size_t offset;  // in its section
  };
  struct Palette {
    std::string name;
    size_t offset, length;
    uint16_t flags;
  };
  std::vector<Texture> textures;
  std::vector<Palette> palettes_;
  Bytes bytes;

  Bytes data(size_t t) const {
    const Texture& x = textures[t];
    const size_t at = (x.format == 5 ? compressed : texels) + x.offset;
    const size_t n = size_t(x.width) * size_t(x.height) *
                     size_t(x.format == 2   ? 2
                            : x.format == 3 ? 4
                            : x.format == 5 ? 2
                            : x.format == 7 ? 16
                                            : 8) /
                     8;
    return Bytes(bytes.begin() + long(at), bytes.begin() + long(at + n));
  }
  Bytes index(size_t t) const {
    const Texture& x = textures[t];
    if (x.format != 5) return {};
    const size_t at = indices + x.offset / 2;
    return Bytes(bytes.begin() + long(at),
                 bytes.begin() + long(at + size_t(x.width * x.height / 8)));
  }
  std::vector<uint16_t> colours(size_t p) const {
    std::vector<uint16_t> out;
    for (size_t i = 0; i + 1 < palettes_[p].length; i += 2)
      out.push_back(le16(bytes, palettes + palettes_[p].offset + i));
    return out;
  }
  Bytes paletteBytes(size_t p) const {
    const size_t at = palettes + palettes_[p].offset;
    return Bytes(bytes.begin() + long(at), bytes.begin() + long(at + palettes_[p].length));
  }
  std::vector<uint8_t> decode(size_t t, size_t p) const {
    const Texture& x = textures[t];
    return nitroref::decode(x.format, x.width, x.height, x.transparent0, data(t), index(t),
                            colours(p));
  }
};

// Entries of a dictionary at `at`: data and names.
void dictionaryAt(const Bytes& b, size_t at, size_t entrySize, std::vector<size_t>& entries,
                  std::vector<std::string>& names) {
  const size_t n = b[at + 1];
  const size_t e = at + le16(b, at + 6);
  EXPECT_EQ(le16(b, e), entrySize);
  const size_t namesAt = e + le16(b, e + 2);
  for (size_t i = 0; i < n; ++i) {
    entries.push_back(e + 4 + entrySize * i);
    const char* name = reinterpret_cast<const char*>(&b[namesAt + 16 * i]);
    names.emplace_back(name, strnlen(name, 16));
  }
}

Parsed parse(const Bytes& b) {
  Parsed p;
  p.bytes = b;
  p.fileSizeField = le32(b, 8);
  const size_t blocks = le16(b, 14);
  for (size_t i = 0; i < blocks; ++i) {
    const size_t at = le32(b, 16 + 4 * i);
    if (std::memcmp(&b[at], "TEX0", 4) == 0) p.tex0 = at;
  }
  const size_t t = p.tex0;
  p.tex0Size = le32(b, t + 4);
  p.texels = t + le32(b, t + 0x14), p.texelsSize = size_t(le16(b, t + 0x0C)) << 3;
  p.compressed = t + le32(b, t + 0x24), p.compressedSize = size_t(le16(b, t + 0x1C)) << 3;
  p.indices = t + le32(b, t + 0x28);
  p.palettes = t + le32(b, t + 0x38), p.palettesSize = size_t(le16(b, t + 0x30)) << 3;
  std::vector<size_t> entries;
  std::vector<std::string> names;
  dictionaryAt(b, t + le16(b, t + 0x0E), 8, entries, names);
  for (size_t i = 0; i < entries.size(); ++i) {
    const uint32_t w0 = le32(b, entries[i]);
    p.textures.push_back({names[i], w0, le32(b, entries[i] + 4), int(w0 >> 26 & 7),
                          8 << (w0 >> 20 & 7), 8 << (w0 >> 23 & 7), bool(w0 >> 29 & 1),
                          size_t(w0 & 0xFFFF) << 3});
  }
  entries.clear(), names.clear();
  dictionaryAt(b, t + le16(b, t + 0x34), 4, entries, names);
  for (size_t i = 0; i < entries.size(); ++i)
    p.palettes_.push_back({names[i], size_t(le16(b, entries[i])) << 3, 0, le16(b, entries[i] + 2)});
  for (auto& pal : p.palettes_) {
    size_t next = p.palettesSize;
    for (const auto& q : p.palettes_)
      if (q.offset > pal.offset) next = std::min(next, q.offset);
    pal.length = next - pal.offset;
  }
  return p;
}

// ---------------------------------------------------------------------------
// Files of known texels

struct Random {
  std::mt19937 engine;
  explicit Random(uint32_t seed) : engine(seed) {}
  int below(int n) { return int(engine() % uint32_t(n)); }
};

// Random stored texels of a format whose colours lie inside `colours`.
g3dbuild::Data randomData(Random& r, int format, int w, int h, int colours) {
  g3dbuild::Data d;
  const size_t n = size_t(w) * size_t(h);
  if (format == 5) {
    for (size_t i = 0; i < n / 4; ++i) d.texels.push_back(uint8_t(r.engine()));
    for (size_t i = 0; i < n / 16; ++i) {
      const int mode = r.below(4);
      const int a = r.below(std::max(1, (colours - (mode % 2 == 0 ? 4 : 2)) / 2 + 1));
      d.index.push_back(uint8_t(a));
      d.index.push_back(uint8_t(mode << 6 | a >> 8));
    }
    return d;
  }
  std::vector<uint16_t> values(n);
  for (uint16_t& v : values) {
    v = uint16_t(r.below(std::max(colours, 1)));
    if (format == 1) v = uint16_t(v | r.below(8) << 5);
    if (format == 6) v = uint16_t(v | r.below(32) << 3);
    if (format == 7) v = uint16_t(r.engine());
  }
  const int bpp = format == 2 ? 2 : format == 3 ? 4 : format == 7 ? 16 : 8;
  d.texels.assign(n * size_t(bpp) / 8, 0);
  for (size_t i = 0; i < n; ++i) {
    const size_t bit = i * size_t(bpp);
    for (int k = 0; k < bpp; ++k)
      if (values[i] >> k & 1)
        d.texels[(bit + size_t(k)) / 8] |= uint8_t(1 << ((bit + size_t(k)) % 8));
  }
  return d;
}

std::vector<uint16_t> randomColours(Random& r, size_t n) {
  std::vector<uint16_t> v(n);
  for (uint16_t& c : v) c = uint16_t(r.engine() & 0x7FFF);
  return v;
}

int addTexture(g3dbuild::File& f, Random& r, const std::string& name, int format, int w, int h,
               int colours, bool transparent0 = false) {
  f.data.push_back(randomData(r, format, w, h, colours));
  g3dbuild::Texture t;
  t.name = name, t.format = format, t.width = w, t.height = h, t.transparent0 = transparent0;
  t.data = int(f.data.size()) - 1;
  f.textures.push_back(t);
  return int(f.textures.size()) - 1;
}

int addPalette(g3dbuild::File& f, Random& r, const std::string& name, size_t colours,
               int sameAs = -1) {
  g3dbuild::Palette p;
  p.name = name;
  p.colours = randomColours(r, colours);
  p.sameAs = sameAs;
  p.fourColour = colours == 4;
  f.palettes.push_back(p);
  return int(f.palettes.size()) - 1;
}

// A model of every format and the games' conventions. `palette` holds the
// palette each texture is expected to be shown with (-1: none).
struct Example {
  g3dbuild::File file;
  std::vector<int> palette;
  Example() {
    Random r(7);
    g3dbuild::File& f = file;
    f.model = true;
    f.loopingTrees = true;
    // Palettes: a 4-colour one (stored as 16 bytes: 8 colours), a short one,
    // two sharing an offset, and palettes of the usual lengths.
    addPalette(f, r, "pal4", 4);         // 0
    addPalette(f, r, "a3i5_pl", 32);     // 1
    addPalette(f, r, "short", 8);        // 2
    addPalette(f, r, "pal256_pl", 200);  // 3
    addPalette(f, r, "tex4x4_pl", 40);   // 4
    addPalette(f, r, "shared_a", 8);     // 5
    addPalette(f, r, "shared_b", 0, 5);  // 6: the offset of 5
    addPalette(f, r, "water", 16);       // 7
    addPalette(f, r, "water_a5i3", 8);   // 8
    addPalette(f, r, "swap_a", 16);      // 9
    addPalette(f, r, "swap_b", 16);      // 10
    addTexture(f, r, "a3i5", 1, 16, 8, 32), palette.push_back(1);
    addTexture(f, r, "pal4", 2, 8, 8, 4, true), palette.push_back(0);
    addTexture(f, r, "pal16_short", 3, 16, 16, 8), palette.push_back(2);  // a material
    addTexture(f, r, "pal256", 4, 8, 16, 200), palette.push_back(3);
    addTexture(f, r, "tex4x4", 5, 16, 16, 40), palette.push_back(4);
    addTexture(f, r, "shared_b", 6, 8, 8, 8), palette.push_back(6);
    addTexture(f, r, "direct", 7, 8, 8, 0), palette.push_back(-1);
    addTexture(f, r, "sixteen_chars_ab", 3, 8, 8, 16), palette.push_back(1);  // 16 colours: #1
    addTexture(f, r, "water", 6, 8, 8, 8), palette.push_back(8);  // the material's, not "water"
    addTexture(f, r, "swap_a", 3, 16, 8, 16), palette.push_back(9);
    g3dbuild::Texture swap = f.textures.back();
    swap.name = "swap_b";
    f.textures.push_back(swap), palette.push_back(10);
    g3dbuild::Model m;
    m.materials = 3;
    m.textures = {{"water", {2}}, {"pal16_short", {0, 1}}};
    m.palettes = {{"nonesuch", {0}}, {"short", {1}}, {"water_a5i3", {2}}};
    f.models.push_back(m);
    f.fileSizeField = 12;  // stale
  }
};

const char kListing[] =
    "0\ta3i5\ta3i5\t16x8\ta3i5_pl/32\t-\n"
    "1\tpal4\tpal4\t8x8\tpal4/8\t-\n"
    "2\tpal16_short\tpal16\t16x16\tshort/8\t-\n"
    "3\tpal256\tpal256\t8x16\tpal256_pl/200\t-\n"
    "4\ttex4x4\ttex4x4\t16x16\ttex4x4_pl/40\t-\n"
    "5\tshared_b\ta5i3\t8x8\tshared_b/8\t-\n"
    "6\tdirect\tdirect\t8x8\t-\t-\n"
    "7\tsixteen_chars_ab\tpal16\t8x8\ta3i5_pl/32\t-\n"
    "8\twater\ta5i3\t8x8\twater_a5i3/8\t-\n"
    "9\tswap_a\tpal16\t16x8\tswap_a/16\t10\n"
    "10\tswap_b\tpal16\t16x8\tswap_b/16\t9\n";

}  // namespace

TEST(GlazeDs, ListsEveryTextureWithItsPalette) {
  Example e;
  TempDir dir;
  testkit::WriteFile(dir / "m.nsbmd", g3dbuild::build(e.file));
  const auto r = runGlaze({"-l", dir / "m.nsbmd"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, kListing);
  // The same textures in a texture file: no materials, so the palette of
  // the name, else the first that holds every colour.
  e.file.model = false;
  testkit::WriteFile(dir / "t.nsbtx", g3dbuild::build(e.file));
  std::string expected = kListing;
  expected.replace(expected.find("short/8"), 7, "pal4/8");
  expected.replace(expected.find("water_a5i3/8"), 12, "water/16");
  EXPECT_EQ(runGlaze({"-l", dir / "t.nsbtx"}).out, expected);
}

TEST(GlazeDs, ExportsEveryTextureAsTheReferenceDecodesIt) {
  Example e;
  TempDir dir;
  const Bytes bytes = g3dbuild::build(e.file);
  testkit::WriteFile(dir / "m.nsbmd", bytes);
  const auto r = runGlaze({"-x", dir / "m.nsbmd", dir / "out"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const Parsed p = parse(bytes);
  ASSERT_EQ(p.textures.size(), e.palette.size());
  for (size_t t = 0; t < p.textures.size(); ++t) {
    const auto& x = p.textures[t];
    std::vector<uint16_t> none;
    const auto expected = e.palette[t] >= 0 ? p.decode(t, size_t(e.palette[t]))
                                            : nitroref::decode(x.format, x.width, x.height, false,
                                                               p.data(t), {}, none);
    expectTexels(dir / ("out/" + x.name + ".png"), expected, x.width, x.height);
  }
}

TEST(GlazeDs, ExportsPutBackGiveTheFileByteForByte) {
  Example e;
  TempDir dir;
  const Bytes bytes = g3dbuild::build(e.file);
  testkit::WriteFile(dir / "m.nsbmd", bytes);
  ASSERT_EQ(runGlaze({"-x", dir / "m.nsbmd", dir / "out"}).status, 0);
  for (const auto& t : e.file.textures) {
    const auto r = runGlaze({dir / "m.nsbmd", t.name, dir / ("out/" + t.name + ".png")});
    EXPECT_EQ(r.status, 0) << t.name << ": " << r.err;
    EXPECT_TRUE(testkit::SameBytes(bytes, testkit::ReadBytes(dir / "m.nsbmd"))) << t.name;
  }
}

TEST(GlazeDs, TexelsPastThePaletteAreTransparentWithAWarning) {
  g3dbuild::File f;
  Random r(8);
  addTexture(f, r, "wide", 3, 8, 8, 8);
  addPalette(f, r, "wide", 8);
  f.data[0].texels[0] = 0xFF;  // index 15 twice, past the 8 colours
  TempDir dir;
  testkit::WriteFile(dir / "t.nsbtx", g3dbuild::build(f));
  const auto x = runGlaze({"-x", dir / "t.nsbtx", dir / "out"});
  EXPECT_EQ(x.status, 0);
  EXPECT_EQ(x.err, "glaze: " + (dir / "t.nsbtx") +
                       ": warning: texture 0 (wide): 2 texels have colours past its 8-colour "
                       "palette wide; they are written transparent\n");
  int w, h;
  const auto texels = pngTexels(dir / "out/wide.png", w, h);
  EXPECT_EQ(std::vector<uint8_t>(texels.begin(), texels.begin() + 8), std::vector<uint8_t>(8, 0));
  // Put back, they keep their indices.
  const Bytes before = testkit::ReadBytes(dir / "t.nsbtx");
  EXPECT_EQ(runGlaze({dir / "t.nsbtx", "wide", dir / "out/wide.png"}).status, 0);
  EXPECT_TRUE(testkit::SameBytes(before, testkit::ReadBytes(dir / "t.nsbtx")));
}

// ---------------------------------------------------------------------------
// Replacements

namespace {

// A texture file: A pal16 16x16, B tex4x4 16x16, C a3i5 8x8, D direct 8x8,
// each with its own palette by name (D none).
struct Four {
  g3dbuild::File file;
  Bytes bytes;
  Four() {
    Random r(9);
    addTexture(file, r, "A", 3, 16, 16, 16);
    addTexture(file, r, "B", 5, 16, 16, 24);
    addTexture(file, r, "C", 1, 8, 8, 32);
    addTexture(file, r, "D", 7, 8, 8, 0);
    addPalette(file, r, "A_pl", 16);
    addPalette(file, r, "B_pl", 24);
    addPalette(file, r, "C_pl", 32);
    // Bits a material would set, and a source size of 8 x 6 padded to 8 x 8.
    file.textures[0].otherBits = 0xC0050000;
    file.textures[1].otherBits = 0x000A0000;
    file.textures[2].extra = 8 | 6 << 11;
    bytes = g3dbuild::build(file);
  }
};

glaze::Image flatColours(int w, int h, int colours, uint32_t seed) {
  glaze::Image image(w, h);
  std::mt19937 random(seed);
  std::vector<std::array<uint8_t, 3>> set(static_cast<size_t>(colours));
  for (auto& c : set)
    for (uint8_t& v : c) v = uint8_t(random() % 32);  // 5-bit values
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = image.at(x, y);
      const auto& c = set[size_t((x / 3 + y / 2 * 5) % colours)];
      for (int k = 0; k < 3; ++k) p[k] = uint8_t(c[size_t(k)] << 3 | c[size_t(k)] >> 2);
      p[3] = 255;
    }
  return image;
}

// What a replacement must leave: every other texture showing what it
// showed, every palette but `changed` holding its bytes, the names and
// the entries' other bits as they were, and the sizes adding up.
void expectOthersKept(const Parsed& before, const Parsed& after, size_t replaced, int changed) {
  ASSERT_EQ(before.textures.size(), after.textures.size());
  for (size_t t = 0; t < before.textures.size(); ++t) {
    EXPECT_EQ(before.textures[t].name, after.textures[t].name);
    EXPECT_EQ(before.textures[t].word0 & 0xC00F0000u, after.textures[t].word0 & 0xC00F0000u);
    if (t == replaced) continue;
    EXPECT_EQ(before.textures[t].word0 & 0xFFFF0000u, after.textures[t].word0 & 0xFFFF0000u) << t;
    EXPECT_EQ(before.textures[t].word1, after.textures[t].word1) << t;
    EXPECT_TRUE(testkit::SameBytes(before.data(t), after.data(t))) << "texture " << t;
    EXPECT_TRUE(testkit::SameBytes(before.index(t), after.index(t))) << "texture " << t;
  }
  ASSERT_EQ(before.palettes_.size(), after.palettes_.size());
  for (size_t p = 0; p < before.palettes_.size(); ++p) {
    EXPECT_EQ(before.palettes_[p].name, after.palettes_[p].name);
    EXPECT_EQ(before.palettes_[p].flags, after.palettes_[p].flags);
    if (int(p) != changed) {
      EXPECT_TRUE(testkit::SameBytes(before.paletteBytes(p), after.paletteBytes(p)))
          << "palette " << p;
    }
  }
  // Sections in order, back to back; TEX0 and the file end together.
  EXPECT_EQ(after.texels + after.texelsSize, after.compressed);
  EXPECT_EQ(after.compressed + after.compressedSize, after.indices);
  EXPECT_EQ(after.indices + after.compressedSize / 2, after.palettes);
  EXPECT_EQ(after.palettes + after.palettesSize, after.tex0 + after.tex0Size);
  EXPECT_EQ(after.tex0 + after.tex0Size, after.bytes.size());
  EXPECT_EQ(after.fileSizeField, after.bytes.size());
  // The dictionaries' bytes but the entries' words, and all before TEX0.
  EXPECT_TRUE(
      testkit::SameBytes(Bytes(before.bytes.begin(), before.bytes.begin() + long(before.tex0) + 8),
                         Bytes(after.bytes.begin(), after.bytes.begin() + long(after.tex0) + 8)) ||
      le32(before.bytes, 8) != le32(after.bytes, 8));
}

Parsed replaced(const Bytes& file, const std::string& texture, const glaze::Image& image,
                const std::vector<std::string>& options, testkit::RunResult* result = nullptr) {
  TempDir dir;
  testkit::WriteFile(dir / "t.nsbtx", file);
  writePng(dir / "new.png", image);
  std::vector<std::string> args = options;
  for (const std::string& a : {dir / "t.nsbtx", texture, dir / "new.png"}) args.push_back(a);
  const auto r = runGlaze(args);
  EXPECT_EQ(r.status, 0) << r.err;
  if (result) *result = r;
  return parse(testkit::ReadBytes(dir / "t.nsbtx"));
}

}  // namespace

TEST(GlazeDs, LargerDataMoveWhatFollows) {
  Four f;
  const Parsed before = parse(f.bytes);
  const glaze::Image image = flatColours(32, 32, 12, 1);
  testkit::RunResult r;
  const Parsed after = replaced(f.bytes, "A", image, {}, &r);
  expectOthersKept(before, after, 0, 0);
  EXPECT_EQ(after.textures[0].width, 32);
  EXPECT_EQ(after.textures[0].word1, 32u | 32u << 11 | 1u << 31);
  EXPECT_EQ(after.texelsSize, before.texelsSize + 384);
  EXPECT_EQ(after.bytes.size(), before.bytes.size() + 384);
  EXPECT_TRUE(testkit::SameBytes(image.rgba, after.decode(0, 0)));
  EXPECT_EQ(after.palettes_[0].length, 32u);  // the stored length stays
  EXPECT_NE(r.err.find(": palette A_pl now holds the image's 12 colours\n"), std::string::npos)
      << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
}

TEST(GlazeDs, SmallerDataAndPalettesThatGrow) {
  Four f;
  const Parsed before = parse(f.bytes);
  // B (4x4) at 8x8: both 4x4 sections shrink.
  const glaze::Image small = pictures::photo(8, 8, 2);
  Parsed after = replaced(f.bytes, "B", small, {});
  expectOthersKept(before, after, 1, 1);
  EXPECT_EQ(after.compressedSize, 16u);
  EXPECT_EQ(after.palettes_[1].length, 48u);
  // A as pal256 from a picture of many colours: its palette grows to 256
  // colours and the palettes after it move.
  testkit::RunResult r;
  after = replaced(f.bytes, "A", pictures::photo(64, 64, 3), {"-F", "pal256"}, &r);
  expectOthersKept(before, after, 0, 0);
  EXPECT_EQ(after.textures[0].format, 4);
  EXPECT_GE(after.palettes_[0].length, 480u);
  EXPECT_EQ(after.palettes_[0].length % 16, 0u);
  EXPECT_EQ(after.palettes_[1].offset, after.palettes_[0].length);
  EXPECT_NE(r.err.find("palette A_pl was quantised from the image's"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("palette A_pl grew from 16 to " +
                       std::to_string(after.palettes_[0].length / 2) + " colours"),
            std::string::npos)
      << r.err;
}

TEST(GlazeDs, FormatsMoveBetweenSections) {
  Four f;
  const Parsed before = parse(f.bytes);
  // D, direct, as 4x4: out of the texel data, to the end of the 4x4 data;
  // it has no palette of its own (#0 by the colours it uses), which stays.
  testkit::RunResult r;
  Parsed after = replaced(f.bytes, "D", pictures::gameArt(8, 8, 4), {"-F", "TEX4X4"}, &r);
  expectOthersKept(before, after, 3, -1);
  EXPECT_EQ(after.textures[3].format, 5);
  EXPECT_EQ(after.texelsSize, before.texelsSize - 128);
  EXPECT_EQ(after.compressedSize, before.compressedSize + 16);
  EXPECT_EQ(after.textures[3].offset, before.compressedSize);
  EXPECT_NE(r.err.find("palette A_pl was kept: neither a material nor its name pairs it with "
                       "texture 3 (D)"),
            std::string::npos)
      << r.err;
  // B as direct: out of the 4x4 data; its palette stays as it was.
  after = replaced(f.bytes, "B", pictures::photo(16, 16, 5), {"-F", "direct"});
  expectOthersKept(before, after, 1, -1);
  EXPECT_EQ(after.compressedSize, 0u);
  EXPECT_EQ(after.textures[1].offset, before.texelsSize);
}

TEST(GlazeDs, SharedDataAreReplacedTogether) {
  // Palette swaps: one data, two palettes; the one replaced keeps its
  // palette, the other shows the new texels in its own.
  Example e;
  const Bytes bytes = g3dbuild::build(e.file);
  const Parsed before = parse(bytes);
  const glaze::Image image = flatColours(32, 16, 5, 2);
  testkit::RunResult r;
  const Parsed after = replaced(bytes, "swap_a", image, {}, &r);
  EXPECT_EQ(after.textures[9].word0 & 0x3FFF0000u, after.textures[10].word0 & 0x3FFF0000u);
  EXPECT_EQ(after.textures[9].offset, after.textures[10].offset);
  EXPECT_EQ(after.texelsSize, before.texelsSize + 192);  // one copy
  EXPECT_TRUE(testkit::SameBytes(before.paletteBytes(9), after.paletteBytes(9)));
  EXPECT_TRUE(testkit::SameBytes(before.paletteBytes(10), after.paletteBytes(10)));
  EXPECT_NE(r.err.find("texture 10 (swap_b) shares its data and was replaced with it"),
            std::string::npos);
  EXPECT_NE(r.err.find("texture 10 (swap_b) shows the new texels in its palette swap_b"),
            std::string::npos);
  EXPECT_NE(r.err.find("palette swap_a was kept: texture 10 (swap_b), which shares the data, "
                       "shows another"),
            std::string::npos);

  // One data and one palette (by name and by a material): the palette is
  // theirs, rebuilt with the image's colours.
  g3dbuild::File f;
  Random rnd(10);
  f.model = true;
  addTexture(f, rnd, "T1", 3, 8, 8, 16);
  g3dbuild::Texture t2 = f.textures[0];
  t2.name = "T2";
  f.textures.push_back(t2);
  addPalette(f, rnd, "T1", 16);
  g3dbuild::Model m;
  m.textures = {{"T2", {0}}};
  m.palettes = {{"T1", {0}}};
  f.models.push_back(m);
  const Bytes pair = g3dbuild::build(f);
  const Parsed one = replaced(pair, "T2", flatColours(8, 8, 6, 3), {}, &r);
  EXPECT_FALSE(testkit::SameBytes(parse(pair).paletteBytes(0), one.paletteBytes(0)));
  EXPECT_NE(r.err.find("palette T1 now holds the image's 6 colours"), std::string::npos) << r.err;
  EXPECT_EQ(one.textures[0].word0, one.textures[1].word0);

  // Sharers of another size cannot be replaced: the file is left as it was.
  f.textures[1].width = 16;
  f.data[0] = randomData(rnd, 3, 16, 8, 16);
  const Bytes mixed = g3dbuild::build(f);
  TempDir dir;
  testkit::WriteFile(dir / "m.nsbmd", mixed);
  writePng(dir / "i.png", flatColours(8, 8, 2, 4));
  const auto refused = runGlaze({dir / "m.nsbmd", "T1", dir / "i.png"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "glaze: " + (dir / "m.nsbmd") +
                             ": texture 0 (T1) shares its data with texture 1 (T2), which is pal16 "
                             "16x8: data shared by textures of another format or size cannot be "
                             "replaced\n");
  EXPECT_TRUE(testkit::SameBytes(mixed, testkit::ReadBytes(dir / "m.nsbmd")));
}

TEST(GlazeDs, AStaleFileSizeGrowsWithTheFile) {
  Four f;
  f.file.fileSizeField = 100;
  f.file.loopingTrees = true;
  const Bytes bytes = g3dbuild::build(f.file);
  const Parsed after = replaced(bytes, "A", flatColours(32, 16, 3, 5), {});
  EXPECT_EQ(after.fileSizeField, 100u + 128);
  EXPECT_EQ(after.bytes.size(), bytes.size() + 128);
}

TEST(GlazeDs, PalettesChosenWithP) {
  Four f;
  TempDir dir;
  testkit::WriteFile(dir / "t.nsbtx", f.bytes);
  writePng(dir / "i.png", flatColours(8, 8, 4, 6));
  // Another texture's palette stays: the texels take its nearest colours.
  auto r = runGlaze({"-P", "#0", dir / "t.nsbtx", "C", dir / "i.png"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "glaze: " + (dir / "t.nsbtx") + ": palette A_pl was kept: -P chose it\n" +
                       "glaze: " + (dir / "t.nsbtx") +
                       ": warning: texture 2 (C): 64 texels have colours that palette A_pl "
                       "lacks; they took its nearest colours\n");
  const Parsed after = parse(testkit::ReadBytes(dir / "t.nsbtx"));
  EXPECT_TRUE(testkit::SameBytes(parse(f.bytes).paletteBytes(0), after.paletteBytes(0)));
  const std::pair<std::vector<std::string>, std::string> failures[] = {
      {{"-P", "#3"}, "it has no palette #3 (it has 3)"},
      {{"-P", "nonesuch"}, "it has no palette named nonesuch"},
  };
  for (const auto& [options, message] : failures) {
    std::vector<std::string> args = options;
    for (const std::string& a : {dir / "t.nsbtx", std::string("C"), dir / "i.png"})
      args.push_back(a);
    r = runGlaze(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "glaze: " + (dir / "t.nsbtx") + ": " + message + "\n");
  }
  // A palette of no colours (at the end of the palette data).
  Four empty;
  Random rnd(11);
  addPalette(empty.file, rnd, "none", 0);
  testkit::WriteFile(dir / "e.nsbtx", g3dbuild::build(empty.file));
  r = runGlaze({"-P", "none", dir / "e.nsbtx", "C", dir / "i.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "glaze: " + (dir / "e.nsbtx") +
                       ": palette none holds no colours, so texture 2 (C) cannot be encoded "
                       "against it\n");
  r = runGlaze({"-P", "A_pl", dir / "t.nsbtx", "D", dir / "i.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "glaze: " + (dir / "t.nsbtx") +
                       ": -P goes with a format that has a palette: texture 3 (D) is direct\n");
}

TEST(GlazeDs, ImagesOfSizesTheConsoleLacksAreRefused) {
  Four f;
  TempDir dir;
  testkit::WriteFile(dir / "t.nsbtx", f.bytes);
  const std::pair<glaze::Image, std::string> cases[] = {
      {glaze::Image(24, 8),
       "the image is 24 x 8; DS textures take sides that are powers of two "
       "from 8 to 1024"},
      {glaze::Image(4, 8),
       "the image is 4 x 8; DS textures take sides that are powers of two "
       "from 8 to 1024"},
      {glaze::Image(1024, 1024),
       "the image is 1024 x 1024; a tex4x4 texture takes at most 1024 x 512 or 512 x 1024"},
  };
  for (const auto& [image, message] : cases) {
    writePng(dir / "i.png", image);
    const auto r = runGlaze({dir / "t.nsbtx", "B", dir / "i.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "glaze: " + (dir / "t.nsbtx") + ": " + message + "\n");
    EXPECT_TRUE(testkit::SameBytes(f.bytes, testkit::ReadBytes(dir / "t.nsbtx")));
  }
}

// ---------------------------------------------------------------------------
// Damaged files

TEST(GlazeDs, DamagedFilesAreRefusedWithTheReason) {
  Example e;
  g3dbuild::Layout l;
  const Bytes good = g3dbuild::build(e.file, &l);
  const size_t mdl0 = le32(good, 16);
  const size_t t = l.tex0;
  using Change = std::function<void(Bytes&)>;
  const std::pair<Change, std::string> cases[] = {
      {[](Bytes& b) { b.resize(10); }, "it is too short for a G3D header (10 bytes, 16 needed)"},
      {[](Bytes& b) { b[4] = 0xFE, b[5] = 0xFF; },
       "its byte-order mark is not FF FE: only little-endian files exist"},
      {[](Bytes& b) { set16(b, 12, 8); }, "its header size is 8 (less than 16)"},
      {[](Bytes& b) { set16(b, 14, 60000); },
       "its block table (60000 blocks) runs past the end of the file"},
      {[](Bytes& b) { set32(b, 20, uint32_t(b.size())); },
       "its block 1 (at offset " + std::to_string(good.size()) + ") lies past the end of the file"},
      {[](Bytes& b) { set32(b, 20, 12); }, "its block 1 (at offset 12) overlaps the file header"},
      {[&](Bytes& b) { set32(b, t + 4, 4); }, "its block 1 (TEX0) has size 4 (less than 8)"},
      {[&](Bytes& b) { set32(b, t + 4, 0x7FFFFFFF); },
       "its block 1 (TEX0, 2147483647 bytes at offset " + std::to_string(t) +
           ") runs past the end of the file"},
      {[&](Bytes& b) { set32(b, mdl0 + 4, uint32_t(t - mdl0 + 8)); }, "its blocks 0 and 1 overlap"},
      {[&](Bytes& b) { std::memcpy(&b[t], "TEX1", 4), std::memcpy(b.data(), "BTX0", 4); },
       "it has no TEX0 block"},
      {[&](Bytes& b) { set32(b, t + 4, 0x30); },
       "its TEX0 block is too short (48 bytes, 60 needed)"},
      {[&](Bytes& b) { set16(b, t + 0x0C, 0xFFFF); }, "its texel data (524280 bytes at offset " +
                                                          std::to_string(l.texels - t) +
                                                          ") lie past the TEX0 block"},
      {[&](Bytes& b) { set32(b, t + 0x38, 0xFFFFFFF0); },
       "its palette data (" + std::to_string(l.palettesSize) +
           " bytes at offset 4294967280) lie past the TEX0 block"},
      {[&](Bytes& b) { set32(b, t + 0x14, 0x18); },
       "its TEX0 block's header and texel data overlap"},
      {[&](Bytes& b) { set32(b, t + 0x38, uint32_t(l.compressed - t)); },
       "its TEX0 block's 4x4 texel data and palette data overlap"},
      {[&](Bytes& b) { set16(b, t + 0x0E, 0xFFF0); },
       "its texture dictionary lies past the TEX0 block"},
      {[&](Bytes& b) { b[l.textureDictionary] = 1; },
       "its texture dictionary has revision 1 (not 0)"},
      {[&](Bytes& b) { set16(b, l.paletteDictionary + 8 + 4 * 12, 8); },
       "its palette dictionary has entries of 8 bytes (not 4)"},
      {[&](Bytes& b) { set16(b, l.paletteDictionary + 8 + 4 * 12 + 2, 0xFF00); },
       "its palette dictionary's names lie past the TEX0 block"},
      {[&](Bytes& b) { set16(b, l.paletteEntry[3], 0xFFFF); },
       "its palette 3 (pal256_pl) lies at offset 524280, past the palette data (" +
           std::to_string(l.palettesSize) + " bytes)"},
      {[&](Bytes& b) { b[mdl0 + 8 + 1] = 200; },
       "its MDL0 block is damaged: the model dictionary's entries lie past the MDL0 block"},
  };
  TempDir dir;
  for (const auto& [change, message] : cases) {
    Bytes bytes = good;
    change(bytes);
    testkit::WriteFile(dir / "m.nsbmd", bytes);
    const auto r = runGlaze({"-l", dir / "m.nsbmd"});
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_EQ(r.out, "") << message;
    EXPECT_EQ(r.err, "glaze: " + (dir / "m.nsbmd") + ": " + message + "\n");
  }
}

TEST(GlazeDs, MaterialListsOutsideTheirBlockAreDamage) {
  Example e;
  e.file.models[0].textures.push_back({"bad", {7}});  // 3 materials
  TempDir dir;
  testkit::WriteFile(dir / "m.nsbmd", g3dbuild::build(e.file));
  auto r = runGlaze({"-l", dir / "m.nsbmd"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "glaze: " + (dir / "m.nsbmd") +
                       ": its MDL0 block is damaged: model 0's texture pairing 2 names material 7 "
                       "of 3\n");
}

TEST(GlazeDs, ADamagedTextureIsNamedAndTheOthersWritten) {
  Example e;
  g3dbuild::Layout l;
  Bytes bytes = g3dbuild::build(e.file, &l);
  // Texture 3 (pal256 8x16, 128 bytes) made to start near the end of the texel data.
  set16(bytes, l.textureEntry[3], uint32_t((l.texelsSize - 64) >> 3));
  TempDir dir;
  testkit::WriteFile(dir / "m.nsbmd", bytes);
  const std::string problem = "glaze: " + (dir / "m.nsbmd") +
                              ": texture 3 (pal256): its data (128 bytes at offset " +
                              std::to_string(l.texelsSize - 64) + ") lie past the texel data (" +
                              std::to_string(l.texelsSize) + " bytes)\n";
  auto r = runGlaze({"-l", dir / "m.nsbmd"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, problem);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 11);
  r = runGlaze({"-x", dir / "m.nsbmd", dir / "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, problem);
  EXPECT_EQ(testkit::ListDir(dir / "out").size(), 10u);
  writePng(dir / "i.png", flatColours(8, 16, 3, 1));
  r = runGlaze({dir / "m.nsbmd", "pal256", dir / "i.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, problem.substr(0, problem.find("texture 3")) +
                       "texture 3 (pal256) cannot be replaced: " +
                       problem.substr(problem.find("its data")));
}

TEST(GlazeDs, CompressedFilesAndModelsWithoutTextures) {
  TempDir dir;
  Bytes lz = {0x10, 0x00, 0x10, 0x00, 0x00, 'B', 'T', 'X', '0', 0xFF, 0xFE, 0x01, 0x00};
  testkit::WriteFile(dir / "c.nsbtx", lz);
  auto r = runGlaze({"-l", dir / "c.nsbtx"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "glaze: " + (dir / "c.nsbtx") + ": it is compressed (LZ10): decompress it first\n");
  lz.insert(lz.begin(), {'L', 'Z', '7', '7'});
  testkit::WriteFile(dir / "c.nsbtx", lz);
  r = runGlaze({"-l", dir / "c.nsbtx"});
  EXPECT_EQ(r.err, "glaze: " + (dir / "c.nsbtx") +
                       ": it is compressed (LZ77 and LZ10): decompress it first\n");

  g3dbuild::File f;
  f.model = true;
  f.noTex0 = true;
  f.models.push_back({});
  testkit::WriteFile(dir / "m.nsbmd", g3dbuild::build(f));
  const std::string note = "glaze: " + (dir / "m.nsbmd") +
                           ": it has no TEX0 block: its textures are kept in a texture file "
                           "(BTX0) of their own\n";
  r = runGlaze({"-l", dir / "m.nsbmd"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, note);
  r = runGlaze({"-x", dir / "m.nsbmd", dir / "out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, note);
  EXPECT_TRUE(testkit::ListDir(dir / "out").empty());
}

TEST(GlazeDs, CommandLine) {
  Four f;
  TempDir dir;
  testkit::WriteFile(dir / "t.nsbtx", f.bytes);
  writePng(dir / "i.png", flatColours(8, 8, 2, 7));
  const std::pair<std::vector<std::string>, std::string> usage[] = {
      {{"-F", "pal17"}, "unknown format -F pal17"},
      {{"-F", "direct", "-P", "A_pl"}, "-P goes with a format that has a palette, not direct"},
      {{"-M", "2"}, "DS textures have no mip levels (-M takes only 1)"},
      {{"-F", "CMPR"}, "unknown format -F CMPR"},
  };
  for (const auto& [options, problem] : usage) {
    std::vector<std::string> args = options;
    for (const std::string& a : {dir / "t.nsbtx", std::string("A"), dir / "i.png"})
      args.push_back(a);
    const auto r = runGlaze(args);
    EXPECT_EQ(r.status, 2) << problem;
    EXPECT_EQ(r.err.rfind("glaze: " + problem + "\nusage: glaze -l MODEL\n", 0), 0u) << r.err;
    EXPECT_TRUE(testkit::SameBytes(f.bytes, testkit::ReadBytes(dir / "t.nsbtx")));
  }
  // Names in any case, -M 1, #INDEX.
  const auto r = runGlaze({"-F", "Pal4", "-M", "1", dir / "t.nsbtx", "#2", dir / "i.png"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(runGlaze({"-l", dir / "t.nsbtx"}).out.find("2\tC\tpal4\t8x8\tC_pl/32\t-\n"),
            std::string::npos);
  const Parsed after = parse(testkit::ReadBytes(dir / "t.nsbtx"));
  EXPECT_EQ(after.textures[2].format, 2);
  EXPECT_EQ(after.textures[2].word1, 8u | 6u << 11);  // the same size keeps the extra word
}
