#include "extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "output.h"
#include "safefs/extraction.h"

namespace sheaf {

namespace {

constexpr size_t kBuffer = 1 << 20;
constexpr size_t kMaxOpenFolders = 64;

enum class Copied { kOk, kWriteFailed, kReadFailed };

class Extraction {
 public:
  Extraction(Archive& archive, const ExtractOptions& options, Messages& messages)
      : archive_(archive),
        tree_(archive.tree()),
        options_(options),
        messages_(messages),
        root_(
            kTemporaryNaming, options.force,
            [&messages](const std::string& text) { messages.Problem(text); },
            [](const std::string& path) { return Quote(path); }) {}
  ~Extraction() { CloseFolders(); }

  bool Run(const std::string& dir);

 private:
  void Select();
  int FolderFd(uint32_t node);
  void CloseFolders();
  bool WriteFile(uint32_t node);
  Copied CopyData(int fd, const Tree::Node& node, int* error);

  Archive& archive_;
  const Tree& tree_;
  const ExtractOptions& options_;
  Messages& messages_;
  safefs::ExtractionRoot root_;
  std::vector<int> fds_;
  std::vector<uint8_t> failed_;
  std::vector<uint32_t> open_;
  std::vector<uint8_t> whole_;   // folders extracted with all below them
  std::vector<uint8_t> wanted_;  // files extracted
  std::unique_ptr<uint8_t[]> buffer_;
};

void Extraction::Select() {
  const uint32_t n = tree_.size();
  whole_.assign(n, 0);
  wanted_.assign(n, 0);
  std::vector<uint8_t> chosen(n, 0);
  if (options_.paths.empty()) chosen[0] = 1;
  for (const std::string& path : options_.paths) {
    const uint32_t node = tree_.Find(path);
    if (node == Tree::kNone) {
      messages_.Problem(Quote(path) + " is not in the archive");
      continue;
    }
    chosen[node] = 1;
  }
  // Parents come before their children.
  for (uint32_t i = 0; i < n; ++i) {
    const Tree::Node& node = tree_.node(i);
    if (!node.usable) continue;
    const bool under = i != 0 && whole_[node.parent];
    if (node.folder) {
      whole_[i] = chosen[i] || under;
    } else {
      wanted_[i] = chosen[i] || under;
    }
  }
}

void Extraction::CloseFolders() {
  for (const uint32_t node : open_) {
    close(fds_[node]);
    fds_[node] = -1;
  }
  open_.clear();
}

int Extraction::FolderFd(uint32_t node) {
  if (node == 0) return root_.fd();
  if (fds_[node] >= 0) return fds_[node];
  if (failed_[node]) return -1;
  const int parent_fd = FolderFd(tree_.node(node).parent);
  const int fd = parent_fd < 0 ? -1
                               : root_.OpenFolder(parent_fd, std::string(tree_.Name(node)),
                                                  Quote(tree_.Path(node)));
  if (fd < 0) {
    failed_[node] = 1;
    return -1;
  }
  fds_[node] = fd;
  open_.push_back(node);
  return fd;
}

Copied Extraction::CopyData(int fd, const Tree::Node& node, int* error) {
  Input& input = archive_.input();
  uint64_t offset = node.offset;
  uint64_t left = node.size;
  auto write_all = [&](const uint8_t* data, size_t size) {
    while (size > 0) {
      const ssize_t n = write(fd, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *error = n < 0 ? errno : ENOSPC;
        return false;
      }
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  };
  if (input.memory() != nullptr) {
    return write_all(input.memory() + offset, static_cast<size_t>(left)) ? Copied::kOk
                                                                         : Copied::kWriteFailed;
  }
  // In the kernel where it can: no copy through this process.
  bool kernel = true;
  while (left > 0 && kernel) {
    auto in = static_cast<loff_t>(offset);
    const ssize_t n = copy_file_range(input.fd(), &in, fd, nullptr,
                                      static_cast<size_t>(std::min<uint64_t>(left, 1 << 30)), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && left == node.size &&
        (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
      kernel = false;
      break;
    }
    if (n < 0) {
      *error = errno;
      return Copied::kWriteFailed;
    }
    if (n == 0) {
      input.ReadFailed(0);
      return Copied::kReadFailed;
    }
    offset += static_cast<uint64_t>(n);
    left -= static_cast<uint64_t>(n);
  }
  if (left > 0 && !buffer_) buffer_.reset(new uint8_t[kBuffer]);
  while (left > 0) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, kBuffer));
    if (!input.Read(offset, buffer_.get(), piece)) return Copied::kReadFailed;
    if (!write_all(buffer_.get(), piece)) return Copied::kWriteFailed;
    offset += piece;
    left -= piece;
  }
  return Copied::kOk;
}

bool Extraction::WriteFile(uint32_t index) {
  const Tree::Node& node = tree_.node(index);
  if (open_.size() > kMaxOpenFolders) CloseFolders();
  const int dir_fd = FolderFd(node.parent);
  if (dir_fd < 0) return true;
  const std::string path = tree_.Path(index);
  const auto outcome = root_.WriteFile(
      dir_fd, std::string(tree_.Name(index)), Quote(path), [&](safefs::TemporaryFile& file) {
        int error = 0;
        const Copied copied = CopyData(file.fd(), node, &error);
        return copied == Copied::kOk ? 0 : copied == Copied::kWriteFailed ? error : -1;
      });
  if (outcome == safefs::ExtractionRoot::Outcome::kWritten && options_.verbose != nullptr) {
    fprintf(options_.verbose, "%s\n", path.c_str());
    fflush(options_.verbose);
  }
  return outcome != safefs::ExtractionRoot::Outcome::kStop;
}

bool Extraction::Run(const std::string& dir) {
  Select();
  fds_.assign(tree_.size(), -1);
  failed_.assign(tree_.size(), 0);
  if (!root_.Open(dir)) return false;
  // The folders first (empty ones too), then the files in the order of
  // their data, which reads the archive from start to end.
  for (uint32_t i = 1; i < tree_.size(); ++i) {
    if (tree_.node(i).folder && whole_[i]) {
      if (open_.size() > kMaxOpenFolders) CloseFolders();
      FolderFd(i);
    }
  }
  for (const uint32_t i : tree_.FilesInDataOrder()) {
    if (wanted_[i] && !WriteFile(i)) return false;
  }
  return true;
}

}  // namespace

bool Extract(Archive& archive, const std::string& dir, const ExtractOptions& options,
             Messages& messages) {
  Extraction extraction(archive, options, messages);
  return extraction.Run(dir);
}

}  // namespace sheaf
