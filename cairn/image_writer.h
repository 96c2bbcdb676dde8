// Builds the image of a host folder and writes it to the output file: the
// IVFC header block, the level-3 image (its last block zero-padded to 4096
// bytes), hash level 0, hash level 1.
//
// The image is written to a temporary file next to the output and renamed
// over it only once every byte has been written, so a failed or interrupted
// run never leaves a partial image behind nor destroys an existing one.
// Outputs that are not regular files (a device such as /dev/full, a pipe) are
// written directly.
#pragma once

// Returns 0 when the image of the whole tree has been written, 1 otherwise
// (the message has been printed): also when folders that could not be read
// were left out and the image of the rest was written. May throw
// std::bad_alloc.
int CreateImageFile(const char* dir, const char* out_path);
