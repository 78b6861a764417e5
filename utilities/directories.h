#pragma once

#include <utilities/visibility.h>

// Directory helpers on native POSIX paths ('/' separated).

// Room HasSubDir needs for a name: a directory entry's name never exceeds NAME_MAX (255).
constexpr int kSubDirNameSize = 256;

// The directory of the running executable with a trailing '/'. Returns 1, or 0 (with `out`
// emptied when size > 0) when it cannot be found or does not fit in size - 1 characters:
// a cut path would name some other directory.
UTILITIES_API int GetExeDirectory(char* out, int size);

// 1 when `path` (a trailing '/' makes no difference) is a directory whose entries can be
// listed.
UTILITIES_API int IsValidDirectory(const char* path);

// Creates every missing level of an absolute path, from the left. Only levels followed by a
// '/' are created, so "/a/b/c" creates /a and /a/b but not c; "/a/b/c/" creates c too.
// Returns 1 when every level exists afterwards; 0 for a relative path or when a level cannot
// be created (the walk stops there).
UTILITIES_API int CreateMultiLevelDir(const char* path);

// Copies into `name` (kSubDirNameSize bytes) the name of the first sub-directory of
// `directory` whose name does not begin with a dot, first in byte order so the answer does not
// depend on the order the file system lists entries in. Returns 0 when there is none.
UTILITIES_API int HasSubDir(const char* directory, char* name);
