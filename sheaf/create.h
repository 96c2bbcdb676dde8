// sheaf -c: packs the tree below DIR into a new archive, written beside
// its name and renamed into place when whole, plain or wrapped in Yaz0
// (tamp's encoder) or LZ77.
#pragma once

#include <cstdio>
#include <string>

#include "input.h"

namespace sheaf {

struct CreateRequest {
  std::string dir;
  std::string archive;
  Format format = Format::kSarc;  // without like
  bool big_endian = false;        // a SARC's byte order, without like
  Wrapper wrapper = Wrapper::kNone;
  std::string like;  // ORIGINAL, when given
  bool force = false;
  FILE* verbose = nullptr;
};

// Makes the archive; the exit status (0 or 1), every problem reported.
int Create(const CreateRequest& request);

// The format and wrapper that ARCHIVE's suffix asks for: false when the
// suffix does not say (.szs and unknown ones).
bool FormatFromName(const std::string& archive, Format* format, bool* big_endian);
Wrapper WrapperFromName(const std::string& archive);

}  // namespace sheaf
