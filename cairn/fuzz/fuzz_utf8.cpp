// Checks the UTF-8 to UTF-16 conversion of entry names against a decoder
// written differently: by lead-byte class, then by the value's range.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "oschar.h"

namespace {

// Every byte that does not start a valid character gives U+FFFD and the
// decoding goes on at the next byte. Encoded surrogates are taken as values.
std::u16string Reference(const std::string& text, bool& valid) {
  static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  std::u16string out;
  valid = true;
  size_t i = 0;
  while (i < text.size()) {
    const uint8_t lead = static_cast<uint8_t>(text[i]);
    size_t n = 0;
    uint32_t cp = 0;
    if (lead < 0x80) {
      n = 1, cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      n = 2, cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      n = 3, cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      n = 4, cp = lead & 0x07;
    }
    bool ok = n != 0 && i + n <= text.size();
    for (size_t k = 1; ok && k < n; ++k) {
      const uint8_t c = static_cast<uint8_t>(text[i + k]);
      ok = (c & 0xC0) == 0x80;
      cp = cp << 6 | (c & 0x3F);
    }
    ok = ok && cp >= kMin[n] && cp <= 0x10FFFF;
    if (!ok) {
      out += char16_t(0xFFFD);
      valid = false;
      i += 1;
      continue;
    }
    if (cp >= 0x10000) {
      out += char16_t(0xD800 | ((cp - 0x10000) >> 10));
      out += char16_t(0xDC00 | ((cp - 0x10000) & 0x3FF));
    } else {
      out += char16_t(cp);
    }
    i += n;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Names end at the first NUL byte.
  const std::string text(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));
  char16_t* converted = strcopy_UTF8toUTF16(text.c_str());
  if (converted == nullptr) abort();
  const std::u16string got(converted, utf16_strlen(converted));
  free(converted);

  bool valid = false;
  const std::u16string want = Reference(text, valid);
  if (got != want) abort();
  if (got.size() > text.size()) abort();
  if (utf8_is_valid(text.c_str()) != valid) abort();
  return 0;
}
