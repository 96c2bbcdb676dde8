// Palettes of the DS formats: a quantiser for RGB555 palettes and the
// nearest colour of a palette.
//
// The quantiser works on the histogram of the colours' nearest RGB555
// values (at most 32768 buckets, each keeping the weighted mean of the
// colours in it), so its cost does not grow with the image: boxes of the
// histogram are split, the one of largest error first, along their axis of
// largest variance where the two halves' error is least; then k-means
// moves the centres until no bucket changes its centre, and a last pass
// settles the centres on RGB555 values.
#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <queue>

#include "nitro.h"

namespace glaze::nitro {

namespace {

struct Point {
  double weight;
  double c[3];  // the weighted mean of the colours in the bucket
};

struct Moments {
  double w = 0, s[3] = {}, q = 0;
  void add(const Point& p) {
    w += p.weight;
    for (int d = 0; d < 3; ++d) {
      s[d] += p.weight * p.c[d];
      q += p.weight * p.c[d] * p.c[d];
    }
  }
  double error() const {
    if (w <= 0) return 0;
    double e = q;
    for (int d = 0; d < 3; ++d) e -= s[d] * s[d] / w;
    return std::max(0.0, e);
  }
};

struct Box {
  size_t begin, end;
  double error;
  bool operator<(const Box& o) const { return error < o.error; }
};

Moments momentsOf(const std::vector<Point>& points, size_t begin, size_t end) {
  Moments m;
  for (size_t i = begin; i < end; ++i) m.add(points[i]);
  return m;
}

// Sorts the box along its axis of largest variance and returns where the
// split leaves the least error (begin < result < end).
size_t split(std::vector<Point>& points, size_t begin, size_t end) {
  const Moments all = momentsOf(points, begin, end);
  int axis = 0;
  double widest = -1;
  for (int d = 0; d < 3; ++d) {
    double q = 0;
    for (size_t i = begin; i < end; ++i) q += points[i].weight * points[i].c[d] * points[i].c[d];
    const double variance = q - all.s[d] * all.s[d] / all.w;
    if (variance > widest) widest = variance, axis = d;
  }
  std::sort(points.begin() + long(begin), points.begin() + long(end),
            [axis](const Point& a, const Point& b) { return a.c[axis] < b.c[axis]; });
  Moments left;
  double best = INFINITY;
  size_t at = begin + 1;
  for (size_t i = begin; i + 1 < end; ++i) {
    left.add(points[i]);
    Moments right;
    right.w = all.w - left.w;
    for (int d = 0; d < 3; ++d) right.s[d] = all.s[d] - left.s[d];
    right.q = all.q - left.q;
    const double e = left.error() + right.error();
    if (e < best) best = e, at = i + 1;
  }
  return at;
}

double distance(const double a[3], const double b[3]) {
  double e = 0;
  for (int d = 0; d < 3; ++d) e += (a[d] - b[d]) * (a[d] - b[d]);
  return e;
}

// Assigns every point to its nearest centre, starting from the one it had:
// a centre at least twice as far from the best one so far as the point is
// cannot be nearer. Returns whether any point changed.
bool assign(const std::vector<Point>& points, const std::vector<std::array<double, 3>>& centres,
            std::vector<int>& owner) {
  const size_t k = centres.size();
  std::vector<double> between(k * k);
  for (size_t a = 0; a < k; ++a)
    for (size_t b = 0; b < k; ++b)
      between[a * k + b] = distance(centres[a].data(), centres[b].data());
  bool changed = false;
  for (size_t i = 0; i < points.size(); ++i) {
    const size_t current = size_t(owner[i]);
    size_t best = current;
    double bestDistance = distance(points[i].c, centres[current].data());
    for (size_t b = 0; b < k; ++b) {
      if (b == current || between[best * k + b] >= 4 * bestDistance) continue;
      const double e = distance(points[i].c, centres[b].data());
      if (e < bestDistance || (e == bestDistance && b < best)) bestDistance = e, best = b;
    }
    if (best != current) owner[i] = int(best), changed = true;
  }
  return changed;
}

// Moves each centre to the mean of its points; an empty one goes to the
// point of largest error.
void update(const std::vector<Point>& points, std::vector<std::array<double, 3>>& centres,
            std::vector<int>& owner) {
  std::vector<Moments> sums(centres.size());
  for (size_t i = 0; i < points.size(); ++i) sums[size_t(owner[i])].add(points[i]);
  for (size_t b = 0; b < centres.size(); ++b) {
    if (sums[b].w > 0) {
      for (int d = 0; d < 3; ++d) centres[b][size_t(d)] = sums[b].s[d] / sums[b].w;
      continue;
    }
    size_t worst = 0;
    double worstError = -1;
    for (size_t i = 0; i < points.size(); ++i) {
      const double e = points[i].weight * distance(points[i].c, centres[size_t(owner[i])].data());
      if (e > worstError) worstError = e, worst = i;
    }
    for (int d = 0; d < 3; ++d) centres[b][size_t(d)] = points[worst].c[d];
    owner[worst] = int(b);
  }
}

uint16_t rgb555Of(const std::array<double, 3>& c) {
  uint8_t rgb[3];
  for (int d = 0; d < 3; ++d) rgb[d] = uint8_t(std::clamp(std::lround(c[size_t(d)]), 0L, 255L));
  return rgb555(rgb);
}

}  // namespace

std::vector<uint16_t> quantise(const std::vector<WeightedColour>& colours, int count) {
  std::vector<Moments> histogram(32768);
  for (const WeightedColour& c : colours) {
    if (c.weight <= 0) continue;
    Point p{c.weight, {double(c.rgb[0]), double(c.rgb[1]), double(c.rgb[2])}};
    histogram[rgb555(c.rgb)].add(p);
  }
  std::vector<Point> points;
  for (const Moments& m : histogram)
    if (m.w > 0) points.push_back({m.w, {m.s[0] / m.w, m.s[1] / m.w, m.s[2] / m.w}});
  if (points.empty() || count <= 0) return {};

  std::priority_queue<Box> boxes;
  std::vector<Box> done;
  boxes.push({0, points.size(), momentsOf(points, 0, points.size()).error()});
  while (!boxes.empty() && int(boxes.size() + done.size()) < count) {
    const Box box = boxes.top();
    boxes.pop();
    if (box.end - box.begin < 2 || box.error <= 0) {
      done.push_back(box);
      continue;
    }
    const size_t at = split(points, box.begin, box.end);
    boxes.push({box.begin, at, momentsOf(points, box.begin, at).error()});
    boxes.push({at, box.end, momentsOf(points, at, box.end).error()});
  }
  while (!boxes.empty()) done.push_back(boxes.top()), boxes.pop();

  std::vector<std::array<double, 3>> centres(done.size());
  std::vector<int> owner(points.size());
  for (size_t b = 0; b < done.size(); ++b) {
    const Moments m = momentsOf(points, done[b].begin, done[b].end);
    for (int d = 0; d < 3; ++d) centres[b][size_t(d)] = m.s[d] / m.w;
    for (size_t i = done[b].begin; i < done[b].end; ++i) owner[i] = int(b);
  }
  // k-means until it settles (it always does; the bound is for time).
  for (int round = 0; round < 40; ++round) {
    update(points, centres, owner);
    if (!assign(points, centres, owner)) break;
  }
  // On RGB555 values: each centre rounded, the points taken to the nearest
  // rounded centre, the centres moved again, a few times.
  std::vector<uint16_t> entries(centres.size());
  for (int round = 0; round < 4; ++round) {
    for (size_t b = 0; b < centres.size(); ++b) {
      entries[b] = rgb555Of(centres[b]);
      uint8_t rgb[3];
      widenRgb555(entries[b], rgb);
      for (int d = 0; d < 3; ++d) centres[b][size_t(d)] = rgb[d];
    }
    if (!assign(points, centres, owner)) break;
    update(points, centres, owner);
  }
  for (size_t b = 0; b < centres.size(); ++b) entries[b] = rgb555Of(centres[b]);
  std::sort(entries.begin(), entries.end());
  entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
  return entries;
}

int nearestColour(const std::vector<uint16_t>& palette, int first, const uint8_t rgb[3]) {
  int best = first, bestDistance = 1 << 30;
  for (size_t i = size_t(first); i < palette.size(); ++i) {
    uint8_t p[3];
    widenRgb555(palette[i], p);
    int e = 0;
    for (int d = 0; d < 3; ++d) e += (p[d] - rgb[d]) * (p[d] - rgb[d]);
    if (e < bestDistance) bestDistance = e, best = int(i);
  }
  return best;
}

}  // namespace glaze::nitro
