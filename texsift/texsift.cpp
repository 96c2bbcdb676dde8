// The model reader and the driver: section chain, TEX1 header, texture
// records, name table, listing, and the loop that writes one DDS file per
// texture.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <iostream>
#include <new>

#include "safefs/interrupts.h"
#include "safefs/temporary.h"
#include "texsift.h"

std::string g_name;

int64_t readAt(int model, int64_t offset, void* buffer, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t got = pread(model, static_cast<char*>(buffer) + done, n - done,
                              static_cast<off_t>(offset + static_cast<int64_t>(done)));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

namespace {

// ---------------------------------------------------------------------------
// Output files on disk

// The file being written: ".texsift-PID-N" beside its name, renamed when
// whole; an interrupt removes it first.
safefs::TemporaryFile g_partial(safefs::TemporaryNaming{"texsift",
                                                        safefs::TemporaryNaming::Form::kCount});

FILE* createOnDisk(const std::string& path) {
  std::string destination;
  if (const int error = safefs::FollowLinks(path, &destination); error != 0) {
    errno = error;
    return nullptr;
  }
  // A short name of its own beside the destination, so that a name which
  // just fits the file system still can be written.
  const int fd = g_partial.Create(AT_FDCWD, destination);
  if (fd < 0) return nullptr;
  const int stream = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (FILE* file = stream >= 0 ? fdopen(stream, "wb") : nullptr) return file;
  const int error = errno;
  if (stream >= 0) close(stream);
  g_partial.Discard();
  errno = error;
  return nullptr;
}

bool commitOnDisk(FILE* file, const std::string&) {
  int error = std::fclose(file) != 0 ? errno : 0;
  if (error != 0) {
    g_partial.Discard();
  } else {
    error = g_partial.Commit(true);
  }
  errno = error;
  return error == 0;
}

void discardOnDisk(FILE* file) {
  std::fclose(file);
  g_partial.Discard();
}

// ---------------------------------------------------------------------------
// The model

// Reads n bytes at offset; whatever the end of the file cuts off is zero.
// False (after a message) when the model cannot be read.
bool readZeroFilled(int model, int64_t offset, void* buffer, size_t n) {
  if (n == 0) return true;
  const int64_t got = readAt(model, offset, buffer, n);
  if (got < 0) {
    std::fprintf(stderr, "texsift: cannot read %s: %s\n", g_name.c_str(), std::strerror(errno));
    return false;
  }
  std::memset(static_cast<char*>(buffer) + got, 0, n - static_cast<size_t>(got));
  return true;
}

void swapTex1Header(Tex1Header& h) {
  toDWORD(h.sectionSize);
  toWORD(h.numTextures);
  toWORD(h.unknown1);
  toDWORD(h.textureHeaderOffset);
  toDWORD(h.stringTableOffset);
}

void swapTextureHeader(TextureHeader& t) {
  toWORD(t.width);
  toWORD(t.height);
  toWORD(t.unknown2);
  toDWORD(t.unknown3);
  toDWORD(t.unknown4);
  toDWORD(t.unknown5);
  toWORD(t.unknown6);
  toWORD(t.unknown7);
  toWORD(t.unknown9);
  toDWORD(t.dataOffset);
}

// A texture name as it may appear in a file name: a "/" would lead out of
// the folder that the model's own path names.
std::string fileNamePart(const std::string& name) {
  std::string s = name;
  for (char& c : s)
    if (c == '/') c = '_';
  return s;
}

std::string outputName(size_t index, const std::string& name, unsigned format, bool failed) {
  return g_name + " " + std::to_string(index) + (failed ? " FAILED: " : " ") + fileNamePart(name) +
         " " + std::to_string(format) + ".dds";
}

// Leaves the empty file that marks a texture which could not be converted.
bool writeMarker(const std::string& path) {
  FILE* f = g_outputFiles.create(path);
  if (!f) {
    std::fprintf(stderr, "texsift: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  if (!g_outputFiles.commit(f, path)) {
    std::fprintf(stderr, "texsift: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

// Writes one supported texture whose data start at offset; false after a
// message when it could not be written whole.
bool writeTexture(int model, int64_t offset, size_t index, const std::string& name,
                  const TextureHeader& texture, const DdsHeader& header) {
  const std::string path = outputName(index, name, texture.format, false);
  FILE* out = g_outputFiles.create(path);
  if (!out) {
    std::fprintf(stderr, "texsift: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  uint64_t missing = 0;
  const LevelsResult result = writeLevels(model, offset, out, texture, header, &missing);
  if (result == LevelsResult::kReadFailed) {
    // Zeros in place of data the model holds but did not give would be a
    // silently wrong picture: no file at all.
    const int error = errno;
    g_outputFiles.discard(out);
    std::fprintf(stderr, "texsift: cannot read the data of texture %zu (%s) in %s: %s\n", index,
                 name.c_str(), g_name.c_str(), std::strerror(error));
    return false;
  }
  if (result == LevelsResult::kWriteFailed) {
    const int error = errno;
    g_outputFiles.discard(out);
    std::fprintf(stderr, "texsift: cannot write %s: %s\n", path.c_str(), std::strerror(error));
    return false;
  }
  if (!g_outputFiles.commit(out, path)) {
    std::fprintf(stderr, "texsift: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  if (missing != 0) {
    // The file is written, but the user must know that part of it is not
    // the model's.
    std::fprintf(stderr,
                 "texsift: %s ends inside the data of texture %zu (%s): %llu missing bytes "
                 "are converted as zeros\n",
                 g_name.c_str(), index, name.c_str(), static_cast<unsigned long long>(missing));
  }
  return true;
}

// Section scan: the absolute offset of the TEX1 section, or -1 after a
// message on standard error.
int64_t findTex1(int model) {
  int64_t position = 32;
  uint32_t length = 0;
  for (;;) {
    position += length;
    char prefix[8];
    const int64_t got = readAt(model, position, prefix, sizeof prefix);
    if (got < 0) {
      std::fprintf(stderr, "texsift: cannot read %s: %s\n", g_name.c_str(), std::strerror(errno));
      return -1;
    }
    if (got == 0) {
      std::fprintf(stderr,
                   "texsift: no TEX1 section in %s: the sections end at offset %lld without one\n",
                   g_name.c_str(), static_cast<long long>(position));
      return -1;
    }
    if (got < static_cast<int64_t>(sizeof prefix)) {
      std::fprintf(stderr,
                   "texsift: no TEX1 section in %s: the file ends inside the section header at "
                   "offset %lld\n",
                   g_name.c_str(), static_cast<long long>(position));
      return -1;
    }
    std::memcpy(&length, prefix + 4, 4);
    toDWORD(length);
    std::cout << "Read ";
    std::cout.write(prefix, 4);
    std::cout << '\n';
    if (std::memcmp(prefix, "TEX1", 4) == 0) return position;
    if (length == 0) {
      std::fprintf(
          stderr, "texsift: no TEX1 section found in %s: the section at offset %lld has length 0\n",
          g_name.c_str(), static_cast<long long>(position));
      return -1;
    }
  }
}

}  // namespace

OutputFiles g_outputFiles = {createOnDisk, commitOnDisk, discardOnDisk};

std::optional<std::string> getString(int64_t offset, int model) {
  // Up to the first zero byte, or the end of the file.
  std::string s;
  char chunk[4096];
  for (;;) {
    const int64_t got = readAt(model, offset, chunk, sizeof chunk);
    if (got < 0) return std::nullopt;
    if (const void* end = std::memchr(chunk, 0, static_cast<size_t>(got))) {
      s.append(chunk, static_cast<size_t>(static_cast<const char*>(end) - chunk));
      return s;
    }
    s.append(chunk, static_cast<size_t>(got));
    if (got < static_cast<int64_t>(sizeof chunk)) return s;
    offset += got;
  }
}

std::optional<std::vector<std::string>> dumpStringtable(
    const Tex1Header& header, const std::vector<TextureHeader>& texHeaders, int model,
    int64_t tex1) {
  const int64_t table = tex1 + header.stringTableOffset;
  uint16_t count[2];
  if (!readZeroFilled(model, table, count, sizeof count)) return std::nullopt;
  uint16_t numNames = count[0];
  toWORD(numNames);
  if (numNames != texHeaders.size()) {
    std::fprintf(stderr,
                 "texsift: the name table must list every texture: numNames == texHeaders.size() "
                 "failed (%u names, %zu textures)\n",
                 static_cast<unsigned>(numNames), texHeaders.size());
    return std::nullopt;
  }

  // The whole table is read before anything is printed, so that a read
  // error leaves no listing half done.
  std::vector<uint16_t> entries(2 * size_t{numNames});
  if (!readZeroFilled(model, table + 4, entries.data(), entries.size() * 2)) return std::nullopt;
  std::vector<std::string> names;
  names.reserve(numNames);
  for (size_t k = 0; k < numNames; ++k) {
    uint16_t offset = entries[2 * k + 1];
    toWORD(offset);
    auto name = getString(table + offset, model);
    if (!name) {
      std::fprintf(stderr, "texsift: cannot read %s: %s\n", g_name.c_str(), std::strerror(errno));
      return std::nullopt;
    }
    names.push_back(std::move(*name));
  }

  std::cout << "\nImage names:\n";
  for (size_t k = 0; k < numNames; ++k) {
    uint16_t hash = entries[2 * k];
    toWORD(hash);
    const TextureHeader& t = texHeaders[k];
    std::cout << std::hex << hash << ' ' << names[k] << '\n';
    std::cout << std::dec << "  Width: " << t.width << ", Height: " << t.height << ", format "
              << unsigned{t.format} << ", " << unsigned{t.mipmapCount}
              << " mipmaps, offset: " << t.dataOffset << " = 0x" << std::hex << t.dataOffset
              << '\n';
    std::cout << std::hex << "  " << unsigned{t.unknown1} << ' ' << t.unknown2 << ' ' << t.unknown3
              << ' ' << t.unknown4 << ' ' << t.unknown5 << ' ' << t.unknown6 << ' ' << t.unknown7
              << ' ' << unsigned{t.unknown8} << ' ' << t.unknown9 << '\n';
  }
  return names;
}

int readBmd(int model) {
  const int64_t tex1 = findTex1(model);
  if (tex1 < 0) return 1;

  Tex1Header header;
  if (!readZeroFilled(model, tex1, &header, sizeof header)) return 1;
  swapTex1Header(header);

  std::vector<TextureHeader> texHeaders(header.numTextures);
  if (!readZeroFilled(model, tex1 + 32, texHeaders.data(), texHeaders.size() * 32)) return 1;
  for (TextureHeader& t : texHeaders) swapTextureHeader(t);

  const auto names = dumpStringtable(header, texHeaders, model, tex1);
  if (!names) return 1;

  int status = 0;
  for (size_t i = 0; i < texHeaders.size(); ++i) {
    const TextureHeader& t = texHeaders[i];
    const std::string& name = (*names)[i];
    DdsHeader dds = createDdsHeader(t.width, t.height, t.mipmapCount);
    const int size = getBufferSize(t.format, t.width, t.height, dds.colorCaps);

    if (size == kUnsupportedFormat || size == kSizeTooLarge) {
      if (size == kUnsupportedFormat)
        std::cout << "\nUNSUPPORTED FORMAT " << std::hex << unsigned{t.format} << "!!!\n\n";
      else
        std::cout << "\nUNSUPPORTED SIZE " << std::dec << t.width << " x " << t.height
                  << " in format " << unsigned{t.format}
                  << ": the full-size level needs 2 GiB or more!!!\n\n"
                  << std::hex;
      if (!writeMarker(outputName(i, name, t.format, true))) status = 1;
      continue;
    }

    // The data offset counts from the texture's own record.
    const uint32_t fromRecords = t.dataOffset + 32u * static_cast<uint32_t>(i);
    if (!writeTexture(model, tex1 + 32 + fromRecords, i, name, t, dds)) status = 1;
  }
  if (!std::cout.flush()) {
    std::fprintf(stderr, "texsift: cannot write the listing: %s\n", std::strerror(errno));
    status = 1;
  }
  return status;
}

int extractTextures(const char* path) {
  // Interrupts remove the file being written; a write beyond the file-size
  // limit fails (EFBIG) like any failed write instead of killing the program
  // halfway through a file (SIGXFSZ ignored).
  safefs::HandleInterrupts({SIGINT, SIGTERM, SIGHUP, SIGQUIT});
  // Without waiting for a writer (a FIFO); then only what has a size is read.
  const int model = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (model < 0) return 1;
  struct stat info;
  if (fstat(model, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISBLK(info.st_mode))) {
    close(model);
    return 1;
  }
  g_name = path;
  int status;
  try {
    status = readBmd(model);
  } catch (const std::bad_alloc&) {
    g_partial.Discard();
    std::cout.flush();
    std::fprintf(stderr, "texsift: not enough memory\n");
    status = 1;
  }
  close(model);
  return status;
}
