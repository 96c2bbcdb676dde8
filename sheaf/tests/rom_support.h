// What the DS ROM tests share: the ROM writer's conventions, and reading
// and patching a ROM's header, allocation table and names in place.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

#include "rom_writer.h"
#include "support.h"

namespace rom_test {

using romwriter::Bytes;

inline uint32_t U32(const Bytes& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}
inline uint16_t U16(const Bytes& b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
inline void Set32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Set16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// FAT entry id: its start and end.
inline std::pair<uint32_t, uint32_t> Fat(const Bytes& rom, uint32_t id) {
  const uint32_t at = U32(rom, 0x48) + 8 * id;
  return {U32(rom, at), U32(rom, at + 4)};
}
inline Bytes FileData(const Bytes& rom, uint32_t id) {
  const auto [start, end] = Fat(rom, id);
  return Bytes(rom.begin() + start, rom.begin() + end);
}

// Where the name table record of name lies (its type byte).
inline size_t NameRecord(const Bytes& rom, const std::string& name) {
  const uint32_t fnt = U32(rom, 0x40), end = fnt + U32(rom, 0x44);
  for (size_t at = fnt; at + 1 + name.size() <= end; ++at) {
    if ((rom[at] & 0x7F) == name.size() &&
        std::equal(name.begin(), name.end(), rom.begin() + static_cast<std::ptrdiff_t>(at + 1))) {
      return at;
    }
  }
  throw std::runtime_error("no name " + name + " in the name table");
}

inline void FixHeaderCrc(Bytes& rom) { Set16(rom, 0x15E, romwriter::Crc16(rom.data(), 0x15E)); }

// The named conventions of the tool chains; patch edits what the writer
// made, for what a tool did to a ROM afterwards.
struct Convention {
  std::string name;
  romwriter::Style style;
  romwriter::Content content;
  std::function<void(Bytes&)> patch = nullptr;
  Bytes Write() const {
    Bytes rom = romwriter::WriteRom(content, style);
    if (patch) patch(rom);
    return rom;
  }
};

inline romwriter::Style Styled(romwriter::Chain chain) {
  romwriter::Style s;
  s.chain = chain;
  return s;
}

}  // namespace rom_test
