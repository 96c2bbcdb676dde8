// libFuzzer harness over the whole of texsift: section scan, records, name
// table, listing and every conversion, on a model file made from the input.
//
// Everything is written into a private temporary folder that is emptied after
// each input. Every file the program writes is capped at kFileLimit bytes (a
// write beyond it fails, which exercises the failed-write path), so no input
// can fill the disk however large the textures it claims.
#include <signal.h>
#include <sys/resource.h>
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

constexpr rlim_t kFileLimit = 256 * 1024;
fs::path folder;

void removeFolder() {
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

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
  const rlimit limit{kFileLimit, kFileLimit};
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
    std::perror("texsift-fuzz: setrlimit");
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kFileLimit) return -1;
  // libFuzzer watches for this signal itself; here a write beyond the cap
  // is to fail like any other failed write.
  signal(SIGXFSZ, SIG_IGN);
  const fs::path modelPath = folder / "model.bmd";
  FILE* f = std::fopen(modelPath.c_str(), "wb");
  if (!f) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);

  FILE* model = std::fopen(modelPath.c_str(), "rb");
  if (!model) std::abort();
  g_name = (folder / "m").string();
  const int status = readBmd(model);
  std::fclose(model);
  if (status != 0 && status != 1) __builtin_trap();

  // Every output lies in the folder, named after the model; a DDS file that
  // was written begins with its magic.
  std::vector<fs::path> outputs;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path() != modelPath) outputs.push_back(entry.path());
  for (const fs::path& path : outputs) {
    const std::string name = path.filename();
    if (name.rfind("m ", 0) != 0) __builtin_trap();
    if (fs::file_size(path) > 0) {
      char magic[4] = {};
      FILE* dds = std::fopen(path.c_str(), "rb");
      if (!dds || std::fread(magic, 1, 4, dds) != 4 || std::memcmp(magic, "DDS ", 4) != 0)
        __builtin_trap();
      std::fclose(dds);
    }
    fs::remove(path);
  }
  return 0;
}
