#include "oschar.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kInvalid = static_cast<size_t>(-1);

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Decodes one UTF-8 character at str. Returns its byte count (1 to 4) and
// stores the code point, or returns kInvalid and stores nothing. Bytes are
// examined in order and the first bad one stops the examination, so a NUL
// terminator is never read past.
size_t decode_utf8(uint32_t* code_point, const char* str) {
  const auto* s = reinterpret_cast<const unsigned char*>(str);
  const unsigned char c0 = s[0];
  if (c0 < 0x80) {
    *code_point = c0;
    return 1;
  }
  if (c0 < 0xC2) return kInvalid;  // continuation byte or overlong lead
  if (c0 < 0xE0) {
    if (!is_continuation(s[1])) return kInvalid;
    *code_point = (uint32_t(c0 & 0x1F) << 6) | (s[1] & 0x3F);
    return 2;
  }
  if (c0 < 0xF0) {
    if (!is_continuation(s[1])) return kInvalid;
    if (c0 == 0xE0 && s[1] < 0xA0) return kInvalid;  // overlong
    if (!is_continuation(s[2])) return kInvalid;
    *code_point = (uint32_t(c0 & 0x0F) << 12) | (uint32_t(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
    return 3;
  }
  if (c0 < 0xF5) {
    if (!is_continuation(s[1])) return kInvalid;
    if (c0 == 0xF0 && s[1] < 0x90) return kInvalid;  // overlong
    if (c0 == 0xF4 && s[1] > 0x8F) return kInvalid;  // above U+10FFFF
    if (!is_continuation(s[2]) || !is_continuation(s[3])) return kInvalid;
    *code_point = (uint32_t(c0 & 0x07) << 18) | (uint32_t(s[1] & 0x3F) << 12) |
                  (uint32_t(s[2] & 0x3F) << 6) | (s[3] & 0x3F);
    return 4;
  }
  return kInvalid;
}

}  // namespace

uint32_t utf16_strlen(const char16_t* str) {
  uint32_t n = 0;
  while (str[n] != 0) ++n;
  return n;
}

char* strcopy_8to8(const char* src) {
  if (src == nullptr) return nullptr;
  const size_t len = strlen(src);
  auto* dst = static_cast<char*>(calloc(len + 1, 1));
  if (dst == nullptr) return nullptr;
  memcpy(dst, src, len);
  return dst;
}

char16_t* strcopy_16to16(const char16_t* src) {
  if (src == nullptr) return nullptr;
  const size_t len = utf16_strlen(src);
  auto* dst = static_cast<char16_t*>(calloc(len + 1, sizeof(char16_t)));
  if (dst == nullptr) return nullptr;
  for (size_t i = 0; i < len; ++i) dst[i] = src[i];
  return dst;
}

char16_t* strcopy_8to16(const char* src) {
  if (src == nullptr) return nullptr;
  const size_t len = strlen(src);
  auto* dst = static_cast<char16_t*>(calloc(len + 1, sizeof(char16_t)));
  if (dst == nullptr) return nullptr;
  for (size_t i = 0; i < len; ++i) dst[i] = static_cast<unsigned char>(src[i]);
  return dst;
}

char16_t* strcopy_UTF8toUTF16(const char* src) {
  // Every byte yields at most one unit (a four-byte character yields two),
  // so the byte count bounds the unit count and one block suffices.
  const size_t len = strlen(src);
  auto* dst = static_cast<char16_t*>(calloc(len + 1, sizeof(char16_t)));
  if (dst == nullptr) return nullptr;
  size_t units = 0;
  const char* pos = src;
  for (;;) {
    uint32_t cp = 0;
    const size_t n = decode_utf8(&cp, pos);
    if (n == kInvalid) {
      dst[units++] = 0xFFFD;
      pos += 1;
      continue;
    }
    if (cp == 0) break;
    if (cp <= 0xFFFF) {
      dst[units++] = static_cast<char16_t>(cp);
    } else {
      cp -= 0x10000;
      dst[units++] = static_cast<char16_t>(0xD800 + (cp >> 10));
      dst[units++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
    pos += n;
  }
  return dst;
}

bool utf8_is_valid(const char* src) {
  const char* pos = src;
  for (;;) {
    uint32_t cp = 0;
    const size_t n = decode_utf8(&cp, pos);
    if (n == kInvalid) return false;
    if (cp == 0) return true;
    pos += n;
  }
}

std::string utf16_to_utf8(const char16_t* units, size_t count) {
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    uint32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

char* os_AppendToPath(const char* dir, const char* name) {
  const size_t size = strlen(dir) + strlen(name) + 16;
  auto* path = static_cast<char*>(calloc(size, 1));
  if (path == nullptr) return nullptr;
  snprintf(path, size, "%s%c%s", dir, '/', name);
  return path;
}

uint64_t os_fsize(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

int os_fstat(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? 0 : -1;
}

int os_makedir(const char* path) { return mkdir(path, 0777); }

uint64_t align(uint64_t value, uint64_t alignment) {
  if (alignment == 0) return value;  // no multiple to round to
  const uint64_t rem = value % alignment;
  return rem == 0 ? value : value - rem + alignment;
}
