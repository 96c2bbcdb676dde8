// Builds 3DS containers from the format's description, independently of
// uncairn's readers: NCCHs (plain, or encrypted here with the all-zero key
// and a counter made here, through mbed TLS), card images (CCI) and
// installable titles (CIA). The tests, the fuzz seeds and the benchmark's
// card image are made with it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ctrtest {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kMediaUnit = 0x200;

struct NcchParts {
  uint64_t partition_id = 0x0004000000f70c00;
  uint64_t program_id = 0x0004000000f70c00;
  std::string product_code = "CTR-P-UNCA";
  uint16_t format_version = 2;
  // flags[7]: 0x04 NoCrypto, 0x01 FixedCryptoKey (makerom's plain files
  // carry both), 0x20 seed, 0 console keys.
  uint8_t crypto_flags = 0x05;
  // Encrypts the exheader, ExeFS and RomFS with the all-zero key.
  bool encrypt = false;
  uint8_t unit_exponent = 0;  // flags[6]
  Bytes exheader;             // 0x800 bytes: the exheader and its access descriptor; or none
  Bytes logo;                 // the logo region, a whole number of media units; or none
  Bytes plain;                // the plain region, likewise
  Bytes exefs;                // an ExeFS (MakeExefs); or none
  Bytes romfs;                // a RomFS image as cairn writes it; or none
  // Where the RomFS may begin: makerom aligns it to 0x1000, cxitool only
  // to the media unit.
  uint64_t romfs_alignment = 0x1000;
  // Points the logo region at the ExeFS's "logo" file, as cxitool does
  // (the logo region then takes no room of its own).
  bool logo_in_exefs = false;
};

struct Ncch {
  Bytes bytes;
  // From the NCCH's start; 0 for what is absent.
  uint64_t exheader_offset = 0, logo_offset = 0, exefs_offset = 0, romfs_offset = 0;
  uint64_t romfs_size = 0;  // the image rounded up to the media unit
};

// The NCCH's header and everything before its RomFS, for a RomFS of
// romfs_size bytes whose first 0x200-byte units (the ones its superblock
// hash covers) are superblock. The RomFS itself goes at romfs_offset.
Ncch LayOutNcch(const NcchParts& parts, uint64_t romfs_size, const Bytes& superblock);
// The whole NCCH.
Ncch BuildNcch(const NcchParts& parts);

// Encrypts (or decrypts) size bytes at position of an NCCH region's
// keystream under the all-zero key: region 1 exheader, 2 ExeFS, 3 RomFS.
void ApplyFixedKey(uint64_t partition_id, uint8_t region, uint64_t position, uint8_t* data,
                   size_t size);

// An ExeFS of these files: its 0x200-byte header, then the files on
// 0x200-byte boundaries.
Bytes MakeExefs(const std::vector<std::pair<std::string, Bytes>>& files);
// Where file index of an ExeFS begins, from the ExeFS's start.
uint64_t ExefsFileOffset(const Bytes& exefs, int index);
// An exheader with its access descriptor (0x800 bytes).
Bytes MakeExheader(const std::string& process_name);

struct CciParts {
  std::vector<std::pair<int, Bytes>> partitions;  // index, NCCH; packed in this order
  uint64_t card_size = 128 << 20;
  bool pad = false;  // 0xFF up to the card size, as a full dump is
};

struct Cci {
  Bytes bytes;
  std::vector<uint64_t> offsets;  // of each partition, in the order given
};

// The 0x4000-byte header area of a card image whose partitions have these
// indices, sizes and (for the copy at 0x1100) partition 0's NCCH header.
// offsets receives each partition's offset, when not null.
Bytes CciHeader(const std::vector<std::pair<int, uint64_t>>& partitions, uint64_t card_size,
                const uint8_t* partition0_header, std::vector<uint64_t>* offsets);
Cci BuildCci(const CciParts& parts);

struct CiaContent {
  uint32_t id = 0;
  uint16_t index = 0;
  uint16_t type = 0;  // 0x1: encrypted with the title key
  Bytes data;
  bool present = true;  // in the bitmap and the file
};

struct CiaParts {
  uint64_t title_id = 0x0004000000f70c00;
  std::vector<CiaContent> contents;
  uint32_t cert_size = 0xA00;
  uint32_t ticket_size = 0x350;
  uint32_t tmd_signature = 0x00010004;  // RSA-2048 with SHA-256
  Bytes meta;                           // none when empty
  bool junk_in_gaps = false;            // the 64-byte alignment gaps hold junk, not zeros
  bool round_contents = true;           // each content rounded up to 16 bytes, as makerom does
};

struct Cia {
  Bytes bytes;
  uint64_t tmd_offset = 0;
  std::vector<uint64_t> offsets;  // of each content in the order given; 0 when absent
};

Cia BuildCia(const CiaParts& parts);

// Little- and big-endian stores.
void Put16(Bytes& b, size_t at, uint16_t v);
void Put32(Bytes& b, size_t at, uint32_t v);
void Put64(Bytes& b, size_t at, uint64_t v);
void PutBe16(Bytes& b, size_t at, uint16_t v);
void PutBe32(Bytes& b, size_t at, uint32_t v);
void PutBe64(Bytes& b, size_t at, uint64_t v);

// "0x1f000", as uncairn -i prints numbers.
std::string Hex(uint64_t v);

}  // namespace ctrtest
