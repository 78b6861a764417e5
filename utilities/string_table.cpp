#include <platform/profile.h>
#include <utilities/string_table.h>

#include <mutex>
#include <string>

namespace {

std::mutex g_file_lock;
std::string g_default_file;

std::string default_file() {
  std::lock_guard<std::mutex> guard(g_file_lock);
  return g_default_file;
}

}  // namespace

void SetStringFile(const char* path) {
  std::lock_guard<std::mutex> guard(g_file_lock);
  g_default_file = path ? path : "";
}

int MyLoadString(const char* key, char* out, int size, const char* file) {
  if (out == nullptr || size <= 0) return 0;
  if (key == nullptr) key = "";
  // The default is copied so that a concurrent SetStringFile cannot pull the path away.
  std::string path = file ? std::string(file) : default_file();
  platform::profile_string(path.c_str(), "Strings", key, key, out, static_cast<size_t>(size));
  return out[0] != '\0' ? 1 : 0;
}

int ParseCarriageReturns(const char* source, char* destination, int size) {
  if (destination == nullptr || size <= 0) return 0;
  if (source == nullptr) {
    destination[0] = '\0';
    return 0;
  }
  // The output is never longer than what has been read, so copying in place is safe.
  size_t limit = static_cast<size_t>(size) - 1;
  size_t in = 0;
  size_t out = 0;
  while (source[in] != '\0') {
    if (out == limit) {
      destination[out] = '\0';
      return 0;
    }
    if (source[in] == '\\' && (source[in + 1] == 'r' || source[in + 1] == 'n')) {
      destination[out++] = '\r';
      in += 2;
    } else {
      destination[out++] = source[in++];
    }
  }
  destination[out] = '\0';
  return 1;
}
