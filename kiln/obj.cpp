// The Wavefront OBJ reader: vertices, faces (split into fans) and their
// materials; the statements that carry no collision are read and ignored.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "format.h"
#include "obj.h"

namespace kiln {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// The whitespace-separated words of one line.
class Words {
 public:
  explicit Words(std::string_view line) : rest_(line) {}
  bool next(std::string_view& word) {
    size_t i = 0;
    while (i < rest_.size() && isSpace(rest_[i])) ++i;
    if (i == rest_.size()) return false;
    size_t end = i;
    while (end < rest_.size() && !isSpace(rest_[end])) ++end;
    word = rest_.substr(i, end - i);
    rest_.remove_prefix(end);
    return true;
  }
  // What is left, without the whitespace around it.
  std::string_view rest() const {
    std::string_view text = rest_;
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
  }

 private:
  std::string_view rest_;
};

std::string quoted(std::string_view word) {
  std::string text;
  for (char c : word.substr(0, 40)) {
    text += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
  }
  if (word.size() > 40) text += "...";
  return "\"" + text + "\"";
}

Error lineError(uint32_t line, const std::string& what) {
  return Error("line " + std::to_string(line) + ": " + what);
}

double parseNumber(std::string_view word, uint32_t line) {
  std::string_view digits = word;
  if (digits.size() > 1 && digits.front() == '+' && digits[1] != '-') digits.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (end != digits.data() + digits.size() || digits.empty() ||
      (error != std::errc() && error != std::errc::result_out_of_range)) {
    throw lineError(line, "the number " + quoted(word) + " does not parse");
  }
  // Beyond a double's range: infinity (which the build reports as not
  // finite), or a value next to zero.
  if (error == std::errc::result_out_of_range)
    return std::strtod(std::string(digits).c_str(), nullptr);
  return value;
}

// An index of a face corner: 1-based, or negative counting back from the
// latest; 0-based in range, or an Error.
uint32_t parseIndex(std::string_view text, uint64_t count, const char* what, uint32_t line,
                    std::string_view word) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    throw lineError(line, "the face corner " + quoted(word) + " does not parse");
  }
  int64_t index = value > 0 ? value - 1 : static_cast<int64_t>(count) + value;
  if (value == 0 || index < 0 || static_cast<uint64_t>(index) >= count) {
    throw lineError(line, "the face corner " + quoted(word) + " names " + what + " " +
                              std::to_string(value) + ", but " + std::to_string(count) +
                              (count == 1 ? " is" : " are") + " defined before it");
  }
  return static_cast<uint32_t>(index);
}

// OBJ statements for lines, points, curves and surfaces, and display
// settings: nothing a collision needs.
bool describesNoSurface(std::string_view keyword) {
  static const char* const kKeywords[] = {
      "l",          "p",         "vp",    "cstype",   "deg",      "bmat", "step",   "curv",
      "curv2",      "surf",      "parm",  "trim",     "hole",     "scrv", "sp",     "end",
      "con",        "mg",        "bevel", "c_interp", "d_interp", "lod",  "maplib", "usemap",
      "shadow_obj", "trace_obj", "ctech", "stech",    "call",     "csh"};
  for (const char* known : kKeywords) {
    if (keyword == known) return true;
  }
  return false;
}

}  // namespace

ObjModel readObj(std::string_view text) {
  ObjModel model;
  uint64_t textureCoordinates = 0, normals = 0;
  uint32_t material = ObjModel::kNoMaterial;
  std::unordered_map<std::string, uint32_t> materialNumbers;
  std::vector<uint32_t> corners;
  uint32_t line = 0;
  size_t start = 0;
  while (start < text.size()) {
    ++line;
    const char* newline =
        static_cast<const char*>(std::memchr(text.data() + start, '\n', text.size() - start));
    const size_t end =
        newline != nullptr ? static_cast<size_t>(newline - text.data()) : text.size();
    if (end - start > kMaxObjLine) {
      throw lineError(line, "the line is longer than " + std::to_string(kMaxObjLine) + " bytes (" +
                                std::to_string(end - start) + ")");
    }
    std::string_view content = text.substr(start, end - start);
    start = end + 1;
    if (const size_t hash = content.find('#'); hash != std::string_view::npos) {
      content = content.substr(0, hash);
    }
    Words words(content);
    std::string_view keyword;
    if (!words.next(keyword)) continue;

    if (keyword == "v") {
      double coordinates[3];
      int count = 0;
      std::string_view word;
      while (words.next(word)) {
        const double value = parseNumber(word, line);
        if (count < 3) coordinates[count] = value;
        ++count;
      }
      if (count < 3) throw lineError(line, "a vertex needs three coordinates");
      model.vertices.push_back({coordinates[0], coordinates[1], coordinates[2]});
      model.vertexLines.push_back(line);
    } else if (keyword == "f") {
      corners.clear();
      std::string_view word;
      while (words.next(word)) {
        // v, v/vt, v//vn or v/vt/vn.
        const size_t slash = word.find('/');
        const size_t second = slash == std::string_view::npos ? slash : word.find('/', slash + 1);
        if (second != std::string_view::npos &&
            word.find('/', second + 1) != std::string_view::npos) {
          throw lineError(line, "the face corner " + quoted(word) + " does not parse");
        }
        corners.push_back(
            parseIndex(word.substr(0, slash), model.vertices.size(), "vertex", line, word));
        if (slash == std::string_view::npos) continue;
        const std::string_view texture = word.substr(slash + 1, second - slash - 1);
        if (!texture.empty() || second == std::string_view::npos) {
          parseIndex(texture, textureCoordinates, "texture coordinate", line, word);
        }
        if (second != std::string_view::npos)
          parseIndex(word.substr(second + 1), normals, "normal", line, word);
      }
      if (corners.size() < 3) throw lineError(line, "a face needs at least three corners");
      ++model.faces;
      for (size_t i = 1; i + 1 < corners.size(); ++i) {
        model.triangles.push_back({{corners[0], corners[i], corners[i + 1]}, material, line});
      }
    } else if (keyword == "usemtl") {
      const std::string name(words.rest());
      if (name.empty()) throw lineError(line, "usemtl without a material name");
      const auto [it, added] =
          materialNumbers.emplace(name, static_cast<uint32_t>(model.materials.size()));
      if (added) {
        model.materials.push_back(name);
        model.materialLines.push_back(line);
      }
      material = it->second;
    } else if (keyword == "vt") {
      ++textureCoordinates;
    } else if (keyword == "vn") {
      ++normals;
    } else if (keyword == "o" || keyword == "g" || keyword == "s" || keyword == "mtllib") {
      // Objects, groups, smoothing and material libraries shape no collision.
    } else if (describesNoSurface(keyword)) {
      auto it = std::find_if(model.skipped.begin(), model.skipped.end(),
                             [&](const ObjModel::Skipped& s) { return s.keyword == keyword; });
      if (it == model.skipped.end()) {
        model.skipped.push_back({std::string(keyword), 1, line});
      } else {
        ++it->count;
      }
    } else {
      throw lineError(line, "unknown statement " + quoted(keyword));
    }
  }
  return model;
}

}  // namespace kiln
