// cairn <romfs dir> <romfs bin>: packs a host directory into a level-3 RomFS
// image under an IVFC SHA-256 hash tree. Silent on success.

#include <cstdio>
#include <new>

#include "image_writer.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    printf("CTR CAIRN\n");
    printf("usage: %s <romfs dir> <romfs bin>\n", argc > 0 ? argv[0] : "cairn");
    return 1;
  }
  try {
    return CreateImageFile(argv[1], argv[2]);
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "[ERROR] Out of memory\n");
    return 1;
  }
}
