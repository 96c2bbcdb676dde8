// Reading whole files and writing outputs that appear only when whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "file.h"
#include "format.h"

namespace kiln {

namespace {

std::string reason(int error) { return std::strerror(error); }

// The temporary files of the run (at most two: an OBJ and its MTL), for the
// interrupt handler.
std::atomic<const char*> g_temporary[2] = {nullptr, nullptr};

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

void removeTemporariesAndStop(int signalNumber) {
  for (auto& name : g_temporary) {
    const char* path = name.load();
    if (path != nullptr) unlink(path);
  }
  // The handler is reset to the default on entry: the signal ends the
  // program as it would have once this returns.
  raise(signalNumber);
}

// Blocks the interrupts for its lifetime, while a temporary name is being
// created or renamed.
class InterruptsBlocked {
 public:
  InterruptsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    for (int signalNumber : kInterrupts) sigaddset(&set, signalNumber);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~InterruptsBlocked() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  InterruptsBlocked(const InterruptsBlocked&) = delete;
  InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;

 private:
  sigset_t old_;
};

void setTemporary(size_t slot, const char* path) {
  if (slot < 2) g_temporary[slot].store(path);
}

// Where writing path ends up: a symbolic link is followed to the file it
// names (which need not exist yet).
std::string resolveLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    const ssize_t got = readlink(path.c_str(), target.data(), target.size());
    if (got < 0 || static_cast<size_t>(got) >= target.size()) return path;
    target.resize(static_cast<size_t>(got));
    if (!target.empty() && target[0] == '/') {
      path = target;
    } else {
      const size_t slash = path.rfind('/');
      path = (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + target;
    }
  }
  return path;
}

}  // namespace

void installSignalHandling() {
  signal(SIGXFSZ, SIG_IGN);
  for (int signalNumber : kInterrupts) {
    struct sigaction old = {};
    sigaction(signalNumber, nullptr, &old);
    if (old.sa_handler == SIG_IGN) continue;  // ignored by whoever started us: stays so
    struct sigaction action = {};
    action.sa_handler = removeTemporariesAndStop;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int other : kInterrupts) sigaddset(&action.sa_mask, other);
    sigaction(signalNumber, &action, nullptr);
  }
}

std::vector<uint8_t> readFile(const std::string& path, uint64_t limit, FileId* id) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw Error("cannot open: " + reason(errno));
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat st;
  if (fstat(fd, &st) != 0) throw Error("cannot read: " + reason(errno));
  if (S_ISDIR(st.st_mode)) throw Error("cannot read: " + reason(EISDIR));
  if (!S_ISREG(st.st_mode)) throw Error("not a regular file");
  if (static_cast<uint64_t>(st.st_size) > limit) {
    throw Error("the file is " + std::to_string(st.st_size) + " bytes; kiln reads files of up to " +
                std::to_string(limit >> 20) + " MiB");
  }
  if (id != nullptr)
    *id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), true};
  std::vector<uint8_t> data;
  data.resize(static_cast<size_t>(st.st_size));
  size_t have = 0;
  for (;;) {
    if (have == data.size()) {
      // The whole size that was measured: the end should be here, but the
      // file may have grown since.
      uint8_t probe[4096];
      const ssize_t more = read(fd, probe, sizeof probe);
      if (more < 0 && errno == EINTR) continue;
      if (more < 0) throw Error("cannot read: " + reason(errno));
      if (more == 0) break;
      if (data.size() + static_cast<size_t>(more) > limit) {
        throw Error("the file is longer than " + std::to_string(limit >> 20) +
                    " MiB; kiln reads files of up to that size");
      }
      data.insert(data.end(), probe, probe + more);
      have = data.size();
      continue;
    }
    const ssize_t got = read(fd, data.data() + have, data.size() - have);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw Error("cannot read: " + reason(errno));
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  data.resize(have);
  return data;
}

OutputFiles::~OutputFiles() {
  for (size_t i = 0; i < pending_.size(); ++i) {
    if (pending_[i].temporary.empty()) continue;
    InterruptsBlocked blocked;
    unlink(pending_[i].temporary.c_str());
    setTemporary(i, nullptr);
  }
}

void OutputFiles::add(const std::string& path, std::string_view data, const FileId& input) {
  // The interrupt handler holds pointers into pending_: no reallocation.
  if (pending_.capacity() < 2) pending_.reserve(2);
  const std::string target = resolveLinks(path);
  struct stat st;
  if (lstat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw Error("cannot write: " + reason(EISDIR));
    if (!S_ISREG(st.st_mode)) throw Error("cannot replace it: not a regular file");
    if (input.known && static_cast<uint64_t>(st.st_dev) == input.device &&
        static_cast<uint64_t>(st.st_ino) == input.inode) {
      throw Error("is the input file itself; nothing was written");
    }
  }
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (base.size() > 200) base.resize(200);  // the decorated name stays within NAME_MAX
  int fd = -1;
  Pending pending{target, ""};
  const size_t slot = pending_.size();
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    const std::string name =
        folder + "." + base + ".kiln-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
    InterruptsBlocked blocked;
    fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      pending.temporary = name;
      pending_.push_back(pending);
      setTemporary(slot, pending_.back().temporary.c_str());
    } else if (errno != EEXIST) {
      break;
    }
  }
  if (fd < 0) throw Error("cannot write: " + reason(errno));
  size_t done = 0;
  int error = 0;
  while (done < data.size()) {
    const ssize_t wrote = write(fd, data.data() + done, data.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) {
      error = errno;
      break;
    }
    done += static_cast<size_t>(wrote);
  }
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    InterruptsBlocked blocked;
    unlink(pending_.back().temporary.c_str());
    setTemporary(slot, nullptr);
    pending_.back().temporary.clear();
    throw Error("cannot write: " + reason(error));
  }
}

void OutputFiles::commit(std::string* failed) {
  for (size_t i = 0; i < pending_.size(); ++i) {
    Pending& p = pending_[i];
    InterruptsBlocked blocked;
    if (rename(p.temporary.c_str(), p.target.c_str()) != 0) {
      const int error = errno;
      if (failed != nullptr) *failed = p.target;
      throw Error("cannot write: " + reason(error));
    }
    setTemporary(i, nullptr);
    p.temporary.clear();
  }
}

}  // namespace kiln
