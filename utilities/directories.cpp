#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utilities/directories.h>

#include <cerrno>
#include <cstring>
#include <string>

int GetExeDirectory(char* out, int size) {
  if (out == nullptr || size <= 0) return 0;
  out[0] = '\0';
  std::string exe(256, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size());
    if (n < 0) return 0;
    if (static_cast<size_t>(n) < exe.size()) {
      exe.resize(static_cast<size_t>(n));
      break;
    }
    exe.resize(exe.size() * 2);  // may have been cut: try again with more room
  }
  size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return 0;
  size_t length = slash + 1;
  if (length > static_cast<size_t>(size) - 1) return 0;
  memcpy(out, exe.data(), length);
  out[length] = '\0';
  return 1;
}

int IsValidDirectory(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;
  DIR* dir = opendir(path);
  if (dir == nullptr) return 0;
  closedir(dir);
  return 1;
}

int CreateMultiLevelDir(const char* path) {
  if (path == nullptr || path[0] != '/') return 0;
  std::string level;
  for (const char* p = path; *p != '\0'; ++p) {
    level += *p;
    if (*p != '/' || IsValidDirectory(level.c_str())) continue;
    if (mkdir(level.c_str(), 0777) == 0) continue;
    // Another process may have made it meanwhile, or it exists but cannot be listed; either
    // way the deeper levels can still be made beneath it.
    struct stat st {};
    if (errno == EEXIST && stat(level.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    return 0;
  }
  return 1;
}

int HasSubDir(const char* directory, char* name) {
  if (directory == nullptr || directory[0] == '\0') return 0;
  DIR* dir = opendir(directory);
  if (dir == nullptr) return 0;
  std::string base = directory;
  if (base.back() != '/') base += '/';
  std::string first;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    bool is_dir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      struct stat st {};
      is_dir = stat((base + entry->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    if (is_dir && (first.empty() || strcmp(entry->d_name, first.c_str()) < 0))
      first = entry->d_name;
  }
  closedir(dir);
  if (first.empty()) return 0;
  if (name != nullptr) {
    size_t n = first.size() < kSubDirNameSize - 1 ? first.size() : kSubDirNameSize - 1;
    memcpy(name, first.data(), n);
    name[n] = '\0';
  }
  return 1;
}
