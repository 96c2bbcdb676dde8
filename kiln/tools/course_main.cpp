// kiln-course game|demo FILE: writes an example course as OBJ (for kiln's
// benchmark and demo).
#include <cstdio>
#include <cstring>

#include "course.h"

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "game") != 0 && std::strcmp(argv[1], "demo") != 0)) {
    std::fprintf(stderr, "usage: kiln-course game|demo FILE\n");
    return 2;
  }
  const bool game = std::strcmp(argv[1], "game") == 0;
  const course::Course c = game ? course::gameCourse() : course::demoCourse();
  const std::string text = course::toObj(c, game ? "A game-scale example course made by kiln-course"
                                                 : "A small example course made by kiln-course");
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr || std::fwrite(text.data(), 1, text.size(), out) != text.size() ||
      std::fclose(out) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  std::printf("%s: %zu triangles, %zu materials\n", argv[2], c.faces.size(), c.materials.size());
  return 0;
}
