// tamp-samples: writes the example inputs of the benchmark and the demo.
//
//   tamp-samples KIND SIZE OUTPUT [SEED]
//
// KIND is one of
//   game    structured game-like binary: object records with counters, vertex
//           float tables, index strips, name tables, zero padding;
//   text    English-like prose;
//   random  uniformly random bytes;
//   zeros   zero bytes;
//   mixed   chunks of 4 to 128 KiB, each text, game, zeros or random;
//   adverse data that gives a hash-chain search long chains but short
//           matches: two-letter random text, records that all share a long
//           prefix, short periods broken every few repeats;
//   yaz0-stream
//           a Yaz0 stream that decodes to SIZE bytes (below 4 GiB), for
//           untamp: outputs tamp could not compress (it refuses 2 GiB and
//           more). Groups of eight literals (one in ten) and groups of
//           eight back-references of random distance and length;
//   yaz0-stream-decoded
//           what that stream decodes to.
// SIZE is a byte count with an optional K, M or G suffix (binary units).
// The same arguments always give the same bytes. The two stream kinds are
// written as they are made (OUTPUT may be a pipe), never held whole.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // A value in [0, n).
  uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) * n >> 32); }
  double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }

 private:
  uint64_t state_;
};

using Bytes = std::vector<unsigned char>;

void putU16(Bytes& out, uint32_t v) {
  out.push_back(static_cast<unsigned char>(v >> 8));
  out.push_back(static_cast<unsigned char>(v));
}

void putU32(Bytes& out, uint32_t v) {
  putU16(out, v >> 16);
  putU16(out, v & 0xFFFF);
}

void putFloat(Bytes& out, float f) {
  uint32_t v;
  std::memcpy(&v, &f, 4);
  putU32(out, v);
}

void padTo(Bytes& out, size_t alignment) {
  while (out.size() % alignment != 0) out.push_back(0);
}

const char* const kWords[] = {
    "the",      "of",      "and",      "to",        "in",         "a",      "is",      "that",
    "for",      "it",      "as",       "was",       "with",       "be",     "by",      "on",
    "not",      "he",      "this",     "are",       "or",         "his",    "from",    "at",
    "which",    "but",     "have",     "an",        "had",        "they",   "you",     "were",
    "their",    "one",     "all",      "we",        "can",        "her",    "has",     "there",
    "been",     "if",      "more",     "when",      "will",       "would",  "who",     "so",
    "no",       "course",  "kart",     "track",     "driver",     "item",   "shell",   "banana",
    "mushroom", "lap",     "finish",   "start",     "boost",      "drift",  "jump",    "ramp",
    "wall",     "road",    "grass",    "sand",      "water",      "bridge", "tunnel",  "castle",
    "forest",   "desert",  "snow",     "ice",       "volcano",    "lava",   "beach",   "city",
    "night",    "rainbow", "cup",      "trophy",    "race",       "player", "rival",   "speed",
    "turn",     "corner",  "shortcut", "glider",    "underwater", "coin",   "balloon", "battle",
    "arena",    "model",   "texture",  "collision", "flag",       "vertex", "normal",  "material",
    "camera",   "light",   "shadow",   "effect",    "sound",      "music",  "menu",    "option",
    "setting",  "file",    "archive",  "header",    "table"};
constexpr size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);

void appendText(Bytes& out, size_t size, Rng& rng) {
  size_t end = out.size() + size;
  int column = 0;
  bool sentenceStart = true;
  while (out.size() < end) {
    // Common words far more often than rare ones.
    uint32_t r = rng.below(1000);
    size_t index = r < 600 ? rng.below(24) : rng.below(kWordCount);
    std::string word = kWords[index];
    if (sentenceStart) word[0] = static_cast<char>(word[0] - 'a' + 'A');
    sentenceStart = false;
    uint32_t punct = rng.below(100);
    if (punct < 8) {
      word += ".";
      sentenceStart = true;
    } else if (punct < 13) {
      word += ",";
    }
    column += static_cast<int>(word.size()) + 1;
    out.insert(out.end(), word.begin(), word.end());
    if (column > 72) {
      out.push_back('\n');
      column = 0;
    } else {
      out.push_back(' ');
    }
  }
  out.resize(end);
}

void appendRandom(Bytes& out, size_t size, Rng& rng) {
  size_t end = out.size() + size;
  while (out.size() < end) {
    uint64_t v = rng.next();
    for (int i = 0; i < 8 && out.size() < end; ++i)
      out.push_back(static_cast<unsigned char>(v >> (8 * i)));
  }
}

// Object records: counters, a few types and flag patterns, positions on a
// coarse grid, mostly-zero rotations, unit scales.
void appendObjects(Bytes& out, Rng& rng, uint32_t& idCounter) {
  uint32_t count = 32 + rng.below(480);
  putU32(out, 0x4F424A53);  // "OBJS"
  putU32(out, count);
  putU32(out, 48);
  putU32(out, 0);
  float baseX = static_cast<float>(rng.below(2000)) - 1000.0f;
  float baseZ = static_cast<float>(rng.below(2000)) - 1000.0f;
  static const uint16_t kTypes[] = {0x0065, 0x0066, 0x00CA, 0x012C, 0x0191, 0x01F5, 0x0D49, 0x0D4A};
  for (uint32_t i = 0; i < count; ++i) {
    putU32(out, idCounter++);
    putU16(out, kTypes[rng.below(rng.below(4) == 0 ? 8 : 3)]);
    putU16(out, rng.below(3) == 0 ? 0x8000 : 0x0001);
    putFloat(out, baseX + static_cast<float>(rng.below(64)) * 12.5f);
    putFloat(out, static_cast<float>(rng.below(8)) * 50.0f);
    putFloat(out, baseZ + static_cast<float>(rng.below(64)) * 12.5f);
    putFloat(out, 0.0f);
    putFloat(out, rng.below(4) == 0 ? static_cast<float>(rng.below(4)) * 90.0f : 0.0f);
    putFloat(out, 0.0f);
    float scale = rng.below(5) == 0 ? 2.0f : 1.0f;
    putFloat(out, scale);
    putFloat(out, scale);
    putFloat(out, scale);
    putU16(out, rng.below(3) == 0 ? 0xFFFF : rng.below(6));
    putU16(out, 0);
  }
}

// A vertex table: a smooth closed track outline with noise, big-endian floats.
void appendVertices(Bytes& out, Rng& rng) {
  uint32_t count = 64 + rng.below(2000);
  putU32(out, 0x56545858);  // "VTXX"
  putU32(out, count);
  double radius = 200.0 + rng.below(3000);
  double height = rng.below(100);
  for (uint32_t i = 0; i < count; ++i) {
    double t = 6.283185307179586 * i / count;
    putFloat(out, static_cast<float>(radius * std::cos(t) + rng.unit() * 4.0));
    putFloat(out, static_cast<float>(height + 20.0 * std::sin(3.0 * t)));
    putFloat(out, static_cast<float>(radius * std::sin(t) + rng.unit() * 4.0));
  }
}

// Triangle strips: runs of consecutive 16-bit indices.
void appendIndices(Bytes& out, Rng& rng) {
  uint32_t count = 32 + rng.below(1500);
  putU32(out, 0x49445853);  // "IDXS"
  putU32(out, count);
  uint32_t index = rng.below(4000);
  for (uint32_t i = 0; i < count; ++i) {
    if (rng.below(16) == 0) index = rng.below(4000);
    putU16(out, index++);
  }
}

// Names with an offset table in front.
void appendNames(Bytes& out, Rng& rng) {
  static const char* const kStems[] = {
      "Kinoko_Obj", "MapObj_TreeA", "MapObj_TreeB",      "ItemBox",      "Coin",
      "DashBoard",  "CheckPoint",   "EnemyPath",         "Cannon_Point", "Respawn",
      "Sun_Light",  "WaterFall",    "Course_Model_Part", "Sky_Dome",     "Jugem_Point"};
  uint32_t count = 8 + rng.below(120);
  std::vector<std::string> names;
  for (uint32_t i = 0; i < count; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "%s_%02u", kStems[rng.below(15)], rng.below(40));
    names.push_back(name);
  }
  putU32(out, 0x4E414D45);  // "NAME"
  putU32(out, count);
  uint32_t offset = 8 + 4 * count;
  for (const std::string& name : names) {
    putU32(out, offset);
    offset += static_cast<uint32_t>(name.size()) + 1;
  }
  for (const std::string& name : names) {
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
  }
}

void appendGame(Bytes& out, size_t size, Rng& rng) {
  size_t end = out.size() + size;
  uint32_t idCounter = rng.below(1000);
  putU32(out, 0x43525344);  // "CRSD"
  putU32(out, static_cast<uint32_t>(size));
  putU32(out, 0x00010002);
  putU32(out, 0);
  while (out.size() < end) {
    switch (rng.below(4)) {
      case 0:
        appendObjects(out, rng, idCounter);
        break;
      case 1:
        appendVertices(out, rng);
        break;
      case 2:
        appendIndices(out, rng);
        break;
      default:
        appendNames(out, rng);
        break;
    }
    padTo(out, rng.below(3) == 0 ? 0x800 : 0x20);
  }
  out.resize(end);
}

void appendAdverse(Bytes& out, size_t size, Rng& rng) {
  size_t end = out.size() + size;
  static const char kPrefix[] = "mapobj/course/common/texture/shared/";
  static const unsigned char kFloatOne[] = {0x3F, 0x80, 0x00, 0x00};
  for (int kind = 0; out.size() < end; kind = (kind + 1) % 3) {
    size_t block = std::min<size_t>(end - out.size(), 64 * 1024);
    size_t blockEnd = out.size() + block;
    if (kind == 0) {
      // Two letters at random: every four-byte key recurs about 256 times
      // in a 4 KiB window, but matches stay around a dozen bytes.
      while (out.size() < blockEnd) {
        uint64_t v = rng.next();
        for (int i = 0; i < 64 && out.size() < blockEnd; ++i)
          out.push_back((v >> i) & 1 ? 'b' : 'a');
      }
    } else if (kind == 1) {
      // Records that all start with the same long prefix, then differ.
      while (out.size() < blockEnd) {
        out.insert(out.end(), kPrefix, kPrefix + sizeof kPrefix - 1);
        uint32_t tail = 1 + rng.below(4);
        for (uint32_t i = 0; i < tail; ++i)
          out.push_back(static_cast<unsigned char>('0' + rng.below(10)));
        out.push_back('\n');
      }
    } else {
      // Short periods broken every few repeats: a table of 1.0 floats with
      // odd values among them, and "ab" runs with a stray byte.
      bool floats = rng.below(2) == 0;
      while (out.size() < blockEnd) {
        uint32_t repeats = 2 + rng.below(20);
        for (uint32_t i = 0; i < repeats; ++i) {
          if (floats) {
            out.insert(out.end(), kFloatOne, kFloatOne + 4);
          } else {
            out.push_back('a');
            out.push_back('b');
          }
        }
        out.push_back(static_cast<unsigned char>(rng.below(256)));
      }
    }
    out.resize(blockEnd);
  }
}

void appendMixed(Bytes& out, size_t size, Rng& rng) {
  size_t end = out.size() + size;
  while (out.size() < end) {
    size_t chunk = std::min<size_t>(end - out.size(), (4 + rng.below(125)) * 1024);
    switch (rng.below(4)) {
      case 0:
        appendText(out, chunk, rng);
        break;
      case 1:
        appendGame(out, chunk, rng);
        break;
      case 2:
        out.resize(out.size() + chunk, 0);
        break;
      default:
        appendRandom(out, chunk, rng);
        break;
    }
  }
}

// Writes the compressed or the decoded side of a Yaz0 stream as it goes;
// the decoded bytes follow from the chunks through a window of the last
// 4096 bytes.
class StreamWriter {
 public:
  StreamWriter(std::FILE* file, bool decodedSide) : file_(file), decodedSide_(decodedSide) {
    buffer_.reserve(kBlock);
  }
  void compressed(uint8_t byte) {
    if (!decodedSide_) put(byte);
  }
  void decoded(uint8_t byte) {
    window_[produced_++ & 4095] = byte;
    if (decodedSide_) put(byte);
  }
  uint8_t back(uint32_t distance) const { return window_[(produced_ - distance) & 4095]; }
  uint64_t produced() const { return produced_; }
  bool flush() {
    ok_ = ok_ && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) == buffer_.size();
    buffer_.clear();
    return ok_;
  }

 private:
  static constexpr size_t kBlock = 1 << 20;
  void put(uint8_t byte) {
    buffer_.push_back(byte);
    if (buffer_.size() == kBlock) flush();
  }

  std::FILE* file_;
  bool decodedSide_;
  bool ok_ = true;
  Bytes buffer_;
  uint8_t window_[4096] = {};
  uint64_t produced_ = 0;
};

bool writeYaz0Stream(uint64_t size, bool decodedSide, std::FILE* file, Rng& rng) {
  StreamWriter out(file, decodedSide);
  for (char c : {'Y', 'a', 'z', '0'}) out.compressed(static_cast<uint8_t>(c));
  for (int shift = 24; shift >= 0; shift -= 8) out.compressed(static_cast<uint8_t>(size >> shift));
  for (int i = 0; i < 8; ++i) out.compressed(0);
  while (out.produced() < size) {
    // Literals at the start, near the end and in one group of ten.
    const uint64_t left = size - out.produced();
    if (out.produced() < 16 || left < 8 * 273 || rng.below(10) == 0) {
      const uint64_t count = std::min<uint64_t>(8, left);
      out.compressed(static_cast<uint8_t>(0xFF00 >> count));
      for (uint64_t i = 0; i < count; ++i) {
        const uint8_t byte = static_cast<uint8_t>(rng.next());
        out.compressed(byte);
        out.decoded(byte);
      }
      continue;
    }
    out.compressed(0);
    for (int chunk = 0; chunk < 8; ++chunk) {
      const uint32_t reach = static_cast<uint32_t>(std::min<uint64_t>(out.produced(), 4096));
      const uint32_t distance = 1 + rng.below(reach);
      const uint32_t length = 3 + rng.below(271);
      if (length <= 17) {
        out.compressed(static_cast<uint8_t>((length - 2) << 4 | (distance - 1) >> 8));
        out.compressed(static_cast<uint8_t>(distance - 1));
      } else {
        out.compressed(static_cast<uint8_t>((distance - 1) >> 8));
        out.compressed(static_cast<uint8_t>(distance - 1));
        out.compressed(static_cast<uint8_t>(length - 18));
      }
      for (uint32_t i = 0; i < length; ++i) out.decoded(out.back(distance));
    }
  }
  return out.flush();
}

bool parseSize(const char* text, size_t& size) {
  char* rest = nullptr;
  unsigned long long value = std::strtoull(text, &rest, 10);
  if (rest == text) return false;
  if (*rest == 'K' || *rest == 'k') {
    value *= 1024;
    ++rest;
  } else if (*rest == 'M' || *rest == 'm') {
    value *= 1024 * 1024;
    ++rest;
  } else if (*rest == 'G' || *rest == 'g') {
    value *= 1024 * 1024 * 1024;
    ++rest;
  }
  if (*rest != '\0') return false;
  size = static_cast<size_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t size = 0;
  if (argc < 4 || !parseSize(argv[2], size)) {
    std::fprintf(stderr,
                 "usage: tamp-samples game|text|random|zeros|mixed|adverse|yaz0-stream|"
                 "yaz0-stream-decoded SIZE OUTPUT [SEED]\n");
    return 2;
  }
  std::string kind = argv[1];
  uint64_t seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
  if (kind == "yaz0-stream" || kind == "yaz0-stream-decoded") {
    if (size > 0xFFFFFFFFu) {
      std::fprintf(stderr, "tamp-samples: a Yaz0 stream decodes to less than 4 GiB\n");
      return 2;
    }
    Rng rng(seed);  // the same for both sides
    FILE* file = std::fopen(argv[3], "wb");
    if (file == nullptr) {
      std::perror(argv[3]);
      return 1;
    }
    bool ok = writeYaz0Stream(size, kind == "yaz0-stream-decoded", file, rng);
    ok = std::fclose(file) == 0 && ok;
    if (!ok) std::fprintf(stderr, "tamp-samples: cannot write %s\n", argv[3]);
    return ok ? 0 : 1;
  }
  Rng rng(seed * 0x2545F4914F6CDD1Dull + kind.size());
  Bytes out;
  out.reserve(size);
  if (kind == "game") {
    appendGame(out, size, rng);
  } else if (kind == "text") {
    appendText(out, size, rng);
  } else if (kind == "random") {
    appendRandom(out, size, rng);
  } else if (kind == "zeros") {
    out.resize(size, 0);
  } else if (kind == "mixed") {
    appendMixed(out, size, rng);
  } else if (kind == "adverse") {
    appendAdverse(out, size, rng);
  } else {
    std::fprintf(stderr, "tamp-samples: unknown kind %s\n", kind.c_str());
    return 2;
  }
  FILE* file = std::fopen(argv[3], "wb");
  if (file == nullptr) {
    std::perror(argv[3]);
    return 1;
  }
  bool ok = std::fwrite(out.data(), 1, out.size(), file) == out.size();
  ok = std::fclose(file) == 0 && ok;
  if (!ok) {
    std::fprintf(stderr, "tamp-samples: cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
