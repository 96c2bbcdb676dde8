// untamp: decodes Yaz0 files, the other half of tamp.
//
// The decoder streams: it reads the compressed data in blocks from a Source
// and hands the decoded data in blocks to a Sink, keeping only the last 4096
// bytes of output (the farthest a back-reference reaches) between blocks, so
// its memory does not grow with the file. Around it: the output's name from
// the input's, an output file written beside its target and renamed into
// place when whole, and the removal of that temporary file on an interrupt.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "safefs/temporary.h"

namespace untamp {

// "Yaz0", the decoded size (big-endian), 8 bytes of any value.
constexpr size_t kHeaderSize = 16;
// How far back a reference reaches, and the longest one.
constexpr size_t kWindow = 4096;
constexpr size_t kLongestChunk = 0x111;

// Where the compressed data comes from.
class Source {
 public:
  virtual ~Source() = default;
  // Reads up to capacity bytes (capacity > 0): the count, 0 at the end of
  // the data, or -errno.
  virtual long read(uint8_t* buffer, size_t capacity) = 0;
};

// Where the decoded data goes. The decoder writes in large blocks; the first
// block holds at least the first four bytes unless the whole output is
// shorter (naming a .szs file's output needs them).
class Sink {
 public:
  virtual ~Sink() = default;
  // 0, or the errno of a failed write.
  virtual int write(const uint8_t* data, size_t size) = 0;
};

// A file descriptor, read until its end.
class FdSource : public Source {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  long read(uint8_t* buffer, size_t capacity) override;

 private:
  int fd_;
};

// Bytes in memory, handed out at most piece bytes at a time (0: all at
// once), as a pipe would.
class MemorySource : public Source {
 public:
  explicit MemorySource(const uint8_t* data, size_t size, size_t piece = 0)
      : data_(data), size_(size), piece_(piece) {}
  long read(uint8_t* buffer, size_t capacity) override;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t piece_;
  size_t at_ = 0;
};

// Collects everything in memory.
class VectorSink : public Sink {
 public:
  int write(const uint8_t* data, size_t size) override;
  std::vector<uint8_t> bytes;
};

// Discards everything (untamp -t).
class NullSink : public Sink {
 public:
  int write(const uint8_t*, size_t) override { return 0; }
};

// Writes everything to a file descriptor.
class FdSink : public Sink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  int write(const uint8_t* data, size_t size) override;

 private:
  int fd_;
};

// Holds the first `hold` bytes back and writes nothing of them unless more
// follow or finish() is called: a damaged stream that fails early then
// leaves nothing behind on a console or pipe.
class HoldingSink : public Sink {
 public:
  HoldingSink(Sink& inner, size_t hold) : inner_(inner), hold_(hold) {}
  int write(const uint8_t* data, size_t size) override;
  // Writes what is held: 0 or an errno.
  int finish();

 private:
  Sink& inner_;
  size_t hold_;
  bool passing_ = false;
  std::vector<uint8_t> held_;
};

// What went wrong, if anything.
enum class Problem {
  kNone,
  kEmpty,        // no bytes at all
  kShortHeader,  // fewer than 16 bytes
  kBadMagic,     // not starting with "Yaz0"
  kTruncated,    // the data ends before the decoded size is reached
  kBeforeStart,  // a back-reference reaching before the start of the output
  kPastEnd,      // a back-reference running past the decoded size
  kReadFailed,   // the source reported an error
  kWriteFailed,  // the sink reported an error
};

struct Outcome {
  Problem problem = Problem::kNone;
  int error = 0;          // errno of a failed read or write
  uint32_t declared = 0;  // the decoded size from the header
  uint64_t decoded = 0;   // bytes decoded (all handed to the sink on success)
  uint64_t consumed = 0;  // compressed bytes used, header included
  uint64_t offset = 0;    // where the problem lies in the compressed data
  uint32_t distance = 0;  // of the faulty back-reference
  uint32_t length = 0;    // of the faulty back-reference
  uint8_t magic[4] = {};  // the first bytes, for kBadMagic
  size_t magicSize = 0;
  bool ok() const { return problem == Problem::kNone; }
};

// Decodes one stream. Stops at the decoded size: what follows is padding
// and is not read further than the block that holds it.
Outcome decode(Source& source, Sink& sink);

// What is wrong, in words, for "untamp: NAME: <this>".
std::string describe(const Outcome& outcome);

// The Yaz0 stream of one buffer, decoded whole (tests and the fuzz harness).
Outcome decodeBuffer(const uint8_t* data, size_t size, std::vector<uint8_t>* out);

// How an input's name gives its output's name.
enum class Naming {
  kDropSuffix,  // NAME.yaz0 -> NAME
  kByContent,   // NAME.szs -> NAME.sarc, NAME.u8 or NAME.bin
  kUnknown,     // any other name
  kNoStem,      // only the suffix (".szs", "dir/.yaz0"): nothing to name it after
};

// Suffixes are matched without regard to case.
Naming namingOf(std::string_view input);

// The output's name; head holds the decoded data's first bytes (up to 4)
// and matters only for kByContent.
std::string outputName(std::string_view input, const uint8_t* head, size_t headSize);

// A file written beside its target under a temporary name and renamed into
// place only when whole. The target may be fixed in advance or named from
// the first bytes written. Until commit() succeeds, an interrupt (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT) removes the temporary file before the program
// ends; destroying the object without commit() removes it too.
class FileOutput : public Sink {
 public:
  // Why the output was refused before anything was written.
  enum class Refusal { kNone, kExists, kNotRegular, kIsInput, kCannotCreate };

  // target: the output's name when known; otherwise input gives it through
  // outputName() once the first bytes are known. inputDevice/inputInode
  // identify the input (an output that is the input is refused).
  FileOutput(std::string target, std::string input, bool force, dev_t inputDevice,
             ino_t inputInode);
  ~FileOutput() override;
  FileOutput(const FileOutput&) = delete;
  FileOutput& operator=(const FileOutput&) = delete;

  int write(const uint8_t* data, size_t size) override;
  // Creates the file if nothing was written, closes it and renames it into
  // place: 0 or an errno (then nothing is left behind).
  int commit();
  // Removes the temporary file, if any.
  void discard();

  // The name the output has or will have (empty while unknown).
  const std::string& target() const { return target_; }
  Refusal refusal() const { return refusal_; }
  // Why: an errno for kCannotCreate and for a failed commit.
  int error() const { return error_; }

 private:
  int start(const uint8_t* head, size_t headSize);

  std::string target_;
  std::string input_;
  bool force_;
  dev_t inputDevice_;
  ino_t inputInode_;
  safefs::TemporaryFile file_{
      safefs::TemporaryNaming{"untamp", safefs::TemporaryNaming::Form::kBeside}};
  bool started_ = false;
  Refusal refusal_ = Refusal::kNone;
  int error_ = 0;
};

// Checks, before any decoding, whether target may be written: the same
// tests FileOutput makes when it starts.
FileOutput::Refusal checkTarget(const std::string& target, bool force, dev_t inputDevice,
                                ino_t inputInode);

// What to do with every FILE, as the command line says.
struct Job {
  bool toConsole = false;  // -c: the decoded data to standard output
  bool checkOnly = false;  // -t: decode and check only
  bool force = false;      // -f: replace an existing output
  bool haveOut = false;    // -o OUT: the one FILE into OUT
  std::string out;
  bool countCompressed = false;  // -v: the compressed size is wanted
};

// What became of one FILE.
struct FileResult {
  bool ok = false;
  std::string problem;      // when not ok: what is wrong, for "untamp: NAME: <this>"
  uint64_t compressed = 0;  // the input's size, or the bytes read from a stream
  uint64_t decoded = 0;
  std::string where;  // the output file, "standard output" or "checked"
};

// Decodes one FILE ("-" is standard input) as the job says: checks the
// output's name and target first, decodes, and puts the output in place
// only when whole.
FileResult decodeFile(const Job& job, const std::string& path);

// Prepares the process: interrupts remove an unfinished FileOutput's
// temporary file; a file-size limit makes writes fail (reported) instead of
// killing the program.
void installSignalHandling();

}  // namespace untamp
