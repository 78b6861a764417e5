#pragma once

#include <tarnell/visibility.h>

#include <climits>

// Path helpers. Paths in memory are native ('/'-separated); output buffers hold PATH_MAX
// bytes, and a result that would not fit is a failure, never cut short.
//
// Sessions store a sound that lies near the session file in a relative form that begins with
// a backslash and separates with backslashes ("\..\music\a.wav", "\a.wav"), so that it can
// never be taken for a native absolute path. AbsoluteToRelative makes that form and
// RelativeToAbsolute reads it back into a native path.
//
// A "drive" is a file system: two paths are on the same drive when both are absolute and
// their nearest existing ancestors have the same device.

constexpr unsigned long kPathBufferSize = PATH_MAX;

// 1 when `path` does not start with '/'.
TARNELL_API int IsRelativePath(const char* path);
// 1 when both paths are absolute and on the same file system.
TARNELL_API int HasSameDrive(const char* a, const char* b);

// `out` = the text after the last '/'; 0 (and `out` untouched) when there is no '/'.
TARNELL_API int ExtractFileName(const char* path, char* out);
// `out` = the path up to and including its last '/'; 0 when there is none.
TARNELL_API int ExtractDirectory(const char* path, char* out);
// Cuts the path after the last '.' of its file name, keeping the dot ("a.b.wav" becomes
// "a.b."); 0 when the name has no '.' after its first character.
TARNELL_API int RemoveExtensionFromFile(char* path);
// 1 when the text after the last '.' of the file name equals `ext` without regard to case.
TARNELL_API int HasFileExtension(const char* path, const char* ext);

// `out` = the part of `path` before its first '/', followed by `rest`; 0 (with `out` empty)
// when `path` has no '/'.
TARNELL_API int AddDriveLetter(const char* path, const char* rest, char* out);
// `out` = `path` from its first '/' on; 0 when there is none.
TARNELL_API int StripDriveLetter(const char* path, char* out);

// `basePath` is a file (the session file); its folder is the reference. Both paths must be
// absolute and on the same file system, else 0 with `out` empty.
TARNELL_API int AbsoluteToRelative(const char* basePath, const char* path, char* out);
// Reads the relative form (backslashes or slashes; the leading separator may be missing) and
// writes the native path; 0 with `out` empty when nothing but ".." steps is given.
TARNELL_API int RelativeToAbsolute(const char* basePath, const char* relPath, char* out);
