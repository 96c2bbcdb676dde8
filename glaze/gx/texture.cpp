#include "gx/texture.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdint>
#include <unordered_map>

namespace glaze::gx {

namespace {

std::string upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

const FormatInfo* requestedFormat(const ReplaceRequest& request) {
  return request.format ? formatByName(upper(*request.format)) : nullptr;
}

std::optional<PaletteFormat> requestedPalette(const ReplaceRequest& request) {
  return request.palette ? paletteFormatByName(upper(*request.palette)) : std::nullopt;
}

}  // namespace

std::string requestProblem(const ReplaceRequest& request) {
  const FormatInfo* format = requestedFormat(request);
  if (request.format && !format) return "unknown format -F " + *request.format;
  if (request.palette && !requestedPalette(request))
    return "unknown palette format -P " + *request.palette;
  if (format && request.palette && format->maxEntries == 0)
    return std::string("-P goes with a palette format (C4, C8, C14X2), not ") + format->name;
  return "";
}

std::vector<std::string> listFields(const Description& t, const std::vector<size_t>& sharing) {
  const FormatInfo* f = formatInfo(t.format);
  // Appended piece by piece: GCC 12 warns falsely about "..." + std::string.
  std::string palette = "-";
  if (f && f->maxEntries > 0 && t.paletteFormat >= 0) {
    const char* name = paletteFormatName(t.paletteFormat);
    palette = name ? name : "?";
    if (!name) palette += std::to_string(t.paletteFormat);
    palette += '/';
    palette += std::to_string(t.paletteEntries);
  }
  std::string shared;
  for (size_t s : sharing) {
    if (!shared.empty()) shared += ',';
    shared += std::to_string(s);
  }
  std::string format = f ? f->name : "?";
  if (!f) format += std::to_string(t.format);
  return {format, std::to_string(t.width) + "x" + std::to_string(t.height),
          std::to_string(t.levels), palette, shared.empty() ? "-" : shared};
}

void decode(const Description& t, const std::vector<uint8_t>& data, const Palette& palette,
            const std::vector<int>& levels, const std::string& described, Decoded& out) {
  const FormatInfo& f = *formatInfo(t.format);
  // Grey formats, and palettes of grey entries, as grey + alpha.
  out.grey = f.grey || (f.maxEntries > 0 && palette.format == kPalIA8);
  uint64_t pastPalette = 0;
  size_t at = 0;
  for (int k = 0, next = 0; next < int(levels.size()); ++k) {
    const int w = levelSide(t.width, k), h = levelSide(t.height, k);
    if (levels[size_t(next)] == k) {
      Image image(w, h);
      pastPalette += decodeLevel(f, w, h, data.data() + at, &palette, image.rgba.data());
      out.levels.push_back(std::move(image));
      ++next;
    }
    at += levelBytes(f, w, h);
  }
  if (pastPalette > 0)
    out.warnings.push_back(
        described + ": " + std::to_string(pastPalette) + " texels have indices past its " +
        std::to_string(palette.entries.size()) + "-entry palette; they are written transparent");
}

namespace {

uint32_t rgbaKey(const uint8_t* c) {
  return uint32_t(c[0]) << 24 | uint32_t(c[1]) << 16 | uint32_t(c[2]) << 8 | c[3];
}

// The indices of the image's texels in a palette that holds every colour
// of it exactly (the first entry of each colour), or false.
bool indicesIn(const Palette& palette, int maxEntries, const Image& image,
               std::vector<uint16_t>& indices) {
  std::unordered_map<uint32_t, uint16_t> index;
  const size_t n = std::min(palette.entries.size(), size_t(maxEntries));
  for (size_t i = n; i-- > 0;) {
    uint8_t c[4];
    decodePaletteEntry(palette.format, palette.entries[i], c);
    index[rgbaKey(c)] = uint16_t(i);
  }
  indices.resize(size_t(image.width) * size_t(image.height));
  for (size_t i = 0; i < indices.size(); ++i) {
    const auto found = index.find(rgbaKey(&image.rgba[4 * i]));
    if (found == index.end()) return false;
    indices[i] = found->second;
  }
  return true;
}

// The nearest entry of a palette for each texel of a mip level, of the
// texel's side of the alpha test when the palette has one.
std::vector<uint16_t> nearestIndices(const Palette& palette, int maxEntries, const Image& level) {
  const size_t n = std::min(palette.entries.size(), size_t(maxEntries));
  std::vector<std::array<uint8_t, 4>> colours(n);
  for (size_t i = 0; i < n; ++i)
    decodePaletteEntry(palette.format, palette.entries[i], colours[i].data());
  std::unordered_map<uint32_t, uint16_t> known;
  std::vector<uint16_t> indices(size_t(level.width) * size_t(level.height));
  for (size_t t = 0; t < indices.size(); ++t) {
    const uint8_t* c = &level.rgba[4 * t];
    const auto [at, fresh] = known.try_emplace(rgbaKey(c), 0);
    if (fresh) {
      int best = -1, bestError = INT32_MAX;
      for (int pass = 0; pass < 2 && best < 0; ++pass)
        for (size_t i = 0; i < n; ++i) {
          if (pass == 0 && (colours[i][3] >= 128) != (c[3] >= 128)) continue;
          int e = 0;
          for (int ch = 0; ch < 4; ++ch) e += (colours[i][ch] - c[ch]) * (colours[i][ch] - c[ch]);
          if (e < bestError) bestError = e, best = int(i);
        }
      at->second = uint16_t(std::max(best, 0));
    }
    indices[t] = at->second;
  }
  return indices;
}

}  // namespace

bool encodeReplacement(const Description& old, const Stored* stored, const Image& image,
                       const ReplaceRequest& request, int threads, const std::string& described,
                       Replacement& out, std::string& error) {
  const FormatInfo* requested = requestedFormat(request);
  const std::optional<PaletteFormat> requestedPaletteFormat = requestedPalette(request);
  const FormatInfo& oldFormat = *formatInfo(old.format);
  const FormatInfo& f = requested ? *requested : oldFormat;
  PaletteFormat paletteFormat = kPalRGB5A3;
  if (f.maxEntries > 0) {
    if (requestedPaletteFormat) {
      paletteFormat = *requestedPaletteFormat;
    } else if (oldFormat.maxEntries > 0) {
      paletteFormat = PaletteFormat(old.paletteFormat);
    } else {
      bool opaque = true;
      for (size_t i = 3; i < image.rgba.size() && opaque; i += 4) opaque = image.rgba[i] == 255;
      paletteFormat = opaque ? kPalRGB565 : kPalRGB5A3;
    }
  } else if (requestedPaletteFormat) {
    error = "-P needs a palette format (C4, C8 or C14X2): " + described + " is " + f.name;
    return false;
  }
  const int width = image.width, height = image.height;
  const int chain = chainLength(width, height);
  int levels = request.levels;
  if (levels > chain) {
    error = "a " + std::to_string(width) + " x " + std::to_string(height) +
            " texture has at most " + std::to_string(chain) + " levels, not " +
            std::to_string(levels);
    return false;
  }
  if (levels < 0) levels = chain;
  if (levels == 0) levels = std::min(old.levels, chain);
  if (levels > 1 && !(isPowerOfTwo(width) && isPowerOfTwo(height))) {
    error = "the image is " + std::to_string(width) + " x " + std::to_string(height) + "; " +
            std::to_string(levels) + " mip levels need sides that are powers of two (-M 1 gives " +
            "a single level)";
    return false;
  }

  const std::vector<Image> chainImages = makeMipChain(image, levels, mipFilterFor(f));
  out.format = &f;
  out.paletteFormat = paletteFormat;
  out.width = width;
  out.height = height;
  out.levels = levels;
  // The texture's own palette, when it holds every colour of the image.
  std::vector<uint16_t> indices;
  const bool keepPalette = stored && f.maxEntries > 0 && oldFormat.maxEntries > 0 &&
                           paletteFormat == stored->palette.format &&
                           indicesIn(stored->palette, f.maxEntries, image, indices);
  // Level 0's bytes, when they decode to the image in the new format.
  bool keepLevel0 = false;
  if (stored && &f == &oldFormat && width == old.width && height == old.height &&
      stored->level0.size() == levelBytes(f, width, height) && (f.maxEntries == 0 || keepPalette)) {
    std::vector<uint8_t> rgba(image.rgba.size());
    decodeLevel(f, width, height, stored->level0.data(), &stored->palette, rgba.data());
    keepLevel0 = rgba == image.rgba;
  }
  if (keepPalette) {
    out.paletteKept = true;
    out.encoded.palette = stored->palette;
    out.encoded.data = keepLevel0 ? stored->level0 : encodeIndices(f, width, height, indices);
    for (size_t k = 1; k < chainImages.size(); ++k) {
      const Image& level = chainImages[k];
      const auto bytes = encodeIndices(f, level.width, level.height,
                                       nearestIndices(stored->palette, f.maxEntries, level));
      out.encoded.data.insert(out.encoded.data.end(), bytes.begin(), bytes.end());
    }
  } else if (keepLevel0) {
    out.encoded.data = stored->level0;
    const auto mips = encodeTexture(
        f, paletteFormat, std::vector<Image>(chainImages.begin() + 1, chainImages.end()), threads);
    out.encoded.data.insert(out.encoded.data.end(), mips.data.begin(), mips.data.end());
  } else {
    out.encoded = encodeTexture(f, paletteFormat, chainImages, threads);
  }
  out.opaque = true;
  size_t at = 0;
  for (const Image& level : chainImages) {
    std::vector<uint8_t> rgba(level.rgba.size());
    decodeLevel(f, level.width, level.height, out.encoded.data.data() + at, &out.encoded.palette,
                rgba.data());
    for (size_t i = 3; i < rgba.size() && out.opaque; i += 4) out.opaque = rgba[i] == 255;
    at += levelBytes(f, level.width, level.height);
  }
  const std::vector<uint16_t>& entries = out.encoded.palette.entries;
  out.paletteBytes.resize(2 * entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    out.paletteBytes[2 * i] = uint8_t(entries[i] >> 8);
    out.paletteBytes[2 * i + 1] = uint8_t(entries[i]);
  }
  return true;
}

}  // namespace glaze::gx
