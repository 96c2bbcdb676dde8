// tamp <file>: writes <file>.yaz0, the Yaz0-compressed form of <file>.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tamp.h"

int main(int argc, char** argv) {
  // The console only reports; a console that goes away (a pipe closed by
  // its reader) must not kill the program halfway through the file.
  std::signal(SIGPIPE, SIG_IGN);
  if (argc < 2) return 1;
  const char* path = argv[1];
  std::FILE* in = std::fopen(path, "rb");
  if (in == nullptr) return 1;

  // The size must be known in advance and fit the format's 32-bit field:
  // only plain files and block devices have one.
  auto refuse = [&](const char* what, const char* why) {
    std::fprintf(stderr, "tamp: %s %s: %s\n", what, path, why);
    std::fclose(in);
    return 1;
  };
  struct stat st;
  if (fstat(fileno(in), &st) != 0) return refuse("cannot take the size of", std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return refuse("cannot read", std::strerror(EISDIR));
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
    return refuse("cannot take the size of", "not a plain file");
  off_t size = -1;
  if (fseeko(in, 0, SEEK_END) == 0) size = ftello(in);
  if (size < 0 || fseeko(in, 0, SEEK_SET) != 0)
    return refuse("cannot take the size of", std::strerror(errno));
  if (size > INT_MAX)
    return refuse("cannot compress", "files of 2 GiB or more do not fit the format");
  int length = static_cast<int>(size);
  std::printf("input file size: %d\n", length);
  std::fflush(stdout);

  std::unique_ptr<unsigned char, decltype(&std::free)> data(
      static_cast<unsigned char*>(std::malloc(length > 0 ? static_cast<size_t>(length) : 1)),
      &std::free);
  if (!data) return refuse("cannot read", "not enough memory");
  errno = 0;
  size_t got = std::fread(data.get(), 1, static_cast<size_t>(length), in);
  if (got != static_cast<size_t>(length)) {
    return refuse("cannot read", std::ferror(in) && errno != 0
                                     ? std::strerror(errno)
                                     : "the file is shorter than its size");
  }
  std::fclose(in);
  return tamp::encodeAll(data.get(), length, path);
}
