// SARC: a 0x14-byte header, the SFAT file table (entries sorted by name
// hash), the SFNT name table and the data region, all in the byte order of
// the mark at 0x06.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "input.h"
#include "layout.h"
#include "messages.h"
#include "pack.h"
#include "tree.h"

namespace sheaf {

// What a unit of a name is when it is hashed.
enum class HashConvention { kUnsigned, kSigned, kCodePoints };

uint32_t SarcHash(std::string_view name, uint32_t multiplier, HashConvention convention);

// The alignment a file's content asks for in a SARC (at least 4).
uint64_t SarcContentAlignment(const HostEntry& file);

struct SarcEntry {
  uint32_t hash = 0;
  uint32_t attributes = 0;  // 0: no name; else collision index << 24 | name offset / 4
  uint32_t start = 0;       // data, relative to the data region
  uint32_t end = 0;
  bool named = false;
  std::string name;  // as stored
  std::string path;  // as extracted
  uint32_t node = Tree::kNone;
};

struct SarcModel {
  Order order;
  uint16_t version = 0x0100;
  uint16_t reserved = 0;
  uint32_t multiplier = 101;
  uint16_t sfnt_reserved = 0;
  HashConvention convention = HashConvention::kUnsigned;
  uint32_t size = 0;         // the header's size of the archive
  uint32_t data_offset = 0;  // of the data region
  uint32_t names_start = 0;  // where the names begin (after the SFNT header)
  std::vector<SarcEntry> entries;
};

// Reads the tables, checks every entry and adds the usable ones to tree.
// False when the tables cannot be read at all (reported).
bool ReadSarc(Input& input, Messages& messages, SarcModel* model, Tree* tree);

// Plans a SARC of the tree below DIR, made like model when has_original.
bool PlanSarc(const SarcModel& model, bool has_original, const PackJob& job, Plan* plan);

}  // namespace sheaf
