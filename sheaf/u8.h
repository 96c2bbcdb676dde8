// U8 (Wii): a 0x10-byte header, reserved bytes up to the node table, the
// nodes in pre-order (each folder followed by its contents), the string
// table right after the nodes, and the data at absolute offsets; always
// big-endian.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "input.h"
#include "layout.h"
#include "messages.h"
#include "pack.h"
#include "tree.h"

namespace sheaf {

struct U8Node {
  uint8_t type = 0;  // 0 file, 1 folder
  uint32_t name_offset = 0;
  uint32_t a = 0;       // a file's data offset, a folder's parent
  uint32_t b = 0;       // a file's size, the node after a folder's contents
  uint32_t folder = 0;  // the folder holding it, by the nesting
  bool reached = false;
  std::string name;
  std::string path;  // as extracted
};

struct U8Model {
  uint32_t node_table = 0x20;
  uint32_t tables_size = 0;  // the header's size of the nodes and strings
  uint32_t data_offset = 0;
  uint64_t size = 0;     // of the archive
  bool has_dot = false;  // node 1 is a "." folder holding everything
  std::vector<U8Node> nodes;
  std::string strings;
};

bool ReadU8(Input& input, Messages& messages, U8Model* model, Tree* tree);

bool PlanU8(const U8Model& model, bool has_original, const PackJob& job, Plan* plan);

// The order of names in a folder that the games use: without regard to
// case, "." before digits and other signs, those before letters.
bool U8NameLess(const std::string& a, const std::string& b);

}  // namespace sheaf
