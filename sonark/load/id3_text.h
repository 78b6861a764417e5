#pragma once

#include <sonark/visibility.h>

#include <cstddef>
#include <string>

// Text conversions between the engine's strings (UTF-8) and what tags store: ISO-8859-1 in
// ID3v1 tags and ID3v2 frames of encoding 0, UTF-16 in ID3v2 frames of encodings 1 and 2.
namespace sonark::text {

// The longest prefix of `text` that takes at most `maxBytes` bytes and ends at a character
// boundary (a multi-byte sequence is never split).
SONARK_API size_t Utf8Prefix(const char* text, size_t length, size_t maxBytes);
// Copies `text` into `out` (`size` bytes with the terminator), cut at a character boundary.
SONARK_API void CopyUtf8(char* out, size_t size, const char* text);

// Valid UTF-8 from bytes that should be UTF-8: each byte that does not belong to a well-formed
// sequence becomes U+FFFD, so no malformed text enters the engine.
SONARK_API std::string SanitizeUtf8(const char* bytes, size_t length);
// ISO-8859-1 bytes as UTF-8.
SONARK_API std::string Latin1ToUtf8(const char* bytes, size_t length);
// UTF-16 code units (little- or big-endian, no byte-order mark) as UTF-8; a byte-order mark
// inside the text is dropped and an unpaired surrogate becomes U+FFFD.
SONARK_API std::string Utf16ToUtf8(const unsigned char* bytes, size_t length, bool bigEndian);

// True when every character of the UTF-8 `text` exists in ISO-8859-1.
SONARK_API bool FitsLatin1(const std::string& text);
// The UTF-8 `text` in ISO-8859-1; characters outside it become '?'.
SONARK_API std::string Utf8ToLatin1(const std::string& text);
// The UTF-8 `text` as UTF-16 little-endian bytes, without a byte-order mark.
SONARK_API std::string Utf8ToUtf16Le(const std::string& text);

}  // namespace sonark::text
