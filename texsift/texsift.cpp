// The model reader: section chain, TEX1 header, texture records, name table,
// listing, and the loop that writes one DDS file per texture.
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>

#include "texsift.h"

std::string g_name;

FILE* openOutputFile(const char* path) { return std::fopen(path, "wb"); }

FILE* (*g_openOutput)(const char* path) = openOutputFile;

namespace {

// Reads n bytes; whatever the end of the file cuts off is zero.
size_t readZeroFilled(FILE* model, void* buffer, size_t n) {
  const size_t got = std::fread(buffer, 1, n, model);
  if (got < n) std::memset(static_cast<char*>(buffer) + got, 0, n - got);
  return got;
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
  FILE* f = g_openOutput(path.c_str());
  if (!f) {
    std::fprintf(stderr, "texsift: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  if (std::fclose(f) != 0) {
    std::fprintf(stderr, "texsift: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

// Section scan: the absolute offset of the TEX1 section, or -1 after a
// message on standard error.
int64_t findTex1(FILE* model) {
  int64_t position = 32;
  uint32_t length = 0;
  for (;;) {
    position += length;
    char prefix[8];
    size_t got = 0;
    if (fseeko(model, position, SEEK_SET) == 0) got = std::fread(prefix, 1, sizeof prefix, model);
    if (got == 0) {
      std::fprintf(stderr,
                   "texsift: no TEX1 section in %s: the sections end at offset %lld without one\n",
                   g_name.c_str(), static_cast<long long>(position));
      return -1;
    }
    if (got < sizeof prefix) {
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

std::string getString(int64_t offset, FILE* model) {
  const off_t back = ftello(model);
  std::string s;
  if (fseeko(model, offset, SEEK_SET) == 0) {
    // Up to the first zero byte, or the end of the file.
    char chunk[64];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, model)) > 0) {
      if (const void* end = std::memchr(chunk, 0, got)) {
        s.append(chunk, static_cast<size_t>(static_cast<const char*>(end) - chunk));
        break;
      }
      s.append(chunk, got);
    }
  }
  fseeko(model, back, SEEK_SET);
  return s;
}

std::optional<std::vector<std::string>> dumpStringtable(
    const Tex1Header& header, const std::vector<TextureHeader>& texHeaders, FILE* model) {
  const int64_t table = ftello(model) + header.stringTableOffset;
  fseeko(model, table, SEEK_SET);
  uint16_t count[2];
  readZeroFilled(model, count, sizeof count);
  uint16_t numNames = count[0];
  toWORD(numNames);
  if (numNames != texHeaders.size()) {
    std::fprintf(stderr,
                 "texsift: the name table must list every texture: numNames == texHeaders.size() "
                 "failed (%u names, %zu textures)\n",
                 static_cast<unsigned>(numNames), texHeaders.size());
    return std::nullopt;
  }

  std::vector<std::string> names;
  names.reserve(numNames);
  std::cout << "\nImage names:\n";
  for (size_t k = 0; k < numNames; ++k) {
    uint16_t entry[2];
    readZeroFilled(model, entry, sizeof entry);
    uint16_t hash = entry[0], offset = entry[1];
    toWORD(hash);
    toWORD(offset);
    std::string name = getString(table + offset, model);
    const TextureHeader& t = texHeaders[k];
    std::cout << std::hex << hash << ' ' << name << '\n';
    std::cout << std::dec << "  Width: " << t.width << ", Height: " << t.height << ", format "
              << unsigned{t.format} << ", " << unsigned{t.mipmapCount}
              << " mipmaps, offset: " << t.dataOffset << " = 0x" << std::hex << t.dataOffset
              << '\n';
    std::cout << std::hex << "  " << unsigned{t.unknown1} << ' ' << t.unknown2 << ' ' << t.unknown3
              << ' ' << t.unknown4 << ' ' << t.unknown5 << ' ' << t.unknown6 << ' ' << t.unknown7
              << ' ' << unsigned{t.unknown8} << ' ' << t.unknown9 << '\n';
    names.push_back(std::move(name));
  }
  return names;
}

int readBmd(FILE* model) {
  const int64_t tex1 = findTex1(model);
  if (tex1 < 0) return 1;

  fseeko(model, tex1, SEEK_SET);
  Tex1Header header;
  readZeroFilled(model, &header, sizeof header);
  swapTex1Header(header);

  std::vector<TextureHeader> texHeaders(header.numTextures);
  for (TextureHeader& t : texHeaders) {
    readZeroFilled(model, &t, sizeof t);
    swapTextureHeader(t);
  }

  fseeko(model, tex1, SEEK_SET);
  const auto names = dumpStringtable(header, texHeaders, model);
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
    fseeko(model, tex1 + 32 + fromRecords, SEEK_SET);
    const std::string path = outputName(i, name, t.format, false);
    FILE* out = g_openOutput(path.c_str());
    if (!out) {
      std::fprintf(stderr, "texsift: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
      status = 1;
      continue;
    }
    uint64_t missing = 0;
    bool written = writeLevels(model, out, t, dds, &missing);
    int error = written ? 0 : errno;
    if (std::fclose(out) != 0 && written) {
      written = false;
      error = errno;
    }
    if (!written) {
      // A cut-off DDS file would only mislead: it goes.
      std::fprintf(stderr, "texsift: cannot write %s: %s\n", path.c_str(), std::strerror(error));
      std::remove(path.c_str());
      status = 1;
    } else if (missing != 0) {
      // The file is written, but the user must know that part of it is not
      // the model's.
      std::fprintf(stderr,
                   "texsift: %s ends inside the data of texture %zu (%s): %llu missing bytes "
                   "are converted as zeros\n",
                   g_name.c_str(), i, name.c_str(), static_cast<unsigned long long>(missing));
    }
  }
  std::cout.flush();
  return status;
}

int extractTextures(const char* path) {
  // A write beyond the file-size limit fails (EFBIG) like any failed write
  // instead of killing the program halfway through a file.
  std::signal(SIGXFSZ, SIG_IGN);
  FILE* model = std::fopen(path, "rb");
  if (!model) return 1;
  // A folder opens, but cannot be read.
  struct stat info;
  if (fstat(fileno(model), &info) != 0 || S_ISDIR(info.st_mode)) {
    std::fclose(model);
    return 1;
  }
  g_name = path;
  const int status = readBmd(model);
  std::fclose(model);
  return status;
}
