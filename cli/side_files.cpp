#include <cli/side_files.h>
#include <pwd.h>
#include <sonark/temp_paths.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Makes `folder` and the levels above it that are missing, each private to the user.
bool MakeFolders(const std::string& folder) {
  for (size_t slash = folder.find('/', 1); slash != std::string::npos;
       slash = folder.find('/', slash + 1)) {
    if (mkdir(folder.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

std::string SideFileCacheFolder() {
  // XDG: a relative value is to be ignored.
  const char* cache = getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/tessel";
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    const passwd* user = getpwuid(getuid());
    home = user != nullptr ? user->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] != '/') return "";
  return std::string(home) + "/.cache/tessel";
}

bool UseSideFileCache(std::string* warning) {
  const std::string folder = SideFileCacheFolder();
  std::string reason;
  struct stat info {};
  if (folder.empty()) {
    reason = "no home folder to keep a cache in";
  } else if (!MakeFolders(folder) || lstat(folder.c_str(), &info) != 0) {
    reason = folder + ": " + std::strerror(errno);
  } else if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
    // Another user's folder (or a link planted there) is never written into.
    reason = folder + ": not a folder of this user's own";
  } else if (access(folder.c_str(), W_OK | X_OK) != 0) {
    reason = folder + ": " + std::strerror(errno);
  } else {
    SetTempSndPath(folder.c_str());
    SetSideFilesOff(0);
    return true;
  }
  SetSideFilesOff(1);
  if (warning != nullptr) *warning = reason + "; peaks are built in memory and not kept";
  return false;
}
