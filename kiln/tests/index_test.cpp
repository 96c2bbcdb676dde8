// kiln's spatial index held against the games' own search, with the
// independent reference: wherever the sphere test hits a prism, the leaf
// the game searches there lists it. Also the index's shape and header.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "support.h"

namespace {

using kiln::Game;

struct Case {
  const char* name;
  course::Course model;
  int points;
};

void expectFullCoverage(const course::Course& model, Game game, int points, const char* name) {
  SCOPED_TRACE(std::string(name) + " for " + kiln::infoOf(game).name);
  const reference::File file(kilntest::build(model, game));
  ASSERT_EQ(file.prismCount, model.faces.size());
  const kilntest::Coverage c = kilntest::coverage(file, points, 7);
  // Most sampled points lie in the hit volume, so the check has teeth.
  EXPECT_GT(c.tested, file.prismCount * static_cast<size_t>(points) / 3);
  EXPECT_EQ(c.missed, 0u) << c.firstMiss;
}

TEST(KilnIndex, EveryHitFindsItsPrismOnTheDemoCourse) {
  const course::Course model = course::demoCourse();
  for (Game game : {Game::kMk7, Game::kMkds, Game::kMkwii, Game::kSmg}) {
    expectFullCoverage(model, game, 200, "the demo course");
  }
}

TEST(KilnIndex, EveryHitFindsItsPrismAmongTrianglesOfEverySizeAndDirection) {
  // Slivers, walls and ceilings crowded together: deep cubes, long lists.
  const course::Course model = kilntest::soup(1500, 3000, 11);
  for (Game game : {Game::kMk7, Game::kMkds, Game::kMkwii}) {
    expectFullCoverage(model, game, 60, "a triangle soup");
  }
}

TEST(KilnIndex, EveryHitFindsItsPrismFarFromZero) {
  // Where float steps are coarse (about 0.03 units at 400,000) and, for
  // MKDS, near the edge of the fixed-point range.
  const course::Course far = kilntest::soup(400, 2000, 12, {400000, -300000, 380000});
  for (Game game : {Game::kMk7, Game::kMkds, Game::kMkwii}) {
    expectFullCoverage(far, game, 80, "triangles far from zero");
  }
}

TEST(KilnIndex, EveryHitFindsItsPrismWithCoarsenedNormals) {
  // More than 65,536 distinct normals: coarsened ones tilt the edge planes
  // away from the face, and the index must follow the stored planes.
  const course::Course model = kilntest::soup(17000, 20000, 13);
  std::vector<std::string> warnings;
  const reference::File file(kilntest::build(model, Game::kMk7, &warnings));
  ASSERT_FALSE(warnings.empty());
  EXPECT_NE(warnings.front().find("coarsened"), std::string::npos) << warnings.front();
  const kilntest::Coverage c = kilntest::coverage(file, 12, 8);
  EXPECT_GT(c.tested, file.prismCount * 4);
  EXPECT_EQ(c.missed, 0u) << c.firstMiss;
}

TEST(KilnIndex, ListsStayShortOnDenseGroundAndTheHeaderHoldsTheGamesNumbers) {
  // A flat field of 3,200 triangles of 20 units: at any point the lists
  // hold the triangles within reach of the point's cube, not the field
  // (MK7 and MKDS: cubes of at least 32 units grown by the radius of 25 take
  // in a square of about 82 + 40 units, some 75 triangles; MKWii's radius of
  // 250 takes in much of the field).
  course::Course field;
  const uint32_t road = field.material("road_0000");
  const int cells = 40;
  for (int j = 0; j <= cells; ++j) {
    for (int i = 0; i <= cells; ++i) field.vertex(i * 20.0, 0, j * 20.0);
  }
  for (int j = 0; j < cells; ++j) {
    for (int i = 0; i < cells; ++i) {
      const uint32_t a = static_cast<uint32_t>(j * (cells + 1) + i);
      field.quad(a, a + cells + 1, a + cells + 2, a + 1, road);
    }
  }
  const struct {
    Game game;
    double thickness, radius;
    size_t longest;
  } games[] = {{Game::kMk7, 30, 25, 75},
               {Game::kMkds, 30, 25, 75},
               {Game::kMkwii, 300, 250, 3200},
               {Game::kSmg, 300, 250, 3200}};
  for (const auto& g : games) {
    SCOPED_TRACE(kiln::infoOf(g.game).name);
    const reference::File file(kilntest::build(field, g.game));
    EXPECT_EQ(file.thickness, g.thickness);
    EXPECT_EQ(file.radius, g.radius);
    // The area's masks are ~(2^n - 1) and agree with the root grid's shifts.
    uint32_t bits[3];
    for (int axis = 0; axis < 3; ++axis) {
      const uint32_t low = ~file.masks[axis];
      EXPECT_EQ(low & (low + 1), 0u);
      bits[axis] = static_cast<uint32_t>(__builtin_popcount(low));
      EXPECT_GE(bits[axis], file.shift);
      // The origin lies at least a unit beyond the reach of every hit
      // volume: the thickness under the face (y), the radius beside it.
      EXPECT_LE(file.origin[axis], -(axis == 1 ? g.thickness : g.radius) - 1);
    }
    EXPECT_EQ(file.shiftX, bits[0] - file.shift);
    EXPECT_EQ(file.shiftXY, bits[0] - file.shift + bits[1] - file.shift);
    size_t longest = 0, total = 0, samples = 0;
    for (double x = 1; x < 800; x += 37) {
      for (double z = 3; z < 800; z += 41) {
        const size_t n = file.search({x, 0.5, z}).size();
        longest = std::max(longest, n);
        total += n;
        ++samples;
      }
    }
    EXPECT_LE(longest, g.longest);
    EXPECT_LT(static_cast<double>(total) / static_cast<double>(samples), g.longest * 0.8);
    const kilntest::Coverage c = kilntest::coverage(file, 20, 9);
    EXPECT_EQ(c.missed, 0u) << c.firstMiss;
  }
}

TEST(KilnIndex, ABlockListsNothingOutsideTheHitVolumes) {
  // Two triangles far apart: points between them are in the area but near
  // nothing, and find empty lists; points outside the area find nothing.
  course::Course model;
  const uint32_t m = model.material("x_0000");
  model.triangle(model.vertex(0, 0, 0), model.vertex(0, 0, 100), model.vertex(100, 0, 0), m);
  model.triangle(model.vertex(5000, 0, 5000), model.vertex(5000, 0, 5100),
                 model.vertex(5100, 0, 5000), m);
  const reference::File file(kilntest::build(model, Game::kMk7));
  EXPECT_TRUE(file.search({2500, 0, 2500}).empty());
  EXPECT_EQ(file.search({20, 5, 20}), std::vector<uint16_t>{1});
  EXPECT_EQ(file.search({5020, -5, 5020}), std::vector<uint16_t>{2});
  bool outside = false;
  EXPECT_TRUE(file.search({-1000, 0, 0}, &outside).empty());
  EXPECT_TRUE(outside);
}

}  // namespace
