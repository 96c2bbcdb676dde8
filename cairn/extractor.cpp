#include "extractor.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "oschar.h"
#include "safefs/extraction.h"

namespace uncairn {

namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

class Extraction {
 public:
  Extraction(IvfcReader& image, RomfsTree& tree, const ExtractOptions& options,
             const Report& report)
      : image_(image),
        tree_(tree),
        options_(options),
        report_(report),
        stream_(image),
        root_(safefs::TemporaryNaming{"uncairn"}, options.force,
              [this](const std::string& text) { Problem(text); }) {}

  bool Run(const std::string& dir);

 private:
  void Problem(const std::string& text) { report_(image_.name() + ": " + text); }
  void Select();
  int OpenFolder(int parent_fd, const RomfsTree::Dir& dir);
  // False when the run must stop.
  bool WriteFile(int dir_fd, const RomfsTree::File& file);
  int WriteData(int fd, const RomfsTree::File& file);

  IvfcReader& image_;
  RomfsTree& tree_;
  const ExtractOptions& options_;
  Report report_;
  Level3Stream stream_;
  // 2: everything below is extracted; 1: made on the way to what is.
  std::vector<uint8_t> dir_wanted_;
  std::vector<uint8_t> file_wanted_;
  safefs::ExtractionRoot root_;
};

void Extraction::Select() {
  const auto& dirs = tree_.dirs();
  dir_wanted_.assign(dirs.size(), 0);
  file_wanted_.assign(tree_.files().size(), 0);
  std::vector<uint32_t> whole;
  if (options_.paths.empty()) {
    if (!dirs.empty()) whole.push_back(0);
  }
  for (const std::string& path : options_.paths) {
    bool is_dir = false;
    uint32_t index = 0;
    if (!tree_.Find(path, is_dir, index)) {
      Problem(Quoted(path) + " is not in the image");
      continue;
    }
    uint32_t parent = index;
    if (is_dir) {
      whole.push_back(index);
    } else {
      file_wanted_[index] = 1;
      parent = tree_.files()[index].parent;
    }
    for (uint32_t d = parent; dir_wanted_[d] == 0; d = dirs[d].parent) {
      dir_wanted_[d] = 1;
      if (d == 0) break;
    }
  }
  // Whole folders: their files and everything below them. Runs of children
  // lie after their parent, so one pass in index order reaches every level.
  for (uint32_t d : whole) dir_wanted_[d] = 2;
  for (uint32_t d = 0; d < dirs.size(); ++d) {
    if (dir_wanted_[d] != 2) continue;
    for (uint32_t c = dirs[d].dirs_begin; c < dirs[d].dirs_end; ++c) dir_wanted_[c] = 2;
    for (uint32_t f = dirs[d].files_begin; f < dirs[d].files_end; ++f) file_wanted_[f] = 1;
  }
}

int Extraction::OpenFolder(int parent_fd, const RomfsTree::Dir& dir) {
  return root_.OpenFolder(parent_fd, tree_.Name(dir), Quoted(tree_.Path(dir)));
}

// 0, the errno of a failed write, or -1 when the image cannot be read.
int Extraction::WriteData(int fd, const RomfsTree::File& file) {
  int write_error = 0;
  const bool read = stream_.Read(file.offset, file.size, [&](const uint8_t* data, size_t size) {
    while (size > 0) {
      const ssize_t n = write(fd, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        write_error = n < 0 ? errno : ENOSPC;
        return false;
      }
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  });
  if (write_error != 0) return write_error;
  return read ? 0 : -1;
}

bool Extraction::WriteFile(int dir_fd, const RomfsTree::File& file) {
  const std::string path = tree_.Path(file);
  const auto outcome =
      root_.WriteFile(dir_fd, tree_.Name(file), Quoted(path),
                      [&](safefs::TemporaryFile& out) { return WriteData(out.fd(), file); });
  if (outcome == safefs::ExtractionRoot::Outcome::kWritten && options_.verbose != nullptr) {
    fprintf(options_.verbose, "%s\n", path.c_str());
  }
  return outcome != safefs::ExtractionRoot::Outcome::kStop;
}

bool Extraction::Run(const std::string& dir) {
  Select();
  // The metadata first: its blocks lie at the start of level 3.
  for (const auto& [begin, end] : tree_.MetadataRanges()) {
    if (!stream_.Read(begin, end - begin, nullptr)) return false;
  }

  if (!root_.Open(dir)) return false;
  const int root_fd = root_.fd();

  // Depth first in the image's own order, which is the order of the data
  // in images that cairn makes; one open folder per level.
  const auto& dirs = tree_.dirs();
  struct Frame {
    uint32_t dir;
    int fd;
    uint32_t next_child;
  };
  std::vector<Frame> stack;
  bool ok = true;
  auto enter = [&](uint32_t d, int fd) {
    stack.push_back({d, fd, dirs[d].dirs_begin});
    for (uint32_t f = dirs[d].files_begin; f < dirs[d].files_end && ok; ++f) {
      if (file_wanted_[f] && tree_.files()[f].usable) ok = WriteFile(fd, tree_.files()[f]);
    }
  };
  if (!dirs.empty() && dir_wanted_[0]) enter(0, root_fd);
  while (!stack.empty() && ok) {
    Frame& top = stack.back();
    if (top.next_child == dirs[top.dir].dirs_end) {
      if (top.fd != root_fd) close(top.fd);
      stack.pop_back();
      continue;
    }
    const uint32_t c = top.next_child++;
    if (!dir_wanted_[c] || !dirs[c].usable) continue;
    const int fd = OpenFolder(top.fd, dirs[c]);
    if (fd >= 0) enter(c, fd);
  }
  for (const Frame& frame : stack) {
    if (frame.fd != root_fd) close(frame.fd);
  }
  if (!ok) return false;
  // Extracting everything checks every block, as -t does.
  if (options_.paths.empty() && !stream_.CheckRest()) return false;
  return true;
}

}  // namespace

Level3Stream::Level3Stream(IvfcReader& image)
    : image_(image), block_size_(image.level3_block_size()) {
  // Pieces of kReadPiece (at least a block), but no larger than level 3.
  const uint64_t level3 = align(image.level3_size(), block_size_);
  buffer_.resize(
      static_cast<size_t>(std::max(block_size_, std::min<uint64_t>(kReadPiece, level3))));
}

bool Level3Stream::IsChecked(uint64_t block) const {
  auto it = checked_.upper_bound(block);
  if (it == checked_.begin()) return false;
  --it;
  return block < it->second;
}

void Level3Stream::MarkChecked(uint64_t first, uint64_t end) {
  auto it = checked_.upper_bound(first);
  if (it != checked_.begin() && std::prev(it)->second >= first) {
    --it;
    first = it->first;
    end = std::max(end, it->second);
  }
  while (it != checked_.end() && it->first <= end) {
    end = std::max(end, it->second);
    it = checked_.erase(it);
  }
  checked_[first] = end;
}

bool Level3Stream::Read(uint64_t offset, uint64_t size, const Sink& sink) {
  if (size == 0) return true;
  const uint64_t blocks_per_chunk = buffer_.size() / block_size_;
  uint64_t block = offset / block_size_;
  const uint64_t end = offset + size;
  const uint64_t end_block = (end + block_size_ - 1) / block_size_;
  while (block < end_block) {
    const uint64_t count = std::min(blocks_per_chunk, end_block - block);
    const uint64_t chunk_start = block * block_size_;
    if (!image_.ReadLevel3(chunk_start, buffer_.data(), static_cast<size_t>(count * block_size_))) {
      return false;
    }
    for (uint64_t k = 0; k < count; ++k) {
      if (IsChecked(block + k)) continue;
      if (image_.CheckLevel3Block(block + k, buffer_.data() + k * block_size_) ==
          IvfcReader::Check::kReadError) {
        return false;
      }
    }
    MarkChecked(block, block + count);
    if (sink) {
      const uint64_t from = std::max(offset, chunk_start);
      const uint64_t to = std::min(end, chunk_start + count * block_size_);
      if (!sink(buffer_.data() + (from - chunk_start), static_cast<size_t>(to - from))) {
        return false;
      }
    }
    block += count;
  }
  return true;
}

bool Level3Stream::CheckRest() {
  const uint64_t blocks = (image_.level3_size() + block_size_ - 1) / block_size_;
  uint64_t next = 0;
  while (next < blocks) {
    auto it = checked_.upper_bound(next);
    if (it != checked_.begin() && std::prev(it)->second > next) {
      next = std::prev(it)->second;
      continue;
    }
    const uint64_t gap_end = it == checked_.end() ? blocks : std::min(blocks, it->first);
    if (!Read(next * block_size_, (gap_end - next) * block_size_, nullptr)) return false;
    next = gap_end;
  }
  return true;
}

bool Extract(IvfcReader& image, RomfsTree& tree, const std::string& dir,
             const ExtractOptions& options, const Report& report) {
  Extraction extraction(image, tree, options, report);
  return extraction.Run(dir);
}

}  // namespace uncairn
