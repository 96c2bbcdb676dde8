// The Nintendo DS ROM (.nds, .srl; DSi titles too): a header that points to
// every part (the ARM9 and ARM7 programs, their overlay tables y9 and y7,
// the name table FNT and allocation table FAT of the NitroFS file system,
// the banner, and with a DSi header the ARM9i and ARM7i programs), each
// anywhere in the file. sheaf extracts the parts under the names modders
// know (header.bin, arm9.bin, ..., overlay/, data/); -c puts them back
// where the original had them, or in the kit's own layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "formats.h"
#include "input.h"
#include "messages.h"
#include "pack.h"
#include "tree.h"

namespace sheaf {

// The BIOS CRC-16 (reflected polynomial 0xA001, starting at 0xFFFF) that
// guards the header, the logo and the banner.
uint16_t Crc16(const uint8_t* data, size_t size, uint16_t crc = 0xFFFF);

namespace nds {

constexpr uint32_t kMinHeader = 0x200;
constexpr uint32_t kMinDsiHeader = 0x1000;
constexpr uint32_t kFooterMagic = 0xDEC00621;  // after the ARM9 (and ARM9i) binary
constexpr uint32_t kFolderBase = 0xF000;
constexpr uint32_t kMaxFolders = 0x1000;
constexpr uint32_t kOverlayEntry = 32;

inline bool IsDsi(const uint8_t* header) { return (header[0x12] & 2) != 0; }

// The size of a banner of this version: 0x840 when it is none known.
uint32_t BannerSize(uint16_t version);
// The CRCs a banner of its version holds: where each is and what it covers.
struct BannerCrc {
  uint32_t at, start, end;
};
std::vector<BannerCrc> BannerCrcs(uint16_t version);

// "0x1A2B": a CRC in messages.
std::string Hex4(uint32_t value);

// "overlay/overlay_0003.bin": the name of the overlay in FAT entry id.
std::string OverlayPath(uint32_t id);

}  // namespace nds

struct NdsPart {
  enum Kind : uint8_t {
    kHeader,
    kArm9,
    kArm7,
    kY9,
    kY7,
    kFnt,
    kFat,
    kBanner,
    kArm9i,
    kArm7i,
    kOverlay,
    kFile,
    kOrphan,  // a FAT entry with data that no name or overlay uses
  };
  Kind kind = kFile;
  uint64_t start = 0;
  uint64_t size = 0;
  uint32_t fat = 0;     // kOverlay, kFile, kOrphan: the FAT entry
  std::string path;     // as extracted ("" for the tables and orphans)
  bool footer = false;  // kArm9, kArm9i: the 12-byte footer follows the size the header gives
};

struct NdsModel : Model {
  uint64_t file_size = 0;
  std::vector<uint8_t> header;  // 0 to the header size (0x84)
  bool dsi = false;
  std::vector<std::pair<uint32_t, uint32_t>> fat;  // each entry's start and end
  std::vector<uint8_t> y9, y7;                     // the overlay tables' bytes
  uint16_t banner_version = 0;
  // Every part that reads soundly, each once; empty ones only where they
  // are extracted (arm9.bin, arm7.bin, files).
  std::vector<NdsPart> parts;
  std::vector<std::string> folders;  // the folders extracted ("data", "data/a", "overlay")
};

bool IsNdsRom(const uint8_t* head, size_t size, uint64_t file_size, const std::string& name);
std::unique_ptr<Model> ReadNdsRom(Input& input, Messages& messages, Tree* tree, bool* ok);
void VerifyNdsRom(const Model& model, Input& input, Messages& messages);
bool PlanNdsRom(const Model* original, bool big_endian, const PackJob& job, Plan* plan);

}  // namespace sheaf
