#pragma once

#include <utilities/visibility.h>

// Small text helpers of the user interface: lengths of time, file sizes, case, and turning
// plain text with addresses into HTML with links.

// Room that MakeLengthString needs for any length, the sign of a negative one included.
constexpr int kLengthStringSize = 32;

// Formats a length of time in milliseconds as "hh:mm:ss:ttt", "hh:mm:ss", "mm:ss:ttt" or
// "mm:ss". Hours are left out when they are 0 or `without_hours` is set (they are dropped, not
// folded into the minutes). A negative length has a "-" before the same form ("-00:01:500").
// `out` must hold kLengthStringSize bytes.
UTILITIES_API void MakeLengthString(long milliseconds, char* out, int with_milliseconds,
                                    int without_hours);

// "999 Bytes", "1 KB" ... "999 KB", then "1.00 MB": units are powers of 1000. At most
// size - 1 characters and a terminator are written.
UTILITIES_API void MakeFileSizeString(long bytes, char* out, int size);

// Upper-cases `text` in place (plain ASCII letters; other bytes are kept).
UTILITIES_API void MakeUpperCase(char* text);

// The first occurrence of `ch` in `text` (the terminator counts, as with strchr), its index
// stored in `position`; null and -1 when there is none.
UTILITIES_API char* StrChrPos(char* text, char ch, int* position);
UTILITIES_API const char* StrChrPos(const char* text, char ch, int* position);

// Turns the first `length` bytes of `text` (or up to a NUL) into HTML in which e-mail and web
// addresses are links; tags already in the text are copied through, and words inside an
// existing link are left alone. At most out_length - 1 characters and a terminator are
// written; the output is cut only between whole pieces, never inside a tag or a link.
// Returns 1 when everything fitted, 0 when the output was cut or the arguments are unusable.
UTILITIES_API int ParseForHTML(const char* text, int length, char* out, int out_length);
