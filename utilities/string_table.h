#pragma once

#include <utilities/visibility.h>

// Texts the user sees are looked up by key in section "Strings" of an INI file beside the
// executable, so they can be changed without rebuilding. A missing file or key never fails:
// the key itself stands in for the text, and the program still runs with keys as labels.

// Makes `path` the strings file that lookups without an explicit file use. The path is copied.
// Null or "" clears it.
UTILITIES_API void SetStringFile(const char* path);

// Copies the text of `key` in section "Strings" of `file` (the default strings file when
// null) into `out`: at most size - 1 characters and a terminator. An absent key gives the key
// itself. Returns 1 when the text placed in `out` is not empty, else 0.
UTILITIES_API int MyLoadString(const char* key, char* out, int size, const char* file = nullptr);

// Copies `source` into `destination`, turning each two-character escape "\r" or "\n" into one
// carriage return (13); every other character, a lone trailing backslash included, is copied
// as it is. At most size - 1 characters are written and the destination is always terminated
// (when size > 0). Source and destination may be the same buffer. Returns 1 when the whole
// text fitted, 0 when it was cut or the arguments are unusable.
UTILITIES_API int ParseCarriageReturns(const char* source, char* destination, int size);
