// Reading KCL files as hostile data: each kind of damage is an Error with
// its own message, found in time and memory bounded by the file's size;
// shared blocks and deep chains are walked once per block.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "support.h"

namespace {

using kiln::Game;
using Bytes = std::vector<uint8_t>;

// A one-triangle file of the game, from the library.
Bytes oneTriangle(Game game) {
  course::Course model;
  model.triangle(model.vertex(0, 0, 0), model.vertex(0, 0, 100), model.vertex(100, 0, 0),
                 model.material("m_0000"));
  return kilntest::build(model, game);
}

bool bigEndian(const Bytes& b) { return b[0] == 0; }

void put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + (bigEndian(b) ? 3 - i : i)] = static_cast<uint8_t>(v >> (8 * i));
}

void put16(Bytes& b, size_t at, uint16_t v) {
  b[at + (bigEndian(b) ? 1 : 0)] = static_cast<uint8_t>(v);
  b[at + (bigEndian(b) ? 0 : 1)] = static_cast<uint8_t>(v >> 8);
}

uint32_t get32(const Bytes& b, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t{b[at + (bigEndian(b) ? 3 - i : i)]} << (8 * i);
  return v;
}

std::string readError(const Bytes& bytes) {
  try {
    kiln::KclFile file(bytes);
  } catch (const kiln::Error& e) {
    return e.what();
  }
  return "(read)";
}

// The file up to its index, with this index instead: root cube shift,
// area bits per axis and the index's u32 words.
Bytes withIndex(Bytes base, uint32_t shift, const uint32_t bits[3],
                const std::vector<uint32_t>& words) {
  const uint32_t index = get32(base, 0x0C);
  base.resize(index + 4 * words.size());
  for (size_t i = 0; i < words.size(); ++i) put32(base, index + 4 * i, words[i]);
  for (int axis = 0; axis < 3; ++axis) {
    put32(base, 0x20 + 4 * axis, bits[axis] >= 32 ? 0 : ~((uint32_t{1} << bits[axis]) - 1));
  }
  put32(base, 0x2C, shift);
  put32(base, 0x30, bits[0] - shift);
  put32(base, 0x34, bits[0] - shift + bits[1] - shift);
  return base;
}

std::string hex(uint64_t v) {
  char t[32];
  std::snprintf(t, sizeof t, "0x%llX", static_cast<unsigned long long>(v));
  return std::string(t);
}

TEST(KilnRead, DamagedHeadersAndSections) {
  const Bytes base = oneTriangle(Game::kMk7);
  ASSERT_EQ(readError(base), "(read)");
  const uint32_t normals = get32(base, 4), prisms = get32(base, 8) + 0x10, index = get32(base, 0xC);
  const struct {
    const char* what;
    size_t at;
    uint32_t value;
    std::string message;
  } cases[] = {
      {"first word", 0, 0x12345678,
       "not a KCL file: it starts with 0x78563412, not the positions' offset 0x3C in either byte "
       "order (nor SMG's 0x38)"},
      {"normals beyond the end", 4, 0x10000,
       "the normals' offset 0x10000 lies outside the file (" + std::to_string(base.size()) +
           " bytes)"},
      {"normals in the header", 4, 0x20, "the normals' offset 0x20 lies inside the header"},
      {"prisms before normals", 8, normals - 0x14,
       "the prisms' offset " + hex(normals - 4) + " lies before the normals' " + hex(normals)},
      {"prisms past 4 GiB", 8, 0xFFFFFFF8,
       "the prisms' offset 0x100000008 lies outside the file (" + std::to_string(base.size()) +
           " bytes)"},
      {"index before prisms", 0xC, prisms - 4,
       "the index's offset " + hex(prisms - 4) + " lies before the prisms' " + hex(prisms)},
      {"thickness", 0x10, 0x7FC00000, "the prism thickness is not a finite number"},
      {"radius", 0x38, 0x7F800000, "the sphere radius is not a finite number"},
      {"origin", 0x18, 0xFFC00000, "the index origin's y is not a finite number"},
      {"mask", 0x24, 0xFFFF00F0, "the y mask 0xFFFF00F0 is not of the form ~(2^n - 1)"},
      {"shift", 0x2C, 32, "the root cube shift 32 is not below 32"},
      {"x shift", 0x30, get32(base, 0x30) + 1,
       "the root grid's x shift is " + std::to_string(get32(base, 0x30) + 1) +
           ", but the masks give " + std::to_string(get32(base, 0x30))},
      {"x-y shift", 0x34, get32(base, 0x34) + 1,
       "the root grid's x-y shift is " + std::to_string(get32(base, 0x34) + 1) +
           ", but the masks give " + std::to_string(get32(base, 0x34))},
      {"height", prisms, 0x7FC00000, "prism 1: its height is not a finite number"},
      {"position x", 0x3C, 0xFF800000, "prism 1: its position (number 0) is not finite"},
  };
  for (const auto& c : cases) {
    Bytes damaged = base;
    put32(damaged, c.at, c.value);
    EXPECT_EQ(readError(damaged), c.message) << c.what;
  }
  (void)index;
  // Prism indices out of range and normals that meet nowhere.
  const struct {
    size_t field;
    uint16_t value;
    std::string message;
  } indices[] = {
      {4, 7, "prism 1: its position index 7 is out of range (1 positions)"},
      {6, 900, "prism 1: its face normal index 900 is out of range (4 normals)"},
      {12, 4, "prism 1: its B-C edge normal index 4 is out of range (4 normals)"},
  };
  for (const auto& c : indices) {
    Bytes damaged = base;
    put16(damaged, prisms + c.field, c.value);
    EXPECT_EQ(readError(damaged), c.message);
  }
  Bytes parallel = base;
  const uint16_t face = static_cast<uint16_t>(base[prisms + 6] | (base[prisms + 7] << 8));
  put16(parallel, prisms + 10, face);  // the A-B edge normal is the face normal
  EXPECT_EQ(readError(parallel),
            "prism 1: its corners cannot be recovered: its normals meet in no finite point");
  EXPECT_EQ(readError(Bytes(base.begin(), base.begin() + 10)),
            "not a KCL file: 10 bytes, fewer than the 60 of a header");
  // A narrower area than the root cube.
  Bytes narrow = base;
  put32(narrow, 0x20, ~uint32_t{0});  // 2^0 units along x
  put32(narrow, 0x30, 0);
  EXPECT_EQ(
      readError(narrow).rfind(
          "the x mask 0xFFFFFFFF makes the area 2^0 units wide, less than the root cube's 2^", 0),
      0u)
      << readError(narrow);
}

TEST(KilnRead, DamagedIndexes) {
  const Bytes base = oneTriangle(Game::kMk7);
  const uint32_t index = get32(base, 0xC);
  const uint32_t one[3] = {0, 0, 0}, two[3] = {1, 1, 1}, big[3] = {20, 20, 20};
  EXPECT_EQ(
      readError(withIndex(base, 0, big, {0x80000000})),
      "the root grid of 2^60 cubes does not fit the file after the index's offset " + hex(index));
  EXPECT_EQ(
      readError(withIndex(base, 0, one, {4, 0, 0, 0, 0, 0, 0, 0, 0})),
      "the index key at " + hex(index) +
          " branches below cubes of one unit (the root cube shift 0 allows that many levels)");
  EXPECT_EQ(readError(withIndex(base, 1, two, {0})),
            "the index key at " + hex(index) + " leads to its own block: a cycle");
  EXPECT_EQ(readError(withIndex(base, 1, two, {0x1000})),
            "the index key at " + hex(index) + " leads to a block at " + hex(index + 0x1000) +
                ", outside the file");
  EXPECT_EQ(readError(withIndex(base, 0, one, {0x80000100})),
            "the index key at " + hex(index) + " leads to a list at " + hex(index + 0x102) +
                ", outside the file");
  EXPECT_EQ(readError(withIndex(base, 0, one, {0x80000002, 0x00010001})),
            "the list at " + hex(index + 4) + " (of the index key at " + hex(index) +
                ") runs to the end of the file without its ending 0");
  EXPECT_EQ(readError(withIndex(base, 0, one, {0x80000002, 0x00000005})),
            "the list at " + hex(index + 4) + " (of the index key at " + hex(index) +
                ") names prism 5, but the file holds 1");
  // A list may start inside another and share its end: seven keys name
  // [1, 0] inside the list [1, 1, 0] of the first. Damage in the first
  // list's own entries is its alone.
  const std::vector<uint32_t> nested = {4,          0x8000001E, 0x80000020, 0x80000020,
                                        0x80000020, 0x80000020, 0x80000020, 0x80000020,
                                        0x80000020, 0x00010001, 0};
  const kiln::KclFile shared(withIndex(base, 1, two, nested));
  EXPECT_EQ(shared.indexStats().longestList, 2u);
  EXPECT_EQ(shared.indexStats().distinctLists, 2u);
  EXPECT_DOUBLE_EQ(shared.indexStats().meanList, 9.0 / 8);
  std::vector<uint32_t> damaged = nested;
  damaged[9] = 0x00010009;
  EXPECT_EQ(readError(withIndex(base, 1, two, damaged)),
            "the list at " + hex(index + 36) + " (of the index key at " + hex(index + 4) +
                ") names prism 9, but the file holds 1");
  // Sound: a leaf with the one prism, found by lookups anywhere in its cube.
  const kiln::KclFile sound(withIndex(base, 0, one, {0x80000002, 0x00000001}));
  EXPECT_EQ(sound.indexStats().leaves, 1u);
}

TEST(KilnRead, SharedBlocksAndDeepChainsAreWalkedOncePerBlock) {
  const Bytes base = oneTriangle(Game::kMk7);
  // Every one of 2^18 root keys names the same block, whose keys all name
  // the next one, thirty levels down: 2^18 * 8^13 paths, 14 blocks.
  const uint32_t bits[3] = {19, 19, 19};
  const uint32_t shift = 13, roots = 1u << 18;
  std::vector<uint32_t> words(roots, 4 * roots);
  for (uint32_t level = 1; level <= shift; ++level) {
    for (int k = 0; k < 8; ++k) words.push_back(level < shift ? 32 : 0x80000000u | (32 - 2));
  }
  words.push_back(0x00000001);  // the list: prism 1, then the ending 0
  const auto start = std::chrono::steady_clock::now();
  const kiln::KclFile file(withIndex(base, shift, bits, words));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 5.0);
  EXPECT_EQ(file.indexStats().depth, 13);
  EXPECT_EQ(file.indexStats().blocks, 13u);
  EXPECT_EQ(file.indexStats().longestList, 1u);
  const kiln::KclFile::Leaf leaf = file.lookup(
      {file.area().origin[0] + 5, file.area().origin[1] + 5, file.area().origin[2] + 5});
  EXPECT_TRUE(leaf.inside);
  EXPECT_EQ(leaf.depth, 13);
  EXPECT_EQ(leaf.prisms, std::vector<uint16_t>{1});
}

TEST(KilnRead, TheGameComesFromTheFile) {
  for (Game game : {Game::kMk7, Game::kMkds, Game::kMkwii, Game::kSmg}) {
    const Bytes bytes = oneTriangle(game);
    EXPECT_EQ(kiln::detectGame(bytes), game);
    const kiln::KclFile file(bytes);
    EXPECT_EQ(file.game(), game);
    EXPECT_EQ(file.thickness(), kiln::infoOf(game).thickness);
    EXPECT_EQ(file.radius(), kiln::infoOf(game).radius);
    // And damage found in each byte order.
    Bytes damaged = bytes;
    put32(damaged, 0x0C, get32(bytes, 0x0C) + 0x100000);
    EXPECT_EQ(readError(damaged).rfind("the index's offset ", 0), 0u) << readError(damaged);
  }
}

// Galaxy's files, made from the format's description rather than by kiln:
// a floor, a wall and a slope, a thickness of kiln's choosing nowhere, and
// positions no prism uses.
std::vector<kilntest::Triangle> galaxyTriangles() {
  return {{{0, 0, 0}, {0, 0, 400}, {400, 0, 0}, 0x0003},
          {{600, 0, 0}, {600, 300, 0}, {600, 0, 400}, 0x0010},
          {{-500, 0, -500}, {-500, 200, -100}, {-100, 0, -500}, 0x8001}};
}

TEST(KilnRead, GalaxysLayoutFromTheFormat) {
  const std::vector<kilntest::Triangle> triangles = galaxyTriangles();
  const Bytes bytes = kilntest::galaxyFile(triangles, 40, 350);
  ASSERT_EQ(get32(bytes, 0), 0x38u);
  EXPECT_EQ(kiln::detectGame(bytes), Game::kSmg);
  const kiln::KclFile file(bytes);
  EXPECT_EQ(file.game(), Game::kSmg);
  EXPECT_EQ(file.prismCount(), 3u);
  EXPECT_EQ(file.positionCount(), 6u);  // three unused
  EXPECT_EQ(file.normalCount(), 12u);
  EXPECT_EQ(file.thickness(), 40);
  EXPECT_FALSE(file.radiusStored());
  EXPECT_EQ(file.radius(), kiln::infoOf(Game::kSmg).radius);
  const kiln::KclFile::IndexStats& stats = file.indexStats();
  EXPECT_EQ(stats.blocks, 1u);
  EXPECT_EQ(stats.leaves, 9u);
  EXPECT_EQ(stats.distinctLists, 1u);
  EXPECT_EQ(stats.longestList, 3u);
  for (size_t k = 1; k <= 3; ++k) {
    const kilntest::Triangle& t = triangles[k - 1];
    kiln::Vec3 a, b, c;
    file.corners(k, a, b, c);
    const kiln::Vec3 expected[3] = {
        {t.a.x, t.a.y, t.a.z}, {t.b.x, t.b.y, t.b.z}, {t.c.x, t.c.y, t.c.z}};
    const kiln::Vec3 got[3] = {a, b, c};
    for (int i = 0; i < 3; ++i) EXPECT_LT(kiln::length(got[i] - expected[i]), 1e-3) << k;
    EXPECT_EQ(file.attribute(k), t.attribute);
    const kiln::KclFile::Leaf leaf = file.lookup((a + b + c) * (1.0 / 3));
    EXPECT_TRUE(leaf.inside);
    EXPECT_EQ(leaf.prisms, (std::vector<uint16_t>{1, 2, 3}));
  }
  // Its thickness is its own: nothing to say, and the index covers the
  // region under every face.
  EXPECT_EQ(kiln::checkKcl(file), std::vector<std::string>{});
  // The tests' own reading agrees.
  const reference::File other(bytes);
  EXPECT_EQ(other.game, reference::File::kSmg);
  EXPECT_EQ(other.prismCount, 3u);
  EXPECT_EQ(other.search({100, 10, 100}), (std::vector<uint16_t>{1, 2, 3}));
}

TEST(KilnRead, GalaxysShortHeaderAndVersion2AreToldApart) {
  Bytes version2(0x100, 0);  // 00 00 02 02: 0x02020000 little-endian
  version2[2] = version2[3] = 0x02;
  const std::string refused =
      "a KCL file of version 2 (its first word is 0x02020000): a later console's layout, which "
      "kiln does not read (it reads the MK7, MKDS, MKWii and SMG layouts)";
  EXPECT_EQ(readError(version2), refused);
  version2.resize(4);
  EXPECT_EQ(readError(version2), refused);
  const Bytes galaxy = kilntest::galaxyFile(galaxyTriangles(), 40, 350);
  EXPECT_EQ(readError(Bytes(galaxy.begin(), galaxy.begin() + 40)),
            "not a KCL file: 40 bytes, fewer than the 56 of an SMG header");
  // The header ends at 0x38: sections may begin there, not before.
  Bytes damaged = galaxy;
  put32(damaged, 4, 0x34);
  EXPECT_EQ(readError(damaged), "the normals' offset 0x34 lies inside the header");
  damaged = galaxy;
  put32(damaged, 4, 0x38);  // no positions at all: the prisms' indices fail
  EXPECT_EQ(readError(damaged).rfind("prism 1: its position index 0 is out of range (0 ", 0), 0u)
      << readError(damaged);
}

}  // namespace

namespace {

std::vector<std::string> problemsOf(const Bytes& bytes) {
  return kiln::checkKcl(kiln::KclFile(bytes));
}

TEST(KilnCheck, FindsLeavesThatLackAPrismTheGameWouldHit) {
  for (Game game : {Game::kMk7, Game::kMkds, Game::kMkwii, Game::kSmg}) {
    SCOPED_TRACE(kiln::infoOf(game).name);
    const Bytes sound = kilntest::build(course::demoCourse(), game);
    EXPECT_TRUE(problemsOf(sound).empty());
    // Prism 100 taken out of the list the game searches at its centre.
    const kiln::KclFile file(sound);
    kiln::Vec3 a, b, c;
    file.corners(100, a, b, c);
    const kiln::KclFile::Leaf leaf = file.lookup((a + b + c) * (1.0 / 3));
    ASSERT_NE(std::find(leaf.prisms.begin(), leaf.prisms.end(), 100), leaf.prisms.end());
    Bytes holed = sound;
    const uint16_t other = leaf.prisms.front() != 100 ? leaf.prisms.front() : leaf.prisms.back();
    for (size_t i = 0; i < leaf.prisms.size(); ++i) {
      if (leaf.prisms[i] == 100) put16(holed, leaf.listOffset + 2 * i, other == 100 ? 0 : other);
    }
    const std::vector<std::string> problems = problemsOf(holed);
    ASSERT_FALSE(problems.empty());
    EXPECT_EQ(problems[0].rfind("prism 100 is missing from the leaf of the cube at (", 0), 0u)
        << problems[0];
    EXPECT_NE(problems[0].find(" units wide, which its hit volume reaches (index key at 0x"),
              std::string::npos);
    // An origin absurdly far away: every hit volume lies outside the area.
    Bytes far = sound;
    put32(far, 0x14, kiln::numberWord(game, game == Game::kMkds ? -500000 : -1e30));
    const std::vector<std::string> farProblems = problemsOf(far);
    ASSERT_FALSE(farProblems.empty());
    EXPECT_NE(farProblems[0].find("its hit volume reaches outside the index area"),
              std::string::npos)
        << farProblems[0];
    // An area that starts above the lowest surfaces.
    Bytes raised = sound;
    put32(raised, 0x18, kiln::numberWord(game, file.area().origin[1] + 64));
    bool outside = false;
    for (const std::string& p : problemsOf(raised)) {
      outside =
          outside || p.find("its hit volume reaches outside the index area") != std::string::npos;
    }
    EXPECT_TRUE(outside);
  }
}

}  // namespace
