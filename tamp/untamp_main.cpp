// untamp [-c] [-t] [-f] [-o OUT] [-v] FILE...: decodes Yaz0 files.

#include <getopt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "untamp.h"

namespace {

const char kUsage[] = "usage: untamp [-c] [-t] [-f] [-o OUT] [-v] FILE...\n";

const char kHelp[] =
    "Decodes Yaz0 files (.yaz0, .szs), the other half of tamp.\n"
    "\n"
    "  -c      write the decoded data to standard output\n"
    "  -t      decode and check only; write nothing\n"
    "  -f      replace an existing output file\n"
    "  -o OUT  decode the one FILE into OUT\n"
    "  -v      print a line per file on standard error: name, compressed and\n"
    "          decoded sizes, and where the data went\n"
    "  --help, --version\n"
    "\n"
    "Each FILE is decoded into a file beside it: NAME.yaz0 gives NAME, NAME.szs\n"
    "gives NAME.sarc, NAME.u8 or NAME.bin after the decoded data's first bytes.\n"
    "FILE - reads standard input (with -c, -o or -t). The input is kept, and an\n"
    "output appears only when whole.\n"
    "\n"
    "Exit status: 0 when every FILE was decoded, 1 when any failed, 2 on a usage\n"
    "error.\n";

struct Options {
  untamp::Job job;
  bool verbose = false;
  std::vector<std::string> files;
};

int usageError(const std::string& problem) {
  std::fprintf(stderr, "untamp: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

// Parses the command line: 0 with options filled, or the status to exit
// with (-1 for --help and --version, which end with 0).
int parse(int argc, char** argv, Options& options) {
  static const option kLong[] = {{"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":ctfo:v", kLong, nullptr)) != -1) {
    switch (c) {
      case 'c':
        options.job.toConsole = true;
        break;
      case 't':
        options.job.checkOnly = true;
        break;
      case 'f':
        options.job.force = true;
        break;
      case 'v':
        options.verbose = true;
        break;
      case 'o':
        if (options.job.haveOut) return usageError("-o given more than once");
        options.job.haveOut = true;
        options.job.out = optarg;
        break;
      case 'h':
        std::printf("%s\n%s", kUsage, kHelp);
        return -1;
      case 'V':
        std::printf("untamp %s\n", UNTAMP_VERSION);
        return -1;
      case ':':
        return usageError("-o needs a file name");
      default:
        return usageError(optopt != 0 ? std::string("unknown option -") + static_cast<char>(optopt)
                                      : std::string("unknown option ") + argv[optind - 1]);
    }
  }
  for (int i = optind; i < argc; ++i) options.files.emplace_back(argv[i]);
  if (options.files.empty()) return usageError("no FILE given");
  if (options.job.toConsole + options.job.checkOnly + options.job.haveOut > 1)
    return usageError("-c, -t and -o exclude one another");
  if (options.job.haveOut && options.files.size() > 1)
    return usageError("-o takes exactly one FILE");
  if (options.job.haveOut && (options.job.out.empty() || options.job.out == "-"))
    return usageError("-o needs a file name (use -c for standard output)");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int status = parse(argc, argv, options); status != 0) return status < 0 ? 0 : status;
  options.job.countCompressed = options.verbose;
  untamp::installSignalHandling();
  bool allDecoded = true;
  for (const std::string& path : options.files) {
    const untamp::FileResult result = untamp::decodeFile(options.job, path);
    const std::string name = path == "-" ? "standard input" : path;
    if (!result.ok) {
      std::fprintf(stderr, "untamp: %s: %s\n", name.c_str(), result.problem.c_str());
      allDecoded = false;
    } else if (options.verbose) {
      std::fprintf(stderr, "%s: %llu -> %llu bytes (%s)\n", name.c_str(),
                   static_cast<unsigned long long>(result.compressed),
                   static_cast<unsigned long long>(result.decoded), result.where.c_str());
    }
  }
  return allDecoded ? 0 : 1;
}
