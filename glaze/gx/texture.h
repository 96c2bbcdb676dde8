// What every container of GameCube and Wii textures does alike, wherever
// it keeps their headers and blocks: reading -F and -P, a texture's fields
// in -l, decoding its levels for -x, and encoding the image that replaces
// it.
#pragma once

#include <string>
#include <vector>

#include "container.h"
#include "gx/gx.h"

namespace glaze::gx {

// A texture as its header describes it, in stored values.
struct Description {
  int format = 0;
  int width = 0, height = 0, levels = 1;
  // Read for palette formats only; a format of -1: the texture has no
  // palette to show it with.
  int paletteFormat = 0, paletteEntries = 0;
};

// -F names a format (I4 ... CMPR), -P a palette format (IA8, RGB565,
// RGB5A3), both in any case, and -P goes with a palette format only: the
// usage error, or "".
std::string requestProblem(const ReplaceRequest& request);

// -l: FORMAT, WxH, LEVELS, the palette as FORMAT/ENTRIES (or -, also for a
// palette format without one), and the textures sharing the data (or -).
// Unknown ids show as ?ID.
std::vector<std::string> listFields(const Description& texture, const std::vector<size_t>& sharing);

// Decodes the levels asked for of a usable texture from data, which holds
// its levels from 0 on (at least to the last one asked for), and its
// palette; texels whose index lies past the palette make a warning about
// `described` ("texture 3 (name)").
void decode(const Description& texture, const std::vector<uint8_t>& data, const Palette& palette,
            const std::vector<int>& levels, const std::string& described, Decoded& out);

// What a texture holds now, read for its replacement: its level 0 as
// stored, and its palette (palette formats).
struct Stored {
  std::vector<uint8_t> level0;
  Palette palette;
};

// The image that replaces a texture, encoded.
struct Replacement {
  const FormatInfo* format = nullptr;
  PaletteFormat paletteFormat = kPalRGB5A3;  // palette formats only
  int width = 0, height = 0, levels = 1;
  Encoded encoded;                    // every level, and the palette
  std::vector<uint8_t> paletteBytes;  // the palette's entries as stored
  bool opaque = true;                 // every texel of every level decodes opaque
  bool paletteKept = false;           // the palette is the texture's own, unchanged
};

// Encodes image for a texture that was `old`: its format, palette format
// and level count unless the request says otherwise (a new palette texture
// gets RGB565 when the image is opaque, else RGB5A3), the mip levels made
// from the image. With what the texture stores, nothing the image does not
// change is lost: a palette that holds every colour of the image is kept
// (the mip levels take its nearest entries), and a level 0 that decodes to
// the image keeps its bytes. False with the reason (about `described`) when
// the request and the image do not go together.
bool encodeReplacement(const Description& old, const Stored* stored, const Image& image,
                       const ReplaceRequest& request, int threads, const std::string& described,
                       Replacement& out, std::string& error);

}  // namespace glaze::gx
