// The reading side's cryptography, over OpenSSL's libcrypto (which uses the
// processor's SHA and AES instructions where there are any): SHA-256, and
// AES-128-CTR under the all-zero key that fixed-key NCCHs use. No other key
// is known to the kit, derived by it or read from anywhere.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

namespace uncairn {

class Sha256 {
 public:
  static constexpr size_t kSize = 32;

  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Digest(const uint8_t* data, size_t size, uint8_t out[kSize]);
  // The same in pieces: Begin, Add as often as needed, Finish.
  void Begin();
  void Add(const uint8_t* data, size_t size);
  void Finish(uint8_t out[kSize]);

 private:
  EVP_MD* md_;
  EVP_MD_CTX* ctx_;
};

// AES-128-CTR with the all-zero key. The keystream of a region starts at
// its initial counter, a big-endian 128-bit number that counts up by one per
// 16 bytes.
class ZeroKeyCtr {
 public:
  ZeroKeyCtr();
  ~ZeroKeyCtr();
  ZeroKeyCtr(const ZeroKeyCtr&) = delete;
  ZeroKeyCtr& operator=(const ZeroKeyCtr&) = delete;

  // Decrypts (or encrypts: the same) size bytes in place that lie at byte
  // position of the keystream that starts at counter.
  void Apply(const uint8_t counter[16], uint64_t position, uint8_t* data, size_t size);

 private:
  EVP_CIPHER* cipher_;
  EVP_CIPHER_CTX* ctx_;
};

}  // namespace uncairn
