// glaze-gennitro: example DS files for glaze's demo and fuzz seeds.
//
//   glaze-gennitro demo FILE.nsbmd     a model whose TEX0 holds a texture of
//                                      each of the seven formats made from
//                                      the project's pictures, materials
//                                      pairing them with palettes, and a
//                                      palette swap (two textures, one data)
//   glaze-gennitro seeds FOLDER        small files: one per format, and the
//                                      conventions of the games' files
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "g3d_builder.h"
#include "model_writer.h"
#include "nitro/nitro.h"
#include "pictures.h"

namespace {

namespace nitro = glaze::nitro;

// Adds a texture of the picture in a format, with a palette of `colours`
// named like it (none for direct colour); returns its index.
int add(g3dbuild::File& f, const std::string& name, int format, const glaze::Image& image,
        int colours, const std::string& paletteName = "") {
  g3dbuild::Texture t;
  t.name = name;
  t.format = format;
  t.width = image.width;
  t.height = image.height;
  g3dbuild::Data d;
  std::vector<uint16_t> palette;
  const size_t n = image.rgba.size() / 4;
  if (format == nitro::kTex4x4) {
    const nitro::Tex4x4 e = nitro::encode4x4(image, colours, 1);
    d.texels = e.texels;
    d.index = e.index;
    palette = e.palette;
  } else if (format == nitro::kDirect) {
    std::vector<uint16_t> values(n);
    for (size_t i = 0; i < n; ++i)
      values[i] =
          uint16_t(nitro::rgb555(&image.rgba[4 * i]) | (image.rgba[4 * i + 3] >= 128 ? 0x8000 : 0));
    d.texels = nitro::packTexels(format, image.width, image.height, values);
  } else {
    const bool transparency = format >= nitro::kPal4 && format <= nitro::kPal256;
    std::vector<nitro::WeightedColour> wanted;
    bool clear = false;
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* p = &image.rgba[4 * i];
      if (transparency && p[3] < 128)
        clear = true;
      else
        wanted.push_back({{p[0], p[1], p[2]}, 1});
    }
    t.transparent0 = clear;
    palette = nitro::quantise(wanted, colours - (clear ? 1 : 0));
    if (clear) palette.insert(palette.begin(), 0);
    std::vector<uint16_t> values(n);
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* p = &image.rgba[4 * i];
      int index = transparency && p[3] < 128 ? 0 : nitro::nearestColour(palette, clear ? 1 : 0, p);
      if (format == nitro::kA3I5) index |= nitro::nearestA3(p[3]) << 5;
      if (format == nitro::kA5I3) index |= nitro::nearestA5(p[3]) << 3;
      values[i] = uint16_t(index);
    }
    d.texels = nitro::packTexels(format, image.width, image.height, values);
  }
  t.data = int(f.data.size());
  f.data.push_back(std::move(d));
  f.textures.push_back(t);
  if (format != nitro::kDirect) {
    g3dbuild::Palette p;
    p.name = paletteName.empty() ? name + "_pl" : paletteName;
    p.colours = palette;
    p.fourColour = format == nitro::kPal4;
    f.palettes.push_back(p);
  }
  return int(f.textures.size()) - 1;
}

// A picture with an alpha ramp from left to right.
glaze::Image faded(glaze::Image image) {
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) image.at(x, y)[3] = uint8_t(255 * x / (image.width - 1));
  return image;
}

g3dbuild::File demo() {
  g3dbuild::File f;
  f.model = true;
  add(f, "road", nitro::kTex4x4, pictures::photo(128, 128, 1), 512, "road_pl");
  add(f, "sky", nitro::kPal256, pictures::photo(64, 32, 2), 256, "sky_pl");
  add(f, "sign", nitro::kPal16, pictures::gameArt(64, 64, 3), 16, "sign_pl");
  add(f, "leaves", nitro::kPal4, pictures::cutOut(32, 32, 5), 4, "leaves_pl");
  add(f, "glow", nitro::kA3I5, faded(pictures::gameArt(32, 32, 6)), 32, "glow_pl");
  add(f, "water", nitro::kA5I3, faded(pictures::photo(32, 32, 7)), 8, "water_pl");
  add(f, "kart_body", nitro::kDirect, pictures::photo(32, 32, 4), 0);
  // sign_red draws sign's texels with another palette, as the games'
  // palette swaps do; a material pairs it.
  g3dbuild::Texture swap = f.textures[2];
  swap.name = "sign_red";
  f.textures.push_back(swap);
  g3dbuild::Palette red = f.palettes[2];
  red.name = "sign_red_pal";
  for (uint16_t& c : red.colours) c = uint16_t((c & 0x7C1F) | ((c >> 5 & 31) / 3) << 5);
  f.palettes.push_back(red);
  g3dbuild::Model m;
  m.materials = 3;
  m.textures = {{"road", {0}}, {"sign", {1}}, {"sign_red", {2}}};
  m.palettes = {{"road_pl", {0}}, {"sign_pl", {1}}, {"sign_red_pal", {2}}};
  f.models.push_back(m);
  return f;
}

bool writeSeeds(const std::string& folder) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds;
  for (int format = 1; format <= 7; ++format) {
    g3dbuild::File f;
    const glaze::Image image = format == 1 || format == 6
                                   ? faded(pictures::gameArt(8, 8, uint32_t(format)))
                                   : pictures::cutOut(8, 8, uint32_t(format));
    // Appended: GCC 12 warns falsely about + on strings here.
    std::string name = nitro::formatName(format);
    add(f, std::string("t").append(name), format, image,
        format == 5 ? 16 : nitro::paletteCapacity(format));
    name += ".nsbtx";
    seeds.emplace_back(name, g3dbuild::build(f));
  }
  {
    // Shared data with two palettes, palettes sharing an offset, a
    // 16-character name, looping trees and a stale file size.
    g3dbuild::File f;
    add(f, "sixteen_chars_ab", nitro::kPal16, pictures::gameArt(16, 8, 1), 8);
    g3dbuild::Texture shared = f.textures[0];
    shared.name = "swap";
    f.textures.push_back(shared);
    g3dbuild::Palette other = f.palettes[0];
    other.name = "swap";
    f.palettes.push_back(other);
    g3dbuild::Palette alias = f.palettes[0];
    alias.name = "alias";
    alias.sameAs = 0;
    f.palettes.push_back(alias);
    f.loopingTrees = true;
    std::vector<uint8_t> bytes = g3dbuild::build(f);
    f.fileSizeField = uint32_t(bytes.size() - 8);
    seeds.emplace_back("conventions.nsbtx", g3dbuild::build(f));
  }
  {
    // A model whose material pairs a palette the name would not.
    g3dbuild::File f;
    f.model = true;
    add(f, "water", nitro::kA5I3, faded(pictures::photo(8, 8, 2)), 8, "water2");
    add(f, "water_a", nitro::kTex4x4, pictures::photo(8, 8, 3), 8, "water");
    g3dbuild::Model m;
    m.materials = 2;
    m.textures = {{"water", {1}}, {"water_a", {0}}};
    m.palettes = {{"water2", {1}}, {"water", {0}}};
    f.models.push_back(m);
    seeds.emplace_back("materials.nsbmd", g3dbuild::build(f));
  }
  {
    g3dbuild::File f;
    f.model = true;
    f.noTex0 = true;
    f.models.push_back({});
    seeds.emplace_back("no-tex0.nsbmd", g3dbuild::build(f));
  }
  for (const auto& [name, bytes] : seeds)
    if (!modelwriter::writeFile(std::string(folder).append("/").append(name), bytes)) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc == 3 ? argv[1] : "";
  if (what != "demo" && what != "seeds") {
    std::fprintf(stderr, "usage: glaze-gennitro demo FILE\n       glaze-gennitro seeds FOLDER\n");
    return 2;
  }
  const bool ok = what == "demo" ? modelwriter::writeFile(argv[2], g3dbuild::build(demo()))
                                 : writeSeeds(argv[2]);
  if (!ok) {
    std::fprintf(stderr, "glaze-gennitro: cannot write %s: %s\n", argv[2], std::strerror(errno));
    return 1;
  }
  return 0;
}
