// The DDS side on its own: header, format table, byte fixes and tile walks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "known.h"
#include "test_support.h"
#include "texsift.h"

using testkit::SameBytes;

namespace {

// What writeData writes for one level.
std::vector<uint8_t> convert(int format, int width, int height, const std::vector<uint8_t>& src) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&buffer, &size);
  EXPECT_TRUE(writeData(static_cast<unsigned char>(format), width, height, src.data(),
                        static_cast<int>(src.size()), out));
  std::fclose(out);
  std::vector<uint8_t> written(buffer, buffer + size);
  std::free(buffer);
  return written;
}

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
  return std::vector<uint8_t>(list.begin(), list.end());
}

}  // namespace

TEST(Conversion, HeaderAndFormatTable) {
  const struct {
    int format, size;
  } sizes[] = {{0, 16384}, {1, 32768}, {2, 32768}, {3, 65536}, {4, 65536}, {5, 65536}, {14, 16384}};
  for (const auto& [format, size] : sizes) {
    DdsHeader h = createDdsHeader(256, 128, 9);
    EXPECT_EQ(getBufferSize(static_cast<unsigned char>(format), 256, 128, h.colorCaps), size);
    std::vector<uint8_t> raw(128);
    std::memcpy(raw.data(), &h, 128);
    EXPECT_TRUE(SameBytes(expectedHeader(format, 256, 128, 9), raw)) << "format " << format;
  }
  // Every other code is refused and leaves the pixel format alone.
  for (int format = 0; format < 256; ++format) {
    if (format <= 5 || format == 14) continue;
    ColorCaps caps{32, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(getBufferSize(static_cast<unsigned char>(format), 8, 8, caps), kUnsupportedFormat);
    EXPECT_EQ(caps.flags, 1u);
    EXPECT_EQ(caps.alphaMask, 7u);
  }
  // Sizes of 2 GiB or more are told apart from an unsupported code.
  ColorCaps caps{};
  EXPECT_EQ(getBufferSize(1, 46340, 46340, caps), 2147395600);
  EXPECT_EQ(getBufferSize(1, 46341, 46341, caps), kSizeTooLarge);
  EXPECT_EQ(getBufferSize(5, 65535, 65535, caps), kSizeTooLarge);
  // The limit counts the bytes written too: RGB5A3 and 4-bit intensity write
  // twice what they read, and DXT1 blocks round up to whole blocks.
  EXPECT_EQ(getBufferSize(5, 32767, 32767, caps), kSizeTooLarge);
  EXPECT_EQ(getBufferSize(5, 23170, 23170, caps), 1073697800);
  EXPECT_EQ(getBufferSize(0, 46341, 46341, caps), kSizeTooLarge);
  EXPECT_EQ(getBufferSize(14, 65535, 65535, caps), kSizeTooLarge);
  EXPECT_EQ(getBufferSize(14, 65532, 65532, caps), 2147221512);
  EXPECT_EQ(getBufferSize(3, 0, 65535, caps), 0);
}

TEST(Conversion, IndexRowsReversed) {
  const int cases[][2] = {{0x1B, 0xE4}, {0xE4, 0x1B}, {0x00, 0x00}, {0x55, 0x55},
                          {0xAA, 0xAA}, {0xFF, 0xFF}, {0x01, 0x40}, {0x80, 0x02}};
  for (const auto& c : cases) {
    uint8_t b = static_cast<uint8_t>(c[0]);
    s3tc1ReverseByte(b);
    EXPECT_EQ(b, c[1]) << "from " << c[0];
  }
}

TEST(Conversion, Rgb5A3Pixels) {
  // Stored values on the first tile row, then the rest of the 4x4 tile zero.
  std::vector<uint8_t> src = bytes({0x12, 0x34, 0xFC, 0x00, 0x80, 0x00, 0x00, 0x00, 0x7F, 0xFF});
  src.resize(32);
  const auto out = convert(5, 4, 4, src);
  ASSERT_EQ(out.size(), 64u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 20),
            bytes({0x44, 0x33, 0x22, 0x24, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00,
                   0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(Conversion, EveryRgb5A3Value) {
  // All 65536 values, whole tiles side by side as the fast path takes them.
  std::vector<uint16_t> values(65536);
  for (size_t v = 0; v < values.size(); ++v) values[v] = static_cast<uint16_t>(v);
  const auto out = convert(5, 256, 256, modelwriter::encodeLevel(5, 256, 256, values));
  EXPECT_TRUE(SameBytes(expectedLevel(5, values, {}), out));
}

TEST(Conversion, CompressedBlockOrder) {
  // Two 8x8 tiles of four blocks each; block n holds n in every byte but the
  // first, and a distinct first colour byte.
  std::vector<uint8_t> src;
  for (int n = 0; n < 8; ++n)
    for (int i = 0; i < 8; ++i) src.push_back(static_cast<uint8_t>(i == 0 ? 0xA0 + n : n));
  const auto out = convert(14, 16, 8, src);
  ASSERT_EQ(out.size(), 64u);
  const int order[] = {0, 1, 4, 5, 2, 3, 6, 7};  // a0 a1 b0 b1 a2 a3 b2 b3
  for (int b = 0; b < 8; ++b) {
    const int n = order[b];
    EXPECT_EQ(out[8 * b], n) << "block " << b;
    EXPECT_EQ(out[8 * b + 1], 0xA0 + n) << "block " << b;
  }
  // One block's bytes: colours exchanged, index rows reversed.
  const auto one = convert(
      14, 8, 8, bytes({0x12, 0x34, 0x56, 0x78, 0x1B, 0xE4, 0x01, 0x55, 0, 0, 0, 0, 0, 0, 0, 0,
                       0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(one.begin(), one.begin() + 8),
            bytes({0x34, 0x12, 0x78, 0x56, 0xE4, 0x1B, 0x40, 0x55}));
}

TEST(Conversion, EveryFormatAndShapeRoundTrips) {
  // Whole tiles, partial tiles and levels smaller than one tile: each pixel
  // inside the level comes back, nothing outside it is touched.
  const int shapes[][2] = {{8, 8}, {16, 8}, {24, 12}, {13, 7}, {3, 2},
                           {1, 1}, {4, 4},  {8, 4},   {1, 9}};
  for (int format : {0, 1, 2, 3, 4, 5, 14})
    for (const auto& shape : shapes) {
      const Known k = knownTexture("t", format, shape[0], shape[1], 1, format * 100 + shape[0]);
      const auto out = convert(format, shape[0], shape[1], k.texture.data);
      EXPECT_TRUE(SameBytes(std::vector<uint8_t>(k.dds.begin() + 128, k.dds.end()), out))
          << "format " << format << ", " << shape[0] << " x " << shape[1];
    }
}
