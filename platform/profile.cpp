#include <platform/profile.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <strings.h>

namespace platform {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

// Copies `text` into `out`, cut to fit; returns the characters stored.
size_t copy_out(std::string_view text, char* out, size_t size) {
  if (size == 0) return 0;
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  memcpy(out, text.data(), n);
  out[n] = '\0';
  return n;
}

// Copies a list of names, each terminated, with a final extra NUL. When the list does not fit
// it is cut and still ends in two NULs, as callers scanning for the double NUL expect.
size_t copy_list(const std::vector<std::string_view>& names, char* out, size_t size) {
  if (size == 0) return 0;
  if (size == 1) {
    out[0] = '\0';
    return 0;
  }
  size_t pos = 0;
  for (std::string_view name : names) {
    if (pos + name.size() + 2 > size) {
      size_t room = size - 2 - pos;
      memcpy(out + pos, name.data(), room);
      pos += room;
      out[pos] = '\0';
      out[pos + 1] = '\0';
      return size - 2;
    }
    memcpy(out + pos, name.data(), name.size());
    pos += name.size();
    out[pos++] = '\0';
  }
  out[pos] = '\0';
  return pos;
}

struct CachedFile {
  int64_t mtime_ns = 0;
  int64_t size = -1;
  ino_t inode = 0;
  std::shared_ptr<const ProfileFile> file;
};

std::mutex g_cache_lock;
std::map<std::string, CachedFile> g_cache;

// The parsed file at `path`, from the cache while the file is unchanged; null when it cannot
// be read.
std::shared_ptr<const ProfileFile> load(const char* path) {
  struct stat st {};
  if (path == nullptr || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  int64_t mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  {
    std::lock_guard<std::mutex> guard(g_cache_lock);
    auto it = g_cache.find(path);
    if (it != g_cache.end() && it->second.mtime_ns == mtime && it->second.size == st.st_size &&
        it->second.inode == st.st_ino)
      return it->second.file;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return nullptr;
  std::ostringstream text;
  text << in.rdbuf();
  auto parsed = std::make_shared<const ProfileFile>(ProfileFile::Parse(text.str()));
  std::lock_guard<std::mutex> guard(g_cache_lock);
  g_cache[path] = CachedFile{mtime, st.st_size, st.st_ino, parsed};
  return parsed;
}

}  // namespace

ProfileFile ProfileFile::Parse(std::string_view text) {
  ProfileFile result;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  Section* current = nullptr;
  while (!text.empty()) {
    size_t end = text.find_first_of("\r\n");
    std::string_view line = trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      std::string_view name = trim(line.substr(1, close == std::string_view::npos
                                                      ? std::string_view::npos
                                                      : close - 1));
      result.sections_.push_back(Section{std::string(name), {}});
      current = &result.sections_.back();
      continue;
    }
    if (current == nullptr) continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = trim(line.substr(0, eq));
    if (key.empty()) continue;
    std::string_view value = unquote(trim(line.substr(eq + 1)));
    current->entries.push_back(Entry{std::string(key), std::string(value)});
  }
  return result;
}

const ProfileFile::Section* ProfileFile::FindSection(std::string_view section) const {
  section = trim(section);
  for (const Section& s : sections_)
    if (same_text(s.name, section)) return &s;
  return nullptr;
}

const std::string* ProfileFile::Find(std::string_view section, std::string_view key) const {
  const Section* s = FindSection(section);
  if (s == nullptr) return nullptr;
  key = trim(key);
  for (const Entry& e : s->entries)
    if (same_text(e.key, key)) return &e.value;
  return nullptr;
}

size_t profile_string(const char* path, const char* section, const char* key,
                      const char* fallback, char* out, size_t size) {
  if (out == nullptr || size == 0) return 0;
  std::shared_ptr<const ProfileFile> file = load(path);
  if (section == nullptr) {
    std::vector<std::string_view> names;
    if (file)
      for (const auto& s : file->Sections()) names.push_back(s.name);
    return copy_list(names, out, size);
  }
  if (key == nullptr) {
    std::vector<std::string_view> names;
    const ProfileFile::Section* s = file ? file->FindSection(section) : nullptr;
    if (s)
      for (const auto& e : s->entries) names.push_back(e.key);
    return copy_list(names, out, size);
  }
  const std::string* value = file ? file->Find(section, key) : nullptr;
  if (value) return copy_out(*value, out, size);
  return copy_out(trim(fallback ? fallback : ""), out, size);
}

long profile_int(const char* path, const char* section, const char* key, long fallback) {
  if (section == nullptr || key == nullptr) return fallback;
  std::shared_ptr<const ProfileFile> file = load(path);
  const std::string* value = file ? file->Find(section, key) : nullptr;
  if (value == nullptr) return fallback;
  return strtol(value->c_str(), nullptr, 10);
}

}  // namespace platform
