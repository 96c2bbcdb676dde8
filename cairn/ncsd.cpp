#include "ncsd.h"

#include <algorithm>
#include <cstring>

#include "ByteBuffer.h"
#include "ncch.h"

namespace uncairn {

namespace {

constexpr uint64_t kHeaderSize = 0x200;
constexpr uint64_t kHeaderArea = 0x4000;
constexpr uint64_t kMediaUnit = 0x200;
constexpr size_t kImageSize = 0x104;
constexpr size_t kFsTypes = 0x110;
constexpr size_t kPartitionTable = 0x120;
constexpr size_t kUnitExponent = 0x18E;  // partition flags[6]
constexpr int kPartitions = 8;

struct Partition {
  uint64_t offset = 0;
  uint64_t size = 0;  // 0: none
  bool ncch = false;
};

class Ncsd : public Container {
 public:
  bool Open(const InputFile& file, const Choice& choice);
  bool Describe(std::vector<std::string>& lines) override;
  bool Romfs(Region& romfs) override { return ncch_.Romfs(romfs); }
  bool Check(bool everything) override { return ncch_.Check(everything); }

 private:
  bool Damaged(const std::string& text) {
    file_->Problem("damaged CCI: " + text);
    return false;
  }

  const InputFile* file_ = nullptr;
  Partition partitions_[kPartitions];
  int chosen_ = 0;
  Ncch ncch_;
};

std::string Name(int index) { return "partition " + std::to_string(index); }

bool Ncsd::Open(const InputFile& file, const Choice& choice) {
  file_ = &file;
  if (!ChoiceFits(file, choice, true, false, "a CCI")) return false;
  if (file.size() < kHeaderSize) {
    file.Problem("truncated: " + Hex(file.size()) + " bytes, too few for the " + Hex(kHeaderSize) +
                 "-byte header of a CCI");
    return false;
  }
  uint8_t header[kHeaderSize];
  if (!file.Read(0, header, sizeof(header))) return false;
  // A NAND image is an NCSD too, but its partitions are file systems.
  for (int i = 0; i < kPartitions; ++i) {
    if (header[kFsTypes + i] != 0) {
      file.Problem(
          "a NAND image (an NCSD whose partitions are file systems), not a card image (CCI)");
      return false;
    }
  }
  if (header[kUnitExponent] != 0) {
    return Damaged("its media unit is 0x200 << " + std::to_string(header[kUnitExponent]) +
                   " bytes; only units of 0x200 bytes (exponent 0) are read");
  }
  const uint64_t card_size = uint64_t(get_le32(header + kImageSize)) * kMediaUnit;
  for (int i = 0; i < kPartitions; ++i) {
    Partition& p = partitions_[i];
    p.offset = uint64_t(get_le32(header + kPartitionTable + 8 * i)) * kMediaUnit;
    p.size = uint64_t(get_le32(header + kPartitionTable + 8 * i + 4)) * kMediaUnit;
    if (p.size == 0) continue;
    const std::string what = Name(i) + " (" + Hex(p.size) + " bytes at " + Hex(p.offset) + ")";
    if (p.offset < kHeaderArea) {
      return Damaged(what + " begins inside the " + Hex(kHeaderArea) + "-byte header area");
    }
    if (p.offset + p.size > card_size) {
      return Damaged(what + " runs past the card size of " + Hex(card_size) + " bytes");
    }
    if (p.offset + p.size > file.size()) {
      return Damaged(what + " runs past the end of the " + Hex(file.size()) +
                     "-byte file: the dump is cut short");
    }
    for (int j = 0; j < i; ++j) {
      const Partition& q = partitions_[j];
      if (q.size > 0 && p.offset < q.offset + q.size && q.offset < p.offset + p.size) {
        return Damaged(Name(j) + " and " + Name(i) + " overlap");
      }
    }
    uint8_t magic[0x104];
    if (!file.Read(p.offset, magic, sizeof(magic))) return false;
    p.ncch = Ncch::HasMagic(magic, sizeof(magic));
  }

  chosen_ = choice.partition < 0 ? 0 : choice.partition;
  if (partitions_[chosen_].size == 0) {
    file.Problem("no " + Name(chosen_));
    return false;
  }
  const Partition& p = partitions_[chosen_];
  return ncch_.Read(file, p.offset, p.size, Name(chosen_));
}

bool Ncsd::Describe(std::vector<std::string>& lines) {
  lines.push_back("container: CCI");
  for (int i = 0; i < kPartitions; ++i) {
    const Partition& p = partitions_[i];
    if (p.size == 0) continue;
    lines.push_back(Name(i) + ": at " + Hex(p.offset) + ", " + Hex(p.size) + " bytes, " +
                    (p.ncch ? "NCCH" : "not an NCCH"));
  }
  lines.push_back("ncch: " + Name(chosen_));
  return ncch_.Describe(lines);
}

}  // namespace

bool IsNcsd(const uint8_t* head, size_t size) {
  return size >= 0x104 && memcmp(head + 0x100, "NCSD", 4) == 0;
}

std::unique_ptr<Container> OpenNcsd(const InputFile& file, const Choice& choice) {
  auto container = std::make_unique<Ncsd>();
  if (!container->Open(file, choice)) return nullptr;
  return container;
}

}  // namespace uncairn
