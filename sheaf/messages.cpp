#include "messages.h"

#include "bytes.h"

namespace sheaf {

namespace {

// The length of the UTF-8 character starting at p (at most n bytes), or 0
// when it is not one.
size_t Utf8Length(const unsigned char* p, size_t n) {
  size_t length;
  uint32_t c;
  if (p[0] < 0x80) return 1;
  if ((p[0] & 0xE0) == 0xC0) {
    length = 2;
    c = p[0] & 0x1F;
  } else if ((p[0] & 0xF0) == 0xE0) {
    length = 3;
    c = p[0] & 0x0F;
  } else if ((p[0] & 0xF8) == 0xF0) {
    length = 4;
    c = p[0] & 0x07;
  } else {
    return 0;
  }
  if (length > n) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    c = c << 6 | (p[i] & 0x3F);
  }
  static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kSmallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string Quote(std::string_view name) {
  std::string out = "\"";
  const auto* p = reinterpret_cast<const unsigned char*>(name.data());
  size_t i = 0;
  while (i < name.size()) {
    const size_t length = Utf8Length(p + i, name.size() - i);
    if (length > 1) {
      out.append(name.substr(i, length));
      i += length;
      continue;
    }
    const unsigned char c = p[i++];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      static const char kDigits[] = "0123456789abcdef";
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

void Messages::Print(const std::string& text) {
  if (out_ == nullptr) return;
  const std::string line = "sheaf: " + (name_.empty() ? "" : name_ + ": ") + text + "\n";
  fputs(line.c_str(), out_);
  fflush(out_);
}

void Messages::Problem(const std::string& text) {
  ++problems_;
  Print(text);
}

void Messages::Warning(const std::string& text) {
  ++warnings_;
  Print("warning: " + text);
}

}  // namespace sheaf
