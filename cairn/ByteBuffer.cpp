#include "ByteBuffer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "oschar.h"

namespace {

constexpr uint64_t kStep = 4096;
constexpr uint64_t kLargeBlock = uint64_t(64) << 20;

}  // namespace

ByteBuffer::ByteBuffer() : buffer_(nullptr), capacity_(0), logical_size_(0), mapped_(false) {}

ByteBuffer::~ByteBuffer() { Release(); }

void ByteBuffer::Release() {
  if (mapped_)
    munmap(buffer_, static_cast<size_t>(capacity_));
  else
    free(buffer_);
  buffer_ = nullptr;
  mapped_ = false;
  capacity_ = 0;
  logical_size_ = 0;
}

int ByteBuffer::alloc(uint64_t size) {
  if (capacity_ >= size) {
    logical_size_ = size;
    ClearMemory();
    return 0;
  }
  return AllocateMemory(size);
}

int ByteBuffer::AllocateMemory(uint64_t size) {
  if (size > UINT64_MAX - (kStep - 1) || align(size, kStep) > SIZE_MAX) {
    Release();
    return 2;
  }
  const uint64_t capacity = align(size, kStep);
  // The old contents are zero after any alloc anyway, so fresh zeroed
  // storage replaces them instead of being copied over.
  Release();
  if (capacity == 0) {
    logical_size_ = size;
    return 0;
  }
  if (capacity >= kLargeBlock) {
    void* block = mmap(nullptr, static_cast<size_t>(capacity), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return 2;
    buffer_ = static_cast<uint8_t*>(block);
    mapped_ = true;
    // A large image is filled once and then streamed through: huge pages
    // save most of its page faults. Only a hint; ignored where unsupported.
    madvise(block, static_cast<size_t>(capacity), MADV_HUGEPAGE);
  } else {
    buffer_ = static_cast<uint8_t*>(aligned_alloc(kStep, static_cast<size_t>(capacity)));
    if (buffer_ == nullptr) return 2;
    memset(buffer_, 0, static_cast<size_t>(capacity));
  }
  capacity_ = capacity;
  logical_size_ = size;
  return 0;
}

void ByteBuffer::ClearMemory() {
  if (capacity_ != 0) memset(buffer_, 0, static_cast<size_t>(capacity_));
}

int ByteBuffer::OpenFile(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 1;
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0 || lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    return 1;
  }
  const uint64_t length = static_cast<uint64_t>(end);
  if (alloc(length) != 0) {
    close(fd);
    return 2;
  }
  constexpr uint64_t kPiece = 1048576;
  uint64_t done = 0;
  while (done < length) {
    const uint64_t want = length - done < kPiece ? length - done : kPiece;
    const ssize_t got = read(fd, buffer_ + done, static_cast<size_t>(want));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      // A file that yields less than its length is not taken as whole.
      close(fd);
      return 1;
    }
    done += static_cast<uint64_t>(got);
  }
  close(fd);
  return 0;
}
