// glaze's jobs as the program runs them, over any container type: each
// prints its messages ("glaze: FILE: ...") on standard error and returns
// the exit status.
#pragma once

#include <string>

#include "container.h"

namespace glaze {

// -l: one tab-separated line per texture on standard output: its index,
// its name and the fields its container shows.
int listTextures(const std::string& file);

// -x: every texture as DIR/NAME.png (with mips, NAME.mipK.png too);
// existing files are replaced only with force. `threads` textures at once.
int exportTextures(const std::string& file, const std::string& dir, bool mips, bool force,
                   int threads);

// Replaces TEXTURE (a name, or #INDEX) with the PNG image; writes `out`, or
// FILE itself when out is empty, only once the new file is whole. Returns 2
// with usageError set when the file's type does not read the request.
int replaceTexture(const std::string& file, const std::string& texture, const std::string& image,
                   const ReplaceRequest& request, const std::string& out, int threads,
                   std::string& usageError);

}  // namespace glaze
