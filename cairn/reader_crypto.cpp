#include "reader_crypto.h"

#include <limits>
#include <new>

namespace uncairn {

namespace {

// libcrypto's calls fail only when it cannot allocate.
void Require(bool ok) {
  if (!ok) throw std::bad_alloc();
}

}  // namespace

Sha256::Sha256() : md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)), ctx_(EVP_MD_CTX_new()) {
  if (md_ == nullptr || ctx_ == nullptr) {
    EVP_MD_CTX_free(ctx_);
    EVP_MD_free(md_);
    throw std::bad_alloc();
  }
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(ctx_);
  EVP_MD_free(md_);
}

void Sha256::Begin() { Require(EVP_DigestInit_ex2(ctx_, md_, nullptr) == 1); }

void Sha256::Add(const uint8_t* data, size_t size) {
  Require(EVP_DigestUpdate(ctx_, data, size) == 1);
}

void Sha256::Finish(uint8_t out[kSize]) {
  unsigned int length = 0;
  Require(EVP_DigestFinal_ex(ctx_, out, &length) == 1 && length == kSize);
}

void Sha256::Digest(const uint8_t* data, size_t size, uint8_t out[kSize]) {
  Begin();
  Add(data, size);
  Finish(out);
}

ZeroKeyCtr::ZeroKeyCtr()
    : cipher_(EVP_CIPHER_fetch(nullptr, "AES-128-CTR", nullptr)), ctx_(EVP_CIPHER_CTX_new()) {
  static const uint8_t kZeroKey[16] = {};
  if (cipher_ == nullptr || ctx_ == nullptr ||
      EVP_EncryptInit_ex2(ctx_, cipher_, kZeroKey, nullptr, nullptr) != 1) {
    EVP_CIPHER_CTX_free(ctx_);
    EVP_CIPHER_free(cipher_);
    throw std::bad_alloc();
  }
}

ZeroKeyCtr::~ZeroKeyCtr() {
  EVP_CIPHER_CTX_free(ctx_);
  EVP_CIPHER_free(cipher_);
}

void ZeroKeyCtr::Apply(const uint8_t counter[16], uint64_t position, uint8_t* data, size_t size) {
  // The counter of the block holding position: counter + position / 16.
  uint8_t iv[16];
  uint64_t add = position / 16;
  unsigned carry = 0;
  for (int i = 15; i >= 0; --i) {
    const unsigned sum = counter[i] + static_cast<unsigned>(add & 0xFF) + carry;
    iv[i] = static_cast<uint8_t>(sum);
    carry = sum >> 8;
    add >>= 8;
  }
  Require(EVP_EncryptInit_ex2(ctx_, nullptr, nullptr, iv, nullptr) == 1);
  int n = 0;
  // The bytes of that block before position are keystream thrown away.
  const int skip = static_cast<int>(position % 16);
  if (skip > 0) {
    uint8_t scratch[16] = {};
    Require(EVP_EncryptUpdate(ctx_, scratch, &n, scratch, skip) == 1);
  }
  constexpr size_t kMaxPiece = std::numeric_limits<int>::max() & ~size_t(15);
  while (size > 0) {
    const size_t piece = size < kMaxPiece ? size : kMaxPiece;
    Require(EVP_EncryptUpdate(ctx_, data, &n, data, static_cast<int>(piece)) == 1);
    data += piece;
    size -= piece;
  }
}

}  // namespace uncairn
