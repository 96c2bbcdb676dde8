// untamp's decoder and naming: round trips through tamp's encoder, the
// worked examples, damaged streams with their messages, and data cut into
// pieces the way a pipe delivers it.

#include "untamp.h"

#include <gtest/gtest.h>

#include "plain_untamp.h"
#include "support.h"
#include "test_support.h"

namespace {

using support::Bytes;

Bytes header(uint32_t size) {
  return {'Y',
          'a',
          'z',
          '0',
          static_cast<uint8_t>(size >> 24),
          static_cast<uint8_t>(size >> 16),
          static_cast<uint8_t>(size >> 8),
          static_cast<uint8_t>(size),
          0,
          0,
          0,
          0,
          0,
          0,
          0,
          0};
}

Bytes file(uint32_t size, const Bytes& groups) {
  Bytes out = header(size);
  // Room first: GCC 12 at -O3 warns falsely about the copy into a vector
  // that must grow.
  out.reserve(out.size() + groups.size());
  support::append(out, groups);
  return out;
}

// Decodes with the source handing out `piece` bytes per read (0: all).
untamp::Outcome decodeInPieces(const Bytes& compressed, size_t piece, Bytes* out) {
  untamp::MemorySource source(compressed.data(), compressed.size(), piece);
  untamp::VectorSink sink;
  const untamp::Outcome outcome = untamp::decode(source, sink);
  *out = sink.bytes;
  return outcome;
}

void expectRoundTrip(const Bytes& data, const std::string& what) {
  SCOPED_TRACE(what + ", " + std::to_string(data.size()) + " bytes");
  const Bytes compressed = support::fastEncode(data);
  for (size_t piece : {size_t{0}, size_t{1}, size_t{31}, size_t{4099}}) {
    if (piece == 1 && data.size() > 300000) continue;  // byte by byte only on small inputs
    Bytes decoded;
    const untamp::Outcome outcome = decodeInPieces(compressed, piece, &decoded);
    ASSERT_TRUE(outcome.ok()) << untamp::describe(outcome) << " (pieces of " << piece << ")";
    ASSERT_TRUE(testkit::SameBytes(data, decoded)) << "pieces of " << piece;
    EXPECT_EQ(outcome.consumed, compressed.size());
    EXPECT_EQ(outcome.decoded, data.size());
  }
}

TEST(Decoder, RoundTripsThroughTamp) {
  support::Rng rng(10);
  expectRoundTrip({}, "empty");
  expectRoundTrip(Bytes(1, 0x41), "one byte");
  for (size_t n : {size_t{7}, size_t{300}, size_t{5000}, size_t{3} << 20}) {
    expectRoundTrip(support::randomBytes(rng, n), "random");
    expectRoundTrip(support::randomBytes(rng, n, 2), "two letters");
    expectRoundTrip(Bytes(n, 0), "zeros");
    expectRoundTrip(support::shaped(rng, n), "shaped");
  }
  for (size_t period : {2, 3, 5, 7, 8, 9, 15, 16, 17, 300, 4096}) {
    expectRoundTrip(support::periodic(support::randomBytes(rng, period), 70000),
                    "period " + std::to_string(period));
  }
  Bytes prose;
  while (prose.size() < 200000)
    support::append(prose, support::text("The kart drifts through the castle at night. "));
  expectRoundTrip(prose, "text");
  // Long enough to cross many output blocks and input reads, with every
  // kind of piece.
  expectRoundTrip(support::shaped(rng, 9 << 20, 40000), "large shaped");
}

TEST(Decoder, WorkedExamples) {
  struct Example {
    const char* name;
    Bytes compressed;
    Bytes decoded;
  };
  const Example examples[] = {
      {"empty", header(0), {}},
      {"ten bytes 41", file(10, {0xA0, 0x41, 0x60, 0x00, 0x41}), Bytes(10, 0x41)},
      {"twelve bytes", file(12, {0xFD, 0x61, 0x62, 0x62, 0x62, 0x62, 0x61, 0x30, 0x03, 0x62}),
       support::text("abbbbabbbabb")},
      {"three hundred bytes 41", file(300, {0x90, 0x41, 0x00, 0x00, 0xFF, 0x01, 0x11, 0x07, 0x41}),
       Bytes(300, 0x41)},
  };
  for (const Example& example : examples) {
    SCOPED_TRACE(example.name);
    Bytes decoded;
    untamp::Outcome outcome =
        untamp::decodeBuffer(example.compressed.data(), example.compressed.size(), &decoded);
    ASSERT_TRUE(outcome.ok()) << untamp::describe(outcome);
    EXPECT_TRUE(testkit::SameBytes(example.decoded, decoded));
    EXPECT_TRUE(testkit::SameBytes(example.compressed, support::fastEncode(example.decoded)));

    // Other tools pad to 32 bytes and store an alignment in the header.
    Bytes padded = example.compressed;
    padded[8] = 0x00;
    padded[11] = 0x80;
    padded[15] = 0xFF;
    padded.resize((padded.size() + 31) / 32 * 32, 0);
    outcome = untamp::decodeBuffer(padded.data(), padded.size(), &decoded);
    ASSERT_TRUE(outcome.ok()) << untamp::describe(outcome);
    EXPECT_TRUE(testkit::SameBytes(example.decoded, decoded));
    EXPECT_EQ(outcome.consumed, example.compressed.size());
  }
}

TEST(Decoder, DamagedStreamsAreNamedWithTheirOffsets) {
  struct Case {
    const char* name;
    Bytes compressed;
    untamp::Problem problem;
    const char* message;
  };
  Bytes literals = {0xFF, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
  Bytes farBack = file(100000, {});
  for (int i = 0; i < 20; ++i) support::append(farBack, literals);
  support::append(farBack, {0x00, 0x0F, 0xFF});  // 4096 back from output byte 160
  support::append(farBack, Bytes(64, 0xFF));
  const Case cases[] = {
      {"empty", {}, untamp::Problem::kEmpty, "not Yaz0: empty"},
      {"short", support::text("Yaz0\0\0\0"), untamp::Problem::kShortHeader,
       "not Yaz0: 4 bytes, shorter than the 16-byte header"},
      {"wrong magic", support::text("PK\3\4 and the rest of a zip file"),
       untamp::Problem::kBadMagic, "not Yaz0: starts with 50 4b 03 04, not \"Yaz0\""},
      {"three bytes", support::text("Yb0"), untamp::Problem::kBadMagic,
       "not Yaz0: starts with 59 62 30, not \"Yaz0\""},
      {"ends between chunks", file(300, {0x90, 0x41, 0x00, 0x00, 0xFF}),
       untamp::Problem::kTruncated, "the data ends at offset 21, with 274 of 300 bytes decoded"},
      {"ends inside a chunk", file(300, {0x90, 0x41, 0x00, 0x00}), untamp::Problem::kTruncated,
       "the data ends at offset 20, with 1 of 300 bytes decoded"},
      {"ends before a code byte", file(10, {0xFF, 1, 2, 3, 4, 5, 6, 7, 8}),
       untamp::Problem::kTruncated, "the data ends at offset 25, with 8 of 10 bytes decoded"},
      {"reference before the start", file(10, {0xA0, 0x41, 0x60, 0x01, 0x41}),
       untamp::Problem::kBeforeStart,
       "at offset 18: a back-reference 2 bytes back from output byte 1 reaches before the start"},
      {"far reference before the start", farBack, untamp::Problem::kBeforeStart,
       "at offset 197: a back-reference 4096 bytes back from output byte 160 reaches before the "
       "start"},
      {"reference past the end", file(10, {0xA0, 0x41, 0x80, 0x00, 0x41}),
       untamp::Problem::kPastEnd,
       "at offset 18: a back-reference of 10 bytes at output byte 1 runs past the decoded size "
       "(10)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (size_t piece : {size_t{0}, size_t{1}, size_t{5}}) {
      Bytes decoded;
      const untamp::Outcome outcome = decodeInPieces(c.compressed, piece, &decoded);
      EXPECT_EQ(outcome.problem, c.problem);
      EXPECT_EQ(untamp::describe(outcome), c.message);
      // The plain decoder agrees on where the stream goes wrong.
      const plain::Decoded expected = plain::decode(c.compressed.data(), c.compressed.size());
      EXPECT_NE(expected.verdict, plain::Verdict::kDecoded);
      if (expected.verdict != plain::Verdict::kNotYaz0) {
        EXPECT_EQ(outcome.offset, expected.offset);
      }
    }
  }
}

// A stream cut anywhere is refused, whatever the place.
TEST(Decoder, EveryCutIsRefused) {
  support::Rng rng(3);
  const Bytes data = support::shaped(rng, 20000);
  const Bytes compressed = support::fastEncode(data);
  for (size_t cut = 0; cut < compressed.size(); cut += 1 + cut / 64) {
    const Bytes part(compressed.begin(), compressed.begin() + static_cast<ptrdiff_t>(cut));
    Bytes decoded;
    const untamp::Outcome outcome = untamp::decodeBuffer(part.data(), part.size(), &decoded);
    ASSERT_FALSE(outcome.ok()) << "cut at " << cut;
    if (cut >= untamp::kHeaderSize) {
      EXPECT_EQ(outcome.problem, untamp::Problem::kTruncated) << "cut at " << cut;
      EXPECT_EQ(outcome.offset, cut);
    }
  }
}

TEST(Naming, SuffixesAndContent) {
  const uint8_t sarc[] = {'S', 'A', 'R', 'C', 0xFE, 0xFF};
  const uint8_t u8[] = {0x55, 0xAA, 0x38, 0x2D};
  const uint8_t other[] = {'B', 'N', 'T', 'X'};
  EXPECT_EQ(untamp::outputName("data/course.bin.yaz0", nullptr, 0), "data/course.bin");
  EXPECT_EQ(untamp::outputName("Course.YAZ0", nullptr, 0), "Course");
  EXPECT_EQ(untamp::outputName("common.szs", sarc, 6), "common.sarc");
  EXPECT_EQ(untamp::outputName("x.szs/Menu.SZS", u8, 4), "x.szs/Menu.u8");
  EXPECT_EQ(untamp::outputName("a.szs", other, 4), "a.bin");
  EXPECT_EQ(untamp::outputName("a.szs", sarc, 3), "a.bin");  // shorter than four bytes
  EXPECT_EQ(untamp::namingOf("a.szs"), untamp::Naming::kByContent);
  EXPECT_EQ(untamp::namingOf("a.yaz0"), untamp::Naming::kDropSuffix);
  EXPECT_EQ(untamp::namingOf("a.yaz0.bin"), untamp::Naming::kUnknown);
  EXPECT_EQ(untamp::namingOf("szs"), untamp::Naming::kUnknown);
  EXPECT_EQ(untamp::namingOf(".szs"), untamp::Naming::kNoStem);
  EXPECT_EQ(untamp::namingOf("dir.szs/.yaz0"), untamp::Naming::kNoStem);
}

}  // namespace
