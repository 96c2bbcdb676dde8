// NARC (DS): a 0x10-byte header, then three blocks with reversed magics:
// BTAF (each file's start and end), BTNF (the name table: a main table of
// folders and their sub-tables of names) and GMIF (the data); always
// little-endian.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "input.h"
#include "layout.h"
#include "messages.h"
#include "pack.h"
#include "tree.h"

namespace sheaf {

struct NarcRecord {
  bool folder = false;
  std::string name;
  uint32_t target = 0;  // a folder record's folder index
  uint32_t file = 0;    // a file record's id
};

struct NarcFolder {
  uint32_t sub_offset = 0;
  uint16_t first_id = 0;
  uint16_t parent_field = 0;
  uint32_t sub_end = 0;  // where its sub-table ends, its 0 byte included
  bool reached = false;
  std::string path;
  std::vector<NarcRecord> records;
};

struct NarcModel {
  uint8_t marks[4] = {0xFE, 0xFF, 0x00, 0x01};
  uint32_t size = 0;
  uint16_t btaf_reserved = 0;
  uint32_t btnf_offset = 0;
  uint32_t btnf_size = 0;
  uint32_t gmif_offset = 0;
  uint32_t gmif_size = 0;
  bool named = true;
  std::vector<std::pair<uint32_t, uint32_t>> files;  // start, end relative to GMIF's data
  std::vector<std::string> paths;                    // of each file, as extracted ("": none)
  std::vector<NarcFolder> folders;
  std::string names;  // the name table's bytes
};

bool ReadNarc(Input& input, Messages& messages, NarcModel* model, Tree* tree);

bool PlanNarc(const NarcModel& model, bool has_original, const PackJob& job, Plan* plan);

}  // namespace sheaf
