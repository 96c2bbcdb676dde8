// Text, path and size helpers of the image builder.
//
// Host paths and entry names are NUL-terminated 8-bit text, passed through
// unchanged. RomFS names are UTF-16: 16-bit units in host byte order, ended by
// a 0 unit. Every function that returns text returns a new zero-filled heap
// block owned by the caller, who releases it with free().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Number of 16-bit units before the first 0 unit.
uint32_t utf16_strlen(const char16_t* str);

// Copies of text; null when the argument is null or memory runs out.
char* strcopy_8to8(const char* src);
char16_t* strcopy_16to16(const char16_t* src);
// Widens every byte to one unit (bytes above 0x7F become U+0080..U+00FF).
char16_t* strcopy_8to16(const char* src);

// Converts NUL-terminated UTF-8 text to UTF-16. Every byte that cannot start
// or complete a valid character becomes one U+FFFD unit; characters above
// U+FFFF become a surrogate pair. Null only when memory runs out.
char16_t* strcopy_UTF8toUTF16(const char* src);

// True when the whole text is valid UTF-8 in the sense of strcopy_UTF8toUTF16
// (every byte decodes as part of a character, no U+FFFD is substituted).
bool utf8_is_valid(const char* src);

// Converts count UTF-16 units to UTF-8. A unit 0 is kept as a NUL byte; a
// surrogate that is not part of a pair becomes U+FFFD.
std::string utf16_to_utf8(const char16_t* units, size_t count);

// "<dir>/<name>"; null only when memory runs out.
char* os_AppendToPath(const char* dir, const char* name);

// Size from the host's file status (links followed); 0 when it cannot be read.
uint64_t os_fsize(const char* path);
// 0 when the file status can be read, -1 otherwise.
int os_fstat(const char* path);
// Creates a directory with mode 0777 (before the umask): 0 or -1.
int os_makedir(const char* path);

// The smallest multiple of alignment that is not below value; value itself
// for alignment 0.
uint64_t align(uint64_t value, uint64_t alignment);
