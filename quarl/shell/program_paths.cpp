#include <pwd.h>
#include <quarl/shell/program_paths.h>
#include <unistd.h>
#include <utilities/directories.h>
#include <utilities/string_table.h>

#include <climits>
#include <cstdlib>
#include <vector>

namespace {

constexpr const char* kStringsFileName = "quarl-strings.ini";

// An XDG base folder: the variable when it holds an absolute path (a relative one is to be
// ignored), else the home folder followed by `fallback`.
std::string XdgFolder(const char* variable, const char* fallback) {
  const char* value = getenv(variable);
  if (value != nullptr && value[0] == '/') return value;
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    const passwd* user = getpwuid(getuid());
    home = user != nullptr ? user->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] != '/') return "";
  return std::string(home) + fallback;
}

std::string WithSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

std::string Text(const char* key, int size) {
  std::vector<char> buffer(static_cast<size_t>(size));
  MyLoadString(key, buffer.data(), size);
  return buffer.data();
}

}  // namespace

std::string CacheFolder() {
  const std::string base = XdgFolder("XDG_CACHE_HOME", "/.cache");
  return base.empty() ? "" : WithSlash(base) + "tessel/";
}

std::string RecordingsFolder() {
  const std::string base = XdgFolder("XDG_DATA_HOME", "/.local/share");
  return base.empty() ? "" : WithSlash(base) + "tessel/recordings/";
}

std::string ExeFolder() {
  char folder[PATH_MAX];
  return GetExeDirectory(folder, sizeof folder) ? folder : "";
}

std::string UseProgramStrings() {
  const std::string exe = ExeFolder();
  std::string path = exe + kStringsFileName;
  const std::string installed = exe + "../share/tessel/" + kStringsFileName;
  if (!exe.empty() && access(path.c_str(), R_OK) != 0 && access(installed.c_str(), R_OK) == 0)
    path = installed;
  SetStringFile(path.c_str());
  return path;
}

StartupTexts ReadStartupTexts() {
  return StartupTexts{Text("IDS_VERSION_CHECK_URL", 1024), Text("IDS_RECORDING", 256)};
}

std::string ExampleSessionPath() { return ExeFolder() + Text("IDS_EXAMPLE_SGP", PATH_MAX); }
