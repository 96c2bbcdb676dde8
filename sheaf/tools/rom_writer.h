// DS ROMs written the ways the games' and homebrew tool chains write them,
// from the format's description and independently of sheaf: the console
// maker's SDK (0xFF gaps, the module-parameter footer, overlays before the
// ARM7, files in path order, the Download Play block, full or trimmed
// dumps), devkitPro's and BlocksDS's ndstool (zero gaps, folders numbered
// in the host's order, `NitroFS!`, unaligned overlay tables), old homebrew
// with a 0x200-byte header, DSi-enhanced titles; and the kit's own layout
// (sheaf -c -F nds). The tests check sheaf against them; sheaf-genrom
// writes one for the demo and the benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace romwriter {

using Bytes = std::vector<uint8_t>;

// The BIOS CRC-16: reflected polynomial 0xA001 (0x8005), from 0xFFFF.
uint16_t Crc16(const uint8_t* data, size_t size);

struct File {
  std::string path;  // below data/, "/" between folders
  Bytes data;
};

struct Overlay {
  uint32_t id = 0;  // the overlay ID
  Bytes data;
  bool arm7 = false;
};

struct Content {
  Bytes arm9, arm7;    // the binaries, without a footer
  Bytes arm9i, arm7i;  // with a DSi header
  std::vector<Overlay> overlays;
  std::vector<File> files;
  std::vector<std::string> empty_folders;  // below data/
  uint16_t banner_version = 1;             // 0: no banner
  std::string title = "HOMEBREW";
  bool name_table = true;  // false: no FNT at all (offset and size 0)
};

enum class Chain { kSdk, kDevkitPro, kBlocksDs, kKit };

struct Style {
  Chain chain = Chain::kSdk;
  uint32_t header_size = 0x4000;      // 0x200: old homebrew (ARM9 at 0x200, a PassMe branch)
  bool dsi = false;                   // unit code 2, with ARM9i and ARM7i above the DS data
  bool full = false;                  // (SDK) padded with 0xFF to the chip's size
  bool download_play = true;          // (SDK) the 0x88-byte `ac` block after the data
  bool overlays_after_files = false;  // overlays appended with file IDs after the files
  bool stale_crcs = false;            // header, logo and banner CRCs left 0
};

// A banner of the version: icon, palette, titles (and the animated icon of
// 0x103), its CRCs set.
Bytes Banner(uint16_t version, const std::string& title);

Bytes WriteRom(const Content& content, const Style& style);

// A sample of each part of a ROM: code, overlays, files in folders (an
// empty one, an empty file, names in Shift-JIS), a banner.
Content SampleContent();

}  // namespace romwriter
