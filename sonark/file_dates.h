#pragma once

#include <sonark/visibility.h>
#include <utilities/file_time.h>

// File dates for the validity of side files: a side file older than its sound is rebuilt.

// `time` = the last-write time of `path` (from stat, to 100 ns); 0 when it cannot be read.
SONARK_API int GetLastModifiedDate(const char* path, _FILETIME& time);

// 1 when `left` was written later than `right`, to the millisecond; 0 when it was not, or
// when either time cannot be read.
SONARK_API int IsRightFileOlder(const char* left, const char* right);
