// kiln: builds a KCL collision file from a Wavefront OBJ model, and writes
// one back as OBJ, describes it, queries a point or checks it.
#include <getopt.h>
#include <malloc.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "kiln.h"
#include "safefs/interrupts.h"

namespace {

const char kUsage[] =
    "usage: kiln [-g mk7|mkds|mkwii|smg] [-m MATERIAL=XXXX]... [-o OUT] [-v] MODEL.obj\n"
    "       kiln -d [-o OUT.obj] [-v] FILE.kcl\n"
    "       kiln -i FILE.kcl\n"
    "       kiln -p X,Y,Z FILE.kcl\n"
    "       kiln -t FILE.kcl\n";

const char kHelp[] =
    "Builds the KCL collision file of a course from a Wavefront OBJ model, and reads\n"
    "one back.\n"
    "\n"
    "  (no mode)  build OUT (default: MODEL with .kcl) from the model; each material\n"
    "             names its identifier with four hexadecimal digits (road_105A)\n"
    "  -g GAME    the game to build for: mk7 (the default), mkds, mkwii, or smg\n"
    "             (Galaxy's layout: MKWii's under a 0x38-byte header)\n"
    "  -m MATERIAL=XXXX  the identifier of a material whose name holds none\n"
    "  -o OUT     the file to write\n"
    "  -v         say what was written\n"
    "  -d         write the collision as OBJ (default: FILE.obj, e.g. course.kcl.obj)\n"
    "             and its .mtl, one material kcl_XXXX per identifier, coloured by\n"
    "             collision type\n"
    "  -i         describe the file: game, counts, bounds, index, identifiers\n"
    "  -p X,Y,Z   the leaf the game searches at that point, its prisms, the hits\n"
    "  -t         check the file; silent when it is sound\n"
    "  --help, --version\n"
    "\n"
    "Identifiers are written as the calculators show them; -d, -i, -p and -t tell\n"
    "the game from the file. Exit status: 0 when done, 1 on failure, 2 on a usage\n"
    "error.\n";

// Models and KCL files read whole: far beyond any course.
constexpr uint64_t kModelLimit = uint64_t{1} << 30;
constexpr uint64_t kKclLimit = uint64_t{256} << 20;

enum class Mode { kBuild, kDump, kInfo, kPoint, kTest };

struct Options {
  Mode mode = Mode::kBuild;
  int modes = 0;
  bool gameGiven = false, verbose = false, haveOut = false;
  kiln::BuildOptions build;
  std::string out, file;
  kiln::Vec3 point;
};

int usageError(const std::string& problem) {
  std::fprintf(stderr, "kiln: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

bool parseNumber(std::string_view text, double& value) {
  if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty() &&
         std::isfinite(value);
}

bool parsePoint(std::string_view text, kiln::Vec3& p) {
  double values[3];
  for (int i = 0; i < 3; ++i) {
    const size_t comma = text.find(',');
    if ((i < 2) != (comma != std::string_view::npos)) return false;
    if (!parseNumber(text.substr(0, comma), values[i])) return false;
    text = i < 2 ? text.substr(comma + 1) : std::string_view();
  }
  p = {values[0], values[1], values[2]};
  return true;
}

// 0 with options filled, -1 after --help or --version, or the status.
int parse(int argc, char** argv, Options& options) {
  static const option kLong[] = {{"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  std::vector<char> used;
  while ((c = getopt_long(argc, argv, ":g:m:o:vdip:t", kLong, nullptr)) != -1) {
    switch (c) {
      case 'g': {
        const auto game = kiln::gameNamed(optarg);
        if (!game)
          return usageError(std::string("unknown game \"") + optarg +
                            "\" (mk7, mkds, mkwii or smg)");
        if (options.gameGiven) return usageError("-g given more than once");
        options.gameGiven = true;
        options.build.game = *game;
        used.push_back('g');
        break;
      }
      case 'm': {
        const std::string text = optarg;
        const size_t equals = text.rfind('=');
        const auto value = equals == std::string::npos
                               ? std::nullopt
                               : kiln::parseIdentifier(std::string_view(text).substr(equals + 1));
        if (!value || equals == 0) {
          return usageError("-m needs MATERIAL=XXXX, four hexadecimal digits: \"" + text + "\"");
        }
        options.build.materialIdentifiers.emplace_back(text.substr(0, equals), *value);
        used.push_back('m');
        break;
      }
      case 'o':
        if (options.haveOut) return usageError("-o given more than once");
        if (optarg[0] == '\0') return usageError("-o needs a file name");
        options.haveOut = true;
        options.out = optarg;
        break;
      case 'v':
        options.verbose = true;
        used.push_back('v');
        break;
      case 'd':
      case 'i':
      case 't':
      case 'p':
        if (c == 'p' && !parsePoint(optarg, options.point)) {
          return usageError(std::string("-p needs X,Y,Z, three finite numbers: \"") + optarg +
                            "\"");
        }
        options.mode = c == 'd'   ? Mode::kDump
                       : c == 'i' ? Mode::kInfo
                       : c == 'p' ? Mode::kPoint
                                  : Mode::kTest;
        ++options.modes;
        break;
      case 'h':
        std::printf("%s\n%s", kUsage, kHelp);
        return -1;
      case 'V':
        std::printf("kiln %s\n", KILN_VERSION);
        return -1;
      case ':':
        return usageError(std::string("-") + static_cast<char>(optopt) + " needs a value");
      default:
        return usageError(optopt != 0 ? std::string("unknown option -") + static_cast<char>(optopt)
                                      : std::string("unknown option ") + argv[optind - 1]);
    }
  }
  if (options.modes > 1) return usageError("-d, -i, -p and -t exclude one another");
  const bool reading = options.mode != Mode::kBuild;
  for (char option : used) {
    if (option == 'v' && (options.mode == Mode::kBuild || options.mode == Mode::kDump)) continue;
    if ((option == 'g' || option == 'm') && !reading) continue;
    return usageError(std::string("-") + option +
                      (option == 'v' ? " goes with building and -d" : " is for building"));
  }
  if (options.haveOut && options.mode != Mode::kBuild && options.mode != Mode::kDump) {
    return usageError("-o goes with building and -d");
  }
  if (optind >= argc) return usageError(reading ? "no FILE given" : "no MODEL given");
  if (optind + 1 < argc) return usageError("one file at a time");
  options.file = argv[optind];
  return 0;
}

// path with its suffix (".obj" or ".kcl", any case) replaced by suffix.
std::string withSuffix(const std::string& path, const char* old, const char* suffix) {
  const size_t slash = path.rfind('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  const size_t n = std::strlen(old);
  if (path.size() >= base + n + 1 && strncasecmp(path.c_str() + path.size() - n, old, n) == 0) {
    return path.substr(0, path.size() - n) + suffix;
  }
  return path + suffix;
}

void report(const std::string& file, const std::string& message) {
  std::fprintf(stderr, "kiln: %s: %s\n", file.c_str(), message.c_str());
}

// Writes the outputs whole or not at all; false (after saying why) on failure.
bool writeOutputs(const std::vector<std::pair<std::string, std::string_view>>& files,
                  const kiln::FileId& input) {
  kiln::OutputFiles outputs;
  std::string current;
  try {
    for (const auto& [path, data] : files) {
      current = path;
      outputs.add(path, data, input);
    }
    outputs.commit(&current);
  } catch (const kiln::Error& e) {
    report(current, e.what());
    return false;
  }
  return true;
}

int build(const Options& options) {
  kiln::FileId input;
  const std::vector<uint8_t> text = kiln::readFile(options.file, kModelLimit, &input);
  const kiln::ObjModel model =
      kiln::readObj(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
  for (const kiln::ObjModel::Skipped& s : model.skipped) {
    report(options.file, kiln::withCommas(s.count) + " \"" + s.keyword + "\" " +
                             (s.count == 1 ? "statement" : "statements") +
                             " (lines, points, curves or surfaces) left out, the first on line " +
                             std::to_string(s.firstLine));
  }
  if (model.triangles.empty()) throw kiln::Error("the model has no faces to build from");
  const kiln::BuildResult result = kiln::buildKcl(model, options.build);
  for (const std::string& warning : result.warnings) report(options.file, warning);
  if (result.stats.prisms == 0) throw kiln::Error("no triangle is left to build from");
  const std::string out = options.haveOut ? options.out : withSuffix(options.file, ".obj", ".kcl");
  const std::string_view bytes(reinterpret_cast<const char*>(result.file.data()),
                               result.file.size());
  if (!writeOutputs({{out, bytes}}, input)) return 1;
  if (options.verbose) {
    const kiln::BuildStats& s = result.stats;
    char figures[512];
    std::snprintf(figures, sizeof figures,
                  "  corners given back within %.3g units; index of %s bytes: depth %d, %s leaves, "
                  "lists of %.1f prisms on average, %s at most; %s bytes in all\n",
                  s.largestCornerError, kiln::withCommas(s.indexBytes).c_str(), s.depth,
                  kiln::withCommas(s.leaves).c_str(), s.meanList,
                  kiln::withCommas(s.longestList).c_str(),
                  kiln::withCommas(result.file.size()).c_str());
    std::fprintf(stderr, "%s: %s, %s prisms, %s positions, %s normals\n%s", out.c_str(),
                 kiln::infoOf(options.build.game).name, kiln::withCommas(s.prisms).c_str(),
                 kiln::withCommas(s.positions).c_str(), kiln::withCommas(s.normals).c_str(),
                 figures);
  }
  return 0;
}

int dump(const Options& options, const kiln::KclFile& kcl, const kiln::FileId& input) {
  // By default beside FILE with .obj added (course.kcl.obj), never over the
  // model the file was built from.
  const std::string out = options.haveOut ? options.out : options.file + ".obj";
  const std::string mtl = withSuffix(out, ".obj", ".mtl");
  const size_t slash = mtl.rfind('/');
  const std::string mtlName = slash == std::string::npos ? mtl : mtl.substr(slash + 1);
  const size_t sourceSlash = options.file.rfind('/');
  const kiln::ObjExport exported = kiln::exportObj(
      kcl, mtlName,
      sourceSlash == std::string::npos ? options.file : options.file.substr(sourceSlash + 1));
  if (!writeOutputs({{mtl, exported.mtl}, {out, exported.obj}}, input)) return 1;
  if (options.verbose) {
    std::fprintf(stderr, "%s: %s triangles, %s vertices, %s materials (%s)\n", out.c_str(),
                 kiln::withCommas(exported.triangles).c_str(),
                 kiln::withCommas(exported.vertices).c_str(),
                 kiln::withCommas(exported.materials).c_str(), mtl.c_str());
  }
  return 0;
}

int run(const Options& options) {
  if (options.mode == Mode::kBuild) return build(options);
  kiln::FileId input;
  const kiln::KclFile kcl(kiln::readFile(options.file, kKclLimit, &input));
  switch (options.mode) {
    case Mode::kDump:
      return dump(options, kcl, input);
    case Mode::kInfo:
      std::fputs(kiln::describeKcl(kcl, options.file).c_str(), stdout);
      break;
    case Mode::kPoint:
      std::printf("%s: %s", options.file.c_str(), kiln::queryKcl(kcl, options.point).c_str());
      break;
    case Mode::kTest: {
      const std::vector<std::string> problems = kiln::checkKcl(kcl);
      for (const std::string& problem : problems) report(options.file, problem);
      if (!problems.empty()) return 1;
      break;
    }
    case Mode::kBuild:
      break;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    report("standard output", std::string("cannot write: ") + std::strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int status = parse(argc, argv, options); status != 0) return status < 0 ? 0 : status;
  // An interrupt removes the temporary files, then ends the program as it
  // would have; a file-size limit makes a write fail instead.
  safefs::HandleInterrupts({SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE});
  // A build makes and drops large arrays one after another: keep the freed
  // memory for the next one rather than handing it back and faulting it in
  // again.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  try {
    return run(options);
  } catch (const kiln::Error& e) {
    report(options.file, e.what());
  } catch (const std::bad_alloc&) {
    report(options.file, "not enough memory");
  }
  return 1;
}
