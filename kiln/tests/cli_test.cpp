// The kiln program on real files: the command line, its messages and
// statuses, round trips OBJ -> KCL -> OBJ -> KCL for the three games, what
// -i, -p, -t and -d print and write, and that an output appears only whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>

#include "fault_injection.h"
#include "support.h"
#include "test_support.h"

namespace {

using kiln::Game;
using Names = std::vector<std::string>;

const std::string kKiln = KILN_PROGRAM;
const std::string kUsage =
    "usage: kiln [-g mk7|mkds|mkwii|smg] [-m MATERIAL=XXXX]... [-o OUT] [-v] MODEL.obj\n"
    "       kiln -d [-o OUT.obj] [-v] FILE.kcl\n"
    "       kiln -i FILE.kcl\n"
    "       kiln -p X,Y,Z FILE.kcl\n"
    "       kiln -t FILE.kcl\n";

testkit::RunResult kiln(const std::vector<std::string>& args, const std::string& dir,
                        testkit::RunOptions options = {}) {
  std::vector<std::string> argv = {kKiln};
  argv.insert(argv.end(), args.begin(), args.end());
  options.cwd = dir;
  return testkit::RunProgram(argv, options);
}

const char* option(Game game) { return kiln::infoOf(game).option; }

// Every triangle of the model is in the file with its identifier, its
// corners within the tolerance (in some rotation, the winding kept).
::testing::AssertionResult holdsModel(const reference::File& file, const course::Course& model,
                                      Game game, double tolerance) {
  std::vector<bool> used(file.prismCount + 1, false);
  std::vector<reference::File::Prism> prisms;
  for (size_t k = 1; k <= file.prismCount; ++k) prisms.push_back(file.prism(k));
  auto close = [&](reference::V a, course::Point b) {
    return std::fabs(a.x - b.x) <= tolerance && std::fabs(a.y - b.y) <= tolerance &&
           std::fabs(a.z - b.z) <= tolerance;
  };
  for (const course::Course::Face& f : model.faces) {
    const std::string& name = model.materials[f.material];
    const uint16_t stored = kiln::storedIdentifier(game, *kiln::identifierInName(name));
    const course::Point c[3] = {model.vertices[f.corner[0]], model.vertices[f.corner[1]],
                                model.vertices[f.corner[2]]};
    bool found = false;
    for (size_t k = 0; k < prisms.size() && !found; ++k) {
      const reference::File::Prism& p = prisms[k];
      if (used[k] || p.attribute != stored) continue;
      for (int r = 0; r < 3 && !found; ++r) {
        found = close(p.a, c[r]) && close(p.b, c[(r + 1) % 3]) && close(p.c, c[(r + 2) % 3]);
      }
      if (found) used[k] = true;
    }
    if (!found) {
      return ::testing::AssertionFailure() << "no prism holds the triangle (" << c[0].x << " "
                                           << c[0].y << " " << c[0].z << ") ... of " << name;
    }
  }
  if (prisms.size() != model.faces.size()) {
    return ::testing::AssertionFailure()
           << prisms.size() << " prisms for " << model.faces.size() << " triangles";
  }
  return ::testing::AssertionSuccess();
}

TEST(KilnProgram, BuildsSilentlyBesideTheModel) {
  testkit::TempDir dir;
  const course::Course model = course::demoCourse();
  testkit::WriteFile(dir / "course.obj", course::toObj(model, "demo"));
  testkit::WriteFile(dir / "MODEL", course::toObj(model, "demo"));
  testkit::RunResult r = kiln({"course.obj"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  r = kiln({"MODEL"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testkit::ListDir(dir.path()),
            (Names{"MODEL", "MODEL.kcl", "course.kcl", "course.obj"}));
  EXPECT_TRUE(testkit::SameBytes(testkit::ReadBytes(dir / "course.kcl"),
                                 testkit::ReadBytes(dir / "MODEL.kcl")));
  EXPECT_TRUE(
      holdsModel(reference::File(testkit::ReadBytes(dir / "course.kcl")), model, Game::kMk7, 1e-3));
  // -o, -v, -g.
  testkit::MakeDir(dir / "out");
  r = kiln({"-v", "-g", "mkwii", "-o", "out/wii.kcl", "course.obj"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("out/wii.kcl: MKWii, 474 prisms, ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("\n  corners given back within "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" bytes in all\n"), std::string::npos) << r.err;
  EXPECT_EQ(reference::File(testkit::ReadBytes(dir / "out/wii.kcl")).game, reference::File::kMkwii);
  // The new file's mode follows the umask like any new file's.
  struct stat st;
  ASSERT_EQ(stat((dir / "course.kcl").c_str(), &st), 0);
  const mode_t mask = umask(022);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(KilnProgram, RoundTripsThroughObjForEachGame) {
  const course::Course model = course::demoCourse();
  for (Game game : {Game::kMk7, Game::kMkds, Game::kMkwii, Game::kSmg}) {
    SCOPED_TRACE(kiln::infoOf(game).name);
    testkit::TempDir dir;
    testkit::WriteFile(dir / "course.obj", course::toObj(model, "demo"));
    testkit::RunResult r = kiln({"-g", option(game), "course.obj"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    r = kiln({"-d", "course.kcl"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(testkit::ListDir(dir.path()),
              (Names{"course.kcl", "course.kcl.mtl", "course.kcl.obj", "course.obj"}));
    const std::string obj = testkit::ReadFile(dir / "course.kcl.obj");
    EXPECT_NE(obj.find("\nmtllib course.kcl.mtl\n"), std::string::npos);
    for (const char* material :
         {"kcl_0000", "kcl_0005", "kcl_0008", "kcl_0010", "kcl_0019", "kcl_1000"}) {
      EXPECT_NE(obj.find(std::string("\nusemtl ") + material + "\n"), std::string::npos)
          << material;
    }
    // Back to KCL: the same triangles and identifiers within the format's
    // precision (MKDS's normals, in steps of 1/4096, give the corners of
    // the demo's 700-unit triangles back within 0.14 units, and a second
    // trip adds as much again).
    r = kiln({"-g", option(game), "-o", "again.kcl", "course.kcl.obj"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const double tolerance = game == Game::kMkds ? 0.2 : 0.001;
    EXPECT_TRUE(holdsModel(reference::File(testkit::ReadBytes(dir / "course.kcl")), model, game,
                           tolerance));
    EXPECT_TRUE(holdsModel(reference::File(testkit::ReadBytes(dir / "again.kcl")), model, game,
                           2 * tolerance));
    // -o names the OBJ; its material library goes beside it.
    r = kiln({"-d", "-v", "-o", "back.obj", "again.kcl"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.rfind("back.obj: 474 triangles, ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(" vertices, 6 materials (back.mtl)\n"), std::string::npos) << r.err;
    EXPECT_TRUE(testkit::Exists(dir / "back.mtl"));
  }
}

TEST(KilnProgram, ReadsAndWritesGalaxysLayout) {
  // The demo course as Galaxy's files hold it, written from the format's
  // description: a thickness of 40, no radius, unused positions.
  const course::Course model = course::demoCourse();
  std::vector<kilntest::Triangle> triangles;
  for (const course::Course::Face& f : model.faces) {
    const course::Point& a = model.vertices[f.corner[0]];
    const course::Point& b = model.vertices[f.corner[1]];
    const course::Point& c = model.vertices[f.corner[2]];
    triangles.push_back({{a.x, a.y, a.z},
                         {b.x, b.y, b.z},
                         {c.x, c.y, c.z},
                         *kiln::identifierInName(model.materials[f.material])});
  }
  testkit::TempDir dir;
  testkit::WriteFile(dir / "galaxy.kcl", kilntest::galaxyFile(triangles, 40, 350));
  testkit::RunResult r = kiln({"-i", "galaxy.kcl"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("galaxy.kcl: an SMG file (Galaxy's layout: big-endian, floating point, a "
                        "0x38-byte header without a sphere radius)\n474 prisms, 477 positions, "
                        "1,896 normals\n",
                        0),
            0u)
      << r.out;
  EXPECT_NE(r.out.find("\nprism thickness 40 (kiln writes 300); no sphere radius in the header "
                       "(kiln builds for and -p tests one of 250)\n"),
            std::string::npos)
      << r.out;
  // The values are SMG's own: no kart game's fields beside them.
  EXPECT_NE(r.out.find("\nidentifiers (6):\n  0000  96 prisms\n  0005  "), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("type 0x"), std::string::npos) << r.out;
  r = kiln({"-t", "galaxy.kcl"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  r = kiln({"-p", "0,10,-2000", "galaxy.kcl"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(" listed; a sphere of radius 250 (kiln's, as the header holds none; prism "
                       "thickness 40) hits "),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  0000  hit: inside its edges, 10 above the face\n"), std::string::npos)
      << r.out;
  // Out as OBJ and in again with -g smg: the same triangles and values,
  // in a file of the same layout with kiln's thickness.
  r = kiln({"-d", "galaxy.kcl"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  r = kiln({"-g", "smg", "-o", "again.kcl", "galaxy.kcl.obj"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const testkit::Bytes again = testkit::ReadBytes(dir / "again.kcl");
  EXPECT_EQ(again[3], 0x38);
  const reference::File file(again);
  EXPECT_EQ(file.game, reference::File::kSmg);
  EXPECT_EQ(file.thickness, 300);
  EXPECT_TRUE(holdsModel(file, model, Game::kSmg, 0.01));
  EXPECT_EQ(kilntest::coverage(file, 20, 5).missed, 0u);
  r = kiln({"-t", "again.kcl"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  r = kiln({"-i", "again.kcl"}, dir.path());
  EXPECT_NE(r.out.find("\nprism thickness 300; no sphere radius in the header "), std::string::npos)
      << r.out;
  // A later console's layout is named, and refused by every mode.
  testkit::Bytes version2(0x80, 0);  // 00 00 02 02: 0x02020000 little-endian
  version2[2] = version2[3] = 0x02;
  testkit::WriteFile(dir / "v2.kcl", version2);
  for (const Names& mode : {Names{"-t"}, Names{"-i"}, Names{"-d"}, Names{"-p", "0,0,0"}}) {
    Names args = mode;
    args.push_back("v2.kcl");
    r = kiln(args, dir.path());
    EXPECT_EQ(r.status, 1) << mode[0];
    EXPECT_EQ(r.err,
              "kiln: v2.kcl: a KCL file of version 2 (its first word is 0x02020000): a later "
              "console's layout, which kiln does not read (it reads the MK7, MKDS, MKWii and SMG "
              "layouts)\n");
  }
}

TEST(KilnProgram, TheMaterialLibraryColoursEachTypeApart) {
  testkit::TempDir dir;
  course::Course model;
  const char* names[] = {"a_0000", "b_0020", "c_0010", "d_1010", "e_0019", "f_0008"};
  for (int i = 0; i < 6; ++i) {
    const double x = 200.0 * i;
    model.triangle(model.vertex(x, 0, 0), model.vertex(x, 0, 100), model.vertex(x + 100, 0, 0),
                   model.material(names[i]));
  }
  testkit::WriteFile(dir / "m.obj", course::toObj(model, "six"));
  ASSERT_EQ(kiln({"m.obj"}, dir.path()).status, 0);
  ASSERT_EQ(kiln({"-d", "-o", "out.obj", "m.kcl"}, dir.path()).status, 0);
  std::istringstream mtl(testkit::ReadFile(dir / "out.mtl"));
  std::map<std::string, std::string> colours;
  std::string line, material;
  while (std::getline(mtl, line)) {
    if (line.rfind("newmtl ", 0) == 0) material = line.substr(7);
    if (line.rfind("Kd ", 0) == 0) colours[material] = line;
  }
  ASSERT_EQ(colours.size(), 6u);
  // 0000 and 0020 share type 0x00 (only the basic effect differs); so do
  // 0010 and 1010 (type 0x10).
  EXPECT_EQ(colours["kcl_0000"], colours["kcl_0020"]);
  EXPECT_EQ(colours["kcl_0010"], colours["kcl_1010"]);
  const std::string types[] = {colours["kcl_0000"], colours["kcl_0010"], colours["kcl_0019"],
                               colours["kcl_0008"]};
  for (int i = 0; i < 4; ++i) {
    for (int j = i + 1; j < 4; ++j) EXPECT_NE(types[i], types[j]);
  }
}

TEST(KilnProgram, InfoNamesTheFieldsInTheCalculatorsWords) {
  testkit::TempDir dir;
  const std::string obj =
      "v 0 0 0\nv 0 0 100\nv 100 0 0\nv 100 0 100\nusemtl trees_105A\nf 1 2 3\nf 3 2 4\n";
  testkit::WriteFile(dir / "m.obj", obj);
  ASSERT_EQ(kiln({"-o", "mk7.kcl", "m.obj"}, dir.path()).status, 0);
  testkit::RunResult r = kiln({"-i", "mk7.kcl"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("mk7.kcl: an MK7 file (little-endian, floating point)\n2 prisms, ", 0), 0u)
      << r.out;
  EXPECT_NE(
      r.out.find(
          "\nbounds: x 0 to 100, y 0 to 0, z 0 to 100\nprism thickness 30, sphere radius 25\n"),
      std::string::npos)
      << r.out;
  EXPECT_NE(
      r.out.find("\nidentifiers (1):\n  105A  2 prisms\n    Collision Type: 0x1A - Effect Trigger\n"
                 "    Basic Effect: 2 - Tree leaves\n    Shadow: 0 (None)\n"
                 "    Special Property: 1 - Trickable\n"),
      std::string::npos)
      << r.out;
  for (const char* line :
       {"\nindex: origin (", "\n  depth ", " leaves (", "\n  list length: mean "}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line;
  }

  testkit::WriteFile(dir / "ds.obj", "v 0 0 0\nv 0 0 100\nv 100 0 0\nusemtl water_002B\nf 1 2 3\n");
  ASSERT_EQ(kiln({"-g", "mkds", "ds.obj"}, dir.path()).status, 0);
  r = kiln({"-i", "ds.kcl"}, dir.path());
  EXPECT_EQ(r.out.rfind("ds.kcl: an MKDS file (little-endian, fixed point)\n", 0), 0u) << r.out;
  EXPECT_NE(
      r.out.find("\n  002B (stored 0B20)  1 prism\n    Collision Type: 0x0B - Fall\n"
                 "    Basic Effect: 1 - Water\n    Intensity: 0 (None)\n    Shadow Effect: 0\n"),
      std::string::npos)
      << r.out;

  testkit::WriteFile(dir / "wii.obj", "v 0 0 0\nv 0 0 100\nv 100 0 0\nusemtl m_F8A3\nf 1 2 3\n");
  ASSERT_EQ(kiln({"-g", "mkwii", "wii.obj"}, dir.path()).status, 0);
  r = kiln({"-i", "wii.kcl"}, dir.path());
  EXPECT_EQ(r.out.rfind("wii.kcl: an MKWii file (big-endian, floating point)\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\nprism thickness 300, sphere radius 250\n"), std::string::npos) << r.out;
  // F8A3: type 0x03, variant 5, light 0, wheel depth 3, trickable, reject
  // road, soft wall.
  EXPECT_NE(
      r.out.find(
          "\n  F8A3  1 prism\n    type 0x03, variant 5, light index 0, wheel depth 3, trickable 1, "
          "reject road 1, soft wall 1\n"),
      std::string::npos)
      << r.out;
}

TEST(KilnProgram, PointQueriesShowTheLeafAndTheHits) {
  testkit::TempDir dir;
  testkit::WriteFile(dir / "m.obj",
                     "v 0 0 0\nv 0 0 100\nv 100 0 0\nv 100 0 100\nusemtl road_0000\nf 1 2 3\n"
                     "usemtl wall_0010\nf 3 2 4\n");
  ASSERT_EQ(kiln({"m.obj"}, dir.path()).status, 0);
  testkit::RunResult r = kiln({"-p", "10,5,10", "m.kcl"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(
      r.out.rfind(
          "m.kcl: an MK7 file (little-endian, floating point)\npoint (10, 5, 10): leaf at depth ",
          0),
      0u)
      << r.out;
  EXPECT_NE(r.out.find("\n2 prisms listed; a sphere of radius 25 (prism thickness 30) hits 1:\n"
                       "  prism 1  0000  hit: inside its edges, 5 above the face\n"
                       "  prism 2  0010  no hit: 56.5685 beyond an edge\n"),
            std::string::npos)
      << r.out;
  r = kiln({"-p", "20,-29,20", "m.kcl"}, dir.path());
  EXPECT_NE(r.out.find("  prism 1  0000  hit: inside its edges, 29 below the face\n"),
            std::string::npos)
      << r.out;
  r = kiln({"-p", "-5000,0,0", "m.kcl"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(
      r.out,
      "m.kcl: an MK7 file (little-endian, floating point)\npoint (-5000, 0, 0): outside the index "
      "area; the game tests no prism there\n");
}

TEST(KilnProgram, UsageErrors) {
  testkit::TempDir dir;
  const struct {
    std::vector<std::string> args;
    std::string problem;
  } cases[] = {
      {{}, "no MODEL given"},
      {{"-i"}, "no FILE given"},
      {{"-t"}, "no FILE given"},
      {{"a.obj", "b.obj"}, "one file at a time"},
      {{"-g", "mk8", "a.obj"}, "unknown game \"mk8\" (mk7, mkds, mkwii or smg)"},
      {{"-g", "mk7", "-g", "mkds", "a.obj"}, "-g given more than once"},
      {{"-m", "road", "a.obj"}, "-m needs MATERIAL=XXXX, four hexadecimal digits: \"road\""},
      {{"-m", "road=10A", "a.obj"},
       "-m needs MATERIAL=XXXX, four hexadecimal digits: \"road=10A\""},
      {{"-m", "=105A", "a.obj"}, "-m needs MATERIAL=XXXX, four hexadecimal digits: \"=105A\""},
      {{"-o", "a", "-o", "b", "a.obj"}, "-o given more than once"},
      {{"-o", "", "a.obj"}, "-o needs a file name"},
      {{"-o"}, "-o needs a value"},
      {{"-d", "-i", "a.kcl"}, "-d, -i, -p and -t exclude one another"},
      {{"-i", "-g", "mk7", "a.kcl"}, "-g is for building"},
      {{"-t", "-m", "a=0000", "a.kcl"}, "-m is for building"},
      {{"-i", "-v", "a.kcl"}, "-v goes with building and -d"},
      {{"-i", "-o", "x", "a.kcl"}, "-o goes with building and -d"},
      {{"-p", "1,2", "a.kcl"}, "-p needs X,Y,Z, three finite numbers: \"1,2\""},
      {{"-p", "1,2,3,4", "a.kcl"}, "-p needs X,Y,Z, three finite numbers: \"1,2,3,4\""},
      {{"-p", "1,nan,3", "a.kcl"}, "-p needs X,Y,Z, three finite numbers: \"1,nan,3\""},
      {{"-x", "a.obj"}, "unknown option -x"},
      {{"--frobnicate", "a.obj"}, "unknown option --frobnicate"},
  };
  for (const auto& c : cases) {
    const testkit::RunResult r = kiln(c.args, dir.path());
    EXPECT_EQ(r.status, 2) << c.problem;
    EXPECT_EQ(r.err, "kiln: " + c.problem + "\n" + kUsage);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_TRUE(testkit::ListDir(dir.path()).empty());
  testkit::RunResult r = kiln({"--version"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "kiln 1.0\n");
  r = kiln({"--help"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind(kUsage + "\nBuilds the KCL collision file", 0), 0u);
  // A negative coordinate is a value, not an option.
  testkit::WriteFile(dir / "m.obj", "v 0 0 0\nv 0 0 100\nv 100 0 0\nusemtl m_0000\nf 1 2 3\n");
  ASSERT_EQ(kiln({"m.obj"}, dir.path()).status, 0);
  r = kiln({"-p", "-1e1,+2,-0.5", "m.kcl"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("point (-10, 2, -0.5): "), std::string::npos) << r.out;
}

TEST(KilnProgram, FailuresSayWhichFileAndWhy) {
  testkit::TempDir dir;
  const std::string good = "v 0 0 0\nv 0 0 100\nv 100 0 0\nusemtl m_0000\nf 1 2 3\n";
  testkit::WriteFile(dir / "good.obj", good);
  testkit::WriteFile(dir / "bad.obj", "v 0 0 0\nv 0 0 100\nf 1 2 3\n");
  testkit::WriteFile(dir / "nomat.obj", "v 0 0 0\nv 0 0 100\nv 100 0 0\nf 1 2 3\n");
  testkit::WriteFile(dir / "empty.obj", "# nothing\nv 1 2 3\n");
  testkit::WriteFile(dir / "flat.obj", "v 0 0 0\nv 0 0 100\nv 0 0 200\nusemtl m_0000\nf 1 2 3\n");
  testkit::WriteFile(dir / "lines.obj", good + "l 1 2\n");
  testkit::WriteFile(dir / "short.kcl", "KCL?");
  testkit::MakeDir(dir / "folder.obj");
  ASSERT_EQ(mkfifo((dir / "pipe.obj").c_str(), 0644), 0);
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"bad.obj"},
       "kiln: bad.obj: line 3: the face corner \"3\" names vertex 3, but 2 are defined before "
       "it\n"},
      {{"nomat.obj"},
       "kiln: nomat.obj: no identifier for the faces without a material (1 triangle); name each "
       "material "
       "with four hexadecimal digits (road_105A) or give -m NAME=XXXX\n"},
      {{"empty.obj"}, "kiln: empty.obj: the model has no faces to build from\n"},
      {{"flat.obj"},
       "kiln: flat.obj: 1 degenerate triangle (collinear corners or thinner than 0.01 units) was "
       "left out\n"
       "kiln: flat.obj: no triangle is left to build from\n"},
      {{"missing.obj"}, "kiln: missing.obj: cannot open: No such file or directory\n"},
      {{"folder.obj"}, "kiln: folder.obj: cannot read: Is a directory\n"},
      {{"pipe.obj"}, "kiln: pipe.obj: not a regular file\n"},
      {{"-i", "short.kcl"},
       "kiln: short.kcl: not a KCL file: 4 bytes, fewer than the 60 of a header\n"},
      {{"-o", "good.obj", "good.obj"},
       "kiln: good.obj: is the input file itself; nothing was written\n"},
      {{"-o", "folder.obj", "good.obj"}, "kiln: folder.obj: cannot write: Is a directory\n"},
      {{"-o", "nowhere/x.kcl", "good.obj"},
       "kiln: nowhere/x.kcl: cannot write: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    const testkit::RunResult r = kiln(c.args, dir.path());
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(testkit::ReadFile(dir / "good.obj"), good);
  EXPECT_EQ(testkit::ListDir(dir.path()),
            (Names{"bad.obj", "empty.obj", "flat.obj", "folder.obj", "good.obj", "lines.obj",
                   "nomat.obj", "pipe.obj", "short.kcl"}));
  // Warnings go with a file written all the same.
  const testkit::RunResult r = kiln({"lines.obj"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "kiln: lines.obj: 1 \"l\" statement (lines, points, curves or surfaces) left out, the "
            "first on line 6\n");
  EXPECT_TRUE(testkit::Exists(dir / "lines.kcl"));
}

TEST(KilnProgram, DamagedFilesFailInEveryMode) {
  testkit::TempDir dir;
  testkit::WriteFile(dir / "m.obj", course::toObj(course::demoCourse(), "demo"));
  ASSERT_EQ(kiln({"m.obj"}, dir.path()).status, 0);
  const testkit::Bytes sound = testkit::ReadBytes(dir / "m.kcl");
  // -t is silent on a sound file.
  testkit::RunResult r = kiln({"-t", "m.kcl"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  // Damage: the last list's ending 0 gone (the file cut), an index key out
  // of the file, a prism's normal index out of range.
  const reference::File file(sound);
  testkit::Bytes cut(sound.begin(), sound.end() - 2), key = sound, normal = sound;
  key[file.indexOffset + 3] = 0x7F;  // the first root key: a branch far beyond the end
  normal[file.prismsOffset + 16 * 4 + 8] = 0xFF;
  normal[file.prismsOffset + 16 * 4 + 9] = 0xFF;
  testkit::WriteFile(dir / "cut.kcl", cut);
  testkit::WriteFile(dir / "key.kcl", key);
  testkit::WriteFile(dir / "normal.kcl", normal);
  const struct {
    const char* file;
    const char* starts;
  } cases[] = {{"cut.kcl", "kiln: cut.kcl: the list at 0x"},
               {"key.kcl", "kiln: key.kcl: the index key at 0x"},
               {"normal.kcl",
                "kiln: normal.kcl: prism 5: its A-C edge normal index 65535 is out of range ("}};
  for (const auto& c : cases) {
    for (const std::vector<std::string>& mode :
         {Names{"-t"}, Names{"-i"}, Names{"-d"}, Names{"-p", "0,0,0"}}) {
      std::vector<std::string> args = mode;
      args.push_back(c.file);
      r = kiln(args, dir.path());
      EXPECT_EQ(r.status, 1) << c.file << " " << mode[0];
      EXPECT_EQ(r.err.rfind(c.starts, 0), 0u) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
      EXPECT_EQ(r.out, "");
    }
  }
  EXPECT_FALSE(testkit::Exists(dir / "cut.kcl.obj"));
  // A header whose numbers are not the game's: readable, but -t says so.
  testkit::Bytes odd = sound;
  odd[0x38 + 3] = 0x42;  // the radius: 25.0f becomes 25 + 2^... in the top byte
  testkit::WriteFile(dir / "odd.kcl", odd);
  r = kiln({"-t", "odd.kcl"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("kiln: odd.kcl: the sphere radius is ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(", not MK7's 25\n"), std::string::npos) << r.err;
  EXPECT_EQ(kiln({"-i", "odd.kcl"}, dir.path()).status, 0);
}

TEST(KilnProgram, AnOldOutputSurvivesEveryFailure) {
  testkit::TempDir dir;
  testkit::WriteFile(dir / "course.obj", course::toObj(course::demoCourse(), "demo"));
  testkit::WriteFile(dir / "damaged.obj", "v 0 0 0\nv 1 1 x\n");
  testkit::WriteFile(dir / "course.kcl", "the old course.kcl");
  testkit::WriteFile(dir / "damaged.kcl", "the old damaged.kcl");
  EXPECT_EQ(kiln({"damaged.obj"}, dir.path()).status, 1);
  EXPECT_EQ(testkit::ReadFile(dir / "damaged.kcl"), "the old damaged.kcl");
  // A file-size limit: the write fails, the old file stays, nothing else.
  testkit::RunOptions limited;
  limited.max_file_size = 4096;
  testkit::RunResult r = kiln({"course.obj"}, dir.path(), limited);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kiln: course.kcl: cannot write: File too large\n");
  EXPECT_EQ(testkit::ReadFile(dir / "course.kcl"), "the old course.kcl");
  EXPECT_EQ(testkit::ListDir(dir.path()),
            (Names{"course.kcl", "course.obj", "damaged.kcl", "damaged.obj"}));
  // A symbolic link as OUT: the file it leads to is replaced.
  testkit::MakeDir(dir / "real");
  testkit::MakeLink("real/target.kcl", dir / "link.kcl");
  r = kiln({"-o", "link.kcl", "course.obj"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  struct stat st;
  ASSERT_EQ(lstat((dir / "link.kcl").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(reference::File(testkit::ReadBytes(dir / "real/target.kcl")).prismCount, 474u);

  testkit::FaultSweep sweep;
  sweep.argv = {kKiln, "course.obj"};
  sweep.samples_per_call = 3;
  sweep.calls.push_back("renameat");  // the output's rename into place
  sweep.prepare = [&](const std::string& folder) {
    testkit::WriteFile(folder + "/course.obj", course::toObj(course::demoCourse(), "demo"));
    testkit::WriteFile(folder + "/course.kcl", "the old course.kcl");
  };
  testkit::ExpectEveryFailingCallHandled(sweep);
  // And -d, which writes two files.
  testkit::FaultSweep dump;
  const testkit::Bytes kcl = testkit::ReadBytes(dir / "real/target.kcl");
  dump.argv = {kKiln, "-d", "course.kcl"};
  dump.samples_per_call = 3;
  dump.calls = {"read", "write", "openat", "close", "rename", "renameat", "fstat"};
  dump.prepare = [&](const std::string& folder) {
    testkit::WriteFile(folder + "/course.kcl", kcl);
    testkit::WriteFile(folder + "/course.kcl.obj", "the old obj");
  };
  testkit::ExpectEveryFailingCallHandled(dump);
  // An interrupt at any of those points leaves nothing partial either.
  sweep.fault = "signal=SIGINT";
  sweep.calls = {"write", "openat", "close", "rename", "renameat"};
  testkit::ExpectEveryFailingCallHandled(sweep);
}

}  // namespace
