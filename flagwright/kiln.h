// kiln: KCL collision files of MK7, MKDS and MKWii built from Wavefront OBJ
// models, and read back (described, queried, checked, written as OBJ).
//
// The core library: the OBJ reader, the games' encodings, the prism
// encoder, the spatial index builder, the reader of (possibly hostile) KCL
// files and the reports. Failures are thrown as kiln::Error with the text
// that follows "kiln: FILE: ".
#ifndef KILN_H
#define KILN_H

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kiln_geometry.h"

namespace kiln {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- The three games ----------------------------------------------------

enum class Game { kMk7, kMkds, kMkwii };

struct GameInfo {
  const char* name;    // "MK7", "MKDS", "MKWii"
  const char* option;  // the -g value: "mk7", "mkds", "mkwii"
  bool bigEndian;
  bool fixedPoint;  // MKDS: 20.12 positions, 4.12 normals
  double thickness;
  double radius;
};

const GameInfo& infoOf(Game game);
std::optional<Game> gameNamed(std::string_view option);

// The identifier as the file holds it, from the four digits that the
// calculators show, and back. Only MKDS differs: its bit runs 0-4 and 8-12
// are exchanged.
uint16_t storedIdentifier(Game game, uint16_t shown);
uint16_t shownIdentifier(Game game, uint16_t stored);

// A count with commas between groups of three digits: 65,000.
std::string withCommas(uint64_t value);
// Four uppercase hexadecimal digits, as the calculators show them.
std::string identifierText(uint16_t value);
// "105A", "105a" or "0x105A": exactly four hexadecimal digits.
std::optional<uint16_t> parseIdentifier(std::string_view text);
// The last run of exactly four hexadecimal digits in a material name that
// stands alone or follows "_" or "0x" ("road_105A", "105A", "kcl_0x105a").
std::optional<uint16_t> identifierInName(std::string_view name);

// Numbers as stored: a 32-bit word (a float's bits, or fx32) for positions,
// heights and header numbers; a float's bits or an fx16 for normal components.
uint32_t numberWord(Game game, double value);
double numberValue(Game game, uint32_t word);
uint32_t normalWord(Game game, double component);
double normalValue(Game game, uint32_t word);
// What a value becomes once stored and read back.
inline double storedNumber(Game game, double value) {
  return numberValue(game, numberWord(game, value));
}

// MKDS: the largest magnitude an fx32 holds, and the widest index area.
constexpr double kFixedPointLimit = 524288.0;
constexpr int kMaxDsAreaBits = 19;
// MK7 and MKWii: the widest index area (the games form P - origin as a
// 32-bit integer).
constexpr int kMaxFloatAreaBits = 30;

constexpr uint32_t kHeaderSize = 0x3C;
constexpr size_t kMaxPrisms = 65535;
constexpr size_t kMaxPositions = 65536;
constexpr size_t kMaxNormals = 65536;

// ---- The OBJ model ------------------------------------------------------

struct ObjModel {
  struct Triangle {
    uint32_t corner[3];  // vertex numbers, 0-based
    uint32_t material;   // kNoMaterial before any usemtl
    uint32_t line;       // the face's line
  };
  static constexpr uint32_t kNoMaterial = UINT32_MAX;

  std::vector<Vec3> vertices;
  std::vector<uint32_t> vertexLines;
  std::vector<Triangle> triangles;  // polygons split into fans
  std::vector<std::string> materials;
  std::vector<uint32_t> materialLines;  // where each was first used
  uint64_t faces = 0;                   // f statements
  // OBJ statements that describe no surface (l, p, curves, ...): left out,
  // and counted for a warning.
  struct Skipped {
    std::string keyword;
    uint64_t count;
    uint32_t firstLine;
  };
  std::vector<Skipped> skipped;
};

// Longest line accepted.
constexpr size_t kMaxObjLine = 65536;

// Reads an OBJ text. A damaged one throws an Error naming the line.
ObjModel readObj(std::string_view text);

// ---- Building -----------------------------------------------------------

struct HitShape;
struct IndexArea;
struct IndexTree;

struct BuildOptions {
  Game game = Game::kMk7;
  // -m NAME=XXXX: identifiers (the calculators' form) by material name.
  std::vector<std::pair<std::string, uint16_t>> materialIdentifiers;
  // Another way to build the index (the benchmark's baseline); kiln's own
  // when empty.
  std::function<IndexTree(const std::vector<HitShape>&, const IndexArea&, Game)> indexBuilder;
};

struct BuildStats {
  size_t prisms = 0, positions = 0, normals = 0;
  size_t degenerate = 0;
  size_t unrecoverable = 0;          // slivers the format would give back as other triangles
  size_t distinctNormalsBefore = 0;  // when coarsened
  double coarsenedDegrees = 0;       // the largest change of direction, when coarsened
  double largestCornerError = 0;     // between a model's corner and the one the file gives back
  int depth = 0;
  size_t leaves = 0, emptyLeaves = 0;
  double meanList = 0;  // over the leaves that list anything
  size_t longestList = 0;
  size_t indexBytes = 0;
};

struct BuildResult {
  std::vector<uint8_t> file;
  std::vector<std::string> warnings;
  BuildStats stats;
};

BuildResult buildKcl(const ObjModel& model, const BuildOptions& options);

// ---- The spatial index --------------------------------------------------

// Where the index lies: its lowest corner (whole units), the width of the
// area on each axis (2^bits) and the root cube edge (2^shift).
struct IndexArea {
  double origin[3] = {0, 0, 0};
  int bits[3] = {0, 0, 0};
  int shift = 0;
  uint32_t rootCount() const {
    return 1u << ((bits[0] - shift) + (bits[1] - shift) + (bits[2] - shift));
  }
};

// What a leaf must list a prism for: the prism's hit volume is the region
// inside its three edge planes from `thickness` under the face to `radius`
// above it (the hull of `hull`), and every point closer than `radius` to
// the triangle.
struct HitShape {
  Vec3 corner[3];   // the triangle as the file gives it back
  Vec3 hull[6];     // the corners of the region inside the edge planes, bottom then top
  Vec3 normals[4];  // face, edges A-C, A-B, B-C
  double radius = 0;
};

// The tree before it is written. nodes[0 .. rootCount) are the root cubes,
// x fastest, then y, then z; a branch's eight children are consecutive,
// in the games' order (x, then y, then z as bits 0, 1, 2).
struct IndexTree {
  struct Node {
    int32_t firstChild = -1;  // a leaf when negative
    uint32_t listStart = 0;   // leaves: their prism numbers in `entries`
    uint32_t listLength = 0;
  };
  IndexArea area;
  std::vector<Node> nodes;
  std::vector<uint16_t> entries;  // prism numbers, 1-based
};

struct IndexParameters {
  size_t maxLeafList = 16;  // split a cube listing more than this
  int minCubeBits = 4;      // but never below cubes of 2^minCubeBits units
  // and, for cubes up to judgedLevels above the smallest, only when the
  // children's lists, weighted by the surface in them, are at most this
  // share of the cube's
  double splitGain = 0.75;
  int judgedLevels = 2;
  // A list longer than this splits outside the surface too, and down to
  // two levels below minCubeBits, when its children's lists are at most
  // longListGain of it.
  size_t longList = 128;
  double longListGain = 0.9;
};

// The area that holds every shape with a unit to spare, or an Error naming
// the limit it passes.
IndexArea chooseArea(const std::vector<HitShape>& shapes, Game game);
IndexParameters chooseParameters(Game game);
// The cube margin that covers the games' rounding of P - origin.
double cubeMargin(const IndexArea& area);
IndexTree buildIndex(const std::vector<HitShape>& shapes, const IndexArea& area,
                     const IndexParameters& parameters);

// The hit volume of a stored prism (its planes as the game reads them,
// corners b and c recovered from them).
HitShape hitShapeOf(const PrismPlanes& prism, Vec3 b, Vec3 c, double thickness, double radius);

// ---- The file -----------------------------------------------------------

struct StoredPrism {
  uint32_t height;  // a number word
  uint16_t position, face, edgeAC, edgeAB, edgeBC;
  uint16_t attribute;  // as stored
};

struct StoredKcl {
  Game game = Game::kMk7;
  std::vector<std::array<uint32_t, 3>> positions;  // number words
  std::vector<std::array<uint32_t, 3>> normals;    // normal words
  std::vector<StoredPrism> prisms;
};

// The whole file: header, sections, index (blocks breadth first, then the
// lists, identical lists written once). indexBytes is set to the index
// section's size.
std::vector<uint8_t> writeKcl(const StoredKcl& kcl, const IndexTree& tree,
                              size_t* indexBytes = nullptr);

// ---- Reading ------------------------------------------------------------

// A KCL file, checked as hostile data when read: every offset, key, list,
// index and number that the reports and lookups use is known to be sound.
class KclFile {
 public:
  // Throws an Error describing the first fault found.
  explicit KclFile(std::vector<uint8_t> bytes);

  Game game() const { return game_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  double thickness() const { return thickness_; }
  double radius() const { return radius_; }
  const IndexArea& area() const { return area_; }
  uint32_t mask(int axis) const { return masks_[axis]; }
  uint32_t indexOffset() const { return indexOffset_; }

  size_t positionCount() const { return positionCount_; }
  size_t normalCount() const { return normalCount_; }
  size_t prismCount() const { return prismCount_; }

  // Prism number k (1-based, as lists name them).
  PrismPlanes planes(size_t k) const;
  uint16_t attribute(size_t k) const;
  // The corners recovered from prism k (finite in a file that was read).
  void corners(size_t k, Vec3& a, Vec3& b, Vec3& c) const;

  struct Leaf {
    bool inside = false;          // false: the point lies outside the area
    int depth = 0;                // branches followed
    int cubeBits = 0;             // the leaf's cube is 2^cubeBits units
    int64_t cube[3] = {0, 0, 0};  // its lowest corner, counted from the origin
    uint32_t keyOffset = 0, listOffset = 0;
    std::vector<uint16_t> prisms;  // 1-based
  };
  // The leaf the game searches for a sphere centred at p.
  Leaf lookup(Vec3 p) const;

  struct IndexStats {
    int depth = 0;  // the deepest branch level
    size_t blocks = 0, leaves = 0, emptyLeaves = 0, distinctLists = 0;
    double meanList = 0;  // over the leaves that list anything
    size_t longestList = 0;
    int smallestCubeBits = 0;
  };
  const IndexStats& indexStats() const { return stats_; }

 private:
  void readHeader();
  void readPrisms();
  void walkIndex();
  uint32_t u32(size_t offset) const;
  uint16_t u16(size_t offset) const;
  Vec3 position(size_t index) const;
  Vec3 normal(size_t index) const;

  std::vector<uint8_t> bytes_;
  Game game_ = Game::kMk7;
  bool big_ = false;
  uint32_t normalsOffset_ = 0, prismBase_ = 0, indexOffset_ = 0;
  size_t positionCount_ = 0, normalCount_ = 0, prismCount_ = 0;
  double thickness_ = 0, radius_ = 0;
  IndexArea area_;
  uint32_t masks_[3] = {0, 0, 0};
  uint32_t shiftX_ = 0, shiftXY_ = 0;
  std::vector<Vec3> cornerB_, cornerC_;  // per prism, recovered once
  IndexStats stats_;
};

// The game a file's first words say it is for, or an Error.
Game detectGame(const std::vector<uint8_t>& bytes);

// ---- Reports ------------------------------------------------------------

// -i: game, counts, bounds, header numbers, index statistics, identifiers;
// the mean list length at the surface from that many points.
std::string describeKcl(const KclFile& kcl, const std::string& name, size_t surfaceSamples = 20000);
// -p: the leaf at p, its prisms, and which of them the game would hit.
std::string queryKcl(const KclFile& kcl, Vec3 p);
// -t: what is wrong beyond what reading checks already (empty when sound):
// header numbers that are not the game's, normals not of unit length,
// prisms of no area, and leaves that lack a prism the game would hit in
// their cube (checkIndexCoverage).
std::vector<std::string> checkKcl(const KclFile& kcl);
void checkIndexCoverage(const KclFile& kcl, std::vector<std::string>& problems);

// -d: the triangles as OBJ, one material kcl_XXXX per identifier, and the
// material library (named mtlName in the OBJ) with a colour per type.
struct ObjExport {
  std::string obj, mtl;
  size_t triangles = 0, vertices = 0, materials = 0;
};
ObjExport exportObj(const KclFile& kcl, const std::string& mtlName, const std::string& source);

// The mean length of the lists that lookups at points spread over the
// prisms' surfaces find (weighted by area), from `samples` points.
double meanListOnSurface(const KclFile& kcl, size_t samples);

// ---- Files --------------------------------------------------------------

// Which file a path leads to.
struct FileId {
  uint64_t device = 0, inode = 0;
  bool known = false;
};

// A regular file read whole (FIFOs and devices are refused at once, without
// waiting for a writer). Throws an Error: "cannot open: REASON", "cannot
// read: REASON", "not a regular file", or the size beyond `limit`.
std::vector<uint8_t> readFile(const std::string& path, uint64_t limit, FileId* id = nullptr);

// Files written beside their names and renamed over them only when whole:
// an old file survives any failure, and no partial or temporary file is
// left (an interrupt removes the temporary files too).
class OutputFiles {
 public:
  OutputFiles() = default;
  ~OutputFiles();
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;

  // Writes data under a temporary name beside path (or beside the file a
  // symbolic link at path leads to). Throws an Error naming the problem;
  // `input` is the file read, which may not be replaced.
  void add(const std::string& path, std::string_view data, const FileId& input);
  // Renames the files over their names, in the order added. Throws an
  // Error (with the failing path in *failed) when a rename fails.
  void commit(std::string* failed);

 private:
  struct Pending {
    std::string target, temporary;
  };
  std::vector<Pending> pending_;
};

// Interrupts (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE) remove the
// temporary files before the program ends; a file-size limit makes a write
// fail instead of ending the program.
void installSignalHandling();

}  // namespace kiln

#endif
