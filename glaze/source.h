// Where a file's bytes come from: the file itself, read only where needed,
// or memory (the fuzz harnesses).
#pragma once

#include <cstddef>
#include <cstdint>

namespace glaze {

class Source {
 public:
  virtual ~Source() = default;
  virtual uint64_t size() const = 0;
  // Reads n bytes at offset (offset + n <= size()); false with errno set
  // when the read fails.
  virtual bool read(uint64_t offset, void* out, size_t n) const = 0;
};

class FileSource : public Source {
 public:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* out, size_t n) const override;

 private:
  int fd_;
  uint64_t size_;
};

class MemorySource : public Source {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* out, size_t n) const override;

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace glaze
