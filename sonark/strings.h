#pragma once

#include <sonark/visibility.h>

#include <cstddef>
#include <initializer_list>

// Copies the engine's text for `key` from "sonark-strings.ini" beside libsonark.so (or beside
// the executable) into `out`: at most size - 1 characters and a terminator. An absent file or
// key gives the key itself. Returns non-zero when the text placed in `out` is not empty.
SONARK_API int SonarkLoadString(const char* key, char* out, long size);

namespace sonark {

// One value for FormatFromPattern: a text (for %s) or a number (for %d, %i, %u, %x, %X).
struct SONARK_API PatternArg {
  PatternArg(const char* t) : text(t ? t : ""), is_text(true) {}
  PatternArg(long n) : number(n) {}
  PatternArg(int n) : number(n) {}
  const char* text = nullptr;
  long number = 0;
  bool is_text = false;
};

// printf-style formatting of a pattern that comes from a strings file, where a translator may
// have written anything: each conversion takes the next value, and one whose letter does not
// suit that value (or has none left) is copied as written instead of being trusted. Flags,
// width and precision are honoured. Writes at most size - 1 characters and a terminator;
// returns the characters written.
SONARK_API size_t FormatFromPattern(char* out, size_t size, const char* pattern,
                                    std::initializer_list<PatternArg> args);

}  // namespace sonark
