// The reference encoder: the exhaustive search and the group writer written
// as plainly as possible, without any shortcut. The program's fast search
// must give exactly the same lengths, positions and bytes; the tests, the
// fuzz harness and the benchmark compare against this.
#pragma once

#include <vector>

namespace plain {

// The longest match at pos among the 4096 positions before it. Candidates
// are tried from the farthest back; only a strictly longer match replaces
// the best, so the earliest of equally long candidates wins. The length
// credited is one less than the number of equal bytes, and 2 becomes 1.
inline unsigned simpleEnc(const unsigned char* src, int size, int pos, unsigned* matchOut) {
  int start = pos - 0x1000;
  if (start < 0) start = 0;
  unsigned numBytes = 1;
  unsigned matchPos = 0;
  for (int i = start; i < pos; i++) {
    for (int j = 0; j < size - pos; j++) {
      if (src[i + j] != src[j + pos]) break;
      if (static_cast<unsigned>(j) > numBytes) {
        numBytes = j;
        matchPos = i;
      }
    }
  }
  *matchOut = matchPos;
  if (numBytes == 2) numBytes = 1;
  return numBytes;
}

// The one-step look-ahead: a match is put off by one byte when the match
// at the next position is at least two bytes longer. search(pos, &match)
// is the longest-match search.
struct LookAhead {
  int prevFlag = 0;
  unsigned matchPos = 0;
  unsigned numBytes1 = 0;

  template <class Search>
  unsigned nintendoEnc(Search& search, int pos, unsigned* matchOut) {
    if (prevFlag == 1) {
      *matchOut = matchPos;
      prevFlag = 0;
      return numBytes1;
    }
    prevFlag = 0;
    unsigned numBytes = search(pos, &matchPos);
    *matchOut = matchPos;
    if (numBytes <= 2) return numBytes;
    numBytes1 = search(pos + 1, &matchPos);
    if (numBytes + 2 > numBytes1) return numBytes;
    prevFlag = 1;
    return 1;
  }
};

// The whole file, header and groups, with the given search. progress, when
// given, receives every percentage shown (at most 100, each different from
// the one before).
template <class Search>
std::vector<unsigned char> encodeWith(Search search, const unsigned char* src, int size,
                                      std::vector<int>* progress = nullptr) {
  std::vector<unsigned char> out = {'Y', 'a', 'z', '0'};
  unsigned usize = static_cast<unsigned>(size);
  out.push_back(static_cast<unsigned char>(usize >> 24));
  out.push_back(static_cast<unsigned char>(usize >> 16));
  out.push_back(static_cast<unsigned char>(usize >> 8));
  out.push_back(static_cast<unsigned char>(usize));
  out.resize(16, 0);

  LookAhead state;
  std::vector<unsigned char> group;
  unsigned char code = 0;
  int chunks = 0;
  int pos = 0;
  int shown = -1;
  while (pos < size) {
    unsigned match = 0;
    unsigned n = state.nintendoEnc(search, pos, &match);
    if (n <= 2) {
      group.push_back(src[pos]);
      pos++;
      code |= 0x80 >> chunks;
    } else {
      unsigned dist = pos - match - 1;
      if (n <= 17) {
        group.push_back(static_cast<unsigned char>(((n - 2) << 4) | (dist >> 8)));
        group.push_back(static_cast<unsigned char>(dist & 0xFF));
      } else {
        group.push_back(static_cast<unsigned char>(dist >> 8));
        group.push_back(static_cast<unsigned char>(dist & 0xFF));
        if (n > 0x111) n = 0x111;
        group.push_back(static_cast<unsigned char>(n - 18));
      }
      pos += n;
    }
    chunks++;
    if (chunks == 8) {
      out.push_back(code);
      out.insert(out.end(), group.begin(), group.end());
      group.clear();
      code = 0;
      chunks = 0;
    }
    long long percent = (static_cast<long long>(pos) + 1) * 100 / size;
    if (percent > 100) percent = 100;
    if (percent != shown) {
      shown = static_cast<int>(percent);
      if (progress) progress->push_back(shown);
    }
  }
  if (chunks != 0) {
    out.push_back(code);
    out.insert(out.end(), group.begin(), group.end());
  }
  return out;
}

// The whole file with the exhaustive search.
inline std::vector<unsigned char> encode(const unsigned char* src, int size,
                                         std::vector<int>* progress = nullptr) {
  auto search = [src, size](int pos, unsigned* matchOut) {
    return simpleEnc(src, size, pos, matchOut);
  };
  return encodeWith(search, src, size, progress);
}

}  // namespace plain
