#include <dlfcn.h>
#include <limits.h>
#include <sonark/strings.h>
#include <unistd.h>
#include <utilities/string_table.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr const char* kStringsFileName = "sonark-strings.ini";

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool IsReadable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

// The engine's strings file lies beside the library itself, which need not be beside the
// program that loaded it; an installed tree keeps it in ../share/tessel/.
std::string FindStringsFile() {
  std::vector<std::string> dirs;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&SonarkLoadString), &info) != 0 && info.dli_fname &&
      std::strchr(info.dli_fname, '/') != nullptr) {
    char resolved[PATH_MAX];
    if (::realpath(info.dli_fname, resolved) != nullptr) dirs.push_back(DirectoryOf(resolved));
  }
  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n > 0) {
    exe[n] = '\0';
    dirs.push_back(DirectoryOf(exe));
  }
  const size_t own_dirs = dirs.size();
  for (size_t i = 0; i < own_dirs; ++i) dirs.push_back(dirs[i] + "/../share/tessel");
  for (const std::string& dir : dirs) {
    std::string candidate = dir + "/" + kStringsFileName;
    if (IsReadable(candidate)) return candidate;
  }
  // Nothing found: the lookup still answers with the keys themselves.
  return dirs.empty() ? std::string(kStringsFileName) : dirs.front() + "/" + kStringsFileName;
}

const std::string& StringsFile() {
  static std::once_flag once;
  static std::string path;
  std::call_once(once, [] { path = FindStringsFile(); });
  return path;
}

bool IsNumberConversion(char c) { return c == 'd' || c == 'i' || c == 'u' || c == 'x' || c == 'X'; }

}  // namespace

SONARK_API int SonarkLoadString(const char* key, char* out, long size) {
  if (out == nullptr || size <= 0) return 0;
  if (key == nullptr) {
    out[0] = '\0';
    return 0;
  }
  const int limited = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  return MyLoadString(key, out, limited, StringsFile().c_str()) != 0 ? 1 : 0;
}

namespace sonark {

SONARK_API size_t FormatFromPattern(char* out, size_t size, const char* pattern,
                                    std::initializer_list<PatternArg> args) {
  if (out == nullptr || size == 0) return 0;
  size_t pos = 0;
  auto put = [&](const char* text, size_t length) {
    const size_t room = size - 1 - pos;
    const size_t take = length < room ? length : room;
    std::memcpy(out + pos, text, take);
    pos += take;
  };
  const PatternArg* next = args.begin();
  const char* p = pattern ? pattern : "";
  while (*p != '\0' && pos < size - 1) {
    if (*p != '%') {
      const char* run = p;
      while (*p != '\0' && *p != '%') ++p;
      put(run, static_cast<size_t>(p - run));
      continue;
    }
    if (p[1] == '%') {
      put("%", 1);
      p += 2;
      continue;
    }
    // Parse "%[flags][width][.precision][h|l]conv" and rebuild it with a length we choose.
    const char* spec_start = p++;
    std::string spec = "%";
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) spec += *p++;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 3) spec += *p++, ++digits;
    bool well_formed = !(*p >= '0' && *p <= '9');
    if (well_formed && *p == '.') {
      spec += *p++;
      digits = 0;
      while (*p >= '0' && *p <= '9' && digits < 3) spec += *p++, ++digits;
      well_formed = !(*p >= '0' && *p <= '9');
    }
    while (well_formed && (*p == 'h' || *p == 'l')) ++p;
    const char conv = well_formed ? *p : '\0';
    const bool have_arg = next != args.end();
    const bool fits = have_arg && ((conv == 's' && next->is_text) ||
                                   (IsNumberConversion(conv) && !next->is_text));
    if (conv != '\0') ++p;
    if (!fits) {
      put(spec_start, static_cast<size_t>(p - spec_start));
      if (have_arg && conv != '\0') ++next;
      continue;
    }
    char piece[512];
    int n;
    if (conv == 's') {
      spec += 's';
      n = std::snprintf(piece, sizeof(piece), spec.c_str(), next->text);
    } else {
      spec += 'l';
      spec += conv;
      n = std::snprintf(piece, sizeof(piece), spec.c_str(), next->number);
    }
    ++next;
    if (n > 0) put(piece, static_cast<size_t>(n) < sizeof(piece) ? n : sizeof(piece) - 1);
  }
  out[pos] = '\0';
  return pos;
}

}  // namespace sonark
