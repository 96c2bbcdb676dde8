// The CMPR block encoder, made for the console's palette: colours 2 and 3
// are (5a + 3b) >> 3 and (3a + 5b) >> 3 in the four-colour mode, (a + b) >> 1
// and that same colour made transparent in the three-colour mode.
//
// For each 4x4 sub-block:
// - one colour (the common case of flat art): exact tables give the pair of
//   end points whose blend comes nearest in each channel;
// - otherwise a cluster fit: the texels ordered along their principal axis,
//   every split of that order into the palette's clusters (weights 1, 5/8,
//   3/8, 0; and 1, 1/2, 0 for the three-colour mode) solved by least squares,
//   the end points rounded to RGB565; splits whose unrounded error cannot
//   beat the best so far are skipped;
// - then the end points are refined against the exact integer decode: each
//   channel of each end point moved by one code while that lowers the error.
// Texels with alpha below 128 force the three-colour mode and index 3.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <thread>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "gx.h"

namespace glaze {

namespace {

struct EndPoint {
  int code[3];  // 5, 6, 5 bits
};

uint16_t pack(const EndPoint& e) { return uint16_t(e.code[0] << 11 | e.code[1] << 5 | e.code[2]); }

constexpr int kMaxCode[3] = {31, 63, 31};

// Best code pairs for one channel value made by a single blend.
struct PairTable {
  uint8_t first[256], second[256];
};

template <bool kFourColour>
PairTable makePairTable(int bits) {
  PairTable t{};
  const int codes = 1 << bits;
  auto widen = [bits](int c) { return bits == 6 ? widen6(c) : widen5(c); };
  for (int v = 0; v < 256; ++v) {
    int best = 1 << 30;
    for (int p = 0; p < codes; ++p)
      for (int q = 0; q < codes; ++q) {
        const int a = widen(p), b = widen(q);
        const int made = kFourColour ? (5 * a + 3 * b) >> 3 : (a + b) >> 1;
        const int e = std::abs(made - v);
        if (e < best) best = e, t.first[v] = uint8_t(p), t.second[v] = uint8_t(q);
      }
  }
  return t;
}

const PairTable kBlend5 = makePairTable<true>(5), kBlend6 = makePairTable<true>(6);
const PairTable kHalf5 = makePairTable<false>(5), kHalf6 = makePairTable<false>(6);

// The texels of one sub-block that count.
struct Texels {
  int n = 0;             // valid texels
  int colour[16][3];     // of the valid texels
  bool transparent[16];  // alpha below 128
  int position[16];      // their place in the 4x4 block
  int distinct = 0;      // distinct colours of the opaque texels
  int point[16][3];      // those colours
  int weight[16];        // and how many texels have each
};

// The console's palette for stored colours c0, c1, as ints (alpha left
// out: the caller knows the mode); the same rule as cmprPalette.
inline void paletteOf(uint16_t c0, uint16_t c1, int p[4][3]) {
  p[0][0] = widen5(c0 >> 11), p[0][1] = widen6((c0 >> 5) & 63), p[0][2] = widen5(c0 & 31);
  p[1][0] = widen5(c1 >> 11), p[1][1] = widen6((c1 >> 5) & 63), p[1][2] = widen5(c1 & 31);
  for (int ch = 0; ch < 3; ++ch) {
    const int a = p[0][ch], b = p[1][ch];
    if (c0 > c1) {
      p[2][ch] = (5 * a + 3 * b) >> 3;
      p[3][ch] = (3 * a + 5 * b) >> 3;
    } else {
      p[2][ch] = p[3][ch] = (a + b) >> 1;
    }
  }
}

// Error of the best index of each distinct opaque colour for stored colours
// c0, c1 (transparent texels take index 3 and cost nothing).
int blockError(const Texels& t, uint16_t c0, uint16_t c1) {
  int palette[4][3];
  paletteOf(c0, c1, palette);
  const int choices = c0 > c1 ? 4 : 3;
  int total = 0;
  for (int i = 0; i < t.distinct; ++i) {
    int best = 1 << 30;
    for (int k = 0; k < choices; ++k) {
      const int dr = palette[k][0] - t.point[i][0], dg = palette[k][1] - t.point[i][1],
                db = palette[k][2] - t.point[i][2];
      best = std::min(best, dr * dr + dg * dg + db * db);
    }
    total += best * t.weight[i];
  }
  return total;
}

// The index of each valid texel (by position) for stored colours c0, c1.
void blockIndices(const Texels& t, uint16_t c0, uint16_t c1, uint8_t indices[16]) {
  uint8_t palette[4][4];
  cmprPalette(c0, c1, palette);
  const int choices = c0 > c1 ? 4 : 3;
  for (int i = 0; i < t.n; ++i) {
    int best = 3, bestError = 1 << 30;
    if (!t.transparent[i]) {
      for (int k = 0; k < choices; ++k) {
        const int dr = palette[k][0] - t.colour[i][0], dg = palette[k][1] - t.colour[i][1],
                  db = palette[k][2] - t.colour[i][2];
        const int e = dr * dr + dg * dg + db * db;
        if (e < bestError) bestError = e, best = k;
      }
    }
    indices[t.position[i]] = uint8_t(best);
  }
}

// An unordered pair of end points in a mode, stored as the mode wants:
// four colours need c0 > c1, three colours c0 <= c1.
struct Choice {
  EndPoint a, b;
  bool fourColour;
  void stored(uint16_t& c0, uint16_t& c1) const {
    const uint16_t x = pack(a), y = pack(b);
    c0 = fourColour ? std::max(x, y) : std::min(x, y);
    c1 = fourColour ? std::min(x, y) : std::max(x, y);
  }
  int error(const Texels& t) const {
    uint16_t c0, c1;
    stored(c0, c1);
    return blockError(t, c0, c1);
  }
};

// Moves one code of one end point at a time while that lowers the error.
int refine(const Texels& t, Choice& choice, int error) {
  for (int round = 0; round < 16 && error > 0; ++round) {
    Choice best = choice;
    int bestError = error;
    for (int which = 0; which < 2; ++which)
      for (int ch = 0; ch < 3; ++ch)
        for (int step = -1; step <= 1; step += 2) {
          Choice trial = choice;
          int& code = (which ? trial.b : trial.a).code[ch];
          code += step;
          if (code < 0 || code > kMaxCode[ch]) continue;
          const int e = trial.error(t);
          if (e < bestError) bestError = e, best = trial;
        }
    if (bestError >= error) break;
    choice = best;
    error = bestError;
  }
  return error;
}

EndPoint quantise(const float v[3]) {
  EndPoint e;
  for (int ch = 0; ch < 3; ++ch) {
    const int x = int(std::clamp(v[ch], 0.0f, 255.0f) + 0.5f);
    e.code[ch] = ch == 1 ? nearest6(x) : nearest5(x);
  }
  return e;
}

// Orders the distinct colours along their principal axis.
void orderAlongAxis(Texels& t) {
  const int n = t.distinct;
  float mean[3] = {0, 0, 0}, total = 0;
  for (int i = 0; i < n; ++i) {
    total += float(t.weight[i]);
    for (int ch = 0; ch < 3; ++ch) mean[ch] += float(t.point[i][ch] * t.weight[i]);
  }
  for (float& m : mean) m /= total;
  float cov[6] = {0, 0, 0, 0, 0, 0};  // rr rg rb gg gb bb
  for (int i = 0; i < n; ++i) {
    const float w = float(t.weight[i]);
    const float r = float(t.point[i][0]) - mean[0], g = float(t.point[i][1]) - mean[1],
                b = float(t.point[i][2]) - mean[2];
    cov[0] += w * r * r, cov[1] += w * r * g, cov[2] += w * r * b;
    cov[3] += w * g * g, cov[4] += w * g * b, cov[5] += w * b * b;
  }
  // Power iteration from the row of the largest variance.
  float axis[3];
  if (cov[0] >= cov[3] && cov[0] >= cov[5])
    axis[0] = cov[0], axis[1] = cov[1], axis[2] = cov[2];
  else if (cov[3] >= cov[5])
    axis[0] = cov[1], axis[1] = cov[3], axis[2] = cov[4];
  else
    axis[0] = cov[2], axis[1] = cov[4], axis[2] = cov[5];
  for (int it = 0; it < 8; ++it) {
    const float x = cov[0] * axis[0] + cov[1] * axis[1] + cov[2] * axis[2];
    const float y = cov[1] * axis[0] + cov[3] * axis[1] + cov[4] * axis[2];
    const float z = cov[2] * axis[0] + cov[4] * axis[1] + cov[5] * axis[2];
    const float length = std::max({std::fabs(x), std::fabs(y), std::fabs(z)});
    if (length <= 0) break;
    axis[0] = x / length, axis[1] = y / length, axis[2] = z / length;
  }
  std::pair<float, int> order[16];
  for (int i = 0; i < n; ++i)
    order[i] = {axis[0] * float(t.point[i][0]) + axis[1] * float(t.point[i][1]) +
                    axis[2] * float(t.point[i][2]),
                i};
  std::sort(order, order + n);
  int point[16][3] = {}, weight[16] = {};
  for (int i = 0; i < n; ++i) {
    std::copy_n(t.point[order[i].second], 3, point[i]);
    weight[i] = t.weight[order[i].second];
  }
  std::memcpy(t.point, point, sizeof point);
  std::memcpy(t.weight, weight, sizeof weight);
}

typedef float Vec4 __attribute__((vector_size(16)));
typedef int Int4 __attribute__((vector_size(16)));

bool anyLane(Int4 mask) {
#if defined(__SSE__)
  return _mm_movemask_ps(reinterpret_cast<__m128>(mask)) != 0;
#else
  return mask[0] | mask[1] | mask[2] | mask[3];
#endif
}

// The best few splits found, by their unrounded least-squares fit.
constexpr int kKept = 4;
struct Kept {
  float score[kKept];
  int split[kKept][3];
  int count = 0;
  float floor() const { return count < kKept ? -INFINITY : score[kKept - 1]; }
  void offer(float s, int i, int j, int k) {
    if (s <= floor()) return;
    int at = count < kKept ? count++ : kKept - 1;
    while (at > 0 && score[at - 1] < s) {
      score[at] = score[at - 1];
      std::copy_n(split[at - 1], 3, split[at]);
      --at;
    }
    score[at] = s;
    split[at][0] = i, split[at][1] = j, split[at][2] = k;
  }
};

// Cluster fit over the ordered distinct colours: for every split into
// clusters of weights 1, 5/8, 3/8, 0 (four colours: [0,i) [i,j) [j,k)
// [k,n)) or 1, 1/2, 0 (three colours: [0,i) [i,j) [j,n)), the least-squares
// end points a, b minimise the error; its value is sum |x|^2 - score with
// score = (bb |ax|^2 - 2 ab ax.bx + aa |bx|^2) / det, so the best splits
// have the largest score. Four splits of k (or j) are scored at once.
template <int kClusters>
void scoreSplits(const Texels& t, Kept& kept) {
  const int n = t.distinct;
  // Prefix sums, padded so that four lanes can always be read.
  alignas(16) float pr[24], pg[24], pb[24], pw[24];
  pr[0] = pg[0] = pb[0] = pw[0] = 0;
  for (int i = 0; i < n; ++i) {
    const float w = float(t.weight[i]);
    pr[i + 1] = pr[i] + w * float(t.point[i][0]);
    pg[i + 1] = pg[i] + w * float(t.point[i][1]);
    pb[i + 1] = pb[i] + w * float(t.point[i][2]);
    pw[i + 1] = pw[i] + w;
  }
  for (int i = n + 1; i < 24; ++i) pr[i] = pr[n], pg[i] = pg[n], pb[i] = pb[n], pw[i] = pw[n];
  const float tr = pr[n], tg = pg[n], tb = pb[n], tw = pw[n];
  const Int4 lane = {0, 1, 2, 3};
  auto load = [](const float* p) {
    Vec4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
  };
  // Scores four splits whose last boundary starts at `from`; the lanes
  // past n are left out.
  auto score = [&](Vec4 aa, Vec4 bb, Vec4 ab, Vec4 axr, Vec4 axg, Vec4 axb, Vec4 bxr, Vec4 bxg,
                   Vec4 bxb, int from, int i, int j) {
    const Vec4 det = aa * bb - ab * ab;
    const Vec4 num = bb * (axr * axr + axg * axg + axb * axb) -
                     2 * ab * (axr * bxr + axg * bxg + axb * bxb) +
                     aa * (bxr * bxr + bxg * bxg + bxb * bxb);
    // score > floor, without dividing: num > floor * det where det > 0.
    const float floor = kept.floor();
    const Int4 better = (det > 1e-3f) & (lane + from <= n) & (num > floor * det);
    if (!anyLane(better)) return;
    for (int l = 0; l < 4; ++l)
      if (better[l]) {
        const float s = num[l] / det[l];
        if (kClusters == 4)
          kept.offer(s, i, j, from + l);
        else
          kept.offer(s, i, from + l, n);
      }
  };
  if constexpr (kClusters == 4) {
    for (int i = 0; i <= n; ++i) {
      const float w0 = pw[i], x0r = pr[i], x0g = pg[i], x0b = pb[i];
      for (int j = i; j <= n; ++j) {
        const float w1 = pw[j] - w0, x1r = pr[j] - x0r, x1g = pg[j] - x0g, x1b = pb[j] - x0b;
        for (int k = j; k <= n; k += 4) {
          const Vec4 kw = load(pw + k), kr = load(pr + k), kg = load(pg + k), kb = load(pb + k);
          const Vec4 w2 = kw - pw[j], w3 = tw - kw;
          const Vec4 aa = w0 + w1 * (25.0f / 64) + w2 * (9.0f / 64);
          const Vec4 bb = w3 + w1 * (9.0f / 64) + w2 * (25.0f / 64);
          const Vec4 ab = (w1 + w2) * (15.0f / 64);
          const Vec4 x2r = kr - pr[j], x2g = kg - pg[j], x2b = kb - pb[j];
          const Vec4 x3r = tr - kr, x3g = tg - kg, x3b = tb - kb;
          score(aa, bb, ab, x0r + 0.625f * x1r + 0.375f * x2r, x0g + 0.625f * x1g + 0.375f * x2g,
                x0b + 0.625f * x1b + 0.375f * x2b, x3r + 0.375f * x1r + 0.625f * x2r,
                x3g + 0.375f * x1g + 0.625f * x2g, x3b + 0.375f * x1b + 0.625f * x2b, k, i, j);
        }
      }
    }
  } else {
    for (int i = 0; i <= n; ++i) {
      const float w0 = pw[i], x0r = pr[i], x0g = pg[i], x0b = pb[i];
      for (int j = i; j <= n; j += 4) {
        const Vec4 jw = load(pw + j), jr = load(pr + j), jg = load(pg + j), jb = load(pb + j);
        const Vec4 w1 = jw - w0, w2 = tw - jw;
        const Vec4 x1r = jr - x0r, x1g = jg - x0g, x1b = jb - x0b;
        const Vec4 x2r = tr - jr, x2g = tg - jg, x2b = tb - jb;
        score(w0 + 0.25f * w1, w2 + 0.25f * w1, 0.25f * w1, x0r + 0.5f * x1r, x0g + 0.5f * x1g,
              x0b + 0.5f * x1b, x2r + 0.5f * x1r, x2g + 0.5f * x1g, x2b + 0.5f * x1b, j, i, 0);
      }
    }
  }
}

// The end points of a kept split, rounded to RGB565.
Choice fitSplit(const Texels& t, const int split[3], bool fourColour) {
  const float wa[4] = {1, fourColour ? 0.625f : 0.5f, fourColour ? 0.375f : 0.0f, 0};
  const int bounds[5] = {0, split[0], split[1], fourColour ? split[2] : t.distinct, t.distinct};
  float aa = 0, bb = 0, ab = 0, ax[3] = {0, 0, 0}, bx[3] = {0, 0, 0};
  for (int c = 0; c < 4; ++c)
    for (int i = bounds[c]; i < bounds[c + 1]; ++i) {
      const float w = float(t.weight[i]), alpha = wa[c], beta = 1 - wa[c];
      aa += w * alpha * alpha, bb += w * beta * beta, ab += w * alpha * beta;
      for (int ch = 0; ch < 3; ++ch) {
        ax[ch] += w * alpha * float(t.point[i][ch]);
        bx[ch] += w * beta * float(t.point[i][ch]);
      }
    }
  const float inv = 1.0f / (aa * bb - ab * ab);
  float a[3], b[3];
  for (int ch = 0; ch < 3; ++ch) {
    a[ch] = (ax[ch] * bb - bx[ch] * ab) * inv;
    b[ch] = (bx[ch] * aa - ax[ch] * ab) * inv;
  }
  return {quantise(a), quantise(b), fourColour};
}

// End points for one colour: per channel the pair whose blend (four colours,
// index 2) or average (three colours, index 2) comes nearest.
Choice singleColour(const int colour[3], bool fourColour) {
  Choice c;
  c.fourColour = fourColour;
  for (int ch = 0; ch < 3; ++ch) {
    const PairTable& t =
        ch == 1 ? (fourColour ? kBlend6 : kHalf6) : (fourColour ? kBlend5 : kHalf5);
    c.a.code[ch] = t.first[colour[ch]];
    c.b.code[ch] = t.second[colour[ch]];
  }
  return c;
}

// ---------------------------------------------------------------------------
// Blocks that are a CMPR block's decode come back as one: the texels' few
// colours are given places in the palette (end point a or b, a blend, or
// the three-colour average, which transparent texels also show), each
// channel is solved for its two codes, and the channels' solutions are
// combined so that the stored order gives the mode.

enum Place { kA, kB, kFiveThree, kThreeFive, kHalf };

int placed(Place place, int a, int b) {
  switch (place) {
    case kA:
      return a;
    case kB:
      return b;
    case kFiveThree:
      return (5 * a + 3 * b) >> 3;
    case kThreeFive:
      return (3 * a + 5 * b) >> 3;
    default:
      return (a + b) >> 1;
  }
}

// The codes (p, q) of one channel that give every placed value exactly: at
// most one of each order, p > q, p == q and p < q (found[order] = -1 when
// none), which is all that combining the channels needs.
void solveChannel(int ch, const Place* places, const int* values, int n, int found[3][2]) {
  const int codes = kMaxCode[ch] + 1;
  auto widen = [ch](int c) { return ch == 1 ? widen6(c) : widen5(c); };
  auto codeOf = [&](int v) {
    const int c = ch == 1 ? nearest6(v) : nearest5(v);
    return widen(c) == v ? c : -1;
  };
  for (int order = 0; order < 3; ++order) found[order][0] = -1;
  int fixedP = -2, fixedQ = -2;  // -2: free
  for (int i = 0; i < n; ++i) {
    if (places[i] == kA) fixedP = codeOf(values[i]);
    if (places[i] == kB) fixedQ = codeOf(values[i]);
  }
  if (fixedP == -1 || fixedQ == -1) return;
  for (int p = fixedP >= 0 ? fixedP : 0; p < (fixedP >= 0 ? fixedP + 1 : codes); ++p) {
    const int a = widen(p);
    // The codes of b worth trying: the one given, those that the first
    // blend allows (a narrow range: b's weight is at least 3/8), or, when
    // nothing constrains b, one of each order.
    int from = 0, to = codes - 1;
    bool free = true;
    if (fixedQ >= 0) {
      from = to = fixedQ, free = false;
    } else {
      for (int i = 0; i < n && free; ++i) {
        int low, high;  // the range of b's widened value
        const int v = values[i];
        if (places[i] == kFiveThree) {
          low = (8 * v - 5 * a + 2) / 3, high = (8 * v + 7 - 5 * a) / 3;
        } else if (places[i] == kThreeFive) {
          low = (8 * v - 3 * a + 4) / 5, high = (8 * v + 7 - 3 * a) / 5;
        } else if (places[i] == kHalf) {
          low = 2 * v - a, high = 2 * v + 1 - a;
        } else {
          continue;
        }
        free = false;
        // Widening is monotonic: the codes from the first at or above low
        // to the last at or below high.
        auto near = [&](int v) {
          return ch == 1 ? nearest6(std::clamp(v, 0, 255)) : nearest5(std::clamp(v, 0, 255));
        };
        from = near(low), to = near(high);
        while (from > 0 && widen(from - 1) >= low) --from;
        while (from < codes && widen(from) < low) ++from;
        while (to < codes - 1 && widen(to + 1) <= high) ++to;
        while (to >= 0 && widen(to) > high) --to;
      }
    }
    for (int q = from; q <= to; ++q) {
      if (free && q != p - 1 && q != p && q != p + 1) continue;
      const int b = widen(q);
      bool all = true;
      for (int i = 0; i < n && all; ++i) all = placed(places[i], a, b) == values[i];
      const int order = p > q ? 0 : p == q ? 1 : 2;
      if (all && found[order][0] < 0) found[order][0] = p, found[order][1] = q;
    }
  }
}

// Stored colours whose decode is exactly the block's texels; false when
// there are none. The block's texels are opaque (255) or transparent (0),
// the transparent ones of one colour.
bool exactBlock(const Texels& t, bool anyTransparent, const int transparent[3], uint16_t& c0,
                uint16_t& c1) {
  const int n = t.distinct;
  // Colours that are no RGB565 value can only be blends.
  bool exact565[16];
  for (int i = 0; i < n; ++i) {
    exact565[i] = widen5(nearest5(t.point[i][0])) == t.point[i][0] &&
                  widen6(nearest6(t.point[i][1])) == t.point[i][1] &&
                  widen5(nearest5(t.point[i][2])) == t.point[i][2];
  }
  for (int mode = anyTransparent ? 1 : 0; mode < 2; ++mode) {
    const bool four = mode == 0;
    static constexpr Place kFour[] = {kA, kB, kFiveThree, kThreeFive};
    static constexpr Place kThree[] = {kA, kB, kHalf};
    const Place* places = four ? kFour : kThree;
    const int slots = four ? 4 : 3;
    if (n > slots) continue;
    // Every placing of the colours in distinct slots, as a mixed-radix count.
    int slot[4] = {0, 0, 0, 0};
    for (;;) {
      bool distinct = true;
      for (int i = 0; i < n && distinct; ++i) {
        if (places[slot[i]] <= kB && !exact565[i]) distinct = false;
        for (int j = 0; j < i && distinct; ++j) distinct = slot[i] != slot[j];
      }
      if (distinct) {
        int found[3][3][2];
        bool solvable = true;
        for (int ch = 0; ch < 3 && solvable; ++ch) {
          Place p[5];
          int v[5], k = 0;
          for (int i = 0; i < n; ++i) p[k] = places[slot[i]], v[k++] = t.point[i][ch];
          if (anyTransparent) p[k] = kHalf, v[k++] = transparent[ch];
          solveChannel(ch, p, v, k, found[ch]);
          solvable = found[ch][0][0] >= 0 || found[ch][1][0] >= 0 || found[ch][2][0] >= 0;
        }
        // The stored order is decided by the first channel whose codes
        // differ: four colours need a > b, three a <= b.
        for (int r = 0; solvable && r < 3; ++r)
          for (int g = 0; g < 3; ++g)
            for (int b = 0; b < 3; ++b) {
              const int order[3] = {r, g, b};
              if (found[0][r][0] < 0 || found[1][g][0] < 0 || found[2][b][0] < 0) continue;
              int first = 1;
              for (int o : order)
                if (first == 1) first = o;
              if (four ? first != 0 : first == 0) continue;
              const EndPoint a{{found[0][r][0], found[1][g][0], found[2][b][0]}};
              const EndPoint e{{found[0][r][1], found[1][g][1], found[2][b][1]}};
              c0 = pack(a), c1 = pack(e);
              return true;
            }
      }
      int i = 0;
      while (i < n && ++slot[i] == slots) slot[i++] = 0;
      if (i == n) break;
    }
  }
  return false;
}

void writeBlock(const Texels& t, uint16_t c0, uint16_t c1, uint8_t out[8]) {
  uint8_t indices[16] = {};
  blockIndices(t, c0, c1, indices);
  out[0] = uint8_t(c0 >> 8), out[1] = uint8_t(c0);
  out[2] = uint8_t(c1 >> 8), out[3] = uint8_t(c1);
  for (int row = 0; row < 4; ++row)
    out[4 + row] = uint8_t(indices[4 * row] << 6 | indices[4 * row + 1] << 4 |
                           indices[4 * row + 2] << 2 | indices[4 * row + 3]);
}

}  // namespace

void encodeCmprBlock(const uint8_t texels[16][4], uint16_t valid, uint8_t out[8]) {
  Texels t;
  bool anyTransparent = false;
  for (int p = 0; p < 16; ++p) {
    if (!(valid >> p & 1)) continue;
    const int i = t.n++;
    t.position[i] = p;
    t.transparent[i] = texels[p][3] < 128;
    for (int ch = 0; ch < 3; ++ch) t.colour[i][ch] = texels[p][ch];
    if (t.transparent[i]) {
      anyTransparent = true;
      continue;
    }
    int d = 0;
    while (d < t.distinct && !std::equal(t.point[d], t.point[d] + 3, t.colour[i])) ++d;
    if (d == t.distinct) {
      std::copy_n(t.colour[i], 3, t.point[d]);
      t.weight[d] = 0;
      ++t.distinct;
    }
    ++t.weight[d];
  }
  // A block that may be a CMPR block's decode: alpha 0 or 255 only, the
  // transparent texels of one colour, few colours.
  bool decoded = t.distinct <= (anyTransparent ? 3 : 4);
  int transparent[3] = {0, 0, 0};
  bool first = true;
  for (int p = 0; p < 16 && decoded; ++p) {
    if (!(valid >> p & 1)) continue;
    const uint8_t* c = texels[p];
    if (c[3] != 0 && c[3] != 255) decoded = false;
    if (c[3] != 0) continue;
    if (first) std::copy_n(c, 3, transparent), first = false;
    decoded = decoded && c[0] == transparent[0] && c[1] == transparent[1] && c[2] == transparent[2];
  }
  uint16_t c0, c1;
  if (decoded && t.distinct > (anyTransparent ? 0 : 1) &&
      exactBlock(t, anyTransparent, transparent, c0, c1)) {
    writeBlock(t, c0, c1, out);
    return;
  }
  if (t.distinct == 0) {
    // Nothing visible: three-colour mode, index 3, whose colour is the
    // average of the end points: that of the texels when one pair gives it.
    const Choice c = singleColour(decoded ? transparent : std::array<int, 3>{}.data(), false);
    c.stored(c0, c1);
    writeBlock(t, c0, c1, out);
    return;
  }

  Choice best;
  int bestError = 1 << 30;
  auto offer = [&](const Choice& c) {
    const int e = c.error(t);
    if (e < bestError) bestError = e, best = c;
  };
  if (t.distinct == 1) {
    offer(singleColour(t.point[0], false));
    if (!anyTransparent) offer(singleColour(t.point[0], true));
  } else {
    orderAlongAxis(t);
    if (!anyTransparent) {
      Kept kept;
      scoreSplits<4>(t, kept);
      for (int c = 0; c < kept.count; ++c) offer(fitSplit(t, kept.split[c], true));
    }
    Kept kept3;
    scoreSplits<3>(t, kept3);
    for (int c = 0; c < kept3.count; ++c) offer(fitSplit(t, kept3.split[c], false));
    bestError = refine(t, best, bestError);
  }
  best.stored(c0, c1);
  writeBlock(t, c0, c1, out);
}

std::vector<uint8_t> encodeCmprLevel(const Image& image, int threads) {
  const int width = image.width, height = image.height;
  const int tilesAcross = (width + 7) / 8, tilesDown = (height + 7) / 8;
  std::vector<uint8_t> out(size_t(tilesAcross) * size_t(tilesDown) * 32, 0);
  auto encodeRows = [&](int firstRow, int step) {
    for (int ty = firstRow; ty < tilesDown; ty += step)
      for (int tx = 0; tx < tilesAcross; ++tx)
        for (int sub = 0; sub < 4; ++sub) {
          const int bx = tx * 8 + (sub & 1) * 4, by = ty * 8 + (sub >> 1) * 4;
          uint8_t texels[16][4] = {};
          uint16_t valid = 0;
          for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) {
              if (bx + x >= width || by + y >= height) continue;
              valid = uint16_t(valid | 1 << (4 * y + x));
              std::memcpy(texels[4 * y + x], image.at(bx + x, by + y), 4);
            }
          encodeCmprBlock(
              texels, valid,
              &out[(size_t(ty) * size_t(tilesAcross) + size_t(tx)) * 32 + size_t(sub) * 8]);
        }
  };
  threads = std::clamp(threads, 1, std::max(1, tilesDown));
  // Small levels are not worth a thread.
  if (threads == 1 || size_t(width) * size_t(height) < 64 * 64) {
    encodeRows(0, 1);
    return out;
  }
  std::vector<std::thread> workers;
  for (int i = 1; i < threads; ++i) workers.emplace_back(encodeRows, i, threads);
  encodeRows(0, threads);
  for (std::thread& w : workers) w.join();
  return out;
}

}  // namespace glaze
