#include <fcntl.h>
#include <quarl/shell/startup_file.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

bool EndsWithNoCase(const std::string& text, const char* tail) {
  const size_t length = strlen(tail);
  return text.size() >= length && strcasecmp(text.c_str() + text.size() - length, tail) == 0;
}

}  // namespace

StartFileKind ClassifyStartFile(const std::string& path) {
  struct stat info {};
  // A folder, a pipe or a device is no document (and a pipe would block the start-up).
  if (path.empty() || stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    return StartFileKind::kNothing;
  // Only the RIFF header is read: "RIFF", the size, the form type.
  char header[12] = {};
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ssize_t got = 0;
  if (fd >= 0) {
    got = read(fd, header, sizeof header);
    close(fd);
  }
  if (got == static_cast<ssize_t>(sizeof header) && memcmp(header, "RIFF", 4) == 0) {
    if (memcmp(header + 8, "sess", 4) == 0) return StartFileKind::kSession;
    // Wave files, and MPEG audio wrapped in a RIFF "RMP3" form.
    if (memcmp(header + 8, "WAVE", 4) == 0 || memcmp(header + 8, "RMP3", 4) == 0)
      return StartFileKind::kSound;
    return StartFileKind::kNothing;
  }
  // An existing file that cannot be read goes to the sound loader, which says why.
  if (EndsWithNoCase(path, "m3u") || EndsWithNoCase(path, "pls") || EndsWithNoCase(path, "pl"))
    return StartFileKind::kPlaylist;
  return StartFileKind::kSound;
}
