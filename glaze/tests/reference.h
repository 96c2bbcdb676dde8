// A decoder of the console's texture formats written for the tests from the
// format descriptions alone, in a different shape from glaze's: it finds
// each texel's bytes from its (x, y) instead of walking the tiles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace reference {

// Bytes of a level: whole tiles.
size_t levelBytes(int format, int width, int height);

// RGBA of every texel of a level, rows top to bottom. Palette formats read
// `palette` (entries as stored, 16 bits) in paletteFormat (0 IA8, 1 RGB565,
// 2 RGB5A3); an index past its end gives (0, 0, 0, 0).
std::vector<uint8_t> decode(int format, int width, int height, const uint8_t* data,
                            const std::vector<uint16_t>& palette = {}, int paletteFormat = 0);

// One RGBA colour of a 16-bit value of each kind.
void rgb565(uint16_t v, uint8_t out[4]);
void rgb5a3(uint16_t v, uint8_t out[4]);
void ia8(uint16_t v, uint8_t out[4]);

}  // namespace reference
