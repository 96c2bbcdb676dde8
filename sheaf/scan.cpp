#include "scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bytes.h"

namespace sheaf {

namespace {

struct FolderId {
  dev_t device;
  ino_t inode;
};

const char* KindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "not a regular file";
}

class Scanner {
 public:
  Scanner(const Skip& skip, Messages& messages, HostTree& tree)
      : skip_(skip), messages_(messages), tree_(tree) {}

  bool Run();

 private:
  // Lists folder index; false when it cannot be read.
  bool List(uint32_t index, std::vector<FolderId>& chain);

  const Skip& skip_;
  Messages& messages_;
  HostTree& tree_;
  bool failed_ = false;
};

bool Scanner::Run() {
  const std::string& top = tree_.top;
  struct stat st;
  if (stat(top.c_str(), &st) != 0) {
    messages_.Problem("cannot read the folder " + Quote(top) + ": " + strerror(errno));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    messages_.Problem(Quote(top) + " is not a folder");
    return false;
  }
  // The folders holding the top, up to /: a link to one of them would lead
  // back into the tree without end.
  std::vector<FolderId> chain;
  std::string up = top;
  struct stat above = st;
  for (int i = 0; i < 4096; ++i) {
    chain.insert(chain.begin(), {above.st_dev, above.st_ino});
    up += "/..";
    struct stat next;
    if (stat(up.c_str(), &next) != 0) break;
    if (next.st_dev == above.st_dev && next.st_ino == above.st_ino) break;
    above = next;
  }
  chain.pop_back();
  HostEntry root;
  root.folder = true;
  root.device = st.st_dev;
  root.inode = st.st_ino;
  tree_.entries.push_back(root);
  chain.push_back({st.st_dev, st.st_ino});
  // Depth first; each folder is read whole before the next one is opened.
  struct Frame {
    uint32_t index;
    size_t next;
  };
  List(0, chain);
  std::vector<Frame> stack{{0, 0}};
  while (!stack.empty() && !failed_) {
    Frame& frame = stack.back();
    const HostEntry& folder = tree_.entries[frame.index];
    if (frame.next == folder.children.size()) {
      stack.pop_back();
      chain.pop_back();
      continue;
    }
    const uint32_t child = folder.children[frame.next++];
    if (!tree_.entries[child].folder) continue;
    if (static_cast<int>(stack.size()) >= HostTree::kMaxDepth) {
      messages_.Problem("cannot pack " + Quote(tree_.HostPath(child)) + ": deeper than " +
                        std::to_string(HostTree::kMaxDepth) + " folders");
      failed_ = true;
      break;
    }
    chain.push_back({tree_.entries[child].device, tree_.entries[child].inode});
    stack.push_back({child, 0});
    List(child, chain);
  }
  return !failed_;
}

bool Scanner::List(uint32_t index, std::vector<FolderId>& chain) {
  const std::string path = tree_.HostPath(index);
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) {
    messages_.Problem("cannot read the folder " + Quote(path) + ": " + strerror(errno));
    if (fd >= 0) close(fd);
    failed_ = true;
    return false;
  }
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* e = readdir(dir);
    if (e == nullptr) {
      if (errno != 0) {
        messages_.Problem("cannot read the folder " + Quote(path) + ": " + strerror(errno));
        failed_ = true;
      }
      break;
    }
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  if (failed_) {
    closedir(dir);
    return false;
  }
  std::sort(names.begin(), names.end());
  std::vector<uint32_t> children;
  for (const std::string& name : names) {
    struct stat st;
    const std::string shown = path + "/" + name;
    if (fstatat(dirfd(dir), name.c_str(), &st, 0) != 0) {
      const int err = errno;
      struct stat link;
      if ((err == ENOENT || err == ELOOP) &&
          fstatat(dirfd(dir), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(link.st_mode)) {
        messages_.Problem("skipping " + Quote(shown) +
                          ": a symbolic link that cannot be followed (" + strerror(err) + ")");
        continue;
      }
      messages_.Problem("cannot read " + Quote(shown) + ": " + strerror(err));
      failed_ = true;
      break;
    }
    const bool folder = S_ISDIR(st.st_mode);
    if (!folder && !S_ISREG(st.st_mode)) {
      messages_.Problem("skipping " + Quote(shown) + ": " + KindOf(st.st_mode));
      continue;
    }
    if (folder) {
      const bool loop = std::any_of(chain.begin(), chain.end(), [&](const FolderId& id) {
        return id.device == st.st_dev && id.inode == st.st_ino;
      });
      if (loop) {
        messages_.Problem("skipping " + Quote(shown) + ": it leads back to a folder that holds it");
        continue;
      }
    } else if (skip_.known && skip_.device == st.st_dev && skip_.inode == st.st_ino) {
      continue;  // the archive being replaced
    }
    HostEntry entry;
    entry.name = name;
    entry.path = tree_.entries[index].path.empty() ? name : tree_.entries[index].path + "/" + name;
    entry.parent = index;
    entry.folder = folder;
    entry.size = folder ? 0 : static_cast<uint64_t>(st.st_size);
    entry.device = st.st_dev;
    entry.inode = st.st_ino;
    children.push_back(static_cast<uint32_t>(tree_.entries.size()));
    tree_.entries.push_back(std::move(entry));
  }
  closedir(dir);
  tree_.entries[index].children = std::move(children);
  return !failed_;
}

}  // namespace

uint32_t HostTree::Find(const std::string& path) const {
  const auto it = by_path_.find(path);
  return it == by_path_.end() ? kNone : it->second;
}

void HostTree::Index() {
  by_path_.clear();
  for (uint32_t i = 0; i < entries.size(); ++i) by_path_[entries[i].path] = i;
}

bool ScanTree(const std::string& dir, const Skip& skip, Messages& messages, HostTree* tree) {
  tree->top = dir;
  while (tree->top.size() > 1 && tree->top.back() == '/') tree->top.pop_back();
  Scanner scanner(skip, messages, *tree);
  if (!scanner.Run()) return false;
  tree->Index();
  return true;
}

bool SniffFiles(HostTree& tree, const std::vector<uint32_t>& files, Messages& messages) {
  for (const uint32_t index : files) {
    HostEntry& e = tree.entries[index];
    if (e.size == 0) continue;
    const std::string path = tree.HostPath(index);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      messages.Problem("cannot read " + Quote(path) + ": " + strerror(errno));
      return false;
    }
    const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof e.head, e.size));
    const ssize_t n = pread(fd, e.head, want, 0);
    bool ok = n == static_cast<ssize_t>(want);
    e.head_size = static_cast<uint8_t>(want);
    if (ok && e.size >= 0x28) {
      ok = pread(fd, e.tail, 4, static_cast<off_t>(e.size - 0x28)) == 4;
      e.has_tail = true;
    }
    const int err = n < 0 ? errno : 0;
    close(fd);
    if (!ok) {
      messages.Problem("cannot read " + Quote(path) + ": " +
                       (err != 0 ? strerror(err) : "it is shorter than when the tree was read"));
      return false;
    }
  }
  return true;
}

}  // namespace sheaf
