#pragma once

#include <sonark/visibility.h>

// The side-file directory, where peak files, seek maps and similar caches of sound files
// are kept, and the mapping of a sound file's path to its side file's path.
//
// Without a side-file directory a side file lies next to its sound file. With one, the sound's
// absolute path is rebuilt below it: /music/a.wav with the directory /tmp/cache/ maps to
// /tmp/cache/music/a.wav. Results never are cut short: a path that does not fit is an error.

// The longest side-file directory kept, its trailing '/' included.
constexpr long kTempSndPathLength = 1039;

// Null or "" clears the directory. Otherwise the path (made absolute against the working
// directory when relative) is kept with a '/' appended when missing. A directory longer than
// kTempSndPathLength is refused: the old one stays and the last error is kErrSidePathTooLong.
SONARK_API void SetTempSndPath(const char* path);
// Copies the directory ("" when none) into `out`, which holds `size` bytes. When it does not
// fit, `out` is emptied and the last error is kErrSidePathTooLong.
SONARK_API void GetTempSndPath(char* out, long size);
// 1 when a side-file directory is set.
SONARK_API int TempSndPathExists();
// Turns side files off (non-zero) or on again: while off, no side-file path is handed out
// (MakeTempPath1 and MakeTempPath2 fail with kErrSideFilesOff), so peaks are built in memory
// only and seek maps are not kept. For callers that have no folder fit for caches and must
// not write beside the user's sounds. Off at start.
SONARK_API void SetSideFilesOff(int off);
SONARK_API int SideFilesOff();

// MakeTempPath2 of `path` followed by `suffix` (".ipk", ".isk", ...).
SONARK_API int MakeTempPath1(const char* path, const char* suffix, char* out, long maxLength,
                             int create);
// The side-file path of the sound file `path`, into `out`, which holds `maxLength` bytes with
// the terminator. Below the side-file directory, the path's components are kept without "."
// and ".." steps (so no side file lands outside the directory or on the sound itself), and the
// characters : * ? < > | and % are written as %XX so that they are safe on every file system
// while different sounds still get different side files. With `create`, every directory
// level of the result is created. Returns 1; 0 with `out` empty when the result does not fit
// (kErrSidePathTooLong), `path` is empty or names no file (kErrSidePathInvalid) or side files
// are off (kErrSideFilesOff).
SONARK_API int MakeTempPath2(const char* path, char* out, long maxLength, int create);

namespace sonark::internal {
// Start-up state: no side-file directory, side files on.
void ResetTempSndPath();
}  // namespace sonark::internal
