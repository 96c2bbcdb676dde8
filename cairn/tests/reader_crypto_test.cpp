// The reading side's fixed-key decryption against the builder's, which
// makes its own counter and runs mbed TLS: at positions inside a block, past
// 4 GiB, and where the counter's low bytes carry.

#include <gtest/gtest.h>

#include <cstring>

#include "ctr_builder.h"
#include "reader_crypto.h"
#include "test_support.h"

namespace {

TEST(ZeroKeyCtr, MatchesTheBuildersKeystreamAnywhere) {
  uncairn::ZeroKeyCtr ctr;
  // A partition ID whose counter ends in 0xFF bytes makes every addition
  // carry through them.
  const uint64_t partition_id = 0x00040000ffffffff;
  for (uint8_t region : {1, 2, 3}) {
    uint8_t counter[16] = {};
    for (int i = 0; i < 8; ++i) counter[i] = static_cast<uint8_t>(partition_id >> (56 - 8 * i));
    counter[8] = region;
    for (uint64_t position : {uint64_t(0), uint64_t(5), uint64_t(4096 + 15),
                              (uint64_t(1) << 32) + 3, (uint64_t(1) << 40) - 16}) {
      SCOPED_TRACE(position);
      const testkit::Bytes plain = testkit::Pattern(1000, static_cast<uint32_t>(position));
      testkit::Bytes expected = plain, actual = plain;
      ctrtest::ApplyFixedKey(partition_id, region, position, expected.data(), expected.size());
      ctr.Apply(counter, position, actual.data(), actual.size());
      EXPECT_TRUE(testkit::SameBytes(expected, actual));
      EXPECT_NE(expected, plain);
    }
  }
}

TEST(Sha256, PiecesGiveTheWholeDigest) {
  uncairn::Sha256 sha;
  const testkit::Bytes data = testkit::Pattern(100000, 7);
  uint8_t whole[32], pieces[32];
  sha.Digest(data.data(), data.size(), whole);
  sha.Begin();
  for (size_t at = 0; at < data.size(); at += 4097) {
    sha.Add(data.data() + at, std::min<size_t>(4097, data.size() - at));
  }
  sha.Finish(pieces);
  EXPECT_EQ(memcmp(whole, pieces, 32), 0);
  // The digest of "abc", from the standard's examples.
  sha.Digest(reinterpret_cast<const uint8_t*>("abc"), 3, whole);
  EXPECT_EQ(whole[0], 0xba);
  EXPECT_EQ(whole[31], 0xad);
}

}  // namespace
