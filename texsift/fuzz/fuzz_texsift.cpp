// libFuzzer harness over the whole of texsift: section scan, records, name
// table, listing and every conversion, on a model file made from the input.
//
// The model is a real file in a private temporary folder, so it is read
// exactly as the program reads it. Output files never reach the disk: each
// one is opened on a fixed in-memory buffer of kOutputLimit bytes, and a
// write beyond it fails like a write to a full disk. That bounds the time and
// memory of any input, however many or however large the textures it claims,
// and exercises the failed-write path as well.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "texsift.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kOutputLimit = 256 * 1024;
// A TEX1 header may claim up to 65535 textures even in a file of a few dozen
// bytes; the records beyond the end read as empty textures, each one the same
// work again. Such inputs take seconds and teach the fuzzer nothing new, so
// inputs that claim more than this are left out.
constexpr int kMaxTextures = 1024;
fs::path folder;
std::vector<char> sink(kOutputLimit);

void removeFolder() {
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

// Every output name is the model path, a space, and a part in which a
// texture name can no longer lead to another folder.
FILE* openSink(const std::string& name) {
  const std::string prefix = g_name + " ";
  if (name.compare(0, prefix.size(), prefix) != 0 ||
      name.find('/', prefix.size()) != std::string::npos || name.size() < prefix.size() + 4 ||
      name.compare(name.size() - 4, 4, ".dds") != 0)
    __builtin_trap();
  return fmemopen(sink.data(), sink.size(), "w");
}

bool commitSink(FILE* file, const std::string&) { return std::fclose(file) == 0; }

void discardSink(FILE* file) { std::fclose(file); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : P_tmpdir;
  std::string templ = std::string(base) + "/texsift-fuzz-XXXXXX";
  if (!mkdtemp(templ.data())) {
    std::perror("texsift-fuzz: mkdtemp");
    std::abort();
  }
  folder = templ;
  std::atexit(removeFolder);
  g_outputFiles = {openSink, commitSink, discardSink};
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (size_t i = 0; i + 10 <= size; ++i)
    if (std::memcmp(data + i, "TEX1", 4) == 0 && (data[i + 8] << 8 | data[i + 9]) > kMaxTextures)
      return -1;

  const fs::path modelPath = folder / "model.bmd";
  FILE* f = std::fopen(modelPath.c_str(), "wb");
  if (!f) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);

  const int model = open(modelPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (model < 0) std::abort();
  g_name = (folder / "m").string();
  const int status = readBmd(model);
  close(model);
  if (status != 0 && status != 1) __builtin_trap();
  return 0;
}
