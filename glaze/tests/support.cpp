#include "support.h"

#include <cstdio>
#include <random>

#include "png_io.h"
#include "reference.h"

namespace glazetest {

testkit::RunResult runGlaze(const std::vector<std::string>& args,
                            const testkit::RunOptions& options) {
  std::vector<std::string> argv = {kGlaze};
  argv.insert(argv.end(), args.begin(), args.end());
  return testkit::RunProgram(argv, options);
}

Known known(int format, int width, int height, int levels, uint32_t seed, int paletteFormat,
            int entries) {
  std::mt19937 random(seed);
  Known k;
  j3dbuild::HeaderFields& h = k.header;
  h.format = uint8_t(format);
  h.width = uint16_t(width);
  h.height = uint16_t(height);
  h.levels = uint8_t(levels);
  h.minFilter = levels > 1 ? 5 : 1;
  h.alpha = 1;
  const bool palette = format == 8 || format == 9 || format == 10;
  for (int level = 0; level < levels; ++level) {
    const int w = std::max(1, width >> level), ht = std::max(1, height >> level);
    const size_t n = reference::levelBytes(format, w, ht);
    for (size_t i = 0; i < n; ++i) {
      uint8_t b = uint8_t(random());
      if (palette) {
        // Indices inside the palette.
        if (format == 8) b = uint8_t((b % entries) << 4 | (b >> 4) % entries);
        if (format == 9) b = uint8_t(b % entries);
        if (format == 10) b = i % 2 == 0 ? 0 : uint8_t(b % entries);
      }
      k.data.push_back(b);
    }
  }
  if (palette) {
    h.palette = true;
    h.paletteFormat = uint8_t(paletteFormat);
    h.paletteEntries = uint16_t(entries);
    for (int i = 0; i < 2 * entries; ++i) k.palette.push_back(uint8_t(random()));
  }
  return k;
}

int add(j3dbuild::Model& model, const std::string& name, const Known& k) {
  return j3dbuild::addTexture(model, name, k.header, k.data, k.palette);
}

std::vector<uint8_t> referenceTexels(const Known& k, int level) {
  size_t at = 0;
  for (int l = 0; l < level; ++l)
    at += reference::levelBytes(k.header.format, std::max(1, k.header.width >> l),
                                std::max(1, k.header.height >> l));
  std::vector<uint16_t> palette;
  for (size_t i = 0; i + 1 < k.palette.size(); i += 2)
    palette.push_back(uint16_t(k.palette[i] << 8 | k.palette[i + 1]));
  return reference::decode(k.header.format, std::max(1, k.header.width >> level),
                           std::max(1, k.header.height >> level), k.data.data() + at, palette,
                           k.header.paletteFormat);
}

std::vector<uint8_t> texelsIn(const std::vector<uint8_t>& file, size_t header, int level) {
  const int format = file[header], w = be16(file, header + 2), h = be16(file, header + 4);
  size_t at = header + be32(file, header + 0x1C);
  for (int l = 0; l < level; ++l)
    at += reference::levelBytes(format, std::max(1, w >> l), std::max(1, h >> l));
  std::vector<uint16_t> palette;
  const size_t paletteAt = header + be32(file, header + 0x0C);
  for (int i = 0; i < be16(file, header + 0x0A) && format >= 8 && format <= 10; ++i)
    palette.push_back(be16(file, paletteAt + 2 * size_t(i)));
  return reference::decode(format, std::max(1, w >> level), std::max(1, h >> level), &file[at],
                           palette, file[header + 9]);
}

std::vector<uint8_t> pngTexels(const std::string& path, int& width, int& height) {
  const testkit::RunResult size =
      testkit::RunProgram({"/usr/bin/identify", "-format", "%w %h", "png:" + path});
  if (size.status != 0 || std::sscanf(size.out.c_str(), "%d %d", &width, &height) != 2) {
    ADD_FAILURE() << "identify cannot read " << path << ": " << size.err;
    return {};
  }
  testkit::TempDir dir;
  const testkit::RunResult r = testkit::RunProgram(
      {"/usr/bin/convert", "png:" + path, "-depth", "8", "rgba:" + (dir / "raw")});
  if (r.status != 0) {
    ADD_FAILURE() << "convert cannot read " << path << ": " << r.err;
    return {};
  }
  return testkit::ReadBytes(dir / "raw");
}

void expectTexels(const std::string& path, const std::vector<uint8_t>& expected, int w, int h) {
  int width = 0, height = 0;
  const auto texels = pngTexels(path, width, height);
  EXPECT_EQ(width, w) << path;
  EXPECT_EQ(height, h) << path;
  EXPECT_TRUE(testkit::SameBytes(expected, texels)) << path;
}

int pngColourType(const std::string& path) {
  const auto bytes = testkit::ReadBytes(path);
  return bytes.size() > 25 ? bytes[25] : -1;
}

void writePng(const std::string& path, const glaze::Image& image) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  ASSERT_TRUE(glaze::writePng(f, image, false));
  ASSERT_EQ(std::fclose(f), 0);
}

::testing::AssertionResult SameOutside(const std::vector<uint8_t>& before,
                                       const std::vector<uint8_t>& after,
                                       std::vector<std::pair<size_t, size_t>> changed) {
  const size_t n = std::min(before.size(), after.size());
  for (size_t i = 0; i < n; ++i) {
    bool allowed = false;
    for (const auto& [from, to] : changed) allowed |= i >= from && i < to;
    if (!allowed && before[i] != after[i])
      return ::testing::AssertionFailure()
             << "byte " << i << " changed from " << int(before[i]) << " to " << int(after[i]);
  }
  return ::testing::AssertionSuccess();
}

uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

uint16_t be16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] << 8 | b[at + 1]); }

}  // namespace glazetest
