// sheaf: lists, checks, extracts and creates the archives inside game
// files (SARC, RARC, U8 and NARC, plain or wrapped in Yaz0 or LZ77) and DS
// ROMs.
// Silent on success; 0 when all went well, 1 when anything failed, 2 on a
// usage error.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "archive.h"
#include "create.h"
#include "extract.h"
#include "formats.h"
#include "messages.h"
#include "output.h"

namespace {

const char kUsage[] =
    "usage: sheaf -l ARCHIVE                        list the files: size, tab, path\n"
    "       sheaf -t ARCHIVE                        check the whole structure\n"
    "       sheaf [-f] [-v] ARCHIVE DIR [PATH...]   extract below DIR (only PATHs, when given)\n"
    "       sheaf -c [-F FORMAT | --like ORIGINAL] [-f] [-v] DIR ARCHIVE\n"
    "                                               create ARCHIVE from the tree below DIR\n"
    "       sheaf --help | --version\n"
    "  -F FORMAT        sarc (little-endian), sarc-be, rarc, u8, narc or nds (a DS ROM);\n"
    "                   without it the format comes from ARCHIVE's suffix:\n"
    "                   .sarc .u8 .arc .rarc .narc .carc .nds .srl\n"
    "  --like ORIGINAL  lay ARCHIVE out as ORIGINAL is (format, order, padding, wrapper...)\n"
    "  -f               replace existing files\n"
    "  -v               name each file extracted or packed on standard error\n"
    "  ARCHIVE ending in .szs is wrapped in Yaz0, in .carc in LZ77.\n";

int UsageError(const std::string& what) {
  fprintf(stderr, "sheaf: %s\n%s", what.c_str(), kUsage);
  return 2;
}

int Read(char mode, bool force, bool verbose, const std::vector<std::string>& operands) {
  sheaf::Messages messages(operands[0]);
  sheaf::Archive archive;
  const bool read = archive.Open(operands[0], messages);
  if (mode == 'l') {
    if (read) {
      archive.tree().ForEachFileInPathOrder([&](uint32_t index, const std::string& path) {
        printf("%llu\t%s\n", static_cast<unsigned long long>(archive.tree().node(index).size),
               path.c_str());
      });
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
      messages.Problem(std::string("cannot write the listing: ") + strerror(errno));
    }
  } else if (mode == 't' && read) {
    archive.Verify(messages);
  } else if (mode == 'x' && read) {
    sheaf::ExtractOptions options;
    options.force = force;
    options.verbose = verbose ? stderr : nullptr;
    options.paths.assign(operands.begin() + 2, operands.end());
    sheaf::Extract(archive, operands[1], options, messages);
  }
  return messages.problems() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  char mode = 'x';
  bool force = false, verbose = false;
  std::string format, like;
  bool have_format = false, have_like = false;
  int i = 1;
  auto set_mode = [&](char m) {
    if (mode != 'x' && mode != m) return false;
    mode = m;
    return true;
  };
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
      printf("sheaf %s\n", SHEAF_VERSION);
      return 0;
    }
    if (arg == "--like" || arg.rfind("--like=", 0) == 0) {
      if (arg == "--like") {
        if (i + 1 >= argc) return UsageError("--like needs an ORIGINAL");
        like = argv[++i];
      } else {
        like = arg.substr(7);
      }
      if (like.empty()) return UsageError("--like needs an ORIGINAL");
      have_like = true;
      continue;
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
        case 'c':
          if (!set_mode(arg[k])) return UsageError("-l, -t and -c exclude each other");
          break;
        case 'F':
          if (k + 1 < arg.size()) {
            format = arg.substr(k + 1);
          } else if (i + 1 < argc) {
            format = argv[++i];
          } else {
            return UsageError("-F needs a FORMAT: " + sheaf::FormatChoices());
          }
          have_format = true;
          k = arg.size();
          break;
        default:
          return UsageError(std::string("unknown option -") + arg[k]);
      }
    }
  }
  const std::vector<std::string> operands(argv + i, argv + argc);
  if ((have_format || have_like) && mode != 'c') return UsageError("-F and --like go with -c only");
  if (have_format && have_like) return UsageError("-F and --like exclude each other");
  if (mode == 'l' || mode == 't') {
    if (force || verbose) return UsageError("-f and -v go with extraction and -c only");
    if (operands.size() != 1) return UsageError(std::string("-") + mode + " takes one ARCHIVE");
  } else if (mode == 'c') {
    if (operands.size() != 2) return UsageError("-c takes DIR and ARCHIVE");
  } else if (operands.size() < 2) {
    return UsageError(operands.empty() ? "no ARCHIVE given" : "no DIR given");
  }

  sheaf::CreateRequest request;
  if (mode == 'c') {
    request.dir = operands[0];
    request.archive = operands[1];
    request.like = like;
    request.force = force;
    request.verbose = verbose ? stderr : nullptr;
    request.wrapper = sheaf::WrapperFromName(request.archive);
    if (have_format) {
      bool known = false;
      for (const sheaf::FormatUnit& unit : sheaf::FormatUnits()) {
        for (const sheaf::FormatUnit::Choice& choice : unit.choices) {
          if (format == choice.name) {
            request.format = unit.format;
            request.big_endian = choice.big_endian;
            known = true;
          }
        }
      }
      if (!known) {
        return UsageError("unknown format \"" + format + "\": give " + sheaf::FormatChoices());
      }
    } else if (!have_like &&
               !sheaf::FormatFromName(request.archive, &request.format, &request.big_endian)) {
      return UsageError("the name " + request.archive + " does not tell the format: give -F " +
                        sheaf::FormatChoices() + ", or --like ORIGINAL");
    }
  }

  safefs::HandleInterrupts({SIGINT, SIGTERM, SIGHUP, SIGQUIT}, "sheaf: interrupted\n", true);
  try {
    return mode == 'c' ? sheaf::Create(request) : Read(mode, force, verbose, operands);
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "sheaf: out of memory\n");
    return 1;
  }
}
