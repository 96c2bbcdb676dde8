// Names as the games store them (UTF-8 or Shift-JIS bytes) made into text
// and into file names.
#include "names.h"

#include <iconv.h>

#include <optional>

namespace glaze {

namespace {

bool validUtf8(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    const unsigned c = p[i];
    size_t extra;
    unsigned min;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, min = 0x10000;
    } else {
      return false;
    }
    if (i + extra >= n) return false;
    unsigned v = c & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      v = v << 6 | (p[i + k] & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::optional<std::string> fromCodePage932(const std::string& s) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == iconv_t(-1)) return std::nullopt;
  std::string out(s.size() * 4 + 4, '\0');
  char* in = const_cast<char*>(s.data());
  size_t inLeft = s.size();
  char* to = out.data();
  size_t outLeft = out.size();
  const size_t r = iconv(cd, &in, &inLeft, &to, &outLeft);
  iconv_close(cd);
  if (r == size_t(-1) || inLeft != 0) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

void appendEscaped(std::string& out, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

}  // namespace

std::string displayName(const std::string& raw) {
  std::string text;
  if (validUtf8(raw)) {
    text = raw;
  } else if (auto converted = fromCodePage932(raw)) {
    text = *converted;
  } else {
    // Valid UTF-8 sequences stay; every other byte is escaped.
    for (size_t i = 0; i < raw.size();) {
      size_t length = 1;
      const auto c = static_cast<unsigned char>(raw[i]);
      if (c >= 0xC0) {
        length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (i + length > raw.size() || !validUtf8(raw.substr(i, length))) length = 0;
      } else if (c >= 0x80) {
        length = 0;
      }
      if (length == 0) {
        appendEscaped(text, c);
        ++i;
      } else {
        text.append(raw, i, length);
        i += length;
      }
    }
  }
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F)
      appendEscaped(out, c);
    else
      out += ch;
  }
  return out;
}

std::string fileNameOf(const std::string& raw) {
  std::string name = displayName(raw);
  for (char& c : name)
    if (c == '/') c = '_';
  if (name.empty()) return "_";
  if (name[0] == '.') name[0] = '_';
  return name;
}

std::string describeTexture(size_t index, const std::string& raw) {
  return "texture " + std::to_string(index) + " (" + displayName(raw) + ")";
}

std::string inWords(const std::vector<std::string>& items, const std::string& last) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += i + 1 == items.size() ? " " + last + " " : ", ";
    text += items[i];
  }
  return text;
}

}  // namespace glaze
