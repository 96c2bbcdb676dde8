// What every writer shares: the fill of gaps (zeros, one repeated byte, or
// the padding text one RARC tool writes), the placement of an item after
// the ones before it, and the plan of an archive: its head (header, tables
// and the gaps between them) built in memory, then the pieces that follow
// in order (files read from the tree being packed, gaps copied from the
// original archive or filled).
//
// A new archive made like an original keeps each gap of the original
// whose start did not move: its bytes are copied, so that unchanged parts
// come out byte for byte whatever the original's tool put there. A gap
// that moved is filled the way the original fills its gaps.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bytes.h"

namespace sheaf {

// The 31 bytes that one RARC tool repeats in its padding, restarted at
// the start of each gap.
extern const char kPaddingText[32];

struct Fill {
  enum Kind : uint8_t { kByte, kText } kind = kByte;
  uint8_t byte = 0;
  bool operator==(const Fill&) const = default;
};

// The fill that gives the bytes of a gap: one repeated byte, or the text
// from its start; otherwise when the gap is empty or neither.
Fill DetectFill(const uint8_t* gap, size_t size, Fill otherwise);
// The fill's bytes from the phase-th byte of a gap on.
void FillBytes(const Fill& fill, uint8_t* out, size_t size, size_t phase = 0);

// Where an item of the original lay: its start, and the end of the item
// before it (where its gap began), in the same frame as the new positions.
struct Origin {
  bool known = false;
  uint64_t gap_start = 0;
  uint64_t start = 0;
};

// The start of an item placed at or after pos: the original's own start
// when its gap starts where it did (nothing before it changed size) and
// the alignment allows it, otherwise pos rounded up to align.
inline uint64_t Place(uint64_t pos, uint64_t align, const Origin& origin) {
  if (origin.known && origin.gap_start == pos && origin.start >= pos &&
      origin.start % (align == 0 ? 1 : align) == 0) {
    return origin.start;
  }
  return AlignUp(pos, align);
}
inline bool SameGap(uint64_t pos, const Origin& origin) {
  return origin.known && origin.gap_start == pos;
}

// A field whose value follows from the layout: each rule is (its value for
// the original, its value for the new archive). The new value of the first
// rule that gives the original's value; the original's value itself when
// none does; the first rule's without an original.
uint64_t Derive(bool has_original, uint64_t original,
                std::initializer_list<std::pair<uint64_t, uint64_t>> rules);

// How an archive's end follows its last data: directly, padded to a power
// of two, or by a number of bytes.
struct Trail {
  uint64_t align = 1;
  uint64_t extra = 0;
};
Trail DetectTrail(uint64_t last_end, uint64_t end);
inline uint64_t ApplyTrail(const Trail& trail, uint64_t last_end) {
  return AlignUp(last_end, trail.align) + trail.extra;
}

struct Piece {
  static constexpr uint32_t kNoFile = 0xFFFFFFFF;
  // kShared: a file whose entry uses the block of an identical one; it
  // adds no bytes, but is checked and named like the others. kBytes: bytes
  // made in memory (a ROM's header, its FAT, a banner with its CRCs).
  enum Kind : uint8_t { kFile, kCopy, kFill, kShared, kBytes } kind = kFill;
  uint64_t size = 0;
  uint64_t from = 0;  // kCopy: where the bytes lie in the original archive; kBytes: the block
  uint32_t file = 0;  // kFile, kShared: the host entry; kBytes: the one it is made from, or kNoFile
  Fill fill;          // kFill
};

struct Plan {
  std::vector<uint8_t> head;
  std::vector<Piece> pieces;
  uint64_t size = 0;  // the whole archive
  // The largest alignment that the content of the files new to the
  // archive asks for (all of them without an original): a Yaz0 wrapper's
  // header tells it.
  uint64_t largest_alignment = 1;
  std::vector<uint32_t> data_order;          // host files in the order of their data (for -v)
  std::vector<std::vector<uint8_t>> blocks;  // the bytes of the kBytes pieces

  // Appends pieces that bring the archive from its current end to start:
  // the original's bytes at from when copy, else the fill.
  void Gap(uint64_t start, bool copy, uint64_t from, const Fill& fill);
  void File(uint32_t file, uint64_t size);
  void Shared(uint32_t file);
  // Appends bytes made in memory (from the host entry file, to name it for
  // -v, or Piece::kNoFile).
  void Bytes(std::vector<uint8_t> bytes, uint32_t file);
};

// Orders the indices of items (each with an `original` index, negative for
// an item new to the archive): the original's items first, in the order
// before(x, y) gives, then the new ones in the order they came.
template <class Index, class Items, class Before>
void OriginalsFirst(std::vector<Index>& order, const Items& items, Before before) {
  std::stable_sort(order.begin(), order.end(), [&](Index a, Index b) {
    const auto& x = items[a];
    const auto& y = items[b];
    if ((x.original >= 0) != (y.original >= 0)) return x.original >= 0;
    if (x.original < 0) return false;
    return before(x, y);
  });
}

}  // namespace sheaf

namespace sheaf {

// A table of NUL-terminated names. The original's names that are still
// used keep their offsets while nothing before them changed (the bytes
// between them copied); a name inside another (a shared tail) stays
// inside it. New names follow, shared with an equal one when share says so.
class StringPool {
 public:
  // original: the original table's bytes; all: every name it uses, by
  // offset; kept: the ones still used.
  void Keep(const std::string& original, const std::map<uint32_t, std::string>& all,
            const std::map<uint32_t, std::string>& kept);
  // The new offset of a kept name's original offset.
  uint32_t Moved(uint32_t original_offset) const { return moved_.at(original_offset); }
  uint32_t Add(const std::string& text, bool share);
  const std::string& bytes() const { return bytes_; }
  // Whether the original shares equal names (false when it shows neither).
  static bool Shares(const std::map<uint32_t, std::string>& all, bool otherwise);
  // Where the original's names end.
  static uint64_t End(const std::map<uint32_t, std::string>& all);

 private:
  std::string bytes_;
  std::map<uint32_t, uint32_t> moved_;
  std::unordered_map<std::string, uint32_t> by_text_;
};

}  // namespace sheaf
