// libFuzzer harness of uncairn's image reader: every input is a bare image
// file that is listed, verified and extracted (read_romfs.h).

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "read_romfs.h"
#include "region.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("image", MFD_CLOEXEC);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  uncairn::InputFile file;
  if (!file.Open(fd, "image", [](const std::string&) {})) abort();
  ReadRomfs(uncairn::Region(file, 0, file.size()));
  close(fd);
  return 0;
}
