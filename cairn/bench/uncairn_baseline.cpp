// cairn_bench_uncairn_baseline IMAGE [LISTING OUT]: the least work any
// verifier of an image must do. It reads the image file once, in order, and
// runs mbed TLS SHA-256 (through the subsystem's Crypto facade) over every
// 4096-byte block after the header block: the level-3 image and both hash
// levels. With LISTING ("size<TAB>path" lines, as uncairn -l prints them)
// and OUT, it also writes that many bytes of what it read into each of
// those files below OUT, as an extraction must write them.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "crypto.h"

namespace {

struct Target {
  uint64_t size;
  std::string path;
};

bool MakeParents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (mkdir(path.substr(0, slash).c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    fprintf(stderr, "usage: %s IMAGE [LISTING OUT]\n", argv[0]);
    return 1;
  }
  std::vector<Target> targets;
  if (argc == 4) {
    std::ifstream listing(argv[2]);
    std::string line;
    while (std::getline(listing, line)) {
      const size_t tab = line.find('\t');
      targets.push_back(
          {std::stoull(line.substr(0, tab)), std::string(argv[3]) + "/" + line.substr(tab + 1)});
    }
  }
  const int in = open(argv[1], O_RDONLY);
  if (in < 0) return 1;
  std::vector<uint8_t> buffer(2 << 20);
  uint8_t digest[32];
  uint64_t position = 0;
  size_t target = 0;
  uint64_t target_done = 0;
  int out = -1;
  for (;;) {
    const ssize_t n = read(in, buffer.data(), buffer.size());
    if (n < 0) return 1;
    if (n == 0) break;
    size_t start = 0;
    if (position < 4096) start = static_cast<size_t>(std::min<uint64_t>(4096 - position, n));
    for (size_t i = start; i + 4096 <= static_cast<size_t>(n); i += 4096) {
      Crypto::Sha256(buffer.data() + i, 4096, digest);
    }
    // Hand the bytes read to the files in turn.
    for (size_t i = start; i < static_cast<size_t>(n) && target < targets.size();) {
      if (out < 0) {
        if (!MakeParents(targets[target].path)) return 1;
        out = open(targets[target].path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (out < 0) return 1;
      }
      const size_t take = static_cast<size_t>(
          std::min<uint64_t>(targets[target].size - target_done, static_cast<size_t>(n) - i));
      if (take > 0 && write(out, buffer.data() + i, take) != static_cast<ssize_t>(take)) return 1;
      i += take;
      target_done += take;
      if (target_done == targets[target].size) {
        if (close(out) != 0) return 1;
        out = -1;
        ++target;
        target_done = 0;
      }
    }
    position += static_cast<uint64_t>(n);
  }
  close(in);
  return target == targets.size() ? 0 : 1;
}
