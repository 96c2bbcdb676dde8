// The archive being read: a plain file read piece by piece where it lies,
// or a wrapped one (Yaz0 or LZ77) decoded whole into memory. The format is
// recognised by content, never by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "messages.h"

namespace sheaf {

enum class Format { kSarc, kRarc, kU8, kNarc, kNds };
enum class Wrapper { kNone, kYaz0, kLz77 };

struct WrapperInfo {
  Wrapper kind = Wrapper::kNone;
  uint32_t yaz0_alignment = 0;  // the header's words after the decoded size
  uint32_t yaz0_reserved = 0;
  bool lz77_extended = false;  // the size in a u32 after a zero 24-bit field
  uint64_t stream_size = 0;    // bytes of the stream used, header included
  uint64_t file_size = 0;      // the wrapped file's length (padding may follow the stream)
};

class Input {
 public:
  Input() = default;
  ~Input();
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // Opens path and recognises it, decoding a wrapper. False (reported) when
  // it cannot be read or is no archive that sheaf knows.
  bool Open(const std::string& path, Messages& messages);
  // The same for bytes in memory, which must outlive the object; name is
  // the file name they stand for, when the format may go by it.
  bool OpenMemory(const uint8_t* data, size_t size, Messages& messages,
                  const std::string& name = "");

  Format format() const { return format_; }
  const WrapperInfo& wrapper() const { return wrapper_; }
  // Of the archive itself (decoded, when wrapped).
  uint64_t size() const { return size_; }

  // Reads size bytes at offset. False when they cannot be read (reported
  // once; later reads fail silently).
  bool Read(uint64_t offset, void* out, size_t size);
  // The whole archive when it is in memory, else null.
  const uint8_t* memory() const { return memory_; }
  // The open file of a plain archive, else -1.
  int fd() const { return memory_ == nullptr ? fd_ : -1; }
  // Reports a failed read of the archive (by the extraction's copying).
  void ReadFailed(int error);

 private:
  bool Recognize(const uint8_t* wrapped, uint64_t wrapped_size, const std::string& name);
  // The format of a file starting with head, by magic or (by_content) by
  // the units that go by content.
  bool Known(const uint8_t* head, size_t size, uint64_t file_size, const std::string& name,
             bool by_content);
  bool DecodeYaz0(const uint8_t* head, size_t head_size, const uint8_t* wrapped,
                  uint64_t wrapped_size);
  bool DecodeLz77(const uint8_t* head, size_t head_size, const uint8_t* wrapped,
                  uint64_t wrapped_size);
  bool Decoded(const char* wrapper_name);

  Messages* messages_ = nullptr;
  int fd_ = -1;
  const uint8_t* memory_ = nullptr;
  std::unique_ptr<uint8_t[]> decoded_;
  uint64_t size_ = 0;
  Format format_ = Format::kSarc;
  WrapperInfo wrapper_;
  bool read_failed_ = false;
};

}  // namespace sheaf
