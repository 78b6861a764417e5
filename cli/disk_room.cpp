#include <cli/disk_room.h>
#include <sys/statvfs.h>

#include <cstdio>

std::string SizeText(double bytes) {
  char text[32];
  if (bytes < 10e6) {
    snprintf(text, sizeof text, "%.0f KB", bytes / 1e3);
  } else {
    snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  }
  return text;
}

double FreeBytes(const std::string& folder) {
  struct statvfs disk {};
  if (statvfs(folder.c_str(), &disk) != 0) return -1.0;
  return static_cast<double>(disk.f_bavail) * static_cast<double>(disk.f_frsize);
}
