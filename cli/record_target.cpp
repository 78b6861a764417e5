#include <cli/disk_room.h>
#include <cli/record_target.h>
#include <session/safe_replace.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Makes `folder` and the levels above it that are missing, as a user's own folders are made.
bool MakeFolders(const std::string& folder, std::string* reason) {
  std::string part;
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    part = folder.substr(0, slash);
    if (!part.empty() && mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      *reason = "cannot make the folder " + part + ": " + std::strerror(errno);
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

std::string Refuse(std::string* reason, std::string text) {
  *reason = std::move(text);
  return {};
}

// The file a recording at `out` writes (a link followed), or "" with `reason` set when that
// may not be recorded over.
std::string CheckExisting(const std::string& out, bool overwrite, std::string* reason) {
  struct stat link_info {};
  if (lstat(out.c_str(), &link_info) != 0) {
    if (errno == ENOENT) return out;
    return Refuse(reason, std::strerror(errno));
  }
  struct stat info = link_info;
  const bool link = S_ISLNK(link_info.st_mode);
  if (link && stat(out.c_str(), &info) != 0)
    return Refuse(reason, "is a link to a file that does not exist");
  const char* what = link ? "is a link to " : "is ";
  if (S_ISDIR(info.st_mode)) return Refuse(reason, std::string(what) + "a folder");
  // Recording into a device or a FIFO would never give a wave file with its sizes filled in.
  if (!S_ISREG(info.st_mode))
    return Refuse(reason, std::string(what) + "a device or FIFO, not a file");
  if (!overwrite) return Refuse(reason, "exists; --overwrite records over it");
  if (access(out.c_str(), W_OK) != 0) return Refuse(reason, "is read-only");
  char resolved[PATH_MAX];
  return realpath(out.c_str(), resolved) != nullptr ? std::string(resolved) : out;
}

}  // namespace


bool PrepareRecordTarget(const std::string& out, bool overwrite, double expectedBytes,
                         std::string* absolute, std::string* reason) {
  if (out.empty() || out.back() == '/') {
    *reason = "names a folder, not a file";
    return false;
  }
  const std::string file = CheckExisting(out, overwrite, reason);
  if (file.empty()) return false;
  if (expectedBytes >= 0 && expectedBytes + kFileOverheadBytes > kWaveFileLimitBytes) {
    *reason = "the recording would take " + SizeText(expectedBytes) +
              ", more than a wave file can hold (4 GB); record fewer seconds or a smaller format";
    return false;
  }
  // A recording finds its folder: one that is missing is made now, so that the checks below
  // look at the disk it will be on.
  const std::string folder = FolderOf(file);
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) {
    if (errno != ENOENT || !MakeFolders(folder, reason)) {
      if (reason->empty()) *reason = folder + ": " + std::strerror(errno);
      return false;
    }
  } else if (!S_ISDIR(info.st_mode)) {
    *reason = folder + " is not a folder";
    return false;
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    *reason = "the folder " + folder + " is read-only (" + std::strerror(errno) + ")";
    return false;
  }
  if (expectedBytes >= 0) {
    double free_bytes = FreeBytes(folder);
    if (free_bytes >= 0) {
      // The file recorded over gives its room back.
      struct stat old {};
      if (stat(file.c_str(), &old) == 0) free_bytes += static_cast<double>(old.st_size);
      if (expectedBytes + kFileOverheadBytes > free_bytes) {
        *reason = "the recording needs " + SizeText(expectedBytes + kFileOverheadBytes) +
                  " but the disk has " + SizeText(free_bytes) + " free";
        return false;
      }
    }
  }
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr) {
    *reason = folder + ": " + std::strerror(errno);
    return false;
  }
  const size_t slash = file.rfind('/');
  *absolute = std::string(resolved).append("/").append(
      slash == std::string::npos ? file : file.substr(slash + 1));
  return true;
}
