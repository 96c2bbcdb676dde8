// Palettes: the exact colours when they fit, otherwise a variance-based
// median cut refined by a few rounds of k-means.
//
// Every texel is first taken to its nearest palette value (16 bits), so an
// image never has more than 65536 colours to consider: the work is done on
// that histogram, whose buckets also keep the sum of the original colours
// (a bucket's position is their mean, not its rounded value).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numeric>
#include <queue>

#include "gx.h"

namespace glaze {

namespace {

struct Point {
  uint16_t key;   // the palette value the texels round to
  double weight;  // texels
  double c[4];    // mean original colour
};

struct Box {
  size_t begin, end;
  double error;  // weighted squared error around the mean
  bool operator<(const Box& other) const { return error < other.error; }
};

double boxError(const std::vector<Point>& points, size_t begin, size_t end) {
  double w = 0, s[4] = {}, q = 0;
  for (size_t i = begin; i < end; ++i) {
    const Point& p = points[i];
    w += p.weight;
    for (int d = 0; d < 4; ++d) {
      s[d] += p.weight * p.c[d];
      q += p.weight * p.c[d] * p.c[d];
    }
  }
  if (w == 0) return 0;
  double e = q;
  for (int d = 0; d < 4; ++d) e -= s[d] * s[d] / w;
  return std::max(0.0, e);
}

// Splits points[begin, end) in two along its widest axis at the place that
// leaves the least error on both sides; returns the first index of the
// second half (begin < result < end).
size_t splitBox(std::vector<Point>& points, size_t begin, size_t end) {
  double w = 0, s[4] = {}, q[4] = {};
  for (size_t i = begin; i < end; ++i)
    for (int d = 0; d < 4; ++d) {
      s[d] += points[i].weight * points[i].c[d];
      q[d] += points[i].weight * points[i].c[d] * points[i].c[d];
    }
  for (size_t i = begin; i < end; ++i) w += points[i].weight;
  int axis = 0;
  double widest = -1;
  for (int d = 0; d < 4; ++d) {
    const double variance = q[d] - s[d] * s[d] / w;
    if (variance > widest) widest = variance, axis = d;
  }
  std::sort(points.begin() + long(begin), points.begin() + long(end),
            [axis](const Point& a, const Point& b) {
              return a.c[axis] < b.c[axis] || (a.c[axis] == b.c[axis] && a.key < b.key);
            });
  double totalQ = 0;
  for (int d = 0; d < 4; ++d) totalQ += q[d];
  double lw = 0, ls[4] = {}, best = INFINITY;
  size_t at = begin + 1;
  for (size_t i = begin; i + 1 < end; ++i) {
    const Point& p = points[i];
    lw += p.weight;
    for (int d = 0; d < 4; ++d) ls[d] += p.weight * p.c[d];
    const double rw = w - lw;
    double e = totalQ;
    for (int d = 0; d < 4; ++d) {
      e -= ls[d] * ls[d] / lw;
      e -= (s[d] - ls[d]) * (s[d] - ls[d]) / rw;
    }
    if (e < best) best = e, at = i + 1;
  }
  return at;
}

double distance(const double a[4], const uint8_t b[4]) {
  double e = 0;
  for (int d = 0; d < 4; ++d) e += (a[d] - b[d]) * (a[d] - b[d]);
  return e;
}

// The palette value nearest to a mean colour.
uint16_t entryOf(PaletteFormat format, const double c[4]) {
  uint8_t rgba[4];
  for (int d = 0; d < 4; ++d) rgba[d] = uint8_t(std::clamp(std::lround(c[d]), 0L, 255L));
  return encodePaletteEntry(format, rgba);
}

std::vector<uint16_t> quantise(PaletteFormat format, int maxEntries, std::vector<Point> points,
                               std::vector<int>& entryOfKey) {
  // Texels either side of the alpha test (128) keep their side: the boxes
  // start apart and each texel takes an entry of its side, so that a
  // cut-out's mip levels keep the share of texels that pass.
  const bool alphaTested = format != kPalRGB565;
  auto passes = [](double alpha) { return alpha >= 127.5; };
  std::priority_queue<Box> boxes;
  std::vector<Box> done;
  const size_t failing = size_t(
      std::stable_partition(points.begin(), points.end(),
                            [&](const Point& p) { return !alphaTested || !passes(p.c[3]); }) -
      points.begin());
  if (failing == 0 || failing == points.size()) {
    boxes.push({0, points.size(), boxError(points, 0, points.size())});
  } else {
    boxes.push({0, failing, boxError(points, 0, failing)});
    boxes.push({failing, points.size(), boxError(points, failing, points.size())});
  }
  while (!boxes.empty() && int(boxes.size() + done.size()) < maxEntries) {
    const Box box = boxes.top();
    boxes.pop();
    if (box.end - box.begin < 2 || box.error <= 0) {
      done.push_back(box);
      continue;
    }
    const size_t at = splitBox(points, box.begin, box.end);
    boxes.push({box.begin, at, boxError(points, box.begin, at)});
    boxes.push({at, box.end, boxError(points, at, box.end)});
  }
  while (!boxes.empty()) done.push_back(boxes.top()), boxes.pop();

  std::vector<std::array<double, 4>> centres(done.size());
  std::vector<int> owner(points.size());
  for (size_t b = 0; b < done.size(); ++b) {
    double w = 0, s[4] = {};
    for (size_t i = done[b].begin; i < done[b].end; ++i) {
      owner[i] = int(b);
      w += points[i].weight;
      for (int d = 0; d < 4; ++d) s[d] += points[i].weight * points[i].c[d];
    }
    for (int d = 0; d < 4; ++d) centres[b][size_t(d)] = s[d] / w;
  }

  // Refinement: k-means on the histogram, the centres then taken to palette
  // values and every point to its nearest entry. Large palettes (C14X2)
  // keep the boxes: their colours are already close.
  std::vector<uint16_t> entries(centres.size());
  std::vector<std::array<uint8_t, 4>> decoded(centres.size());
  auto settle = [&] {
    for (size_t b = 0; b < centres.size(); ++b) {
      entries[b] = entryOf(format, centres[b].data());
      decodePaletteEntry(format, entries[b], decoded[b].data());
    }
  };
  // The nearest entry of the point's side of the alpha test, when it has one.
  auto nearest = [&](const Point& p) {
    int chosen = -1;
    double best = INFINITY;
    for (int pass = 0; pass < 2 && chosen < 0; ++pass)
      for (size_t b = 0; b < decoded.size(); ++b) {
        if (pass == 0 && alphaTested && passes(decoded[b][3]) != passes(p.c[3])) continue;
        const double e = distance(p.c, decoded[b].data());
        if (e < best) best = e, chosen = int(b);
      }
    return chosen;
  };
  const bool refine = centres.size() <= 256;
  for (int round = 0; refine && round < 4; ++round) {
    settle();
    std::vector<std::array<double, 5>> sums(centres.size(), {0, 0, 0, 0, 0});
    for (size_t i = 0; i < points.size(); ++i) {
      owner[i] = nearest(points[i]);
      auto& s = sums[size_t(owner[i])];
      for (int d = 0; d < 4; ++d) s[size_t(d)] += points[i].weight * points[i].c[d];
      s[4] += points[i].weight;
    }
    for (size_t b = 0; b < centres.size(); ++b)
      if (sums[b][4] > 0)
        for (int d = 0; d < 4; ++d) centres[b][size_t(d)] = sums[b][size_t(d)] / sums[b][4];
  }
  settle();
  for (size_t i = 0; i < points.size(); ++i) {
    entryOfKey[points[i].key] = refine ? nearest(points[i]) : owner[i];
  }
  return entries;
}

}  // namespace

std::vector<uint16_t> buildPalette(PaletteFormat format, int maxEntries,
                                   const std::vector<Image>& levels,
                                   std::vector<uint16_t>& indices) {
  struct Bucket {
    uint32_t count = 0;
    uint64_t sum[4] = {};
  };
  std::vector<Bucket> histogram(65536);
  std::vector<uint16_t> keys;
  size_t texels = 0;
  for (const Image& level : levels) texels += size_t(level.width) * size_t(level.height);
  keys.reserve(texels);
  for (const Image& level : levels)
    for (size_t i = 0; i < level.rgba.size(); i += 4) {
      const uint8_t* c = &level.rgba[i];
      const uint16_t key = encodePaletteEntry(format, c);
      keys.push_back(key);
      Bucket& b = histogram[key];
      ++b.count;
      for (int d = 0; d < 4; ++d) b.sum[d] += c[d];
    }

  std::vector<Point> points;
  for (uint32_t key = 0; key < 65536; ++key) {
    const Bucket& b = histogram[key];
    if (b.count == 0) continue;
    Point p{uint16_t(key), double(b.count), {}};
    for (int d = 0; d < 4; ++d) p.c[d] = double(b.sum[d]) / b.count;
    points.push_back(p);
  }

  std::vector<int> entryOfKey(65536, 0);
  std::vector<uint16_t> entries;
  if (points.size() <= size_t(maxEntries)) {
    // Exact: the rounded colours themselves.
    for (const Point& p : points) {
      entryOfKey[p.key] = int(entries.size());
      entries.push_back(p.key);
    }
  } else {
    entries = quantise(format, maxEntries, std::move(points), entryOfKey);
  }
  if (entries.empty()) entries.push_back(0);
  indices.resize(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) indices[i] = uint16_t(entryOfKey[keys[i]]);
  return entries;
}

}  // namespace glaze
