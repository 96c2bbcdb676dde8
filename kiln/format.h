// What all of kiln shares: its failures (kiln::Error, whose text follows
// "kiln: FILE: "), the three games' encodings (byte order, numbers, header
// values, the identifier's place in the 16 bits) and the format's limits.
#ifndef KILN_FORMAT_H
#define KILN_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kiln {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The three kart games, and the layout of another Wii series (Galaxy):
// MKWii's numbers and byte order under a 0x38-byte header that stores no
// sphere radius.
enum class Game { kMk7, kMkds, kMkwii, kSmg };

struct GameInfo {
  const char* name;    // "MK7", "MKDS", "MKWii", "SMG"
  const char* option;  // the -g value: "mk7", "mkds", "mkwii", "smg"
  bool bigEndian;
  bool fixedPoint;  // MKDS: 20.12 positions, 4.12 normals
  // The thickness written and the radius the index is built for.
  double thickness;
  double radius;
  uint32_t headerSize;  // where the positions start: 0x3C, or 0x38 without the radius
  // The thickness and radius are the game's own, which -t holds a file to;
  // SMG's are kiln's choice (MKWii's), and its files may hold any.
  bool gamesValues;
  bool storesRadius() const { return headerSize == kFullHeader; }
  static constexpr uint32_t kFullHeader = 0x3C;
};

const GameInfo& infoOf(Game game);
std::optional<Game> gameNamed(std::string_view option);

// The identifier as the file holds it, from the four digits that the
// calculators show, and back. Only MKDS differs: its bit runs 0-4 and 8-12
// are exchanged.
uint16_t storedIdentifier(Game game, uint16_t shown);
uint16_t shownIdentifier(Game game, uint16_t stored);

// A count with commas between groups of three digits: 65,000.
std::string withCommas(uint64_t value);
// Four uppercase hexadecimal digits, as the calculators show them.
std::string identifierText(uint16_t value);
// "105A", "105a" or "0x105A": exactly four hexadecimal digits.
std::optional<uint16_t> parseIdentifier(std::string_view text);
// The last run of exactly four hexadecimal digits in a material name that
// stands alone or follows "_" or "0x" ("road_105A", "105A", "kcl_0x105a").
std::optional<uint16_t> identifierInName(std::string_view name);

// Numbers as stored: a 32-bit word (a float's bits, or fx32) for positions,
// heights and header numbers; a float's bits or an fx16 for normal components.
uint32_t numberWord(Game game, double value);
double numberValue(Game game, uint32_t word);
uint32_t normalWord(Game game, double component);
double normalValue(Game game, uint32_t word);
// What a value becomes once stored and read back.
inline double storedNumber(Game game, double value) {
  return numberValue(game, numberWord(game, value));
}

// MKDS: the largest magnitude an fx32 holds, and the widest index area.
constexpr double kFixedPointLimit = 524288.0;
constexpr int kMaxDsAreaBits = 19;
// MK7, MKWii and SMG: the widest index area (the games form P - origin as a
// 32-bit integer).
constexpr int kMaxFloatAreaBits = 30;

// The first word of a KCL file of version 2, a later console's layout
// (little-endian).
constexpr uint32_t kVersion2Word = 0x02020000;
constexpr size_t kMaxPrisms = 65535;
constexpr size_t kMaxPositions = 65536;
constexpr size_t kMaxNormals = 65536;

}  // namespace kiln

#endif
