// cairn_bench_uncairn_baseline FILE: the least work any verifier of an image
// must do. It reads the file once, in order, in pieces of 1 MiB, and hashes
// each piece with OpenSSL's SHA-256 (the library uncairn uses). Extraction's
// baseline adds the time of `cp -r` of the tree to this one's.

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 1;
  }
  const int in = open(argv[1], O_RDONLY);
  if (in < 0) return 1;
  std::vector<uint8_t> buffer(1 << 20);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  for (;;) {
    ssize_t n = 0, got = 0;
    while (got < static_cast<ssize_t>(buffer.size()) &&
           (n = read(in, buffer.data() + got, buffer.size() - got)) > 0) {
      got += n;
    }
    if (n < 0) return 1;
    if (got == 0) break;
    if (EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx, buffer.data(), static_cast<size_t>(got)) != 1 ||
        EVP_DigestFinal_ex(ctx, digest, &length) != 1) {
      return 1;
    }
    if (n == 0) break;
  }
  EVP_MD_CTX_free(ctx);
  close(in);
  return 0;
}
