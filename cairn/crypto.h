// One-call wrappers over mbed TLS: digests, AES-128 and RSA PKCS #1 v1.5
// signatures with fixed-size keys. No state is kept between calls.
#pragma once

#include <cstdint>

namespace Crypto {

// Any other value stands for "no digest".
enum HashType : int {
  HASH_SHA1 = 0,
  HASH_SHA256 = 1,
};

// RSA keys: big-endian modulus followed by the big-endian private exponent.
struct sRsa1024Key {
  uint8_t modulus[0x80];
  uint8_t priv_exponent[0x80];
};
struct sRsa2048Key {
  uint8_t modulus[0x100];
  uint8_t priv_exponent[0x100];
};
struct sRsa4096Key {
  uint8_t modulus[0x200];
  uint8_t priv_exponent[0x200];
};

// The public exponent every key is verified with: 65537, big-endian.
inline constexpr uint8_t public_exponent[3] = {0x01, 0x00, 0x01};

// Elliptic-curve operations are not supported; nothing reads these.
struct sEccPrivateKey {
  uint8_t k[0x1E];
};
struct sEccPoint {
  uint8_t r[0x1E];
  uint8_t s[0x1E];
};

void Sha1(const uint8_t* data, uint32_t length, uint8_t output[20]);
void Sha256(const uint8_t* data, uint32_t length, uint8_t output[32]);

// AES-128 in counter mode from keystream offset 0; ctr is advanced, so a
// following call with the same ctr continues the keystream.
void AesCtr(const uint8_t* input, uint32_t length, const uint8_t key[16], uint8_t ctr[16],
            uint8_t* output);
// AES-128 CBC. length must be a multiple of 16, otherwise nothing is written.
// iv is updated to the last ciphertext block.
void AesCbcDecrypt(const uint8_t* input, uint32_t length, const uint8_t key[16], uint8_t iv[16],
                   uint8_t* output);
void AesCbcEncrypt(const uint8_t* input, uint32_t length, const uint8_t key[16], uint8_t iv[16],
                   uint8_t* output);

// PKCS #1 v1.5 signatures. 0 on success, otherwise the library's error code.
int RsaSign(const sRsa1024Key& key, HashType type, const uint8_t* hash, uint8_t* signature);
int RsaSign(const sRsa2048Key& key, HashType type, const uint8_t* hash, uint8_t* signature);
int RsaSign(const sRsa4096Key& key, HashType type, const uint8_t* hash, uint8_t* signature);
int RsaVerify(const sRsa1024Key& key, HashType type, const uint8_t* hash, const uint8_t* signature);
int RsaVerify(const sRsa2048Key& key, HashType type, const uint8_t* hash, const uint8_t* signature);
int RsaVerify(const sRsa4096Key& key, HashType type, const uint8_t* hash, const uint8_t* signature);

// Not supported: always 1.
int EcdsaSign(const sEccPrivateKey& key, HashType type, const uint8_t* hash, sEccPoint& signature);
int EcdsaVerify(const sEccPoint& public_key, HashType type, const uint8_t* hash,
                const sEccPoint& signature);

// The library's digest identifier for a HashType (0 for none) and the digest
// length used (0 for none).
int GetWrappedHashType(HashType type);
uint32_t GetWrappedHashSize(HashType type);

}  // namespace Crypto
