// texsift-genmodel: writes example BMD models for the demo, the benchmark
// and the fuzz seeds.
//
//   texsift-genmodel example FILE   every supported format with mipmaps, one
//                                   texture in a format texsift cannot convert
//   texsift-genmodel bench FILE     100 textures of 1024 x 1024, full mipmap chains
//   texsift-genmodel seeds FOLDER   small models for the fuzzer's starting corpus
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "model_writer.h"

using namespace modelwriter;

namespace {

const std::vector<Section> kUsualSections = {{"INF1", 96},  {"VTX1", 256}, {"EVP1", 64},
                                             {"DRW1", 64},  {"JNT1", 128}, {"SHP1", 192},
                                             {"MAT3", 320}, {"MDL3", 64}};

Model exampleModel() {
  Model m;
  m.before = kUsualSections;
  m.textures = {
      patternTexture("grass", 14, 128, 128, 8, 1),
      patternTexture("sky_gradient", 5, 64, 32, 6, 2),
      patternTexture("signs/arrow", 4, 32, 32, 6, 3),
      patternTexture("shadow", 0, 64, 64, 7, 4),
      patternTexture("font", 1, 128, 64, 1, 5),
      patternTexture("smoke", 2, 32, 32, 4, 6),
      patternTexture("glass", 3, 16, 16, 5, 7),
      patternTexture("lamp_palette", 9, 32, 32, 1, 8),
  };
  m.after = {{"EVP2", 32}};
  return m;
}

Model benchModel() {
  static const uint8_t formats[] = {0, 1, 2, 3, 4, 5, 14};
  Model m;
  m.before = kUsualSections;
  for (int i = 0; i < 100; ++i)
    m.textures.push_back(patternTexture("texture" + std::to_string(i), formats[i % 7], 1024, 1024,
                                        11, static_cast<uint32_t>(i)));
  return m;
}

bool writeSeeds(const std::string& folder) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds;
  {
    Model m;
    m.before = {{"INF1", 40}};
    for (uint8_t f : {0, 1, 2, 3, 4, 5, 14})
      m.textures.push_back(patternTexture(std::to_string(f) + "t", f, 16, 8, 3, f));
    seeds.emplace_back("all-formats", build(m));
  }
  {
    Model m;
    m.textures = {patternTexture("odd", 14, 12, 6, 4, 1), patternTexture("odd", 5, 5, 3, 3, 2),
                  patternTexture("a/b", 0, 9, 9, 2, 3)};
    seeds.emplace_back("partial-tiles", build(m));
  }
  {
    Model m;
    m.textures = {patternTexture("pal", 10, 8, 8, 1, 1),
                  patternTexture("big", 5, 65535, 65535, 0, 2),
                  patternTexture("many", 1, 8, 4, 20, 3)};
    m.textures[1].levels = 1;  // claimed, not stored
    seeds.emplace_back("unsupported", build(m));
  }
  {
    Model m;
    m.before = {{"INF1", 8}, {"VTX1", 16}};
    seeds.emplace_back("no-textures", build(m));
  }
  {
    Model m;
    m.textures = {patternTexture("x", 1, 8, 8, 1, 1)};
    m.nameCount = 2;
    seeds.emplace_back("name-count", build(m));
  }
  {
    Model m;
    m.textures = {patternTexture("cut", 4, 16, 16, 3, 1)};
    auto bytes = build(m);
    bytes.resize(bytes.size() - 300);
    seeds.emplace_back("truncated", bytes);
  }
  for (const auto& [name, bytes] : seeds)
    if (!writeFile(folder + "/" + name + ".bmd", bytes)) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr,
                 "usage: texsift-genmodel example|bench FILE\n"
                 "       texsift-genmodel seeds FOLDER\n");
    return 2;
  }
  const std::string what = argv[1], where = argv[2];
  bool ok;
  if (what == "example")
    ok = writeFile(where, build(exampleModel()));
  else if (what == "bench")
    ok = writeFile(where, build(benchModel()));
  else if (what == "seeds")
    ok = writeSeeds(where);
  else {
    std::fprintf(stderr, "texsift-genmodel: unknown model kind %s\n", what.c_str());
    return 2;
  }
  if (!ok) {
    std::fprintf(stderr, "texsift-genmodel: cannot write %s: %s\n", where.c_str(),
                 std::strerror(errno));
    return 1;
  }
  return 0;
}
