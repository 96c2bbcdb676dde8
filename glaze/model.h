// BMD/BDL models and BTI files: the texture headers, their names, where
// their data and palettes lie, which headers share data; and replacing a
// texture in them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "gx/gx.h"

namespace glaze {

// Where a model's bytes come from: a file, or memory (the fuzz harnesses).
class Source {
 public:
  virtual ~Source() = default;
  virtual uint64_t size() const = 0;
  // Reads n bytes at offset (offset + n <= size()); false with errno set
  // when the read fails.
  virtual bool read(uint64_t offset, void* out, size_t n) const = 0;
};

class FileSource : public Source {
 public:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* out, size_t n) const override;

 private:
  int fd_;
  uint64_t size_;
};

class MemorySource : public Source {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* out, size_t n) const override;

 private:
  const uint8_t* data_;
  size_t size_;
};

enum class Kind { kBmd, kBdl, kBti };

// The 32-byte texture header, raw and read.
struct Header {
  uint8_t raw[32];
  int format() const { return raw[0x00]; }
  int alphaFlag() const { return raw[0x01]; }
  int width() const { return raw[0x02] << 8 | raw[0x03]; }
  int height() const { return raw[0x04] << 8 | raw[0x05]; }
  int paletteFormat() const { return raw[0x09]; }
  int paletteEntries() const { return raw[0x0A] << 8 | raw[0x0B]; }
  uint32_t paletteOffset() const { return word(0x0C); }
  int minFilter() const { return raw[0x14]; }
  int levels() const { return raw[0x18]; }
  uint32_t dataOffset() const { return word(0x1C); }
  uint32_t word(int at) const {
    return uint32_t(raw[at]) << 24 | uint32_t(raw[at + 1]) << 16 | uint32_t(raw[at + 2]) << 8 |
           raw[at + 3];
  }
};

struct Texture {
  Header header;
  uint64_t headerAt = 0;   // absolute file offsets
  uint64_t dataAt = 0;     // header + data offset
  uint64_t paletteAt = 0;  // header + palette offset
  std::string name;        // the name table's bytes
  // Why the texture cannot be decoded (empty when it can), e.g. "format 7
  // is not a texture format".
  std::string problem;
  std::vector<size_t> sharing;  // the other headers with the same data address

  const FormatInfo* format() const { return formatInfo(header.format()); }
  uint64_t dataBytes() const;     // whole chain (0 when the header is unusable)
  uint64_t paletteBytes() const;  // 0 without a palette
};

struct Chunk {
  std::string tag;
  uint64_t at = 0;
  uint64_t size = 0;
};

struct Model {
  Kind kind = Kind::kBmd;
  uint64_t fileSize = 0;
  uint32_t fileSizeField = 0;  // J3D header 0x08
  std::vector<Chunk> chunks;
  std::optional<Chunk> tex1, mdl3;
  uint64_t headersAt = 0;              // the header array, absolute
  uint64_t namesAt = 0, namesEnd = 0;  // the name table and its strings
  std::vector<Texture> textures;
};

// Reads the structure of a model (BMD, BDL) or BTI file. A damaged
// structure (no TEX1, tables past the chunk, ...) is an error; a damaged
// texture header only sets that texture's problem. On error returns false
// with the reason in error.
bool readModel(const Source& source, Kind kind, const std::string& btiName, Model& model,
               std::string& error);

// Tells a J3D model by its magic: "J3D2" and "bmd3"/"bmd2" or "bdl4".
std::optional<Kind> j3dKind(const uint8_t magic[8]);

// Reads the first `levels` levels of a texture's data and its palette.
bool readTextureData(const Source& source, const Texture& texture, int levels,
                     std::vector<uint8_t>& data, Palette& palette, std::string& error);

// Names as text: UTF-8 names as they are, others (Shift-JIS) converted from
// code page 932 when they are valid there, and bytes that are still not
// text, or control characters, written %XX.
std::string displayName(const std::string& raw);
// The display name made safe as a file name: "/" becomes "_", a leading "."
// becomes "_", and an empty name is "_".
std::string fileNameOf(const std::string& raw);

// ---------------------------------------------------------------------------
// Replacing a texture

struct ReplaceOptions {
  const FormatInfo* format = nullptr;          // keep the texture's own when null
  std::optional<PaletteFormat> paletteFormat;  // likewise
  int levels = 0;                              // 0: keep; -1: the whole chain
};

// A bytes overwrite at an offset of the old file.
struct Patch {
  uint64_t at;
  std::vector<uint8_t> bytes;
};

struct Edit {
  std::vector<Patch> patches;
  uint64_t insertAt = 0;  // old offset before which `inserted` goes
  std::vector<uint8_t> inserted;
  // A BTI is written anew whole.
  bool whole = false;
  std::vector<uint8_t> wholeFile;
  // What was done, for the report: "in place", "moved to the end of TEX1".
  std::string placement;
  std::vector<size_t> headers;  // the headers updated
  int format = 0, paletteFormat = -1, paletteEntries = 0, levels = 1, width = 0, height = 0;
  size_t listsPatched = 0;  // BDL display lists changed
};

// Plans the replacement of texture `target` by image; false with the reason
// when it cannot be done (nothing is changed anywhere).
bool planReplacement(const Source& source, const Model& model, size_t target, const Image& image,
                     const ReplaceOptions& options, int threads, Edit& edit, std::string& error);

// Writes the old file with the edit applied; false with errno set when a
// read or write fails.
bool writeEdited(const Source& source, const Edit& edit, FILE* out);

}  // namespace glaze
