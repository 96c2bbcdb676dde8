// The fast search against the references: every answer, at every position
// asked, must be the same length from the same position.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "support.h"

using support::Bytes;
using support::Rng;

namespace {

// Asks the fast search about every position in order and compares with the
// table of best matches.
void expectEveryPosition(const Bytes& src, const std::string& what) {
  const support::Matches m = support::matchesByDistance(src);
  tamp::MatchFinder finder(src.data(), static_cast<int>(src.size()));
  int mismatches = 0;
  for (int pos = 0; pos < static_cast<int>(src.size()); ++pos) {
    uint32_t length;
    int where;
    finder.longest(pos, &length, &where);
    // Below four equal bytes only "no match worth one" is promised.
    const uint32_t expected = m.best[static_cast<size_t>(pos)];
    const bool same = expected >= 4
                          ? (length == expected && where == m.from[static_cast<size_t>(pos)])
                          : length < 4;
    if (!same && ++mismatches <= 5) {
      ADD_FAILURE() << what << ": at " << pos << " found " << length << " from " << where
                    << ", expected " << expected << " from " << m.from[static_cast<size_t>(pos)];
    }
  }
  EXPECT_EQ(mismatches, 0) << what;
}

// Asks only some positions, as the encoder does after matches: forward
// jumps of any size, sometimes the next position as well.
void expectJumps(const Bytes& src, const support::Matches& m, uint64_t seed, uint32_t maxJump,
                 const std::string& what) {
  tamp::MatchFinder finder(src.data(), static_cast<int>(src.size()));
  Rng rng(seed);
  int mismatches = 0;
  for (int pos = 0; pos < static_cast<int>(src.size());) {
    int asked[2] = {pos, pos + 1};
    int count = rng.below(3) == 0 && pos + 1 < static_cast<int>(src.size()) ? 2 : 1;
    for (int i = 0; i < count; ++i) {
      unsigned match;
      unsigned fast = finder.simpleEnc(asked[i], &match);
      unsigned expectedMatch;
      unsigned expected = support::creditFrom(m, asked[i], &expectedMatch);
      if ((fast != expected || (fast >= 3 && match != expectedMatch)) && ++mismatches <= 5) {
        ADD_FAILURE() << what << ": at " << asked[i] << " got " << fast << " from " << match
                      << ", expected " << expected << " from " << expectedMatch;
      }
    }
    pos += 1 + static_cast<int>(rng.below(maxJump));
  }
  EXPECT_EQ(mismatches, 0) << what;
}

}  // namespace

// The second reference (equal bytes per distance, computed backwards) is
// itself checked against the exhaustive search on small inputs.
TEST(References, AgreeWithEachOther) {
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    Rng rng(seed);
    Bytes src = support::shaped(rng, 2500 + rng.below(3500), 400);
    const support::Matches m = support::matchesByDistance(src);
    for (int pos = 0; pos < static_cast<int>(src.size()); ++pos) {
      unsigned plainMatch, tableMatch;
      unsigned plainLength =
          plain::simpleEnc(src.data(), static_cast<int>(src.size()), pos, &plainMatch);
      unsigned tableLength = support::creditFrom(m, pos, &tableMatch);
      ASSERT_EQ(plainLength, tableLength) << "seed " << seed << " at " << pos;
      if (plainLength >= 3) {
        ASSERT_EQ(plainMatch, tableMatch) << "seed " << seed << " at " << pos;
      }
    }
  }
}

TEST(Finder, RandomBytesAndSmallAlphabets) {
  Rng rng(7);
  expectEveryPosition(support::randomBytes(rng, 40000), "random bytes");
  for (uint32_t alphabet : {2u, 3u, 4u, 16u}) {
    expectEveryPosition(support::randomBytes(rng, 30000, alphabet),
                        "alphabet " + std::to_string(alphabet));
  }
}

TEST(Finder, EmptyAndTinyInputs) {
  for (const char* s :
       {"", "a", "ab", "aaa", "aaaa", "aaaaa", "abcabc", "abcdabcd", "aaaaaaaaab"}) {
    expectEveryPosition(support::text(s), std::string("\"") + s + "\"");
  }
}

// Runs of one byte: long and short, of one value and several, next to one
// another, reaching the end of the input or not.
TEST(Finder, Runs) {
  Rng rng(11);
  Bytes src = support::randomBytes(rng, 300);
  src.insert(src.end(), 30000, 0);
  support::append(src, support::randomBytes(rng, 500));
  src.insert(src.end(), 5000, 0);
  src.push_back(1);
  src.insert(src.end(), 4097, 0);
  support::append(src, support::randomBytes(rng, 50));
  expectEveryPosition(src, "long runs");

  Bytes shortRuns;
  while (shortRuns.size() < 40000) {
    shortRuns.insert(shortRuns.end(), 1 + rng.below(rng.below(4) == 0 ? 40 : 14),
                     rng.below(3) == 0 ? 0x41 : 0);
    shortRuns.push_back(static_cast<unsigned char>(rng.below(4) == 0 ? rng.byte() : 0x3F));
  }
  expectEveryPosition(shortRuns, "short runs");

  Bytes toEnd = support::text("xyz");
  toEnd.insert(toEnd.end(), 9000, 'q');
  expectEveryPosition(toEnd, "run to the end");

  // Runs of the same length followed by the same bytes, and one longer.
  Bytes alike;
  for (int i = 0; i < 300; ++i) {
    alike.insert(alike.end(), 13, 0);
    support::append(alike, support::text("\x3f\x80\x00\x00tail"));
    alike.push_back(static_cast<unsigned char>(i));
    alike.insert(alike.end(), static_cast<size_t>(i % 7), 0);
  }
  expectEveryPosition(alike, "runs alike");
}

TEST(Finder, Periods) {
  Rng rng(5);
  for (size_t period : {2, 3, 4, 5, 7, 8, 12, 16, 31, 64, 100, 255, 256, 299, 300}) {
    Bytes src = support::randomBytes(rng, 200);
    Bytes pattern = support::randomBytes(rng, period, period < 8 ? 3 : 256);
    support::append(src, support::periodic(pattern, 4096 + 3 * period + 700 + rng.below(3000)));
    support::append(src, support::randomBytes(rng, 100));
    support::append(src, support::periodic(pattern, 2000));  // the same pattern again, shorter
    src.push_back(0xAA);
    support::append(src, support::periodic(pattern, 9000));
    expectEveryPosition(src, "period " + std::to_string(period));
  }
}

// Short periods broken every few repeats: the chains step back through
// each stretch by the period, and stretches of equal length followed by
// equal bytes compete.
TEST(Finder, PeriodsWithGlitches) {
  Rng rng(13);
  for (size_t period : {2, 3, 4, 5, 8, 13, 64, 300}) {
    Bytes pattern = support::randomBytes(rng, period, period < 6 ? 4 : 256);
    Bytes src;
    while (src.size() < 40000) {
      size_t repeats = 1 + rng.below(rng.below(4) == 0 ? 60 : 12);
      size_t phase = rng.below(8) == 0 ? rng.below(static_cast<uint32_t>(period)) : 0;
      for (size_t i = 0; i < repeats * period; ++i) src.push_back(pattern[(i + phase) % period]);
      size_t tail = rng.below(3);
      for (size_t i = 0; i < tail + 1; ++i)
        src.push_back(static_cast<unsigned char>(rng.below(3) == 0 ? 'z' : rng.byte()));
    }
    expectEveryPosition(src, "period " + std::to_string(period) + " with glitches");
    expectJumps(src, support::matchesByDistance(src), period, 200,
                "period " + std::to_string(period) + ", jumps");
  }
}

// Blocks repeated with small changes: many candidates of nearly the same
// length, ties decided by the earliest.
TEST(Finder, NearRepeats) {
  Rng rng(3);
  for (size_t block : {24, 48, 100, 1000}) {
    Bytes base = support::randomBytes(rng, block);
    Bytes src;
    for (uint32_t counter = 0; src.size() < 50000; ++counter) {
      Bytes copy = base;
      copy[0] = static_cast<unsigned char>(counter);
      copy[1] = static_cast<unsigned char>(counter >> 8);
      if (rng.below(3) == 0) copy[rng.below(static_cast<uint32_t>(block))] ^= 1;
      support::append(src, copy);
    }
    expectEveryPosition(src, "records of " + std::to_string(block));
  }
}

// A copy at exactly the window's reach and one byte beyond, of lengths
// around the boundaries of the chunk forms and of the credit.
TEST(Finder, DistancesAndLengthsAtTheBoundaries) {
  Rng rng(9);
  for (size_t distance : {4095, 4096, 4097}) {
    for (size_t length : {2, 3, 4, 5, 17, 18, 19, 273, 274, 275, 1000}) {
      Bytes src = support::randomBytes(rng, 100);
      Bytes piece = support::randomBytes(rng, length);
      support::append(src, piece);
      support::append(src, support::randomBytes(rng, distance - length));
      support::append(src, piece);
      support::append(src, support::randomBytes(rng, 40));
      expectEveryPosition(src,
                          "copy of " + std::to_string(length) + " at " + std::to_string(distance));
    }
  }
}

TEST(Finder, ShapedInputs) {
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    Rng rng(seed);
    expectEveryPosition(support::shaped(rng, 20000 + rng.below(30000), seed % 2 ? 600 : 6000),
                        "shaped, seed " + std::to_string(seed));
  }
}

// Data where most candidates share four bytes but few share eight: the
// search then keeps chains of eight-byte keys as well, for a while, and
// must stay exact when it starts them, stops them, starts them again next
// to the old ones or far from them, and when it skips over long runs.
TEST(Finder, EightByteChains) {
  Rng rng(31);
  Bytes src = support::randomBytes(rng, 100000, 2);
  expectEveryPosition(src, "two letters, long");

  Bytes spaced = support::randomBytes(rng, 30000, 2);
  support::append(spaced, support::randomBytes(rng, 70000));
  support::append(spaced, support::randomBytes(rng, 30000, 2));
  spaced.insert(spaced.end(), 20000, 'a');  // a long run, skipped over
  support::append(spaced, support::randomBytes(rng, 30000, 3));
  expectEveryPosition(spaced, "two letters, apart");
  const support::Matches m = support::matchesByDistance(spaced);
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    expectJumps(spaced, m, seed, seed % 2 ? 40 : 7000,
                "two letters, apart, jumps " + std::to_string(seed));
  }
}

// The encoder skips ahead after a match; positions far apart leave gaps in
// what the search has indexed.
TEST(Finder, ForwardJumps) {
  for (uint64_t seed = 1; seed <= 30; ++seed) {
    Rng rng(seed);
    Bytes src = support::shaped(rng, 60000, seed % 3 == 0 ? 9000 : 1200);
    expectJumps(src, support::matchesByDistance(src), seed, seed % 2 ? 300 : 9000,
                "jumps, seed " + std::to_string(seed));
  }
  Bytes zeros(50000, 0);
  zeros[25000] = 1;
  expectJumps(zeros, support::matchesByDistance(zeros), 99, 6000, "zeros with jumps");
  Rng rng(4);
  Bytes periodic = support::periodic(support::randomBytes(rng, 6), 60000);
  periodic[30000] ^= 0xFF;
  expectJumps(periodic, support::matchesByDistance(periodic), 98, 5000, "period 6 with jumps");
}
