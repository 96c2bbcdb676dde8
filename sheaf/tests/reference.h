// Archives written the ways the format sheet describes for games and other
// tools, independently of sheaf: each writer follows one tool's
// conventions (order, hashing, alignment, padding, reserved fields), so
// that sheaf's reading and its -c --like can be checked against them byte
// for byte.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace reference {

using Bytes = std::vector<uint8_t>;

struct File {
  std::string path;  // "/" between folders
  Bytes data;
};

struct Tree {
  std::vector<File> files;
  std::vector<std::string> empty_folders;  // for the formats that hold folders
};

// ---- SARC ----
enum class SarcHash { kUnsigned, kSigned, kCodePoints };
uint32_t SarcNameHash(const std::string& name, uint32_t multiplier, SarcHash hash);

struct SarcStyle {
  bool big_endian = false;
  SarcHash hash = SarcHash::kUnsigned;
  uint32_t multiplier = 101;
  std::function<uint32_t(const File&)> alignment;  // of each file's data
  bool leading_slash = false;                      // names stored as "/path"
  bool unnamed = false;                            // "@XXXXXXXX" paths have no stored name
  bool share = false;  // identical files stored once, the later entries on the first's block
};
// The content table of SarcLib (the alignment sheaf's new files get).
uint32_t ContentAlignment(const File& file);
Bytes WriteSarc(const Tree& tree, const SarcStyle& style);

// ---- RARC ----
struct RarcStyle {
  bool little_endian = false;  // the CRAR form
  bool gclib = true;           // gclib's string table and padding text; else pyjkernel's
  bool text_padding = true;    // (gclib) the padding text; zeros otherwise
  bool ids_follow = true;
  bool dvd_field = false;  // pyjkernel: the disc group's size at 0x1C
  std::string root_name = "root";
  std::function<uint8_t(const File&)> attributes;  // of each file (0x11 when unset)
  bool share = false;                 // identical files stored once, as the games' archives do
  uint32_t root_parent = 0xFFFFFFFF;  // the root's "..": other tools write 0x0000FFFF
};
Bytes WriteRarc(const Tree& tree, const RarcStyle& style);

// ---- U8 ----
struct U8Style {
  bool wszst = true;  // 0xCC reserved bytes, a "." folder, games' order, last file padded
  uint32_t node_table = 0x20;
  bool dot_folder = true;   // (wszst)
  bool reserved_cc = true;  // (wszst)
  bool pad_last = true;     // (wszst)
  bool share = false;       // identical files stored once
};
Bytes WriteU8(const Tree& tree, const U8Style& style);

// ---- NARC ----
struct NarcStyle {
  bool ndspy = false;  // FF FE 01 00, files before folders, zero padding, 12-byte nameless table
  bool named = true;
  bool knarc_order = false;  // files and folders together, without regard to case
  bool share = false;        // identical files stored once
};
Bytes WriteNarc(const Tree& tree, const NarcStyle& style);

// ---- wrappers ----
// LZ77 type 0x10, literals and greedy back-references, padded to 4.
Bytes Lz77(const Bytes& data);
Bytes DecodeLz77(const Bytes& stream);

}  // namespace reference
