// glaze's jobs as the program runs them: each prints its messages
// ("glaze: MODEL: ...") on standard error and returns the exit status.
#pragma once

#include <string>

#include "model.h"

namespace glaze {

// Removes the temporary files in progress when SIGINT, SIGTERM, SIGHUP or
// SIGQUIT ends the program; a signal ignored at the start stays ignored.
void installSignalHandlers();

// -l: one tab-separated line per texture header on standard output.
int listTextures(const std::string& model);

// -x: every texture as DIR/NAME.png (with mips, NAME.mipK.png too);
// existing files are replaced only with force. `threads` textures at once.
int exportTextures(const std::string& model, const std::string& dir, bool mips, bool force,
                   int threads);

// Replaces TEXTURE (a name, or #INDEX) with the PNG image; writes `out`, or
// MODEL itself when out is empty, only once the new file is whole.
int replaceTexture(const std::string& model, const std::string& texture, const std::string& image,
                   const ReplaceOptions& options, const std::string& out, int threads);

}  // namespace glaze
