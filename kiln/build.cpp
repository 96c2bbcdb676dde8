// From an OBJ model to a KCL file: identifiers from the material names,
// positions and normals stored in the game's numbers and shared where
// equal (normals coarsened when they still do not fit), one prism per
// triangle with the corner that the file gives back best, the index, and
// the file's bytes.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "build.h"

namespace kiln {

namespace {

std::string decimal(double value, int places) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", places, value);
  return text;
}

using Words = std::array<uint32_t, 3>;

// Numbers each distinct triple of words in the order first seen.
class WordTable {
 public:
  explicit WordTable(size_t expected) {
    size_t capacity = 16;
    while (capacity < expected * 2) capacity *= 2;
    slots_.assign(capacity, kEmpty);
  }
  uint32_t number(const Words& words) {
    size_t at = hash(words) & (slots_.size() - 1);
    for (;;) {
      const uint32_t slot = slots_[at];
      if (slot == kEmpty) break;
      const Words& key = keys_[slot];
      if (key[0] == words[0] && key[1] == words[1] && key[2] == words[2]) return slot;
      at = (at + 1) & (slots_.size() - 1);
    }
    const uint32_t id = static_cast<uint32_t>(keys_.size());
    slots_[at] = id;
    keys_.push_back(words);
    if (keys_.size() * 2 > slots_.size()) grow();
    return id;
  }
  size_t size() const { return keys_.size(); }
  const std::vector<Words>& keys() const { return keys_; }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  static size_t hash(const Words& w) {
    uint64_t h = (uint64_t{w[0]} * 0x9E3779B97F4A7C15ull) ^
                 (uint64_t{w[1]} * 0xC2B2AE3D27D4EB4Full) ^
                 (uint64_t{w[2]} * 0x165667B19E3779F9ull);
    return static_cast<size_t>(h ^ (h >> 29));
  }
  void grow() {
    std::vector<uint32_t> slots(slots_.size() * 2, kEmpty);
    for (uint32_t id = 0; id < keys_.size(); ++id) {
      size_t at = hash(keys_[id]) & (slots.size() - 1);
      while (slots[at] != kEmpty) at = (at + 1) & (slots.size() - 1);
      slots[at] = id;
    }
    slots_.swap(slots);
  }
  std::vector<uint32_t> slots_;
  std::vector<Words> keys_;
};

Words normalWords(Game game, Vec3 n) {
  return {normalWord(game, n.x), normalWord(game, n.y), normalWord(game, n.z)};
}

Vec3 normalOf(Game game, const Words& w) {
  return {normalValue(game, w[0]), normalValue(game, w[1]), normalValue(game, w[2])};
}

Vec3 positionOf(Game game, const Words& w) {
  return {numberValue(game, w[0]), numberValue(game, w[1]), numberValue(game, w[2])};
}

// The direction n rounded to a grid of steps 1/steps on the faces of the
// unit cube, as a unit vector: the same grid point gives the same vector.
Vec3 coarseDirection(Vec3 n, int steps) {
  const double a[3] = {std::fabs(n.x), std::fabs(n.y), std::fabs(n.z)};
  const int major = a[0] >= a[1] && a[0] >= a[2] ? 0 : (a[1] >= a[2] ? 1 : 2);
  const double scale = steps / a[major];
  double q[3] = {n.x, n.y, n.z};
  for (int axis = 0; axis < 3; ++axis) {
    q[axis] = axis == major ? (q[axis] > 0 ? steps : -steps) : std::nearbyint(q[axis] * scale);
  }
  return unit(Vec3{q[0], q[1], q[2]});
}

double degreesBetween(Vec3 a, Vec3 b) {
  return std::atan2(length(cross(a, b)), dot(a, b)) * (180 / M_PI);
}

// A triangle that becomes a prism.
struct Face {
  uint32_t vertex[3];  // the model's vertices
  uint32_t line;
  uint16_t attribute;
  // Exact normals: face, edges A-B, B-C, C-A.
  Vec3 normals[4];
};

// Triangles thinner than this (units) are left out: their normals are
// undefined or the format could not give their corners back.
constexpr double kThinnest = 0.01;

// The triangle's smallest height: twice its area over its longest edge.
double smallestHeight(Vec3 a, Vec3 b, Vec3 c) {
  const double longest =
      std::sqrt(std::max({dot(b - a, b - a), dot(c - b, c - b), dot(a - c, a - c)}));
  return longest > 0 ? length(cross(b - a, c - a)) / longest : 0;
}

}  // namespace

BuildResult buildKcl(const ObjModel& model, const BuildOptions& options) {
  const Game game = options.game;
  const GameInfo& info = infoOf(game);
  BuildResult result;
  BuildStats& stats = result.stats;

  // Identifiers, by material: -m first, then the name.
  std::vector<std::optional<uint16_t>> identifiers(model.materials.size());
  for (size_t i = 0; i < model.materials.size(); ++i) {
    identifiers[i] = identifierInName(model.materials[i]);
  }
  for (const auto& [name, value] : options.materialIdentifiers) {
    const auto it = std::find(model.materials.begin(), model.materials.end(), name);
    if (it == model.materials.end()) {
      result.warnings.push_back("-m " + name + "=" + identifierText(value) +
                                ": the model uses no material of that name");
      continue;
    }
    identifiers[static_cast<size_t>(it - model.materials.begin())] = value;
  }
  {
    std::map<uint32_t, uint64_t> missing;  // material (or kNoMaterial) -> triangles
    for (const ObjModel::Triangle& t : model.triangles) {
      if (t.material == ObjModel::kNoMaterial || !identifiers[t.material]) ++missing[t.material];
    }
    if (!missing.empty()) {
      std::string text = "no identifier for ";
      bool first = true;
      for (const auto& [material, count] : missing) {
        if (!first) text += ", ";
        first = false;
        const std::string triangles = withCommas(count) + (count == 1 ? " triangle" : " triangles");
        if (material == ObjModel::kNoMaterial) {
          text += "the faces without a material (" + triangles + ")";
        } else {
          text += "material \"" + model.materials[material] + "\" (line " +
                  std::to_string(model.materialLines[material]) + ", " + triangles + ")";
        }
      }
      throw Error(text +
                  "; name each material with four hexadecimal digits (road_105A) or give "
                  "-m NAME=XXXX");
    }
  }

  // The vertices the faces use, as the file will hold them.
  std::vector<uint8_t> used(model.vertices.size(), 0);
  for (const ObjModel::Triangle& t : model.triangles) {
    for (uint32_t v : t.corner) used[v] = 1;
  }
  std::vector<Vec3> stored(model.vertices.size());
  {
    uint64_t notFinite = 0, outOfRange = 0;
    uint32_t firstNotFinite = 0, firstOutOfRange = 0;
    double furthest = 0;
    for (size_t v = 0; v < model.vertices.size(); ++v) {
      if (!used[v]) continue;
      const Vec3 p = model.vertices[v];
      if (!finite(p)) {
        if (notFinite++ == 0) firstNotFinite = model.vertexLines[v];
        continue;
      }
      const double largest = std::max({std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)});
      // Below half a step under the limit, fx32 rounding stays in range;
      // a float keeps any coordinate below FLT_MAX.
      const double limit = info.fixedPoint ? kFixedPointLimit - 0.5 / 4096 : 3.4e38;
      if (largest >= limit) {
        if (outOfRange++ == 0) firstOutOfRange = model.vertexLines[v];
        furthest = std::max(furthest, largest);
        continue;
      }
      stored[v] = {storedNumber(game, p.x), storedNumber(game, p.y), storedNumber(game, p.z)};
    }
    if (notFinite > 0) {
      throw Error(withCommas(notFinite) + (notFinite == 1 ? " vertex has" : " vertices have") +
                  " a coordinate that is not a finite number (the first on line " +
                  std::to_string(firstNotFinite) + ")");
    }
    if (outOfRange > 0) {
      throw Error(withCommas(outOfRange) + (outOfRange == 1 ? " vertex lies" : " vertices lie") +
                  " outside " + info.name + "'s number range of " +
                  (info.fixedPoint ? std::string("524,288") : std::string("3.4e38")) +
                  " units either side of zero (the first on line " +
                  std::to_string(firstOutOfRange) + ", the furthest at " + decimal(furthest, 1) +
                  ")");
    }
  }

  // The faces, less the degenerate ones.
  std::vector<Face> faces;
  faces.reserve(model.triangles.size());
  for (const ObjModel::Triangle& t : model.triangles) {
    Face face;
    for (int i = 0; i < 3; ++i) face.vertex[i] = t.corner[i];
    const Vec3 a = stored[t.corner[0]], b = stored[t.corner[1]], c = stored[t.corner[2]];
    if (!(smallestHeight(a, b, c) >= kThinnest)) {
      ++stats.degenerate;
      continue;
    }
    const PrismPlanes planes = planesOf(a, b, c);
    face.normals[0] = planes.face;
    face.normals[1] = planes.edgeAB;
    face.normals[2] = planes.edgeBC;
    face.normals[3] = planes.edgeAC;
    face.line = t.line;
    face.attribute = storedIdentifier(game, *identifiers[t.material]);
    faces.push_back(face);
  }
  if (stats.degenerate > 0) {
    result.warnings.push_back(
        withCommas(stats.degenerate) + " degenerate " +
        (stats.degenerate == 1 ? "triangle (collinear corners or thinner than 0.01 units) was"
                               : "triangles (collinear corners or thinner than 0.01 units) were") +
        " left out");
  }
  if (faces.size() > kMaxPrisms) {
    throw Error("the model has " + withCommas(faces.size()) + " triangles" +
                (stats.degenerate > 0 ? " (besides the degenerate ones)" : "") +
                ", more than the " + withCommas(kMaxPrisms) +
                " prisms a KCL file can hold (its lists number them in 16 bits)");
  }

  // The normals as stored, shared where equal; coarsened step by step while
  // there are more than 16-bit indices reach.
  std::vector<Words> normalSlots(faces.size() * 4);
  for (size_t f = 0; f < faces.size(); ++f) {
    for (int i = 0; i < 4; ++i) normalSlots[f * 4 + i] = normalWords(game, faces[f].normals[i]);
  }
  auto countNormals = [&]() {
    WordTable table(normalSlots.size() / 2 + 16);
    for (const Words& words : normalSlots) table.number(words);
    return table.size();
  };
  // How many grid points of steps 1/steps the normals take: as many as
  // distinct stored normals, or a few more where two points round to the
  // same numbers.
  std::vector<uint64_t> cells(1 << 18);  // room for the 65,537 that prove a grid too fine
  auto countCells = [&](int steps) {
    size_t mask = cells.size() - 1, count = 0;
    std::fill(cells.begin(), cells.end(), 0);
    for (const Face& face : faces) {
      for (const Vec3& n : face.normals) {
        const double a[3] = {std::fabs(n.x), std::fabs(n.y), std::fabs(n.z)};
        const int major = a[0] >= a[1] && a[0] >= a[2] ? 0 : (a[1] >= a[2] ? 1 : 2);
        const double scale = steps / a[major];
        const int u = major == 0 ? 1 : 0, v = major == 2 ? 1 : 2;
        const uint64_t key = (static_cast<uint64_t>(major * 2 + (n[major] > 0)) << 40) |
                             (static_cast<uint64_t>(std::nearbyint(n[u] * scale) + steps) << 20) |
                             static_cast<uint64_t>(std::nearbyint(n[v] * scale) + steps) |
                             (uint64_t{1} << 63);
        size_t at = static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 40) & mask;
        while (cells[at] != 0 && cells[at] != key) at = (at + 1) & mask;
        if (cells[at] == 0) {
          cells[at] = key;
          if (++count > kMaxNormals) return count;  // enough to know it does not fit
        }
      }
    }
    return count;
  };
  size_t distinctNormals = countNormals();
  if (distinctNormals > kMaxNormals) {
    // The finest grid that fits: halving first, then narrowing down
    // between the last two tried.
    stats.distinctNormalsBefore = distinctNormals;
    int fits = 0, fails = info.fixedPoint ? 4096 : 65536;
    for (int steps = fails / 2; steps >= 1; steps /= 2) {
      if (countCells(steps) <= kMaxNormals) {
        fits = steps;
        break;
      }
      fails = steps;
    }
    while (fits > 0 && fails - fits > std::max(1, fits / 16)) {
      const int middle = fits + (fails - fits) / 2;
      if (countCells(middle) <= kMaxNormals) {
        fits = middle;
      } else {
        fails = middle;
      }
    }
    for (size_t f = 0; f < faces.size(); ++f) {
      for (int i = 0; i < 4; ++i) {
        normalSlots[f * 4 + i] = normalWords(game, coarseDirection(faces[f].normals[i], fits));
      }
    }
    distinctNormals = countNormals();
    if (fits == 0 || distinctNormals > kMaxNormals) {
      throw Error("the model needs " + withCommas(stats.distinctNormalsBefore) +
                  " distinct normals and even the coarsest grid leaves more than the " +
                  withCommas(kMaxNormals) + " that 16-bit indices reach");
    }
    double worst = 0;
    for (size_t f = 0; f < faces.size(); ++f) {
      for (int i = 0; i < 4; ++i) {
        worst = std::max(
            worst, degreesBetween(faces[f].normals[i], normalOf(game, normalSlots[f * 4 + i])));
      }
    }
    stats.coarsenedDegrees = worst;
    result.warnings.push_back(
        "the model needs " + withCommas(stats.distinctNormalsBefore) +
        " distinct normals, more than the " + withCommas(kMaxNormals) +
        " that 16-bit indices reach: they were coarsened to " + withCommas(distinctNormals) +
        " (directions rounded to steps of 1/" + withCommas(static_cast<uint64_t>(fits)) +
        " on the unit cube, each moved by at most " + decimal(worst, 3) + " degrees)");
  }
  WordTable normalTable(distinctNormals + 16);
  std::vector<uint16_t> normalIds(normalSlots.size());
  for (size_t i = 0; i < normalSlots.size(); ++i) {
    normalIds[i] = static_cast<uint16_t>(normalTable.number(normalSlots[i]));
  }

  // Each prism keeps the corner as A that gives the other two back best.
  StoredKcl kcl;
  kcl.game = game;
  WordTable positionTable(faces.size() + 16);
  std::vector<HitShape> shapes;
  shapes.reserve(faces.size());
  size_t farCorners = 0;
  uint32_t worstLine = 0, firstUnrecoverable = 0;
  double worstUnrecoverable = 0;
  for (size_t f = 0; f < faces.size(); ++f) {
    const Face& face = faces[f];
    // The corners as the model gives them, and as the file's numbers hold them.
    const Vec3 corner[3] = {model.vertices[face.vertex[0]], model.vertices[face.vertex[1]],
                            model.vertices[face.vertex[2]]};
    const Vec3 kept[3] = {stored[face.vertex[0]], stored[face.vertex[1]], stored[face.vertex[2]]};
    // Normal slots: 0 face, 1 A-B, 2 B-C, 3 C-A. With corner r as A, the
    // edges A-C, A-B and B-C are these slots:
    static const int kEdges[3][3] = {{3, 1, 2}, {1, 2, 3}, {2, 3, 1}};
    const Vec3 fn = normalOf(game, normalSlots[f * 4]);
    int best = 0;
    double bestError = HUGE_VAL;
    uint32_t bestHeight = 0;
    for (int r = 0; r < 3; ++r) {
      const Vec3 a = kept[r], b = kept[(r + 1) % 3], c = kept[(r + 2) % 3];
      PrismPlanes planes;
      planes.a = a;
      planes.face = fn;
      planes.edgeAC = normalOf(game, normalSlots[f * 4 + kEdges[r][0]]);
      planes.edgeAB = normalOf(game, normalSlots[f * 4 + kEdges[r][1]]);
      planes.edgeBC = normalOf(game, normalSlots[f * 4 + kEdges[r][2]]);
      const uint32_t height =
          numberWord(game, (dot(b - a, planes.edgeBC) + dot(c - a, planes.edgeBC)) / 2);
      planes.height = numberValue(game, height);
      Vec3 rb, rc;
      cornersOf(planes, rb, rc);
      const double error = std::max({length(corner[r] - a), length(rb - corner[(r + 1) % 3]),
                                     length(rc - corner[(r + 2) % 3])});
      if (error < bestError) {
        bestError = error;
        best = r;
        bestHeight = height;
      }
    }
    // A sliver whose prism gives back another triangle (corners further off
    // than the triangle is thick, or no triangle at all) is left out: kept,
    // it would put a wrong surface into the course.
    const double thinnest = smallestHeight(corner[0], corner[1], corner[2]);
    Vec3 backB, backC;
    {
      PrismPlanes planes;
      planes.a = kept[best];
      planes.face = fn;
      planes.edgeAC = normalOf(game, normalSlots[f * 4 + kEdges[best][0]]);
      planes.edgeAB = normalOf(game, normalSlots[f * 4 + kEdges[best][1]]);
      planes.edgeBC = normalOf(game, normalSlots[f * 4 + kEdges[best][2]]);
      planes.height = numberValue(game, bestHeight);
      cornersOf(planes, backB, backC);
    }
    if (!std::isfinite(bestError) || bestError > thinnest ||
        !(smallestHeight(kept[best], backB, backC) >= kThinnest)) {
      if (stats.unrecoverable++ == 0) firstUnrecoverable = face.line;
      if (std::isfinite(bestError)) worstUnrecoverable = std::max(worstUnrecoverable, bestError);
      continue;
    }
    if (bestError > 1.0) ++farCorners;
    if (bestError > stats.largestCornerError) {
      stats.largestCornerError = bestError;
      worstLine = face.line;
    }
    const Vec3 a = kept[best];
    const Words position = {numberWord(game, a.x), numberWord(game, a.y), numberWord(game, a.z)};
    StoredPrism prism;
    prism.height = bestHeight;
    prism.position = static_cast<uint16_t>(positionTable.number(position));
    prism.face = normalIds[f * 4];
    prism.edgeAC = normalIds[f * 4 + kEdges[best][0]];
    prism.edgeAB = normalIds[f * 4 + kEdges[best][1]];
    prism.edgeBC = normalIds[f * 4 + kEdges[best][2]];
    prism.attribute = face.attribute;
    kcl.prisms.push_back(prism);

    // The hit volume as the game will see it: from the stored numbers.
    PrismPlanes planes;
    planes.a = positionOf(game, position);
    planes.face = fn;
    planes.edgeAC = normalOf(game, normalTable.keys()[prism.edgeAC]);
    planes.edgeAB = normalOf(game, normalTable.keys()[prism.edgeAB]);
    planes.edgeBC = normalOf(game, normalTable.keys()[prism.edgeBC]);
    planes.height = numberValue(game, prism.height);
    Vec3 b, c;
    cornersOf(planes, b, c);
    shapes.push_back(hitShapeOf(planes, b, c, info.thickness, info.radius));
  }
  if (positionTable.size() > kMaxPositions) {
    throw Error("the model needs " + withCommas(positionTable.size()) +
                " positions, more than the " + withCommas(kMaxPositions) +
                " that 16-bit indices reach");
  }
  if (stats.unrecoverable > 0) {
    result.warnings.push_back(
        withCommas(stats.unrecoverable) +
        (stats.unrecoverable == 1 ? " thin triangle was" : " thin triangles were") +
        " left out: the format keeps a triangle as one corner and its normals, and gives " +
        (stats.unrecoverable == 1 ? "this one" : "these") + " back as another triangle (" +
        (worstUnrecoverable > 0 ? "up to " + decimal(worstUnrecoverable, 1) + " units off; " : "") +
        "the first on line " + std::to_string(firstUnrecoverable) + ")");
  }
  if (farCorners > 0) {
    result.warnings.push_back(
        withCommas(farCorners) + (farCorners == 1 ? " triangle comes" : " triangles come") +
        " back from the file more than a unit off the model (at most " +
        decimal(stats.largestCornerError, 2) + " units, the triangle of line " +
        std::to_string(worstLine) + ")" +
        (stats.distinctNormalsBefore > 0
             ? ": their normals were coarsened"
             : ": the format keeps a triangle as one corner and its normals, which thin ones "
               "cannot hold precisely"));
  }
  kcl.positions = positionTable.keys();
  kcl.normals = normalTable.keys();
  stats.prisms = kcl.prisms.size();
  stats.positions = kcl.positions.size();
  stats.normals = kcl.normals.size();

  // What the encoding needed goes before the index is built.
  faces = {};
  normalSlots = {};
  normalIds = {};
  cells = {};
  stored = {};
  const IndexArea area = chooseArea(shapes, game);
  const IndexTree tree = options.indexBuilder ? options.indexBuilder(shapes, area, game)
                                              : buildIndex(shapes, area, chooseParameters(game));
  result.file = writeKcl(kcl, tree, &stats.indexBytes);

  // Statistics of the tree.
  size_t listed = 0, entries = 0;
  std::vector<std::pair<uint32_t, int>> pending;
  for (uint32_t i = 0; i < area.rootCount(); ++i) pending.emplace_back(i, 0);
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    const IndexTree::Node& n = tree.nodes[node];
    if (n.firstChild >= 0) {
      stats.depth = std::max(stats.depth, depth + 1);
      for (uint32_t c = 0; c < 8; ++c)
        pending.emplace_back(static_cast<uint32_t>(n.firstChild) + c, depth + 1);
      continue;
    }
    ++stats.leaves;
    if (n.listLength == 0) {
      ++stats.emptyLeaves;
    } else {
      ++listed;
      entries += n.listLength;
      stats.longestList = std::max<size_t>(stats.longestList, n.listLength);
    }
  }
  stats.meanList = listed > 0 ? static_cast<double>(entries) / static_cast<double>(listed) : 0;
  return result;
}

namespace {

class ByteWriter {
 public:
  ByteWriter(std::vector<uint8_t>& out, bool big) : out_(out), big_(big) {}
  void put32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
      out_[at + (big_ ? 3 - i : i)] = static_cast<uint8_t>(v >> (8 * i));
    }
  }
  void put16(size_t at, uint16_t v) {
    out_[at + (big_ ? 1 : 0)] = static_cast<uint8_t>(v);
    out_[at + (big_ ? 0 : 1)] = static_cast<uint8_t>(v >> 8);
  }

 private:
  std::vector<uint8_t>& out_;
  bool big_;
};

}  // namespace

std::vector<uint8_t> writeKcl(const StoredKcl& kcl, const IndexTree& tree, size_t* indexBytes) {
  const GameInfo& info = infoOf(kcl.game);
  const IndexArea& area = tree.area;
  const size_t normalSize = info.fixedPoint ? 6 : 12;
  const size_t positionsOffset = info.headerSize;
  const size_t normalsOffset = positionsOffset + 12 * kcl.positions.size();
  size_t prismsOffset = normalsOffset + normalSize * kcl.normals.size();
  prismsOffset = (prismsOffset + 3) & ~size_t{3};  // MKDS: the heights are aligned words
  const size_t indexOffset = prismsOffset + 16 * kcl.prisms.size();

  // Index layout: the root block, then every branch's block breadth first,
  // then the lists.
  const uint32_t roots = area.rootCount();
  std::vector<size_t> blockOffset(tree.nodes.size(), 0);  // by a block's first node
  std::vector<uint32_t> order;                            // first nodes of blocks, in file order
  order.push_back(0);
  size_t cursor = indexOffset + 4 * size_t{roots};
  blockOffset[0] = indexOffset;
  for (size_t b = 0; b < order.size(); ++b) {
    const uint32_t first = order[b];
    const uint32_t count = first == 0 ? roots : 8;
    for (uint32_t i = first; i < first + count; ++i) {
      const int32_t child = tree.nodes[i].firstChild;
      if (child < 0) continue;
      blockOffset[static_cast<size_t>(child)] = cursor;
      cursor += 32;
      order.push_back(static_cast<uint32_t>(child));
    }
  }
  // Lists: the shared empty one first, then each distinct list once.
  const size_t emptyList = cursor;
  cursor += 2;
  std::vector<size_t> leafList(tree.nodes.size(), emptyList);
  std::vector<std::pair<size_t, const IndexTree::Node*>> lists;
  {
    auto hashOf = [&](const IndexTree::Node& node) {
      uint64_t h = node.listLength * 0x9E3779B97F4A7C15ull;
      for (uint32_t i = 0; i < node.listLength; ++i) {
        h = (h ^ tree.entries[node.listStart + i]) * 0xC2B2AE3D27D4EB4Full;
      }
      return h ^ (h >> 31);
    };
    size_t capacity = 16;
    while (capacity < tree.nodes.size() * 2) capacity *= 2;
    std::vector<uint32_t> slots(capacity, UINT32_MAX);  // positions in `lists`
    for (size_t i = 0; i < tree.nodes.size(); ++i) {
      const IndexTree::Node& node = tree.nodes[i];
      if (node.firstChild >= 0 || node.listLength == 0) continue;
      size_t at = hashOf(node) & (capacity - 1);
      for (;; at = (at + 1) & (capacity - 1)) {
        if (slots[at] == UINT32_MAX) {
          slots[at] = static_cast<uint32_t>(lists.size());
          lists.emplace_back(cursor, &node);
          leafList[i] = cursor;
          cursor += 2 * (size_t{node.listLength} + 1);
          break;
        }
        const IndexTree::Node& other = *lists[slots[at]].second;
        if (other.listLength == node.listLength &&
            std::equal(tree.entries.begin() + node.listStart,
                       tree.entries.begin() + node.listStart + node.listLength,
                       tree.entries.begin() + other.listStart)) {
          leafList[i] = lists[slots[at]].first;
          break;
        }
      }
    }
  }
  if (cursor - indexOffset >= (size_t{1} << 31)) {
    throw Error("the index would need " + withCommas(cursor - indexOffset) +
                " bytes, more than its 31-bit offsets reach");
  }
  if (indexBytes != nullptr) *indexBytes = cursor - indexOffset;

  std::vector<uint8_t> out(cursor, 0);
  ByteWriter w(out, info.bigEndian);
  w.put32(0x00, static_cast<uint32_t>(positionsOffset));
  w.put32(0x04, static_cast<uint32_t>(normalsOffset));
  w.put32(0x08, static_cast<uint32_t>(prismsOffset - 0x10));
  w.put32(0x0C, static_cast<uint32_t>(indexOffset));
  w.put32(0x10, numberWord(kcl.game, info.thickness));
  for (int axis = 0; axis < 3; ++axis) {
    w.put32(0x14 + 4 * axis, numberWord(kcl.game, area.origin[axis]));
    w.put32(0x20 + 4 * axis, area.bits[axis] >= 32 ? 0u : ~((uint32_t{1} << area.bits[axis]) - 1));
  }
  w.put32(0x2C, static_cast<uint32_t>(area.shift));
  const int bitsX = area.bits[0] - area.shift, bitsY = area.bits[1] - area.shift;
  w.put32(0x30, static_cast<uint32_t>(bitsX));
  w.put32(0x34, static_cast<uint32_t>(bitsX + bitsY));
  if (info.storesRadius()) w.put32(0x38, numberWord(kcl.game, info.radius));

  for (size_t i = 0; i < kcl.positions.size(); ++i) {
    for (int axis = 0; axis < 3; ++axis)
      w.put32(positionsOffset + 12 * i + 4 * axis, kcl.positions[i][axis]);
  }
  for (size_t i = 0; i < kcl.normals.size(); ++i) {
    for (int axis = 0; axis < 3; ++axis) {
      if (info.fixedPoint) {
        w.put16(normalsOffset + 6 * i + 2 * axis, static_cast<uint16_t>(kcl.normals[i][axis]));
      } else {
        w.put32(normalsOffset + 12 * i + 4 * axis, kcl.normals[i][axis]);
      }
    }
  }
  for (size_t i = 0; i < kcl.prisms.size(); ++i) {
    const StoredPrism& p = kcl.prisms[i];
    const size_t at = prismsOffset + 16 * i;
    w.put32(at, p.height);
    w.put16(at + 4, p.position);
    w.put16(at + 6, p.face);
    w.put16(at + 8, p.edgeAC);
    w.put16(at + 10, p.edgeAB);
    w.put16(at + 12, p.edgeBC);
    w.put16(at + 14, p.attribute);
  }
  for (const uint32_t first : order) {
    const size_t block = blockOffset[first];
    const uint32_t count = first == 0 ? roots : 8;
    for (uint32_t i = 0; i < count; ++i) {
      const IndexTree::Node& node = tree.nodes[first + i];
      uint32_t key;
      if (node.firstChild >= 0) {
        key = static_cast<uint32_t>(blockOffset[static_cast<size_t>(node.firstChild)] - block);
      } else {
        key = 0x80000000u | static_cast<uint32_t>(leafList[first + i] - 2 - block);
      }
      w.put32(block + 4 * i, key);
    }
  }
  for (const auto& [offset, node] : lists) {
    for (uint32_t i = 0; i < node->listLength; ++i) {
      w.put16(offset + 2 * i, tree.entries[node->listStart + i]);
    }
  }
  return out;
}

}  // namespace kiln
