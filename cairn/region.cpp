#include "region.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "reader_crypto.h"

namespace uncairn {

bool InputFile::Open(int fd, const std::string& name, const Report& report) {
  fd_ = fd;
  name_ = name;
  report_ = report;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    Problem(std::string("cannot read the image: ") + strerror(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    Problem("not a regular file");
    return false;
  }
  size_ = static_cast<uint64_t>(st.st_size);
  if (S_ISBLK(st.st_mode)) {
    const off_t end = lseek(fd, 0, SEEK_END);
    size_ = end < 0 ? 0 : static_cast<uint64_t>(end);
  }
  return true;
}

void InputFile::Problem(const std::string& text) const { report_(name_ + ": " + text); }

bool InputFile::Read(uint64_t offset, uint8_t* dst, size_t size) const {
  while (size > 0) {
    const ssize_t n = pread(fd_, dst, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      Problem(std::string("cannot read the image: ") + strerror(errno));
      return false;
    }
    if (n == 0) {
      Problem("cannot read the image: it ended early (was it changed while read?)");
      return false;
    }
    dst += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

Region Region::Encrypted(const uint8_t counter[16]) const {
  Region region = *this;
  region.cipher_ = std::make_shared<ZeroKeyCtr>();
  memcpy(region.counter_, counter, sizeof(region.counter_));
  region.stream_start_ = 0;
  return region;
}

Region Region::Part(uint64_t at, uint64_t size) const {
  Region region = *this;
  region.offset_ = offset_ + at;
  region.size_ = size;
  region.stream_start_ = stream_start_ + at;
  return region;
}

bool Region::Read(uint64_t at, uint8_t* dst, size_t size) const {
  // The readers keep inside their regions; this keeps a fault of theirs
  // from reading another region's bytes.
  if (at > size_ || size > size_ - at) {
    file_->Problem("cannot read the image: a read past the end of its region");
    return false;
  }
  if (!file_->Read(offset_ + at, dst, size)) return false;
  if (cipher_) cipher_->Apply(counter_, stream_start_ + at, dst, size);
  return true;
}

bool Region::Digest(uint64_t size, uint8_t out[32]) const {
  size = std::min(size, size_);
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(size, kReadPiece)));
  Sha256 sha;
  sha.Begin();
  for (uint64_t at = 0; at < size;) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - at));
    if (!Read(at, buffer.data(), piece)) return false;
    sha.Add(buffer.data(), piece);
    at += piece;
  }
  sha.Finish(out);
  return true;
}

std::string Hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace uncairn
