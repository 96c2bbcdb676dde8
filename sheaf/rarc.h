// RARC (JSystem resource archive): a 0x20-byte header, an info block, the
// folder, entry and string tables, and the data region; big-endian, or
// little-endian throughout in the CRAR form.
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

uint16_t RarcHash(std::string_view name);

struct RarcFolder {
  uint8_t type[4] = {};
  uint32_t name_offset = 0;
  uint16_t hash = 0;
  uint16_t count = 0;
  uint32_t first = 0;
  bool reached = false;
  std::string path;  // as extracted ("" for the root)
};

struct RarcEntry {
  enum Kind : uint8_t { kFile, kFolder, kSelf, kParent };
  uint16_t id = 0;
  uint16_t hash = 0;
  uint8_t attributes = 0;
  uint32_t name_offset = 0;
  uint32_t data = 0;  // a file's start in the data region, or a folder's index
  uint32_t size = 0;  // a file's size, 0x10 (or 0) for folders
  uint32_t reserved = 0;
  Kind kind = kFile;
  bool reached = false;
  std::string name;
  std::string path;  // files: as extracted
};

struct RarcModel {
  Order order{true};
  uint32_t size = 0;
  uint32_t data_offset = 0;  // relative to 0x20, as are the table offsets
  uint32_t data_size = 0;
  uint32_t mram_size = 0;
  uint32_t aram_size = 0;
  uint32_t dvd_size = 0;
  uint32_t folder_table = 0x20;
  uint32_t entry_table = 0;
  uint32_t string_size = 0;
  uint32_t string_table = 0;
  uint16_t next_id = 0;
  uint8_t ids_follow = 1;
  uint8_t reserved_byte = 0;
  uint32_t reserved_word = 0;
  std::string root_name;
  std::vector<RarcFolder> folders;
  std::vector<RarcEntry> entries;
  std::string strings;
};

bool ReadRarc(Input& input, Messages& messages, RarcModel* model, Tree* tree);

bool PlanRarc(const RarcModel& model, bool has_original, const PackJob& job, Plan* plan);

}  // namespace sheaf
