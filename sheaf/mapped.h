// Copying a file into an archive being written through a mapping of the
// file, in windows of a few MiB: one copy, and each page of the archive
// written once. The kernel's own copy between files writes each page twice
// when the bytes land within a page elsewhere than where they lie (a file
// on a 0x200 boundary of a ROM, say), and costs a third more then. (Not so
// the other way: extracting such a file, the kernel's copy is the quicker.)
#pragma once

#include <cstdint>

namespace sheaf {

// Whether size bytes at offset of a file are worth copying through a
// mapping to where written lies in the other (both counted from the start
// of their file).
bool WorthMapping(uint64_t offset, uint64_t written, uint64_t size);

// 0 when all size bytes at offset of in_fd are written to out_fd; -1 when
// nothing could be mapped (the caller copies another way); else the errno
// of the failed write, EFAULT when in_fd is shorter than it was.
int WriteMapped(int in_fd, uint64_t offset, uint64_t size, int out_fd);

}  // namespace sheaf
