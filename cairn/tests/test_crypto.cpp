// The crypto facade against published test vectors (FIPS 180-2 digests,
// FIPS 197 and SP 800-38A AES), and RSA signatures with keys generated here
// from a fixed seed.

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/md.h>
#include <mbedtls/rsa.h>
#include <mbedtls/version.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crypto.h"

namespace {

std::vector<uint8_t> Hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> Sha1Of(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out(20);
  Crypto::Sha1(data.data(), static_cast<uint32_t>(data.size()), out.data());
  return out;
}

std::vector<uint8_t> Sha256Of(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out(32);
  Crypto::Sha256(data.data(), static_cast<uint32_t>(data.size()), out.data());
  return out;
}

const std::string kTwoBlockMessage = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

TEST(Crypto, Sha1Vectors) {
  EXPECT_EQ(Sha1Of({}), Hex("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
  EXPECT_EQ(Sha1Of(Bytes("abc")), Hex("a9993e364706816aba3e25717850c26c9cd0d89d"));
  EXPECT_EQ(Sha1Of(Bytes(kTwoBlockMessage)), Hex("84983e441c3bd26ebaae4aa1f95129e5e54670f1"));
  EXPECT_EQ(Sha1Of(std::vector<uint8_t>(1000000, 'a')),
            Hex("34aa973cd4c4daa4f61eeb2bdbad27316534016f"));
}

TEST(Crypto, Sha256Vectors) {
  EXPECT_EQ(Sha256Of({}), Hex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
  EXPECT_EQ(Sha256Of(Bytes("abc")),
            Hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(Sha256Of(Bytes(kTwoBlockMessage)),
            Hex("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"));
  EXPECT_EQ(Sha256Of(std::vector<uint8_t>(1000000, 'a')),
            Hex("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"));
}

// SP 800-38A, F.2.1 and F.5.1: AES-128 with the same key and plaintext.
const std::string kKey = "2b7e151628aed2a6abf7158809cf4f3c";
const std::string kPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";

TEST(Crypto, AesCbcVectors) {
  const std::vector<uint8_t> key = Hex(kKey), plain = Hex(kPlain);
  const std::vector<uint8_t> cipher =
      Hex("7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
          "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
  std::vector<uint8_t> iv = Hex("000102030405060708090a0b0c0d0e0f");
  std::vector<uint8_t> out(plain.size());
  Crypto::AesCbcEncrypt(plain.data(), 64, key.data(), iv.data(), out.data());
  EXPECT_EQ(out, cipher);
  EXPECT_EQ(iv, std::vector<uint8_t>(cipher.end() - 16, cipher.end()));  // the IV follows the chain

  iv = Hex("000102030405060708090a0b0c0d0e0f");
  Crypto::AesCbcDecrypt(cipher.data(), 32, key.data(), iv.data(), out.data());
  Crypto::AesCbcDecrypt(cipher.data() + 32, 32, key.data(), iv.data(), out.data() + 32);
  EXPECT_EQ(out, plain);

  // FIPS 197, C.1: one block with IV 0 is the plain cipher.
  const std::vector<uint8_t> key197 = Hex("000102030405060708090a0b0c0d0e0f");
  const std::vector<uint8_t> block = Hex("00112233445566778899aabbccddeeff");
  std::vector<uint8_t> zero_iv(16, 0), one(16);
  Crypto::AesCbcEncrypt(block.data(), 16, key197.data(), zero_iv.data(), one.data());
  EXPECT_EQ(one, Hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
}

TEST(Crypto, AesCbcRefusesPartialBlocks) {
  const std::vector<uint8_t> key = Hex(kKey), plain = Hex(kPlain);
  std::vector<uint8_t> iv(16, 7), out(64, 0x5A);
  Crypto::AesCbcEncrypt(plain.data(), 17, key.data(), iv.data(), out.data());
  EXPECT_EQ(out, std::vector<uint8_t>(64, 0x5A));
  Crypto::AesCbcDecrypt(plain.data(), 31, key.data(), iv.data(), out.data());
  EXPECT_EQ(out, std::vector<uint8_t>(64, 0x5A));
  EXPECT_EQ(iv, std::vector<uint8_t>(16, 7));
}

TEST(Crypto, AesCtrVectorsAndContinuation) {
  const std::vector<uint8_t> key = Hex(kKey), plain = Hex(kPlain);
  const std::vector<uint8_t> cipher =
      Hex("874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff"
          "5ae4df3edbd5d35e5b4f09020db03eab1e031dda2fbe03d1792170a0f3009cee");
  const std::vector<uint8_t> counter = Hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  std::vector<uint8_t> ctr = counter, out(64);
  Crypto::AesCtr(plain.data(), 64, key.data(), ctr.data(), out.data());
  EXPECT_EQ(out, cipher);

  // Two calls, the first a multiple of 16 bytes, continue the keystream.
  ctr = counter;
  std::vector<uint8_t> halves(64);
  Crypto::AesCtr(plain.data(), 32, key.data(), ctr.data(), halves.data());
  Crypto::AesCtr(plain.data() + 32, 32, key.data(), ctr.data(), halves.data() + 32);
  EXPECT_EQ(halves, cipher);

  // Counter mode is its own inverse, also for a length that is no multiple of 16.
  ctr = counter;
  std::vector<uint8_t> back(37);
  Crypto::AesCtr(cipher.data(), 37, key.data(), ctr.data(), back.data());
  EXPECT_EQ(back, std::vector<uint8_t>(plain.begin(), plain.begin() + 37));
}

TEST(Crypto, HashTypesMapToTheLibrarysIdentifiers) {
  EXPECT_EQ(Crypto::GetWrappedHashType(Crypto::HASH_SHA1), MBEDTLS_MD_SHA1);
  EXPECT_EQ(Crypto::GetWrappedHashType(Crypto::HASH_SHA256), MBEDTLS_MD_SHA256);
  EXPECT_EQ(Crypto::GetWrappedHashType(static_cast<Crypto::HashType>(2)), 0);
  EXPECT_EQ(Crypto::GetWrappedHashType(static_cast<Crypto::HashType>(-1)), 0);
  EXPECT_EQ(Crypto::GetWrappedHashSize(Crypto::HASH_SHA1), 20u);
  EXPECT_EQ(Crypto::GetWrappedHashSize(Crypto::HASH_SHA256), 32u);
  EXPECT_EQ(Crypto::GetWrappedHashSize(static_cast<Crypto::HashType>(7)), 0u);
  // The identifiers name the digests the facade computes.
  EXPECT_EQ(mbedtls_md_get_size(mbedtls_md_info_from_type(MBEDTLS_MD_SHA1)), 20);
  EXPECT_EQ(mbedtls_md_get_size(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256)), 32);
}

TEST(Crypto, EcdsaIsNotSupported) {
  Crypto::sEccPrivateKey key{};
  Crypto::sEccPoint point{}, signature{};
  const uint8_t hash[32] = {};
  EXPECT_EQ(Crypto::EcdsaSign(key, Crypto::HASH_SHA256, hash, signature), 1);
  EXPECT_EQ(Crypto::EcdsaVerify(point, Crypto::HASH_SHA256, hash, signature), 1);
}

// Deterministic "entropy" so the generated keys are the same on every run.
int FixedEntropy(void* state, unsigned char* out, size_t len) {
  auto* x = static_cast<uint64_t*>(state);
  for (size_t i = 0; i < len; ++i) {
    *x = *x * 6364136223846793005ull + 1442695040888963407ull;
    out[i] = static_cast<unsigned char>(*x >> 56);
  }
  return 0;
}

// Generates a key pair and fills a key record with its modulus and private
// exponent; the full key (with its primes) stays in rsa for cross-checks.
template <typename Key>
void MakeKey(uint64_t seed, Key& key, mbedtls_rsa_context& rsa) {
  uint64_t state = seed;
  mbedtls_ctr_drbg_context drbg;
  mbedtls_ctr_drbg_init(&drbg);
  ASSERT_EQ(mbedtls_ctr_drbg_seed(&drbg, FixedEntropy, &state, nullptr, 0), 0);
  ASSERT_EQ(
      mbedtls_rsa_gen_key(&rsa, mbedtls_ctr_drbg_random, &drbg, sizeof(key.modulus) * 8, 65537), 0);
  ASSERT_EQ(mbedtls_rsa_export_raw(&rsa, key.modulus, sizeof(key.modulus), nullptr, 0, nullptr, 0,
                                   key.priv_exponent, sizeof(key.priv_exponent), nullptr, 0),
            0);
  mbedtls_ctr_drbg_free(&drbg);
}

template <typename Key>
void SignAndVerify(uint64_t seed) {
  auto key = std::make_unique<Key>();
  mbedtls_rsa_context full;
#if MBEDTLS_VERSION_MAJOR >= 3
  mbedtls_rsa_init(&full);
#else
  mbedtls_rsa_init(&full, MBEDTLS_RSA_PKCS_V15, 0);
#endif
  MakeKey(seed, *key, full);
  const size_t len = sizeof(key->modulus);

  for (Crypto::HashType type : {Crypto::HASH_SHA1, Crypto::HASH_SHA256}) {
    SCOPED_TRACE(type);
    std::vector<uint8_t> digest(32);
    Crypto::Sha256(reinterpret_cast<const uint8_t*>("romfs"), 5, digest.data());
    std::vector<uint8_t> signature(len), again(len);
    ASSERT_EQ(Crypto::RsaSign(*key, type, digest.data(), signature.data()), 0);
    EXPECT_EQ(Crypto::RsaVerify(*key, type, digest.data(), signature.data()), 0);

    // PKCS #1 v1.5 signatures are deterministic, and the library's own
    // key with its primes verifies what the facade signed.
    ASSERT_EQ(Crypto::RsaSign(*key, type, digest.data(), again.data()), 0);
    EXPECT_EQ(again, signature);
    const auto md = static_cast<mbedtls_md_type_t>(Crypto::GetWrappedHashType(type));
    const unsigned md_size = Crypto::GetWrappedHashSize(type);
#if MBEDTLS_VERSION_MAJOR >= 3
    EXPECT_EQ(mbedtls_rsa_pkcs1_verify(&full, md, md_size, digest.data(), signature.data()), 0);
#else
    EXPECT_EQ(mbedtls_rsa_pkcs1_verify(&full, nullptr, nullptr, MBEDTLS_RSA_PUBLIC, md, md_size,
                                       digest.data(), signature.data()),
              0);
#endif

    std::vector<uint8_t> tampered = digest;
    tampered[3] ^= 0x01;
    EXPECT_NE(Crypto::RsaVerify(*key, type, tampered.data(), signature.data()), 0);
    std::vector<uint8_t> bad_signature = signature;
    bad_signature[len / 2] ^= 0x80;
    EXPECT_NE(Crypto::RsaVerify(*key, type, digest.data(), bad_signature.data()), 0);
    const Crypto::HashType other =
        type == Crypto::HASH_SHA1 ? Crypto::HASH_SHA256 : Crypto::HASH_SHA1;
    EXPECT_NE(Crypto::RsaVerify(*key, other, digest.data(), signature.data()), 0);
  }
  mbedtls_rsa_free(&full);
}

TEST(Crypto, Rsa1024SignAndVerify) { SignAndVerify<Crypto::sRsa1024Key>(1); }

TEST(Crypto, Rsa2048SignAndVerify) { SignAndVerify<Crypto::sRsa2048Key>(2); }

TEST(Crypto, Rsa4096SignAndVerify) { SignAndVerify<Crypto::sRsa4096Key>(4); }

TEST(Crypto, RsaKeyThatIsNotAKeyIsRefused) {
  auto key = std::make_unique<Crypto::sRsa2048Key>();
  memset(key->modulus, 0xC3, sizeof(key->modulus));
  memset(key->priv_exponent, 0x35, sizeof(key->priv_exponent));
  const uint8_t digest[32] = {1, 2, 3};
  std::vector<uint8_t> signature(256, 0);
  EXPECT_NE(Crypto::RsaSign(*key, Crypto::HASH_SHA256, digest, signature.data()), 0);
  EXPECT_NE(Crypto::RsaVerify(*key, Crypto::HASH_SHA256, digest, signature.data()), 0);
}

}  // namespace
