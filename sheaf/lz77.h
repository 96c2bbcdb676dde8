// The DS's LZ77 type 0x10 wrapper (.carc): a 4-byte header (0x10 and the
// decoded size as 24 bits, little-endian; or 0 there and the size as a
// following u32), then groups of a flag byte, read from its top bit, and
// eight items: a literal byte (bit 0) or a two-byte back-reference (bit 1)
// of 3 to 18 bytes from 1 to 4096 bytes back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "untamp.h"

namespace sheaf {

constexpr uint8_t kLz77Type = 0x10;

struct Lz77Header {
  uint64_t decoded_size = 0;
  bool extended = false;  // the size in a u32 after a zero 24-bit field
  size_t header_size = 4;
};

// Reads the header from the first bytes; false when they cannot be one.
bool ParseLz77Header(const uint8_t* data, size_t size, Lz77Header* header);

// The largest decoded size that size bytes of stream can give: a larger
// claim is a lie, refused before any memory is taken for it.
uint64_t Lz77MostDecoded(uint64_t size);

struct Lz77Outcome {
  bool ok = false;
  std::string problem;    // when not ok, e.g. "the stream ends after 12 of 40 bytes"
  uint64_t consumed = 0;  // stream bytes used, header included
};

// Decodes the stream that source yields (header included) into out, which
// gets the header's decoded size. Stops at that size: what follows is
// padding.
Lz77Outcome DecodeLz77(untamp::Source& source, const Lz77Header& header, uint8_t* out);

// The encoded stream of data with the header chosen (extended: the u32
// form, needed from 16 MiB), padded with zeros to a multiple of pad bytes.
// Back-references never reach one byte back, so that a stream decoded into
// video memory, 16 bits at a time, decodes right too.
std::vector<uint8_t> EncodeLz77(const uint8_t* data, size_t size, bool extended, size_t pad);

}  // namespace sheaf
