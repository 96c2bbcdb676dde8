#include "archive.h"

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
  return ok;
}

void Archive::Verify(Messages& messages) {
  const FormatUnit& unit = UnitOf(input_.format());
  if (model_ != nullptr && unit.verify != nullptr) unit.verify(*model_, input_, messages);
}

}  // namespace sheaf
