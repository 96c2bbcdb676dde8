#include "ctr_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "crypto.h"

namespace ctrtest {

namespace {

uint64_t Align(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

void Sha256(const uint8_t* data, size_t size, uint8_t* out) {
  if (size > UINT32_MAX) throw std::runtime_error("too large to hash in one call");
  Crypto::Sha256(data, static_cast<uint32_t>(size), out);
}

// Filler that is not zeros, the same every time.
void Fill(Bytes& b, size_t at, size_t size, uint8_t seed) {
  for (size_t i = 0; i < size; ++i) b[at + i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
}

// The counter's region bytes hold the partition ID big-endian.
void Counter(uint64_t partition_id, uint8_t region, uint64_t block, uint8_t ctr[16]) {
  memset(ctr, 0, 16);
  for (int i = 0; i < 8; ++i) ctr[i] = static_cast<uint8_t>(partition_id >> (56 - 8 * i));
  ctr[8] = region;
  // + block, as a 128-bit big-endian sum.
  unsigned carry = 0;
  for (int i = 15; i >= 0; --i) {
    const unsigned sum = ctr[i] + static_cast<unsigned>(block & 0xFF) + carry;
    ctr[i] = static_cast<uint8_t>(sum);
    carry = sum >> 8;
    block >>= 8;
  }
}

}  // namespace

void Put16(Bytes& b, size_t at, uint16_t v) {
  for (int i = 0; i < 2; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(Bytes& b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutBe16(Bytes& b, size_t at, uint16_t v) {
  for (int i = 0; i < 2; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * (1 - i)));
}
void PutBe32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * (3 - i)));
}
void PutBe64(Bytes& b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * (7 - i)));
}

std::string Hex(uint64_t v) {
  char text[24];
  snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(v));
  return text;
}

void ApplyFixedKey(uint64_t partition_id, uint8_t region, uint64_t position, uint8_t* data,
                   size_t size) {
  static const uint8_t kKey[16] = {};
  uint8_t ctr[16];
  Counter(partition_id, region, position / 16, ctr);
  const size_t skip = position % 16;
  if (skip != 0 && size > 0) {
    uint8_t block[16] = {};
    const size_t take = std::min<size_t>(16 - skip, size);
    memcpy(block + skip, data, take);
    Crypto::AesCtr(block, 16, kKey, ctr, block);
    memcpy(data, block + skip, take);
    data += take;
    size -= take;
  }
  while (size > 0) {
    // Whole blocks but for the last piece, so that the counter carries on.
    const size_t piece = std::min<size_t>(size, size_t(1) << 30);
    Crypto::AesCtr(data, static_cast<uint32_t>(piece), kKey, ctr, data);
    data += piece;
    size -= piece;
  }
}

Bytes MakeExefs(const std::vector<std::pair<std::string, Bytes>>& files) {
  Bytes exefs(0x200, 0);
  for (size_t i = 0; i < files.size() && i < 10; ++i) {
    const auto& [name, data] = files[i];
    const uint64_t offset = exefs.size() - 0x200;
    memcpy(&exefs[8 * 2 * i], name.data(), std::min<size_t>(name.size(), 8));
    Put32(exefs, 16 * i + 8, static_cast<uint32_t>(offset));
    Put32(exefs, 16 * i + 12, static_cast<uint32_t>(data.size()));
    // The files' hashes run backwards from the header's end.
    Sha256(data.data(), data.size(), &exefs[0x1E0 - 0x20 * i]);
    exefs.insert(exefs.end(), data.begin(), data.end());
    exefs.resize(Align(exefs.size(), 0x200), 0);
  }
  return exefs;
}

uint64_t ExefsFileOffset(const Bytes& exefs, int index) {
  return 0x200 + (uint64_t(exefs[16 * index + 8]) | uint64_t(exefs[16 * index + 9]) << 8 |
                  uint64_t(exefs[16 * index + 10]) << 16 | uint64_t(exefs[16 * index + 11]) << 24);
}

Bytes MakeExheader(const std::string& process_name) {
  Bytes exheader(0x800, 0);
  Fill(exheader, 0, exheader.size(), 0x31);
  memset(exheader.data(), 0, 8);
  memcpy(exheader.data(), process_name.data(), std::min<size_t>(process_name.size(), 8));
  return exheader;
}

Ncch LayOutNcch(const NcchParts& parts, uint64_t romfs_size, const Bytes& superblock) {
  Ncch ncch;
  Bytes& b = ncch.bytes;
  b.assign(0x200, 0);
  Fill(b, 0, 0x100, 0x5A);  // the signature, which nothing checks
  uint64_t at = 0x200;
  if (!parts.exheader.empty()) {
    ncch.exheader_offset = at;
    b.insert(b.end(), parts.exheader.begin(), parts.exheader.end());
    at = b.size();
  }
  uint64_t logo_size = 0;
  if (!parts.logo.empty() && !parts.logo_in_exefs) {
    ncch.logo_offset = at = Align(at, kMediaUnit);
    b.resize(at, 0);
    b.insert(b.end(), parts.logo.begin(), parts.logo.end());
    logo_size = parts.logo.size();
    at = b.size();
  }
  uint64_t plain_offset = 0;
  if (!parts.plain.empty()) {
    plain_offset = at = Align(at, kMediaUnit);
    b.resize(at, 0);
    b.insert(b.end(), parts.plain.begin(), parts.plain.end());
    at = b.size();
  }
  if (!parts.exefs.empty()) {
    ncch.exefs_offset = at = Align(at, kMediaUnit);
    b.resize(at, 0);
    b.insert(b.end(), parts.exefs.begin(), parts.exefs.end());
    at = Align(b.size(), kMediaUnit);
    if (parts.logo_in_exefs) {
      // The logo is the ExeFS's file 1 (MakeExefs({{"icon"...}, {"logo", ...}})).
      ncch.logo_offset = ncch.exefs_offset + ExefsFileOffset(parts.exefs, 1);
      logo_size = Align(parts.logo.size(), kMediaUnit);
    }
  }
  uint64_t romfs_hashed = 0;
  if (romfs_size > 0) {
    ncch.romfs_offset = at = Align(at, parts.romfs_alignment);
    ncch.romfs_size = Align(romfs_size, kMediaUnit);
    const uint32_t master = uint32_t(superblock[8]) | uint32_t(superblock[9]) << 8 |
                            uint32_t(superblock[10]) << 16 | uint32_t(superblock[11]) << 24;
    romfs_hashed = Align(0x60 + master, kMediaUnit);
    at += ncch.romfs_size;
  }
  b.resize(Align(b.size(), kMediaUnit), 0);
  const uint64_t content_size = Align(at, kMediaUnit);

  memcpy(&b[0x100], "NCCH", 4);
  Put32(b, 0x104, static_cast<uint32_t>(content_size / kMediaUnit));
  Put64(b, 0x108, parts.partition_id);
  memcpy(&b[0x110], "00", 2);
  Put16(b, 0x112, parts.format_version);
  Put64(b, 0x118, parts.program_id);
  if (logo_size > 0) {
    Bytes logo(b.begin() + ncch.logo_offset, b.begin() + ncch.logo_offset + logo_size);
    Sha256(logo.data(), logo.size(), &b[0x130]);
  }
  memcpy(&b[0x150], parts.product_code.data(), std::min<size_t>(parts.product_code.size(), 16));
  if (!parts.exheader.empty()) {
    Sha256(parts.exheader.data(), 0x400, &b[0x160]);
    Put32(b, 0x180, 0x400);
  }
  b[0x188 + 4] = 1;  // CTR
  b[0x188 + 5] = parts.exheader.empty() ? 1 : romfs_size > 0 ? 3 : 2;
  b[0x188 + 6] = parts.unit_exponent;
  b[0x188 + 7] = static_cast<uint8_t>(parts.crypto_flags | (romfs_size > 0 ? 0 : 0x02));
  Put32(b, 0x190, static_cast<uint32_t>(plain_offset / kMediaUnit));
  Put32(b, 0x194, static_cast<uint32_t>(Align(parts.plain.size(), kMediaUnit) / kMediaUnit));
  Put32(b, 0x198, static_cast<uint32_t>(ncch.logo_offset / kMediaUnit));
  Put32(b, 0x19C, static_cast<uint32_t>(logo_size / kMediaUnit));
  if (!parts.exefs.empty()) {
    Put32(b, 0x1A0, static_cast<uint32_t>(ncch.exefs_offset / kMediaUnit));
    Put32(b, 0x1A4, static_cast<uint32_t>(Align(parts.exefs.size(), kMediaUnit) / kMediaUnit));
    Put32(b, 0x1A8, 1);
    Sha256(parts.exefs.data(), 0x200, &b[0x1C0]);
  }
  if (romfs_size > 0) {
    Put32(b, 0x1B0, static_cast<uint32_t>(ncch.romfs_offset / kMediaUnit));
    Put32(b, 0x1B4, static_cast<uint32_t>(ncch.romfs_size / kMediaUnit));
    Put32(b, 0x1B8, static_cast<uint32_t>(romfs_hashed / kMediaUnit));
    Bytes hashed(superblock.begin(),
                 superblock.begin() + std::min<size_t>(superblock.size(), romfs_hashed));
    hashed.resize(romfs_hashed, 0);
    Sha256(hashed.data(), hashed.size(), &b[0x1E0]);
  }
  if (parts.encrypt) {
    if (!parts.exheader.empty()) {
      ApplyFixedKey(parts.partition_id, 1, 0, &b[ncch.exheader_offset], parts.exheader.size());
    }
    if (!parts.exefs.empty()) {
      ApplyFixedKey(parts.partition_id, 2, 0, &b[ncch.exefs_offset], parts.exefs.size());
    }
  }
  return ncch;
}

Ncch BuildNcch(const NcchParts& parts) {
  Ncch ncch = LayOutNcch(parts, parts.romfs.size(), parts.romfs);
  if (!parts.romfs.empty()) {
    Bytes& b = ncch.bytes;
    b.resize(ncch.romfs_offset, 0);
    b.insert(b.end(), parts.romfs.begin(), parts.romfs.end());
    b.resize(ncch.romfs_offset + ncch.romfs_size, 0);
    if (parts.encrypt)
      ApplyFixedKey(parts.partition_id, 3, 0, &b[ncch.romfs_offset], ncch.romfs_size);
  }
  return ncch;
}

Bytes CciHeader(const std::vector<std::pair<int, uint64_t>>& partitions, uint64_t card_size,
                const uint8_t* partition0_header, std::vector<uint64_t>* offsets) {
  Bytes h(0x4000, 0xFF);
  Fill(h, 0, 0x100, 0x77);
  memset(&h[0x100], 0, 0x100);
  memcpy(&h[0x100], "NCSD", 4);
  Put32(h, 0x104, static_cast<uint32_t>(card_size / kMediaUnit));
  const uint64_t media_id = partition0_header == nullptr ? 0 : [&] {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | partition0_header[0x108 + i];
    return v;
  }();
  Put64(h, 0x108, media_id);
  uint64_t at = 0x4000;
  for (const auto& [index, size] : partitions) {
    Put32(h, 0x120 + 8 * index, static_cast<uint32_t>(at / kMediaUnit));
    Put32(h, 0x124 + 8 * index, static_cast<uint32_t>(Align(size, kMediaUnit) / kMediaUnit));
    if (offsets != nullptr) offsets->push_back(at);
    at = Align(at + size, kMediaUnit);
  }
  const uint8_t flags[8] = {0, 0, 0, 2, 1, 1, 0, 0};
  memcpy(&h[0x188], flags, 8);
  Put64(h, 0x190, media_id);
  // Card info: a CARD1 card (no writable region), the filled size.
  memset(&h[0x204], 0, 0x1000 - 0x204);
  Put64(h, 0x300, at);
  memset(&h[0x1000], 0, 0x100);
  if (partition0_header != nullptr) memcpy(&h[0x1100], partition0_header + 0x100, 0x100);
  return h;
}

Cci BuildCci(const CciParts& parts) {
  std::vector<std::pair<int, uint64_t>> sizes;
  const uint8_t* header0 = nullptr;
  for (const auto& [index, ncch] : parts.partitions) {
    sizes.emplace_back(index, ncch.size());
    if (index == 0) header0 = ncch.data();
  }
  Cci cci;
  cci.bytes = CciHeader(sizes, parts.card_size, header0, &cci.offsets);
  for (size_t i = 0; i < parts.partitions.size(); ++i) {
    cci.bytes.resize(cci.offsets[i], 0xFF);
    const Bytes& ncch = parts.partitions[i].second;
    cci.bytes.insert(cci.bytes.end(), ncch.begin(), ncch.end());
  }
  cci.bytes.resize(Align(cci.bytes.size(), kMediaUnit), 0xFF);
  if (parts.pad) cci.bytes.resize(parts.card_size, 0xFF);
  return cci;
}

Cia BuildCia(const CiaParts& parts) {
  Cia cia;
  Bytes& b = cia.bytes;
  const uint8_t gap = parts.junk_in_gaps ? 0xA5 : 0;
  auto next_section = [&] { b.resize(Align(b.size(), 64), gap); };
  b.assign(0x2020, 0);
  Put32(b, 0, 0x2020);
  Put32(b, 8, parts.cert_size);
  Put32(b, 12, parts.ticket_size);
  Put32(b, 20, static_cast<uint32_t>(parts.meta.size()));
  for (const CiaContent& c : parts.contents) {
    if (c.present) b[0x20 + c.index / 8] |= static_cast<uint8_t>(0x80 >> (c.index % 8));
  }
  next_section();
  Bytes certs(parts.cert_size);
  Fill(certs, 0, certs.size(), 0x43);
  b.insert(b.end(), certs.begin(), certs.end());
  next_section();
  Bytes ticket(parts.ticket_size);
  Fill(ticket, 0, ticket.size(), 0x54);
  if (ticket.size() >= 4) PutBe32(ticket, 0, 0x00010004);
  b.insert(b.end(), ticket.begin(), ticket.end());
  next_section();

  const uint64_t block = parts.tmd_signature == 0x00010003 ? 0x240 : 0x140;
  const size_t count = parts.contents.size();
  Bytes tmd(block + 0xC4 + 0x900 + 0x30 * count, 0);
  PutBe32(tmd, 0, parts.tmd_signature);
  Fill(tmd, 4, block - 4, 0x11);
  const size_t h = block;
  memcpy(&tmd[h], "Root-CA00000003-CP0000000b", 26);
  tmd[h + 0x40] = 1;
  PutBe64(tmd, h + 0x4C, parts.title_id);
  PutBe32(tmd, h + 0x54, 0x40);
  PutBe16(tmd, h + 0x9E, static_cast<uint16_t>(count));
  const size_t chunks = h + 0xC4 + 0x900;
  for (size_t i = 0; i < count; ++i) {
    const CiaContent& c = parts.contents[i];
    const size_t r = chunks + 0x30 * i;
    PutBe32(tmd, r, c.id);
    PutBe16(tmd, r + 4, c.index);
    PutBe16(tmd, r + 6, c.type);
    PutBe64(tmd, r + 8, c.data.size());
    Sha256(c.data.data(), c.data.size(), &tmd[r + 16]);
  }
  // Info record 0 covers every chunk; the header holds the records' hash.
  PutBe16(tmd, h + 0xC4, 0);
  PutBe16(tmd, h + 0xC4 + 2, static_cast<uint16_t>(count));
  Sha256(&tmd[chunks], 0x30 * count, &tmd[h + 0xC4 + 4]);
  Sha256(&tmd[h + 0xC4], 0x900, &tmd[h + 0xA4]);
  Put32(b, 16, static_cast<uint32_t>(tmd.size()));
  cia.tmd_offset = b.size();
  b.insert(b.end(), tmd.begin(), tmd.end());
  next_section();

  const uint64_t contents_at = b.size();
  for (const CiaContent& c : parts.contents) {
    if (!c.present) {
      cia.offsets.push_back(0);
      continue;
    }
    cia.offsets.push_back(b.size());
    b.insert(b.end(), c.data.begin(), c.data.end());
    if (parts.round_contents) b.resize(Align(b.size(), 16), gap);
  }
  Put64(b, 24, b.size() - contents_at);
  if (!parts.meta.empty()) {
    next_section();
    b.insert(b.end(), parts.meta.begin(), parts.meta.end());
  }
  return cia;
}

}  // namespace ctrtest
