// uncairn: lists, verifies and extracts RomFS images (the IVFC hash tree and
// level-3 RomFS that cairn writes), bare or inside a 3DS container (a card
// image, an NCCH, a CIA), and describes the container. Silent on success; 0
// when all is well, 1 on any problem, 2 on a usage error.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "container.h"
#include "extractor.h"
#include "ivfc_reader.h"
#include "romfs_tree.h"
#include "safefs/interrupts.h"

namespace {

const char kUsage[] =
    "usage: uncairn [-f] [-v] [--partition N | --content N] IMAGE DIR [PATH...]\n"
    "                          extract (only PATHs, when given) below DIR\n"
    "       uncairn [--partition N | --content N] -l IMAGE   list the files: size, tab, path\n"
    "       uncairn [--partition N | --content N] -t IMAGE   verify every digest and the "
    "structure\n"
    "       uncairn [--partition N | --content N] -i IMAGE   describe the container\n"
    "       uncairn --help | --version\n"
    "  IMAGE: a RomFS image, a card image (.3ds, .cci), an NCCH (.cxi, .cfa) or a CIA\n"
    "  -f              replace existing files\n"
    "  -v              print the path of each file extracted\n"
    "  --partition N   read the RomFS of a card image's partition N (0-7; 0 by default)\n"
    "  --content N     read the RomFS of a CIA's content N (0-65535, the TMD index; by\n"
    "                  default content 0, or the first that is an NCCH)\n";

int UsageError(const std::string& what) {
  fprintf(stderr, "uncairn: %s\n%s", what.c_str(), kUsage);
  return 2;
}

int problems = 0;

void Report(const std::string& text) {
  ++problems;
  fprintf(stderr, "uncairn: %s\n", text.c_str());
}

struct Options {
  char mode = 'x';  // 'l', 't', 'i' or extraction
  bool force = false, verbose = false;
  uncairn::Choice choice;
};

int Describe(uncairn::Container& container) {
  std::vector<std::string> lines;
  const bool good = container.Describe(lines);
  for (const std::string& line : lines) printf("%s\n", line.c_str());
  if (fflush(stdout) != 0 || ferror(stdout)) {
    Report(std::string("cannot write the description: ") + strerror(errno));
  }
  return good && problems == 0 ? 0 : 1;
}

int Run(const Options& options, const std::vector<std::string>& operands) {
  const std::string& image_path = operands[0];
  const int fd = open(image_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Report(image_path + ": cannot open: " + strerror(errno));
    return 1;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  uncairn::InputFile file;
  if (!file.Open(fd, image_path, Report)) return 1;
  const std::unique_ptr<uncairn::Container> container =
      uncairn::OpenContainer(file, options.choice);
  if (!container) return 1;
  if (options.mode == 'i') return Describe(*container);

  uncairn::Region romfs;
  if (!container->Romfs(romfs)) return 1;
  // What the container promises: all of it for -t, the RomFS's superblock
  // before an extraction. Failures are reported; the reading goes on.
  if (options.mode != 'l') container->Check(options.mode == 't');
  uncairn::IvfcReader image;
  if (!image.Open(romfs, image_path, Report)) return 1;
  uncairn::RomfsTree tree;
  const bool tree_read = tree.Load(image, Report);
  image.set_holdings([&tree](uint64_t begin, uint64_t end) { return tree.Holdings(begin, end); });

  if (options.mode == 'l') {
    tree.ForEachFileInPathOrder([&](uint32_t index, const std::string& path) {
      printf("%llu\t%s\n", static_cast<unsigned long long>(tree.files()[index].size), path.c_str());
    });
    if (fflush(stdout) != 0 || ferror(stdout)) {
      Report(std::string("cannot write the listing: ") + strerror(errno));
    }
  } else if (options.mode == 't') {
    uncairn::Level3Stream stream(image);
    stream.CheckRest();
  } else if (tree_read) {
    uncairn::ExtractOptions extract;
    extract.force = options.force;
    extract.verbose = options.verbose ? stdout : nullptr;
    extract.paths.assign(operands.begin() + 2, operands.end());
    uncairn::Extract(image, tree, operands[1], extract, Report);
    if (options.verbose && (fflush(stdout) != 0 || ferror(stdout))) {
      Report(std::string("cannot write the list of files: ") + strerror(errno));
    }
  }
  close(fd);
  return problems == 0 ? 0 : 1;
}

// A number of at most max from text, all digits; -1 when it is not one.
int Number(const char* text, int max) {
  if (text == nullptr || *text == '\0' || strlen(text) > 5) return -1;
  int value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return -1;
    value = value * 10 + (*p - '0');
  }
  return value <= max ? value : -1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
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
    if (arg[1] == '-') {
      // --partition N, --content N, or with "=" between.
      const size_t equals = arg.find('=');
      const std::string name = arg.substr(0, equals);
      if (name != "--partition" && name != "--content") return UsageError("unknown option " + name);
      const bool partition = name == "--partition";
      const char* value = equals != std::string::npos ? argv[i] + equals + 1
                          : i + 1 < argc              ? argv[++i]
                                                      : nullptr;
      const int n = Number(value, partition ? 7 : 65535);
      if (n < 0) {
        return UsageError(
            name + (partition ? " takes a number from 0 to 7" : " takes a number from 0 to 65535"));
      }
      (partition ? options.choice.partition : options.choice.content) = n;
      if (options.choice.partition >= 0 && options.choice.content >= 0) {
        return UsageError("--partition and --content exclude each other");
      }
      continue;
    }
    for (size_t k = 1; k < arg.size(); ++k) {
      switch (arg[k]) {
        case 'f':
          options.force = true;
          break;
        case 'v':
          options.verbose = true;
          break;
        case 'l':
        case 't':
        case 'i':
          if (options.mode != 'x' && options.mode != arg[k]) {
            return UsageError(std::string("-") + options.mode + " and -" + arg[k] +
                              " exclude each other");
          }
          options.mode = arg[k];
          break;
        default:
          return UsageError(std::string("unknown option -") + arg[k]);
      }
    }
  }
  const std::vector<std::string> operands(argv + i, argv + argc);
  if (options.mode != 'x') {
    if (options.force || options.verbose) return UsageError("-f and -v go with extraction only");
    if (operands.size() != 1)
      return UsageError(std::string("-") + options.mode + " takes one IMAGE");
  } else if (operands.size() < 2) {
    return UsageError(operands.empty() ? "no IMAGE given" : "no DIR given");
  }
  safefs::HandleInterrupts({SIGINT, SIGTERM, SIGHUP}, "uncairn: interrupted\n");
  try {
    return Run(options, operands);
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "uncairn: out of memory\n");
    return 1;
  }
}
