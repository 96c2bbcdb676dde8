// untamp [-c] [-t] [-f] [-o OUT] [-v] FILE...: decodes Yaz0 files.

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
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

// With -c, outputs up to this size are written only once decoded whole.
constexpr size_t kHeldOnConsole = 16 * 1024 * 1024;

struct Options {
  bool toConsole = false;
  bool checkOnly = false;
  bool force = false;
  bool verbose = false;
  bool haveOut = false;
  std::string out;
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
        options.toConsole = true;
        break;
      case 't':
        options.checkOnly = true;
        break;
      case 'f':
        options.force = true;
        break;
      case 'v':
        options.verbose = true;
        break;
      case 'o':
        if (options.haveOut) return usageError("-o given more than once");
        options.haveOut = true;
        options.out = optarg;
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
  if (options.toConsole + options.checkOnly + options.haveOut > 1)
    return usageError("-c, -t and -o exclude one another");
  if (options.haveOut && options.files.size() > 1) return usageError("-o takes exactly one FILE");
  if (options.haveOut && (options.out.empty() || options.out == "-"))
    return usageError("-o needs a file name (use -c for standard output)");
  return 0;
}

class Input {
 public:
  explicit Input(const std::string& path)
      : fd_(path == "-" ? 0 : open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~Input() {
    if (fd_ > 0) close(fd_);
  }
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Reads what is left of a stream (padding) to count the compressed size.
uint64_t drain(int fd) {
  uint64_t total = 0;
  uint8_t buffer[64 * 1024];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return total;
    total += static_cast<uint64_t>(got);
  }
}

std::string refusalText(const untamp::FileOutput::Refusal refusal, const std::string& target,
                        int error) {
  switch (refusal) {
    case untamp::FileOutput::Refusal::kExists:
      return target + " exists; use -f to replace it";
    case untamp::FileOutput::Refusal::kNotRegular:
      return "cannot replace " + target + ": not a regular file";
    case untamp::FileOutput::Refusal::kIsInput:
      return target + " is the input itself";
    default:
      return "cannot write " + target + ": " + std::strerror(error);
  }
}

// Decodes one FILE as the options say; false (reported) when it fails.
bool decodeOne(const Options& options, const std::string& path) {
  const bool fromConsole = path == "-";
  const std::string name = fromConsole ? "standard input" : path;
  auto complain = [&](const std::string& what) {
    std::fprintf(stderr, "untamp: %s: %s\n", name.c_str(), what.c_str());
    return false;
  };

  const bool beside = !options.toConsole && !options.checkOnly && !options.haveOut;
  untamp::Naming naming = untamp::Naming::kUnknown;
  if (beside) {
    if (fromConsole) return complain("no name to name the output after; use -o or -c");
    naming = untamp::namingOf(path);
    if (naming == untamp::Naming::kUnknown)
      return complain("unknown suffix (not .yaz0 or .szs); use -o or -c");
    if (naming == untamp::Naming::kNoStem)
      return complain("nothing before the suffix to name the output after; use -o or -c");
  }

  Input input(path);
  if (input.fd() < 0) return complain(std::string("cannot open: ") + std::strerror(errno));
  struct stat st;
  if (fstat(input.fd(), &st) != 0) return complain(std::string("cannot read: ") + strerror(errno));
  if (S_ISDIR(st.st_mode)) return complain("not Yaz0: a folder");

  std::string target;
  if (options.haveOut) target = options.out;
  if (naming == untamp::Naming::kDropSuffix) target = untamp::outputName(path, nullptr, 0);
  if (!target.empty()) {
    const auto refusal = untamp::checkTarget(target, options.force, st.st_dev, st.st_ino);
    if (refusal != untamp::FileOutput::Refusal::kNone)
      return complain(refusalText(refusal, target, 0));
  }

  untamp::FdSource source(input.fd());
  untamp::NullSink nothing;
  untamp::FdSink console(1);
  untamp::HoldingSink held(console, kHeldOnConsole);
  std::unique_ptr<untamp::FileOutput> file;
  untamp::Sink* sink = &nothing;
  if (options.toConsole) {
    sink = &held;
  } else if (!options.checkOnly) {
    file = std::make_unique<untamp::FileOutput>(target, path, options.force, st.st_dev, st.st_ino);
    sink = file.get();
  }

  const untamp::Outcome outcome = untamp::decode(source, *sink);
  std::string where = options.toConsole ? "standard output" : file ? "" : "checked";
  if (outcome.problem == untamp::Problem::kWriteFailed) {
    if (file) {
      file->discard();
      return complain(refusalText(file->refusal(), file->target(), outcome.error));
    }
    return complain(std::string("cannot write standard output: ") + std::strerror(outcome.error));
  }
  if (!outcome.ok()) return complain(untamp::describe(outcome));
  if (file) {
    if (const int error = file->commit(); error != 0)
      return complain(refusalText(file->refusal(), file->target(), error));
    where = file->target();
  } else if (options.toConsole) {
    if (const int error = held.finish(); error != 0)
      return complain(std::string("cannot write standard output: ") + std::strerror(error));
  }

  if (options.verbose) {
    const uint64_t compressed = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size)
                                                    : outcome.consumed + drain(input.fd());
    std::fprintf(stderr, "%s: %llu -> %llu bytes (%s)\n", name.c_str(),
                 static_cast<unsigned long long>(compressed),
                 static_cast<unsigned long long>(outcome.decoded), where.c_str());
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int status = parse(argc, argv, options); status != 0) return status < 0 ? 0 : status;
  untamp::installSignalHandling();
  bool allDecoded = true;
  for (const std::string& path : options.files) allDecoded = decodeOne(options, path) && allDecoded;
  return allDecoded ? 0 : 1;
}
