// The files glaze reads, whatever their format: a container of textures
// behind one small interface (what -l shows, the levels -x decodes, the
// replacement it plans), and the one list of container types, each told by
// its magic or its name. A new format is a unit in containers/ and an entry
// in containers/types.cpp; the jobs (glaze.h) work over this interface only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image.h"
#include "source.h"

namespace glaze {

// What the command line asks of a replacement. -F and -P are the user's
// words, which each container type reads in its console's terms.
struct ReplaceRequest {
  std::optional<std::string> format;   // -F; keep the texture's own when absent
  std::optional<std::string> palette;  // -P
  int levels = 0;                      // -M: 0 keep, -1 the whole chain, else that many
};

// A texture as every job sees it.
struct TextureEntry {
  std::string name;  // the name's bytes as stored
  // Why it cannot be exported or replaced (empty when it can), e.g. "format
  // 7 is not a texture format".
  std::string problem;
  std::vector<size_t> sharing;  // the other textures whose data start at the same place
};

// The images of one texture for -x, and what to say about them.
struct Decoded {
  std::vector<Image> levels;  // one per level asked for, in that order
  bool grey = false;          // written as grey + alpha
  // Shown as "glaze: FILE: NOTE" and "glaze: FILE: warning: WARNING" after
  // the texture's files; neither makes the run fail.
  std::vector<std::string> notes, warnings;
};

// Bytes written over the old file's, at an offset of the old file.
struct Patch {
  uint64_t at;
  std::vector<uint8_t> bytes;
};

// The old bytes [at, at + size) replaced by bytes of any length: what
// follows moves.
struct Splice {
  uint64_t at = 0, size = 0;
  std::vector<uint8_t> bytes;
};

// A planned replacement: the new file is the old one with the patches
// written over it (in order of offset, a later one winning where two meet;
// none inside a splice) and the splices made (in file order, apart).
struct Edit {
  std::vector<Patch> patches;
  std::vector<Splice> splices;
  // Shown once the file is written, as for Decoded; the status stays 0.
  std::vector<std::string> notes, warnings;
};

// An opened file. Reading it checked its structure; textures() lists
// every texture, those that cannot be used with their problem.
class Container {
 public:
  virtual ~Container() = default;
  const std::vector<TextureEntry>& textures() const { return textures_; }
  // Said about the whole file by every job ("glaze: FILE: NOTE"), e.g. that
  // a model holds no textures.
  const std::vector<std::string>& notes() const { return notes_; }

  // -l: the fields of a texture after its index and name.
  virtual std::vector<std::string> listFields(size_t texture) const = 0;
  // -x -m: how many images a usable texture has (its mip levels, or 1).
  virtual int levelCount(size_t texture) const = 0;
  // -x: decodes the levels asked for (ascending, below levelCount) of a
  // usable texture; false with the reason when its bytes cannot be read.
  virtual bool decode(size_t texture, const std::vector<int>& levels, Decoded& out,
                      std::string& error) const = 0;
  // Plans the replacement of a usable texture, whose sharers are usable
  // too, by image; false with the reason when it cannot be done. The
  // request passed the type's requestProblem.
  virtual bool plan(size_t texture, const Image& image, const ReplaceRequest& request, int threads,
                    Edit& edit, std::string& error) const = 0;

 protected:
  std::vector<TextureEntry> textures_;
  std::vector<std::string> notes_;
};

// The first bytes of a file that types are told by.
constexpr size_t kMagicBytes = 16;

struct ContainerType {
  // A type told by its magic: the file it takes, as the message about a
  // file no type takes names it ("a BMD or BDL model (no J3D2bmd3 or
  // J3D2bdl4 magic)"), and whether the file's first bytes (kMagicBytes, or
  // all of a shorter file) are its magic. nullptr for a type told by name.
  const char* what;
  bool (*hasMagic)(const uint8_t* head, size_t size);
  // A type told by its name: the ending (".bti", any case), tried before
  // any type's magic; nullptr for a type told by its magic.
  const char* ending;
  // Reads the file's structure from source, which outlives the container;
  // path names the file (a BTI texture is named after it). nullptr with
  // the reason when the structure is damaged.
  std::unique_ptr<Container> (*open)(const Source& source, const std::string& path,
                                     std::string& error);
  // The usage error in a replacement's -F and -P for this type's formats
  // ("unknown format -F X"), or "" when it reads them.
  std::string (*requestProblem)(const ReplaceRequest& request);
};

// Every type, in the order they are tried.
const std::vector<const ContainerType*>& containerTypes();

// The type a file's name tells (types with an ending), else nullptr.
const ContainerType* typeByName(const std::string& path);
// The type a file's first bytes tell; nullptr after filling error with
// what the file is not ("it is not a BMD or BDL model (...), and its name
// does not end in .bti").
const ContainerType* typeByMagic(const uint8_t* head, size_t size, std::string& error);

// The usage error of a request no type reads, checked before any file is
// read: that of the first type that reads -F and -P each alone, else the
// first type's; "" when some type reads it.
std::string requestProblem(const ReplaceRequest& request);

// Plans a replacement after the checks every type shares: the texture and
// every texture sharing its data must be usable.
bool planReplacement(const Container& container, size_t texture, const Image& image,
                     const ReplaceRequest& request, int threads, Edit& edit, std::string& error);

// Writes the old file with the edit made; false with errno set when a read
// or write fails.
bool writeEdited(const Source& source, const Edit& edit, FILE* out);

}  // namespace glaze
