#include "create.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "archive.h"
#include "formats.h"
#include "layout.h"
#include "lz77.h"
#include "mapped.h"
#include "output.h"
#include "pack.h"
#include "scan.h"
#include "tamp.h"
#include "tree.h"

namespace sheaf {

namespace {

constexpr size_t kBuffer = 1 << 20;
// Pieces from this size on are copied by the kernel; smaller ones (most
// files of a game, the gaps between them) gather in memory and are written
// together, a system call or two per piece being what costs then.
constexpr uint64_t kInKernel = 64 << 10;
// What the readers accept of an archive's header and tables.
constexpr size_t kMaxTables = 16 << 20;

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Suffix(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return Lower(path.substr(dot));
}

std::string ChangedSize(const std::string& path, uint64_t was, uint64_t now) {
  return "cannot pack " + Quote(path) + ": it changed while the archive was made (" +
         std::to_string(was) + " bytes, then " + std::to_string(now) + ")";
}

// Writes the plan's bytes to a file or into memory.
class Emitter {
 public:
  Emitter(const Plan& plan, const HostTree& host, Input* original, Messages& messages,
          FILE* verbose)
      : plan_(plan),
        host_(host),
        original_(original),
        messages_(messages),
        verbose_(verbose),
        buffer_(new uint8_t[kBuffer]),
        pending_(new uint8_t[kBuffer]) {}

  // False (reported) when a file cannot be read or the output written.
  bool ToFd(int fd) {
    fd_ = fd;
    return Run() && Flush();
  }
  bool ToMemory(uint8_t* out) {
    memory_ = out;
    return Run();
  }

 private:
  bool Run();
  bool Put(const uint8_t* data, size_t size);
  bool Flush();
  bool WriteOut(const uint8_t* data, size_t size);
  bool PutFile(const Piece& piece);
  uint64_t CopyInKernel(int in_fd, loff_t* in_offset, uint64_t size);
  bool CheckShared(const Piece& piece);
  void Name(uint32_t file);

  const Plan& plan_;
  const HostTree& host_;
  Input* original_;
  Messages& messages_;
  FILE* verbose_;
  std::unique_ptr<uint8_t[]> buffer_;
  std::unique_ptr<uint8_t[]> pending_;  // bytes not yet written to fd_
  size_t pending_size_ = 0;
  int fd_ = -1;
  uint8_t* memory_ = nullptr;
  uint64_t at_ = 0;
  bool failed_ = false;
};

bool Emitter::Put(const uint8_t* data, size_t size) {
  if (size == 0) return true;  // data may be null then
  if (memory_ != nullptr) {
    memcpy(memory_ + at_, data, size);
    at_ += size;
    return true;
  }
  if (pending_size_ + size > kBuffer && !Flush()) return false;
  if (size >= kBuffer) return WriteOut(data, size);
  memcpy(pending_.get() + pending_size_, data, size);
  pending_size_ += size;
  return true;
}

bool Emitter::Flush() {
  const size_t size = pending_size_;
  pending_size_ = 0;
  return memory_ != nullptr || WriteOut(pending_.get(), size);
}

bool Emitter::WriteOut(const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      messages_.Problem(std::string("cannot write it: ") + strerror(n < 0 ? errno : ENOSPC));
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
    at_ += static_cast<uint64_t>(n);
  }
  return true;
}

// Copies up to size bytes from in_fd (at *in_offset, or from where it is
// when null) to the output file in the kernel, where the file systems
// allow it: the bytes copied. A failure after some bytes is reported
// (failed_); one before any byte leaves the copy to the caller.
uint64_t Emitter::CopyInKernel(int in_fd, loff_t* in_offset, uint64_t size) {
  if (memory_ != nullptr || size < kInKernel) return 0;
  if (!Flush()) {
    failed_ = true;
    return 0;
  }
  uint64_t done = 0;
  while (done < size) {
    const ssize_t n =
        copy_file_range(in_fd, in_offset, fd_, nullptr,
                        static_cast<size_t>(std::min<uint64_t>(size - done, 1 << 30)), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && done == 0 &&
        (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
      break;
    }
    if (n < 0) {
      messages_.Problem(std::string("cannot write it: ") + strerror(errno));
      failed_ = true;
      break;
    }
    if (n == 0) break;  // the input ended: the caller's reading tells
    done += static_cast<uint64_t>(n);
    at_ += static_cast<uint64_t>(n);
  }
  return done;
}

bool Emitter::PutFile(const Piece& piece) {
  const HostEntry& entry = host_.entries[piece.file];
  const std::string path = host_.HostPath(piece.file);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    messages_.Problem("cannot read " + Quote(path) + ": " + strerror(errno));
    return false;
  }
  if (piece.size >= kInKernel) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (!ok) {
    messages_.Problem("cannot read " + Quote(path) + ": " + strerror(errno));
  } else if (static_cast<uint64_t>(st.st_size) != entry.size) {
    messages_.Problem(ChangedSize(path, entry.size, static_cast<uint64_t>(st.st_size)));
    ok = false;
  }
  uint64_t left = piece.size;
  if (ok && memory_ == nullptr && WorthMapping(0, at_ + pending_size_, left)) {
    ok = Flush();
    const int mapped = ok ? WriteMapped(fd, 0, left, fd_) : -1;
    if (mapped == 0) {
      at_ += left;
      left = 0;
    } else if (mapped > 0) {
      messages_.Problem(mapped == EFAULT ? "cannot pack " + Quote(path) +
                                               ": it changed while the archive was made (it "
                                               "ended early)"
                                         : std::string("cannot write it: ") + strerror(mapped));
      ok = false;
    }
  }
  if (ok) left -= CopyInKernel(fd, nullptr, left);
  ok = ok && !failed_;
  while (ok && left > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, kBuffer));
    uint8_t* into = memory_ != nullptr ? memory_ + at_ : buffer_.get();
    const ssize_t n = read(fd, into, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      messages_.Problem(n < 0 ? "cannot read " + Quote(path) + ": " + strerror(errno)
                              : "cannot pack " + Quote(path) +
                                    ": it changed while the archive was made (it ended early)");
      ok = false;
      break;
    }
    if (memory_ != nullptr) {
      at_ += static_cast<uint64_t>(n);
    } else if (!Put(into, static_cast<size_t>(n))) {
      ok = false;
    }
    left -= static_cast<uint64_t>(n);
  }
  close(fd);
  if (ok) Name(piece.file);
  return ok;
}

// A file packed as another's block was found identical to it when the
// archive was planned; here it is only checked for a change of size.
bool Emitter::CheckShared(const Piece& piece) {
  const HostEntry& entry = host_.entries[piece.file];
  const std::string path = host_.HostPath(piece.file);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    messages_.Problem("cannot read " + Quote(path) + ": " + strerror(errno));
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) != entry.size) {
    messages_.Problem(ChangedSize(path, entry.size, static_cast<uint64_t>(st.st_size)));
    return false;
  }
  Name(piece.file);
  return true;
}

void Emitter::Name(uint32_t file) {
  if (verbose_ == nullptr || file == Piece::kNoFile) return;
  fprintf(verbose_, "%s\n", host_.entries[file].path.c_str());
  fflush(verbose_);
}

bool Emitter::Run() {
  if (!Put(plan_.head.data(), plan_.head.size())) return false;
  for (const Piece& piece : plan_.pieces) {
    switch (piece.kind) {
      case Piece::kFile:
        if (!PutFile(piece)) return false;
        break;
      case Piece::kShared:
        if (!CheckShared(piece)) return false;
        break;
      case Piece::kBytes:
        if (!Put(plan_.blocks[piece.from].data(), plan_.blocks[piece.from].size())) return false;
        Name(piece.file);
        break;
      case Piece::kCopy:
      case Piece::kFill: {
        uint64_t done = 0;
        if (piece.kind == Piece::kCopy && original_->fd() >= 0) {
          auto from = static_cast<loff_t>(piece.from);
          done = CopyInKernel(original_->fd(), &from, piece.size);
          if (failed_) return false;
        }
        while (done < piece.size) {
          const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size - done, kBuffer));
          if (piece.kind == Piece::kCopy) {
            if (!original_->Read(piece.from + done, buffer_.get(), n)) return false;
          } else {
            FillBytes(piece.fill, buffer_.get(), n, static_cast<size_t>(done));
          }
          if (!Put(buffer_.get(), n)) return false;
          done += n;
        }
        break;
      }
    }
  }
  return true;
}

// An open folder and the name in it that ARCHIVE has.
struct Target {
  int dir_fd = -1;
  std::string name;
  ~Target() {
    if (dir_fd >= 0) close(dir_fd);
  }
};

}  // namespace

bool FormatFromName(const std::string& archive, Format* format, bool* big_endian) {
  const std::string suffix = Suffix(archive);
  *big_endian = false;
  for (const FormatUnit& unit : FormatUnits()) {
    for (const char* known : unit.suffixes) {
      if (suffix == known) {
        *format = unit.format;
        *big_endian = unit.choices.front().big_endian;
        return true;
      }
    }
  }
  return false;
}

Wrapper WrapperFromName(const std::string& archive) {
  const std::string suffix = Suffix(archive);
  if (suffix == ".szs") return Wrapper::kYaz0;
  if (suffix == ".carc") return Wrapper::kLz77;
  return Wrapper::kNone;
}

int Create(const CreateRequest& request) {
  Messages messages(request.archive);
  const bool like = !request.like.empty();
  Archive original;
  Format format = request.format;
  Wrapper wrapper = request.wrapper;
  if (like) {
    Messages original_messages(request.like);
    if (!original.Open(request.like, original_messages) || original_messages.problems() > 0) {
      messages.Problem("cannot make it like " + Quote(request.like) +
                       ": that archive cannot be read whole");
      return 1;
    }
    format = original.format();
    wrapper = original.input().wrapper().kind;
  }

  // Where it goes, and what is there now.
  Target target;
  {
    const size_t slash = request.archive.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : request.archive.substr(0, slash);
    target.name = slash == std::string::npos ? request.archive : request.archive.substr(slash + 1);
    if (target.name.empty()) {
      messages.Problem("not a file name");
      return 1;
    }
    target.dir_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (target.dir_fd < 0) {
      messages.Problem("cannot make it in " + Quote(folder) + ": " + strerror(errno));
      return 1;
    }
  }
  Skip skip;
  mode_t old_mode = 0;
  struct stat st;
  if (fstatat(target.dir_fd, target.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(st.st_mode)) {
      messages.Problem("it is a folder");
      return 1;
    }
    if (!request.force) {
      messages.Problem("it exists; it is not replaced (-f replaces it)");
      return 1;
    }
    if (fstatat(target.dir_fd, target.name.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode)) {
      skip = {true, st.st_dev, st.st_ino};
      old_mode = st.st_mode & 07777;
    }
  }

  HostTree host;
  if (!ScanTree(request.dir, skip, messages, &host)) return 1;
  // Nothing that sheaf would not read back.
  if (host.entries.size() >= Tree::kMaxNodes) {
    messages.Problem("cannot pack the tree: it holds more than " +
                     std::to_string(Tree::kMaxNodes - 1) +
                     " files and folders, more than sheaf reads back");
    return 1;
  }
  PackJob job{host, messages, like ? &original.input() : nullptr, target.name};
  Plan plan;
  const bool planned =
      UnitOf(format).plan(like ? original.model() : nullptr, request.big_endian, job, &plan);
  if (!planned) return 1;
  if (plan.head.size() > kMaxTables) {
    messages.Problem("cannot pack the tree: its tables would take " +
                     std::to_string(plan.head.size()) +
                     " bytes, more than the 16 MiB that sheaf reads back");
    return 1;
  }

  const WrapperInfo& was = original.input().wrapper();
  std::unique_ptr<uint8_t[]> whole;
  if (wrapper != Wrapper::kNone) {
    if (wrapper == Wrapper::kYaz0 && plan.size > INT_MAX) {
      messages.Problem("cannot pack the tree: a Yaz0 archive holds less than 2 GiB");
      return 1;
    }
    whole.reset(new (std::nothrow) uint8_t[plan.size == 0 ? 1 : plan.size]);
    if (!whole) {
      messages.Problem("out of memory: the archive takes " + std::to_string(plan.size) +
                       " bytes before it is compressed");
      return 1;
    }
  }

  safefs::TemporaryFile temporary(kTemporaryNaming);
  const int fd = temporary.Create(target.dir_fd, target.name);
  if (fd < 0) {
    messages.Problem(std::string("cannot write it: ") + strerror(errno));
    return 1;
  }
  Emitter emitter(plan, host, job.original, messages, request.verbose);
  if (wrapper == Wrapper::kNone) {
    if (!emitter.ToFd(fd)) return 1;
  } else {
    if (!emitter.ToMemory(whole.get())) return 1;
    const Trail trail = like ? DetectTrail(was.stream_size, was.file_size)
                             : Trail{wrapper == Wrapper::kLz77 ? 4u : 1u, 0};
    std::vector<uint8_t> encoded;
    if (wrapper == Wrapper::kYaz0) {
      uint32_t alignment = 0;
      if (like) {
        alignment = was.yaz0_alignment;
        if (format == Format::kSarc && alignment != 0 && plan.largest_alignment > alignment &&
            plan.largest_alignment > 0x20) {
          alignment = static_cast<uint32_t>(plan.largest_alignment);
        }
      } else if (format == Format::kSarc && plan.largest_alignment > 0x20) {
        alignment = static_cast<uint32_t>(plan.largest_alignment);
      }
      uint8_t header[16] = {'Y', 'a', 'z', '0'};
      Order{true}.Put32(header + 4, static_cast<uint32_t>(plan.size));
      Order{true}.Put32(header + 8, alignment);
      Order{true}.Put32(header + 12, like ? was.yaz0_reserved : 0);
      tamp::OutputBuffer out(fd);
      out.put(header, sizeof header);
      int64_t written = 0;
      try {
        written = tamp::encodeYaz0(whole.get(), static_cast<int>(plan.size), out, nullptr);
      } catch (const std::bad_alloc&) {
        messages.Problem("out of memory while compressing");
        return 1;
      }
      if (written >= 0) {
        const uint64_t end = 16 + static_cast<uint64_t>(written);
        const std::vector<uint8_t> padding(ApplyTrail(trail, end) - end, 0);
        if (!padding.empty()) out.put(padding.data(), padding.size());
      }
      if (written < 0 || !out.flush()) {
        messages.Problem(std::string("cannot write it: ") + strerror(out.error()));
        return 1;
      }
    } else {
      const bool extended = (like && was.lz77_extended) || plan.size >= (1u << 24);
      encoded = EncodeLz77(whole.get(), static_cast<size_t>(plan.size), extended, 1);
      encoded.resize(static_cast<size_t>(ApplyTrail(trail, encoded.size())), 0);
      for (size_t done = 0; done < encoded.size();) {
        const ssize_t n = write(fd, encoded.data() + done, encoded.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          messages.Problem(std::string("cannot write it: ") + strerror(n < 0 ? errno : ENOSPC));
          return 1;
        }
        done += static_cast<size_t>(n);
      }
    }
  }
  if (old_mode != 0) fchmod(fd, old_mode);
  const int err = temporary.Commit(request.force);
  if (err != 0) {
    messages.Problem(err == EEXIST ? "it exists; it is not replaced (-f replaces it)"
                                   : std::string("cannot write it: ") + strerror(err));
    return 1;
  }
  return messages.problems() > 0 ? 1 : 0;
}

}  // namespace sheaf
