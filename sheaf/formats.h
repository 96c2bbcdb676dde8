// The formats sheaf reads and writes, one unit each: how a file of it is
// recognised, read into a tree, checked further by -t and laid out by -c.
// The rest of the program goes through this table, so a format is added by
// adding its unit, not by editing switches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "input.h"
#include "layout.h"
#include "messages.h"
#include "pack.h"
#include "tree.h"

namespace sheaf {

// What a format's reader keeps of an archive: its own tables, which -c
// --like follows.
struct Model {
  virtual ~Model() = default;
};

struct FormatUnit {
  Format format;
  const char* name;  // in messages: "SARC"
  struct Choice {
    const char* name;  // as -F takes it
    bool big_endian;
  };
  std::vector<Choice> choices;
  std::vector<const char*> suffixes;  // of ARCHIVE names that choose it, in lower case
  // Whether the file is one: head holds its first bytes (size of them),
  // file_size is its length, name its path ("" when unknown). A unit known
  // by content rather than by a magic (by_content) is asked after the
  // Yaz0 magic and before LZ77's one byte.
  bool by_content;
  bool (*recognize)(const uint8_t* head, size_t size, uint64_t file_size, const std::string& name);
  // Reads the tables into a new model and the usable entries into tree;
  // *ok is false when there is no tree to speak of (reported).
  std::unique_ptr<Model> (*read)(Input& input, Messages& messages, Tree* tree, bool* ok);
  // -t's checks beyond what reading does (null: none).
  void (*verify)(const Model& model, Input& input, Messages& messages);
  // Plans the archive of the tree below DIR: like original when it is not
  // null, else in the format's own layout (in the byte order asked for).
  bool (*plan)(const Model* original, bool big_endian, const PackJob& job, Plan* plan);
};

// The bytes that recognition looks at.
inline constexpr size_t kRecognitionHead = 0x160;

const std::vector<FormatUnit>& FormatUnits();
const FormatUnit& UnitOf(Format format);

// "sarc, sarc-be, rarc, u8, narc or nds": -F's names, for messages.
std::string FormatChoices();
// "SARC, RARC, U8, NARC or DS ROM", likewise.
std::string FormatNames();

}  // namespace sheaf
