// The parts with rules of their own: the LZ77 coder against the reference
// decoder and encoder, the name hashes, U8's order of names, the gap fills.

#include <gtest/gtest.h>
#include <algorithm>
#include <utility>

#include "layout.h"
#include "lz77.h"
#include "reference.h"
#include "sarc.h"
#include "test_support.h"
#include "u8.h"
#include "untamp.h"

using testkit::Bytes;

namespace {

Bytes Decode(const Bytes& stream, std::string* problem = nullptr) {
  sheaf::Lz77Header header;
  EXPECT_TRUE(sheaf::ParseLz77Header(stream.data(), stream.size(), &header));
  Bytes out(header.decoded_size);
  untamp::MemorySource source(stream.data(), stream.size(), 7);
  const sheaf::Lz77Outcome outcome = sheaf::DecodeLz77(source, header, out.data());
  if (problem != nullptr) *problem = outcome.problem;
  return outcome.ok ? out : Bytes{};
}

TEST(Lz77, EncodesWhatThePlainDecoderReadsAndNeverOneByteBack) {
  std::vector<Bytes> inputs = {{}, {42}, Bytes(10000, 0xAB), testkit::Pattern(70000, 1)};
  Bytes text;
  for (int i = 0; i < 3000; ++i) {
    const std::string word = "course" + std::to_string(i % 17) + " ";
    text.insert(text.end(), word.begin(), word.end());
  }
  inputs.push_back(text);
  for (const Bytes& input : inputs) {
    const Bytes stream = sheaf::EncodeLz77(input.data(), input.size(), false, 4);
    EXPECT_EQ(stream.size() % 4, 0u);
    if (!input.empty()) {
      EXPECT_TRUE(testkit::SameBytes(input, reference::DecodeLz77(stream)));
    }
    EXPECT_TRUE(testkit::SameBytes(input, Decode(stream)));
    // Walk the stream: no reference one byte back.
    size_t at = 4, done = 0;
    while (done < input.size()) {
      const uint8_t flags = stream[at++];
      for (int bit = 7; bit >= 0 && done < input.size(); --bit) {
        if (flags >> bit & 1) {
          EXPECT_NE(((stream[at] & 0xF) << 8 | stream[at + 1]) + 1, 1);
          done += (stream[at] >> 4) + 3;
          at += 2;
        } else {
          ++at;
          ++done;
        }
      }
    }
  }
  // The extended header: 0 in 24 bits and the size in a u32.
  const Bytes data = testkit::Pattern(100, 2);
  const Bytes extended = sheaf::EncodeLz77(data.data(), data.size(), true, 1);
  EXPECT_EQ(Bytes(extended.begin(), extended.begin() + 8), (Bytes{0x10, 0, 0, 0, 100, 0, 0, 0}));
  EXPECT_TRUE(testkit::SameBytes(data, Decode(extended)));
  EXPECT_TRUE(testkit::SameBytes(data, Decode(reference::Lz77(data))));
}

TEST(Lz77, DamagedStreamsAreRefused) {
  std::string problem;
  EXPECT_EQ(Decode({0x10, 5, 0, 0, 0x00, 'a', 'b'}, &problem), Bytes{});
  EXPECT_EQ(problem, "the stream ends after 2 of 5 bytes");
  EXPECT_EQ(Decode({0x10, 5, 0, 0, 0x40, 'a', 0x00, 0x01}, &problem), Bytes{});
  EXPECT_EQ(problem,
            "at stream byte 6: a back-reference 2 bytes back from output byte 1 reaches before the "
            "start");
  EXPECT_EQ(Decode({0x10, 4, 0, 0, 0x40, 'a', 0xF0, 0x00}, &problem), Bytes{});
  EXPECT_EQ(problem,
            "at stream byte 6: a back-reference of 18 bytes at output byte 1 runs past the decoded "
            "size (4)");
  EXPECT_LT(sheaf::Lz77MostDecoded(17), 8u * 18 * 2 + 1);
}

TEST(Names, SarcHashesOfEachConvention) {
  const std::string names[] = {"Course/course_model.bcmdl",
                               "\xC3\x9C"
                               "ber/stra\xC3\x9F"
                               "e",
                               "\xE6\x97\xA5\xE6\x9C\xAC", ""};
  const std::pair<sheaf::HashConvention, reference::SarcHash> conventions[] = {
      {sheaf::HashConvention::kUnsigned, reference::SarcHash::kUnsigned},
      {sheaf::HashConvention::kSigned, reference::SarcHash::kSigned},
      {sheaf::HashConvention::kCodePoints, reference::SarcHash::kCodePoints}};
  for (const std::string& name : names) {
    for (const auto& [mine, theirs] : conventions) {
      EXPECT_EQ(sheaf::SarcHash(name, 101, mine), reference::SarcNameHash(name, 101, theirs))
          << name;
    }
  }
  // They agree on ASCII and differ above it.
  EXPECT_EQ(sheaf::SarcHash("abc", 101, sheaf::HashConvention::kUnsigned),
            (97u * 101 + 98) * 101 + 99);
  EXPECT_NE(sheaf::SarcHash("\xC3\x9C", 101, sheaf::HashConvention::kUnsigned),
            sheaf::SarcHash("\xC3\x9C", 101, sheaf::HashConvention::kSigned));
}

TEST(Names, U8OrderOfTheGames) {
  std::vector<std::string> names = {"b", "A", "_x", "1", ".hidden", "a0", "a.b", "B2", "a"};
  std::sort(names.begin(), names.end(), sheaf::U8NameLess);
  // Names equal but for case keep their bytewise order.
  EXPECT_EQ(names,
            (std::vector<std::string>{".hidden", "1", "_x", "A", "a", "a.b", "a0", "b", "B2"}));
}

TEST(Layout, FillsTrailsAndDerivedFields) {
  const uint8_t text[] = "This is padding data to alignmeThis";
  EXPECT_EQ(sheaf::DetectFill(text, 35, {}).kind, sheaf::Fill::kText);
  const uint8_t ff[] = {0xFF, 0xFF, 0xFF};
  EXPECT_EQ(sheaf::DetectFill(ff, 3, {}), (sheaf::Fill{sheaf::Fill::kByte, 0xFF}));
  const uint8_t mixed[] = {1, 2};
  EXPECT_EQ(sheaf::DetectFill(mixed, 2, {sheaf::Fill::kByte, 7}).byte, 7);
  uint8_t out[40];
  sheaf::FillBytes({sheaf::Fill::kText, 0}, out, 40, 30);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "eTh");
  EXPECT_EQ(sheaf::DetectTrail(100, 100).align, 1u);
  EXPECT_EQ(sheaf::DetectTrail(100, 128).align, 32u);
  EXPECT_EQ(sheaf::DetectTrail(100, 103).extra, 3u);
  EXPECT_EQ(sheaf::ApplyTrail({32, 0}, 129), 160u);
  EXPECT_EQ(sheaf::Derive(true, 7, {{5, 50}, {7, 70}}), 70u);
  EXPECT_EQ(sheaf::Derive(true, 9, {{5, 50}, {7, 70}}), 9u);
  EXPECT_EQ(sheaf::Derive(false, 9, {{5, 50}, {7, 70}}), 50u);
  // A kept offset while nothing before it moved; aligned once it has.
  EXPECT_EQ(sheaf::Place(10, 32, {true, 10, 64}), 64u);
  EXPECT_EQ(sheaf::Place(12, 32, {true, 10, 64}), 32u);
}

}  // namespace
