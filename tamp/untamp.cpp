// The Yaz0 decoder of untamp, the output's naming, and the output file that
// appears only when whole.

#include "untamp.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "safefs/interrupts.h"

namespace untamp {

long FdSource::read(uint8_t* buffer, size_t capacity) {
  for (;;) {
    const ssize_t got = ::read(fd_, buffer, capacity);
    if (got >= 0) return static_cast<long>(got);
    if (errno != EINTR) return -errno;
  }
}

long MemorySource::read(uint8_t* buffer, size_t capacity) {
  size_t count = std::min(capacity, size_ - at_);
  if (piece_ != 0) count = std::min(count, piece_);
  if (count != 0) std::memcpy(buffer, data_ + at_, count);
  at_ += count;
  return static_cast<long>(count);
}

int VectorSink::write(const uint8_t* data, size_t size) {
  bytes.insert(bytes.end(), data, data + size);
  return 0;
}

int FdSink::write(const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t done = ::write(fd_, data, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += done;
    size -= static_cast<size_t>(done);
  }
  return 0;
}

int HoldingSink::write(const uint8_t* data, size_t size) {
  if (!passing_ && held_.size() + size <= hold_) {
    held_.insert(held_.end(), data, data + size);
    return 0;
  }
  if (const int error = finish(); error != 0) return error;
  passing_ = true;
  return inner_.write(data, size);
}

int HoldingSink::finish() {
  if (held_.empty()) return 0;
  const int error = inner_.write(held_.data(), held_.size());
  held_.clear();
  held_.shrink_to_fit();
  return error;
}

namespace {

constexpr size_t kInputBlock = 256 * 1024;
constexpr size_t kOutputBlock = 1024 * 1024;
// One group: a code byte and up to 8 chunks of up to 3 bytes, decoding to
// at most 8 * 273 bytes.
constexpr size_t kGroupOutput = 8 * kLongestChunk;
// The fast path reads a whole group and 8 bytes of literals from where it
// stands without checking the end of the input.
constexpr size_t kFastInput = 32;
// Copies may write up to 15 bytes past their end.
constexpr size_t kSlack = 32;
constexpr size_t kOutputCapacity = kWindow + kOutputBlock + kGroupOutput + kSlack;

// Copies a back-reference of n bytes from distance back, where n >= 3 and
// distance <= bytes already in front of dst. May write up to 15 bytes past
// dst + n. Overlapping copies repeat the last `distance` bytes.
inline void copyReference(uint8_t* dst, size_t distance, size_t n) {
  const uint8_t* src = dst - distance;
  if (distance >= 16) {
    for (size_t i = 0; i < n; i += 16) std::memcpy(dst + i, src + i, 16);
  } else if (distance >= 8) {
    for (size_t i = 0; i < n; i += 8) std::memcpy(dst + i, src + i, 8);
  } else if (distance == 1) {
    std::memset(dst, src[0], n);
  } else {
    // A short period: lay down its first 8 bytes one at a time, then copy 8
    // bytes at a time from a whole number of periods back (at least 8).
    for (size_t i = 0; i < 8; ++i) dst[i] = src[i];
    const size_t step = (8 + distance - 1) / distance * distance;
    for (size_t i = 8; i < n; i += 8) std::memcpy(dst + i, dst + i - step, 8);
  }
}

class Decoder {
 public:
  Decoder(Source& source, Sink& sink)
      : source_(source),
        sink_(sink),
        input_(new uint8_t[kInputBlock + kFastInput]),
        output_(new uint8_t[kOutputCapacity]) {}

  Outcome run();

 private:
  size_t available() const { return end_ - at_; }
  uint64_t inputOffset(size_t index) const { return inputBase_ + index; }
  uint64_t produced() const { return outputBase_ + fill_; }
  bool refill();
  bool readHeader();
  bool fastGroups();
  bool slowGroup();
  int nextByte();
  bool flush();
  bool fail(Problem problem, uint64_t offset) {
    outcome_.problem = problem;
    outcome_.offset = offset;
    return false;
  }

  Source& source_;
  Sink& sink_;
  std::unique_ptr<uint8_t[]> input_;
  size_t at_ = 0;           // next byte to decode in input_
  size_t end_ = 0;          // end of the bytes read into input_
  uint64_t inputBase_ = 0;  // compressed offset of input_[0]
  bool ended_ = false;      // the source has no more data
  std::unique_ptr<uint8_t[]> output_;
  size_t fill_ = 0;          // bytes decoded into output_
  size_t flushed_ = 0;       // of which handed to the sink
  uint64_t outputBase_ = 0;  // output offset of output_[0]
  Outcome outcome_;
};

// Keeps the bytes not yet decoded and reads more after them (one read).
bool Decoder::refill() {
  if (ended_) return true;
  if (at_ != 0) {
    std::memmove(input_.get(), input_.get() + at_, available());
    inputBase_ += at_;
    end_ -= at_;
    at_ = 0;
  }
  const long got = source_.read(input_.get() + end_, kInputBlock + kFastInput - end_);
  if (got < 0) {
    outcome_.error = static_cast<int>(-got);
    return fail(Problem::kReadFailed, inputOffset(end_));
  }
  if (got == 0) ended_ = true;
  end_ += static_cast<size_t>(got);
  return true;
}

bool Decoder::readHeader() {
  while (available() < kHeaderSize && !ended_) {
    if (!refill()) return false;
  }
  const uint8_t* head = input_.get();
  outcome_.magicSize = std::min<size_t>(available(), 4);
  std::memcpy(outcome_.magic, head, outcome_.magicSize);
  if (available() == 0) return fail(Problem::kEmpty, 0);
  if (std::memcmp(head, "Yaz0", outcome_.magicSize) != 0) return fail(Problem::kBadMagic, 0);
  if (available() < kHeaderSize) return fail(Problem::kShortHeader, available());
  outcome_.declared = static_cast<uint32_t>(head[4]) << 24 | static_cast<uint32_t>(head[5]) << 16 |
                      static_cast<uint32_t>(head[6]) << 8 | head[7];
  at_ = kHeaderSize;
  return true;
}

// Whole groups while the input holds a group and the output has room for
// one and is far from the decoded size: no checks but the distance.
bool Decoder::fastGroups() {
  uint8_t* const out = output_.get();
  const uint8_t* const in = input_.get();
  size_t fill = fill_;
  size_t at = at_;
  const size_t lastAt = end_ - kFastInput;
  const uint64_t left = outcome_.declared - produced();
  const size_t outputStop =
      static_cast<size_t>(std::min<uint64_t>(fill + left, kWindow + kOutputBlock + kGroupOutput));
  while (at <= lastAt && fill + kGroupOutput <= outputStop) {
    unsigned code = in[at++];
    int chunks = 8;
    while (chunks > 0) {
      if (code & 0x80) {
        // A run of literals, copied at once (the code's low bits are 0, so
        // the run ends within the group).
        const int run = __builtin_clz(~(code << 24));
        std::memcpy(out + fill, in + at, 8);
        fill += static_cast<size_t>(run);
        at += static_cast<size_t>(run);
        code = (code << run) & 0xFF;
        chunks -= run;
        continue;
      }
      const unsigned b1 = in[at], b2 = in[at + 1];
      const size_t distance = ((b1 & 0x0Fu) << 8 | b2) + 1;
      size_t n;
      if ((b1 >> 4) != 0) {
        n = (b1 >> 4) + 2;
        at += 2;
      } else {
        n = in[at + 2] + size_t{18};
        at += 3;
      }
      if (distance > fill) {
        // Only possible before the first block went out (the window is
        // kept whole after that).
        fill_ = fill;
        outcome_.distance = static_cast<uint32_t>(distance);
        outcome_.length = static_cast<uint32_t>(n);
        return fail(Problem::kBeforeStart, inputOffset(at - ((b1 >> 4) != 0 ? 2 : 3)));
      }
      copyReference(out + fill, distance, n);
      fill += n;
      code = (code << 1) & 0xFF;
      --chunks;
    }
  }
  fill_ = fill;
  at_ = at;
  return true;
}

// The next compressed byte, reading more when needed; -1 at the end of the
// data or on a read error (the problem recorded).
int Decoder::nextByte() {
  if (at_ == end_) {
    if (!refill()) return -1;
    if (at_ == end_) {
      fail(Problem::kTruncated, inputOffset(end_));
      return -1;
    }
  }
  return input_[at_++];
}

// One group, every byte checked: near the end of the input or of the
// decoded size.
bool Decoder::slowGroup() {
  const int code = nextByte();
  if (code < 0) return false;
  uint8_t* const out = output_.get();
  for (int bit = 7; bit >= 0 && produced() < outcome_.declared; --bit) {
    const uint64_t chunkOffset = inputOffset(at_);
    if (code & (1 << bit)) {
      const int literal = nextByte();
      if (literal < 0) return false;
      out[fill_++] = static_cast<uint8_t>(literal);
      continue;
    }
    const int b1 = nextByte();
    if (b1 < 0) return false;
    const int b2 = nextByte();
    if (b2 < 0) return false;
    size_t n = static_cast<size_t>(b1 >> 4) + 2;
    if ((b1 >> 4) == 0) {
      const int extra = nextByte();
      if (extra < 0) return false;
      n = static_cast<size_t>(extra) + 18;
    }
    const size_t distance = static_cast<size_t>((b1 & 0x0F) << 8 | b2) + 1;
    outcome_.distance = static_cast<uint32_t>(distance);
    outcome_.length = static_cast<uint32_t>(n);
    if (distance > fill_) return fail(Problem::kBeforeStart, chunkOffset);
    if (n > outcome_.declared - produced()) return fail(Problem::kPastEnd, chunkOffset);
    copyReference(out + fill_, distance, n);
    fill_ += n;
  }
  return true;
}

// Hands the decoded block to the sink and keeps the last window of it.
bool Decoder::flush() {
  if (fill_ > flushed_) {
    const int error = sink_.write(output_.get() + flushed_, fill_ - flushed_);
    if (error != 0) {
      outcome_.error = error;
      return fail(Problem::kWriteFailed, inputOffset(at_));
    }
  }
  if (fill_ >= kWindow + kOutputBlock) {
    std::memmove(output_.get(), output_.get() + fill_ - kWindow, kWindow);
    outputBase_ += fill_ - kWindow;
    fill_ = kWindow;
  }
  flushed_ = fill_;
  return true;
}

Outcome Decoder::run() {
  bool ok = readHeader();
  while (ok && produced() < outcome_.declared) {
    if (fill_ >= kWindow + kOutputBlock) {
      ok = flush();
      if (!ok) break;
    }
    if (available() < kFastInput && !ended_) {
      ok = refill();
      if (!ok) break;
    }
    const uint64_t before = produced();
    if (available() >= kFastInput && outcome_.declared - before >= kGroupOutput) {
      ok = fastGroups();
      if (!ok || produced() != before) continue;
    }
    ok = slowGroup();
  }
  if (ok) ok = flush();
  outcome_.decoded = produced();
  outcome_.consumed = inputOffset(at_);
  return outcome_;
}

}  // namespace

Outcome decode(Source& source, Sink& sink) {
  Decoder decoder(source, sink);
  return decoder.run();
}

Outcome decodeBuffer(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
  MemorySource source(data, size);
  VectorSink sink;
  Outcome outcome = decode(source, sink);
  if (out != nullptr) *out = std::move(sink.bytes);
  return outcome;
}

std::string describe(const Outcome& outcome) {
  char text[256];
  const auto offset = static_cast<unsigned long long>(outcome.offset);
  const auto decoded = static_cast<unsigned long long>(outcome.decoded);
  switch (outcome.problem) {
    case Problem::kNone:
      return "decoded";
    case Problem::kEmpty:
      return "not Yaz0: empty";
    case Problem::kBadMagic: {
      std::string seen;
      for (size_t i = 0; i < outcome.magicSize; ++i) {
        std::snprintf(text, sizeof text, "%s%02x", i == 0 ? "" : " ", outcome.magic[i]);
        seen += text;
      }
      return "not Yaz0: starts with " + seen + ", not \"Yaz0\"";
    }
    case Problem::kShortHeader:
      std::snprintf(text, sizeof text, "not Yaz0: %llu bytes, shorter than the 16-byte header",
                    offset);
      break;
    case Problem::kTruncated:
      std::snprintf(text, sizeof text,
                    "the data ends at offset %llu, with %llu of %u bytes decoded", offset, decoded,
                    outcome.declared);
      break;
    case Problem::kBeforeStart:
      std::snprintf(text, sizeof text,
                    "at offset %llu: a back-reference %u bytes back from output byte %llu reaches "
                    "before the start",
                    offset, outcome.distance, decoded);
      break;
    case Problem::kPastEnd:
      std::snprintf(text, sizeof text,
                    "at offset %llu: a back-reference of %u bytes at output byte %llu runs past "
                    "the decoded size (%u)",
                    offset, outcome.length, decoded, outcome.declared);
      break;
    case Problem::kReadFailed:
      std::snprintf(text, sizeof text, "cannot read: %s", std::strerror(outcome.error));
      break;
    case Problem::kWriteFailed:
      std::snprintf(text, sizeof text, "cannot write: %s", std::strerror(outcome.error));
      break;
  }
  return text;
}

namespace {

bool endsWithoutCase(std::string_view name, std::string_view suffix) {
  if (name.size() < suffix.size()) return false;
  const std::string_view tail = name.substr(name.size() - suffix.size());
  return std::equal(tail.begin(), tail.end(), suffix.begin(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
}

std::string_view baseName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

Naming namingOf(std::string_view input) {
  const std::string_view base = baseName(input);
  for (const auto& [suffix, naming] : {std::pair{std::string_view(".yaz0"), Naming::kDropSuffix},
                                       std::pair{std::string_view(".szs"), Naming::kByContent}}) {
    if (endsWithoutCase(base, suffix))
      return base.size() > suffix.size() ? naming : Naming::kNoStem;
  }
  return Naming::kUnknown;
}

std::string outputName(std::string_view input, const uint8_t* head, size_t headSize) {
  const Naming naming = namingOf(input);
  if (naming == Naming::kDropSuffix) return std::string(input.substr(0, input.size() - 5));
  if (naming != Naming::kByContent) return "";
  const std::string stem(input.substr(0, input.size() - 4));
  if (headSize >= 4 && std::memcmp(head, "SARC", 4) == 0) return stem + ".sarc";
  static const uint8_t kU8[4] = {0x55, 0xAA, 0x38, 0x2D};
  if (headSize >= 4 && std::memcmp(head, kU8, 4) == 0) return stem + ".u8";
  return stem + ".bin";
}

void installSignalHandling() {
  safefs::HandleInterrupts({SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE});
}

FileOutput::Refusal checkTarget(const std::string& target, bool force, dev_t inputDevice,
                                ino_t inputInode) {
  struct stat st;
  if (lstat(target.c_str(), &st) != 0) return FileOutput::Refusal::kNone;
  if (S_ISLNK(st.st_mode)) {
    // Replacing the link leaves whatever it points to alone.
    return force ? FileOutput::Refusal::kNone : FileOutput::Refusal::kExists;
  }
  if (!S_ISREG(st.st_mode)) return FileOutput::Refusal::kNotRegular;
  if (st.st_dev == inputDevice && st.st_ino == inputInode) return FileOutput::Refusal::kIsInput;
  return force ? FileOutput::Refusal::kNone : FileOutput::Refusal::kExists;
}

FileOutput::FileOutput(std::string target, std::string input, bool force, dev_t inputDevice,
                       ino_t inputInode)
    : target_(std::move(target)),
      input_(std::move(input)),
      force_(force),
      inputDevice_(inputDevice),
      inputInode_(inputInode) {}

FileOutput::~FileOutput() { discard(); }

// Names the output if needed, checks it may be written, and creates the
// temporary file beside it: ".NAME.untamp-PID-N" in the same folder, so
// that the rename stays within one file system.
int FileOutput::start(const uint8_t* head, size_t headSize) {
  if (target_.empty()) target_ = outputName(input_, head, std::min<size_t>(headSize, 4));
  refusal_ = checkTarget(target_, force_, inputDevice_, inputInode_);
  if (refusal_ != Refusal::kNone) return error_ = EEXIST;
  started_ = true;
  if (file_.Create(AT_FDCWD, target_) >= 0) return 0;
  refusal_ = Refusal::kCannotCreate;
  return error_ = errno;
}

int FileOutput::write(const uint8_t* data, size_t size) {
  if (file_.fd() < 0) {
    if (refusal_ != Refusal::kNone || started_) return error_ != 0 ? error_ : EBADF;
    if (const int error = start(data, size); error != 0) return error;
  }
  const int error = FdSink(file_.fd()).write(data, size);
  if (error != 0) error_ = error;
  return error;
}

int FileOutput::commit() {
  if (!started_ && refusal_ == Refusal::kNone) {
    if (const int error = start(nullptr, 0); error != 0) return error;
  }
  if (file_.fd() < 0) return error_ != 0 ? error_ : EBADF;
  if (const int error = file_.Commit(force_); error != 0) {
    error_ = error;
    if (error_ == EEXIST) refusal_ = Refusal::kExists;
    return error_;
  }
  return 0;
}

void FileOutput::discard() { file_.Discard(); }

namespace {

// With -c, outputs up to this size are written only once decoded whole.
constexpr size_t kHeldOnConsole = 16 * 1024 * 1024;

// A FILE opened for reading ("-" is standard input, left open).
class Input {
 public:
  explicit Input(const std::string& path)
      : fd_(path == "-" ? 0 : open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~Input() {
    if (fd_ > 0) close(fd_);
  }
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Reads what is left of a stream (padding) to count the compressed size.
uint64_t drain(int fd) {
  uint64_t total = 0;
  uint8_t buffer[64 * 1024];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return total;
    total += static_cast<uint64_t>(got);
  }
}

std::string refusalText(const FileOutput::Refusal refusal, const std::string& target, int error) {
  switch (refusal) {
    case FileOutput::Refusal::kExists:
      return target + " exists; use -f to replace it";
    case FileOutput::Refusal::kNotRegular:
      return "cannot replace " + target + ": not a regular file";
    case FileOutput::Refusal::kIsInput:
      return target + " is the input itself";
    default:
      return "cannot write " + target + ": " + std::strerror(error);
  }
}

FileResult failure(std::string problem) {
  FileResult result;
  result.problem = std::move(problem);
  return result;
}

}  // namespace

FileResult decodeFile(const Job& job, const std::string& path) {
  const bool fromConsole = path == "-";
  const bool beside = !job.toConsole && !job.checkOnly && !job.haveOut;
  Naming naming = Naming::kUnknown;
  if (beside) {
    if (fromConsole) return failure("no name to name the output after; use -o or -c");
    naming = namingOf(path);
    if (naming == Naming::kUnknown)
      return failure("unknown suffix (not .yaz0 or .szs); use -o or -c");
    if (naming == Naming::kNoStem) {
      return failure("nothing before the suffix to name the output after; use -o or -c");
    }
  }

  Input input(path);
  if (input.fd() < 0) return failure(std::string("cannot open: ") + std::strerror(errno));
  struct stat st;
  if (fstat(input.fd(), &st) != 0) return failure(std::string("cannot read: ") + strerror(errno));
  if (S_ISDIR(st.st_mode)) return failure("not Yaz0: a folder");

  std::string target;
  if (job.haveOut) target = job.out;
  if (naming == Naming::kDropSuffix) target = outputName(path, nullptr, 0);
  if (!target.empty()) {
    const auto refusal = checkTarget(target, job.force, st.st_dev, st.st_ino);
    if (refusal != FileOutput::Refusal::kNone) return failure(refusalText(refusal, target, 0));
  }

  FdSource source(input.fd());
  NullSink nothing;
  FdSink console(1);
  HoldingSink held(console, kHeldOnConsole);
  std::unique_ptr<FileOutput> file;
  Sink* sink = &nothing;
  if (job.toConsole) {
    sink = &held;
  } else if (!job.checkOnly) {
    file = std::make_unique<FileOutput>(target, path, job.force, st.st_dev, st.st_ino);
    sink = file.get();
  }

  const Outcome outcome = decode(source, *sink);
  FileResult result;
  result.where = job.toConsole ? "standard output" : "checked";
  if (outcome.problem == Problem::kWriteFailed) {
    if (file) {
      file->discard();
      return failure(refusalText(file->refusal(), file->target(), outcome.error));
    }
    return failure(std::string("cannot write standard output: ") + std::strerror(outcome.error));
  }
  if (!outcome.ok()) return failure(describe(outcome));
  if (file) {
    if (const int error = file->commit(); error != 0) {
      return failure(refusalText(file->refusal(), file->target(), error));
    }
    result.where = file->target();
  } else if (job.toConsole) {
    if (const int error = held.finish(); error != 0) {
      return failure(std::string("cannot write standard output: ") + std::strerror(error));
    }
  }
  result.ok = true;
  result.decoded = outcome.decoded;
  if (job.countCompressed) {
    result.compressed = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size)
                                            : outcome.consumed + drain(input.fd());
  }
  return result;
}

}  // namespace untamp
