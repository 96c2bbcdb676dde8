// The containers a RomFS comes in: a card image (CCI, NCSD), an NCCH (CXI,
// CFA), an installable title (CIA), or none (a bare image). Each is a unit
// of its own (ncsd, ncch, cia) that finds the RomFS through its headers,
// checks them, and says how it is read (a Region); uncairn reads every
// container through this interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "region.h"

namespace uncairn {

// Which NCCH of a container to read, from the command line; -1: the usual.
struct Choice {
  int partition = -1;  // --partition N (0-7), a CCI's
  int content = -1;    // --content N (0-65535), a CIA's, by TMD index
};

class Container {
 public:
  virtual ~Container() = default;

  // The lines of -i, each "name: value", numbers in hexadecimal, offsets
  // from the file's start. False when a hash that could be checked fails
  // (reported) or the structure is damaged.
  virtual bool Describe(std::vector<std::string>& lines) = 0;
  // The RomFS, for -l, -t and extraction. False, reported, when there is
  // none ("no RomFS: ...") or it is encrypted with keys the kit lacks.
  virtual bool Romfs(Region& romfs) = 0;
  // Checks what the container promises about what is read: everything (the
  // exheader, ExeFS and RomFS superblock hashes, a CIA's TMD hash of the
  // content read) for -t, the RomFS superblock hash alone for extraction.
  // Each failure is reported; false when there is any.
  virtual bool Check(bool everything) = 0;
};

// Recognizes the file by its content, never by its name, and reads and
// checks its headers, picking the NCCH that choice names. Null, with the
// problem reported, when the file is damaged or the choice does not fit it.
std::unique_ptr<Container> OpenContainer(const InputFile& file, const Choice& choice);

// Says that choice names a partition or content although the file is a
// kind (e.g. "CIA") that has none: false after the report, true when no
// such choice was made.
bool ChoiceFits(const InputFile& file, const Choice& choice, bool partitions, bool contents,
                const char* kind);

}  // namespace uncairn
