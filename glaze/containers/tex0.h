// TEX0 and PLT0 sub-files (the Wii's textures and palettes, in BRRES files
// and as standalone .tex0 files), the names of the BRRES string pool they
// point at, and the .tex0 file type. Every field is checked before use, in
// 64-bit arithmetic.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "container.h"
#include "gx/texture.h"

namespace glaze::tex0 {

// Names longer than this are taken for damage: no file system takes them.
constexpr uint32_t kMaxNameBytes = 1024;

// A name of the string pool whose characters start at `at`: its u32 length
// lies just before them, and a NUL ends them (or the next entry's length,
// whose high byte is 0, where a tool wrote no NUL, or the end of the file).
// False with the problem ("its name at offset N lies past the end of the
// file"), or with errno set and problem empty when a read fails.
bool readName(const Source& source, uint64_t at, std::string& name, std::string& problem);

// A pool entry holding name, as a copy placed at a 4-byte boundary: length,
// characters, NUL, zeros to 4 bytes. The characters start 4 bytes in.
std::vector<uint8_t> nameEntry(const std::string& name);

// The common header of the sub-files, and TEX0's own fields.
struct Tex0 {
  uint64_t at = 0;  // in the file
  uint32_t length = 0, version = 0, dataOffset = 0;
  int32_t nameOffset = 0;  // from the TEX0's start
  uint32_t flags = 0;
  int width = 0, height = 0, format = 0, images = 0;
  std::vector<uint8_t> header;  // the bytes before the data (at least 0x40)

  const FormatInfo* formatInfo() const { return glaze::formatInfo(format); }
  uint64_t dataBytes() const;  // the whole chain
  // Whether the name it points at is its own copy, inside its header (an
  // old tool's files: 0x14 = 0x38, the data at 0x60).
  bool ownName() const;
};

// Reads the TEX0 at `at` of a file of `fileSize` bytes; false with errno set
// when a read fails. problem says why it cannot be used ("" when it can).
bool readTex0(const Source& source, uint64_t at, Tex0& out, std::string& problem);

// The TEX0 header once it holds the replacement: size, format, images, the
// palette flag (bit 0 at 0x18) and the length change; min and max LOD are
// kept while the image count stays (tools often store 0 with several
// images), else 0 and images - 1; every other byte stays.
std::vector<uint8_t> newTex0Header(const Tex0& old, const gx::Replacement& replacement);

struct Plt0 {
  uint64_t at = 0;
  uint32_t length = 0, version = 0, dataOffset = 0;
  int32_t nameOffset = 0;
  int format = 0, entries = 0;
  std::vector<uint8_t> header;  // the bytes before the entries

  bool ownName() const;
};

bool readPlt0(const Source& source, uint64_t at, Plt0& out, std::string& problem);
// The palette's entries.
bool readPalette(const Source& source, const Plt0& plt0, Palette& out);

// A PLT0 (version 1) holding a palette, at `at` in the new file, its name's
// characters at nameAt: header and entries.
std::vector<uint8_t> newPlt0(const gx::Replacement& replacement, uint64_t at, uint64_t nameAt);
// An existing PLT0's header with the new format and entries (its length
// data offset + entries).
std::vector<uint8_t> newPlt0Header(const Plt0& old, const gx::Replacement& replacement);

// -l fields and the description of a TEX0 whose palette (for palette
// formats) is plt0, or none.
gx::Description describe(const Tex0& texture, const Plt0* plt0);

extern const ContainerType kType;

}  // namespace glaze::tex0
