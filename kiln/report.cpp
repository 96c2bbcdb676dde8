// What kiln tells about a KCL file: its description (-i), a point's leaf
// and contacts (-p), the checks beyond reading (-t), and the collision as
// an OBJ model with its material library (-d).
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>

#include "read.h"
#include "report.h"
#include "vocabulary.h"

namespace kiln {

namespace {

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

// A coordinate as a short decimal: at most four places, no trailing zeros,
// no "-0". Exact for the numbers that files hold (ten-thousandths of a unit
// below 10^14 units), so that equal coordinates print alike.
void appendCoordinate(std::string& out, double value) {
  const double scaled = std::nearbyint(value * 10000);
  if (!(std::fabs(scaled) < 1e18)) {
    char text[64];
    std::snprintf(text, sizeof text, "%.4g", value);
    out += text;
    return;
  }
  int64_t units = static_cast<int64_t>(scaled);
  if (units < 0) {
    out += '-';
    units = -units;
  }
  char digits[32];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, units / 10000);
  (void)error;
  out.append(digits, end);
  int fraction = static_cast<int>(units % 10000);
  if (fraction == 0) return;
  char tail[6] = {'.',
                  static_cast<char>('0' + fraction / 1000),
                  static_cast<char>('0' + fraction / 100 % 10),
                  static_cast<char>('0' + fraction / 10 % 10),
                  static_cast<char>('0' + fraction % 10),
                  0};
  int length = 5;
  while (tail[length - 1] == '0') --length;
  out.append(tail, static_cast<size_t>(length));
}

std::string coordinate(double value) {
  std::string text;
  appendCoordinate(text, value);
  if (text == "-0") text = "0";
  return text;
}

std::string point(Vec3 p) {
  std::string text = "(";
  text += coordinate(p.x);
  text += ", ";
  text += coordinate(p.y);
  text += ", ";
  text += coordinate(p.z);
  text += ")";
  return text;
}

std::string plural(uint64_t count, const char* one, const char* many) {
  return withCommas(count) + " " + (count == 1 ? one : many);
}

std::string gameLine(const KclFile& kcl) {
  const GameInfo& info = infoOf(kcl.game());
  return std::string("an ") + info.name + " file (" +
         (info.storesRadius() ? "" : "Galaxy's layout: ") +
         (info.bigEndian ? "big-endian" : "little-endian") + ", " +
         (info.fixedPoint ? "fixed point" : "floating point") +
         (info.storesRadius() ? "" : ", a 0x38-byte header without a sphere radius") + ")";
}

// A header number beside the game's own value.
std::string headerNumber(double value, double games, const char* game) {
  std::string text = coordinate(value);
  if (value != games) text += " (" + std::string(game) + " uses " + coordinate(games) + ")";
  return text;
}

const Vocabulary* vocabularyOf(Game game) {
  if (game == Game::kMk7) return &mk7Vocabulary;
  if (game == Game::kMkds) return &mkdsVocabulary;
  return nullptr;
}

// The identifier's fields in the calculators' words (MK7, MKDS) or as the
// MKWii bit fields; SMG's value is its own, shown as it is.
std::string fields(Game game, uint16_t shown, const std::string& indent) {
  if (game == Game::kSmg) return "";
  const Vocabulary* words = vocabularyOf(game);
  if (words != nullptr) {
    const TypeRow& type = words->types[shown & 0x1F];
    return indent + words->captions[0] + ": " + type.entry + "\n" + indent + words->captions[2] +
           ": " + type.effects[(shown >> 5) & 7] + "\n" + indent + words->captions[3] + ": " +
           words->shadows[(shown >> 8) & 0xF] + "\n" + indent + words->captions[4] + ": " +
           words->specials[(shown >> 12) & 0xF] + "\n";
  }
  char text[160];
  std::snprintf(text, sizeof text,
                "type 0x%02X, variant %d, light index %d, wheel depth %d, trickable %d, "
                "reject road %d, soft wall %d",
                shown & 0x1F, (shown >> 5) & 7, (shown >> 8) & 7, (shown >> 11) & 3,
                (shown >> 13) & 1, (shown >> 14) & 1, (shown >> 15) & 1);
  return indent + text + "\n";
}

std::string identifierLabel(Game game, uint16_t stored) {
  const uint16_t shown = shownIdentifier(game, stored);
  std::string text = identifierText(shown);
  if (shown != stored) text += " (stored " + identifierText(stored) + ")";
  return text;
}

// A colour per collision type: 32 colours far apart (Kelly's colours of
// maximum contrast first), so that neighbouring types differ at a glance.
void typeColour(int type, double rgb[3]) {
  static const uint32_t kPalette[32] = {
      0x848482, 0xF3C300, 0x875692, 0xF38400, 0xA1CAF1, 0xBE0032, 0xC2B280, 0x008856,
      0xE68FAC, 0x0067A5, 0xF99379, 0x604E97, 0xF6A600, 0xB3446C, 0xDCD300, 0x882D17,
      0x8DB600, 0x654522, 0xE25822, 0x2B3D26, 0x4D4D4D, 0x1A1A80, 0x66FF66, 0xFF66FF,
      0x996600, 0x00B3B3, 0xB3FFFF, 0xFFFF99, 0x800040, 0x40BF80, 0xCC99FF, 0xFFCC99};
  const uint32_t colour = kPalette[type & 31];
  for (int i = 0; i < 3; ++i) rgb[i] = ((colour >> (16 - 8 * i)) & 0xFF) / 255.0;
}

}  // namespace

double meanListOnSurface(const KclFile& kcl, size_t samples) {
  const size_t count = kcl.prismCount();
  if (count == 0 || samples == 0) return 0;
  std::vector<double> cumulative(count);
  double total = 0;
  for (size_t k = 1; k <= count; ++k) {
    Vec3 a, b, c;
    kcl.corners(k, a, b, c);
    total += length(cross(b - a, c - a)) / 2;
    cumulative[k - 1] = total;
  }
  if (!(total > 0)) return 0;
  double sum = 0;
  for (size_t i = 0; i < samples; ++i) {
    // Evenly through the total area, at a point of the triangle from a
    // low-discrepancy sequence.
    const double at = (static_cast<double>(i) + 0.5) / static_cast<double>(samples) * total;
    const size_t k =
        static_cast<size_t>(std::lower_bound(cumulative.begin(), cumulative.end(), at) -
                            cumulative.begin()) +
        1;
    double u = std::fmod(0.5 + static_cast<double>(i) * 0.7548776662466927, 1.0);
    double v = std::fmod(0.5 + static_cast<double>(i) * 0.5698402909980532, 1.0);
    if (u + v > 1) {
      u = 1 - u;
      v = 1 - v;
    }
    Vec3 a, b, c;
    kcl.corners(std::min(k, count), a, b, c);
    sum += static_cast<double>(kcl.lookup(a + (b - a) * u + (c - a) * v).prisms.size());
  }
  return sum / static_cast<double>(samples);
}

std::string describeKcl(const KclFile& kcl, const std::string& name, size_t surfaceSamples) {
  const Game game = kcl.game();
  const GameInfo& info = infoOf(game);
  std::string text = name + ": " + gameLine(kcl) + "\n";
  text += plural(kcl.prismCount(), "prism", "prisms") + ", " +
          plural(kcl.positionCount(), "position", "positions") + ", " +
          plural(kcl.normalCount(), "normal", "normals") + "\n";
  if (kcl.prismCount() > 0) {
    Vec3 lo{HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi{-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (size_t k = 1; k <= kcl.prismCount(); ++k) {
      Vec3 corner[3];
      kcl.corners(k, corner[0], corner[1], corner[2]);
      for (const Vec3& c : corner) {
        lo = {std::min(lo.x, c.x), std::min(lo.y, c.y), std::min(lo.z, c.z)};
        hi = {std::max(hi.x, c.x), std::max(hi.y, c.y), std::max(hi.z, c.z)};
      }
    }
    text += "bounds: x " + coordinate(lo.x) + " to " + coordinate(hi.x) + ", y " +
            coordinate(lo.y) + " to " + coordinate(hi.y) + ", z " + coordinate(lo.z) + " to " +
            coordinate(hi.z) + "\n";
  }
  if (!info.gamesValues) {
    text += "prism thickness " + coordinate(kcl.thickness()) +
            (kcl.thickness() != info.thickness ? " (kiln writes " + coordinate(info.thickness) + ")"
                                               : std::string()) +
            "; no sphere radius in the header (kiln builds for and -p tests one of " +
            coordinate(info.radius) + ")\n";
  } else {
    text += "prism thickness " + headerNumber(kcl.thickness(), info.thickness, info.name) +
            ", sphere radius " + headerNumber(kcl.radius(), info.radius, info.name) + "\n";
  }
  const IndexArea& area = kcl.area();
  auto width = [](int bits) { return withCommas(uint64_t{1} << bits); };
  text += "index: origin " + point({area.origin[0], area.origin[1], area.origin[2]}) + ", area " +
          width(area.bits[0]) + " x " + width(area.bits[1]) + " x " + width(area.bits[2]) +
          ", root cubes of " + width(area.shift) + " units (" + width(area.bits[0] - area.shift) +
          " x " + width(area.bits[1] - area.shift) + " x " + width(area.bits[2] - area.shift) +
          ")\n";
  const KclFile::IndexStats& stats = kcl.indexStats();
  text += "  depth " + std::to_string(stats.depth) + ", " + plural(stats.leaves, "leaf", "leaves") +
          " (" + withCommas(stats.emptyLeaves) + " empty), smallest cubes " +
          width(stats.smallestCubeBits) + " units, " +
          plural(stats.distinctLists, "distinct list", "distinct lists") + "\n";
  text += "  list length: mean " + format("%.1f", stats.meanList) +
          " over the leaves that list prisms, " +
          format("%.1f", meanListOnSurface(kcl, surfaceSamples)) +
          " at points on the surface, largest " + withCommas(stats.longestList) + "\n";

  std::map<uint16_t, size_t> used;  // by shown value
  for (size_t k = 1; k <= kcl.prismCount(); ++k) ++used[shownIdentifier(game, kcl.attribute(k))];
  text += "identifiers (" + std::to_string(used.size()) + "):\n";
  for (const auto& [shown, count] : used) {
    text += "  " + identifierLabel(game, storedIdentifier(game, shown)) + "  " +
            plural(count, "prism", "prisms") + "\n" + fields(game, shown, "    ");
  }
  return text;
}

std::string queryKcl(const KclFile& kcl, Vec3 p) {
  const Game game = kcl.game();
  std::string text = gameLine(kcl) + "\n";
  const KclFile::Leaf leaf = kcl.lookup(p);
  if (!leaf.inside) {
    return text + "point " + point(p) + ": outside the index area; the game tests no prism there\n";
  }
  const IndexArea& area = kcl.area();
  const double edge = std::ldexp(1.0, leaf.cubeBits);
  const Vec3 lo{area.origin[0] + static_cast<double>(leaf.cube[0]),
                area.origin[1] + static_cast<double>(leaf.cube[1]),
                area.origin[2] + static_cast<double>(leaf.cube[2])};
  char offsets[96];
  std::snprintf(offsets, sizeof offsets, "index key at 0x%X, list at 0x%X", leaf.keyOffset,
                leaf.listOffset);
  text += "point " + point(p) + ": leaf at depth " + std::to_string(leaf.depth) + ", cube " +
          point(lo) + " to " + point(lo + Vec3{edge, edge, edge}) + " (" + offsets + ")\n";
  const double radius = kcl.radius(), thickness = kcl.thickness();
  std::string lines;
  size_t hitCount = 0;
  for (uint16_t k : leaf.prisms) {
    const PrismPlanes planes = kcl.planes(k);
    Vec3 a, b, c;
    kcl.corners(k, a, b, c);
    double plane = 0;
    const Contact contact = sphereTest(planes, b, c, p, radius, thickness, &plane);
    std::string why;
    switch (contact) {
      case Contact::kHit:
        why = "hit: inside its edges, " + coordinate(std::fabs(plane)) +
              (plane >= 0 ? " above" : " below") + " the face";
        break;
      case Contact::kHitNearEdge:
        why = "hit: " + coordinate(distanceToTriangle(p, a, b, c)) +
              " from the triangle, beside an edge";
        break;
      case Contact::kBeyondEdge: {
        const Vec3 rel = p - planes.a;
        const double beyond = std::max({dot(rel, planes.edgeAC), dot(rel, planes.edgeAB),
                                        dot(rel, planes.edgeBC) - planes.height});
        why = "no hit: " + coordinate(beyond) + " beyond an edge";
        break;
      }
      case Contact::kAbove:
        why = "no hit: " + coordinate(plane) + " above the face";
        break;
      case Contact::kBelow:
        why = "no hit: " + coordinate(-plane) + " below the face";
        break;
      case Contact::kTooFarAround:
        why = "no hit: " + coordinate(distanceToTriangle(p, a, b, c)) + " from the triangle";
        break;
    }
    if (hits(contact)) ++hitCount;
    lines += "  prism " + std::to_string(k) + "  " + identifierLabel(game, kcl.attribute(k)) +
             "  " + why + "\n";
  }
  text +=
      plural(leaf.prisms.size(), "prism", "prisms") + " listed; a sphere of radius " +
      coordinate(radius) + (kcl.radiusStored() ? " (" : " (kiln's, as the header holds none; ") +
      "prism thickness " + coordinate(thickness) + ") hits " + withCommas(hitCount) + ":\n" + lines;
  return text;
}

std::vector<std::string> checkKcl(const KclFile& kcl) {
  std::vector<std::string> problems;
  const GameInfo& info = infoOf(kcl.game());
  // Only the kart games' own values are known; SMG's files may hold any.
  if (info.gamesValues && kcl.thickness() != info.thickness) {
    problems.push_back("the prism thickness is " + coordinate(kcl.thickness()) + ", not " +
                       info.name + "'s " + coordinate(info.thickness));
  }
  if (info.gamesValues && kcl.radius() != info.radius) {
    problems.push_back("the sphere radius is " + coordinate(kcl.radius()) + ", not " + info.name +
                       "'s " + coordinate(info.radius));
  }
  // Normals of another length than 1 make the game's distances wrong; the
  // fixed-point ones are allowed their rounding.
  const double slack = info.fixedPoint ? 0.002 : 1e-4;
  size_t reported = 0, badNormals = 0;
  for (size_t k = 1; k <= kcl.prismCount(); ++k) {
    const PrismPlanes p = kcl.planes(k);
    const Vec3 normals[4] = {p.face, p.edgeAC, p.edgeAB, p.edgeBC};
    for (const Vec3& n : normals) {
      if (std::fabs(length(n) - 1) <= slack) continue;
      if (badNormals++ == 0) {
        problems.push_back("prism " + std::to_string(k) + ": a normal of length " +
                           format("%.4f", length(n)) + ", not 1");
        ++reported;
      }
      break;
    }
    Vec3 a, b, c;
    kcl.corners(k, a, b, c);
    if (!(length(cross(b - a, c - a)) > 0) && reported < 5) {
      problems.push_back("prism " + std::to_string(k) + ": its corners " + point(a) + ", " +
                         point(b) + ", " + point(c) + " enclose no area");
      ++reported;
    }
  }
  if (badNormals > 1) {
    problems.push_back(withCommas(badNormals) +
                       " prisms in all have a normal whose length is not 1");
  }
  checkIndexCoverage(kcl, problems);
  return problems;
}

ObjExport exportObj(const KclFile& kcl, const std::string& mtlName, const std::string& source) {
  const Game game = kcl.game();
  ObjExport out;
  std::vector<std::pair<uint16_t, uint32_t>> order;  // (shown identifier, prism)
  for (size_t k = 1; k <= kcl.prismCount(); ++k) {
    order.emplace_back(shownIdentifier(game, kcl.attribute(k)), static_cast<uint32_t>(k));
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });

  // Vertices once each, by their printed coordinates (ten-thousandths), in
  // an open-addressing table of positions in `keys`.
  struct Key {
    int64_t v[3];
  };
  std::vector<Key> keys;
  keys.reserve(order.size() * 3);
  size_t capacity = 16;
  while (capacity < order.size() * 6) capacity *= 2;
  std::vector<uint32_t> slots(capacity, UINT32_MAX);
  auto number = [&](const Key& key, bool& added) {
    uint64_t h = static_cast<uint64_t>(key.v[0]) * 0x9E3779B97F4A7C15ull;
    h = (h ^ static_cast<uint64_t>(key.v[1])) * 0xC2B2AE3D27D4EB4Full;
    h = (h ^ static_cast<uint64_t>(key.v[2])) * 0x165667B19E3779F9ull;
    for (size_t at = (h ^ (h >> 29)) & (capacity - 1);; at = (at + 1) & (capacity - 1)) {
      if (slots[at] == UINT32_MAX) {
        slots[at] = static_cast<uint32_t>(keys.size());
        keys.push_back(key);
        added = true;
        return static_cast<uint32_t>(keys.size());
      }
      const Key& other = keys[slots[at]];
      if (other.v[0] == key.v[0] && other.v[1] == key.v[1] && other.v[2] == key.v[2]) {
        added = false;
        return slots[at] + 1;
      }
    }
  };
  std::string vertices, faces;
  vertices.reserve(order.size() * 40);
  faces.reserve(order.size() * 24);
  std::vector<std::array<uint32_t, 3>> corners(order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    Vec3 corner[3];
    kcl.corners(order[i].second, corner[0], corner[1], corner[2]);
    for (int j = 0; j < 3; ++j) {
      Key key;
      bool exact = true;
      for (int axis = 0; axis < 3; ++axis) {
        const double scaled = std::nearbyint(corner[j][axis] * 10000);
        exact = exact && std::fabs(scaled) < 1e18;
        key.v[axis] = exact ? static_cast<int64_t>(scaled) : 0;
      }
      if (!exact)
        key = Key{{INT64_MIN, static_cast<int64_t>(i), j}};  // printed apart, never shared
      bool added = false;
      corners[i][j] = number(key, added);
      if (added) {
        vertices += "v ";
        for (int axis = 0; axis < 3; ++axis) {
          if (axis > 0) vertices += ' ';
          vertices += coordinate(corner[j][axis]);
        }
        vertices += '\n';
      }
    }
  }
  std::string mtl = "# Materials of the collision of " + source + " (" + infoOf(game).name +
                    "), written by kiln: one per identifier, coloured by collision type\n";
  const Vocabulary* words = vocabularyOf(game);
  int current = -1;
  for (size_t i = 0; i < order.size(); ++i) {
    const uint16_t shown = order[i].first;
    if (shown != current) {
      current = shown;
      const std::string material = "kcl_" + identifierText(shown);
      faces += "usemtl " + material + "\n";
      double rgb[3];
      typeColour(shown & 0x1F, rgb);
      char colour[96];
      std::snprintf(colour, sizeof colour, "Kd %.3f %.3f %.3f\n", rgb[0], rgb[1], rgb[2]);
      mtl += "\nnewmtl " + material + "\n";
      if (words != nullptr) {
        mtl += std::string("# ") + words->types[shown & 0x1F].entry + ", " +
               words->types[shown & 0x1F].effects[(shown >> 5) & 7] + "\n";
      } else if (game != Game::kSmg) {
        char comment[64];
        std::snprintf(comment, sizeof comment, "# type 0x%02X, variant %d\n", shown & 0x1F,
                      (shown >> 5) & 7);
        mtl += comment;
      }
      mtl +=
          std::string("Ka 0.000 0.000 0.000\n") + colour + "Ks 0.000 0.000 0.000\nd 1.0\nillum 1\n";
      ++out.materials;
    }
    char line[48];
    char* at = line;
    *at++ = 'f';
    for (uint32_t vertex : corners[i]) {
      *at++ = ' ';
      at = std::to_chars(at, line + sizeof line, vertex).ptr;
    }
    *at++ = '\n';
    faces.append(line, static_cast<size_t>(at - line));
  }
  out.triangles = order.size();
  out.vertices = keys.size();
  out.obj = "# The collision of " + source + " (" + infoOf(game).name +
            "), written by kiln: " + plural(out.triangles, "triangle", "triangles") +
            ", one material per identifier\n" + "mtllib " + mtlName + "\n";
  out.obj.reserve(out.obj.size() + vertices.size() + faces.size());
  out.obj += vertices;
  vertices = {};
  out.obj += faces;
  out.mtl = mtl;
  return out;
}

}  // namespace kiln
