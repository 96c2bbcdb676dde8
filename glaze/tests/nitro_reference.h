// A decoder of the DS texture formats written from the formats' rules
// alone, independently of glaze: each texel's bits found from its position,
// each 4x4 block's colours computed channel by channel.
#pragma once

#include <cstdint>
#include <vector>

namespace nitroref {

// RGBA of a width x height texture of format 1..7. `palette` holds the
// palette's entries as stored (bit 15 is ignored); a texel whose colour lies
// past it is (0, 0, 0, 0), and counted in *missing.
std::vector<uint8_t> decode(int format, int width, int height, bool transparent0,
                            const std::vector<uint8_t>& texels, const std::vector<uint8_t>& index,
                            const std::vector<uint16_t>& palette, uint64_t* missing = nullptr);

}  // namespace nitroref
