// libFuzzer harness for untamp's decoder. The first byte chooses:
//   bits 0-1  0: the rest is a whole file;
//             1: the rest is groups after a made-up header whose decoded
//                size is the next three bytes;
//             2, 3: the rest is data, compressed with tamp's encoder and
//                decoded again, which must give it back exactly;
//   bits 2-7  how many bytes the source hands out per read (0: all at
//             once), to cut the data at every place a pipe could.
// Decoded files must give the same bytes, verdict and offset as the plain
// byte-at-a-time decoder, and whatever reached the sink before a failure
// must be what the plain decoder had decoded there.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "plain_untamp.h"
#include "tamp.h"
#include "untamp.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "untamp fuzz: %s\n", what);
    std::abort();
  }
}

plain::Verdict verdictOf(untamp::Problem problem) {
  switch (problem) {
    case untamp::Problem::kNone:
      return plain::Verdict::kDecoded;
    case untamp::Problem::kTruncated:
      return plain::Verdict::kTruncated;
    case untamp::Problem::kBeforeStart:
      return plain::Verdict::kBeforeStart;
    case untamp::Problem::kPastEnd:
      return plain::Verdict::kPastEnd;
    case untamp::Problem::kEmpty:
    case untamp::Problem::kShortHeader:
    case untamp::Problem::kBadMagic:
      return plain::Verdict::kNotYaz0;
    default:
      check(false, "a read or write failed without a reason");
      return plain::Verdict::kNotYaz0;
  }
}

untamp::Outcome decodeInPieces(const std::vector<uint8_t>& file, size_t piece,
                               std::vector<uint8_t>* out) {
  untamp::MemorySource source(file.data(), file.size(), piece);
  untamp::VectorSink sink;
  const untamp::Outcome outcome = untamp::decode(source, sink);
  *out = std::move(sink.bytes);
  return outcome;
}

void checkAgainstPlain(const std::vector<uint8_t>& file, size_t piece) {
  std::vector<uint8_t> bytes;
  const untamp::Outcome outcome = decodeInPieces(file, piece, &bytes);
  const plain::Decoded expected = plain::decode(file.data(), file.size());
  check(verdictOf(outcome.problem) == expected.verdict, "the verdicts differ");
  check(outcome.decoded == expected.bytes.size(), "the decoded counts differ");
  check(bytes.size() <= expected.bytes.size(), "more bytes reached the sink than were decoded");
  for (size_t i = 0; i < bytes.size(); ++i) check(bytes[i] == expected.bytes[i], "bytes differ");
  if (outcome.ok()) {
    check(bytes.size() == expected.bytes.size(), "bytes missing from the sink");
    check(outcome.consumed <= file.size(), "more consumed than there is");
  } else if (expected.verdict != plain::Verdict::kNotYaz0) {
    check(outcome.offset == expected.offset, "the offsets differ");
  }
  check(!untamp::describe(outcome).empty(), "no description");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned mode = data[0] & 3;
  const size_t piece = data[0] >> 2;
  const std::vector<uint8_t> rest(data + 1, data + size);
  if (mode == 0) {
    checkAgainstPlain(rest, piece);
  } else if (mode == 1) {
    if (rest.size() < 3) return 0;
    std::vector<uint8_t> file = {'Y', 'a', 'z', '0', 0, rest[0], rest[1], rest[2]};
    file.resize(untamp::kHeaderSize, 0);
    file.insert(file.end(), rest.begin() + 3, rest.end());
    checkAgainstPlain(file, piece);
  } else {
    tamp::OutputBuffer encoded;
    const int length = static_cast<int>(rest.size());
    tamp::writeHeader(encoded, length);
    check(tamp::encodeYaz0(rest.data(), length, encoded, nullptr) >= 0, "tamp failed");
    std::vector<uint8_t> bytes;
    const untamp::Outcome outcome = decodeInPieces(encoded.bytes(), piece, &bytes);
    check(outcome.ok(), "tamp's output does not decode");
    check(bytes == rest, "decode(encode(x)) differs from x");
    check(outcome.consumed == encoded.bytes().size(), "tamp's output not used whole");
  }
  return 0;
}
