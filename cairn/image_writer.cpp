#include "image_writer.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ivfc.h"
#include "oschar.h"
#include "romfs.h"
#include "safefs/interrupts.h"
#include "safefs/temporary.h"

namespace {

// What the handler of an interrupt must undo before the run ends: remove
// the temporary file, or empty an output being rewritten in place. Written
// only while those signals are blocked.
enum Cleanup : sig_atomic_t { kNothing, kRemoveTemp, kEmptyInPlace };
char g_temp_path[PATH_MAX + 32];
volatile sig_atomic_t g_cleanup = kNothing;
volatile sig_atomic_t g_in_place_fd = -1;

void CleanUpAndDie(int sig) {
  if (g_cleanup == kRemoveTemp) unlink(g_temp_path);
  if (g_cleanup == kEmptyInPlace && ftruncate(g_in_place_fd, 0) != 0) {
    // Nothing more can be done here.
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

// Installed before any output exists, with the signals blocked, so that no
// interrupt finds an output without its handler. A signal that is ignored
// (as SIGHUP under nohup) stays ignored.
void HandleInterrupts() {
  struct sigaction action = {};
  action.sa_handler = CleanUpAndDie;
  sigemptyset(&action.sa_mask);
  for (int sig : kInterrupts) {
    struct sigaction old = {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &action, nullptr);
  }
}

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { Abandon(); }

  // total: how many bytes will be written, to choose how.
  bool Open(const char* path, uint64_t total);
  bool Write(const uint8_t* data, uint64_t size);
  bool Finish();

 private:
  enum class Mode { kNone, kReplace, kDirect, kInPlace };

  void Abandon();
  bool Fail(const char* what, int err);

  std::string path_;    // as given, for messages
  std::string target_;  // the file that ends up holding the image
  std::string temp_;
  Mode mode_ = Mode::kNone;
  int fd_ = -1;
  bool direct_ = false;  // writing past the page cache
  mode_t perms_ = 0;
  bool keep_owner_ = false;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

bool OutputFile::Fail(const char* what, int err) {
  fprintf(stderr, "[ERROR] Failed to %s output file: \"%s\" (%s)\n", what, path_.c_str(),
          strerror(err));
  Abandon();
  return false;
}

// Files at least this large go to their file straight from memory, past the
// page cache: the image is already held once in memory, and copying
// gigabytes into the cache costs as much as hashing them.
constexpr uint64_t kDirectWriteMin = uint64_t(64) << 20;

bool OutputFile::Open(const char* path, uint64_t total) {
  path_ = path;
  // Write through symbolic links, dangling ones included, to the file they
  // name: the links stay.
  int err = safefs::FollowLinks(path, &target_);
  if (err != 0) return Fail("create", err);

  struct stat st;
  const bool exists = stat(target_.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return Fail("create", errno);
  if (exists && S_ISDIR(st.st_mode)) return Fail("create", EISDIR);
  if (exists && !S_ISREG(st.st_mode)) {
    // A device or a pipe: there is nothing to replace, write into it.
    mode_ = Mode::kDirect;
    fd_ = open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    return fd_ >= 0 || Fail("create", errno);
  }
  if (exists) {
    perms_ = st.st_mode & 07777;
    keep_owner_ = st.st_uid != geteuid() || st.st_gid != getegid();
    uid_ = st.st_uid;
    gid_ = st.st_gid;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    perms_ = 0666 & ~mask;
  }

  const size_t slash = target_.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : target_.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  temp_ = (slash == std::string::npos ? std::string() : dir) + "." + base + ".cairn-XXXXXX";
  if (temp_.size() >= sizeof(g_temp_path)) return Fail("create", ENAMETOOLONG);

  {
    safefs::InterruptsBlocked block;
    HandleInterrupts();
    std::vector<char> name(temp_.begin(), temp_.end());
    name.push_back('\0');
    fd_ = mkstemp(name.data());
    err = errno;
    if (fd_ >= 0) {
      temp_ = name.data();
      memcpy(g_temp_path, temp_.c_str(), temp_.size() + 1);
      g_cleanup = kRemoveTemp;
      mode_ = Mode::kReplace;
    } else if (exists && (err == EACCES || err == EPERM || err == EROFS) &&
               access(target_.c_str(), W_OK) == 0) {
      // The folder does not let a new file be made next to the old one,
      // but the old one may be written: rewrite it in place.
      fd_ = open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      err = errno;
      if (fd_ >= 0) {
        g_in_place_fd = fd_;
        g_cleanup = kEmptyInPlace;
        mode_ = Mode::kInPlace;
      }
    }
  }
  if (fd_ < 0) return Fail("create", err);
  // Where the file system cannot, the file is written as usual.
  if (mode_ == Mode::kReplace && total >= kDirectWriteMin) {
    const int flags = fcntl(fd_, F_GETFL);
    direct_ = flags >= 0 && fcntl(fd_, F_SETFL, flags | O_DIRECT) == 0;
  }
  return true;
}

bool OutputFile::Write(const uint8_t* data, uint64_t size) {
  while (size > 0) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(size, uint64_t(1) << 30));
    const ssize_t written = write(fd_, data, chunk);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno == EINVAL && direct_) {
      // The file system refuses this write past the page cache (its
      // size or place does not suit the device): write as usual.
      direct_ = false;
      const int flags = fcntl(fd_, F_GETFL);
      if (flags >= 0 && fcntl(fd_, F_SETFL, flags & ~O_DIRECT) == 0) continue;
      return Fail("write", EINVAL);
    }
    if (written < 0) return Fail("write", errno);
    if (written == 0) return Fail("write", ENOSPC);
    data += written;
    size -= static_cast<uint64_t>(written);
  }
  return true;
}

bool OutputFile::Finish() {
  if (mode_ == Mode::kReplace) {
    if (keep_owner_ && fchown(fd_, uid_, gid_) != 0) {
      // Only the superuser can hand the file back to its owner.
    }
    if (fchmod(fd_, perms_) != 0) return Fail("write", errno);
  }
  // Blocked until the handler has nothing left to undo: it must not act on
  // a closed descriptor nor remove a temporary file already renamed.
  safefs::InterruptsBlocked block;
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) return Fail("write", errno);
  if (mode_ == Mode::kReplace && rename(temp_.c_str(), target_.c_str()) != 0) {
    return Fail("write", errno);
  }
  g_cleanup = kNothing;
  mode_ = Mode::kNone;
  return true;
}

void OutputFile::Abandon() {
  if (mode_ == Mode::kNone && fd_ < 0) return;
  safefs::InterruptsBlocked block;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (mode_ == Mode::kInPlace) {
    // The old image is already gone; leave nothing that looks like one.
    if (truncate(target_.c_str(), 0) != 0) {
    }
  }
  if (mode_ == Mode::kReplace) unlink(temp_.c_str());
  g_cleanup = kNothing;
  mode_ = Mode::kNone;
}

}  // namespace

int CreateImageFile(const char* dir, const char* out_path) {
  // A file-size limit must surface as a failed write that is cleaned up,
  // not as a signal that kills the run with a partial file behind it.
  signal(SIGXFSZ, SIG_IGN);
  Romfs romfs;
  if (romfs.CreateRomfs(dir) != 0) return 1;

  Ivfc ivfc;
  if (ivfc.CreateIvfcHashTree(romfs.data_blob(), romfs.data_size()) != 0) return 1;

  const uint64_t size = romfs.data_size();
  const uint64_t whole = size / Ivfc::kBlockSize * Ivfc::kBlockSize;
  const uint64_t total =
      ivfc.header_size() + align(size, Ivfc::kBlockSize) + ivfc.level0_size() + ivfc.level1_size();
  OutputFile out;
  if (!out.Open(out_path, total)) return 1;

  bool ok =
      out.Write(ivfc.header_blob(), ivfc.header_size()) && out.Write(romfs.data_blob(), whole);
  if (ok && whole != size) {
    // Aligned like every other block written, for writes past the cache.
    alignas(Ivfc::kBlockSize) static uint8_t last[Ivfc::kBlockSize];
    memcpy(last, romfs.data_blob() + whole, static_cast<size_t>(size - whole));
    ok = out.Write(last, sizeof(last));
  }
  ok = ok && out.Write(ivfc.level0_blob(), ivfc.level0_size()) &&
       out.Write(ivfc.level1_blob(), ivfc.level1_size()) && out.Finish();
  // The image of the rest is written, but what is missing must not pass
  // for success.
  return ok && !romfs.entries_left_out() ? 0 : 1;
}
