#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/file_dates.h>
#include <sys/stat.h>
#include <tarnell/log.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

int GetLastModifiedDate(const char* path, _FILETIME& time) {
  struct stat st {};
  if (path == nullptr || ::stat(path, &st) != 0) {
    // The system's reason goes to the log; callers get the engine's own code.
    if (path != nullptr) {
      const std::string line = std::string("file date: ") + path + ": " + std::strerror(errno);
      Log(line.c_str());
    }
    platform::set_last_error(sonark::kErrSoundFileMissing);
    return 0;
  }
  time = utilities::file_time_from_timespec(st.st_mtim);
  return 1;
}

int IsRightFileOlder(const char* left, const char* right) {
  _FILETIME leftTime{}, rightTime{};
  if (!GetLastModifiedDate(left, leftTime) || !GetLastModifiedDate(right, rightTime)) return 0;
  // Whole milliseconds, as a calendar comparison down to the millisecond would see them.
  constexpr uint64_t kTicksPerMillisecond = 10000;
  return utilities::file_time_value(leftTime) / kTicksPerMillisecond >
                 utilities::file_time_value(rightTime) / kTicksPerMillisecond
             ? 1
             : 0;
}
