// Telling a file's type, the checks every replacement shares, and writing
// an edited file.
#include "container.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "names.h"

namespace glaze {

namespace {

bool endsWith(const std::string& path, const char* ending) {
  const size_t n = std::strlen(ending);
  if (path.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(path[path.size() - n + i])) !=
        std::tolower(static_cast<unsigned char>(ending[i])))
      return false;
  return true;
}

}  // namespace

const ContainerType* typeByName(const std::string& path) {
  for (const ContainerType* type : containerTypes())
    if (type->ending && endsWith(path, type->ending)) return type;
  return nullptr;
}

const ContainerType* typeByMagic(const uint8_t* head, size_t size, std::string& error) {
  std::vector<std::string> files, endings;
  for (const ContainerType* type : containerTypes()) {
    if (type->hasMagic && type->hasMagic(head, size)) return type;
    if (type->hasMagic) files.emplace_back(type->what);
    if (type->ending) endings.emplace_back(type->ending);
  }
  error = "it is not " + inWords(files, "or");
  if (!endings.empty()) error += ", and its name does not end in " + inWords(endings, "or");
  return nullptr;
}

std::string requestProblem(const ReplaceRequest& request) {
  std::string first, together;
  for (const ContainerType* type : containerTypes()) {
    const std::string problem = type->requestProblem(request);
    if (problem.empty()) return problem;
    if (first.empty()) first = problem;
    // A type that reads -F and -P each alone says best why they do not go
    // together.
    if (together.empty() && type->requestProblem({request.format, std::nullopt, 0}).empty() &&
        type->requestProblem({std::nullopt, request.palette, 0}).empty())
      together = problem;
  }
  return together.empty() ? first : together;
}

bool planReplacement(const Container& container, size_t texture, const Image& image,
                     const ReplaceRequest& request, int threads, Edit& edit, std::string& error) {
  edit = Edit();
  const std::vector<TextureEntry>& textures = container.textures();
  const TextureEntry& t = textures[texture];
  if (!t.problem.empty()) {
    error = describeTexture(texture, t.name) + " cannot be replaced: " + t.problem;
    return false;
  }
  for (size_t other : t.sharing)
    if (!textures[other].problem.empty()) {
      error = describeTexture(other, textures[other].name) + ", which shares the data of " +
              describeTexture(texture, t.name) + ", is damaged: " + textures[other].problem;
      return false;
    }
  return container.plan(texture, image, request, threads, edit, error);
}

bool writeEdited(const Source& source, const Edit& edit, FILE* out) {
  std::vector<const Patch*> patches;
  for (const Patch& p : edit.patches) patches.push_back(&p);
  std::stable_sort(patches.begin(), patches.end(),
                   [](const Patch* a, const Patch* b) { return a->at < b->at; });
  std::vector<uint8_t> buffer(1 << 20);
  auto copy = [&](uint64_t begin, uint64_t end) {
    for (uint64_t at = begin; at < end;) {
      const size_t n = size_t(std::min<uint64_t>(buffer.size(), end - at));
      if (!source.read(at, buffer.data(), n)) return false;
      for (const Patch* p : patches) {
        const uint64_t from = std::max(p->at, at), to = std::min(p->at + p->bytes.size(), at + n);
        if (from < to) std::memcpy(&buffer[from - at], &p->bytes[from - p->at], size_t(to - from));
      }
      if (std::fwrite(buffer.data(), 1, n, out) != n) return false;
      at += n;
    }
    return true;
  };
  uint64_t at = 0;
  for (const Splice& s : edit.splices) {
    if (s.at < at || s.at > source.size() || s.size > source.size() - s.at) {
      errno = EINVAL;  // a unit's mistake, never the file's
      return false;
    }
    if (!copy(at, s.at)) return false;
    if (!s.bytes.empty() && std::fwrite(s.bytes.data(), 1, s.bytes.size(), out) != s.bytes.size())
      return false;
    at = s.at + s.size;
  }
  return copy(at, source.size());
}

}  // namespace glaze
