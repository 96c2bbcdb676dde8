#include "gx/texture.h"

#include <algorithm>
#include <cctype>

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
  if (f && f->maxEntries > 0) {
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

bool encodeReplacement(const Description& old, const Image& image, const ReplaceRequest& request,
                       int threads, const std::string& described, Replacement& out,
                       std::string& error) {
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
  out.encoded = encodeTexture(f, paletteFormat, chainImages, threads);
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
