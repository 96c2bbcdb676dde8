#include "mapped.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace sheaf {

namespace {

constexpr uint64_t kWindow = 8 << 20;
constexpr uint64_t kLeast = 64 << 10;

uint64_t PageSize() {
  static const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return page;
}

}  // namespace

bool WorthMapping(uint64_t offset, uint64_t written, uint64_t size) {
  return size >= kLeast && offset % PageSize() != written % PageSize();
}

int WriteMapped(int in_fd, uint64_t offset, uint64_t size, int out_fd) {
  const uint64_t page = PageSize();
  for (uint64_t done = 0; done < size;) {
    const uint64_t at = offset + done, lead = at % page;
    const uint64_t piece = std::min(size - done, kWindow);
    void* map = mmap(nullptr, static_cast<size_t>(lead + piece), PROT_READ,
                     MAP_PRIVATE | MAP_POPULATE, in_fd, static_cast<off_t>(at - lead));
    if (map == MAP_FAILED) return done == 0 ? -1 : errno;
    const auto* data = static_cast<const uint8_t*>(map) + lead;
    int error = 0;
    for (uint64_t put = 0; put < piece && error == 0;) {
      const ssize_t n = write(out_fd, data + put, static_cast<size_t>(piece - put));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? errno : ENOSPC;
      } else {
        put += static_cast<uint64_t>(n);
      }
    }
    munmap(map, static_cast<size_t>(lead + piece));
    if (error != 0) return error;
    done += piece;
  }
  return 0;
}

}  // namespace sheaf
