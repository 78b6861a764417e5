#include <strings.h>
#include <sys/stat.h>
#include <tarnell/paths.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

bool CopyOut(std::string_view text, char* out) {
  if (text.size() >= kPathBufferSize) return false;
  memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return true;
}

// A session named on a command line may be given relative to the working folder.
std::string Absolute(const char* path) {
  if (path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) return {};
  return std::string(cwd) + '/' + path;
}

// Collapses "//", "/./" and "x/../" without asking the disk, as the stored relative form is
// resolved the same way.
std::string Normal(const std::string& path) {
  return std::filesystem::path(path).lexically_normal().string();
}

// The folder of a file path, with its trailing '/'.
std::string FolderOf(const std::string& file) { return file.substr(0, file.rfind('/') + 1); }

// The device of the nearest existing ancestor of an absolute path.
bool DeviceOf(std::string path, dev_t* device) {
  while (true) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
      *device = st.st_dev;
      return true;
    }
    if (path == "/") return false;
    size_t slash = path.find_last_of('/');
    path.resize(slash == 0 ? 1 : slash);
  }
}

// Where the file name of `path` starts.
size_t NameStart(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? 0 : slash + 1;
}

// The last '.' of the file name that is not its first character, or npos. A leading dot makes
// a hidden file, not an extension, and dots in folder names are no extensions either.
size_t ExtensionDot(std::string_view path) {
  size_t start = NameStart(path);
  size_t dot = path.rfind('.');
  return dot != std::string_view::npos && dot > start ? dot : std::string_view::npos;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

int IsRelativePath(const char* path) { return path && path[0] != '/' ? 1 : 0; }

int HasSameDrive(const char* a, const char* b) {
  if (!a || !b || a[0] != '/' || b[0] != '/') return 0;
  dev_t da, db;
  return DeviceOf(a, &da) && DeviceOf(b, &db) && da == db ? 1 : 0;
}

int ExtractFileName(const char* path, char* out) {
  if (!path || !out) return 0;
  const char* slash = strrchr(path, '/');
  if (!slash) return 0;
  return CopyOut(slash + 1, out) ? 1 : 0;
}

int ExtractDirectory(const char* path, char* out) {
  if (!path || !out) return 0;
  const char* slash = strrchr(path, '/');
  if (!slash) return 0;
  return CopyOut(std::string_view(path, slash - path + 1), out) ? 1 : 0;
}

int RemoveExtensionFromFile(char* path) {
  if (!path) return 0;
  size_t dot = ExtensionDot(path);
  if (dot == std::string_view::npos) return 0;
  path[dot + 1] = '\0';
  return 1;
}

int HasFileExtension(const char* path, const char* ext) {
  if (!path || !ext) return 0;
  size_t dot = ExtensionDot(path);
  return dot != std::string_view::npos && strcasecmp(path + dot + 1, ext) == 0 ? 1 : 0;
}

int AddDriveLetter(const char* path, const char* rest, char* out) {
  if (!out) return 0;
  out[0] = '\0';
  if (!path || !rest) return 0;
  const char* slash = strchr(path, '/');
  if (!slash) return 0;
  std::string joined(path, slash - path);
  joined += rest;
  return CopyOut(joined, out) ? 1 : 0;
}

int StripDriveLetter(const char* path, char* out) {
  if (!path || !out) return 0;
  const char* slash = strchr(path, '/');
  if (!slash) return 0;
  return CopyOut(slash, out) ? 1 : 0;
}

int AbsoluteToRelative(const char* basePath, const char* path, char* out) {
  if (!out) return 0;
  out[0] = '\0';
  if (!basePath || !path || !*basePath || path[0] != '/') return 0;
  std::string base = Absolute(basePath);
  if (base.empty() || !HasSameDrive(base.c_str(), path)) return 0;
  std::string dir = Normal(FolderOf(base));
  std::string target = Normal(path);

  // The last separator inside the common prefix stands at the same place in both.
  size_t common = 0;
  while (common < dir.size() && common < target.size() && dir[common] == target[common]) {
    ++common;
  }
  size_t separator = dir.rfind('/', common - 1);
  std::string relative;
  for (size_t i = separator + 1; i < dir.size(); ++i) {
    if (dir[i] == '/') relative += "\\..";
  }
  for (size_t i = separator; i < target.size(); ++i) {
    relative += target[i] == '/' ? '\\' : target[i];
  }
  return CopyOut(relative, out) ? 1 : 0;
}

int RelativeToAbsolute(const char* basePath, const char* relPath, char* out) {
  if (!out) return 0;
  out[0] = '\0';
  if (!basePath || !relPath || !*basePath) return 0;
  std::string base = Absolute(basePath);
  if (base.empty()) return 0;
  std::string dir = Normal(FolderOf(base));

  // Count the ".." steps at the front; "." steps and doubled separators go too. A name that
  // merely begins with dots (".cache") ends the run.
  std::string_view rest(relPath);
  if (!rest.empty() && IsSeparator(rest.front())) rest.remove_prefix(1);
  size_t levels = 0;
  while (!rest.empty()) {
    size_t end = 0;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    std::string_view step = rest.substr(0, end);
    if (step == "..") {
      ++levels;
    } else if (step != "." && !step.empty()) {
      break;
    }
    rest.remove_prefix(end < rest.size() ? end + 1 : end);
  }
  if (rest.empty()) return 0;

  for (; levels > 0 && dir != "/"; --levels) dir.resize(dir.rfind('/', dir.size() - 2) + 1);
  std::string result = dir;
  for (char c : rest) result += c == '\\' ? '/' : c;
  return CopyOut(Normal(result), out) ? 1 : 0;
}
