// Building: identifiers from material names and their place in each game's
// prisms, the OBJ forms read, the geometry kept and left out, fixed-point
// rounding, sharing, and the limits. Files are read back with the
// independent reference.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "support.h"

namespace {

using kiln::Game;

kiln::BuildResult buildText(const std::string& obj, Game game = Game::kMk7,
                            std::vector<std::pair<std::string, uint16_t>> ids = {}) {
  kiln::BuildOptions options;
  options.game = game;
  options.materialIdentifiers = std::move(ids);
  return kiln::buildKcl(kiln::readObj(obj), options);
}

std::string errorOf(const std::function<void()>& job) {
  try {
    job();
  } catch (const kiln::Error& e) {
    return e.what();
  }
  return "(no error)";
}

std::string readError(const std::string& obj) {
  return errorOf([&] { kiln::readObj(obj); });
}

std::string buildError(const std::string& obj, Game game = Game::kMk7) {
  return errorOf([&] { buildText(obj, game); });
}

bool near(reference::V a, reference::V b, double tolerance) {
  return std::fabs(a.x - b.x) <= tolerance && std::fabs(a.y - b.y) <= tolerance &&
         std::fabs(a.z - b.z) <= tolerance;
}

// The triangle's corners in the file, as some rotation of (a, b, c).
::testing::AssertionResult holdsTriangle(const reference::File::Prism& p, reference::V a,
                                         reference::V b, reference::V c, double tolerance) {
  const reference::V want[3] = {a, b, c}, got[3] = {p.a, p.b, p.c};
  for (int r = 0; r < 3; ++r) {
    if (near(got[0], want[r], tolerance) && near(got[1], want[(r + 1) % 3], tolerance) &&
        near(got[2], want[(r + 2) % 3], tolerance)) {
      return ::testing::AssertionSuccess();
    }
  }
  char text[256];
  std::snprintf(text, sizeof text, "the file holds (%g %g %g) (%g %g %g) (%g %g %g)", got[0].x,
                got[0].y, got[0].z, got[1].x, got[1].y, got[1].z, got[2].x, got[2].y, got[2].z);
  return ::testing::AssertionFailure() << text;
}

TEST(KilnIdentifiers, MaterialNamesGiveTheLastRunOfFourDigits) {
  const struct {
    const char* name;
    int value;  // -1: none
  } cases[] = {
      {"road_105A", 0x105A},
      {"105A", 0x105A},
      {"kcl_0x105a", 0x105A},
      {"KCL_0X00ff", 0x00FF},
      {"road_105A.001", 0x105A},
      {"wall_0010_trick_1008", 0x1008},
      {"grass_face", 0xFACE},
      {"Material.001", -1},
      {"road", -1},
      {"road_12345", -1},
      {"road105A", -1},
      {"x105A", -1},
      {"road_105", -1},
      {"", -1},
      {"0x105A", 0x105A},
  };
  for (const auto& c : cases) {
    const auto value = kiln::identifierInName(c.name);
    EXPECT_EQ(value ? *value : -1, c.value) << c.name;
  }
  EXPECT_EQ(kiln::parseIdentifier("0x10aF"), 0x10AF);
  EXPECT_FALSE(kiln::parseIdentifier("10A"));
  EXPECT_FALSE(kiln::parseIdentifier("10AG"));
  EXPECT_EQ(kiln::identifierText(0x0b2), "00B2");
}

TEST(KilnIdentifiers, EachGameStoresThemInItsOwnForm) {
  // The calculators' value in the material name; the file's u16 at 0x0E.
  const struct {
    Game game;
    uint16_t shown, stored;
  } cases[] = {
      {Game::kMk7, 0x105A, 0x105A},  {Game::kMkwii, 0x0B20, 0x0B20}, {Game::kMkds, 0x002B, 0x0B20},
      {Game::kMkds, 0x4127, 0x4721}, {Game::kMkds, 0xA30E, 0xAE03},  {Game::kMkds, 0x0000, 0x0000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(kiln::infoOf(c.game).name + std::string(" ") + kiln::identifierText(c.shown));
    const std::string obj =
        "v 0 0 0\nv 0 0 100\nv 100 0 0\nusemtl m_" + kiln::identifierText(c.shown) + "\nf 1 2 3\n";
    const std::vector<uint8_t> bytes = buildText(obj, c.game).file;
    const reference::File file(bytes);
    ASSERT_EQ(file.prismCount, 1u);
    EXPECT_EQ(file.prism(1).attribute, c.stored);
    // The bytes themselves, in the game's order.
    const size_t at = file.prismsOffset + 14;
    if (c.game == Game::kMkwii) {
      EXPECT_EQ(bytes[at], c.stored >> 8);
      EXPECT_EQ(bytes[at + 1], c.stored & 0xFF);
    } else {
      EXPECT_EQ(bytes[at], c.stored & 0xFF);
      EXPECT_EQ(bytes[at + 1], c.stored >> 8);
    }
  }
  // MKDS's exchange of bit runs 0-4 and 8-12 is its own inverse, and any
  // stored value maps to exactly one shown one.
  for (uint32_t v = 0; v < 0x10000; ++v) {
    const uint16_t stored = kiln::storedIdentifier(Game::kMkds, static_cast<uint16_t>(v));
    ASSERT_EQ(kiln::shownIdentifier(Game::kMkds, stored), v);
  }
}

TEST(KilnIdentifiers, MissingOnesAreAnErrorListingTheMaterials) {
  const std::string obj =
      "v 0 0 0\nv 0 0 100\nv 100 0 0\nf 1 2 3\nusemtl grass\nf 1 2 3\nf 1 2 3\n"
      "usemtl road_0000\nf 1 2 3\nusemtl Material.001\nf 1 2 3\n";
  EXPECT_EQ(buildError(obj),
            "no identifier for material \"grass\" (line 5, 2 triangles), material \"Material.001\" "
            "(line 10, 1 triangle), the faces without a material (1 triangle); name each material "
            "with four hexadecimal digits (road_105A) or give -m NAME=XXXX");
  // -m names them (and wins over a name's own digits).
  const kiln::BuildResult r =
      buildText("v 0 0 0\nv 0 0 100\nv 100 0 0\nusemtl grass\nf 1 2 3\nusemtl road_0000\nf 1 3 2\n",
                Game::kMk7, {{"grass", 0x0005}, {"road_0000", 0x0008}, {"sky", 0x0001}});
  const reference::File file(r.file);
  EXPECT_EQ(file.prism(1).attribute, 0x0005);
  EXPECT_EQ(file.prism(2).attribute, 0x0008);
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0], "-m sky=0001: the model uses no material of that name");
}

TEST(KilnObj, FaceFormsFansNegativeIndicesAndLineEnds) {
  // A quad written four ways, a pentagon, and the statements that are read
  // and ignored, with CRLF line ends and tabs.
  const std::string obj =
      "# a comment\r\nmtllib course.mtl\r\no Course\r\ng road\r\ns off\r\n"
      "v 0 0 0\r\nv 0 0 100\r\nv 100 0 100\r\nv 100 0 0\r\n"
      "vt 0 0\r\nvt 1 0\r\nvt 1 1\r\nvn 0 1 0\r\n"
      "usemtl road_0000\r\n"
      "f 1/1/1 2/2/1 3/3/1 4/1/1\r\n"
      "f\t1//1 2//1 3//1\r\n"
      "f 1/1 2/2 3/3 # inline comment\r\n"
      "f -4 -3 -2 -1\r\n"
      "v 200 0 0\nv 200 0 100\nv 300 0 150\nv 400 0 100\nv 400 0 0\n"
      "usemtl wall_0010\n"
      "f -5/1/1 -4 -3 -2 -1\n";
  const kiln::ObjModel model = kiln::readObj(obj);
  EXPECT_EQ(model.faces, 5u);
  ASSERT_EQ(model.triangles.size(), 2u + 1u + 1u + 2u + 3u);
  // Fans from the first corner, in the written order.
  EXPECT_EQ(model.triangles[0].corner[0], 0u);
  EXPECT_EQ(model.triangles[0].corner[1], 1u);
  EXPECT_EQ(model.triangles[0].corner[2], 2u);
  EXPECT_EQ(model.triangles[1].corner[1], 2u);
  EXPECT_EQ(model.triangles[1].corner[2], 3u);
  EXPECT_EQ(model.triangles[4].corner[0], 0u);  // -4 of four vertices
  EXPECT_EQ(model.triangles[6].corner[0], 4u);  // -5 of nine
  EXPECT_EQ(model.triangles[8].corner[2], 8u);
  EXPECT_EQ(model.triangles[8].line, 25u);

  // Built, each triangle keeps its winding: the quad faces up (+y).
  const reference::File file(buildText(obj).file);
  ASSERT_EQ(file.prismCount, 9u);
  EXPECT_TRUE(holdsTriangle(file.prism(1), {0, 0, 0}, {0, 0, 100}, {100, 0, 100}, 1e-3));
  EXPECT_TRUE(holdsTriangle(file.prism(8), {200, 0, 0}, {300, 0, 150}, {400, 0, 100}, 1e-3));
  EXPECT_NEAR(file.prism(1).face.y, 1, 1e-6);
  EXPECT_EQ(file.prism(9).attribute, 0x0010);
}

TEST(KilnObj, DamagedModelsNameTheLine) {
  const std::string three = "v 0 0 0\nv 0 0 1\nv 1 0 0\n";
  EXPECT_EQ(readError(three + "f 1 2 4\n"),
            "line 4: the face corner \"4\" names vertex 4, but 3 are defined before it");
  EXPECT_EQ(readError(three + "f 1 2 0\n"),
            "line 4: the face corner \"0\" names vertex 0, but 3 are defined before it");
  EXPECT_EQ(readError(three + "f 1 2 -4\n"),
            "line 4: the face corner \"-4\" names vertex -4, but 3 are defined before it");
  EXPECT_EQ(
      readError(three + "f 1/1 2 3\n"),
      "line 4: the face corner \"1/1\" names texture coordinate 1, but 0 are defined before it");
  EXPECT_EQ(readError(three + "f 1//2 2 3\n"),
            "line 4: the face corner \"1//2\" names normal 2, but 0 are defined before it");
  EXPECT_EQ(readError(three + "f 1 2 x\n"), "line 4: the face corner \"x\" does not parse");
  EXPECT_EQ(readError(three + "f 1 2 3/1/1/1\n"),
            "line 4: the face corner \"3/1/1/1\" does not parse");
  EXPECT_EQ(readError(three + "f 1 2 3/\n"), "line 4: the face corner \"3/\" does not parse");
  EXPECT_EQ(readError(three + "f 1 2\n"), "line 4: a face needs at least three corners");
  EXPECT_EQ(readError("v 0 0 0\nv 1 2,5 3\n"), "line 2: the number \"2,5\" does not parse");
  EXPECT_EQ(readError("v 0 0 0\nv 1 --2 3\n"), "line 2: the number \"--2\" does not parse");
  EXPECT_EQ(readError("v 0 0\n"), "line 1: a vertex needs three coordinates");
  EXPECT_EQ(readError("usemtl   \n"), "line 1: usemtl without a material name");
  EXPECT_EQ(readError("v 0 0 0\nvx 1\n"), "line 2: unknown statement \"vx\"");
  EXPECT_EQ(readError(std::string("v 0 0 0\n\x01\x02 3\n")), "line 2: unknown statement \"??\"");
  const std::string longLine = "# " + std::string(1 << 20, 'x') + "\n";
  EXPECT_EQ(readError(three + longLine), "line 4: the line is longer than 65536 bytes (1048578)");
  // Statements of lines and points are left out and counted.
  const kiln::ObjModel model = kiln::readObj(three + "l 1 2\nl 2 3\np 1\n");
  ASSERT_EQ(model.skipped.size(), 2u);
  EXPECT_EQ(model.skipped[0].keyword, "l");
  EXPECT_EQ(model.skipped[0].count, 2u);
  EXPECT_EQ(model.skipped[0].firstLine, 4u);
}

TEST(KilnGeometry, DegenerateTrianglesAreLeftOutAndCounted) {
  const std::string obj =
      "v 0 0 0\nv 0 0 100\nv 100 0 0\nv 200 0 0\nv 100 0 0.005\n"
      "usemtl m_0000\n"
      "f 1 2 3\n"   // kept
      "f 1 3 4\n"   // collinear
      "f 1 1 2\n"   // a repeated corner
      "f 1 4 5\n";  // 0.005 units thin
  const kiln::BuildResult r = buildText(obj);
  EXPECT_EQ(reference::File(r.file).prismCount, 1u);
  EXPECT_EQ(r.stats.degenerate, 3u);
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0],
            "3 degenerate triangles (collinear corners or thinner than 0.01 units) were left out");
}

TEST(KilnGeometry, SliversTheFormatWouldGiveBackAsOtherTrianglesAreLeftOut) {
  // 50,000 units long and 5.6 thick: with MKDS's normals in steps of 1/4096
  // its corners would come back hundreds of units off, a needle instead of
  // the triangle; floats hold it.
  const std::string obj =
      "v 0 500 0\nv 50160 0 250\nv 500 500 0\nv 0 0 0\nv 0 0 100\nv 100 0 0\n"
      "usemtl m_0000\nf 4 5 6\nf 1 2 3\n";
  const kiln::BuildResult ds = buildText(obj, Game::kMkds);
  EXPECT_EQ(ds.stats.prisms, 1u);
  EXPECT_EQ(ds.stats.unrecoverable, 1u);
  ASSERT_EQ(ds.warnings.size(), 1u);
  EXPECT_EQ(ds.warnings[0].rfind(
                "1 thin triangle was left out: the format keeps a triangle as one corner and "
                "its normals, and gives this one back as another triangle (up to ",
                0),
            0u)
      << ds.warnings[0];
  EXPECT_NE(ds.warnings[0].find(" units off; the first on line 9)"), std::string::npos)
      << ds.warnings[0];
  EXPECT_TRUE(kiln::checkKcl(kiln::KclFile(ds.file)).empty());
  const kiln::BuildResult floats = buildText(obj, Game::kMk7);
  EXPECT_EQ(floats.stats.prisms, 2u);
  EXPECT_EQ(floats.stats.unrecoverable, 0u);
}

TEST(KilnGeometry, FixedPointRoundsToTheNearestStep) {
  // 0.7 of a step rounds up, -0.7 down, 1.4 steps to 1: never truncated.
  const double step = 1.0 / 4096;
  const std::string obj = "v " + std::to_string(0.7 * step) + " " + std::to_string(-0.7 * step) +
                          " " + std::to_string(1.4 * step) +
                          "\nv 0 0 100\nv 100 0 0\nusemtl m_0000\nf 1 2 3\n";
  const reference::File file(buildText(obj, Game::kMkds).file);
  ASSERT_EQ(file.prismCount, 1u);
  const reference::File::Prism p = file.prism(1);
  EXPECT_TRUE(holdsTriangle(p, {step, -step, step}, {0, 0, 100}, {100, 0, 0}, 0.02));
  // The stored corner is exact, whichever it is.
  const bool first = near(p.a, {step, -step, step}, 1e-12);
  EXPECT_TRUE(first || near(p.a, {0, 0, 100}, 1e-12) || near(p.a, {100, 0, 0}, 1e-12));
  // Normals are rounded too: (0, 1, 0) exactly, 4096 in fx16.
  EXPECT_EQ(p.face.y, 1.0);
  // The header's numbers: 30 and 25 in 20.12.
  EXPECT_EQ(file.u32(0x10), 0x1E000u);
  EXPECT_EQ(file.u32(0x38), 0x19000u);
}

TEST(KilnGeometry, PositionsAndNormalsAreSharedWhereEqual) {
  // A flat 10 x 10 grid: 200 triangles, one face normal, edge normals along
  // the grid's three directions (both ways).
  course::Course grid;
  const uint32_t m = grid.material("road_0000");
  for (int j = 0; j <= 10; ++j) {
    for (int i = 0; i <= 10; ++i) grid.vertex(i * 100.0, 0, j * 100.0);
  }
  for (uint32_t j = 0; j < 10; ++j) {
    for (uint32_t i = 0; i < 10; ++i)
      grid.quad(j * 11 + i, j * 11 + i + 11, j * 11 + i + 12, j * 11 + i + 1, m);
  }
  for (Game game : {Game::kMk7, Game::kMkds, Game::kMkwii}) {
    const kiln::BuildResult r = buildText(course::toObj(grid, "grid"), game);
    EXPECT_EQ(r.stats.prisms, 200u);
    EXPECT_LE(r.stats.positions, 121u);
    EXPECT_EQ(r.stats.normals, 7u) << kiln::infoOf(game).name;  // up, and +-x, +-z, +-diagonal
    EXPECT_TRUE(r.warnings.empty());
  }
}

TEST(KilnLimits, EachNamesTheLimitAndTheCount) {
  // 65,536 triangles: one more than lists can number.
  std::string many = "v 0 0 0\nv 0 0 100\nv 100 0 0\nusemtl m_0000\n";
  for (int i = 0; i < 65536; ++i) many += "f 1 2 3\n";
  EXPECT_EQ(buildError(many),
            "the model has 65,536 triangles, more than the 65,535 prisms a KCL file can hold (its "
            "lists number them in 16 bits)");
  many.resize(many.size() - 8);
  EXPECT_EQ(reference::File(buildText(many).file).prismCount, 65535u);

  // MKDS: coordinates beyond fx32, and an area wider than 2^19 units.
  const std::string far =
      "v 600000 0 0\nv 600000 0 100\nv 600100 0 0\nv -700000 0 5\nusemtl m_0000\nf 1 2 3\n";
  EXPECT_EQ(buildError(far, Game::kMkds),
            "3 vertices lie outside MKDS's number range of 524,288 units either side of zero (the "
            "first on line 1, the furthest at 600100.0)");
  EXPECT_EQ(buildError(far, Game::kMk7), "(no error)");
  const std::string wide =
      "v -300000 0 0\nv -300000 0 100\nv -299900 0 0\n"
      "v 300000 0 0\nv 300000 0 100\nv 300100 0 0\nusemtl m_0000\nf 1 2 3\nf 4 5 6\n";
  EXPECT_EQ(
      buildError(wide, Game::kMkds),
      "the collision spans 600,154 units along x (with the reach of its hit volumes); the MKDS "
      "index area covers at most 524,288");
  EXPECT_EQ(reference::File(buildText(wide, Game::kMk7).file).prismCount, 2u);

  // Near the edge of fx32: the area would have to start past it.
  EXPECT_EQ(buildError("v -524280 0 0\nv -524280 0 100\nv -524180 0 0\nusemtl m_0000\nf 1 2 3\n",
                       Game::kMkds),
            "the index area along x starts 524,307 units below zero, past MKDS's fixed-point range "
            "of 524,288 "
            "units either side of zero");
  // The other edge is fine: the area may reach past it.
  EXPECT_EQ(buildError("v 524000 0 0\nv 524000 0 100\nv 524200 0 0\nusemtl m_0000\nf 1 2 3\n",
                       Game::kMkds),
            "(no error)");

  // Coordinates that are not finite numbers.
  EXPECT_EQ(buildError("v nan 0 0\nv 0 0 100\nv 1e999 0 0\nv inf 0 0\nusemtl m_0000\nf 1 2 3\n"),
            "2 vertices have a coordinate that is not a finite number (the first on line 1)");
}

TEST(KilnLimits, AnElongatedCourseKeepsASmallRootGrid) {
  // A stray triangle 100 million units away along x: the root cube grows
  // and the narrow axes widen to one cube, instead of a grid of 2^27 cubes.
  const std::string obj =
      "v 0 0 0\nv 0 0 100\nv 100 0 0\nv 111111100 0 0\nv 111111100 0 100\nv 111111200 0 0\n"
      "usemtl m_0000\nf 1 2 3\nf 4 5 6\n";
  for (Game game : {Game::kMk7, Game::kMkwii}) {
    const kiln::BuildResult r = buildText(obj, game);
    const kiln::KclFile file(r.file);
    EXPECT_LE(file.area().rootCount(), 512u);
    EXPECT_LT(r.file.size(), 20000u);
    EXPECT_EQ(file.lookup({50, 1, 20}).prisms, std::vector<uint16_t>{1});
    EXPECT_EQ(file.lookup({111111150, -1, 20}).prisms, std::vector<uint16_t>{2});
    EXPECT_TRUE(kiln::checkKcl(file).empty());
    // The origin is a float the file holds exactly.
    EXPECT_EQ(file.area().origin[0], static_cast<float>(file.area().origin[0]));
  }
}

TEST(KilnLimits, NormalsBeyondSixteenBitsAreCoarsenedWithAWarning) {
  std::vector<std::string> warnings;
  const course::Course model = kilntest::soup(20000, 20000, 21);
  const reference::File file(kilntest::build(model, Game::kMkwii, &warnings));
  // A few of the soup's slivers come back, with coarsened normals, further
  // off than they are thick: those are left out.
  EXPECT_GT(file.prismCount, 19900u);
  // Every normal index fits, and the prisms still give back their triangles
  // within a few units.
  const size_t normals = (file.prismsOffset - file.normalsOffset) / 12;
  EXPECT_LE(normals, 65536u);
  ASSERT_FALSE(warnings.empty());
  EXPECT_EQ(warnings[0].rfind("the model needs ", 0), 0u) << warnings[0];
  EXPECT_NE(
      warnings[0].find(" distinct normals, more than the 65,536 that 16-bit indices reach: they "
                       "were coarsened to "),
      std::string::npos)
      << warnings[0];
  EXPECT_NE(warnings[0].find(" degrees)"), std::string::npos) << warnings[0];
}

}  // namespace
