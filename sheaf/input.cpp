#include "input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "bytes.h"
#include "formats.h"
#include "lz77.h"
#include "untamp.h"

namespace sheaf {

namespace {

constexpr size_t kYaz0Header = 16;

// What a Yaz0 stream of size bytes can decode to at most: each group is a
// code byte and eight three-byte chunks of 0x111 bytes each.
uint64_t Yaz0MostDecoded(uint64_t size) { return (size / 25 + 1) * 8 * 0x111; }

std::string HexBytes(const uint8_t* p, size_t n) {
  std::string text;
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) text += ' ';
    text += kDigits[p[i] >> 4];
    text += kDigits[p[i] & 15];
  }
  return text;
}

// Writes the decoded stream into a buffer of the declared size.
class BufferSink : public untamp::Sink {
 public:
  BufferSink(uint8_t* out, uint64_t size) : out_(out), size_(size) {}
  int write(const uint8_t* data, size_t size) override {
    if (size > size_ - done_) return EFBIG;
    memcpy(out_ + done_, data, size);
    done_ += size;
    return 0;
  }

 private:
  uint8_t* out_;
  uint64_t size_;
  uint64_t done_ = 0;
};

}  // namespace

Input::~Input() {
  if (fd_ >= 0) close(fd_);
}

void Input::ReadFailed(int error) {
  if (read_failed_) return;
  read_failed_ = true;
  messages_->Problem(error == 0 ? std::string("cannot read the archive: it is shorter than before")
                                : std::string("cannot read the archive: ") + strerror(error));
}

bool Input::Read(uint64_t offset, void* out, size_t size) {
  if (size == 0) return true;
  if (offset > size_ || size > size_ - offset) {
    ReadFailed(0);
    return false;
  }
  if (memory_ != nullptr) {
    memcpy(out, memory_ + offset, size);
    return true;
  }
  auto* p = static_cast<uint8_t*>(out);
  while (size > 0) {
    const ssize_t n = pread(fd_, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ReadFailed(n < 0 ? errno : 0);
      return false;
    }
    p += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool Input::Open(const std::string& path, Messages& messages) {
  messages_ = &messages;
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    messages.Problem(std::string("cannot open: ") + strerror(errno));
    return false;
  }
  struct stat st;
  if (fstat(fd_, &st) != 0) {
    messages.Problem(std::string("cannot read the archive: ") + strerror(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    messages.Problem(S_ISDIR(st.st_mode) ? "it is a folder, not an archive" : "not a regular file");
    return false;
  }
  size_ = static_cast<uint64_t>(st.st_size);
  posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  return Recognize(nullptr, size_, path);
}

bool Input::OpenMemory(const uint8_t* data, size_t size, Messages& messages,
                       const std::string& name) {
  messages_ = &messages;
  memory_ = data;
  size_ = size;
  return Recognize(data, size, name);
}

bool Input::Known(const uint8_t* head, size_t size, uint64_t file_size, const std::string& name,
                  bool by_content) {
  for (const FormatUnit& unit : FormatUnits()) {
    if (unit.by_content == by_content && unit.recognize(head, size, file_size, name)) {
      format_ = unit.format;
      return true;
    }
  }
  return false;
}

bool Input::Recognize(const uint8_t* wrapped, uint64_t wrapped_size, const std::string& name) {
  uint8_t head[kRecognitionHead] = {};
  const size_t head_size = static_cast<size_t>(std::min<uint64_t>(sizeof head, wrapped_size));
  if (head_size == 0) {
    messages_->Problem("empty file: not an archive");
    return false;
  }
  if (!Read(0, head, head_size)) return false;
  if (Known(head, head_size, wrapped_size, name, false)) return true;
  wrapper_.file_size = wrapped_size;
  if (head_size >= 4 && memcmp(head, "Yaz0", 4) == 0) {
    return DecodeYaz0(head, head_size, wrapped, wrapped_size);
  }
  if (Known(head, head_size, wrapped_size, name, true)) return true;
  if (head[0] == kLz77Type) return DecodeLz77(head, head_size, wrapped, wrapped_size);
  messages_->Problem("not an archive that sheaf knows: it starts with " +
                     HexBytes(head, std::min<size_t>(head_size, 4)) + " (" + FormatNames() +
                     ", plain or in Yaz0 or LZ77)");
  return false;
}

bool Input::Decoded(const char* wrapper_name) {
  memory_ = decoded_.get();
  if (size_ == 0) {
    messages_->Problem(std::string("the ") + wrapper_name + " data is empty: no archive in it");
    return false;
  }
  const auto head_size = static_cast<size_t>(std::min<uint64_t>(size_, kRecognitionHead));
  if (Known(memory_, head_size, size_, "", false) || Known(memory_, head_size, size_, "", true)) {
    return true;
  }
  messages_->Problem(std::string("the ") + wrapper_name +
                     " data does not hold an archive that sheaf knows: it starts with " +
                     HexBytes(memory_, static_cast<size_t>(std::min<uint64_t>(size_, 4))));
  return false;
}

bool Input::DecodeYaz0(const uint8_t* head, size_t head_size, const uint8_t* wrapped,
                       uint64_t wrapped_size) {
  wrapper_.kind = Wrapper::kYaz0;
  if (head_size < kYaz0Header) {
    messages_->Problem("damaged Yaz0 wrapper: " + std::to_string(wrapped_size) +
                       " bytes, shorter than its 16-byte header");
    return false;
  }
  const uint64_t declared = kBig.U32(head + 4);
  wrapper_.yaz0_alignment = kBig.U32(head + 8);
  wrapper_.yaz0_reserved = kBig.U32(head + 12);
  if (declared > Yaz0MostDecoded(wrapped_size - kYaz0Header)) {
    messages_->Problem("damaged Yaz0 wrapper: it claims " + std::to_string(declared) +
                       " decoded bytes, more than its " + std::to_string(wrapped_size) +
                       " bytes can hold");
    return false;
  }
  decoded_.reset(new (std::nothrow) uint8_t[declared == 0 ? 1 : declared]);
  if (!decoded_) {
    messages_->Problem("out of memory: the decoded archive needs " + std::to_string(declared) +
                       " bytes");
    return false;
  }
  size_ = declared;
  BufferSink sink(decoded_.get(), declared);
  untamp::Outcome outcome;
  if (wrapped != nullptr) {
    untamp::MemorySource source(wrapped, static_cast<size_t>(wrapped_size));
    outcome = untamp::decode(source, sink);
  } else {
    lseek(fd_, 0, SEEK_SET);
    untamp::FdSource source(fd_);
    outcome = untamp::decode(source, sink);
  }
  if (!outcome.ok()) {
    messages_->Problem("damaged Yaz0 wrapper: " + untamp::describe(outcome));
    return false;
  }
  wrapper_.stream_size = outcome.consumed;
  return Decoded("Yaz0");
}

bool Input::DecodeLz77(const uint8_t* head, size_t head_size, const uint8_t* wrapped,
                       uint64_t wrapped_size) {
  wrapper_.kind = Wrapper::kLz77;
  Lz77Header header;
  if (!ParseLz77Header(head, head_size, &header)) {
    messages_->Problem("not an archive that sheaf knows: it starts with " +
                       HexBytes(head, head_size) + ", too short for an LZ77 header");
    return false;
  }
  wrapper_.lz77_extended = header.extended;
  if (header.decoded_size > Lz77MostDecoded(wrapped_size)) {
    messages_->Problem("not an archive that sheaf knows: it starts with 0x10 like LZ77 data, but " +
                       std::to_string(wrapped_size) + " bytes cannot hold the " +
                       std::to_string(header.decoded_size) + " decoded bytes it claims");
    return false;
  }
  decoded_.reset(new (std::nothrow) uint8_t[header.decoded_size == 0 ? 1 : header.decoded_size]);
  if (!decoded_) {
    messages_->Problem("out of memory: the decoded archive needs " +
                       std::to_string(header.decoded_size) + " bytes");
    return false;
  }
  size_ = header.decoded_size;
  Lz77Outcome outcome;
  if (wrapped != nullptr) {
    untamp::MemorySource source(wrapped, static_cast<size_t>(wrapped_size));
    outcome = sheaf::DecodeLz77(source, header, decoded_.get());
  } else {
    lseek(fd_, 0, SEEK_SET);
    untamp::FdSource source(fd_);
    outcome = sheaf::DecodeLz77(source, header, decoded_.get());
  }
  if (!outcome.ok) {
    messages_->Problem("damaged LZ77 wrapper: " + outcome.problem);
    return false;
  }
  wrapper_.stream_size = outcome.consumed;
  return Decoded("LZ77");
}

}  // namespace sheaf
