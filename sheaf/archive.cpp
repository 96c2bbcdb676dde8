#include "archive.h"

#include "bytes.h"

namespace sheaf {

bool Archive::Open(const std::string& path, Messages& messages) {
  return input_.Open(path, messages) && ReadTables(messages);
}

bool Archive::OpenMemory(const uint8_t* data, size_t size, Messages& messages,
                         const std::string& name) {
  return input_.OpenMemory(data, size, messages, name) && ReadTables(messages);
}

bool Archive::ReadTables(Messages& messages) {
  bool ok = false;
  model_ = UnitOf(input_.format()).read(input_, messages, &tree_, &ok);
  tree_.Finish();
  // Entries that share one block are how games store identical files;
  // data that overlaps otherwise reads as it is, but is worth knowing.
  auto range = [&](uint32_t file) {
    const Tree::Node& n = tree_.node(file);
    return " (" + Hex(n.offset) + " to " + Hex(n.offset + n.size) + ")";
  };
  for (const auto& [file, other] : tree_.Overlapping()) {
    messages.Warning(Quote(tree_.Path(file)) + ": its data" + range(file) + " overlaps that of " +
                     Quote(tree_.Path(other)) + range(other) + " without being the same block");
  }
  return ok;
}

void Archive::Verify(Messages& messages) {
  const FormatUnit& unit = UnitOf(input_.format());
  if (model_ != nullptr && unit.verify != nullptr) unit.verify(*model_, input_, messages);
}

}  // namespace sheaf
