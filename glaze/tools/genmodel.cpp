// glaze-genmodel: example files for glaze's demo, benchmark and fuzz seeds.
//
//   glaze-genmodel demo FILE            a BDL with a texture in each of the 11
//                                       formats, shared data, a Shift-JIS
//                                       name and material display lists
//   glaze-genmodel bench FILE           100 textures of 1024 x 1024 CMPR
//   glaze-genmodel seeds FOLDER         small models and BTI files
//   glaze-genmodel brres FILE           a BRRES course model: two models
//                                       naming pool strings, textures of
//                                       several formats, palettes, an
//                                       animation
//   glaze-genmodel brres-seeds FOLDER   small BRRES and TEX0 files in every
//                                       layout real files use
//   glaze-genmodel picture KIND W H FILE.png   KIND: photo, art, cutout or grass
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "brres_builder.h"
#include "gx/gx.h"
#include "j3d_builder.h"
#include "model_writer.h"
#include "pictures.h"
#include "png_io.h"

using j3dbuild::HeaderFields;

namespace {

glaze::Image picture(const std::string& kind, int w, int h, uint32_t seed) {
  if (kind == "art") return pictures::gameArt(w, h, seed);
  if (kind == "cutout") return pictures::cutOut(w, h, seed);
  if (kind == "grass") return pictures::grass(w, h, seed);
  return pictures::photo(w, h, seed);
}

struct Made {
  HeaderFields header;
  std::vector<uint8_t> data, palette;
};

// A texture of the picture in a format, with its levels and palette.
Made make(int format, int paletteFormat, const glaze::Image& image, int levels) {
  const glaze::FormatInfo& f = *glaze::formatInfo(format);
  const auto chain = glaze::makeMipChain(image, levels);
  const auto encoded = glaze::encodeTexture(f, glaze::PaletteFormat(paletteFormat), chain,
                                            int(std::thread::hardware_concurrency()));
  Made m;
  m.data = encoded.data;
  for (uint16_t e : encoded.palette.entries) {
    m.palette.push_back(uint8_t(e >> 8));
    m.palette.push_back(uint8_t(e));
  }
  HeaderFields& h = m.header;
  h.format = uint8_t(format);
  h.width = uint16_t(image.width);
  h.height = uint16_t(image.height);
  h.levels = uint8_t(levels);
  h.minFilter = levels > 1 ? 5 : 1;
  bool opaque = true;
  for (size_t i = 3; i < image.rgba.size(); i += 4) opaque = opaque && image.rgba[i] == 255;
  h.alpha = opaque ? 0 : 1;
  if (f.maxEntries > 0) {
    h.palette = true;
    h.paletteFormat = uint8_t(paletteFormat);
    h.paletteEntries = uint16_t(encoded.palette.entries.size());
  }
  return m;
}

// Adds a made texture with its own data (and palette) blocks; returns its index.
int add(j3dbuild::Model& model, const std::string& name, const Made& made) {
  return j3dbuild::addTexture(model, name, made.header, made.data, made.palette);
}

glaze::Image grey(int w, int h, bool alpha) {
  glaze::Image image(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = image.at(x, y);
      const int v = (x * 255 / std::max(1, w - 1) + y * 97) % 256;
      p[0] = p[1] = p[2] = uint8_t(v);
      p[3] = alpha ? uint8_t(255 - (y * 255 / std::max(1, h - 1))) : 255;
    }
  return image;
}

j3dbuild::Model demoModel() {
  j3dbuild::Model m;
  m.bdl = true;
  m.before = {{"INF1", 96},  {"VTX1", 256}, {"EVP1", 64}, {"DRW1", 64},
              {"JNT1", 128}, {"SHP1", 192}, {"MAT3", 320}};
  m.after = {{"EVP2", 32}};
  const int road = add(m, "course_road", make(14, 0, pictures::photo(128, 128, 1), 8));
  j3dbuild::Texture mirror = m.textures[size_t(road)];
  mirror.name = "course_road_mirror";
  mirror.header.wrapS = mirror.header.wrapT = 2;
  m.textures.push_back(mirror);
  add(m, "sky", make(5, 0, pictures::photo(64, 32, 2), 1));
  const int sign = add(m, "sign_arrow", make(4, 0, pictures::gameArt(64, 64, 3), 7));
  add(m, "shadow", make(0, 0, grey(32, 32, false), 1));
  add(m, "font", make(1, 0, grey(64, 32, false), 1));
  add(m, "smoke", make(2, 0, grey(32, 32, true), 1));
  add(m, "glass", make(3, 0, grey(32, 32, true), 6));
  add(m, "kart_body", make(6, 0, pictures::photo(64, 64, 4), 1));
  const int leaves = add(m, "leaves", make(8, 2, pictures::cutOut(64, 64, 5), 7));
  const int flag = add(m, "flag", make(9, 1, pictures::gameArt(64, 64, 6), 1));
  add(m, "lamp", make(10, 0, grey(32, 32, true), 1));
  // "看板" (signboard) in Shift-JIS, as Japanese games name textures.
  const int board = add(m, "\x8A\xC5\x94\xC2", make(14, 0, pictures::gameArt(64, 64, 7), 1));

  auto mapped = [&](int map, int index, int tlut = 0) {
    return j3dbuild::TextureMap{map, index, m.textures[size_t(index)].header, tlut};
  };
  m.displayLists = {
      j3dbuild::materialList({mapped(0, road)}, {{0, 0, -1, 0}}),
      j3dbuild::materialList({mapped(0, sign), mapped(1, leaves, 0x200)}, {{0, 0, 1, 1}}),
      j3dbuild::materialList({mapped(0, flag, 0x300)}, {{0, 0, -1, 0}}),
      j3dbuild::materialList({mapped(0, board)}, {{0, 0, -1, 0}}),
  };
  return m;
}

j3dbuild::Model benchModel() {
  j3dbuild::Model m;
  const Made kinds[] = {make(14, 0, pictures::photo(1024, 1024, 11), 1),
                        make(14, 0, pictures::gameArt(1024, 1024, 12), 1),
                        make(14, 0, pictures::photo(1024, 1024, 13), 1),
                        make(14, 0, pictures::gameArt(1024, 1024, 14), 1)};
  for (int i = 0; i < 100; ++i) add(m, "texture" + std::to_string(i), kinds[i % 4]);
  return m;
}

// A BRRES texture of a made texture, and its palette.
brresbuild::Texture brresTexture(const std::string& name, const Made& made, int version,
                                 std::vector<brresbuild::Palette>* palettes = nullptr) {
  brresbuild::Texture t;
  t.name = name, t.version = version, t.format = made.header.format;
  t.width = made.header.width, t.height = made.header.height, t.images = made.header.levels;
  t.data = made.data;
  if (palettes && !made.palette.empty()) {
    brresbuild::Palette p;
    p.name = name, p.format = made.header.paletteFormat;
    for (size_t i = 0; i + 1 < made.palette.size(); i += 2)
      p.entries.push_back(uint16_t(made.palette[i] << 8 | made.palette[i + 1]));
    palettes->push_back(p);
  }
  return t;
}

brresbuild::File brresDemo() {
  brresbuild::File f;
  f.models = {{"course", {"root", "mat_road", "mat_grass", "mat_sign", "road", "grass", "sign"}},
              {"vrcorn", {"mat_sky", "sky"}}};
  f.textures = {brresTexture("road", make(14, 0, pictures::photo(128, 128, 1), 8), 3),
                brresTexture("grass", make(8, 2, pictures::grass(64, 64, 2), 7), 3, &f.palettes),
                brresTexture("sky", make(5, 0, pictures::photo(64, 32, 3), 1), 1),
                brresTexture("sign", make(4, 0, pictures::gameArt(64, 64, 4), 1), 3),
                brresTexture("shadow", make(1, 0, grey(32, 32, false), 6), 3)};
  // As tool-made files store it: max LOD 0 with several images.
  f.textures[0].maxLod = 0;
  f.animations = {"road_scroll"};
  return f;
}

bool writeBrresSeeds(const std::string& folder) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds;
  const brresbuild::Pool pools[] = {brresbuild::Pool::kSorted, brresbuild::Pool::kCTools,
                                    brresbuild::Pool::kInsideRoot};
  const char* const names[] = {"sorted.brres", "ctools.brres", "inside-root.brres"};
  for (int i = 0; i < 3; ++i) {
    brresbuild::File f;
    f.pool = pools[i];
    f.models = {{"m", {"bone", "mat_a"}}};
    f.textures = {brresTexture("a", make(14, 0, pictures::photo(16, 16, 1), 3), 3),
                  brresTexture("abcd", make(8, 2, pictures::cutOut(8, 8, 2), 1), 1, &f.palettes),
                  brresTexture("b", make(5, 1, pictures::gameArt(8, 4, 3), 1), 3)};
    f.textures[0].maxLod = 0;
    f.animations = {"srt"};
    f.rootText = i == 0;
    f.emptyReferenceNames = i == 1;
    f.sectionCount = i == 1 ? 2 : -1;
    f.padPool = i != 1;
    seeds.emplace_back(names[i], brresbuild::build(f));
  }
  {
    // No palette folder: a palette format makes one.
    brresbuild::File f;
    f.textures = {brresTexture("only", make(3, 0, grey(8, 8, true), 1), 3)};
    seeds.emplace_back("no-palettes.brres", brresbuild::build(f));
  }
  seeds.emplace_back("texture.tex0", brresbuild::tex0File(brresTexture(
                                         "texture", make(5, 0, pictures::gameArt(8, 8, 4), 1), 1)));
  for (const auto& [name, bytes] : seeds) {
    std::string path = folder;
    path.append("/").append(name);
    if (!modelwriter::writeFile(path, bytes)) return false;
  }
  return true;
}

bool writeSeeds(const std::string& folder) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds;
  {
    // Every format, small, one level each, two of them sharing data.
    j3dbuild::Model m;
    m.before = {{"INF1", 32}};
    static const int kFormats[] = {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 14};
    for (int f : kFormats)
      add(m, std::string("f").append(std::to_string(f)),
          make(f, f % 3, pictures::gameArt(8, 8, uint32_t(f)), 1));
    j3dbuild::Texture shared = m.textures[0];
    shared.name = "shared";
    m.textures.push_back(shared);
    seeds.emplace_back("formats.bmd", build(m));
  }
  {
    // A BDL whose lists load a palette texture and scale two coordinates.
    j3dbuild::Model m;
    m.bdl = true;
    m.before = {{"MAT3", 32}};
    const int a = add(m, "a", make(14, 0, pictures::photo(16, 16, 1), 5));
    const int b = add(m, "b", make(9, 2, pictures::cutOut(16, 8, 2), 1));
    m.displayLists = {j3dbuild::materialList(
        {{0, a, m.textures[size_t(a)].header, 0}, {1, b, m.textures[size_t(b)].header, 0x100}},
        {{0, 0, 1, 1}})};
    seeds.emplace_back("lists.bdl", build(m));
  }
  {
    // As real files hold them: a level count of 0 (beside a good header).
    j3dbuild::Model m;
    Made zero = make(14, 0, pictures::photo(16, 16, 5), 1);
    zero.header.levels = 0;
    add(m, "zero", zero);
    add(m, "good", make(3, 0, pictures::cutOut(8, 8, 8), 2));
    seeds.emplace_back("zero-levels.bmd", build(m));
  }
  {
    // Headers that cannot be read (a name past TEX1, an unknown format)
    // among good ones.
    j3dbuild::Model m;
    add(m, "good", make(14, 0, pictures::photo(16, 16, 5), 1));
    add(m, "unnamed", make(5, 0, pictures::gameArt(8, 8, 6), 1));
    add(m, "odd", make(4, 0, pictures::gameArt(8, 8, 7), 1));
    add(m, "last", make(3, 0, pictures::cutOut(8, 8, 8), 2));
    j3dbuild::Layout layout;
    std::vector<uint8_t> bytes = build(m, &layout);
    bytes[layout.names + 4 + 4 + 2] = 0xFF;  // the name of texture 1
    bytes[layout.headers + 32 * 2] = 7;      // the format of texture 2
    seeds.emplace_back("bad-headers.bmd", std::move(bytes));
  }
  {
    // A BDL whose list sets up its C8 map without the palette (the game
    // loads it from the header).
    j3dbuild::Model m;
    m.bdl = true;
    m.before = {{"MAT3", 32}};
    const int c8 = add(m, "c8", make(9, 1, pictures::gameArt(16, 8, 9), 1));
    j3dbuild::TextureMap map{0, c8, m.textures[size_t(c8)].header, 0};
    map.paletteSetUp = false;
    m.displayLists = {j3dbuild::materialList({map}, {{0, 0, -1, 0}})};
    seeds.emplace_back("no-palette-set-up.bdl", build(m));
  }
  {
    const Made made = make(8, 2, pictures::cutOut(8, 8, 3), 1);
    seeds.emplace_back("palette.bti", j3dbuild::buildBti(made.header, made.data, made.palette));
    const Made cmpr = make(14, 0, pictures::photo(16, 16, 4), 3);
    seeds.emplace_back("mips.bti", j3dbuild::buildBti(cmpr.header, cmpr.data, {}));
  }
  for (const auto& [name, bytes] : seeds) {
    std::string path = folder;
    path.append("/").append(name);
    if (!modelwriter::writeFile(path, bytes)) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  bool ok;
  std::string where;
  if ((what == "demo" || what == "bench" || what == "seeds" || what == "brres" ||
       what == "brres-seeds") &&
      argc == 3) {
    where = argv[2];
    if (what == "demo")
      ok = modelwriter::writeFile(where, build(demoModel()));
    else if (what == "bench")
      ok = modelwriter::writeFile(where, build(benchModel()));
    else if (what == "brres")
      ok = modelwriter::writeFile(where, brresbuild::build(brresDemo()));
    else if (what == "brres-seeds")
      ok = writeBrresSeeds(where);
    else
      ok = writeSeeds(where);
  } else if (what == "picture" && argc == 6) {
    const int w = std::atoi(argv[3]), h = std::atoi(argv[4]);
    where = argv[5];
    if (w < 1 || h < 1 || w > 4096 || h > 4096) {
      std::fprintf(stderr, "glaze-genmodel: sizes are 1 to 4096\n");
      return 2;
    }
    FILE* f = std::fopen(where.c_str(), "wb");
    ok = f && glaze::writePng(f, picture(argv[2], w, h, 42), false);
    if (f && std::fclose(f) != 0) ok = false;
  } else {
    std::fprintf(stderr,
                 "usage: glaze-genmodel demo|bench|brres FILE\n"
                 "       glaze-genmodel seeds|brres-seeds FOLDER\n"
                 "       glaze-genmodel picture photo|art|cutout|grass W H FILE.png\n");
    return 2;
  }
  if (!ok) {
    std::fprintf(stderr, "glaze-genmodel: cannot write %s: %s\n", where.c_str(),
                 std::strerror(errno));
    return 1;
  }
  return 0;
}
