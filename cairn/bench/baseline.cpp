// cairn_bench_baseline DIR IMAGE_FILE_SIZE OUT: the least work any builder of
// an image of that size must do. It reads every file of the tree once, runs
// mbed TLS SHA-256 over as many 4096-byte blocks as the image's hash tree
// covers (the image and both hash levels), and writes a file of the image
// file's size.

#include <dirent.h>
#include <fcntl.h>
#include <mbedtls/md.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kBlock = 4096;

std::vector<uint8_t> g_buffer;
uint64_t g_blocks_hashed = 0;
uint8_t g_digest[32];

void HashBlocks(const uint8_t* data, uint64_t size) {
  const mbedtls_md_info_t* sha256 = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
  for (uint64_t i = 0; i + kBlock <= size; i += kBlock) {
    mbedtls_md(sha256, data + i, kBlock, g_digest);
    ++g_blocks_hashed;
  }
}

bool ReadTree(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return false;
  std::vector<std::string> names;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  }
  closedir(d);
  for (const std::string& name : names) {
    const std::string path = dir + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (!ReadTree(path)) return false;
      continue;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (g_buffer.size() < size + kBlock) g_buffer.resize(size + kBlock);
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    uint64_t done = 0;
    while (done < size) {
      const ssize_t n = read(fd, g_buffer.data() + done, size - done);
      if (n <= 0) break;
      done += static_cast<uint64_t>(n);
    }
    close(fd);
    HashBlocks(g_buffer.data(), (done + kBlock - 1) / kBlock * kBlock);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s DIR IMAGE_FILE_SIZE OUT\n", argv[0]);
    return 1;
  }
  const uint64_t out_size = strtoull(argv[2], nullptr, 10);
  if (!ReadTree(argv[1])) {
    fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  // Every block of the output but the header block is covered by the tree.
  const uint64_t covered = out_size / kBlock - 1;
  std::vector<uint8_t> zeros(1 << 20, 0);
  while (g_blocks_hashed < covered) {
    const uint64_t n = std::min<uint64_t>(covered - g_blocks_hashed, zeros.size() / kBlock);
    HashBlocks(zeros.data(), n * kBlock);
  }
  const int fd = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return 1;
  for (uint64_t done = 0; done < out_size;) {
    const uint64_t n = std::min<uint64_t>(out_size - done, zeros.size());
    if (write(fd, zeros.data(), n) != static_cast<ssize_t>(n)) return 1;
    done += n;
  }
  return close(fd) == 0 ? 0 : 1;
}
