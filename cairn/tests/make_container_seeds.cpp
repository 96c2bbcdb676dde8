// cairn_container_seeds ROMFS DIR: writes the container fuzzer's seeds to DIR,
// one per container kind and crypto, each around the RomFS image ROMFS (a
// small one: the seeds should stay a few tens of KiB).

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "ctr_builder.h"

namespace {

using ctrtest::Bytes;

bool Write(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s ROMFS DIR\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const Bytes romfs((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string dir = argv[2];

  ctrtest::NcchParts cxi;
  cxi.exheader = ctrtest::MakeExheader("seed");
  cxi.exefs = ctrtest::MakeExefs({{".code", Pattern(0x180, 1)}, {"logo", Pattern(0x200, 2)}});
  cxi.romfs = romfs;
  ctrtest::NcchParts cfa;
  cfa.partition_id = cfa.program_id = 0x0005000000f70c00;
  cfa.romfs = romfs;
  ctrtest::NcchParts fixed = cxi;
  fixed.crypto_flags = 0x01;
  fixed.encrypt = true;
  ctrtest::NcchParts cxitool = cxi;
  cxitool.crypto_flags = 0x04;
  cxitool.logo = Pattern(0x200, 2);
  cxitool.logo_in_exefs = true;
  cxitool.exefs = ctrtest::MakeExefs({{".code", Pattern(0x380, 1)}, {"logo", Pattern(0x200, 2)}});
  cxitool.romfs_alignment = ctrtest::kMediaUnit;
  ctrtest::NcchParts console = cxi;
  console.crypto_flags = 0x00;
  ctrtest::NcchParts no_romfs = cxi;
  no_romfs.romfs.clear();

  auto cci = [&](const ctrtest::NcchParts& game) {
    ctrtest::CciParts parts;
    parts.partitions = {{0, ctrtest::BuildNcch(game).bytes}, {1, ctrtest::BuildNcch(cfa).bytes}};
    parts.card_size = 1 << 20;
    return ctrtest::BuildCci(parts).bytes;
  };
  auto cia = [&](std::vector<ctrtest::CiaContent> contents, uint64_t title_id) {
    ctrtest::CiaParts parts;
    parts.title_id = title_id;
    parts.cert_size = 0x40;
    parts.ticket_size = 0x44;
    parts.junk_in_gaps = true;
    parts.meta = Pattern(0x40, 3);
    parts.contents = std::move(contents);
    return ctrtest::BuildCia(parts).bytes;
  };
  const uint64_t ctr_title = 0x0004000000f70c00;
  const struct {
    const char* name;
    Bytes bytes;
  } seeds[] = {
      {"cci-plain.3ds", cci(cxi)},
      {"cci-fixed-key.3ds", cci(fixed)},
      {"ncch-cxitool.cxi", ctrtest::BuildNcch(cxitool).bytes},
      {"ncch-fixed-key.cxi", ctrtest::BuildNcch(fixed).bytes},
      {"ncch-console-keys.cxi", ctrtest::BuildNcch(console).bytes},
      {"cia-plain.cia",
       cia({{1, 0, 0, ctrtest::BuildNcch(cxi).bytes}, {2, 1, 0, ctrtest::BuildNcch(cfa).bytes}},
           ctr_title)},
      {"cia-fixed-key.cia", cia({{1, 0, 0, ctrtest::BuildNcch(fixed).bytes}}, ctr_title)},
      {"cia-no-romfs.cia", cia({{1, 0, 0, ctrtest::BuildNcch(no_romfs).bytes}}, ctr_title)},
      {"cia-dsiware.cia", cia({{0, 0, 0, Pattern(0x400, 4)}}, 0x00048004484e4145)},
      {"cia-title-key.cia", cia({{0, 0, 1, Pattern(0x400, 5)}}, ctr_title)},
  };
  for (const auto& seed : seeds) {
    if (!Write(dir + "/" + seed.name, seed.bytes)) {
      fprintf(stderr, "cannot write %s/%s\n", dir.c_str(), seed.name);
      return 1;
    }
  }
  return 0;
}
