// The 4x4 compressed format's encoder.
//
// Each 4x4 block takes a window of the texture's palette and a mode: a
// pair of colours (2a, 2a+1) with the console's blends (mode 3: 5/8 and
// 3/8; mode 1: the average and a transparent code), or four colours
// (2a..2a+3) as they are (mode 2; mode 0: three and a transparent code).
// Blends are computed as the console does, on 5-bit channels, truncated, so
// every error below is the error the console shows.
//
// A palette made for the image is a sequence of pairs, which 4-colour
// windows see two at a time. It is found by Lloyd's method in the error the
// console shows: each block takes the option of least error among the
// pairs nearest to its own end points (and the windows beside them); each
// pair then moves to the least-squares fit of the texels that use it and
// is refined one 5-bit step at a time while the error of its blocks falls;
// unused pairs go to the blocks of largest error. It starts from the
// pairs that k-means finds among the blocks' own end points.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <thread>
#include <unordered_map>

#include "nitro.h"

namespace glaze::nitro {

namespace {

using Error = int64_t;
constexpr Error kNoError = std::numeric_limits<Error>::max() / 4;

// A block's distinct content: its opaque texels' colours (transparent ones
// need code 3 of mode 0 or 1), with how many blocks of the image have it.
struct Block {
  int16_t c[16][3];
  uint16_t opaque;  // texel i is opaque when bit i is set
  int weight;
  bool transparent() const { return opaque != 0xFFFF; }
};

// The decoded colours of one option and which codes opaque texels may take.
struct Choice {
  int c[4][3];
  uint8_t usable;
};

// An option a block takes: a mode and the window address (in pairs).
struct Option {
  int mode = 3;
  int at = 0;
};

void widenInto(uint16_t colour, int out[3]) {
  for (int d = 0; d < 3; ++d) out[d] = widen5(colour >> (5 * d) & 31);
}

uint16_t blend(uint16_t a, uint16_t b, int wa, int wb) {
  uint16_t out = 0;
  for (int d = 0; d < 3; ++d)
    out = uint16_t(out | (((a >> (5 * d) & 31) * wa + (b >> (5 * d) & 31) * wb) >> 3) << (5 * d));
  return out;
}

// The palette as the options see it; colours past its end are missing.
class Palette {
 public:
  explicit Palette(std::vector<uint16_t> colours) : colours_(std::move(colours)) {}
  size_t size() const { return colours_.size(); }
  uint16_t at(size_t i) const { return colours_[i]; }
  void set(size_t i, uint16_t v) { colours_[i] = v; }
  const std::vector<uint16_t>& colours() const { return colours_; }
  size_t pairs() const { return (colours_.size() + 1) / 2; }

  // The choice of option o; false when it needs a colour the palette lacks.
  bool choice(const Option& o, Choice& out) const {
    const size_t base = 2 * size_t(o.at);
    auto present = [&](int k) { return base + size_t(k) < colours_.size(); };
    out.usable = 0;
    if (o.mode == 1 || o.mode == 3) {
      if (!present(1)) return false;
      const uint16_t p0 = colours_[base], p1 = colours_[base + 1];
      widenInto(p0, out.c[0]);
      widenInto(p1, out.c[1]);
      if (o.mode == 3) {
        widenInto(blend(p0, p1, 5, 3), out.c[2]);
        widenInto(blend(p0, p1, 3, 5), out.c[3]);
        out.usable = 15;
      } else {
        widenInto(blend(p0, p1, 4, 4), out.c[2]);
        out.usable = 7;
      }
      return true;
    }
    const int colours = o.mode == 2 ? 4 : 3;
    for (int k = 0; k < colours; ++k)
      if (present(k)) {
        widenInto(colours_[base + size_t(k)], out.c[k]);
        out.usable = uint8_t(out.usable | 1 << k);
      }
    return out.usable != 0;
  }

 private:
  std::vector<uint16_t> colours_;
};

// The error of a block under a choice (texels weighted by the block's
// count), giving up once it passes `bound`; the codes when asked.
Error blockError(const Block& b, const Choice& ch, Error bound, uint8_t* codes = nullptr) {
  Error total = 0;
  for (int i = 0; i < 16; ++i) {
    if (!(b.opaque >> i & 1)) {
      if (codes) codes[i] = 3;
      continue;
    }
    int best = std::numeric_limits<int>::max(), code = 0;
    for (int k = 0; k < 4; ++k) {
      if (!(ch.usable >> k & 1)) continue;
      const int dr = b.c[i][0] - ch.c[k][0], dg = b.c[i][1] - ch.c[k][1],
                dbl = b.c[i][2] - ch.c[k][2];
      const int e = dr * dr + dg * dg + dbl * dbl;
      if (e < best) best = e, code = k;
    }
    if (codes) codes[i] = uint8_t(code);
    total += Error(best) * b.weight;
    if (total > bound) return total;
  }
  return total;
}

// Modes a block may take: with a transparent texel only 1 and 0.
bool allowed(const Block& b, int mode) { return b.transparent() ? mode <= 1 : true; }

// The blocks of an image, identical ones merged; index[k] is the distinct
// block of image block k.
struct Blocks {
  std::vector<Block> distinct;
  std::vector<uint32_t> index;
};

Blocks blocksOf(const Image& image) {
  Blocks out;
  const int across = image.width / 4, down = image.height / 4;
  std::unordered_map<std::string, uint32_t> seen;
  for (int by = 0; by < down; ++by)
    for (int bx = 0; bx < across; ++bx) {
      Block b{};
      for (int i = 0; i < 16; ++i) {
        const uint8_t* p = image.at(4 * bx + i % 4, 4 * by + i / 4);
        if (p[3] < 128) continue;
        b.opaque = uint16_t(b.opaque | 1 << i);
        for (int d = 0; d < 3; ++d) b.c[i][d] = p[d];
      }
      const std::string key(reinterpret_cast<const char*>(&b), offsetof(Block, weight));
      const auto [it, added] = seen.emplace(key, uint32_t(out.distinct.size()));
      if (added) {
        b.weight = 0;
        out.distinct.push_back(b);
      }
      ++out.distinct[it->second].weight;
      out.index.push_back(it->second);
    }
  return out;
}

// Runs f(begin, end) over [0, n) in `threads` slices.
void inParallel(size_t n, int threads, const std::function<void(size_t, size_t)>& f) {
  const size_t slices =
      std::clamp<size_t>(size_t(std::max(threads, 1)), 1, std::max<size_t>(n / 64, 1));
  if (slices <= 1) return f(0, n);
  std::vector<std::thread> workers;
  for (size_t s = 1; s < slices; ++s) workers.emplace_back(f, n * s / slices, n * (s + 1) / slices);
  f(0, n / slices);
  for (std::thread& w : workers) w.join();
}

// ---------------------------------------------------------------------------
// End points

// A block's own end points along its colours' principal axis, refined by
// least squares over the console's mode 3 (or 1) weights: six numbers, the
// brighter end first.
struct Ends {
  double e[6];
};

// Weights of (P0, P1) per code of modes 0..3 (mode 0 and 2 codes 2 and 3
// belong to the next pair, so they do not appear here).
constexpr double kWeights[4][4][2] = {
    {{1, 0}, {0, 1}, {0, 0}, {0, 0}},
    {{1, 0}, {0, 1}, {0.5, 0.5}, {0, 0}},
    {{1, 0}, {0, 1}, {0, 0}, {0, 0}},
    {{1, 0}, {0, 1}, {0.625, 0.375}, {0.375, 0.625}},
};

Ends endsOf(const Block& b) {
  double mean[3] = {}, n = 0;
  for (int i = 0; i < 16; ++i)
    if (b.opaque >> i & 1) {
      for (int d = 0; d < 3; ++d) mean[d] += b.c[i][d];
      ++n;
    }
  Ends out{};
  if (n == 0) return out;
  for (double& m : mean) m /= n;
  double cov[3][3] = {};
  for (int i = 0; i < 16; ++i)
    if (b.opaque >> i & 1)
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) cov[r][c] += (b.c[i][r] - mean[r]) * (b.c[i][c] - mean[c]);
  double axis[3] = {0.577, 0.577, 0.577};
  for (int k = 0; k < 8; ++k) {
    double next[3] = {};
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) next[r] += cov[r][c] * axis[c];
    const double length = std::sqrt(next[0] * next[0] + next[1] * next[1] + next[2] * next[2]);
    if (length < 1e-9) break;
    for (int d = 0; d < 3; ++d) axis[d] = next[d] / length;
  }
  double low = 0, high = 0;
  for (int i = 0; i < 16; ++i)
    if (b.opaque >> i & 1) {
      double t = 0;
      for (int d = 0; d < 3; ++d) t += (b.c[i][d] - mean[d]) * axis[d];
      low = std::min(low, t), high = std::max(high, t);
    }
  for (int d = 0; d < 3; ++d) {
    out.e[d] = mean[d] + high * axis[d];
    out.e[3 + d] = mean[d] + low * axis[d];
  }
  // Two rounds of least squares with each texel at its nearest of the four
  // mode 3 points.
  for (int round = 0; round < 2; ++round) {
    double a00 = 0, a01 = 0, a11 = 0, b0[3] = {}, b1[3] = {};
    for (int i = 0; i < 16; ++i) {
      if (!(b.opaque >> i & 1)) continue;
      int best = 0;
      double bestE = INFINITY;
      for (int k = 0; k < 4; ++k) {
        double e = 0;
        for (int d = 0; d < 3; ++d) {
          const double v = kWeights[3][k][0] * out.e[d] + kWeights[3][k][1] * out.e[3 + d];
          e += (v - b.c[i][d]) * (v - b.c[i][d]);
        }
        if (e < bestE) bestE = e, best = k;
      }
      const double w0 = kWeights[3][best][0], w1 = kWeights[3][best][1];
      a00 += w0 * w0, a01 += w0 * w1, a11 += w1 * w1;
      for (int d = 0; d < 3; ++d) b0[d] += w0 * b.c[i][d], b1[d] += w1 * b.c[i][d];
    }
    const double det = a00 * a11 - a01 * a01;
    if (det < 1e-9) break;
    for (int d = 0; d < 3; ++d) {
      out.e[d] = std::clamp((b0[d] * a11 - b1[d] * a01) / det, 0.0, 255.0);
      out.e[3 + d] = std::clamp((b1[d] * a00 - b0[d] * a01) / det, 0.0, 255.0);
    }
  }
  const double l0 = out.e[0] * 2 + out.e[1] * 4 + out.e[2],
               l1 = out.e[3] * 2 + out.e[4] * 4 + out.e[5];
  if (l1 > l0)
    for (int d = 0; d < 3; ++d) std::swap(out.e[d], out.e[3 + d]);
  return out;
}

// Squared distance of end points to a pair, in either order.
double endsDistance(const Ends& e, const double pair[6]) {
  double same = 0, swapped = 0;
  for (int d = 0; d < 3; ++d) {
    same += (e.e[d] - pair[d]) * (e.e[d] - pair[d]) +
            (e.e[3 + d] - pair[3 + d]) * (e.e[3 + d] - pair[3 + d]);
    swapped += (e.e[d] - pair[3 + d]) * (e.e[d] - pair[3 + d]) +
               (e.e[3 + d] - pair[d]) * (e.e[3 + d] - pair[d]);
  }
  return std::min(same, swapped);
}

uint16_t colourOf(const double c[3]) {
  uint8_t rgb[3];
  for (int d = 0; d < 3; ++d) rgb[d] = uint8_t(std::clamp(std::lround(c[d]), 0L, 255L));
  return rgb555(rgb);
}

// k-means of the blocks' end points (weighted by their spread, which is
// what a pair must cover) into `count` pairs.
std::vector<uint16_t> initialPairs(const std::vector<Block>& blocks, const std::vector<Ends>& ends,
                                   size_t count) {
  std::vector<double> weight(blocks.size());
  for (size_t b = 0; b < blocks.size(); ++b) {
    double spread = 0;
    for (int d = 0; d < 3; ++d) spread += std::abs(ends[b].e[d] - ends[b].e[3 + d]);
    weight[b] = blocks[b].weight * (1 + spread);
  }
  // Seeds spread over the blocks in order of brightness.
  std::vector<size_t> order(blocks.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return ends[a].e[0] + ends[a].e[1] + ends[a].e[2] + ends[a].e[3] + ends[a].e[4] + ends[a].e[5] <
           ends[b].e[0] + ends[b].e[1] + ends[b].e[2] + ends[b].e[3] + ends[b].e[4] + ends[b].e[5];
  });
  std::vector<std::array<double, 6>> centres(count);
  for (size_t k = 0; k < count; ++k) {
    const Ends& e =
        ends[order[std::min(order.size() - 1, (2 * k + 1) * order.size() / (2 * count))]];
    std::copy_n(e.e, 6, centres[k].data());
  }
  std::vector<size_t> owner(blocks.size(), 0);
  for (int round = 0; round < 8; ++round) {
    for (size_t b = 0; b < blocks.size(); ++b) {
      double best = INFINITY;
      for (size_t k = 0; k < count; ++k) {
        const double e = endsDistance(ends[b], centres[k].data());
        if (e < best) best = e, owner[b] = k;
      }
    }
    std::vector<std::array<double, 7>> sums(count, {0, 0, 0, 0, 0, 0, 0});
    for (size_t b = 0; b < blocks.size(); ++b) {
      const double* c = centres[owner[b]].data();
      double same = 0, swapped = 0;
      for (int d = 0; d < 3; ++d) {
        same += std::pow(ends[b].e[d] - c[d], 2) + std::pow(ends[b].e[3 + d] - c[3 + d], 2);
        swapped += std::pow(ends[b].e[d] - c[3 + d], 2) + std::pow(ends[b].e[3 + d] - c[d], 2);
      }
      auto& s = sums[owner[b]];
      for (int d = 0; d < 6; ++d)
        s[size_t(d)] += weight[b] * (same <= swapped ? ends[b].e[d] : ends[b].e[(d + 3) % 6]);
      s[6] += weight[b];
    }
    for (size_t k = 0; k < count; ++k)
      if (sums[k][6] > 0)
        for (int d = 0; d < 6; ++d) centres[k][size_t(d)] = sums[k][size_t(d)] / sums[k][6];
  }
  std::vector<uint16_t> colours;
  for (const auto& c : centres) {
    colours.push_back(colourOf(c.data()));
    colours.push_back(colourOf(c.data() + 3));
  }
  return colours;
}

// ---------------------------------------------------------------------------
// Lloyd's method over the pairs

class Optimiser {
 public:
  Optimiser(const std::vector<Block>& blocks, std::vector<uint16_t> colours, int threads)
      : blocks_(blocks),
        palette_(std::move(colours)),
        threads_(threads),
        option_(blocks.size()),
        error_(blocks.size(), kNoError) {
    ends_.reserve(blocks.size());
    for (const Block& b : blocks) ends_.push_back(endsOf(b));
  }

  const std::vector<Ends>& ends() const { return ends_; }
  const Palette& palette() const { return palette_; }
  const std::vector<Option>& options() const { return option_; }

  // Each block's best option among its candidates (all options when
  // `everything`); returns the total error.
  Error assign(bool everything) {
    const size_t pairs = palette_.pairs();
    std::vector<std::array<double, 6>> keys(pairs);
    for (size_t p = 0; p < pairs; ++p) {
      int c0[3], c1[3];
      widenInto(palette_.at(2 * p), c0);
      widenInto(palette_.at(std::min(2 * p + 1, palette_.size() - 1)), c1);
      for (int d = 0; d < 3; ++d) keys[p][size_t(d)] = c0[d], keys[p][size_t(3 + d)] = c1[d];
    }
    inParallel(blocks_.size(), threads_, [&](size_t begin, size_t end) {
      std::vector<std::pair<double, uint32_t>> near(pairs);
      for (size_t b = begin; b < end; ++b) {
        const Block& block = blocks_[b];
        Option best = option_[b];
        Error bestError = kNoError;
        Choice ch;
        if (palette_.choice(best, ch) && allowed(block, best.mode))
          bestError = blockError(block, ch, kNoError);
        auto consider = [&](Option o) {
          if (!allowed(block, o.mode) || !palette_.choice(o, ch)) return;
          const Error e = blockError(block, ch, bestError);
          if (e < bestError) bestError = e, best = o;
        };
        auto pairOptions = [&](int p) {
          consider({block.transparent() ? 1 : 3, p});
          if (!block.transparent()) consider({1, p});
          if (p > 0) consider({block.transparent() ? 0 : 2, p - 1});
          consider({block.transparent() ? 0 : 2, p});
        };
        if (everything || pairs <= kCandidates) {
          for (size_t p = 0; p < pairs; ++p) pairOptions(int(p));
        } else {
          for (size_t p = 0; p < pairs; ++p)
            near[p] = {endsDistance(ends_[b], keys[p].data()), uint32_t(p)};
          std::partial_sort(near.begin(), near.begin() + kCandidates, near.end());
          for (size_t k = 0; k < kCandidates; ++k) pairOptions(int(near[k].second));
        }
        option_[b] = best;
        error_[b] = bestError;
      }
    });
    Error total = 0;
    for (Error e : error_) total += e;
    return total;
  }

  // Moves every pair to the least-squares fit of the texels that use it,
  // then refines it step by step; unused pairs go where the error is.
  void update() {
    const size_t pairs = palette_.pairs();
    // The blocks that see each pair: as a pair, or in a window starting at
    // it or before it.
    std::vector<std::vector<uint32_t>> users(pairs);
    for (size_t b = 0; b < blocks_.size(); ++b) {
      const Option& o = option_[b];
      users[size_t(o.at)].push_back(uint32_t(b));
      if ((o.mode == 0 || o.mode == 2) && size_t(o.at) + 1 < pairs)
        users[size_t(o.at) + 1].push_back(uint32_t(b));
    }
    reseed(users);
    // A window's blocks see two neighbouring pairs: even pairs are fitted
    // at once, then odd ones, so that no pair moves while another's blocks
    // look at it.
    for (size_t parity = 0; parity < 2; ++parity)
      inParallel((pairs + 1 - parity) / 2, threads_, [&](size_t begin, size_t end) {
        for (size_t k = begin; k < end; ++k) {
          const size_t p = 2 * k + parity;
          if (!users[p].empty()) fit(p, users[p]);
        }
      });
  }

 private:
  static constexpr size_t kCandidates = 12;

  // The error of the blocks that see pair p.
  Error usersError(const std::vector<uint32_t>& users) const {
    Error total = 0;
    Choice ch;
    for (uint32_t b : users) {
      if (!palette_.choice(option_[b], ch)) return kNoError;
      total += blockError(blocks_[b], ch, kNoError);
    }
    return total;
  }

  // Least squares for pair p over its users' texels (each at the code it
  // takes now), then one-step moves of its six channels while they help.
  void fit(size_t p, const std::vector<uint32_t>& users) {
    double a00 = 0, a01 = 0, a11 = 0, b0[3] = {}, b1[3] = {};
    Choice ch;
    uint8_t codes[16];
    for (uint32_t b : users) {
      const Option& o = option_[b];
      if (!palette_.choice(o, ch)) continue;
      blockError(blocks_[b], ch, kNoError, codes);
      const Block& block = blocks_[b];
      for (int i = 0; i < 16; ++i) {
        if (!(block.opaque >> i & 1)) continue;
        double w0, w1;
        if (o.mode == 1 || o.mode == 3) {
          w0 = kWeights[o.mode][codes[i]][0], w1 = kWeights[o.mode][codes[i]][1];
        } else {
          const size_t colour = 2 * size_t(o.at) + codes[i];  // which colour of the window
          if (colour / 2 != p) continue;
          w0 = colour % 2 == 0, w1 = colour % 2 == 1;
        }
        const double w = block.weight;
        a00 += w * w0 * w0, a01 += w * w0 * w1, a11 += w * w1 * w1;
        for (int d = 0; d < 3; ++d)
          b0[d] += w * w0 * block.c[i][d], b1[d] += w * w1 * block.c[i][d];
      }
    }
    int old0[3], old1[3];
    widenInto(palette_.at(2 * p), old0);
    widenInto(palette_.at(2 * p + 1), old1);
    double n0[3], n1[3];
    const double det = a00 * a11 - a01 * a01;
    for (int d = 0; d < 3; ++d) {
      if (det > 1e-6 * (a00 + a11) * (a00 + a11)) {
        n0[d] = (b0[d] * a11 - b1[d] * a01) / det;
        n1[d] = (b1[d] * a00 - b0[d] * a01) / det;
      } else {
        n0[d] = a00 > 0 && a11 == 0 ? b0[d] / a00 : old0[d];
        n1[d] = a11 > 0 && a00 == 0 ? b1[d] / a11 : old1[d];
      }
    }
    const uint16_t before0 = palette_.at(2 * p), before1 = palette_.at(2 * p + 1);
    const Error before = usersError(users);
    palette_.set(2 * p, colourOf(n0));
    palette_.set(2 * p + 1, colourOf(n1));
    Error now = usersError(users);
    if (now > before) {
      palette_.set(2 * p, before0);
      palette_.set(2 * p + 1, before1);
      now = before;
    }
    // One-step moves of each channel of either colour.
    for (bool improved = true; improved;) {
      improved = false;
      for (int k = 0; k < 6; ++k)
        for (int step : {-1, 1}) {
          const size_t colour = 2 * p + size_t(k / 3);
          const uint16_t old = palette_.at(colour);
          const int shift = 5 * (k % 3), v = (old >> shift & 31) + step;
          if (v < 0 || v > 31) continue;
          palette_.set(colour, uint16_t((old & ~(31 << shift)) | v << shift));
          const Error e = usersError(users);
          if (e < now) {
            now = e;
            improved = true;
          } else {
            palette_.set(colour, old);
          }
        }
    }
  }

  // Pairs no block uses move to the blocks of largest error, each taking
  // that block's own end points (and the block).
  void reseed(std::vector<std::vector<uint32_t>>& users) {
    std::vector<size_t> unused;
    for (size_t p = 0; p < users.size(); ++p)
      if (users[p].empty() && 2 * p + 1 < palette_.size()) unused.push_back(p);
    if (unused.empty()) return;
    std::vector<uint32_t> worst(blocks_.size());
    for (size_t b = 0; b < worst.size(); ++b) worst[b] = uint32_t(b);
    const size_t n = std::min(unused.size(), worst.size());
    std::partial_sort(worst.begin(), worst.begin() + long(n), worst.end(),
                      [&](uint32_t a, uint32_t b) { return error_[a] > error_[b]; });
    for (size_t k = 0; k < n; ++k) {
      const uint32_t b = worst[k];
      if (error_[b] <= 0) break;
      const size_t p = unused[k];
      palette_.set(2 * p, colourOf(ends_[b].e));
      palette_.set(2 * p + 1, colourOf(ends_[b].e + 3));
      // The block leaves the pairs it used.
      const Option& o = option_[b];
      for (size_t q : {size_t(o.at), size_t(o.at) + 1})
        if (q < users.size()) std::erase(users[q], b);
      option_[b] = {blocks_[b].transparent() ? 1 : 3, int(p)};
      users[p].push_back(b);
    }
  }

  const std::vector<Block>& blocks_;
  Palette palette_;
  int threads_;
  std::vector<Ends> ends_;
  std::vector<Option> option_;
  std::vector<Error> error_;
};

// The words of every image block from the options of the distinct blocks.
Tex4x4 words(const Blocks& blocks, const Palette& palette, const std::vector<Option>& options) {
  Tex4x4 out;
  out.palette = palette.colours();
  out.texels.resize(4 * blocks.index.size());
  out.index.resize(2 * blocks.index.size());
  std::vector<uint32_t> word(blocks.distinct.size());
  for (size_t b = 0; b < blocks.distinct.size(); ++b) {
    Choice ch;
    uint8_t codes[16];
    if (palette.choice(options[b], ch)) {
      blockError(blocks.distinct[b], ch, kNoError, codes);
    } else {
      std::fill_n(codes, 16, uint8_t(3));  // only transparent texels reach here
    }
    uint32_t w = 0;
    for (int i = 0; i < 16; ++i) w |= uint32_t(codes[i]) << (2 * i);
    word[b] = w;
  }
  for (size_t k = 0; k < blocks.index.size(); ++k) {
    const uint32_t b = blocks.index[k];
    const uint16_t index = uint16_t(options[b].mode << 14 | (options[b].at & 0x3FFF));
    for (int i = 0; i < 4; ++i) out.texels[4 * k + size_t(i)] = uint8_t(word[b] >> (8 * i));
    out.index[2 * k] = uint8_t(index);
    out.index[2 * k + 1] = uint8_t(index >> 8);
  }
  return out;
}

}  // namespace

Tex4x4 encode4x4(const Image& image, int budget, int threads) {
  const Blocks blocks = blocksOf(image);
  const size_t pairs = size_t(std::clamp(budget / 2, 1, 16384));
  std::vector<Ends> ends;
  for (const Block& b : blocks.distinct) ends.push_back(endsOf(b));
  Optimiser optimiser(blocks.distinct, initialPairs(blocks.distinct, ends, pairs), threads);
  Error last = optimiser.assign(false);
  for (int round = 0; round < 12; ++round) {
    optimiser.update();
    const Error now = optimiser.assign(false);
    if (now >= last - last / 1000) break;
    last = now;
  }
  optimiser.assign(pairs <= 256);
  return words(blocks, optimiser.palette(), optimiser.options());
}

Tex4x4 encode4x4Fixed(const Image& image, const std::vector<uint16_t>& palette, int threads,
                      const std::vector<bool>* wanted) {
  const Blocks blocks = blocksOf(image);
  const Palette fixed(palette);
  std::vector<Option> options(blocks.distinct.size(), {1, 0});
  std::vector<bool> search(blocks.distinct.size(), !wanted);
  if (wanted)
    for (size_t k = 0; k < blocks.index.size(); ++k)
      if ((*wanted)[k]) search[blocks.index[k]] = true;
  // A window's address has 14 bits.
  const int windows = int(std::min<size_t>(fixed.pairs(), 1 << 14));
  inParallel(blocks.distinct.size(), threads, [&](size_t begin, size_t end) {
    Choice ch;
    for (size_t b = begin; b < end; ++b) {
      if (!search[b]) continue;
      const Block& block = blocks.distinct[b];
      Error best = kNoError;
      for (int at = 0; at < windows; ++at)
        for (int mode : {3, 2, 1, 0}) {
          const Option o{mode, at};
          if (!allowed(block, mode) || !fixed.choice(o, ch)) continue;
          const Error e = blockError(block, ch, best);
          if (e < best) best = e, options[b] = o;
        }
      if (best == kNoError) options[b] = {1, 0};
    }
  });
  return words(blocks, fixed, options);
}

}  // namespace glaze::nitro
