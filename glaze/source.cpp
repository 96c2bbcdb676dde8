#include "source.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace glaze {

bool FileSource::read(uint64_t offset, void* out, size_t n) const {
  size_t done = 0;
  while (done < n) {
    const ssize_t got = pread(fd_, static_cast<char*>(out) + done, n - done, off_t(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) {
      // The file shrank under us.
      errno = EIO;
      return false;
    }
    done += size_t(got);
  }
  return true;
}

bool MemorySource::read(uint64_t offset, void* out, size_t n) const {
  if (offset > size_ || n > size_ - offset) {
    errno = EIO;
    return false;
  }
  if (n > 0) std::memcpy(out, data_ + offset, n);
  return true;
}

}  // namespace glaze
