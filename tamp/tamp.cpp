// The Yaz0 encoder: the match search, the look-ahead, the group writer and
// the output file of tamp.

#include "tamp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "safefs/interrupts.h"
#include "safefs/temporary.h"

namespace tamp {

namespace {

inline uint32_t load32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline uint64_t load64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

}  // namespace

unsigned toDWORD(unsigned v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

MatchFinder::MatchFinder(const unsigned char* src, int size)
    : src_(src),
      size_(size),
      head_(size_t{1} << kHashBits, -1),
      ring_(size_t{kRingMask} + 1, Link{-1, 0}),
      hopStart_(size_t{kRingMask} + 1, 0),
      diagFrom_(kWindow + 1, 0),
      diagEnd_(kWindow + 1, 0),
      runs_(size_t{kRunMask} + 1),
      tailHead_(size_t{1} << 16, -1) {
  std::fill(std::begin(newestRun_), std::end(newestRun_), -1);
  std::fill(std::begin(oldestRun_), std::end(oldestRun_), -1);
}

// The number of equal bytes src[a + j] == src[b + j], j = 0, 1, ..., up to
// the end of the input (a < b, b - a <= kWindow).
inline uint32_t MatchFinder::equalRun(int a, int b) {
  if (b <= size_ - 8) {
    uint64_t diff = load64(src_ + a) ^ load64(src_ + b);
    if (diff != 0) return static_cast<uint32_t>(__builtin_ctzll(diff) >> 3);
  }
  return equalRunLong(a, b);
}

// The same past the first eight bytes. Long stretches are remembered per
// distance: every later position inside one is answered at once.
uint32_t MatchFinder::equalRunLong(int a, int b) {
  const unsigned char* s = src_;
  const int d = b - a;
  if (b > size_ - 8) {
    int j = b;
    while (j < size_ && s[j - d] == s[j]) ++j;
    return static_cast<uint32_t>(j - b);
  }
  if (diagFrom_[d] <= static_cast<uint32_t>(b) && static_cast<uint32_t>(b) < diagEnd_[d]) {
    return diagEnd_[d] - static_cast<uint32_t>(b);
  }
  int j = b + 8;
  for (;;) {
    if (j > size_ - 8) {
      while (j < size_ && s[j - d] == s[j]) ++j;
      break;
    }
    uint64_t diff = load64(s + j - d) ^ load64(s + j);
    if (diff != 0) {
      j += static_cast<int>(__builtin_ctzll(diff) >> 3);
      break;
    }
    j += 8;
  }
  diagFrom_[d] = static_cast<uint32_t>(b);
  diagEnd_[d] = static_cast<uint32_t>(j);
  return static_cast<uint32_t>(j - b);
}

void MatchFinder::recordRun(int start, int end) {
  const int32_t id = runCount_++;
  Run& slot = runs_[static_cast<size_t>(id & kRunMask)];
  if (id > kRunMask) {
    // The record overwritten is far older than any window; if it was the
    // oldest of its byte, the next one takes its place.
    const int32_t gone = id - (kRunMask + 1);
    if (oldestRun_[slot.byte] == gone) {
      oldestRun_[slot.byte] = slot.newerSameByte;
      if (slot.newerSameByte < 0) newestRun_[slot.byte] = -1;
    }
  }
  const uint8_t byte = src_[start];
  const int key = byte << 8 | src_[end];
  slot.start = start;
  slot.end = end;
  slot.olderSameTail = tailHead_[static_cast<size_t>(key)];
  slot.newerSameByte = -1;
  slot.byte = byte;
  tailHead_[static_cast<size_t>(key)] = id;
  if (newestRun_[byte] >= 0)
    runs_[static_cast<size_t>(newestRun_[byte] & kRunMask)].newerSameByte = id;
  newestRun_[byte] = id;
  if (oldestRun_[byte] < 0) oldestRun_[byte] = id;
}

// Puts x on a chain after before: the equal bytes between the two, and,
// when x repeats what is d = x - before bytes back for at least d bytes,
// how far back the chain keeps stepping by d through that repetition.
inline void MatchFinder::link(Link* ring, int32_t* hops, int x, int32_t before) {
  Link& l = ring[x & kRingMask];
  l.prev = before;
  l.shared = (before >= 0 && x - before <= kWindow) ? equalRun(before, x) : 0;
  int32_t hop = x;
  const int d = x - before;
  if (before >= 0 && d <= kWindow && l.shared >= static_cast<uint32_t>(d)) {
    const Link& b = ring[before & kRingMask];
    hop = (b.prev == before - d && b.shared >= static_cast<uint32_t>(d)) ? hops[before & kRingMask]
                                                                         : before;
  }
  hops[x & kRingMask] = hop;
}

// Indexes every position up to pos, starting no earlier than the window of
// pos: older positions can no longer be candidates, and a chain link from
// a position after such a gap to one before it always points before the
// window, where every search stops. Positions whose first four bytes are
// all equal go into run records instead of the hash chains.
inline void MatchFinder::insertUpTo(int pos) {
  const int last = std::min(pos, size_ - 4);
  const int first = std::max(next_, pos - kWindow);
  if (first > last) {
    next_ = std::max(next_, pos + 1);
    return;
  }
  const unsigned char* s = src_;
  auto index = [&](int x) {
    const uint32_t key = load32(s + x);
    if (key == (key & 0xFFu) * 0x01010101u) return;
    const uint32_t h = (key * 2654435761u) >> (32 - kHashBits);
    const int32_t before = head_[h];
    head_[h] = x;
    link(ring_.data(), hopStart_.data(), x, before);
  };
  int x = first;
  if (first != next_ || first == 0) {
    runStart_ = first;  // after a gap, as far back as the window can reach
    if (level8_) from8_ = first;
    index(x);
    if (level8_) index8(x);
    ++x;
  }
  if (level8_) {
    for (; x <= last; ++x) {
      if (s[x - 1] != s[x]) {
        if (x - runStart_ >= 4) recordRun(runStart_, x);
        runStart_ = x;
      }
      index(x);
      index8(x);
    }
    last8_ = last;
  } else {
    for (; x <= last; ++x) {
      if (s[x - 1] != s[x]) {
        if (x - runStart_ >= 4) recordRun(runStart_, x);
        runStart_ = x;
      }
      index(x);
    }
  }
  next_ = std::max(next_, pos + 1);
}

// The chains of positions sharing eight bytes, kept only while the chains
// of four bytes grow long (most data never needs them).
inline void MatchFinder::index8(int x) {
  if (x > size_ - 8) return;
  const uint64_t key = load64(src_ + x);
  const uint32_t low = static_cast<uint32_t>(key);
  if (low == (low & 0xFFu) * 0x01010101u) return;  // found through the run records
  const uint32_t h = static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kHashBits));
  const int32_t before = head8_[h];
  head8_[h] = x;
  link(ring8_.data(), hopStart8_.data(), x, before);
}

// Starts the eight-byte chains at pos: they must hold every position of the
// window. Positions already on them stay; the rest of the window follows
// in order, so that a chain never runs backwards.
void MatchFinder::startLevel8(int pos) {
  if (head8_.empty()) {
    head8_.assign(size_t{1} << kHashBits, -1);
    ring8_.assign(size_t{kRingMask} + 1, Link{-1, 0});
    hopStart8_.assign(size_t{kRingMask} + 1, 0);
  }
  const int windowStart = std::max(0, pos - kWindow);
  int x = last8_ + 1;
  if (x < windowStart) {
    x = windowStart;
    from8_ = windowStart;
  }
  const int last = std::min(next_ - 1, size_ - 4);
  for (; x <= last; ++x) index8(x);
  last8_ = std::max(last8_, last);
  level8_ = true;
  level8Until_ = static_cast<int64_t>(pos) + kLevel8Span;
}

uint32_t MatchFinder::find(int pos, int* where) {
  *where = 0;
  if (size_ - pos < 4) return 0;  // fewer than four bytes left: no match worth one
  const int windowStart = std::max(0, pos - kWindow);

  // Deep inside a stretch of short period found before: the answer follows
  // from the stretch alone (see findInChain).
  const Region& r = region_;
  if (r.period != 0 && pos - r.period >= r.start && r.end - pos >= kWindow + r.period) {
    const int from = std::max(r.start, windowStart);
    *where = pos - (pos - from) / r.period * r.period;
    return static_cast<uint32_t>(r.end - pos);
  }

  insertUpTo(pos);
  const uint32_t key = load32(src_ + pos);
  if (key == (key & 0xFFu) * 0x01010101u) return findInRuns(pos, windowStart, where);
  if (ring_[static_cast<size_t>(pos & kRingMask)].prev < windowStart)
    return 0;  // nothing shares four bytes
  return findInChain(pos, windowStart, where);
}

// pos starts with a run of R >= 4 bytes b. A candidate x starting with b
// lies in a run [start, end) of b and repeats b end - x times; it matches
// pos for min(end - x, R) bytes, or, when end - x == R, for R bytes and as
// many more as the bytes after the two runs have in common. So:
//  - more than R only from x = end - R of a run at least R long followed
//    by the byte that follows the run at pos (one list per run byte and
//    following byte);
//  - else R, from the earliest x with end - x >= R: the start of the
//    oldest run long enough, or of the run holding pos;
//  - else the longest run in the window, from its start.
uint32_t MatchFinder::findInRuns(int pos, int windowStart, int* where) {
  const unsigned char b = src_[pos];
  const uint32_t length = 1 + equalRun(pos, pos + 1);
  const int len = static_cast<int>(length);
  const bool inRun = runStart_ < pos;  // the run holding pos started before it

  if (inRun && length >= static_cast<uint32_t>(kWindow + 1)) {
    // A run reaching this far ahead: every later search inside it, up to
    // kWindow + 1 bytes before its end, has the same form of answer.
    region_.period = 1;
    region_.start = runStart_;
    region_.end = static_cast<int64_t>(pos) + length;
    *where = std::max(runStart_, windowStart);
    return length;
  }

  uint32_t best = 0;
  int bestPos = 0;
  if (pos + len < size_) {
    const int tail = pos + len;
    int32_t id = tailHead_[static_cast<size_t>(b << 8 | src_[tail])];
    while (runValid(id)) {
      const Run& run = runs_[static_cast<size_t>(id & kRunMask)];
      const int x = run.end - len;
      if (x < windowStart) break;  // older runs end earlier still
      if (x >= run.start) {
        const uint32_t equal = length + equalRun(run.end, tail);
        if (equal >= best) {
          best = equal;
          bestPos = x;
        }
      }
      id = run.olderSameTail;
    }
    if (best != 0) {
      *where = bestPos;
      return best;
    }
  }

  // Runs of b in the window, oldest first.
  int32_t id = oldestRun_[b];
  while (id >= 0 && runs_[static_cast<size_t>(id & kRunMask)].end <= windowStart) {
    id = runs_[static_cast<size_t>(id & kRunMask)].newerSameByte;
  }
  oldestRun_[b] = id;
  if (id < 0) newestRun_[b] = -1;
  for (; id >= 0; id = runs_[static_cast<size_t>(id & kRunMask)].newerSameByte) {
    const Run& run = runs_[static_cast<size_t>(id & kRunMask)];
    const int from = std::max(run.start, windowStart);
    const uint32_t equal = static_cast<uint32_t>(run.end - from);
    if (equal >= length) {
      *where = from;
      return length;
    }
    if (equal > best) {
      best = equal;
      bestPos = from;
    }
  }
  if (inRun) {
    *where = std::max(runStart_, windowStart);
    return length;
  }
  *where = bestPos;
  return best;
}

// pos starts with four bytes not all equal: the candidates sharing them are
// on the hash chain of pos.
uint32_t MatchFinder::findInChain(int pos, int windowStart, int* where) {
  const Link* ring = ring_.data();
  const int32_t nearest = ring[pos & kRingMask].prev;

  // The nearest position sharing four bytes, at distance d, matches for at
  // least kWindow + d bytes: the input from there on repeats with period d
  // up to end = pos + run. d is then the shortest period of that stretch
  // (a shorter one would have given a nearer position with the same four
  // bytes), and with the stretch reaching that far past pos:
  //  - every candidate pos - k*d inside the stretch matches exactly up to
  //    end, as the byte at end differs from the one d before it;
  //  - any other candidate inside the stretch matching that far would give
  //    the stretch a shorter period, the greatest common divisor of both;
  //  - a candidate before the stretch matching that far would overlap it by
  //    at least d bytes with the same period, so the stretch would start
  //    earlier.
  // So the best is end - pos, from the earliest pos - k*d in the stretch
  // and the window.
  const uint32_t run = ring[pos & kRingMask].shared;
  const int d = pos - nearest;
  if (run >= static_cast<uint32_t>(kWindow + d)) {
    const int64_t end = static_cast<int64_t>(pos) + run;
    if (region_.period != d || region_.end != end) {
      int x = nearest - 1;
      while (x >= windowStart && src_[x] == src_[x + d]) --x;
      region_.period = d;
      region_.start = x + 1;
      region_.end = end;
    }
    const int from = std::max(region_.start, windowStart);
    *where = pos - (pos - from) / d * d;
    return run;
  }

  // Candidates sharing eight bytes are on a chain of their own: when it
  // holds one, the best is among them.
  if (level8_) {
    if (pos > level8Until_) {
      level8_ = false;  // look again whether the four-byte chains need them
      pressure_ = 0;
    } else if (from8_ <= windowStart && pos <= size_ - 8 &&
               ring8_[pos & kRingMask].prev >= windowStart) {
      int where8;
      int saving = 0;
      const uint32_t best8 =
          walk(ring8_.data(), hopStart8_.data(), pos, windowStart, &where8, &saving);
      if (best8 >= 8) {
        *where = where8;
        return best8;
      }
    }
  }
  int saving = 0;
  const uint32_t best = walk(ring, hopStart_.data(), pos, windowStart, where, &saving);
  if (!level8_) {
    // A running average of the steps the eight-byte chains would have
    // saved (positions sharing fewer than eight bytes), times 16.
    pressure_ += saving - (pressure_ >> 4);
    if (pressure_ > 16 * kLevel8Steps) startLevel8(pos);
  }
  return best;
}

// Walks a chain from pos to the oldest position in the window, counting in
// saving the positions found to share fewer than eight bytes with pos.
// Knowing the equal bytes between pos and one position c, and between c and
// the next older position, gives those between pos and the older one
// directly unless the two counts are the same; then only the bytes after
// them need comparing.
inline uint32_t MatchFinder::walk(const Link* ring, const int32_t* hops, int pos, int windowStart,
                                  int* where, int* saving) {
  uint32_t equal = static_cast<uint32_t>(size_ - pos);
  uint32_t best = 0;
  int bestPos = 0;
  int c = pos;
  for (;; *saving += equal < 8) {
    const Link l = ring[c & kRingMask];
    const int older = l.prev;
    if (older < windowStart) break;
    const int hop = hops[c & kRingMask];
    if (hop < older) {  // two or more steps back by the same distance
      c = acrossRepeat(c, c - older, l.shared, hop, pos, windowStart, &equal, &best, &bestPos);
      continue;
    }
    if (l.shared == equal) {
      equal += equalRun(older + static_cast<int>(equal), pos + static_cast<int>(equal));
    } else {
      equal = std::min(equal, l.shared);
    }
    const bool better = equal >= best;
    best = better ? equal : best;
    bestPos = better ? older : bestPos;
    c = older;
  }
  *where = bestPos;
  return best;
}

// The chain goes from c back by d at a time to hop, through a stretch that
// repeats with period d and ends at e = c + repeat (the byte at e differs
// from the one d before it). From x = c - k*d the stretch goes on for
// e - x bytes. With R the number of bytes from pos that follow the same
// pattern, x matches pos for min(e - x, R) bytes, or, when e - x == R, for
// R bytes and as many more as the bytes from e and from pos + R have in
// common. *equal holds the equal bytes between pos and c on entry and
// between pos and the stretch's oldest position in the window on return;
// that position is returned.
int MatchFinder::acrossRepeat(int c, int d, uint32_t repeat, int hop, int pos, int windowStart,
                              uint32_t* equal, uint32_t* best, int* bestPos) {
  const int start = hop >= windowStart ? hop : c - (c - windowStart) / d * d;
  const uint32_t toStart = static_cast<uint32_t>(c - start);  // e - start is repeat + toStart
  auto offer = [&](uint32_t value, int x) {
    if (value >= *best) {
      *best = value;
      *bestPos = x;
    }
  };
  if (*equal != repeat) {
    // Below the stretch's length pos leaves the pattern where c does not;
    // above it pos follows c past the stretch's end and so leaves the
    // pattern exactly there. Either way every older x, whose stretch is
    // longer, matches the smaller of the two.
    *equal = std::min(*equal, repeat);
    offer(*equal, start);
    return start;
  }
  const uint32_t r =
      repeat + equalRun(pos + static_cast<int>(repeat) - d, pos + static_cast<int>(repeat));
  const uint32_t beyond = r - repeat;  // how much further pos follows the pattern than c does
  if (beyond == 0) {
    offer(r, start);  // every older x follows it further than pos does
    return start;
  }
  if (beyond % static_cast<uint32_t>(d) == 0 && beyond <= toStart) {
    // The x whose stretch is exactly R long may match beyond it; older
    // ones match R bytes, nearer ones fewer.
    const int exact = c - static_cast<int>(beyond);
    const uint32_t more = r + equalRun(c + static_cast<int>(repeat), pos + static_cast<int>(r));
    offer(more, exact);
    if (exact > start) offer(r, start);
    *equal = exact > start ? r : more;
    return start;
  }
  if (repeat + toStart > r) {
    offer(r, start);  // older ones follow the pattern further than pos
    *equal = r;
  } else {
    *equal = repeat + toStart;  // none reaches R: the oldest matches most
    offer(*equal, start);
  }
  return start;
}

unsigned MatchFinder::simpleEnc(int pos, unsigned* matchOut) {
  int where;
  const uint32_t length = find(pos, &where);
  if (length < 4) {
    *matchOut = 0;
    return 1;
  }
  *matchOut = static_cast<unsigned>(where);
  return length - 1;
}

unsigned nintendoEnc(MatchFinder& finder, LookAhead& state, int pos, unsigned* matchOut) {
  if (state.prevFlag == 1) {
    *matchOut = state.matchPos;
    state.prevFlag = 0;
    return state.numBytes1;
  }
  state.prevFlag = 0;
  unsigned numBytes = finder.simpleEnc(pos, &state.matchPos);
  *matchOut = state.matchPos;
  if (numBytes <= 2) return numBytes;
  state.numBytes1 = finder.simpleEnc(pos + 1, &state.matchPos);
  if (numBytes + 2 > state.numBytes1) return numBytes;
  state.prevFlag = 1;
  return 1;
}

namespace {
constexpr size_t kBlock = size_t{1} << 20;  // bytes written to the file at a time
}

OutputBuffer::OutputBuffer(int fd)
    : fd_(fd), buffer_(new unsigned char[kBlock]), capacity_(kBlock) {}

void OutputBuffer::grow(size_t needed) {
  size_t capacity = std::max(capacity_ * 2, needed);
  std::unique_ptr<unsigned char[]> bigger(new unsigned char[capacity]);
  std::memcpy(bigger.get(), buffer_.get(), used_);
  buffer_ = std::move(bigger);
  capacity_ = capacity;
}

void OutputBuffer::put(const unsigned char* bytes, size_t count) {
  if (used_ + count > capacity_) {
    if (fd_ >= 0) flush();
    if (used_ + count > capacity_) grow(used_ + count);
  }
  std::memcpy(buffer_.get() + used_, bytes, count);
  used_ += count;
}

bool OutputBuffer::flush() {
  if (fd_ < 0) return true;
  size_t done = 0;
  while (!failed_ && done < used_) {
    const ssize_t n = write(fd_, buffer_.get() + done, used_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      error_ = n < 0 ? errno : ENOSPC;
    } else {
      done += static_cast<size_t>(n);
    }
  }
  used_ = 0;
  return !failed_;
}

void writeHeader(OutputBuffer& out, int size) {
  unsigned char header[16] = {'Y', 'a', 'z', '0'};
  unsigned bigEndian = toDWORD(static_cast<unsigned>(size));
  std::memcpy(header + 4, &bigEndian,
              4);  // in the (little-endian) host's order: big-endian in the file
  out.put(header, sizeof header);
}

int64_t encodeYaz0(const unsigned char* src, int size, OutputBuffer& out, std::FILE* console) {
  MatchFinder finder(src, size);
  LookAhead state;
  unsigned char group[1 + 24];
  int groupLength = 1;
  int chunks = 0;
  int64_t total = 0;  // up to 9/8 of the input: more than an int holds near 2 GiB
  int pos = 0;
  int shown = -1;
  int64_t nextShown = 0;  // the first position whose percentage differs from the one shown
  group[0] = 0;
  while (pos < size) {
    unsigned match = 0;
    unsigned n = nintendoEnc(finder, state, pos, &match);
    if (n <= 2) {
      group[groupLength++] = src[pos];
      pos++;
      group[0] |= static_cast<unsigned char>(0x80 >> chunks);
    } else {
      unsigned distance = static_cast<unsigned>(pos) - match - 1;
      if (n <= 17) {
        group[groupLength++] = static_cast<unsigned char>(((n - 2) << 4) | (distance >> 8));
        group[groupLength++] = static_cast<unsigned char>(distance & 0xFF);
      } else {
        group[groupLength++] = static_cast<unsigned char>(distance >> 8);
        group[groupLength++] = static_cast<unsigned char>(distance & 0xFF);
        if (n > 0x111) n = 0x111;
        group[groupLength++] = static_cast<unsigned char>(n - 18);
      }
      pos += static_cast<int>(n);
    }
    chunks++;
    if (chunks == 8) {
      out.put(group, static_cast<size_t>(groupLength));
      if (out.failed()) return -1;
      total += groupLength;
      group[0] = 0;
      groupLength = 1;
      chunks = 0;
    }
    // The share of the input done, never above 100 even though the
    // position counted is one past the last byte consumed.
    if (pos >= nextShown) {
      int percent =
          static_cast<int>(std::min<int64_t>(100, (static_cast<int64_t>(pos) + 1) * 100 / size));
      if (percent != shown) {
        shown = percent;
        if (console != nullptr) {
          std::fprintf(console, "\r %3d%%", percent);
          std::fflush(console);
        }
      }
      // (p + 1) * 100 / size first exceeds the percentage shown at
      // p + 1 = ceil((shown + 1) * size / 100).
      nextShown =
          shown >= 100 ? INT64_MAX : ((static_cast<int64_t>(shown) + 1) * size + 99) / 100 - 1;
    }
  }
  if (chunks != 0) {
    out.put(group, static_cast<size_t>(groupLength));
    total += groupLength;
  }
  if (!out.flush()) return -1;
  if (console != nullptr) std::fprintf(console, "\r done\n");
  return total;
}

namespace {

// The temporary output, for the handler that removes it when the run is
// interrupted (Ctrl-C, kill, a hang-up): a cut-off file must not be left.
// Set only while those signals are blocked.
const char* volatile g_tempPath = nullptr;
volatile std::sig_atomic_t g_tempExists = 0;
// An old output rewritten in place, emptied when the run is interrupted.
volatile std::sig_atomic_t g_inPlaceFd = -1;

void discardOutputAndStop(int sig) {
  if (g_tempExists) {
    unlink(g_tempPath);
  } else if (g_inPlaceFd >= 0 && ftruncate(g_inPlaceFd, 0) != 0) {
    // Nothing more can be done.
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

constexpr int kInterrupts[3] = {SIGINT, SIGTERM, SIGHUP};

// The output file while it is written. A plain file is written under a
// temporary name in its folder and renamed over the old one only when
// whole; a device (/dev/full, a terminal) is written directly. Where the
// folder lets no new file be made but the old file may be written, it is
// rewritten in place.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() { abandon(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Status 255 when it cannot be created, 1 when it is the input.
  Outcome open(const std::string& name, const FileId& input);
  int fd() const { return fd_; }
  // Closes the file and puts it in place: 0, or the error.
  int finish();
  // Leaves no part of the new output; an old one stays unless rewritten in
  // place, where it is emptied.
  void abandon();

 private:
  enum class Mode { kNone, kReplace, kDirect, kInPlace };

  void catchInterrupts();
  void restoreInterrupts();

  std::string target_;
  std::string temp_;
  Mode mode_ = Mode::kNone;
  int fd_ = -1;
  std::optional<struct stat> replaced_;  // the old file, if any
  bool catching_ = false;
  struct sigaction old_[3];
};

Outcome OutputFile::open(const std::string& name, const FileId& input) {
  const Outcome cannotCreate{255, ""};
  if (safefs::FollowLinks(name, &target_) != 0) return cannotCreate;
  struct stat st;
  const bool exists = stat(target_.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return cannotCreate;
  if (exists && input.known && static_cast<uint64_t>(st.st_dev) == input.device &&
      static_cast<uint64_t>(st.st_ino) == input.inode) {
    return {1, "tamp: cannot write " + name + ": it is the input file\n"};
  }
  if (exists && S_ISDIR(st.st_mode)) return cannotCreate;
  if (exists && !S_ISREG(st.st_mode)) {
    mode_ = Mode::kDirect;
    fd_ = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    return fd_ >= 0 ? Outcome{} : cannotCreate;
  }
  // A file that may not be written is not replaced either.
  if (exists && access(target_.c_str(), W_OK) != 0) return cannotCreate;
  if (exists) replaced_ = st;

  const std::string folder = safefs::FolderOf(target_);
  const std::string base = target_.substr(folder.size());
  temp_ = folder + (base.size() + 12 <= NAME_MAX ? "." + base : std::string()) + ".tamp-XXXXXX";
  {
    safefs::InterruptsBlocked block;
    fd_ = mkostemp(temp_.data(), O_CLOEXEC);
    if (fd_ >= 0) {
      mode_ = Mode::kReplace;
      g_tempPath = temp_.c_str();
      g_tempExists = 1;
      catchInterrupts();
      return {};
    }
  }
  const int error = errno;
  if (exists && (error == EACCES || error == EPERM || error == EROFS)) {
    safefs::InterruptsBlocked block;
    fd_ = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd_ >= 0) {
      mode_ = Mode::kInPlace;
      g_inPlaceFd = fd_;
      catchInterrupts();
      return {};
    }
  }
  return cannotCreate;
}

void OutputFile::catchInterrupts() {
  struct sigaction action = {};
  action.sa_handler = discardOutputAndStop;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 3; ++i) sigaction(kInterrupts[i], &action, &old_[i]);
  catching_ = true;
}

void OutputFile::restoreInterrupts() {
  if (!catching_) return;
  for (int i = 0; i < 3; ++i) sigaction(kInterrupts[i], &old_[i], nullptr);
  catching_ = false;
}

int OutputFile::finish() {
  if (mode_ == Mode::kReplace) {
    // The new file takes the old one's permissions and, where the system
    // allows (for the superuser), its owner; a new name the usual ones.
    mode_t perms = replaced_ ? replaced_->st_mode & 07777 : 0;
    if (replaced_ && (replaced_->st_uid != geteuid() || replaced_->st_gid != getegid()) &&
        fchown(fd_, replaced_->st_uid, replaced_->st_gid) != 0) {
      // Only the superuser can give the file back to its owner.
    }
    if (!replaced_) {
      const mode_t mask = umask(0);
      umask(mask);
      perms = 0666 & ~mask;
    }
    if (fchmod(fd_, perms) != 0) return errno;
  }
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) return errno;
  safefs::InterruptsBlocked block;
  if (mode_ == Mode::kReplace) {
    if (rename(temp_.c_str(), target_.c_str()) != 0) return errno;
    g_tempExists = 0;
  }
  g_inPlaceFd = -1;
  restoreInterrupts();
  mode_ = Mode::kNone;
  return 0;
}

void OutputFile::abandon() {
  safefs::InterruptsBlocked block;
  if (mode_ == Mode::kInPlace && fd_ >= 0 && ftruncate(fd_, 0) != 0) {
    // The old output is already gone; an empty file is all that is left.
  }
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (mode_ == Mode::kReplace) {
    unlink(temp_.c_str());
    g_tempExists = 0;
  }
  g_inPlaceFd = -1;
  restoreInterrupts();
  mode_ = Mode::kNone;
}

}  // namespace

Outcome encodeAll(const unsigned char* data, int size, const char* path, const FileId& input) {
  const std::string name = std::string(path) + ".yaz0";
  OutputFile file;
  if (Outcome opened = file.open(name, input); opened.failed()) return opened;
  std::printf("Writing %s\n", name.c_str());
  std::fflush(stdout);

  int error = 0;
  int64_t total = 0;
  try {
    OutputBuffer out(file.fd());
    writeHeader(out, size);
    total = encodeYaz0(data, size, out, stdout);
    error = total < 0 ? out.error() : file.finish();
  } catch (const std::bad_alloc&) {
    error = ENOMEM;
  }
  if (error != 0) {
    file.abandon();
    // The newline ends the progress line where both share a terminal.
    return {1, "\ntamp: cannot write " + name + ": " + std::strerror(error) + "\n"};
  }
  std::printf("Encoded %lld bytes from input\n", static_cast<long long>(total));
  return {};
}

InputFile::~InputFile() {
  if (fd_ >= 0) close(fd_);
}

Outcome InputFile::refuse(const char* what, const std::string& why) {
  return {1, std::string("tamp: ") + what + " " + path_ + ": " + why + "\n"};
}

Outcome InputFile::open(const char* path) {
  path_ = path;
  // Without waiting: a FIFO that nobody writes to would block the open.
  fd_ = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return {1, ""};
  struct stat st;
  if (fstat(fd_, &st) != 0) return refuse("cannot take the size of", std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return refuse("cannot read", std::strerror(EISDIR));
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    return refuse("cannot take the size of", "not a plain file");
  }
  const int flags = fcntl(fd_, F_GETFL);
  if (flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return refuse("cannot read", std::strerror(errno));
  }
  id_ = {true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  off_t size = st.st_size;  // a block device tells its size by seeking
  if (S_ISBLK(st.st_mode)) {
    size = lseek(fd_, 0, SEEK_END);
    if (size < 0 || lseek(fd_, 0, SEEK_SET) != 0) {
      return refuse("cannot take the size of", std::strerror(errno));
    }
  }
  if (size > INT_MAX) {
    return refuse("cannot compress", "files of 2 GiB or more do not fit the format");
  }
  size_ = static_cast<int>(size);
  return {};
}

Outcome InputFile::read() {
  data_.reset(new (std::nothrow) unsigned char[size_ > 0 ? static_cast<size_t>(size_) : 1]);
  if (!data_) return refuse("cannot read", "not enough memory");
  size_t got = 0;
  while (got < static_cast<size_t>(size_)) {
    const ssize_t n = ::read(fd_, data_.get() + got, static_cast<size_t>(size_) - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return refuse("cannot read", std::strerror(errno));
    if (n == 0) return refuse("cannot read", "the file is shorter than its size");
    got += static_cast<size_t>(n);
  }
  // The end must come where the size says: bytes beyond it (a kernel file
  // whose size reads 0, a file that grows) would be left out silently.
  for (;;) {
    unsigned char beyond;
    const ssize_t n = ::read(fd_, &beyond, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return refuse("cannot read", std::strerror(errno));
    if (n > 0) return refuse("cannot read", "the file is longer than its size");
    break;
  }
  close(fd_);
  fd_ = -1;
  return {};
}

}  // namespace tamp
