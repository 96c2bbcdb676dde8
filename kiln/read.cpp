// Reading a KCL file as hostile data: every offset, number, index, key and
// list is checked before anything relies on it, in time and memory bounded
// by the file's size.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

#include "read.h"

namespace kiln {

namespace {

std::string hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

const char kAxisNames[] = "xyz";

}  // namespace

Game detectGame(const std::vector<uint8_t>& bytes) {
  const uint32_t full = GameInfo::kFullHeader, smg = infoOf(Game::kSmg).headerSize;
  uint32_t big = 0, little = 0;
  if (bytes.size() >= 4) {
    big = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
          bytes[3];
    little = uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
             (uint32_t{bytes[3]} << 24);
    if (little == kVersion2Word) {
      throw Error(
          "a KCL file of version 2 (its first word is 0x02020000): a later console's layout, "
          "which kiln does not read (it reads the MK7, MKDS, MKWii and SMG layouts)");
    }
    // Galaxy's layout: MKWii's, with the positions right after a header
    // that ends before the sphere radius.
    if (big == smg) {
      if (bytes.size() < smg) {
        throw Error("not a KCL file: " + std::to_string(bytes.size()) +
                    " bytes, fewer than the 56 of an SMG header");
      }
      return Game::kSmg;
    }
  }
  if (bytes.size() < full) {
    throw Error("not a KCL file: " + std::to_string(bytes.size()) +
                " bytes, fewer than the 60 of a header");
  }
  if (big == full) return Game::kMkwii;
  if (little != full) {
    throw Error("not a KCL file: it starts with " + hex(big) +
                ", not the positions' offset 0x3C in either byte order (nor SMG's 0x38)");
  }
  // The thickness: as fx32 any value below 2048 units is a raw word below
  // 0x00800000; as a float any normal positive number is at least that.
  const uint32_t thickness = uint32_t{bytes[0x10]} | (uint32_t{bytes[0x11]} << 8) |
                             (uint32_t{bytes[0x12]} << 16) | (uint32_t{bytes[0x13]} << 24);
  return thickness < 0x00800000u ? Game::kMkds : Game::kMk7;
}

uint32_t KclFile::u32(size_t offset) const {
  const uint8_t* p = bytes_.data() + offset;
  return big_ ? (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]
              : uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
                    (uint32_t{p[3]} << 24);
}

uint16_t KclFile::u16(size_t offset) const {
  const uint8_t* p = bytes_.data() + offset;
  return static_cast<uint16_t>(big_ ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8));
}

Vec3 KclFile::position(size_t index) const {
  const size_t at = infoOf(game_).headerSize + 12 * index;
  return {numberValue(game_, u32(at)), numberValue(game_, u32(at + 4)),
          numberValue(game_, u32(at + 8))};
}

Vec3 KclFile::normal(size_t index) const {
  if (infoOf(game_).fixedPoint) {
    const size_t at = normalsOffset_ + 6 * index;
    return {normalValue(game_, u16(at)), normalValue(game_, u16(at + 2)),
            normalValue(game_, u16(at + 4))};
  }
  const size_t at = normalsOffset_ + 12 * index;
  return {normalValue(game_, u32(at)), normalValue(game_, u32(at + 4)),
          normalValue(game_, u32(at + 8))};
}

KclFile::KclFile(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
  game_ = detectGame(bytes_);
  big_ = infoOf(game_).bigEndian;
  readHeader();
  readPrisms();
  walkIndex();
}

void KclFile::readHeader() {
  const uint64_t size = bytes_.size();
  normalsOffset_ = u32(0x04);
  const uint64_t prismsOffset = uint64_t{u32(0x08)} + 0x10;
  indexOffset_ = u32(0x0C);
  auto inside = [&](const char* what, uint64_t offset) {
    if (offset > size) {
      throw Error(std::string("the ") + what + " offset " + hex(offset) +
                  " lies outside the file (" + std::to_string(size) + " bytes)");
    }
  };
  inside("normals'", normalsOffset_);
  inside("prisms'", prismsOffset);
  inside("index's", indexOffset_);
  const uint32_t headerSize = infoOf(game_).headerSize;
  if (normalsOffset_ < headerSize) {
    throw Error("the normals' offset " + hex(normalsOffset_) + " lies inside the header");
  }
  if (prismsOffset < normalsOffset_) {
    throw Error("the prisms' offset " + hex(prismsOffset) + " lies before the normals' " +
                hex(normalsOffset_));
  }
  if (indexOffset_ < prismsOffset) {
    throw Error("the index's offset " + hex(indexOffset_) + " lies before the prisms' " +
                hex(prismsOffset));
  }
  prismBase_ = u32(0x08);
  positionCount_ = (normalsOffset_ - headerSize) / 12;
  normalCount_ = (prismsOffset - normalsOffset_) / (infoOf(game_).fixedPoint ? 6 : 12);
  prismCount_ = (indexOffset_ - prismsOffset) / 16;

  thickness_ = numberValue(game_, u32(0x10));
  // SMG's header holds no radius: the one kiln builds its index for.
  radius_ = infoOf(game_).storesRadius() ? numberValue(game_, u32(0x38)) : infoOf(game_).radius;
  if (!std::isfinite(thickness_)) throw Error("the prism thickness is not a finite number");
  if (!std::isfinite(radius_)) throw Error("the sphere radius is not a finite number");
  for (int axis = 0; axis < 3; ++axis) {
    area_.origin[axis] = numberValue(game_, u32(0x14 + 4 * axis));
    if (!std::isfinite(area_.origin[axis])) {
      throw Error(std::string("the index origin's ") + kAxisNames[axis] +
                  " is not a finite number");
    }
  }
  const uint32_t shift = u32(0x2C);
  if (shift >= 32) throw Error("the root cube shift " + std::to_string(shift) + " is not below 32");
  area_.shift = static_cast<int>(shift);
  int rootBits = 0;
  for (int axis = 0; axis < 3; ++axis) {
    masks_[axis] = u32(0x20 + 4 * axis);
    const uint32_t low = ~masks_[axis];
    if ((low & (low + 1)) != 0) {
      throw Error(std::string("the ") + kAxisNames[axis] + " mask " + hex(masks_[axis]) +
                  " is not of the form ~(2^n - 1)");
    }
    area_.bits[axis] = std::popcount(low);
    if (area_.bits[axis] < area_.shift) {
      throw Error(std::string("the ") + kAxisNames[axis] + " mask " + hex(masks_[axis]) +
                  " makes the area 2^" + std::to_string(area_.bits[axis]) +
                  " units wide, less than the root cube's 2^" + std::to_string(area_.shift));
    }
    rootBits += area_.bits[axis] - area_.shift;
  }
  const uint32_t bitsX = static_cast<uint32_t>(area_.bits[0] - area_.shift);
  const uint32_t bitsXY = bitsX + static_cast<uint32_t>(area_.bits[1] - area_.shift);
  shiftX_ = u32(0x30);
  shiftXY_ = u32(0x34);
  if (shiftX_ != bitsX) {
    throw Error("the root grid's x shift is " + std::to_string(shiftX_) + ", but the masks give " +
                std::to_string(bitsX));
  }
  if (shiftXY_ != bitsXY) {
    throw Error("the root grid's x-y shift is " + std::to_string(shiftXY_) +
                ", but the masks give " + std::to_string(bitsXY));
  }
  if (rootBits > 40 || indexOffset_ + (uint64_t{4} << rootBits) > size) {
    throw Error("the root grid of 2^" + std::to_string(rootBits) +
                " cubes does not fit the file after the index's offset " + hex(indexOffset_));
  }
}

PrismPlanes KclFile::planes(size_t k) const {
  const size_t at = prismBase_ + 16 * k;
  PrismPlanes p;
  p.height = numberValue(game_, u32(at));
  p.a = position(u16(at + 4));
  p.face = normal(u16(at + 6));
  p.edgeAC = normal(u16(at + 8));
  p.edgeAB = normal(u16(at + 10));
  p.edgeBC = normal(u16(at + 12));
  return p;
}

uint16_t KclFile::attribute(size_t k) const { return u16(prismBase_ + 16 * k + 14); }

void KclFile::corners(size_t k, Vec3& a, Vec3& b, Vec3& c) const {
  a = position(u16(prismBase_ + 16 * k + 4));
  b = cornerB_[k - 1];
  c = cornerC_[k - 1];
}

void KclFile::readPrisms() {
  cornerB_.resize(prismCount_);
  cornerC_.resize(prismCount_);
  static const char* const kNormalNames[4] = {"face normal", "A-C edge normal", "A-B edge normal",
                                              "B-C edge normal"};
  for (size_t k = 1; k <= prismCount_; ++k) {
    const size_t at = prismBase_ + 16 * k;
    const std::string name = "prism " + std::to_string(k) + ": ";
    if (!std::isfinite(numberValue(game_, u32(at))))
      throw Error(name + "its height is not a finite number");
    const uint16_t position = u16(at + 4);
    if (position >= positionCount_) {
      throw Error(name + "its position index " + std::to_string(position) + " is out of range (" +
                  std::to_string(positionCount_) + " positions)");
    }
    if (!finite(this->position(position))) {
      throw Error(name + "its position (number " + std::to_string(position) + ") is not finite");
    }
    for (int i = 0; i < 4; ++i) {
      const uint16_t index = u16(at + 6 + 2 * i);
      if (index >= normalCount_) {
        throw Error(name + "its " + kNormalNames[i] + " index " + std::to_string(index) +
                    " is out of range (" + std::to_string(normalCount_) + " normals)");
      }
      if (!finite(normal(index))) {
        throw Error(name + "its " + kNormalNames[i] + " (number " + std::to_string(index) +
                    ") is not finite");
      }
    }
    cornersOf(planes(k), cornerB_[k - 1], cornerC_[k - 1]);
    if (!finite(cornerB_[k - 1]) || !finite(cornerC_[k - 1])) {
      throw Error(name + "its corners cannot be recovered: its normals meet in no finite point");
    }
  }
}

void KclFile::walkIndex() {
  const uint64_t size = bytes_.size();
  // Every block is visited once, at the deepest level any path reaches it
  // (branches only lead forward, so all the ways into a block are known
  // when the walk gets there); the shallower visits ask no more of it.
  const size_t span = static_cast<size_t>(size - indexOffset_);
  std::vector<int8_t> levelAt(span, -1);  // by offset from the index: the least shift left
  struct LeafKey {
    uint32_t list, key;
    int8_t bits;
  };
  std::vector<LeafKey> leaves;
  int smallest = area_.shift;
  auto visit = [&](uint64_t block, int bits) {
    for (uint32_t i = 0; i < (block == indexOffset_ ? area_.rootCount() : 8u); ++i) {
      const uint64_t at = block + 4 * uint64_t{i};
      const uint32_t key = u32(at);
      if (key & 0x80000000u) {
        const uint64_t list = block + (key & 0x7FFFFFFFu) + 2;
        if (list + 2 > size) {
          throw Error("the index key at " + hex(at) + " leads to a list at " + hex(list) +
                      ", outside the file");
        }
        leaves.push_back(
            {static_cast<uint32_t>(list), static_cast<uint32_t>(at), static_cast<int8_t>(bits)});
        continue;
      }
      if (key == 0) throw Error("the index key at " + hex(at) + " leads to its own block: a cycle");
      if (bits == 0) {
        throw Error("the index key at " + hex(at) +
                    " branches below cubes of one unit (the root cube shift " +
                    std::to_string(area_.shift) + " allows that many levels)");
      }
      const uint64_t child = block + key;
      if (child + 32 > size) {
        throw Error("the index key at " + hex(at) + " leads to a block at " + hex(child) +
                    ", outside the file");
      }
      int8_t& level = levelAt[static_cast<size_t>(child - indexOffset_)];
      if (level < 0 || level > bits - 1) level = static_cast<int8_t>(bits - 1);
    }
  };
  visit(indexOffset_, area_.shift);
  for (size_t offset = 1; offset < span; ++offset) {
    if (levelAt[offset] < 0) continue;
    ++stats_.blocks;
    smallest = std::min<int>(smallest, levelAt[offset]);
    visit(indexOffset_ + offset, levelAt[offset]);
  }
  levelAt = {};
  stats_.depth = area_.shift - smallest;

  // Lists: each distinct start is read up to its ending 0 once; starts that
  // lie inside a list already read share its end.
  std::vector<uint32_t> starts;
  starts.reserve(leaves.size());
  for (const LeafKey& leaf : leaves) starts.push_back(leaf.list);
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  std::vector<uint32_t> lengths(starts.size(), 0);
  auto keyOf = [&](uint32_t list) {
    for (const LeafKey& leaf : leaves) {
      if (leaf.list == list) return leaf.key;
    }
    return uint32_t{0};
  };
  for (uint32_t parity = 0; parity < 2; ++parity) {
    uint64_t end = 0, lastBad = 0;
    bool haveEnd = false, haveBad = false;
    uint16_t badValue = 0;
    for (size_t i = 0; i < starts.size(); ++i) {
      const uint32_t start = starts[i];
      if ((start & 1) != parity) continue;
      if (!haveEnd || start > end) {
        uint64_t at = start;
        haveBad = false;
        while (at + 2 <= size) {
          const uint16_t value = u16(static_cast<size_t>(at));
          if (value == 0) break;
          if (value > prismCount_) {
            haveBad = true;
            lastBad = at;
            badValue = value;
          }
          at += 2;
        }
        if (at + 2 > size) {
          throw Error("the list at " + hex(start) + " (of the index key at " + hex(keyOf(start)) +
                      ") runs to the end of the file without its ending 0");
        }
        end = at;
        haveEnd = true;
      }
      if (haveBad && lastBad >= start) {
        throw Error("the list at " + hex(start) + " (of the index key at " + hex(keyOf(start)) +
                    ") names prism " + std::to_string(badValue) + ", but the file holds " +
                    std::to_string(prismCount_));
      }
      lengths[i] = static_cast<uint32_t>((end - start) / 2);
    }
  }

  stats_.leaves = leaves.size();
  stats_.distinctLists = starts.size();
  stats_.smallestCubeBits = area_.shift;
  uint64_t entries = 0, listed = 0;
  for (const LeafKey& leaf : leaves) {
    const size_t i = static_cast<size_t>(std::lower_bound(starts.begin(), starts.end(), leaf.list) -
                                         starts.begin());
    stats_.smallestCubeBits = std::min<int>(stats_.smallestCubeBits, leaf.bits);
    if (lengths[i] == 0) {
      ++stats_.emptyLeaves;
      continue;
    }
    ++listed;
    entries += lengths[i];
    stats_.longestList = std::max<size_t>(stats_.longestList, lengths[i]);
  }
  stats_.meanList = listed > 0 ? static_cast<double>(entries) / static_cast<double>(listed) : 0;
}

KclFile::Leaf KclFile::lookup(Vec3 p) const {
  Leaf leaf;
  uint32_t d[3];
  for (int axis = 0; axis < 3; ++axis) {
    const uint32_t originWord = u32(0x14 + 4 * axis);
    if (infoOf(game_).fixedPoint) {
      // The DS forms P - origin in 32-bit fixed point and shifts out the
      // fraction.
      const double scaled = std::nearbyint(p[axis] * 4096.0);
      if (!(std::fabs(scaled) < 2147483648.0)) return leaf;
      const uint32_t difference = static_cast<uint32_t>(static_cast<int32_t>(scaled)) - originWord;
      d[axis] = static_cast<uint32_t>(static_cast<int32_t>(difference) >> 12);
    } else {
      const float difference = static_cast<float>(p[axis]) - std::bit_cast<float>(originWord);
      if (!(difference > -2147483648.0f && difference < 2147483648.0f)) return leaf;
      d[axis] = static_cast<uint32_t>(static_cast<int32_t>(difference));
    }
    if ((d[axis] & masks_[axis]) != 0) return leaf;
  }
  leaf.inside = true;
  int bits = area_.shift;
  size_t block = indexOffset_;
  const uint32_t root = ((d[2] >> bits) << shiftXY_) | ((d[1] >> bits) << shiftX_) | (d[0] >> bits);
  size_t at = block + 4 * size_t{root};
  uint32_t key = u32(at);
  while (!(key & 0x80000000u)) {
    block += key;
    --bits;
    ++leaf.depth;
    const uint32_t child =
        (((d[2] >> bits) & 1) << 2) | (((d[1] >> bits) & 1) << 1) | ((d[0] >> bits) & 1);
    at = block + 4 * size_t{child};
    key = u32(at);
  }
  leaf.cubeBits = bits;
  for (int axis = 0; axis < 3; ++axis) leaf.cube[axis] = int64_t{(d[axis] >> bits) << bits};
  leaf.keyOffset = static_cast<uint32_t>(at);
  leaf.listOffset = static_cast<uint32_t>(block + (key & 0x7FFFFFFFu) + 2);
  for (size_t entry = leaf.listOffset;; entry += 2) {
    const uint16_t value = u16(entry);
    if (value == 0) break;
    leaf.prisms.push_back(value);
  }
  return leaf;
}

}  // namespace kiln
