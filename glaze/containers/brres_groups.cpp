// BRRES index groups. An entry's id names a bit of a name: 8 x (character
// index from the start) + bit (7 = the top one), characters past the end
// counting as 0; a lookup starts at the reference entry's left link and
// follows right on a 1 bit, left on a 0, while the ids fall.
#include <algorithm>
#include <bit>
#include <cerrno>

#include "bytes.h"
#include "containers/brres.h"
#include "containers/tex0.h"

namespace glaze::brres {

namespace {

// Real groups hold a few hundred entries in trees a few dozen deep; these
// bound a hostile file's work (walks of every name) and memory.
constexpr uint64_t kMaxEntries = 1 << 16, kMaxNameBytes = 16 << 20;
constexpr int kMaxDepth = 1024;

int bitOf(const std::string& name, int id) {
  const size_t at = size_t(id) >> 3;
  return at < name.size() ? (static_cast<unsigned char>(name[at]) >> (id & 7)) & 1 : 0;
}

// The highest bit in which two names differ (characters past an end are
// 0), or -1 when they are equal.
int highestDifference(const std::string& a, const std::string& b) {
  for (size_t i = std::max(a.size(), b.size()); i-- > 0;) {
    const unsigned x = (i < a.size() ? static_cast<unsigned char>(a[i]) : 0u) ^
                       (i < b.size() ? static_cast<unsigned char>(b[i]) : 0u);
    if (x != 0) return int(i * 8) + 31 - std::countl_zero(x);
  }
  return -1;
}

// The entry where the walk for a name ends (its ids no longer falling), or
// SIZE_MAX past kMaxDepth steps.
size_t walk(const Group& group, const std::string& name, int stopBelow = -1) {
  const std::vector<Entry>& e = group.entries;
  size_t previous = 0, at = e[0].left;
  for (int step = 0; e[at].id<e[previous].id&& int(e[at].id)> stopBelow; ++step) {
    if (step == kMaxDepth) return SIZE_MAX;
    previous = at;
    at = bitOf(name, e[at].id) ? e[at].right : e[at].left;
  }
  return at;
}

}  // namespace

bool readGroup(const Source& source, uint64_t at, bool strict, Reading& reading, Group& out,
               std::string& problem) {
  const uint64_t size = source.size();
  problem.clear();
  out = Group();
  out.at = at;
  if (at > size || size - at < 8) {
    problem = "it lies past the end of the file";
    return false;
  }
  uint8_t head[8];
  if (!source.read(at, head, 8)) return false;
  const uint32_t length = be32(head), count = be32(head + 4);
  if (count >= 0xFFFF) {
    problem = "it claims " + std::to_string(count) + " entries";
    return false;
  }
  const uint64_t bytes = 8 + 16 * (uint64_t(count) + 1);
  if (bytes > size - at) {
    problem = "its " + std::to_string(count) + " entries run past the end of the file";
    return false;
  }
  if ((reading.entries += count + 1) > kMaxEntries) {
    problem = "the file's index groups hold more than " + std::to_string(kMaxEntries) + " entries";
    return false;
  }
  if (strict && length != bytes) {
    problem = "its length field is not that of its entries";
    return false;
  }
  std::vector<uint8_t> raw(size_t(bytes - 8));
  if (!source.read(at + 8, raw.data(), raw.size())) return false;
  out.entries.resize(count + 1);
  for (size_t i = 0; i <= count; ++i) {
    const uint8_t* r = &raw[16 * i];
    Entry& e = out.entries[i];
    e.id = be16(r), e.flag = be16(r + 2), e.left = be16(r + 4), e.right = be16(r + 6);
    const int64_t nameOffset = int32_t(be32(r + 8)), dataOffset = int32_t(be32(r + 12));
    const std::string which = "its entry " + std::to_string(i);
    if (e.left > count || e.right > count) {
      problem = which + " links to an entry past its " + std::to_string(count);
      return false;
    }
    if (i == 0) {
      if (strict && e.id != 0xFFFF) {
        problem = "its reference entry has id " + std::to_string(e.id);
        return false;
      }
      // The reference entry's name: none, or an empty one in the pool.
      if (nameOffset == 0) continue;
    }
    const int64_t nameAt = int64_t(at) + nameOffset, dataAt = int64_t(at) + dataOffset;
    if (i > 0 && (dataAt < 0 || uint64_t(dataAt) >= size)) {
      problem = which + "'s data (offset " + std::to_string(dataAt) + ") lie outside the file";
      return false;
    }
    e.dataAt = i > 0 ? uint64_t(dataAt) : at;
    e.nameAt = nameAt < 0 ? 0 : uint64_t(nameAt);
    const auto known = reading.names.find(e.nameAt);
    if (known != reading.names.end()) {
      e.name = known->second;
      continue;
    }
    std::string name, nameProblem;
    if (nameAt < 4 || !tex0::readName(source, e.nameAt, name, nameProblem)) {
      if (nameAt >= 4 && nameProblem.empty()) return false;
      problem =
          which + (nameAt < 4 ? "'s name lies outside the file" : nameProblem.replace(0, 3, "'s"));
      return false;
    }
    if ((reading.nameBytes += name.size() + 1) > kMaxNameBytes) {
      problem = "the file's names take more than " + std::to_string(kMaxNameBytes) + " bytes";
      return false;
    }
    reading.names.emplace(e.nameAt, name);
    e.name = std::move(name);
  }
  for (size_t i = 1; i <= count; ++i)
    if (lookUp(out, out.entries[i].name) != i) {
      problem = "its entry " + std::to_string(i) + " (" + out.entries[i].name +
                ") is not found by the walk of its tree";
      return false;
    }
  return true;
}

size_t lookUp(const Group& group, const std::string& name) {
  const size_t at = walk(group, name);
  return at != SIZE_MAX && at != 0 && group.entries[at].name == name ? at : 0;
}

void insert(Group& group, Entry entry) {
  std::vector<Entry>& e = group.entries;
  const size_t reached = walk(group, entry.name);
  const int id = highestDifference(entry.name, e[reached == SIZE_MAX ? 0 : reached].name);
  entry.id = uint16_t(std::max(id, 0));
  // Above the first entry of the walk whose id is below the new one.
  size_t previous = 0, below = e[0].left;
  for (int step = 0; step < kMaxDepth && e[below].id < e[previous].id && e[below].id > entry.id;
       ++step) {
    previous = below;
    below = bitOf(entry.name, e[below].id) ? e[below].right : e[below].left;
  }
  const uint16_t self = uint16_t(e.size());
  const bool right = bitOf(entry.name, entry.id);
  entry.left = right ? uint16_t(below) : self;
  entry.right = right ? self : uint16_t(below);
  e.push_back(std::move(entry));
  if (previous == 0)
    e[0].left = self;
  else if (bitOf(e.back().name, e[previous].id))
    e[previous].right = self;
  else
    e[previous].left = self;
}

bool add(Group& group, Entry entry) {
  auto walkable = [](const Group& g) {
    for (size_t i = 1; i < g.entries.size(); ++i)
      if (lookUp(g, g.entries[i].name) != i) return false;
    return true;
  };
  Group grown = group;
  insert(grown, entry);
  if (!walkable(grown)) {
    // A tree that finds its names without being built as the format
    // builds them (a damaged file's) is built anew, the names inserted in
    // entry order.
    grown.entries.resize(1);
    grown.entries[0].left = grown.entries[0].right = 0;
    for (size_t i = 1; i < group.entries.size(); ++i) insert(grown, group.entries[i]);
    insert(grown, std::move(entry));
    if (!walkable(grown)) return false;
  }
  group = std::move(grown);
  return true;
}

std::vector<uint8_t> groupBytes(const Group& group, uint64_t at) {
  std::vector<uint8_t> out(size_t(group.end() - group.at), 0);
  put32(&out[0], uint32_t(out.size()));
  put32(&out[4], uint32_t(group.entries.size() - 1));
  for (size_t i = 0; i < group.entries.size(); ++i) {
    const Entry& e = group.entries[i];
    uint8_t* r = &out[8 + 16 * i];
    put16(r, e.id), put16(r + 2, e.flag), put16(r + 4, e.left), put16(r + 6, e.right);
    put32(r + 8, e.nameAt == 0 ? 0 : uint32_t(int64_t(e.nameAt) - int64_t(at)));
    put32(r + 12, i == 0 ? 0 : uint32_t(int64_t(e.dataAt) - int64_t(at)));
  }
  return out;
}

}  // namespace glaze::brres
