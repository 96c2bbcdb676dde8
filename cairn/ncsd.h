// A card image (CCI, .3ds/.cci; NCSD): a 0x4000-byte header area and up to
// eight partitions, each an NCCH (0 the game, 1 the manual, 2 the download
// play child, 6 and 7 system update data). Trimmed dumps end at the last
// partition, full ones are padded to the card size; both read alike.
#pragma once

#include <memory>

#include "container.h"
#include "region.h"

namespace uncairn {

// "NCSD" at 0x100.
bool IsNcsd(const uint8_t* head, size_t size);
// Reads the card image's partition table and the NCCH of the chosen
// partition (0 unless choice says otherwise). Null after a report.
std::unique_ptr<Container> OpenNcsd(const InputFile& file, const Choice& choice);

}  // namespace uncairn
