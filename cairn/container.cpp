#include "container.h"

#include <algorithm>
#include <cstring>

#include "ByteBuffer.h"
#include "cia.h"
#include "ivfc_reader.h"
#include "ncch.h"
#include "ncsd.h"

namespace uncairn {

namespace {

// A RomFS image by itself, as cairn writes it: the whole file.
class BareImage : public Container {
 public:
  explicit BareImage(const InputFile& file) : file_(file), region_(file, 0, file.size()) {}
  bool Describe(std::vector<std::string>& lines) override {
    lines.push_back("container: RomFS");
    lines.push_back("romfs: at 0x0, " + Hex(file_.size()) + " bytes");
    // No container vouches for the IVFC header; it is checked here.
    IvfcReader image;
    return image.Open(region_, file_.name(), file_.report());
  }
  bool Romfs(Region& romfs) override {
    romfs = region_;
    return true;
  }
  bool Check(bool) override { return true; }

 private:
  const InputFile& file_;
  Region region_;
};

}  // namespace

bool ChoiceFits(const InputFile& file, const Choice& choice, bool partitions, bool contents,
                const char* kind) {
  if (choice.partition >= 0 && !partitions) {
    file.Problem(std::string("--partition picks a partition of a CCI; this is ") + kind);
    return false;
  }
  if (choice.content >= 0 && !contents) {
    file.Problem(std::string("--content picks a content of a CIA; this is ") + kind);
    return false;
  }
  return true;
}

std::unique_ptr<Container> OpenContainer(const InputFile& file, const Choice& choice) {
  uint8_t head[0x200] = {};
  const size_t have = static_cast<size_t>(std::min<uint64_t>(sizeof(head), file.size()));
  if (!file.Read(0, head, have)) return nullptr;
  // A RomFS image's header first: a card dump's signature could begin with
  // it only by a chance of 2^-64, while a large image's master hash could
  // hold "NCSD" at 0x100 by one of 2^-32.
  const bool ivfc = have >= 8 && memcmp(head, "IVFC", 4) == 0 && get_le32(head + 4) == 0x10000;
  if (ivfc) {
    if (!ChoiceFits(file, choice, false, false, "a RomFS image")) return nullptr;
  } else if (IsNcsd(head, have)) {
    return OpenNcsd(file, choice);
  } else if (Ncch::HasMagic(head, have)) {
    return OpenNcchFile(file, choice);
  } else if (IsCia(head, have)) {
    return OpenCia(file, choice);
  }
  // Anything else is read as a bare image too, whose reader says what is
  // wrong with it.
  return std::make_unique<BareImage>(file);
}

}  // namespace uncairn
