// texsift <model file>: writes every texture of a BMD model as a DDS file
// beside it.
#include "texsift.h"

int main(int argc, char** argv) {
  // Only the first argument is used; without one there is nothing to do.
  if (argc < 2) return 1;
  return extractTextures(argv[1]);
}
