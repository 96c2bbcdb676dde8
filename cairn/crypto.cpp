#include "crypto.h"

#include <mbedtls/aes.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/md.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha1.h>
#include <mbedtls/sha256.h>
#include <mbedtls/version.h>

#include <cstring>

// mbed TLS 3 renamed the one-shot digests, moved the padding out of
// mbedtls_rsa_init and dropped the private/public mode argument of the
// PKCS #1 calls; the kit builds against 2.28 (Debian 12) and 3.6 (Debian 13).
#if MBEDTLS_VERSION_MAJOR >= 3
#define KIT_MBEDTLS_3 1
#endif

namespace Crypto {

void Sha1(const uint8_t* data, uint32_t length, uint8_t output[20]) {
#ifdef KIT_MBEDTLS_3
  mbedtls_sha1(data, length, output);
#else
  mbedtls_sha1_ret(data, length, output);
#endif
}

void Sha256(const uint8_t* data, uint32_t length, uint8_t output[32]) {
  const int sha224 = 0;  // selects SHA-256
#ifdef KIT_MBEDTLS_3
  mbedtls_sha256(data, length, output, sha224);
#else
  mbedtls_sha256_ret(data, length, output, sha224);
#endif
}

void AesCtr(const uint8_t* input, uint32_t length, const uint8_t key[16], uint8_t ctr[16],
            uint8_t* output) {
  mbedtls_aes_context aes;
  size_t offset = 0;
  uint8_t stream_block[16] = {};
  mbedtls_aes_init(&aes);
  mbedtls_aes_setkey_enc(&aes, key, 128);
  mbedtls_aes_crypt_ctr(&aes, length, &offset, ctr, stream_block, input, output);
  mbedtls_aes_free(&aes);
}

namespace {

// AES-128 CBC in either direction, with the key schedule that direction needs.
void AesCbc(int mode, const uint8_t* input, uint32_t length, const uint8_t key[16], uint8_t iv[16],
            uint8_t* output) {
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  if (mode == MBEDTLS_AES_DECRYPT)
    mbedtls_aes_setkey_dec(&aes, key, 128);
  else
    mbedtls_aes_setkey_enc(&aes, key, 128);
  mbedtls_aes_crypt_cbc(&aes, mode, length, iv, input, output);
  mbedtls_aes_free(&aes);
}

}  // namespace

void AesCbcDecrypt(const uint8_t* input, uint32_t length, const uint8_t key[16], uint8_t iv[16],
                   uint8_t* output) {
  AesCbc(MBEDTLS_AES_DECRYPT, input, length, key, iv, output);
}

void AesCbcEncrypt(const uint8_t* input, uint32_t length, const uint8_t key[16], uint8_t iv[16],
                   uint8_t* output) {
  AesCbc(MBEDTLS_AES_ENCRYPT, input, length, key, iv, output);
}

int GetWrappedHashType(HashType type) {
  switch (type) {
    case HASH_SHA1:
      return MBEDTLS_MD_SHA1;
    case HASH_SHA256:
      return MBEDTLS_MD_SHA256;
  }
  return MBEDTLS_MD_NONE;
}

uint32_t GetWrappedHashSize(HashType type) {
  switch (type) {
    case HASH_SHA1:
      return 20;
    case HASH_SHA256:
      return 32;
  }
  return 0;
}

namespace {

void InitPkcs1V15(mbedtls_rsa_context* rsa) {
#ifdef KIT_MBEDTLS_3
  mbedtls_rsa_init(rsa);
  mbedtls_rsa_set_padding(rsa, MBEDTLS_RSA_PKCS_V15, MBEDTLS_MD_NONE);
#else
  mbedtls_rsa_init(rsa, MBEDTLS_RSA_PKCS_V15, 0);
#endif
}

// The key records carry only the modulus and the private exponent; the
// library derives the prime factors from them and the public exponent.
int RsaSignWithKey(const uint8_t* modulus, const uint8_t* priv_exponent, size_t key_len,
                   HashType type, const uint8_t* hash, uint8_t* signature) {
  mbedtls_rsa_context rsa;
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
  InitPkcs1V15(&rsa);
  mbedtls_entropy_init(&entropy);
  mbedtls_ctr_drbg_init(&drbg);

  // The random generator only blinds the private operation against timing
  // attacks; the signature itself is deterministic.
  int ret = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0);
  if (ret == 0) {
    ret = mbedtls_rsa_import_raw(&rsa, modulus, key_len, nullptr, 0, nullptr, 0, priv_exponent,
                                 key_len, public_exponent, sizeof(public_exponent));
  }
  if (ret == 0) ret = mbedtls_rsa_complete(&rsa);
  if (ret == 0 && mbedtls_rsa_get_len(&rsa) != key_len) ret = MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
  if (ret == 0) {
    const auto md = static_cast<mbedtls_md_type_t>(GetWrappedHashType(type));
#ifdef KIT_MBEDTLS_3
    ret = mbedtls_rsa_pkcs1_sign(&rsa, mbedtls_ctr_drbg_random, &drbg, md, GetWrappedHashSize(type),
                                 hash, signature);
#else
    ret = mbedtls_rsa_pkcs1_sign(&rsa, mbedtls_ctr_drbg_random, &drbg, MBEDTLS_RSA_PRIVATE, md,
                                 GetWrappedHashSize(type), hash, signature);
#endif
  }
  mbedtls_rsa_free(&rsa);
  mbedtls_ctr_drbg_free(&drbg);
  mbedtls_entropy_free(&entropy);
  return ret;
}

int RsaVerifyWithKey(const uint8_t* modulus, size_t key_len, HashType type, const uint8_t* hash,
                     const uint8_t* signature) {
  mbedtls_rsa_context rsa;
  InitPkcs1V15(&rsa);
  int ret = mbedtls_rsa_import_raw(&rsa, modulus, key_len, nullptr, 0, nullptr, 0, nullptr, 0,
                                   public_exponent, sizeof(public_exponent));
  if (ret == 0) ret = mbedtls_rsa_complete(&rsa);
  if (ret == 0 && mbedtls_rsa_get_len(&rsa) != key_len) ret = MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
  if (ret == 0) {
    const auto md = static_cast<mbedtls_md_type_t>(GetWrappedHashType(type));
#ifdef KIT_MBEDTLS_3
    ret = mbedtls_rsa_pkcs1_verify(&rsa, md, GetWrappedHashSize(type), hash, signature);
#else
    ret = mbedtls_rsa_pkcs1_verify(&rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC, md,
                                   GetWrappedHashSize(type), hash, signature);
#endif
  }
  mbedtls_rsa_free(&rsa);
  return ret;
}

}  // namespace

int RsaSign(const sRsa1024Key& key, HashType type, const uint8_t* hash, uint8_t* signature) {
  return RsaSignWithKey(key.modulus, key.priv_exponent, sizeof(key.modulus), type, hash, signature);
}
int RsaSign(const sRsa2048Key& key, HashType type, const uint8_t* hash, uint8_t* signature) {
  return RsaSignWithKey(key.modulus, key.priv_exponent, sizeof(key.modulus), type, hash, signature);
}
int RsaSign(const sRsa4096Key& key, HashType type, const uint8_t* hash, uint8_t* signature) {
  return RsaSignWithKey(key.modulus, key.priv_exponent, sizeof(key.modulus), type, hash, signature);
}

int RsaVerify(const sRsa1024Key& key, HashType type, const uint8_t* hash,
              const uint8_t* signature) {
  return RsaVerifyWithKey(key.modulus, sizeof(key.modulus), type, hash, signature);
}
int RsaVerify(const sRsa2048Key& key, HashType type, const uint8_t* hash,
              const uint8_t* signature) {
  return RsaVerifyWithKey(key.modulus, sizeof(key.modulus), type, hash, signature);
}
int RsaVerify(const sRsa4096Key& key, HashType type, const uint8_t* hash,
              const uint8_t* signature) {
  return RsaVerifyWithKey(key.modulus, sizeof(key.modulus), type, hash, signature);
}

int EcdsaSign(const sEccPrivateKey&, HashType, const uint8_t*, sEccPoint&) { return 1; }

int EcdsaVerify(const sEccPoint&, HashType, const uint8_t*, const sEccPoint&) { return 1; }

}  // namespace Crypto
