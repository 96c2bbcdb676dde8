#include "pack.h"

#include <algorithm>

namespace sheaf {

bool HeadGap(std::vector<uint8_t>& head, uint64_t start, bool copy, uint64_t from, const Fill& fill,
             Input* original) {
  if (start <= head.size()) return true;
  const size_t at = head.size();
  const size_t size = static_cast<size_t>(start - at);
  head.resize(static_cast<size_t>(start));
  if (copy && original != nullptr) return original->Read(from, head.data() + at, size);
  FillBytes(fill, head.data() + at, size);
  return true;
}

Fill OriginalFill(Input* original, uint64_t start, uint64_t end, Fill otherwise) {
  if (original == nullptr || end <= start) return otherwise;
  uint8_t sample[64];
  const size_t size = static_cast<size_t>(std::min<uint64_t>(sizeof sample, end - start));
  if (!original->Read(start, sample, size)) return otherwise;
  return DetectFill(sample, size, otherwise);
}

std::string CannotPack(const std::string& path, const std::string& why) {
  return "cannot pack " + Quote(path) + ": " + why;
}

}  // namespace sheaf
