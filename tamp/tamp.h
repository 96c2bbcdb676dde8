// tamp: compresses one file with the Yaz0 scheme.
//
// At every position it visits, the encoder takes the longest match among
// the 4096 positions before it (lengths compared without any cap, the
// earliest of equally long ones), puts a match off by one byte when the
// next position offers one at least two bytes longer, and writes groups of
// eight chunks. MatchFinder finds exactly those matches without trying
// every candidate.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tamp {

// How far back a match may start.
constexpr int kWindow = 4096;

// v with its four bytes in reverse order.
unsigned toDWORD(unsigned v);

// The longest-match search over one input.
//
// The answer at pos depends on the input and pos alone. Among the
// candidates max(0, pos - 4096) .. pos - 1, the best is the one with the
// most equal bytes when compared with pos (the comparison may run into the
// bytes at and after pos and ends only at the first unequal byte or at the
// end of the input); of equally good ones, the earliest.
//
// Positions must be asked in non-decreasing order (as the encoder does:
// a position, perhaps the one after it, then one further on).
class MatchFinder {
 public:
  MatchFinder(const unsigned char* src, int size);

  // The greatest number of equal bytes and the earliest candidate giving
  // it; 0 when no candidate shares four bytes with pos.
  uint32_t find(int pos, int* where);
  void longest(int pos, uint32_t* length, int* where) { *length = find(pos, where); }

  // The encoder's view: the equal bytes less one, where 2 becomes 1 and so
  // does every result below 3 (a literal). The position is stored through
  // matchOut and is meaningful only for results of 3 or more.
  unsigned simpleEnc(int pos, unsigned* matchOut);

 private:
  static constexpr int kRingMask = (1 << 13) - 1;  // more positions than a window
  static constexpr int kHashBits = 16;
  static constexpr int kRunMask = (1 << 11) - 1;  // more runs than fit in a window
  static constexpr int kLevel8Steps = 32;  // steps saved per walk that start the eight-byte chains
  static constexpr int kLevel8Span = 1 << 16;  // and for how many bytes they are kept

  // Per position (a ring over the last positions) whose first four bytes
  // are not all equal: the previous such position with the same hash, and
  // the number of equal bytes from the two.
  struct Link {
    int32_t prev;
    uint32_t shared;
  };

  // A run of at least four equal bytes, [start, end), and the byte after it.
  struct Run {
    int32_t start;
    int32_t end;
    int32_t olderSameTail;  // the previous run of the same byte followed by the same byte
    int32_t newerSameByte;  // the next run of the same byte
    uint8_t byte;
  };

  // A stretch of input with a short period found during a search: every
  // byte in [start + period, end) equals the one period bytes before it.
  // start may be later than the true beginning only if it is no later than
  // the window start of every later search.
  struct Region {
    int period = 0;
    int start = 0;
    int64_t end = 0;
  };

  uint32_t equalRun(int a, int b);
  uint32_t equalRunLong(int a, int b);
  void insertUpTo(int pos);
  void recordRun(int start, int end);
  bool runValid(int32_t id) const { return id >= 0 && id >= runCount_ - (kRunMask + 1); }
  uint32_t findInRuns(int pos, int windowStart, int* where);
  uint32_t findInChain(int pos, int windowStart, int* where);
  void link(Link* ring, int32_t* hops, int x, int32_t before);
  uint32_t walk(const Link* ring, const int32_t* hops, int pos, int windowStart, int* where,
                int* saving);
  int acrossRepeat(int c, int d, uint32_t repeat, int hop, int pos, int windowStart,
                   uint32_t* equal, uint32_t* best, int* bestPos);
  void index8(int x);
  void startLevel8(int pos);

  const unsigned char* src_;
  int size_;
  int next_ = 0;               // positions below this one are indexed (or no longer needed)
  int runStart_ = 0;           // where the run of equal bytes holding position next_ - 1 starts
  std::vector<int32_t> head_;  // per hash of four bytes: the latest position
  std::vector<Link> ring_;
  // Per position (ring): how far back the chain keeps stepping by the same
  // distance d through input that repeats with period d (the position
  // itself when it does not).
  std::vector<int32_t> hopStart_;
  // The same for eight bytes, while level8_: every position from from8_ to
  // last8_ is on them.
  std::vector<int32_t> head8_;
  std::vector<Link> ring8_;
  std::vector<int32_t> hopStart8_;
  bool level8_ = false;
  int from8_ = 0;
  int last8_ = -1;
  int64_t level8Until_ = 0;  // when to look again whether they are needed
  int pressure_ = 0;         // recent steps they would have saved (an average, times 16)
  std::vector<uint32_t> diagFrom_, diagEnd_;  // per distance: a known stretch of equal bytes
  std::vector<Run> runs_;                     // a ring of run records
  int32_t runCount_ = 0;                      // runs recorded so far (ids are 0, 1, ...)
  std::vector<int32_t> tailHead_;             // per (byte, following byte): the latest run
  int32_t newestRun_[256];
  int32_t oldestRun_[256];  // the oldest run of each byte that may be in the window
  Region region_;
};

// The encoder's look-ahead state: a match found at pos + 1 while deciding
// pos, kept for the next call.
struct LookAhead {
  int prevFlag = 0;
  unsigned matchPos = 0;
  unsigned numBytes1 = 0;
};

// The chunk to emit at pos: a length of 1 or 2 means a literal, 3 or more a
// back-reference from the position stored through matchOut.
unsigned nintendoEnc(MatchFinder& finder, LookAhead& state, int pos, unsigned* matchOut);

// Collects the output and writes it to a file descriptor in large blocks.
// Without one, everything stays in memory.
class OutputBuffer {
 public:
  explicit OutputBuffer(int fd = -1);
  void put(const unsigned char* bytes, size_t count);
  // Writes what is pending; false once any write has failed.
  bool flush();
  bool failed() const { return failed_; }
  int error() const { return error_; }
  // Everything put so far (only without a file).
  std::vector<unsigned char> bytes() const { return {buffer_.get(), buffer_.get() + used_}; }

 private:
  void grow(size_t needed);

  int fd_;
  std::unique_ptr<unsigned char[]> buffer_;
  size_t capacity_;
  size_t used_ = 0;
  bool failed_ = false;
  int error_ = 0;
};

// The 16-byte file header for an input of size bytes.
void writeHeader(OutputBuffer& out, int size);

// Writes all groups for src and returns the number of bytes written (code
// bytes and chunks), or -1 when the output could not be written. Progress
// and the done line go to console unless it is null.
int64_t encodeYaz0(const unsigned char* src, int size, OutputBuffer& out, std::FILE* console);

// How a step of the program ended: the exit status (0 when it went well)
// and the whole text for standard error (empty for the silent failures).
struct Outcome {
  int status = 0;
  std::string message;
  bool failed() const { return status != 0; }
};

// Which file a path leads to.
struct FileId {
  bool known = false;
  uint64_t device = 0;
  uint64_t inode = 0;
};

// The file to compress, held whole in memory.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens path and takes its size, which must be known in advance and fit
  // the format's 32-bit field: only plain files and block devices under
  // 2 GiB (a pipe is refused at once, even one that nobody writes to).
  // Status 1, silently, when it cannot be opened.
  Outcome open(const char* path);
  int size() const { return size_; }
  FileId id() const { return id_; }
  // Reads the whole file; it must hold exactly the size taken.
  Outcome read();
  const unsigned char* data() const { return data_.get(); }

 private:
  Outcome refuse(const char* what, const std::string& why);

  std::string path_;
  int fd_ = -1;
  int size_ = 0;
  FileId id_;
  std::unique_ptr<unsigned char[]> data_;
};

// Writes path + ".yaz0" (through symbolic links, to the file they lead to):
// the header and the groups, with progress and result on standard output.
// A plain file is written under a temporary name beside it and renamed over
// it only when whole; a device is written directly. Status 255 when the
// output cannot be created, 1 when it is the input or cannot be written
// (then no part of it is left, and an older file stays as it was).
Outcome encodeAll(const unsigned char* data, int size, const char* path, const FileId& input = {});

}  // namespace tamp
