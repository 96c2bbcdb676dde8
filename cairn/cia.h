// An installable title (CIA): a 0x2020-byte header with a bitmap of the
// contents present, then certificates, ticket, TMD (title metadata: each
// content's ID, index, type, size and SHA-256), the contents in TMD order
// and an optional meta block, each on a 64-byte boundary. Content 0 is
// normally the program's NCCH; a DSiWare title's is a DS ROM instead.
#pragma once

#include <memory>

#include "container.h"
#include "region.h"

namespace uncairn {

// The header size 0x2020 at 0, then the type 0.
bool IsCia(const uint8_t* head, size_t size);
// Reads the header, the TMD and the chosen content's NCCH (content 0, or
// the first by index that is an NCCH, unless choice says otherwise). Null
// after a report.
std::unique_ptr<Container> OpenCia(const InputFile& file, const Choice& choice);

}  // namespace uncairn
