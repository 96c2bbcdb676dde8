// Where the bytes that uncairn reads lie, and how to read them: the input
// file, read with pread, and regions of it (a RomFS, an exheader, an ExeFS,
// a content), read as they lie or, in a fixed-key NCCH, decrypted with the
// all-zero key as they stream. Everything above this (the IVFC reader, the
// containers) reads through a Region, so a bare image and the RomFS inside
// a card dump are read alike.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace uncairn {

// Receives one line per problem, without the program's name in front.
using Report = std::function<void(const std::string&)>;

class ZeroKeyCtr;

class InputFile {
 public:
  // Takes the open file (not closed here). False, with the problem
  // reported, when it is not a file that can be read. name is how messages
  // call it.
  bool Open(int fd, const std::string& name, const Report& report);

  const std::string& name() const { return name_; }
  const Report& report() const { return report_; }
  uint64_t size() const { return size_; }
  // Reports "NAME: text".
  void Problem(const std::string& text) const;
  // Reads exactly size bytes at offset. False (reported) on an error or an
  // early end.
  bool Read(uint64_t offset, uint8_t* dst, size_t size) const;

 private:
  int fd_ = -1;
  std::string name_;
  Report report_;
  uint64_t size_ = 0;
};

class Region {
 public:
  Region() = default;
  // size bytes at offset of the file, which the caller has checked lie in it.
  Region(const InputFile& file, uint64_t offset, uint64_t size)
      : file_(&file), offset_(offset), size_(size) {}

  // The same bytes encrypted under the all-zero key: counter is the
  // region's initial counter.
  Region Encrypted(const uint8_t counter[16]) const;
  // size bytes at at of this region (which must hold them), read the same
  // way: an encrypted part goes on with the region's keystream.
  Region Part(uint64_t at, uint64_t size) const;

  const InputFile& file() const { return *file_; }
  uint64_t offset() const { return offset_; }  // in the file
  uint64_t size() const { return size_; }
  bool encrypted() const { return cipher_ != nullptr; }

  // Reads size bytes at at of the region, decrypted; at + size must not
  // pass its end. False (reported) on a read error.
  bool Read(uint64_t at, uint8_t* dst, size_t size) const;
  // SHA-256 of the region's first size bytes (at most its size), read in
  // pieces. False (reported) on a read error.
  bool Digest(uint64_t size, uint8_t out[32]) const;

 private:
  const InputFile* file_ = nullptr;
  uint64_t offset_ = 0;
  uint64_t size_ = 0;
  // For an encrypted region: its cipher, initial counter, and where its
  // first byte lies in that keystream.
  std::shared_ptr<ZeroKeyCtr> cipher_;
  uint8_t counter_[16] = {};
  uint64_t stream_start_ = 0;
};

// Pieces of this size are read at a time: small enough to stay in the
// processor's nearest caches between the read, the decryption and the
// digest. Larger reads cost far more system time, as the kernel's copy to
// a buffer that has left those caches is slow on machines such as the
// development machine.
constexpr size_t kReadPiece = 64 << 10;

// "0x1f000", as -i and the containers' messages show numbers.
std::string Hex(uint64_t value);

}  // namespace uncairn
