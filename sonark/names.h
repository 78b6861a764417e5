#pragma once

#include <sonark/visibility.h>

// Names the engine gives: the file name shown for a sound, and names for new atoms.

// `out` = the text after the last '/' or '\' of `path` (a stored Windows path still shows its
// file name); left untouched when `path` has no separator or nothing follows the last one.
// `out` must hold as many bytes as `path`.
SONARK_API void GetFileName(const char* path, char* out);

// The text new names begin with; null counts as "". Kept up to kNamePrefixLength bytes
// (cut at a character boundary).
constexpr long kNamePrefixLength = 255;
SONARK_API void SetNewNamePrefix(const char* prefix);

// `out` = the prefix followed by the name counter in decimal ("Group1", "Group2", ...); the
// counter then goes up. `size` is the capacity of `out`; a size of 0 or less means the
// 512-byte name field of an atom, which every generated name fits.
SONARK_API void GenerateUniqueName(char* out, long size);

namespace sonark::internal {
// Start-up state: no prefix, counter 1.
void ResetNames();
}  // namespace sonark::internal
