#include "nitro/texture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

namespace glaze::nitro {

namespace {

// pal4, pal16 and pal256, whose colour 0 bit 29 makes transparent.
bool hasTransparentColour(int format) {
  return format == kPal4 || format == kPal16 || format == kPal256;
}

size_t roundUp(size_t v, size_t step) { return (v + step - 1) / step * step; }

// A palette's colours after a rebuild: the old ones where the new do not
// reach (its stored length stays), grown in steps of 8 colours (16 bytes)
// when the new need more.
std::vector<uint16_t> withLength(std::vector<uint16_t> fresh, const std::vector<uint16_t>& old) {
  const size_t length = fresh.size() <= old.size() ? old.size() : roundUp(fresh.size(), 8);
  std::vector<uint16_t> out = old;
  out.resize(length, 0);
  std::copy(fresh.begin(), fresh.end(), out.begin());
  return out;
}

// The texture's formats other than 4x4 and direct: per texel a palette
// index (and A3I5/A5I3 an alpha), against the palette the texture is drawn
// with.
void encodeIndexed(const Stored& old, const std::vector<uint8_t>& oldRgba, const Image& image,
                   const PaletteUse& palette, Replacement& out) {
  const int format = out.texture.format;
  const size_t n = image.rgba.size() / 4;
  const int capacity = paletteCapacity(format);
  const bool transparency = hasTransparentColour(format);
  std::vector<bool> changed(n, true);
  if (!oldRgba.empty())
    for (size_t i = 0; i < n; ++i)
      changed[i] = std::memcmp(&image.rgba[4 * i], &oldRgba[4 * i], 4) != 0;
  const std::vector<uint16_t> oldValues =
      oldRgba.empty() ? std::vector<uint16_t>() : unpackTexels(old.texels());
  auto transparentTexel = [&](size_t i) { return transparency && image.rgba[4 * i + 3] < 128; };
  bool t0 = out.texture.transparent0;
  for (size_t i = 0; i < n && transparency; ++i) t0 = t0 || (changed[i] && transparentTexel(i));
  auto first = [&] { return transparency && t0 ? 1 : 0; };
  auto colourOf = [&](size_t i) { return rgb555(&image.rgba[4 * i]); };

  // Where each colour sits in the palette (the first such slot an index
  // may reach).
  std::vector<int> slot(32768, -1);
  auto indexColours = [&](const std::vector<uint16_t>& colours) {
    std::fill(slot.begin(), slot.end(), -1);
    const size_t end = std::min(colours.size(), size_t(capacity));
    for (size_t k = size_t(first()); k < end; ++k)
      if (slot[colours[k]] < 0) slot[colours[k]] = int(k);
  };
  indexColours(palette.colours);
  bool holds = true;
  for (size_t i = 0; i < n && holds; ++i)
    holds = !changed[i] || transparentTexel(i) || slot[colourOf(i)] >= 0;

  std::vector<uint16_t> colours = palette.colours;
  out.fate = PaletteFate::kKept;
  if (palette.own && !holds) {
    // Rebuilt: every texel is encoded anew.
    std::fill(changed.begin(), changed.end(), true);
    for (size_t i = 0; i < n && transparency; ++i) t0 = t0 || transparentTexel(i);
    std::vector<uint16_t> wanted;  // the colours the texels need, in order of appearance
    std::vector<bool> seen(32768, false);
    std::map<uint16_t, size_t> clear;  // the transparent texels' colours
    for (size_t i = 0; i < n; ++i) {
      const uint16_t c = colourOf(i);
      if (transparentTexel(i)) {
        ++clear[c];
      } else if (!seen[c]) {
        seen[c] = true;
        wanted.push_back(c);
      }
    }
    const size_t room = size_t(capacity - first());
    std::vector<uint16_t> fresh(size_t(capacity), 0);
    std::copy_n(palette.colours.begin(), std::min(palette.colours.size(), fresh.size()),
                fresh.begin());
    size_t used = size_t(first());
    if (wanted.size() <= room) {
      // Exact: the colours the palette already holds stay in their slots,
      // the others take the slots no texel needs any more.
      out.fate = PaletteFate::kExact;
      std::vector<bool> taken(size_t(capacity), false);
      for (uint16_t c : wanted)
        if (slot[c] >= 0) taken[size_t(slot[c])] = true;
      size_t next = size_t(first());
      for (uint16_t c : wanted) {
        if (slot[c] >= 0) continue;
        while (taken[next]) ++next;
        fresh[next] = c;
        taken[next] = true;
      }
      for (size_t k = 0; k < taken.size(); ++k)
        if (taken[k]) used = std::max(used, k + 1);
    } else {
      out.fate = PaletteFate::kQuantised;
      std::vector<WeightedColour> weighted;
      weighted.reserve(n);
      for (size_t i = 0; i < n; ++i) {
        if (transparentTexel(i)) continue;
        const uint8_t* p = &image.rgba[4 * i];
        // Under A3I5 and A5I3 a colour counts as much as it shows.
        const double w = transparency ? 1 : (1 + p[3]) / 256.0;
        weighted.push_back({{p[0], p[1], p[2]}, w});
      }
      const std::vector<uint16_t> q = quantise(weighted, int(room));
      std::copy(q.begin(), q.end(), fresh.begin() + first());
      used = size_t(first()) + q.size();
    }
    out.colours = wanted.size();
    if (first() == 1 && !clear.empty())  // colour 0: the transparent texels' usual colour
      fresh[0] = std::max_element(clear.begin(), clear.end(), [](const auto& a, const auto& b) {
                   return a.second < b.second;
                 })->first;
    fresh.resize(std::max(used, std::min(fresh.size(), palette.colours.size())));
    colours = withLength(fresh, palette.colours);
    out.palette = colours;
    indexColours(colours);
  }

  // Each texel's index: its colour's slot, else the nearest colour.
  const std::vector<uint16_t> reachable(
      colours.begin(), colours.begin() + long(std::min(colours.size(), size_t(capacity))));
  std::vector<uint16_t> values(n);
  out.missing = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!changed[i]) {
      values[i] = oldValues[i];
      continue;
    }
    const uint8_t* p = &image.rgba[4 * i];
    int index = 0;
    if (!transparentTexel(i)) {
      index = slot[colourOf(i)];
      if (index < 0) {
        index = reachable.size() > size_t(first()) ? nearestColour(reachable, first(), p) : 0;
        if (out.fate == PaletteFate::kKept) ++out.missing;
      }
    }
    if (format == kA3I5) index |= nearestA3(p[3]) << 5;
    if (format == kA5I3) index |= nearestA5(p[3]) << 3;
    values[i] = uint16_t(index);
  }
  out.texture.transparent0 = t0;
  out.texture.data = packTexels(format, image.width, image.height, values);
}

}  // namespace

std::string requestProblem(const ReplaceRequest& request) {
  const int format = request.format ? formatByName(*request.format) : kNone;
  if (request.format && format == kNone) return "unknown format -F " + *request.format;
  if (request.levels != 0 && request.levels != 1)
    return "DS textures have no mip levels (-M takes only 1)";
  if (request.palette && format == kDirect)
    return "-P goes with a format that has a palette, not direct";
  return "";
}

int requestedFormat(const ReplaceRequest& request, int current) {
  return request.format ? formatByName(*request.format) : current;
}

int budget4x4(const Stored& old, size_t storedColours, int width, int height) {
  const double texels = double(width) * double(height);
  size_t budget = storedColours;
  if (old.format == kTex4x4) {
    const double oldTexels = double(old.width) * double(old.height);
    if (texels > oldTexels)
      budget = roundUp(size_t(std::ceil(double(storedColours) * texels / oldTexels)), 8);
  } else {
    const double common =
        texels <= 128 * 128 ? 8 * std::sqrt(texels) : 256 * (std::log2(texels) - 10);
    budget = std::max(budget, roundUp(size_t(std::ceil(common)), 16));
  }
  return int(std::clamp<size_t>(budget & ~size_t(1), 8, 32768));
}

bool encodeReplacement(const Stored& old, int format, const Image& image, const PaletteUse& palette,
                       int threads, Replacement& out, std::string& error) {
  out = Replacement();
  Stored& t = out.texture;
  t.format = format;
  t.width = image.width;
  t.height = image.height;
  t.transparent0 = old.transparent0;
  // The texels as they show now, where the texture keeps its shape: those
  // the image leaves as they are keep their stored values.
  std::vector<uint8_t> oldRgba;
  if (old.format == format && old.width == image.width && old.height == image.height) {
    oldRgba.resize(image.rgba.size());
    decode(old.texels(), palette.colours, oldRgba.data());
  }
  const size_t n = image.rgba.size() / 4;
  bool opaqueTexels = false;
  for (size_t i = 0; i < n && !opaqueTexels; ++i)
    opaqueTexels = !hasTransparentColour(format) || image.rgba[4 * i + 3] >= 128;
  if (format != kDirect && palette.colours.empty() && !palette.own && opaqueTexels) {
    error = "holds no colours";
    return false;
  }

  if (format == kDirect) {
    out.fate = PaletteFate::kNone;
    const std::vector<uint16_t> oldValues =
        oldRgba.empty() ? std::vector<uint16_t>() : unpackTexels(old.texels());
    std::vector<uint16_t> values(n);
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* p = &image.rgba[4 * i];
      values[i] = !oldRgba.empty() && std::memcmp(p, &oldRgba[4 * i], 4) == 0
                      ? oldValues[i]
                      : uint16_t(rgb555(p) | (p[3] >= 128 ? 0x8000 : 0));
    }
    t.data = packTexels(format, image.width, image.height, values);
    return true;
  }
  if (format != kTex4x4) {
    encodeIndexed(old, oldRgba, image, palette, out);
    return true;
  }

  const bool unchanged = !oldRgba.empty() && oldRgba == image.rgba;
  if (unchanged) {
    out.fate = PaletteFate::kKept;
    t.data = old.data;
    t.index = old.index;
    return true;
  }
  Tex4x4 encoded;
  if (palette.own) {
    const int budget = budget4x4(old, palette.colours.size(), image.width, image.height);
    encoded = encode4x4(image, budget, threads);
    out.fate = PaletteFate::kMade4x4;
    out.colours = encoded.palette.size();
    out.palette = withLength(encoded.palette, palette.colours);
  } else {
    // Blocks that show what they show now keep their words.
    const int across = image.width / 4;
    const size_t blocks = size_t(across) * size_t(image.height / 4);
    std::vector<bool> changed(blocks, true);
    for (size_t b = 0; b < blocks && !oldRgba.empty(); ++b) {
      bool same = true;
      const int bx = int(b) % across, by = int(b) / across;
      for (int y = 0; y < 4 && same; ++y) {
        const size_t at = 4 * (size_t(4 * by + y) * size_t(image.width) + size_t(4 * bx));
        same = std::memcmp(&image.rgba[at], &oldRgba[at], 16) == 0;
      }
      changed[b] = !same;
    }
    encoded = encode4x4Fixed(image, palette.colours, threads, &changed);
    out.fate = PaletteFate::kKept;
    for (size_t b = 0; b < blocks; ++b)
      if (!changed[b]) {
        std::copy_n(&old.data[4 * b], 4, &encoded.texels[4 * b]);
        std::copy_n(&old.index[2 * b], 2, &encoded.index[2 * b]);
      }
  }
  t.data = std::move(encoded.texels);
  t.index = std::move(encoded.index);
  return true;
}

}  // namespace glaze::nitro
