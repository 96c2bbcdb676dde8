// The three games' encodings: byte order, numbers, header values and the
// identifier's place in the 16 bits.
#include <bit>
#include <cmath>
#include <cstdio>

#include "format.h"

namespace kiln {

namespace {

const GameInfo kGames[] = {
    {"MK7", "mk7", false, false, 30.0, 25.0, 0x3C, true},
    {"MKDS", "mkds", false, true, 30.0, 25.0, 0x3C, true},
    {"MKWii", "mkwii", true, false, 300.0, 250.0, 0x3C, true},
    {"SMG", "smg", true, false, 300.0, 250.0, 0x38, false},
};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string withCommas(uint64_t value) {
  std::string digits = std::to_string(value), text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

const GameInfo& infoOf(Game game) { return kGames[static_cast<int>(game)]; }

std::optional<Game> gameNamed(std::string_view option) {
  for (Game game : {Game::kMk7, Game::kMkds, Game::kMkwii, Game::kSmg}) {
    if (option == infoOf(game).option) return game;
  }
  return std::nullopt;
}

uint16_t storedIdentifier(Game game, uint16_t shown) {
  if (game != Game::kMkds) return shown;
  // The same exchange of bits 0-4 and 8-12 turns either form into the other.
  return static_cast<uint16_t>((shown & 0xE0E0) | ((shown & 0x001F) << 8) |
                               ((shown >> 8) & 0x001F));
}

uint16_t shownIdentifier(Game game, uint16_t stored) { return storedIdentifier(game, stored); }

std::string identifierText(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

std::optional<uint16_t> parseIdentifier(std::string_view text) {
  if (text.size() == 6 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text.remove_prefix(2);
  if (text.size() != 4) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    const int digit = hexValue(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return static_cast<uint16_t>(value);
}

std::optional<uint16_t> identifierInName(std::string_view name) {
  std::optional<uint16_t> found;
  size_t i = 0;
  while (i < name.size()) {
    if (hexValue(name[i]) < 0) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < name.size() && hexValue(name[end]) >= 0) ++end;
    const bool alone = i == 0 || name[i - 1] == '_' ||
                       (i >= 2 && (name[i - 1] == 'x' || name[i - 1] == 'X') && name[i - 2] == '0');
    if (end - i == 4 && alone) found = parseIdentifier(name.substr(i, 4));
    i = end;
  }
  return found;
}

uint32_t numberWord(Game game, double value) {
  if (infoOf(game).fixedPoint) {
    const double scaled = std::nearbyint(value * 4096.0);
    const double clamped = std::fmax(-2147483648.0, std::fmin(2147483647.0, scaled));
    return static_cast<uint32_t>(static_cast<int32_t>(clamped));
  }
  float single = static_cast<float>(value);
  if (single == 0) single = 0;  // one zero, so that equal values share
  return std::bit_cast<uint32_t>(single);
}

double numberValue(Game game, uint32_t word) {
  if (infoOf(game).fixedPoint) return static_cast<int32_t>(word) / 4096.0;
  return std::bit_cast<float>(word);
}

uint32_t normalWord(Game game, double component) {
  if (infoOf(game).fixedPoint) {
    const double scaled = std::nearbyint(component * 4096.0);
    const double clamped = std::fmax(-32768.0, std::fmin(32767.0, scaled));
    return static_cast<uint16_t>(static_cast<int16_t>(clamped));
  }
  return numberWord(game, component);
}

double normalValue(Game game, uint32_t word) {
  if (infoOf(game).fixedPoint) return static_cast<int16_t>(static_cast<uint16_t>(word)) / 4096.0;
  return std::bit_cast<float>(word);
}

}  // namespace kiln
