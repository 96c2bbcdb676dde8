// texsift <model file>: writes every texture of a BMD model as a DDS file
// beside it.
#include <sys/stat.h>

#include "texsift.h"

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  FILE* model = std::fopen(argv[1], "rb");
  if (!model) return 1;
  // A folder opens, but cannot be read.
  struct stat info;
  if (fstat(fileno(model), &info) != 0 || S_ISDIR(info.st_mode)) {
    std::fclose(model);
    return 1;
  }
  g_name = argv[1];
  const int status = readBmd(model);
  std::fclose(model);
  return status;
}
