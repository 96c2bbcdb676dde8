// An owned, zero-filled block of bytes whose storage grows in 4096-byte
// steps. The image and the hash levels are assembled in it.
#pragma once

#include <cstdint>
#include <cstring>

class ByteBuffer {
 public:
  ByteBuffer();
  ~ByteBuffer();
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  // Prepares the buffer to hold size bytes, all zero. Returns 0, or 2 when
  // the storage cannot be obtained (the buffer is then left empty).
  int alloc(uint64_t size);
  // Replaces the storage by align(size, 4096) zero bytes. Returns 0, or 2
  // when the storage cannot be obtained.
  int AllocateMemory(uint64_t size);
  // Sets every byte of the storage to 0.
  void ClearMemory();
  // Reads a whole file into the buffer. Returns 0 on success, 1 when the
  // file cannot be opened, measured or read in full, 2 when alloc fails.
  int OpenFile(const char* path);

  uint8_t* data() { return buffer_; }
  const uint8_t* data_const() const { return buffer_; }
  uint64_t size() const { return logical_size_; }
  uint64_t capacity() const { return capacity_; }

 private:
  void Release();

  // The storage starts on a 4096-byte boundary, so that it can be written
  // to a file without going through the page cache. Large blocks are
  // mapped fresh zero pages that are not touched before they are used: an
  // image is never written twice to be zero-filled.
  uint8_t* buffer_;
  uint64_t capacity_;
  uint64_t logical_size_;
  bool mapped_;
};

// Little-endian stores and loads for records laid over a byte buffer.
inline void put_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_le64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t get_le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t get_le64(const uint8_t* p) {
  return uint64_t(get_le32(p)) | (uint64_t(get_le32(p + 4)) << 32);
}
