#include "layout.h"

#include <algorithm>
#include <cstring>

namespace sheaf {

const char kPaddingText[32] = "This is padding data to alignme";

Fill DetectFill(const uint8_t* gap, size_t size, Fill otherwise) {
  if (size == 0) return otherwise;
  bool text = true;
  for (size_t i = 0; i < size && text; ++i) text = gap[i] == kPaddingText[i % 31];
  if (text && size > 1) return {Fill::kText, 0};
  for (size_t i = 1; i < size; ++i) {
    if (gap[i] != gap[0]) return otherwise;
  }
  return {Fill::kByte, gap[0]};
}

void FillBytes(const Fill& fill, uint8_t* out, size_t size, size_t phase) {
  if (fill.kind == Fill::kByte) {
    memset(out, fill.byte, size);
    return;
  }
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(kPaddingText[(phase + i) % 31]);
}

uint64_t Derive(bool has_original, uint64_t original,
                std::initializer_list<std::pair<uint64_t, uint64_t>> rules) {
  if (!has_original) return rules.begin()->second;
  for (const auto& [was, now] : rules) {
    if (was == original) return now;
  }
  return original;
}

Trail DetectTrail(uint64_t last_end, uint64_t end) {
  Trail trail;
  if (end <= last_end) return trail;
  for (uint64_t align = 2; align <= 0x10000; align *= 2) {
    if (AlignUp(last_end, align) == end) {
      trail.align = align;
      return trail;
    }
  }
  trail.extra = end - last_end;
  return trail;
}

void Plan::Gap(uint64_t start, bool copy, uint64_t from, const Fill& fill) {
  if (start <= size) return;
  Piece piece;
  piece.kind = copy ? Piece::kCopy : Piece::kFill;
  piece.size = start - size;
  piece.from = from;
  piece.fill = fill;
  pieces.push_back(piece);
  size = start;
}

void Plan::File(uint32_t file, uint64_t file_size) {
  Piece piece;
  piece.kind = Piece::kFile;
  piece.size = file_size;
  piece.file = file;
  pieces.push_back(piece);
  size += file_size;
  data_order.push_back(file);
}

void Plan::Shared(uint32_t file) {
  Piece piece;
  piece.kind = Piece::kShared;
  piece.file = file;
  pieces.push_back(piece);
  data_order.push_back(file);
}

void Plan::Bytes(std::vector<uint8_t> bytes, uint32_t file) {
  Piece piece;
  piece.kind = Piece::kBytes;
  piece.size = bytes.size();
  piece.from = blocks.size();
  piece.file = file;
  pieces.push_back(piece);
  size += bytes.size();
  if (file != Piece::kNoFile) data_order.push_back(file);
  blocks.push_back(std::move(bytes));
}

}  // namespace sheaf

namespace sheaf {

void StringPool::Keep(const std::string& original, const std::map<uint32_t, std::string>& all,
                      const std::map<uint32_t, std::string>& kept) {
  std::map<uint32_t, uint64_t> end_before;
  uint64_t end = 0;
  for (const auto& [offset, text] : all) {
    end_before[offset] = end;
    end = std::max<uint64_t>(end, offset + text.size() + 1);
  }
  uint32_t last_start = 0, last_new = 0;
  uint64_t last_end = 0;
  for (const auto& [offset, text] : kept) {
    if (offset < last_end) {
      moved_[offset] = last_new + (offset - last_start);
      continue;
    }
    const Origin origin{true, end_before[offset], offset};
    const uint64_t pos = bytes_.size();
    const uint64_t start = Place(pos, 1, origin);
    bytes_.resize(static_cast<size_t>(start));
    if (SameGap(pos, origin)) {
      bytes_.replace(static_cast<size_t>(pos), static_cast<size_t>(start - pos), original,
                     static_cast<size_t>(pos), static_cast<size_t>(start - pos));
    }
    moved_[offset] = static_cast<uint32_t>(start);
    by_text_.emplace(text, static_cast<uint32_t>(start));
    bytes_ += text;
    bytes_ += '\0';
    last_start = offset;
    last_new = static_cast<uint32_t>(start);
    last_end = offset + text.size() + 1;
  }
}

uint32_t StringPool::Add(const std::string& text, bool share) {
  if (share) {
    const auto it = by_text_.find(text);
    if (it != by_text_.end()) return it->second;
  }
  const auto offset = static_cast<uint32_t>(bytes_.size());
  by_text_.emplace(text, offset);
  bytes_ += text;
  bytes_ += '\0';
  return offset;
}

bool StringPool::Shares(const std::map<uint32_t, std::string>& all, bool otherwise) {
  std::unordered_map<std::string, uint32_t> first;
  for (const auto& [offset, text] : all) {
    if (text == "." || text == ".." || text.empty()) continue;
    if (!first.emplace(text, offset).second) return false;  // an equal name stored twice
  }
  return otherwise;
}

uint64_t StringPool::End(const std::map<uint32_t, std::string>& all) {
  uint64_t end = 0;
  for (const auto& [offset, text] : all) end = std::max<uint64_t>(end, offset + text.size() + 1);
  return end;
}

}  // namespace sheaf
