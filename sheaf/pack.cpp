#include "pack.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bytes.h"

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

namespace {

constexpr size_t kComparePiece = 64 << 10;

// A host file opened for comparing; a failure is reported once.
class HostFile {
 public:
  HostFile(const HostTree& host, uint32_t file, Messages& messages)
      : path_(host.HostPath(file)), messages_(messages) {
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) Failed(errno);
  }
  ~HostFile() {
    if (fd_ >= 0) close(fd_);
  }
  HostFile(const HostFile&) = delete;
  HostFile& operator=(const HostFile&) = delete;

  bool Read(uint64_t at, uint8_t* out, size_t size) {
    if (fd_ < 0) return false;
    const ssize_t n = pread(fd_, out, size, static_cast<off_t>(at));
    if (n == static_cast<ssize_t>(size)) return true;
    Failed(n < 0 ? errno : 0);
    return false;
  }

 private:
  void Failed(int error) {
    messages_.Problem("cannot read " + Quote(path_) + ": " +
                      (error != 0 ? strerror(error) : "it is shorter than when the tree was read"));
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  std::string path_;
  Messages& messages_;
  int fd_ = -1;
};

// Whether two sources of size bytes hold the same ones (*same), read piece
// by piece; false when one cannot be read.
template <class ReadA, class ReadB>
bool Compare(uint64_t size, ReadA read_a, ReadB read_b, bool* same) {
  std::vector<uint8_t> a(static_cast<size_t>(std::min<uint64_t>(size, kComparePiece)));
  std::vector<uint8_t> b(a.size());
  *same = true;
  for (uint64_t at = 0; at < size && *same;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size - at, kComparePiece));
    if (!read_a(at, a.data(), n) || !read_b(at, b.data(), n)) return false;
    *same = memcmp(a.data(), b.data(), n) == 0;
    at += n;
  }
  return true;
}

}  // namespace

bool SharedBlocks::Reorder(const std::vector<KeptFile>& files, std::vector<size_t>* order) {
  // The positions by original block; a run of one block is its group, in
  // data order.
  std::vector<size_t> by_block;
  for (size_t i = 0; i < files.size(); ++i) {
    if (Sharing(files[i])) by_block.push_back(i);
  }
  std::stable_sort(by_block.begin(), by_block.end(), [&](size_t a, size_t b) {
    return std::pair(files[a].start, files[a].size) < std::pair(files[b].start, files[b].size);
  });
  // keeper_of[p]: the position that moves in front of p; moved: the positions that move.
  std::map<size_t, size_t> keeper_of;
  std::vector<uint8_t> moved(files.size(), 0);
  for (size_t first = 0, last = 0; first < by_block.size(); first = last) {
    const KeptFile& block = files[by_block[first]];
    last = first + 1;
    while (last < by_block.size() && files[by_block[last]].start == block.start &&
           files[by_block[last]].size == block.size) {
      ++last;
    }
    if (last - first < 2) continue;
    shared_.insert({block.start, block.size});
    for (size_t k = first; k < last; ++k) {
      const size_t m = by_block[k];
      const KeptFile& f = files[m];
      if (host_.entries[f.file].size != f.size) continue;
      HostFile file(host_, f.file, messages_);
      bool same = false;
      const bool read = Compare(
          f.size, [&](uint64_t at, uint8_t* out, size_t n) { return file.Read(at, out, n); },
          [&](uint64_t at, uint8_t* out, size_t n) {
            return original_->Read(f.start + at, out, n);
          },
          &same);
      if (!read) return false;
      if (!same) continue;
      if (k != first) {
        keeper_of[by_block[first]] = m;
        moved[m] = 1;
      }
      break;
    }
  }
  order->clear();
  for (size_t i = 0; i < files.size(); ++i) {
    if (moved[i]) continue;
    const auto it = keeper_of.find(i);
    if (it != keeper_of.end()) order->push_back(it->second);
    order->push_back(i);
  }
  return true;
}

bool SharedBlocks::Find(const KeptFile& kept, uint64_t* start) {
  *start = kNone;
  if (!Sharing(kept)) return true;
  const auto it = blocks_.find({kept.start, kept.size});
  if (it == blocks_.end()) return true;
  for (const Block& block : it->second) {
    const HostEntry& a = host_.entries[block.file];
    const HostEntry& b = host_.entries[kept.file];
    if (a.size != b.size) continue;
    bool same = a.device == b.device && a.inode == b.inode;
    if (!same) {
      HostFile x(host_, block.file, messages_), y(host_, kept.file, messages_);
      const bool read = Compare(
          a.size, [&](uint64_t at, uint8_t* out, size_t n) { return x.Read(at, out, n); },
          [&](uint64_t at, uint8_t* out, size_t n) { return y.Read(at, out, n); }, &same);
      if (!read) return false;
    }
    if (same) {
      *start = block.start;
      return true;
    }
  }
  return true;
}

void SharedBlocks::Placed(const KeptFile& kept, uint64_t start) {
  if (!Sharing(kept) || shared_.count({kept.start, kept.size}) == 0) return;
  std::vector<Block>& blocks = blocks_[{kept.start, kept.size}];
  if (blocks.size() < kMaxBlocks) blocks.push_back({kept.file, start});
}

std::string CannotPack(const std::string& path, const std::string& why) {
  return "cannot pack " + Quote(path) + ": " + why;
}

}  // namespace sheaf
