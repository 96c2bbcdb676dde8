// DDS headers and the conversion of the console's tiled texture encodings.
#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <type_traits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "texsift.h"

void toWORD(uint16_t& v) { v = static_cast<uint16_t>((v >> 8) | (v << 8)); }

void toDWORD(uint32_t& v) {
  v = (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

namespace {

constexpr uint32_t kDdsFlags = 0x21007;  // caps, height, width, pixel format, mipmap count
constexpr uint32_t kDdsCaps = 0x401000;  // texture, mipmap
constexpr uint32_t kLuminance = 0x20000;
constexpr uint32_t kLuminanceAlpha = 0x20001;
constexpr uint32_t kRgb = 0x40;
constexpr uint32_t kRgbAlpha = 0x41;
constexpr uint32_t kFourCC = 0x4;
constexpr uint32_t kDxt1 = 0x31545844;  // "DXT1"

// Source bytes are consumed in tile rows of at most this many bytes at a
// time, so a texture never needs more memory than a few of them.
constexpr int64_t kBandBytes = 1 << 18;

// The 32-bit pixel of a 16-bit RGB5A3 value in host order.
uint32_t rgb5a3Pixel(uint16_t v) {
  uint32_t a, r, g, b;
  if (v & 0x8000) {
    a = 255;
    r = (v >> 10) & 0x1F;
    g = (v >> 5) & 0x1F;
    b = v & 0x1F;
    r = (r << 3) | (r >> 2);
    g = (g << 3) | (g >> 2);
    b = (b << 3) | (b >> 2);
  } else {
    a = (v >> 12) & 0x7;
    a = ((a << 5) | (a << 2) | (a >> 1)) & 0xFF;
    r = ((v >> 8) & 0xF) * 17;
    g = ((v >> 4) & 0xF) * 17;
    b = (v & 0xF) * 17;
  }
  return (a << 24) | (r << 16) | (g << 8) | b;
}

const std::array<uint32_t, 65536>& rgb5a3Table() {
  static const auto table = [] {
    auto t = std::make_unique<std::array<uint32_t, 65536>>();
    for (uint32_t v = 0; v < 65536; ++v) (*t)[v] = rgb5a3Pixel(static_cast<uint16_t>(v));
    return t;
  }();
  return *table;
}

int ceilDiv(int a, int b) { return (a + b - 1) / b; }

}  // namespace

DdsHeader createDdsHeader(int width, int height, int mipmaps) {
  DdsHeader h;
  std::memset(&h, 0, sizeof h);
  std::memcpy(h.magic, "DDS ", 4);
  h.size = 124;
  h.flags = kDdsFlags;
  h.height = static_cast<uint32_t>(height);
  h.width = static_cast<uint32_t>(width);
  h.mipMapCount = static_cast<uint32_t>(mipmaps);
  h.colorCaps.size = 32;
  h.caps1 = kDdsCaps;
  return h;
}

int getBufferSize(unsigned char format, int width, int height, ColorCaps& caps) {
  const TextureFormat* f = findFormat(format);
  if (!f) return kUnsupportedFormat;
  const int64_t size = int64_t{width} * height * f->sourceBitsPerPixel / 8;
  // The limit holds for what is read and for what is written.
  if (width < 0 || height < 0 || size > INT_MAX || levelOutputSize(*f, width, height) > INT_MAX)
    return kSizeTooLarge;
  caps.flags = f->pixelFormat.flags;
  caps.fourCC = f->pixelFormat.fourCC;
  caps.bitsPerPixel = f->pixelFormat.bitsPerPixel;
  caps.redMask = f->pixelFormat.redMask;
  caps.greenMask = f->pixelFormat.greenMask;
  caps.blueMask = f->pixelFormat.blueMask;
  caps.alphaMask = f->pixelFormat.alphaMask;
  return static_cast<int>(size);
}

int64_t levelSourceSize(const TextureFormat& format, int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  return int64_t{ceilDiv(width, format.tileWidth)} * ceilDiv(height, format.tileHeight) *
         kTileBytes;
}

int64_t levelOutputSize(const TextureFormat& format, int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  if (format.ddsBytesPerPixel == kDxt1Blocks)
    return int64_t{ceilDiv(width, 4)} * ceilDiv(height, 4) * 8;
  return int64_t{width} * height * format.ddsBytesPerPixel;
}

int levelDimension(int full, unsigned level) {
  if (full <= 0) return 0;
  if (level >= 31) return 1;
  return std::max(1, full >> level);
}

namespace {

// The shared tile walk. Source tiles (32 bytes each) follow one another in
// row order; `rowPiece(y, x, tileRow, cols)` converts one row of one tile,
// `cols` pixels of it lying inside the level, to destination row y from
// column x; `pairPiece(y, x, tileRow)`, when given, converts the same row of
// two whole neighbouring tiles at once. Destination rows are visited in
// order; rows and columns of a tile that lie outside the level are skipped.
template <int tileWidth, int tileHeight, typename RowPiece, typename PairPiece = std::nullptr_t>
void walkTiles(int width, int height, const uint8_t* src, RowPiece rowPiece,
               [[maybe_unused]] PairPiece pairPiece = nullptr) {
  constexpr int tileRowBytes = 32 / tileHeight;
  const int tilesX = ceilDiv(width, tileWidth);
  const int wholeTiles = width / tileWidth;
  for (int y0 = 0; y0 < height; y0 += tileHeight, src += static_cast<size_t>(tilesX) * 32) {
    const int rows = std::min(tileHeight, height - y0);
    for (int y = 0; y < rows; ++y) {
      const uint8_t* s = src + y * tileRowBytes;
      int tx = 0;
      if constexpr (!std::is_same_v<PairPiece, std::nullptr_t>)
        for (; tx + 2 <= wholeTiles; tx += 2, s += 64) pairPiece(y0 + y, tx * tileWidth, s);
      for (; tx < wholeTiles; ++tx, s += 32) rowPiece(y0 + y, tx * tileWidth, s, tileWidth);
      if (wholeTiles < tilesX)
        rowPiece(y0 + y, wholeTiles * tileWidth, s, width - wholeTiles * tileWidth);
    }
  }
}

// Both pixels of a 4-bit intensity byte as they lie in the output, high
// nibble first, each widened to 8 bits.
const std::array<uint16_t, 256>& nibblePairs() {
  static const auto table = [] {
    std::array<uint16_t, 256> t{};
    for (int b = 0; b < 256; ++b) t[b] = static_cast<uint16_t>((b >> 4) * 17 | (b & 0xF) * 17 << 8);
    return t;
  }();
  return table;
}

}  // namespace

void fix8x8Expand(uint8_t* dst, const uint8_t* src, int width, int height) {
  const auto& pairs = nibblePairs();
  walkTiles<8, 8>(width, height, src, [&](int y, int x, const uint8_t* s, int cols) {
    uint16_t row[4];
    for (int i = 0; i < 4; ++i) row[i] = pairs[s[i]];
    uint8_t* out = dst + static_cast<size_t>(y) * width + x;
    if (cols == 8)
      std::memcpy(out, row, 8);
    else
      std::memcpy(out, row, static_cast<size_t>(cols));
  });
}

void fix8x4(uint8_t* dst, const uint8_t* src, int width, int height) {
  walkTiles<8, 4>(width, height, src, [&](int y, int x, const uint8_t* s, int cols) {
    uint8_t* out = dst + static_cast<size_t>(y) * width + x;
    if (cols == 8)
      std::memcpy(out, s, 8);
    else
      std::memcpy(out, s, static_cast<size_t>(cols));
  });
}

#ifdef __SSE2__
// Two rows of four 16-bit values, 32 bytes apart in the source, as one
// vector with each value's bytes exchanged into host order.
inline __m128i loadSwappedPair(const uint8_t* s) {
  const __m128i v = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s)),
                                       _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + 32)));
  return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

#endif

void fix4x4(uint16_t* dst, const uint16_t* src, int width, int height) {
  // Big-endian values in the model, little-endian in the DDS file.
  auto one = [&](int y, int x, const uint8_t* s, int cols) {
    uint16_t* out = dst + static_cast<size_t>(y) * width + x;
    for (int i = 0; i < cols; ++i) {
      uint16_t v;
      std::memcpy(&v, s + 2 * i, 2);
      toWORD(v);
      out[i] = v;
    }
  };
#ifdef __SSE2__
  auto pair = [&](int y, int x, const uint8_t* s) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + static_cast<size_t>(y) * width + x),
                     loadSwappedPair(s));
  };
  walkTiles<4, 4>(width, height, reinterpret_cast<const uint8_t*>(src), one, pair);
#else
  walkTiles<4, 4>(width, height, reinterpret_cast<const uint8_t*>(src), one);
#endif
}

void fixRgb5A3(uint32_t* dst, const uint16_t* src, int width, int height) {
  // A table of all 65536 values beats computing the channels here.
  const auto& table = rgb5a3Table();
  walkTiles<4, 4>(width, height, reinterpret_cast<const uint8_t*>(src),
                  [&](int y, int x, const uint8_t* s, int cols) {
                    uint32_t* out = dst + static_cast<size_t>(y) * width + x;
                    for (int i = 0; i < cols; ++i) {
                      uint16_t v;
                      std::memcpy(&v, s + 2 * i, 2);
                      toWORD(v);
                      out[i] = table[v];
                    }
                  });
}

void s3tc1ReverseByte(uint8_t& b) {
  b = static_cast<uint8_t>(((b & 0x03) << 6) | ((b & 0x0C) << 2) | ((b & 0x30) >> 2) |
                           ((b & 0xC0) >> 6));
}

void fixS3TC1(uint8_t* dst, const uint8_t* src, int width, int height) {
  const int blocksX = ceilDiv(width, 4);
  const int blocksY = ceilDiv(height, 4);
  // Each 8x8 tile holds four blocks: top-left, top-right, bottom-left,
  // bottom-right; the tiles follow one another in row order.
  for (int by = 0; by < blocksY; by += 2) {
    for (int bx = 0; bx < blocksX; bx += 2) {
      for (int sy = 0; sy < 2; ++sy) {
        for (int sx = 0; sx < 2; ++sx, src += 8) {
          if (by + sy >= blocksY || bx + sx >= blocksX) continue;
          uint8_t* out = dst + (static_cast<size_t>(by + sy) * blocksX + bx + sx) * 8;
          // Colours are big-endian in the model; the index rows run from the
          // other end of each byte.
          out[0] = src[1];
          out[1] = src[0];
          out[2] = src[3];
          out[3] = src[2];
          for (int i = 4; i < 8; ++i) {
            out[i] = src[i];
            s3tc1ReverseByte(out[i]);
          }
        }
      }
    }
  }
}

namespace {

// The converters on raw bytes, for the table.
void fix4x4Bytes(uint8_t* dst, const uint8_t* src, int width, int height) {
  fix4x4(reinterpret_cast<uint16_t*>(dst), reinterpret_cast<const uint16_t*>(src), width, height);
}

void fixRgb5A3Bytes(uint8_t* dst, const uint8_t* src, int width, int height) {
  fixRgb5A3(reinterpret_cast<uint32_t*>(dst), reinterpret_cast<const uint16_t*>(src), width,
            height);
}

// Every format texsift converts; a new format is one more row.
constexpr TextureFormat kFormats[] = {
    // code, tile, source bits per pixel, DDS pixel format
    //   {flags, FourCC, bits, red or luminance, green, blue, alpha mask},
    // DDS bytes per pixel, converter
    {0, 8, 8, 4, {kLuminance, 0, 8, 0xFF, 0, 0, 0}, 1, fix8x8Expand},
    {1, 8, 4, 8, {kLuminance, 0, 8, 0xFF, 0, 0, 0}, 1, fix8x4},
    {2, 8, 4, 8, {kLuminanceAlpha, 0, 8, 0x0F, 0, 0, 0xF0}, 1, fix8x4},
    {3, 4, 4, 16, {kLuminanceAlpha, 0, 16, 0xFF, 0, 0, 0xFF00}, 2, fix4x4Bytes},
    {4, 4, 4, 16, {kRgb, 0, 16, 0xF800, 0x07E0, 0x001F, 0}, 2, fix4x4Bytes},
    {5, 4, 4, 16, {kRgbAlpha, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000}, 4, fixRgb5A3Bytes},
    {14, 8, 8, 4, {kFourCC, kDxt1, 0, 0, 0, 0, 0}, kDxt1Blocks, fixS3TC1},
};

}  // namespace

const TextureFormat* findFormat(unsigned char code) {
  for (const TextureFormat& format : kFormats)
    if (format.code == code) return &format;
  return nullptr;
}

bool writeData(unsigned char format, int width, int height, const unsigned char* data, int size,
               FILE* out, unsigned char* scratch) {
  const TextureFormat* f = findFormat(format);
  if (!f) return false;
  const int64_t outSize = levelOutputSize(*f, width, height);
  if (outSize == 0) return true;
  const int64_t need = levelSourceSize(*f, width, height);

  // The walks read whole tiles from suitably aligned memory: anything else is
  // copied into a zero-padded buffer first.
  std::unique_ptr<unsigned char[]> padded;
  const unsigned char* src = data;
  if (size < need || reinterpret_cast<uintptr_t>(data) % alignof(uint32_t) != 0) {
    padded = std::make_unique<unsigned char[]>(static_cast<size_t>(need));  // zeroed
    std::memcpy(padded.get(), data, static_cast<size_t>(std::clamp<int64_t>(size, 0, need)));
    src = padded.get();
  }

  std::unique_ptr<unsigned char[]> output;
  unsigned char* dst = scratch;
  if (!dst) {
    output = std::make_unique<unsigned char[]>(static_cast<size_t>(outSize));  // zeroed
    dst = output.get();
  }
  f->convert(dst, src, width, height);
  return std::fwrite(dst, 1, static_cast<size_t>(outSize), out) == static_cast<size_t>(outSize);
}

LevelsResult writeLevels(int model, int64_t offset, FILE* out, const TextureHeader& texture,
                         const DdsHeader& header, uint64_t* missing) {
  if (missing) *missing = 0;
  if (std::fwrite(&header, sizeof header, 1, out) != 1) return LevelsResult::kWriteFailed;
  const TextureFormat* format = findFormat(texture.format);
  if (!format) return LevelsResult::kWritten;

  // One source band and one output band serve every level.
  std::unique_ptr<unsigned char[]> source, output;
  int64_t sourceCapacity = 0, outputCapacity = 0;
  for (unsigned level = 0; level < header.mipMapCount; ++level) {
    const int width = levelDimension(texture.width, level);
    const int height = levelDimension(texture.height, level);
    if (width == 0 || height == 0) continue;
    // The levels lie back to back in the model, each one whole tiles; they
    // are converted a band of tile rows at a time.
    const int64_t rowBytes = levelSourceSize(*format, width, format->tileHeight);
    const int tileRows = ceilDiv(height, format->tileHeight);
    const int rowsPerBand =
        static_cast<int>(std::clamp<int64_t>(kBandBytes / rowBytes, 1, tileRows));
    const int bandHeight = std::min(rowsPerBand * format->tileHeight, height);
    if (sourceCapacity < rowBytes * rowsPerBand) {
      sourceCapacity = rowBytes * rowsPerBand;
      source = std::make_unique<unsigned char[]>(static_cast<size_t>(sourceCapacity));
    }
    if (outputCapacity < levelOutputSize(*format, width, bandHeight)) {
      outputCapacity = levelOutputSize(*format, width, bandHeight);
      output = std::make_unique<unsigned char[]>(static_cast<size_t>(outputCapacity));
    }
    for (int row = 0; row < tileRows; row += rowsPerBand) {
      const int rows = std::min(rowsPerBand, tileRows - row);
      const size_t want = static_cast<size_t>(rowBytes * rows);
      const int64_t got = readAt(model, offset, source.get(), want);
      if (got < 0) return LevelsResult::kReadFailed;
      offset += static_cast<int64_t>(want);
      // What lies beyond the end of the model counts as zero.
      if (static_cast<size_t>(got) < want) {
        std::memset(source.get() + got, 0, want - static_cast<size_t>(got));
        if (missing) *missing += want - static_cast<size_t>(got);
      }
      const int y = row * format->tileHeight;
      const int h = std::min(rows * format->tileHeight, height - y);
      if (!writeData(texture.format, width, h, source.get(), static_cast<int>(want), out,
                     output.get()))
        return LevelsResult::kWriteFailed;
    }
  }
  return LevelsResult::kWritten;
}
