// The three jobs of glaze over real files and any container type: listing,
// exporting (several textures at once, each written under a temporary name
// and renamed when whole) and replacing (the new file written beside the
// old one and renamed over it only when whole).
#include "glaze.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "names.h"
#include "png_io.h"
#include "safefs/temporary.h"

namespace glaze {

namespace {

// .glaze-PID-N.tmp beside the final name.
constexpr safefs::TemporaryNaming kNaming{"glaze", safefs::TemporaryNaming::Form::kCount, ".tmp"};

// A stream over a temporary file's own descriptor: closing the stream
// leaves the file's descriptor to the file. nullptr with errno set.
FILE* streamOf(const safefs::TemporaryFile& file) {
  const int fd = dup(file.fd());
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, "wb");
  if (!stream) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return stream;
}

// ---------------------------------------------------------------------------
// Opening a file

struct Opened {
  int fd = -1;
  struct stat info = {};
  std::unique_ptr<FileSource> source;
  const ContainerType* type = nullptr;
  std::unique_ptr<Container> container;
  ~Opened() {
    container.reset();
    if (fd >= 0) close(fd);
  }
};

void message(const std::string& file, const std::string& text) {
  std::fprintf(stderr, "glaze: %s: %s\n", file.c_str(), text.c_str());
}

void report(const std::string& file, const std::vector<std::string>& notes,
            const std::vector<std::string>& warnings) {
  for (const std::string& note : notes) message(file, note);
  for (const std::string& warning : warnings) message(file, "warning: " + warning);
}

bool openFile(const std::string& path, Opened& opened) {
  // Without waiting for a writer (a FIFO).
  opened.fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (opened.fd < 0) {
    message(path, std::string("cannot open it: ") + std::strerror(errno));
    return false;
  }
  if (fstat(opened.fd, &opened.info) != 0) {
    message(path, std::string("cannot read it: ") + std::strerror(errno));
    return false;
  }
  if (!S_ISREG(opened.info.st_mode)) {
    message(path, "it is not a regular file");
    return false;
  }
  opened.source = std::make_unique<FileSource>(opened.fd, uint64_t(opened.info.st_size));
  std::string error;
  opened.type = typeByName(path);
  if (!opened.type) {
    uint8_t head[kMagicBytes] = {};
    const size_t n = size_t(std::min<uint64_t>(kMagicBytes, opened.source->size()));
    if (n > 0 && !opened.source->read(0, head, n)) {
      message(path, std::string("cannot read it: ") + std::strerror(errno));
      return false;
    }
    opened.type = typeByMagic(head, n, error);
    if (!opened.type) {
      message(path, error);
      return false;
    }
  }
  opened.container = opened.type->open(*opened.source, path, error);
  if (!opened.container) {
    message(path, error);
    return false;
  }
  report(path, opened.container->notes(), {});
  return true;
}

std::string describe(const Container& container, size_t index) {
  return describeTexture(index, container.textures()[index].name);
}

// ---------------------------------------------------------------------------
// Export

// Output names: NAME.png, NAME.INDEX.png where names (or the names of
// their levels) would meet.
std::vector<std::string> outputStems(const Container& container, bool mips) {
  const std::vector<TextureEntry>& textures = container.textures();
  const size_t n = textures.size();
  std::vector<std::string> base(n);
  std::vector<bool> indexed(n, false);
  for (size_t i = 0; i < n; ++i) base[i] = fileNameOf(textures[i].name);
  std::map<std::string, int> uses;
  for (const std::string& b : base) ++uses[b];
  for (size_t i = 0; i < n; ++i) indexed[i] = uses[base[i]] > 1;
  auto stem = [&](size_t i) { return indexed[i] ? base[i] + "." + std::to_string(i) : base[i]; };
  // A name such as "x.mip1" meets the levels of "x": those get indices too,
  // until no two files meet.
  for (bool again = true; again;) {
    again = false;
    std::map<std::string, std::vector<size_t>> files;
    for (size_t i = 0; i < n; ++i) {
      const int levels = mips && textures[i].problem.empty() ? container.levelCount(i) : 1;
      for (int k = 0; k < levels; ++k)
        files[stem(i) + (k ? ".mip" + std::to_string(k) : "")].push_back(i);
    }
    for (const auto& [name, owners] : files)
      if (owners.size() > 1)
        for (size_t i : owners)
          if (!indexed[i]) indexed[i] = true, again = true;
  }
  std::vector<std::string> stems(n);
  for (size_t i = 0; i < n; ++i) stems[i] = stem(i);
  return stems;
}

bool makeFolders(const std::string& dir, std::string& error) {
  std::string path;
  size_t at = 0;
  while (at <= dir.size()) {
    size_t slash = dir.find('/', at);
    if (slash == std::string::npos) slash = dir.size();
    path = dir.substr(0, slash);
    at = slash + 1;
    if (path.empty()) continue;
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
      error = "cannot make the folder " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat info;
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    error = dir + " is not a folder";
    return false;
  }
  return true;
}

// Messages of the textures printed in index order as they complete.
class OrderedReport {
 public:
  explicit OrderedReport(size_t n) : text_(n), done_(n, false) {}
  void finish(size_t index, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    text_[index] = std::move(text);
    done_[index] = true;
    while (next_ < done_.size() && done_[next_]) {
      std::fputs(text_[next_].c_str(), stderr);
      text_[next_].clear();
      ++next_;
    }
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> text_;
  std::vector<bool> done_;
  size_t next_ = 0;
};

struct ExportJob {
  const std::string& path;
  const Container& container;
  const std::string& dir;
  const std::vector<std::string>& stems;
  bool mips, force;
};

// Writes one image; false after a message.
bool writeImage(const Image& image, bool grey, const std::string& name, bool force,
                const std::function<void(const std::string&)>& say) {
  safefs::TemporaryFile file(kNaming);
  if (file.Create(AT_FDCWD, name) < 0) {
    say("cannot create " + name + ": " + std::strerror(errno));
    return false;
  }
  FILE* stream = streamOf(file);
  int error = stream && writePng(stream, image, grey) ? 0 : errno;
  if (stream && std::fclose(stream) != 0 && error == 0) error = errno;
  if (error != 0) {
    say("cannot write " + name + ": " + std::strerror(error));
    return false;
  }
  if ((error = file.Commit(force)) != 0) {
    if (error == EEXIST)
      say(name + " exists (-f replaces it)");
    else
      say("cannot write " + name + ": " + std::strerror(error));
    return false;
  }
  return true;
}

// Writes one texture's files; returns its messages and whether all went.
bool exportOne(const ExportJob& job, size_t index, std::string& text) {
  const Container& container = job.container;
  const TextureEntry& t = container.textures()[index];
  const std::function<void(const std::string&)> say = [&](const std::string& line) {
    text += "glaze: " + job.path + ": " + line + "\n";
  };
  if (!t.problem.empty()) {
    say(describe(container, index) + ": " + t.problem);
    return false;
  }
  const int levels = job.mips ? container.levelCount(index) : 1;
  std::vector<std::string> names;
  bool ok = true;
  std::vector<int> wanted;
  for (int k = 0; k < levels; ++k) {
    const std::string name =
        job.dir + "/" + job.stems[index] + (k ? ".mip" + std::to_string(k) : "") + ".png";
    names.push_back(name);
    struct stat info;
    if (!job.force && lstat(name.c_str(), &info) == 0) {
      say(name + " exists (-f replaces it)");
      ok = false;
    } else {
      wanted.push_back(k);
    }
  }
  if (wanted.empty()) return ok;

  Decoded decoded;
  std::string error;
  if (!container.decode(index, wanted, decoded, error)) {
    say(describe(container, index) + ": " + error);
    return false;
  }
  for (size_t i = 0; i < wanted.size(); ++i)
    if (!writeImage(decoded.levels[i], decoded.grey, names[size_t(wanted[i])], job.force, say))
      ok = false;
  for (const std::string& note : decoded.notes) say(note);
  for (const std::string& warning : decoded.warnings) say("warning: " + warning);
  return ok;
}

// ---------------------------------------------------------------------------
// Replace

bool readImage(const std::string& file, const std::string& path, Image& image) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    message(file, path + ": cannot open it: " + std::strerror(errno));
    return false;
  }
  struct stat info;
  bool ok = fstat(fd, &info) == 0;
  std::vector<uint8_t> bytes;
  if (!ok) {
    message(file, path + ": cannot read it: " + std::strerror(errno));
  } else if (!S_ISREG(info.st_mode)) {
    message(file, path + ": it is not a regular file");
    ok = false;
  } else if (uint64_t(info.st_size) > kMaxPngFileBytes) {
    message(file, path + ": it is " + std::to_string(info.st_size) +
                      " bytes; a PNG of a texture takes at most " +
                      std::to_string(kMaxPngFileBytes) + " bytes");
    ok = false;
  } else {
    bytes.resize(size_t(info.st_size));
    FileSource source(fd, bytes.size());
    if (!source.read(0, bytes.data(), bytes.size())) {
      message(file, path + ": cannot read it: " + std::strerror(errno));
      ok = false;
    }
  }
  close(fd);
  std::string error;
  if (ok && !readPng(bytes.data(), bytes.size(), kMaxSide, image, error)) {
    message(file, path + ": " + error);
    ok = false;
  }
  return ok;
}

// The texture a TEXTURE argument names; SIZE_MAX after a message.
size_t findTexture(const std::string& path, const Container& container,
                   const std::string& texture) {
  const std::vector<TextureEntry>& textures = container.textures();
  const size_t n = textures.size();
  if (texture.size() > 1 && texture[0] == '#' &&
      texture.find_first_not_of("0123456789", 1) == std::string::npos) {
    const unsigned long long index = std::strtoull(texture.c_str() + 1, nullptr, 10);
    if (texture.size() > 7 || index >= n) {
      message(path, "it has no texture " + texture + " (it has " + std::to_string(n) + ")");
      return SIZE_MAX;
    }
    return size_t(index);
  }
  std::vector<size_t> found;
  for (size_t i = 0; i < n; ++i)
    if (textures[i].name == texture || displayName(textures[i].name) == texture) found.push_back(i);
  if (found.empty()) {
    message(path, "it has no texture named " + texture);
    return SIZE_MAX;
  }
  // Several textures of one name are one texture when they share its data.
  const auto& sharing = textures[found[0]].sharing;
  for (size_t i = 1; i < found.size(); ++i)
    if (!std::binary_search(sharing.begin(), sharing.end(), found[i])) {
      std::string list;
      for (size_t j : found) list += (list.empty() ? "#" : ", #") + std::to_string(j);
      message(path, "several textures are named " + texture + " (" + list +
                        "): give the one to replace as #INDEX");
      return SIZE_MAX;
    }
  return found[0];
}

// Where writing to path lands: symbolic links followed.
std::string resolved(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string out = real;
  std::free(real);
  return out;
}

}  // namespace

int listTextures(const std::string& path) {
  Opened opened;
  if (!openFile(path, opened)) return 1;
  const Container& container = *opened.container;
  const std::vector<TextureEntry>& textures = container.textures();
  int status = 0;
  for (size_t i = 0; i < textures.size(); ++i) {
    std::string line = std::to_string(i);
    line += '\t';
    line += displayName(textures[i].name);
    for (const std::string& field : container.listFields(i)) {
      line += '\t';
      line += field;
    }
    line += '\n';
    std::fputs(line.c_str(), stdout);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    message(path, std::string("cannot write the listing: ") + std::strerror(errno));
    return 1;
  }
  for (size_t i = 0; i < textures.size(); ++i)
    if (!textures[i].problem.empty()) {
      message(path, describe(container, i) + ": " + textures[i].problem);
      status = 1;
    }
  return status;
}

int exportTextures(const std::string& path, const std::string& dir, bool mips, bool force,
                   int threads) {
  Opened opened;
  if (!openFile(path, opened)) return 1;
  std::string error;
  if (!makeFolders(dir, error)) {
    message(path, error);
    return 1;
  }
  const Container& container = *opened.container;
  const size_t n = container.textures().size();
  const std::vector<std::string> stems = outputStems(container, mips);
  const ExportJob job{path, container, dir, stems, mips, force};
  OrderedReport report(n);
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  auto work = [&] {
    for (size_t i; (i = next++) < n;) {
      std::string text;
      bool ok;
      try {
        ok = exportOne(job, i, text);
      } catch (const std::bad_alloc&) {
        text += "glaze: " + path + ": " + describe(container, i) + ": not enough memory\n";
        ok = false;
      }
      if (!ok) failed = true;
      report.finish(i, std::move(text));
    }
  };
  threads = int(std::clamp<size_t>(size_t(std::max(threads, 1)), 1, std::max<size_t>(n, 1)));
  std::vector<std::thread> workers;
  for (int i = 1; i < threads; ++i) workers.emplace_back(work);
  work();
  for (std::thread& w : workers) w.join();
  return failed ? 1 : 0;
}

int replaceTexture(const std::string& path, const std::string& texture,
                   const std::string& imagePath, const ReplaceRequest& request,
                   const std::string& out, int threads, std::string& usageError) {
  Opened opened;
  if (!openFile(path, opened)) return 1;
  usageError = opened.type->requestProblem(request);
  if (!usageError.empty()) return 2;
  const size_t index = findTexture(path, *opened.container, texture);
  if (index == SIZE_MAX) return 1;
  Image image;
  if (!readImage(path, imagePath, image)) return 1;
  Edit edit;
  std::string error;
  if (!planReplacement(*opened.container, index, image, request, threads, edit, error)) {
    message(path, error);
    return 1;
  }
  const std::string destination = out.empty() ? resolved(path) : out;
  safefs::TemporaryFile file(kNaming);
  if (file.Create(AT_FDCWD, destination) < 0) {
    message(path, "cannot create a file beside " + destination + ": " + std::strerror(errno));
    return 1;
  }
  // Whole on the disk before it takes the name; the replaced file keeps
  // its permissions.
  FILE* stream = streamOf(file);
  const bool written = stream && writeEdited(*opened.source, edit, stream) &&
                       std::fflush(stream) == 0 && fsync(file.fd()) == 0 &&
                       (!out.empty() || fchmod(file.fd(), opened.info.st_mode & 07777) == 0);
  int failure = written ? 0 : errno;
  if (stream && std::fclose(stream) != 0 && failure == 0) failure = errno;
  if (failure == 0) failure = file.Commit(true);
  if (failure != 0) {
    message(path, "cannot write " + destination + ": " + std::strerror(failure));
    return 1;
  }
  report(path, edit.notes, edit.warnings);
  return 0;
}

}  // namespace glaze
