// The three jobs of glaze over real files: listing, exporting (several
// textures at once, each written under a temporary name and renamed when
// whole) and replacing (the new model written beside the old one and renamed
// over it only when whole).
#include "glaze.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "png_io.h"

namespace glaze {

namespace {

// ---------------------------------------------------------------------------
// Temporary files, known to the signal handler

constexpr int kSlots = 32;
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// 0 free, 1 being filled, 2 holds a path to remove on a signal.
std::atomic<int> slotState[kSlots];
char slotPath[kSlots][PATH_MAX];
std::atomic<unsigned> temporaryCount{0};

void removeTemporariesAndEnd(int number) {
  for (int i = 0; i < kSlots; ++i)
    if (slotState[i].load() == 2) unlink(slotPath[i]);
  std::signal(number, SIG_DFL);
  std::raise(number);
}

// A file written under a hidden name beside its final name.
class Temporary {
 public:
  ~Temporary() { discard(); }

  // Creates it in the folder of `destination`; false with errno set.
  bool create(const std::string& destination, mode_t mode = 0666) {
    const size_t slash = destination.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : destination.substr(0, slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = folder + ".glaze-" + std::to_string(getpid()) + "-" +
              std::to_string(++temporaryCount) + ".tmp";
      if (path_.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
      }
      claim();
      const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      if (fd >= 0) {
        file_ = fdopen(fd, "wb");
        if (file_) return true;
        const int error = errno;
        close(fd);
        release(true);
        errno = error;
        return false;
      }
      const int error = errno;
      release(false);
      if (error != EEXIST) {
        errno = error;
        return false;
      }
    }
    return false;
  }

  FILE* file() const { return file_; }

  // Closes the file (after fsync and fchmod when asked) and gives it its
  // name; with noReplace an existing file keeps its name (errno EEXIST).
  // False with errno set; nothing is left then.
  bool commit(const std::string& destination, bool noReplace, bool sync = false, int chmodTo = -1) {
    bool ok = std::fflush(file_) == 0;
    if (ok && sync) ok = fsync(fileno(file_)) == 0;
    if (ok && chmodTo >= 0) ok = fchmod(fileno(file_), mode_t(chmodTo)) == 0;
    int error = ok ? 0 : errno;
    if (std::fclose(file_) != 0 && ok) ok = false, error = errno;
    file_ = nullptr;
    if (ok) {
      if (noReplace) {
        if (renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) !=
            0) {
          error = errno;
          if (error == EINVAL || error == ENOSYS) {
            // A file system without it: a link cannot replace either.
            ok = link(path_.c_str(), destination.c_str()) == 0;
            error = ok ? 0 : errno;
          } else {
            ok = false;
          }
        } else {
          release(false);
          return true;
        }
      } else {
        ok = std::rename(path_.c_str(), destination.c_str()) == 0;
        error = ok ? 0 : errno;
        if (ok) {
          release(false);
          return true;
        }
      }
    }
    release(true);
    errno = error;
    return ok;
  }

  void discard() {
    if (file_) {
      std::fclose(file_);
      file_ = nullptr;
    }
    if (slot_ >= 0) release(true);
  }

 private:
  void claim() {
    for (int i = 0;; i = (i + 1) % kSlots) {
      int expected = 0;
      if (slotState[i].compare_exchange_strong(expected, 1)) {
        std::memcpy(slotPath[i], path_.c_str(), path_.size() + 1);
        slotState[i].store(2);
        slot_ = i;
        return;
      }
    }
  }

  // Forgets the file, removing it first when asked: an interrupt in between
  // removes it again, harmlessly.
  void release(bool remove) {
    if (remove) unlink(path_.c_str());
    if (slot_ >= 0) slotState[slot_].store(0);
    slot_ = -1;
  }

  std::string path_;
  FILE* file_ = nullptr;
  int slot_ = -1;
};

// ---------------------------------------------------------------------------
// Opening a model

struct Opened {
  int fd = -1;
  struct stat info = {};
  std::unique_ptr<FileSource> source;
  Model model;
  ~Opened() {
    if (fd >= 0) close(fd);
  }
};

void message(const std::string& model, const std::string& text) {
  std::fprintf(stderr, "glaze: %s: %s\n", model.c_str(), text.c_str());
}

bool endsWithBti(const std::string& path) {
  if (path.size() < 4) return false;
  std::string end = path.substr(path.size() - 4);
  for (char& c : end) c = char(std::tolower(static_cast<unsigned char>(c)));
  return end == ".bti";
}

std::string stemOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (endsWithBti(base)) base.resize(base.size() - 4);
  return base;
}

bool openModel(const std::string& path, Opened& opened) {
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
  Kind kind = Kind::kBti;
  if (!endsWithBti(path)) {
    uint8_t magic[8] = {};
    if (opened.info.st_size >= 8 && !opened.source->read(0, magic, 8)) {
      message(path, std::string("cannot read it: ") + std::strerror(errno));
      return false;
    }
    const auto j3d = opened.info.st_size >= 8 ? j3dKind(magic) : std::nullopt;
    if (!j3d) {
      message(path,
              "it is not a BMD or BDL model (no J3D2bmd3 or J3D2bdl4 magic), and its name does "
              "not end in .bti");
      return false;
    }
    kind = *j3d;
  }
  std::string error;
  if (!readModel(*opened.source, kind, stemOf(path), opened.model, error)) {
    message(path, error);
    return false;
  }
  return true;
}

std::string describe(const Model& model, size_t index) {
  return "texture " + std::to_string(index) + " (" + displayName(model.textures[index].name) + ")";
}

// ---------------------------------------------------------------------------
// Export

// Output names: NAME.png, NAME.INDEX.png where names (or the names of
// their levels) would meet.
std::vector<std::string> outputStems(const Model& model, bool mips) {
  const size_t n = model.textures.size();
  std::vector<std::string> base(n);
  std::vector<bool> indexed(n, false);
  for (size_t i = 0; i < n; ++i) base[i] = fileNameOf(model.textures[i].name);
  if (model.kind == Kind::kBti) return base;
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
      const int levels =
          mips && model.textures[i].problem.empty() ? model.textures[i].header.levels() : 1;
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
  const Opened& opened;
  const std::string& dir;
  const std::vector<std::string>& stems;
  bool mips, force;
};

// Writes one texture's files; returns its messages and whether all went.
bool exportOne(const ExportJob& job, size_t index, std::string& report) {
  const Model& model = job.opened.model;
  const Texture& t = model.textures[index];
  auto say = [&](const std::string& text) { report += "glaze: " + job.path + ": " + text + "\n"; };
  if (!t.problem.empty()) {
    say(describe(model, index) + ": " + t.problem);
    return false;
  }
  const FormatInfo& f = *t.format();
  const int levels = job.mips ? t.header.levels() : 1;
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

  std::vector<uint8_t> data;
  Palette palette;
  std::string error;
  if (!readTextureData(*job.opened.source, t, wanted.back() + 1, data, palette, error)) {
    say(describe(model, index) + ": " + error);
    return false;
  }
  // Grey formats, and palettes of grey entries, as grey + alpha.
  const bool grey = f.grey || (f.maxEntries > 0 && palette.format == kPalIA8);
  uint64_t pastPalette = 0;
  size_t at = 0;
  for (int k = 0; k <= wanted.back(); ++k) {
    const int w = levelSide(t.header.width(), k), h = levelSide(t.header.height(), k);
    const size_t bytes = levelBytes(f, w, h);
    if (std::find(wanted.begin(), wanted.end(), k) == wanted.end()) {
      at += bytes;
      continue;
    }
    Image image(w, h);
    const uint64_t past = decodeLevel(f, w, h, data.data() + at, &palette, image.rgba.data());
    pastPalette += past;
    at += bytes;
    Temporary file;
    if (!file.create(names[size_t(k)])) {
      say("cannot create " + names[size_t(k)] + ": " + std::strerror(errno));
      ok = false;
      continue;
    }
    if (!writePng(file.file(), image, grey)) {
      say("cannot write " + names[size_t(k)] + ": " + std::strerror(errno));
      ok = false;
      continue;
    }
    if (!file.commit(names[size_t(k)], !job.force)) {
      if (errno == EEXIST)
        say(names[size_t(k)] + " exists (-f replaces it)");
      else
        say("cannot write " + names[size_t(k)] + ": " + std::strerror(errno));
      ok = false;
    }
  }
  if (pastPalette > 0)
    say("warning: " + describe(model, index) + ": " + std::to_string(pastPalette) +
        " texels have indices past its " + std::to_string(palette.entries.size()) +
        "-entry palette; they are written transparent");
  return ok;
}

// ---------------------------------------------------------------------------
// Replace

bool readImage(const std::string& model, const std::string& path, Image& image) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    message(model, path + ": cannot open it: " + std::strerror(errno));
    return false;
  }
  struct stat info;
  bool ok = fstat(fd, &info) == 0;
  std::vector<uint8_t> bytes;
  if (!ok) {
    message(model, path + ": cannot read it: " + std::strerror(errno));
  } else if (!S_ISREG(info.st_mode)) {
    message(model, path + ": it is not a regular file");
    ok = false;
  } else if (uint64_t(info.st_size) > kMaxPngFileBytes) {
    message(model, path + ": it is " + std::to_string(info.st_size) +
                       " bytes; a PNG of a texture takes at most " +
                       std::to_string(kMaxPngFileBytes) + " bytes");
    ok = false;
  } else {
    bytes.resize(size_t(info.st_size));
    FileSource source(fd, bytes.size());
    if (!source.read(0, bytes.data(), bytes.size())) {
      message(model, path + ": cannot read it: " + std::strerror(errno));
      ok = false;
    }
  }
  close(fd);
  std::string error;
  if (ok && !readPng(bytes.data(), bytes.size(), kMaxSide, image, error)) {
    message(model, path + ": " + error);
    ok = false;
  }
  return ok;
}

// The header a TEXTURE argument names; SIZE_MAX after a message.
size_t findTexture(const std::string& path, const Model& model, const std::string& texture) {
  const size_t n = model.textures.size();
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
    if (model.textures[i].name == texture || displayName(model.textures[i].name) == texture)
      found.push_back(i);
  if (found.empty()) {
    message(path, "it has no texture named " + texture);
    return SIZE_MAX;
  }
  // Several headers of one name are one texture when they share its data.
  const auto& sharing = model.textures[found[0]].sharing;
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

void installSignalHandlers() {
  struct sigaction action = {};
  action.sa_handler = removeTemporariesAndEnd;
  sigemptyset(&action.sa_mask);
  for (int s : kEndingSignals) sigaddset(&action.sa_mask, s);
  for (int s : kEndingSignals) {
    struct sigaction old;
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
      sigaction(s, &action, nullptr);
  }
  // A write past the file-size limit fails (EFBIG) instead of ending glaze.
  std::signal(SIGXFSZ, SIG_IGN);
}

int listTextures(const std::string& path) {
  Opened opened;
  if (!openModel(path, opened)) return 1;
  const Model& model = opened.model;
  int status = 0;
  for (size_t i = 0; i < model.textures.size(); ++i) {
    const Texture& t = model.textures[i];
    const Header& h = t.header;
    const FormatInfo* f = t.format();
    // Appended piece by piece: GCC 12 warns falsely about "..." + std::string.
    std::string palette = "-";
    if (f && f->maxEntries > 0) {
      const char* name = paletteFormatName(h.paletteFormat());
      palette = name ? name : "?";
      if (!name) palette += std::to_string(h.paletteFormat());
      palette += '/';
      palette += std::to_string(h.paletteEntries());
    }
    std::string shared;
    for (size_t s : t.sharing) {
      if (!shared.empty()) shared += ',';
      shared += std::to_string(s);
    }
    std::string format = f ? f->name : "?";
    if (!f) format += std::to_string(h.format());
    std::printf("%zu\t%s\t%s\t%dx%d\t%d\t%s\t%s\n", i, displayName(t.name).c_str(), format.c_str(),
                h.width(), h.height(), h.levels(), palette.c_str(),
                shared.empty() ? "-" : shared.c_str());
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    message(path, std::string("cannot write the listing: ") + std::strerror(errno));
    return 1;
  }
  for (size_t i = 0; i < model.textures.size(); ++i)
    if (!model.textures[i].problem.empty()) {
      message(path, describe(model, i) + ": " + model.textures[i].problem);
      status = 1;
    }
  return status;
}

int exportTextures(const std::string& path, const std::string& dir, bool mips, bool force,
                   int threads) {
  Opened opened;
  if (!openModel(path, opened)) return 1;
  std::string error;
  if (!makeFolders(dir, error)) {
    message(path, error);
    return 1;
  }
  const size_t n = opened.model.textures.size();
  const std::vector<std::string> stems = outputStems(opened.model, mips);
  const ExportJob job{path, opened, dir, stems, mips, force};
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
        text += "glaze: " + path + ": " + describe(opened.model, i) + ": not enough memory\n";
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
                   const std::string& imagePath, const ReplaceOptions& options,
                   const std::string& out, int threads) {
  Opened opened;
  if (!openModel(path, opened)) return 1;
  const size_t index = findTexture(path, opened.model, texture);
  if (index == SIZE_MAX) return 1;
  Image image;
  if (!readImage(path, imagePath, image)) return 1;
  Edit edit;
  std::string error;
  if (!planReplacement(*opened.source, opened.model, index, image, options, threads, edit, error)) {
    message(path, error);
    return 1;
  }
  const std::string destination = out.empty() ? resolved(path) : out;
  Temporary file;
  if (!file.create(destination)) {
    message(path, "cannot create a file beside " + destination + ": " + std::strerror(errno));
    return 1;
  }
  if (!writeEdited(*opened.source, edit, file.file())) {
    message(path, "cannot write " + destination + ": " + std::strerror(errno));
    return 1;
  }
  // The replaced model keeps its permissions.
  const int mode = out.empty() ? int(opened.info.st_mode & 07777) : -1;
  if (!file.commit(destination, false, true, mode)) {
    message(path, "cannot write " + destination + ": " + std::strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace glaze
