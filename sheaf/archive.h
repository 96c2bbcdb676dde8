// An archive opened for reading: its input, the format's own tables (what
// -c --like copies) and the tree of what it holds.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "formats.h"
#include "input.h"
#include "messages.h"
#include "tree.h"

namespace sheaf {

class Archive {
 public:
  // Opens, recognises and reads the tables, reporting every problem. False
  // when there is no tree to speak of; otherwise what could be read is in
  // tree().
  bool Open(const std::string& path, Messages& messages);
  bool OpenMemory(const uint8_t* data, size_t size, Messages& messages,
                  const std::string& name = "");
  // -t's checks beyond reading (checksums a reader has no need of).
  void Verify(Messages& messages);

  Input& input() { return input_; }
  Format format() const { return input_.format(); }
  const Tree& tree() const { return tree_; }
  // The format's tables (null before they are read).
  const Model* model() const { return model_.get(); }

 private:
  bool ReadTables(Messages& messages);

  Input input_;
  Tree tree_;
  std::unique_ptr<Model> model_;
};

}  // namespace sheaf
