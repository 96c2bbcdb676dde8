// cairn_bench_cci IMAGE OUT [fixed-key]: wraps the RomFS image IMAGE, as cairn
// writes it, into a card image OUT the way makerom lays one out: partition 0
// an executable NCCH (exheader, ExeFS, then the RomFS on a 0x1000-byte
// boundary), trimmed. With fixed-key, the NCCH is encrypted with the all-zero
// key. The RomFS is streamed, so memory stays small for any image.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ctr_builder.h"

namespace {

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    fprintf(stderr, "usage: %s IMAGE OUT [fixed-key]\n", argv[0]);
    return 2;
  }
  const bool fixed = argc == 4 && std::string(argv[3]) == "fixed-key";
  const int in = open(argv[1], O_RDONLY);
  if (in < 0) return 1;
  const off_t romfs_size = lseek(in, 0, SEEK_END);
  ctrtest::Bytes superblock(0x1000);
  if (romfs_size < 0x1000 || pread(in, superblock.data(), superblock.size(), 0) != 0x1000) return 1;

  ctrtest::NcchParts parts;
  parts.exheader = ctrtest::MakeExheader("bench");
  parts.exefs = ctrtest::MakeExefs({{".code", ctrtest::Bytes(0x10000, 0x90)}});
  if (fixed) {
    parts.crypto_flags = 0x01;
    parts.encrypt = true;
  }
  ctrtest::Ncch ncch = ctrtest::LayOutNcch(parts, static_cast<uint64_t>(romfs_size), superblock);
  ncch.bytes.resize(ncch.romfs_offset, 0);
  const uint64_t ncch_size = ncch.romfs_offset + ncch.romfs_size;
  const ctrtest::Bytes header =
      ctrtest::CciHeader({{0, ncch_size}}, uint64_t(2) << 30, ncch.bytes.data(), nullptr);

  const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0 || !WriteAll(out, header.data(), header.size()) ||
      !WriteAll(out, ncch.bytes.data(), ncch.bytes.size())) {
    return 1;
  }
  std::vector<uint8_t> buffer(1 << 20);
  for (uint64_t at = 0; at < ncch.romfs_size;) {
    const size_t piece =
        static_cast<size_t>(std::min<uint64_t>(buffer.size(), ncch.romfs_size - at));
    const ssize_t n = at < static_cast<uint64_t>(romfs_size)
                          ? pread(in, buffer.data(), piece, static_cast<off_t>(at))
                          : 0;
    if (n < 0) return 1;
    std::fill(buffer.begin() + n, buffer.begin() + piece, 0);  // the last unit's padding
    if (fixed) ctrtest::ApplyFixedKey(parts.partition_id, 3, at, buffer.data(), piece);
    if (!WriteAll(out, buffer.data(), piece)) return 1;
    at += piece;
  }
  return close(out) == 0 && close(in) == 0 ? 0 : 1;
}
