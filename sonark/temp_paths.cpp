#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/temp_paths.h>
#include <unistd.h>
#include <utilities/directories.h>

#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Set by the program's thread, read by loads on the background thread. Trivially
// destructible, so the state stays usable while the library unloads.
std::mutex g_temp_lock;
char g_temp_path[kTempSndPathLength + 1] = {};
bool g_side_files_off = false;

std::string CurrentTempSndPath() {
  std::lock_guard<std::mutex> guard(g_temp_lock);
  return g_temp_path;
}

// Characters that some file systems refuse in names. '%' is escaped too, so that the mapping
// stays one to one.
bool NeedsEscape(char c) { return std::strchr(":*?<>|%", c) != nullptr && c != '\0'; }

void AppendEscaped(std::string& out, std::string_view component) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : component) {
    if (NeedsEscape(c)) {
      out += '%';
      out += kHex[static_cast<unsigned char>(c) >> 4];
      out += kHex[static_cast<unsigned char>(c) & 15];
    } else {
      out += c;
    }
  }
}

// The sound's path as components below the side-file directory. "." steps go; ".." steps
// take back the component before them and are dropped where there is none, so the result
// never climbs out of the directory. False when no file name remains.
bool SidePathBelow(std::string_view path, std::string& out) {
  std::vector<std::string_view> components;
  while (!path.empty()) {
    size_t slash = path.find('/');
    std::string_view step = path.substr(0, slash);
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    if (step.empty() || step == ".") continue;
    if (step == "..") {
      if (!components.empty()) components.pop_back();
      continue;
    }
    components.push_back(step);
  }
  if (components.empty()) return false;
  for (size_t i = 0; i < components.size(); ++i) {
    if (i > 0) out += '/';
    AppendEscaped(out, components[i]);
  }
  return true;
}

int Fail(char* out, uint32_t code) {
  out[0] = '\0';
  platform::set_last_error(code);
  return 0;
}

}  // namespace

void SetTempSndPath(const char* path) {
  std::string stored;
  if (path != nullptr && path[0] != '\0') {
    if (path[0] != '/') {
      char cwd[PATH_MAX];
      if (getcwd(cwd, sizeof cwd) != nullptr) stored = std::string(cwd) + '/';
    }
    stored += path;
    if (stored.back() != '/') stored += '/';
    if (stored.size() > static_cast<size_t>(kTempSndPathLength)) {
      platform::set_last_error(sonark::kErrSidePathTooLong);
      return;
    }
  }
  std::lock_guard<std::mutex> guard(g_temp_lock);
  std::memcpy(g_temp_path, stored.c_str(), stored.size() + 1);
}

void GetTempSndPath(char* out, long size) {
  if (out == nullptr || size <= 0) return;
  std::lock_guard<std::mutex> guard(g_temp_lock);
  size_t length = std::strlen(g_temp_path);
  if (length >= static_cast<size_t>(size)) {
    out[0] = '\0';
    platform::set_last_error(sonark::kErrSidePathTooLong);
    return;
  }
  std::memcpy(out, g_temp_path, length + 1);
}

int TempSndPathExists() {
  std::lock_guard<std::mutex> guard(g_temp_lock);
  return g_temp_path[0] != '\0' ? 1 : 0;
}

void SetSideFilesOff(int off) {
  std::lock_guard<std::mutex> guard(g_temp_lock);
  g_side_files_off = off != 0;
}

int SideFilesOff() {
  std::lock_guard<std::mutex> guard(g_temp_lock);
  return g_side_files_off ? 1 : 0;
}

int MakeTempPath1(const char* path, const char* suffix, char* out, long maxLength, int create) {
  if (out == nullptr || maxLength <= 0) {
    platform::set_last_error(sonark::kErrSidePathInvalid);
    return 0;
  }
  if (path == nullptr) return Fail(out, sonark::kErrSidePathInvalid);
  std::string joined = path;
  if (suffix != nullptr) joined += suffix;
  return MakeTempPath2(joined.c_str(), out, maxLength, create);
}

int MakeTempPath2(const char* path, char* out, long maxLength, int create) {
  if (out == nullptr || maxLength <= 0) {
    platform::set_last_error(sonark::kErrSidePathInvalid);
    return 0;
  }
  if (path == nullptr || path[0] == '\0') return Fail(out, sonark::kErrSidePathInvalid);
  if (SideFilesOff()) return Fail(out, sonark::kErrSideFilesOff);
  std::string directory = CurrentTempSndPath();
  std::string result;
  if (directory.empty()) {
    result = path;
  } else {
    result = directory;
    if (!SidePathBelow(path, result)) return Fail(out, sonark::kErrSidePathInvalid);
  }
  if (result.size() >= static_cast<size_t>(maxLength)) {
    return Fail(out, sonark::kErrSidePathTooLong);
  }
  std::memcpy(out, result.c_str(), result.size() + 1);
  // Creates every level followed by a '/', the side-file directory included; a level that
  // cannot be made shows when the side file is written.
  if (create && !directory.empty()) CreateMultiLevelDir(out);
  return 1;
}

namespace sonark::internal {

void ResetTempSndPath() {
  std::lock_guard<std::mutex> guard(g_temp_lock);
  g_temp_path[0] = '\0';
  g_side_files_off = false;
}

}  // namespace sonark::internal
