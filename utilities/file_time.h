#pragma once

#include <time.h>

#include <cstdint>

// A point in time as 100-nanosecond steps since 1601-01-01 UTC, split in two 32-bit halves:
// the form in which recently used directories keep their times, so stored lists read the
// same everywhere.
struct _FILETIME {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
};
typedef _FILETIME FILETIME;

namespace utilities {

// Seconds from 1601-01-01 to the Unix epoch.
constexpr int64_t kFileTimeEpochOffsetSeconds = 11644473600;

inline uint64_t file_time_value(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

inline FILETIME file_time_from_value(uint64_t value) {
  return FILETIME{static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32)};
}

inline FILETIME file_time_from_timespec(const timespec& ts) {
  int64_t seconds = static_cast<int64_t>(ts.tv_sec) + kFileTimeEpochOffsetSeconds;
  return file_time_from_value(static_cast<uint64_t>(seconds) * 10000000u +
                              static_cast<uint64_t>(ts.tv_nsec) / 100u);
}

// The current system time.
inline FILETIME current_file_time() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return file_time_from_timespec(now);
}

}  // namespace utilities
