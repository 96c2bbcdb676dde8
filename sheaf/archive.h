// An archive opened for reading: its input, the format's own tables (what
// -c --like copies) and the tree of what it holds.
#pragma once

#include <cstdint>
#include <string>

#include "input.h"
#include "messages.h"
#include "narc.h"
#include "rarc.h"
#include "sarc.h"
#include "tree.h"
#include "u8.h"

namespace sheaf {

class Archive {
 public:
  // Opens, recognises and reads the tables, reporting every problem. False
  // when there is no tree to speak of; otherwise what could be read is in
  // tree().
  bool Open(const std::string& path, Messages& messages);
  bool OpenMemory(const uint8_t* data, size_t size, Messages& messages);

  Input& input() { return input_; }
  Format format() const { return input_.format(); }
  const Tree& tree() const { return tree_; }
  const SarcModel& sarc() const { return sarc_; }
  const RarcModel& rarc() const { return rarc_; }
  const U8Model& u8() const { return u8_; }
  const NarcModel& narc() const { return narc_; }

 private:
  bool ReadTables(Messages& messages);

  Input input_;
  Tree tree_;
  SarcModel sarc_;
  RarcModel rarc_;
  U8Model u8_;
  NarcModel narc_;
};

}  // namespace sheaf
