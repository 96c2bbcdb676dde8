// libFuzzer harness of the identifier rules: any identifier text, and any
// sequence of list positions (in or out of range) chosen in any order, as a
// user clicking through the four lists would. The identifier must always be
// the one that the last valid choice of each list composes: type in bits
// 0-4, basic effect in 5-7 (cleared by a new type), shadow in 8-11, special
// property in 12-15.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "flagwright.h"

namespace {

int digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

[[noreturn]] void fail(const std::string& what, const std::string& got, unsigned expected) {
  std::fprintf(stderr, "%s: got \"%s\", expected %04X\n", what.c_str(), got.c_str(), expected);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first bytes may start from any text at all (the field is only ever
  // written by the rules, but they must not trust it): a text of another
  // length comes back unchanged.
  const size_t text_length = data[0] % 8;
  if (size < 1 + text_length) return 0;
  std::string id(reinterpret_cast<const char*>(data + 1), text_length);
  data += 1 + text_length;
  size -= 1 + text_length;
  if (id.size() != 4) {
    const std::string before = id;
    for (int position : {0, 3, 31}) {
      if (idtype(id, position) != before || ideffect(id, position) != before ||
          idshadow(id, position) != before || idspecial(id, position) != before) {
        fail("a text that is not four characters long changed", before, 0);
      }
    }
    return 0;
  }
  // Start from a valid identifier so that the model knows every field.
  id = "0000";
  unsigned expected = 0;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const int position = static_cast<int8_t>(data[i + 1]);  // out of range too
    switch (data[i] % 4) {
      case 0:
        id = idtype(id, position);
        if (position >= 0 && position <= 0x1F) expected = (expected & 0xFF00) | position;
        break;
      case 1:
        id = ideffect(id, position);
        if (position >= 0 && position <= 7) expected = (expected & 0xFF1F) | position << 5;
        break;
      case 2:
        id = idshadow(id, position);
        if (position >= 0 && position <= 15) expected = (expected & 0xF0FF) | position << 8;
        break;
      case 3:
        id = idspecial(id, position);
        if (position >= 0 && position <= 15) expected = (expected & 0x0FFF) | position << 12;
        break;
    }
    unsigned shown = 0;
    for (char c : id) {
      const int v = digit(c);
      if (v < 0 || (c >= 'a' && c <= 'f'))
        fail("not four uppercase hexadecimal digits", id, expected);
      shown = shown << 4 | static_cast<unsigned>(v);
    }
    if (id.size() != 4 || shown != expected) fail("the identifier", id, expected);
  }
  return 0;
}
