// glaze: a model's textures out as PNG, an edited one back in.
#include <getopt.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "glaze.h"
#include "safefs/interrupts.h"

namespace {

const char kUsage[] =
    "usage: glaze -l MODEL\n"
    "       glaze -x [-m] [-f] MODEL DIR\n"
    "       glaze [-F FORMAT] [-P PALETTE] [-M LEVELS] [-o OUT] MODEL TEXTURE IMAGE.png\n"
    "       glaze --help | --version\n";

const char kHelp[] =
    "Lists the textures of a BMD, BDL or BRRES model, a BTI or TEX0 file or a DS\n"
    "model or texture file (BMD0, BTX0), writes them as PNG images, and replaces one\n"
    "with an edited image, encoded as the console reads it.\n"
    "\n"
    "  -l           list: index, name, format, size, levels, palette, shared data\n"
    "  -x           write each texture as DIR/NAME.png\n"
    "  -m           with -x, each mip level too (NAME.mip1.png, ...)\n"
    "  -f           with -x, replace existing files\n"
    "  -F FORMAT    the new format: I4 I8 IA4 IA8 RGB565 RGB5A3 RGBA8 C4 C8 C14X2 CMPR;\n"
    "               on the DS a3i5 pal4 pal16 pal256 tex4x4 a5i3 direct\n"
    "  -P PALETTE   the new palette format: IA8 RGB565 RGB5A3; on the DS the palette\n"
    "               to encode against, by name or #INDEX\n"
    "  -M LEVELS    the number of mip levels, or auto for the whole chain\n"
    "  -o OUT       write the changed model to OUT instead of replacing MODEL\n"
    "\n"
    "TEXTURE is a name as -l shows it, or #INDEX. A replaced texture keeps its\n"
    "format, palette format and level count unless told otherwise.\n"
    "\n"
    "Exit status: 0 on success, 1 on failure, 2 on a usage error.\n";

int usageError(const std::string& problem) {
  std::fprintf(stderr, "glaze: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

struct Options {
  bool list = false, extract = false, mips = false, force = false;
  glaze::ReplaceRequest replace;
  bool haveLevels = false, haveOut = false;
  std::string out;
  std::vector<std::string> operands;
};

// 0 with options filled, -1 after --help or --version, else the status.
int parse(int argc, char** argv, Options& o) {
  static const option kLong[] = {{"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":lxmfF:P:M:o:", kLong, nullptr)) != -1) {
    switch (c) {
      case 'l':
        o.list = true;
        break;
      case 'x':
        o.extract = true;
        break;
      case 'm':
        o.mips = true;
        break;
      case 'f':
        o.force = true;
        break;
      // A name that no container type reads is an error at once; -F and -P
      // together are checked below.
      case 'F':
        o.replace.format = optarg;
        if (const auto problem = glaze::requestProblem({optarg, std::nullopt}); !problem.empty())
          return usageError(problem);
        break;
      case 'P':
        o.replace.palette = optarg;
        if (const auto problem = glaze::requestProblem({std::nullopt, optarg}); !problem.empty())
          return usageError(problem);
        break;
      case 'M': {
        const std::string v = optarg;
        if (v == "auto") {
          o.replace.levels = -1;
        } else if (!v.empty() && v.size() <= 2 &&
                   v.find_first_not_of("0123456789") == std::string::npos && std::stoi(v) >= 1 &&
                   std::stoi(v) <= glaze::kMaxLevels) {
          o.replace.levels = std::stoi(v);
        } else {
          return usageError("-M takes a number of levels from 1 to 11, or auto; not " + v);
        }
        o.haveLevels = true;
        break;
      }
      case 'o':
        o.out = optarg;
        o.haveOut = true;
        break;
      case 'h':
        std::printf("%s\n%s", kUsage, kHelp);
        return -1;
      case 'V':
        std::printf("glaze %s\n", GLAZE_VERSION);
        return -1;
      case ':':
        return usageError(std::string("-") + char(optopt) + " needs a value");
      default:
        return usageError(optopt != 0 ? std::string("unknown option -") + char(optopt)
                                      : std::string("unknown option ") + argv[optind - 1]);
    }
  }
  for (int i = optind; i < argc; ++i) o.operands.emplace_back(argv[i]);
  const bool replaceOptions = o.replace.format || o.replace.palette || o.haveLevels || o.haveOut;
  if (o.list && o.extract) return usageError("-l and -x exclude one another");
  if ((o.mips || o.force) && !o.extract) return usageError("-m and -f go with -x");
  if ((o.list || o.extract) && replaceOptions)
    return usageError("-F, -P, -M and -o go with a replacement, not with -l or -x");
  if (o.list && o.operands.size() != 1) return usageError("-l takes one MODEL");
  if (o.extract && o.operands.size() != 2) return usageError("-x takes a MODEL and a DIR");
  if (!o.list && !o.extract && o.operands.size() != 3)
    return usageError(o.operands.empty() ? "nothing to do"
                                         : "a replacement takes MODEL TEXTURE IMAGE.png");
  if (const std::string problem = glaze::requestProblem(o.replace); !problem.empty())
    return usageError(problem);
  if (o.haveOut && o.out.empty()) return usageError("-o needs a file name");
  for (const std::string& operand : o.operands)
    if (operand.empty()) return usageError("an empty name is not a file");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const int status = parse(argc, argv, o); status != 0) return status < 0 ? 0 : status;
  safefs::HandleInterrupts({SIGINT, SIGTERM, SIGHUP, SIGQUIT});
  const int threads = int(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
  try {
    if (o.list) return glaze::listTextures(o.operands[0]);
    if (o.extract)
      return glaze::exportTextures(o.operands[0], o.operands[1], o.mips, o.force, threads);
    std::string problem;
    const int status = glaze::replaceTexture(o.operands[0], o.operands[1], o.operands[2], o.replace,
                                             o.out, threads, problem);
    return status == 2 ? usageError(problem) : status;
  } catch (const std::bad_alloc&) {
    // Temporary files are gone with the objects that held them.
    std::fprintf(stderr, "glaze: %s: not enough memory\n", o.operands[0].c_str());
    return 1;
  }
}
