// The encoder: the file's bytes, the byte count, the progress shown, and the
// round trip through a decoder.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support.h"

using support::Bytes;
using support::Rng;

namespace {

Bytes header(uint32_t size) {
  return {'Y',
          'a',
          'z',
          '0',
          static_cast<unsigned char>(size >> 24),
          static_cast<unsigned char>(size >> 16),
          static_cast<unsigned char>(size >> 8),
          static_cast<unsigned char>(size),
          0,
          0,
          0,
          0,
          0,
          0,
          0,
          0};
}

Bytes withHeader(uint32_t size, const Bytes& groups) {
  Bytes out = header(size);
  support::append(out, groups);
  return out;
}

// What the encoder prints while it works, and the byte count it returns.
std::string console(const Bytes& src, int* total, Bytes* file = nullptr) {
  char* text = nullptr;
  size_t length = 0;
  std::FILE* stream = open_memstream(&text, &length);
  tamp::OutputBuffer out;
  tamp::writeHeader(out, static_cast<int>(src.size()));
  *total =
      static_cast<int>(tamp::encodeYaz0(src.data(), static_cast<int>(src.size()), out, stream));
  std::fclose(stream);
  std::string result(text, length);
  std::free(text);
  if (file != nullptr) *file = out.bytes();
  return result;
}

void expectSameAsExhaustive(const Bytes& src, const std::string& what) {
  int total = 0;
  Bytes fast = support::fastEncode(src, &total);
  Bytes reference = plain::encode(src.data(), static_cast<int>(src.size()));
  ASSERT_EQ(fast.size(), reference.size()) << what;
  for (size_t i = 0; i < fast.size(); ++i) {
    ASSERT_EQ(fast[i], reference[i]) << what << ": first difference at byte " << i;
  }
  EXPECT_EQ(static_cast<size_t>(total), fast.size() - 16) << what;
  EXPECT_EQ(support::decodeYaz0(fast), src) << what;
}

// For inputs where the exhaustive search would take too long: the same
// encoder driven by the table of best matches.
void expectSameAsTable(const Bytes& src, const std::string& what) {
  const support::Matches m = support::matchesByDistance(src);
  auto search = [&m](int pos, unsigned* matchOut) { return support::creditFrom(m, pos, matchOut); };
  Bytes reference = plain::encodeWith(search, src.data(), static_cast<int>(src.size()));
  Bytes fast = support::fastEncode(src);
  ASSERT_EQ(fast.size(), reference.size()) << what;
  for (size_t i = 0; i < fast.size(); ++i) {
    ASSERT_EQ(fast[i], reference[i]) << what << ": first difference at byte " << i;
  }
  EXPECT_EQ(support::decodeYaz0(fast), src) << what;
}

}  // namespace

TEST(Encoder, ByteOrderSwap) {
  EXPECT_EQ(tamp::toDWORD(0x12345678u), 0x78563412u);
  EXPECT_EQ(tamp::toDWORD(0x0000000Au), 0x0A000000u);
  EXPECT_EQ(tamp::toDWORD(0xFF000001u), 0x010000FFu);
}

TEST(Encoder, EmptyInputIsTheHeaderAlone) {
  int total = -1;
  Bytes file;
  EXPECT_EQ(console({}, &total, &file), "\r done\n");
  EXPECT_EQ(total, 0);
  EXPECT_EQ(file, header(0));
}

TEST(Encoder, TenEqualBytes) {
  int total = 0;
  Bytes file;
  EXPECT_EQ(console(Bytes(10, 0x41), &total, &file), "\r  20%\r 100%\r done\n");
  EXPECT_EQ(total, 5);
  EXPECT_EQ(file, withHeader(10, {0xA0, 0x41, 0x60, 0x00, 0x41}));
}

// At 5 the best match has 4 equal bytes, but 6 offers 6: 5 goes out as a
// literal and 6 as a match of 5 bytes at distance 4.
TEST(Encoder, LookAheadPutsAMatchOff) {
  int total = 0;
  Bytes file;
  EXPECT_EQ(console(support::text("abbbbabbbabb"), &total, &file),
            "\r  16%\r  25%\r  33%\r  41%\r  50%\r  58%\r 100%\r done\n");
  EXPECT_EQ(total, 10);
  EXPECT_EQ(file, withHeader(12, {0xFD, 0x61, 0x62, 0x62, 0x62, 0x62, 0x61, 0x30, 0x03, 0x62}));
}

// A match of 298 is cut to 273; the rest comes from the farthest of many
// equally long candidates.
TEST(Encoder, LongMatchIsCut) {
  int total = 0;
  Bytes file;
  EXPECT_EQ(console(Bytes(300, 0x41), &total, &file), "\r   0%\r  91%\r 100%\r done\n");
  EXPECT_EQ(total, 9);
  EXPECT_EQ(file, withHeader(300, {0x90, 0x41, 0x00, 0x00, 0xFF, 0x01, 0x11, 0x07, 0x41}));
}

TEST(Encoder, GroupsEndingOnEightChunks) {
  int total = 0;
  Bytes file;
  console(support::text("abcdefgh"), &total, &file);
  EXPECT_EQ(total, 9);
  EXPECT_EQ(file, withHeader(8, {0xFF, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}));

  console(support::text("abcdefghijklmnop"), &total, &file);
  EXPECT_EQ(total, 18);
  EXPECT_EQ(file.size(), 16u + 18u);

  // Six literals, a match and the last byte: eight chunks, nothing after.
  console(support::text("abcdefabcdef"), &total, &file);
  EXPECT_EQ(file, withHeader(12, {0xFD, 'a', 'b', 'c', 'd', 'e', 'f', 0x30, 0x05, 'f'}));
  EXPECT_EQ(total, 10);
}

TEST(Encoder, OneByte) {
  int total = 0;
  Bytes file;
  EXPECT_EQ(console({0x7F}, &total, &file), "\r 100%\r done\n");
  EXPECT_EQ(total, 2);
  EXPECT_EQ(file, withHeader(1, {0x80, 0x7F}));
}

// The percentages never pass 100 and are printed only when they change,
// whatever the size.
TEST(Encoder, ProgressValues) {
  Rng rng(17);
  for (int size :
       {1, 2, 3, 7, 10, 99, 100, 101, 150, 199, 200, 201, 333, 1000, 4099, 12345, 70000}) {
    Bytes src = support::shaped(rng, static_cast<size_t>(size), 200);
    std::vector<int> shown;
    plain::encode(src.data(), size, &shown);
    std::string expected;
    for (int p : shown) {
      char line[16];
      std::snprintf(line, sizeof line, "\r %3d%%", p);
      expected += line;
    }
    expected += "\r done\n";
    int total = 0;
    EXPECT_EQ(console(src, &total), expected) << "size " << size;
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), 100) << "size " << size;
  }
}

TEST(Encoder, SameAsExhaustiveSearch) {
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    Rng rng(seed);
    expectSameAsExhaustive(support::shaped(rng, 1 + rng.below(seed < 10 ? 300 : 24000), 500),
                           "shaped, seed " + std::to_string(seed));
  }
  Rng rng(77);
  expectSameAsExhaustive(support::randomBytes(rng, 30000), "random");
  expectSameAsExhaustive(support::randomBytes(rng, 30000, 2), "two letters");
}

// Long runs and periods, whose lengths run into the thousands: compared
// with the table of best matches.
TEST(Encoder, SameAsTableOnLongMatches) {
  Rng rng(21);
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    Rng local(seed);
    expectSameAsTable(support::shaped(local, 100000, 20000),
                      "shaped, seed " + std::to_string(seed));
  }
  Bytes runs;
  for (size_t length : {3, 4, 5, 100, 4095, 4096, 4097, 4098, 9000, 30000}) {
    support::append(runs, support::randomBytes(rng, 10));
    runs.insert(runs.end(), length, 0);
  }
  expectSameAsTable(runs, "runs");
}

// A run of zeros far beyond what the exhaustive search can check: the first
// byte is a literal, then every position p matches everything after it,
// from the earliest position in the window, until three bytes are left.
TEST(Encoder, HugeZeroRun) {
  for (int size : {1 << 20, (3 << 20) + 1234}) {
    Bytes src(static_cast<size_t>(size), 0);
    Bytes groups;
    Bytes group = {0};
    int chunks = 0;
    auto chunk = [&](std::initializer_list<unsigned char> bytes, bool literal) {
      if (literal) group[0] |= static_cast<unsigned char>(0x80 >> chunks);
      group.insert(group.end(), bytes);
      if (++chunks == 8) {
        support::append(groups, group);
        group = {0};
        chunks = 0;
      }
    };
    for (int p = 0; p < size;) {
      int left = size - p;
      if (p == 0 || left < 4) {
        chunk({0}, true);
        ++p;
        continue;
      }
      int length = std::min(left - 1, 273);
      unsigned distance = static_cast<unsigned>(std::min(p, 4096)) - 1;
      if (length <= 17) {
        chunk({static_cast<unsigned char>((length - 2) << 4 | distance >> 8),
               static_cast<unsigned char>(distance)},
              false);
      } else {
        chunk({static_cast<unsigned char>(distance >> 8), static_cast<unsigned char>(distance),
               static_cast<unsigned char>(length - 18)},
              false);
      }
      p += length;
    }
    if (chunks != 0) support::append(groups, group);
    EXPECT_EQ(support::fastEncode(src), withHeader(static_cast<uint32_t>(size), groups)) << size;
  }
}

TEST(Encoder, RoundTrip) {
  for (uint64_t seed = 1; seed <= 10; ++seed) {
    Rng rng(seed);
    Bytes src = support::shaped(rng, 200000 + rng.below(300000), 30000);
    EXPECT_EQ(support::decodeYaz0(support::fastEncode(src)), src) << "seed " << seed;
  }
  Bytes zeros(2500000, 0);
  zeros[1234567] = 9;
  EXPECT_EQ(support::decodeYaz0(support::fastEncode(zeros)), zeros);
}

TEST(Encoder, OutputBufferKeepsEverythingInMemory) {
  tamp::OutputBuffer out;
  Bytes expected;
  Rng rng(1);
  for (int i = 0; i < 100000; ++i) {
    Bytes piece = support::randomBytes(rng, 1 + rng.below(25));
    out.put(piece.data(), piece.size());
    support::append(expected, piece);
  }
  EXPECT_TRUE(out.flush());
  EXPECT_FALSE(out.failed());
  EXPECT_EQ(out.bytes(), expected);
}
