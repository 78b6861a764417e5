#include <sonark/names.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// Trivially destructible, so the state stays usable while the library unloads.
std::mutex g_names_lock;
char g_prefix[kNamePrefixLength + 1] = {};
long g_counter = 1;

constexpr long kAtomNameSize = 512;

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

void GetFileName(const char* path, char* out) {
  if (path == nullptr || out == nullptr) return;
  const char* last = nullptr;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') last = p;
  }
  if (last == nullptr || last[1] == '\0') return;
  std::memmove(out, last + 1, std::strlen(last + 1) + 1);
}

void SetNewNamePrefix(const char* prefix) {
  if (prefix == nullptr) prefix = "";
  size_t length = std::strlen(prefix);
  if (length > static_cast<size_t>(kNamePrefixLength)) {
    length = kNamePrefixLength;
    // A name cut inside a multi-byte character would not be valid text.
    while (length > 0 && IsContinuationByte(prefix[length])) --length;
  }
  std::lock_guard<std::mutex> guard(g_names_lock);
  std::memcpy(g_prefix, prefix, length);
  g_prefix[length] = '\0';
}

void GenerateUniqueName(char* out, long size) {
  if (out == nullptr) return;
  if (size <= 0) size = kAtomNameSize;
  std::lock_guard<std::mutex> guard(g_names_lock);
  std::snprintf(out, static_cast<size_t>(size), "%s%ld", g_prefix, g_counter);
  ++g_counter;
}

namespace sonark::internal {

void ResetNames() {
  std::lock_guard<std::mutex> guard(g_names_lock);
  g_prefix[0] = '\0';
  g_counter = 1;
}

}  // namespace sonark::internal
