// Names as text, as file names, and a texture as messages name it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace glaze {

// Names as text: UTF-8 names as they are, others (Shift-JIS) converted from
// code page 932 when they are valid there, and bytes that are still not
// text, or control characters, written %XX.
std::string displayName(const std::string& raw);
// The display name made safe as a file name: "/" becomes "_", a leading "."
// becomes "_", and an empty name is "_".
std::string fileNameOf(const std::string& raw);
// "texture INDEX (NAME)", NAME the display name.
std::string describeTexture(size_t index, const std::string& raw);
// Items as words: "a", "a and b", "a, b and c" (with "or", "a, b or c").
std::string inWords(const std::vector<std::string>& items, const std::string& last = "and");

}  // namespace glaze
