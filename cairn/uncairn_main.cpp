// uncairn: lists, verifies and extracts RomFS images (the IVFC hash tree and
// level-3 RomFS that cairn writes). Silent on success; 0 when all is well, 1
// on any problem, 2 on a usage error.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "extractor.h"
#include "ivfc_reader.h"
#include "romfs_tree.h"
#include "safefs/interrupts.h"

namespace {

const char kUsage[] =
    "usage: uncairn [-f] [-v] IMAGE DIR [PATH...]   extract (only PATHs, when given) below DIR\n"
    "       uncairn -l IMAGE                        list the files: size, tab, path\n"
    "       uncairn -t IMAGE                        verify every digest and the structure\n"
    "       uncairn --help | --version\n"
    "  -f  replace existing files\n"
    "  -v  print the path of each file extracted\n";

int UsageError(const std::string& what) {
  fprintf(stderr, "uncairn: %s\n%s", what.c_str(), kUsage);
  return 2;
}

int problems = 0;

void Report(const std::string& text) {
  ++problems;
  fprintf(stderr, "uncairn: %s\n", text.c_str());
}

int Run(char mode, bool force, bool verbose, const std::vector<std::string>& operands) {
  const std::string& image_path = operands[0];
  const int fd = open(image_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Report(image_path + ": cannot open: " + strerror(errno));
    return 1;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  uncairn::IvfcReader image;
  if (!image.Open(fd, image_path, Report)) return 1;
  uncairn::RomfsTree tree;
  const bool tree_read = tree.Load(image, Report);
  image.set_holdings([&tree](uint64_t begin, uint64_t end) { return tree.Holdings(begin, end); });

  if (mode == 'l') {
    tree.ForEachFileInPathOrder([&](uint32_t index, const std::string& path) {
      printf("%llu\t%s\n", static_cast<unsigned long long>(tree.files()[index].size), path.c_str());
    });
    if (fflush(stdout) != 0 || ferror(stdout)) {
      Report(std::string("cannot write the listing: ") + strerror(errno));
    }
  } else if (mode == 't') {
    uncairn::Level3Stream stream(image);
    stream.CheckRest();
  } else if (tree_read) {
    uncairn::ExtractOptions options;
    options.force = force;
    options.verbose = verbose ? stdout : nullptr;
    options.paths.assign(operands.begin() + 2, operands.end());
    uncairn::Extract(image, tree, operands[1], options, Report);
    if (verbose && (fflush(stdout) != 0 || ferror(stdout))) {
      Report(std::string("cannot write the list of files: ") + strerror(errno));
    }
  }
  close(fd);
  return problems == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  char mode = 'x';
  bool force = false, verbose = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--help") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      printf("uncairn %s\n", UNCAIRN_VERSION);
      return 0;
    }
    if (arg[1] == '-') return UsageError("unknown option " + arg);
    for (size_t k = 1; k < arg.size(); ++k) {
      switch (arg[k]) {
        case 'f':
          force = true;
          break;
        case 'v':
          verbose = true;
          break;
        case 'l':
        case 't':
          if (mode != 'x' && mode != arg[k]) return UsageError("-l and -t exclude each other");
          mode = arg[k];
          break;
        default:
          return UsageError(std::string("unknown option -") + arg[k]);
      }
    }
  }
  const std::vector<std::string> operands(argv + i, argv + argc);
  if (mode != 'x') {
    if (force || verbose) return UsageError("-f and -v go with extraction only");
    if (operands.size() != 1) return UsageError(std::string("-") + mode + " takes one IMAGE");
  } else if (operands.size() < 2) {
    return UsageError(operands.empty() ? "no IMAGE given" : "no DIR given");
  }
  safefs::HandleInterrupts({SIGINT, SIGTERM, SIGHUP}, "uncairn: interrupted\n");
  try {
    return Run(mode, force, verbose, operands);
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "uncairn: out of memory\n");
    return 1;
  }
}
