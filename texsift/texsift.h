// texsift: pulls the textures out of a BMD model and writes them as DDS files.
//
// The model reader (texsift.cpp) walks the section chain to TEX1, reads the
// texture records and the name table, prints the listing and runs the texture
// loop. The DDS side (dds.cpp) builds the headers and converts the console's
// tiled, big-endian texture encodings into linear little-endian DDS levels.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

static_assert(std::endian::native == std::endian::little,
              "DDS records are written as they lie in memory");

// ---------------------------------------------------------------------------
// Byte order

// Exchanges the two bytes of v in place.
void toWORD(uint16_t& v);
// Reverses the four bytes of v in place.
void toDWORD(uint32_t& v);

// ---------------------------------------------------------------------------
// Model records, read raw and then swapped to host order in place.

struct Tex1Header {
  char tag[4];           // "TEX1"
  uint32_t sectionSize;  // length of the whole section
  uint16_t numTextures;  // number of TextureHeader records
  uint16_t unknown1;
  uint32_t textureHeaderOffset;  // not used: the records always follow at 32
  uint32_t stringTableOffset;    // name table, from the section start
  uint8_t unknown2[12];
};
static_assert(sizeof(Tex1Header) == 32);

struct TextureHeader {
  uint8_t format;  // format code: 0, 1, 2, 3, 4, 5 and 14 are supported
  uint8_t unknown1;
  uint16_t width;  // full-size level
  uint16_t height;
  uint16_t unknown2;
  uint32_t unknown3;
  uint32_t unknown4;
  uint32_t unknown5;
  uint16_t unknown6;
  uint16_t unknown7;
  uint8_t mipmapCount;  // number of stored levels, the full-size one included
  uint8_t unknown8;
  uint16_t unknown9;
  uint32_t dataOffset;  // pixel data, from the start of this record
};
static_assert(sizeof(TextureHeader) == 32);

// ---------------------------------------------------------------------------
// DDS records (little-endian, written as they lie in memory)

struct ColorCaps {
  uint32_t size;  // 32
  uint32_t flags;
  uint32_t fourCC;
  uint32_t bitsPerPixel;
  uint32_t redMask;  // the luminance mask for luminance formats
  uint32_t greenMask;
  uint32_t blueMask;
  uint32_t alphaMask;
};
static_assert(sizeof(ColorCaps) == 32);

struct DdsHeader {
  char magic[4];  // "DDS "
  uint32_t size;  // 124
  uint32_t flags;
  uint32_t height;
  uint32_t width;
  uint32_t pitchOrLinearSize;
  uint32_t depth;
  uint32_t mipMapCount;
  uint32_t reserved1[11];
  ColorCaps colorCaps;
  uint32_t caps1;
  uint32_t caps2;
  uint32_t caps3;
  uint32_t caps4;
  uint32_t reserved2;
};
static_assert(sizeof(DdsHeader) == 128);

// ---------------------------------------------------------------------------
// DDS conversion (dds.cpp)

// What getBufferSize returns instead of a byte size.
constexpr int kUnsupportedFormat = -1;  // the format code is not one we convert
constexpr int kSizeTooLarge = -2;       // the full-size level needs 2 GiB or more

DdsHeader createDdsHeader(int width, int height, int mipmaps);

// The byte size of the full-size level in the model file for this format and
// size, filling caps with the DDS pixel format; kUnsupportedFormat (caps left
// as they were) or kSizeTooLarge when there is nothing to convert.
int getBufferSize(unsigned char format, int width, int height, ColorCaps& caps);

// One format the console stores and texsift converts.
struct TextureFormat {
  unsigned char code;  // as in the texture record
  int tileWidth;       // one source tile (kTileBytes) in pixels
  int tileHeight;
  int sourceBitsPerPixel;  // gives the full-size level's source size
  struct {
    uint32_t flags, fourCC, bitsPerPixel, redMask, greenMask, blueMask, alphaMask;
  } pixelFormat;         // the DDS side, as ColorCaps holds it
  int ddsBytesPerPixel;  // or kDxt1Blocks: 8 bytes per started 4x4 block
  // Converts whole source tiles to width x height pixels (see the tile walks).
  void (*convert)(uint8_t* dst, const uint8_t* src, int width, int height);
};
constexpr int kTileBytes = 32;
constexpr int kDxt1Blocks = 0;
// The row of the format table, or nullptr for a code texsift does not convert.
const TextureFormat* findFormat(unsigned char code);

// Source bytes of a level of width x height pixels: whole tiles, the last
// ones in each direction padded out as the console stores them.
int64_t levelSourceSize(const TextureFormat& format, int width, int height);
// Bytes of the same level in the DDS file.
int64_t levelOutputSize(const TextureFormat& format, int width, int height);
// Width or height of level `level` of a texture whose full-size level has
// `full` pixels: halved per level, never below 1 (0 stays 0).
int levelDimension(int full, unsigned level);

// Converts one level (or a band of whole tile rows of one) of width x height
// pixels from `size` source bytes and writes it to out. Source bytes beyond
// `size` count as zero. `scratch`, when given, is a buffer of at least
// levelOutputSize bytes that the caller owns and reuses from call to call;
// otherwise writeData allocates its own. Returns false when the write fails.
bool writeData(unsigned char format, int width, int height, const unsigned char* data, int size,
               FILE* out, unsigned char* scratch = nullptr);

// Tile walks. `src` holds whole tiles (levelSourceSize bytes); `dst` holds
// width x height pixels (for fixS3TC1 the DDS blocks covering them). Pixels of
// a tile that lie outside the level are skipped.
void fix8x8Expand(uint8_t* dst, const uint8_t* src, int width, int height);
void fix8x4(uint8_t* dst, const uint8_t* src, int width, int height);
void fix4x4(uint16_t* dst, const uint16_t* src, int width, int height);
void fixRgb5A3(uint32_t* dst, const uint16_t* src, int width, int height);
void fixS3TC1(uint8_t* dst, const uint8_t* src, int width, int height);
void s3tc1ReverseByte(uint8_t& b);

// Reads up to n bytes of the model at offset: the number read, fewer only
// where the file ends, or -1 (errno set) when the read fails.
int64_t readAt(int model, int64_t offset, void* buffer, size_t n);

enum class LevelsResult { kWritten, kReadFailed, kWriteFailed };

// Writes the DDS header and every level of one supported texture whose data
// start at `offset` in the model. Levels that lie beyond the end of the model
// are converted from zeros; `missing`, when given, receives how many source
// bytes the model did not hold. A failed read or write ends it (errno set).
LevelsResult writeLevels(int model, int64_t offset, FILE* out, const TextureHeader& texture,
                         const DdsHeader& header, uint64_t* missing = nullptr);

// ---------------------------------------------------------------------------
// Model reader and driver (texsift.cpp)

// The model path as given on the command line; it prefixes every output name.
extern std::string g_name;

// How output files are made. On disk (the default) a file is written beside
// its final name under a temporary one and renamed only when whole, and an
// interrupt removes the temporary file; the fuzz harness puts memory in place.
struct OutputFiles {
  // A stream to write the file named path to; nullptr (errno set) when it
  // cannot be created.
  FILE* (*create)(const std::string& path);
  // Closes it; true when the whole file now has its name. On false (errno
  // set) nothing of it is left.
  bool (*commit)(FILE* file, const std::string& path);
  // Closes it and removes what was written.
  void (*discard)(FILE* file);
};
extern OutputFiles g_outputFiles;

// The whole run on the model at path: the exit status, 1 without a message
// when the model cannot be opened or is not a regular file or block device.
int extractTextures(const char* path);

// Section scan, listing and texture loop over an open model. Returns the exit
// status: 0, or 1 when the model cannot be read as a whole, a texture's data
// cannot be read, or an output file could not be written.
int readBmd(int model);

// Reads the name table of the TEX1 section at offset tex1, prints the listing
// and returns the names in table order; nothing (after a message on standard
// error) when the table does not list every texture or cannot be read.
std::optional<std::vector<std::string>> dumpStringtable(
    const Tex1Header& header, const std::vector<TextureHeader>& texHeaders, int model,
    int64_t tex1);

// The zero-terminated name at an absolute offset (ended early by the end of
// the file); nothing when the model cannot be read.
std::optional<std::string> getString(int64_t offset, int model);
