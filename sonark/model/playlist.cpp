#include <platform/profile.h>
#include <sonark/model/playlist.h>
#include <strings.h>
#include <tarnell/file_obj.h>
#include <tarnell/paths.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

// First characters of m3u lines that are comments or player directives (#EXTINF and kin).
constexpr std::string_view kCommentMarks = "?;*,^$#";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
bool IsSeparator(char c) { return c == '/' || c == '\\'; }

char* CopyText(const char* text) {
  size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

// "/" + rest. Built by append: GCC 12 at -O3 raises a false -Wrestrict alarm for
// "literal" + std::string.
std::string Rooted(std::string_view rest) {
  std::string path(1, '/');
  path.append(rest);
  return path;
}

std::string Slashed(std::string_view text) {
  std::string result(text);
  std::replace(result.begin(), result.end(), '\\', '/');
  return result;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A URL such as "http://host/a.mp3": a scheme, then "://".
bool IsUrl(std::string_view entry) {
  size_t colon = entry.find("://");
  if (colon == std::string_view::npos || colon == 0) return false;
  if (!std::isalpha(static_cast<unsigned char>(entry[0]))) return false;
  for (size_t i = 1; i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(entry[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

enum class FileUri { kNone, kPath, kMalformed };

// The path of a local "file:" URI, as Linux players write them: "file:///home/a/My%20Song.mp3",
// "file://localhost/...", or the short "file:/...", with percent escapes decoded. kNone for
// anything else, a file on another host included (it stays a URL, as written); kMalformed for
// a broken escape or an escaped NUL, which name no file.
FileUri FileUriPath(std::string_view entry, std::string* path) {
  if (entry.size() < 5 || strncasecmp(entry.data(), "file:", 5) != 0) return FileUri::kNone;
  std::string_view rest = entry.substr(5);
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return FileUri::kNone;
    std::string_view host = rest.substr(0, slash);
    if (!host.empty() && !(host.size() == 9 && strncasecmp(host.data(), "localhost", 9) == 0)) {
      return FileUri::kNone;
    }
    rest.remove_prefix(slash);
  }
  if (!rest.starts_with("/")) return FileUri::kNone;
  path->clear();
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] != '%') {
      path->push_back(rest[i]);
      continue;
    }
    int high = i + 2 < rest.size() ? HexValue(rest[i + 1]) : -1;
    int low = high >= 0 ? HexValue(rest[i + 2]) : -1;
    if (low < 0 || (high == 0 && low == 0)) return FileUri::kMalformed;
    path->push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return FileUri::kPath;
}

// "C:..." names a Windows drive; it stands as written and simply names no file here.
bool HasDriveLetter(std::string_view entry) {
  return entry.size() >= 2 && std::isalpha(static_cast<unsigned char>(entry[0])) && entry[1] == ':';
}

// Entries that are complete as written. A ':' elsewhere is an ordinary character of a
// native file name ("Song: Live.mp3"), so only drives and URLs count.
bool StandsAsWritten(std::string_view entry) {
  return entry.front() == '/' || entry.starts_with("\\\\") || HasDriveLetter(entry) || IsUrl(entry);
}

// The playlist's own path made absolute, so relative entries come out absolute too.
std::string AbsolutePlaylistPath(const char* path) {
  if (path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + '/' + path;
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

// An m3u entry: as written when complete, else the first existing one of the playlist's
// folder and the file system root followed by the entry (backslashes tried as separators
// too, as players on Windows write them). When none exists the entry is still placed in
// the playlist's folder, where the player that wrote it would have looked.
std::string ResolveM3uEntry(const std::string& folder, std::string_view entry) {
  if (StandsAsWritten(entry)) return std::string(entry);
  bool rooted = entry.front() == '\\';
  std::string_view rest = rooted ? entry.substr(1) : entry;
  bool backslashed = rest.find('\\') != std::string_view::npos;
  std::string slashed = Slashed(rest);

  std::vector<std::string> candidates;
  candidates.push_back(folder + std::string(rest));
  if (backslashed) candidates.push_back(folder + slashed);
  candidates.push_back(Rooted(rest));
  if (backslashed) candidates.push_back(Rooted(slashed));
  for (const std::string& candidate : candidates) {
    if (candidate.size() < kPathBufferSize && DoesFileExist(candidate.c_str())) return candidate;
  }
  return rooted ? Rooted(slashed) : folder + slashed;
}

// A pls entry. Values beginning with '.' are relative to the playlist; values with a
// separator stand as written when they begin at a root, a drive or a doubled separator
// ("\\server", "http://"); a Windows path from the root ("\music\c.mp3") lies at the root
// of this file system; any other value lies in the playlist's folder. Empty on failure.
std::string ResolvePlsEntry(const std::string& playlist, const std::string& folder,
                            const std::string& value) {
  char out[kPathBufferSize];
  if (value.front() == '.') {
    return RelativeToAbsolute(playlist.c_str(), value.c_str(), out) ? std::string(out) : "";
  }
  size_t separator = value.find_first_of("/\\");
  if (separator == std::string::npos) return folder + value;
  if (value.front() == '/' || HasDriveLetter(value) ||
      (separator + 1 < value.size() && IsSeparator(value[separator + 1]))) {
    return value;
  }
  if (value.front() == '\\') return Rooted(Slashed(std::string_view(value).substr(1)));
  return RelativeToAbsolute(playlist.c_str(), value.c_str(), out) ? std::string(out) : "";
}

// The values of the keys "File1", "File2", ... of `section` by number, first occurrence
// winning. Collected in one pass, so a large count in the file costs nothing.
std::map<long, std::string> NumberedFiles(const platform::ProfileFile::Section& section,
                                          long maxNumber) {
  std::map<long, std::string> files;
  for (const auto& entry : section.entries) {
    std::string_view key = entry.key;
    if (key.size() < 5 || key.size() > 14 || strncasecmp(key.data(), "file", 4) != 0) continue;
    std::string_view digits = key.substr(4);
    // "File%d" never writes a sign or a leading zero.
    if (digits.front() == '0') continue;
    long number = 0;
    bool ok = true;
    for (char c : digits) {
      if (c < '0' || c > '9') {
        ok = false;
        break;
      }
      number = number * 10 + (c - '0');
    }
    if (!ok || number > maxNumber) continue;
    files.emplace(number, entry.value);
  }
  return files;
}

// The count as the INI reader gives numbers: leading decimal digits with an optional sign.
long ParseCount(const std::string* text) {
  if (text == nullptr) return 0;
  errno = 0;
  long value = std::strtol(text->c_str(), nullptr, 10);
  return errno == ERANGE ? (value > 0 ? LONG_MAX : 0) : value;
}

}  // namespace

CPlaylist::CPlaylist() = default;

CPlaylist::CPlaylist(const CPlaylist& other) { CopyEntriesFrom(other); }

CPlaylist& CPlaylist::operator=(const CPlaylist& other) {
  if (this != &other) {
    DeleteAll();
    CopyEntriesFrom(other);
  }
  return *this;
}

CPlaylist::~CPlaylist() { DeleteAll(); }

void CPlaylist::CopyEntriesFrom(const CPlaylist& other) {
  error_ = other.error_;
  for (int i = 0; i < other.entries_.Count(); ++i) {
    long key = 0;
    char* copy = CopyText(static_cast<char*>(other.entries_.Index(i, &key)));
    if (copy == nullptr || entries_.AppendToTail(copy, key) != i) {
      std::free(copy);
      error_ = kPlaylistBadEntry;
      return;
    }
  }
}

char* CPlaylist::Index(int index) const { return static_cast<char*>(entries_.Index(index)); }

int CPlaylist::Insert(int position, const char* path) {
  size_t length = path == nullptr ? 0 : std::strlen(path);
  if (length == 0 || length >= kMaxEntryLength) {
    error_ = kPlaylistBadEntry;
    return 0;
  }
  char* copy = CopyText(path);
  if (copy == nullptr || entries_.AddSorted(copy, position) < 0) {
    std::free(copy);
    error_ = kPlaylistBadEntry;
    return 0;
  }
  return 1;
}

void CPlaylist::Delete(int index) {
  if (index < 0 || index >= entries_.Count()) return;
  std::free(entries_.Index(index));
  entries_.RemoveByIndex(index);
}

void CPlaylist::DeleteAll() {
  for (int i = 0; i < entries_.Count(); ++i) std::free(entries_.Index(i));
  entries_.RemoveAll();
}

void CPlaylist::Randomize() {
  std::vector<void*> items;
  items.reserve(static_cast<size_t>(entries_.Count()));
  for (int i = 0; i < entries_.Count(); ++i) items.push_back(entries_.Index(i));
  std::mt19937 random(std::random_device{}());
  std::shuffle(items.begin(), items.end(), random);
  // The list keeps its storage: removing all and appending as many never needs to grow it.
  entries_.RemoveAll();
  for (size_t i = 0; i < items.size(); ++i) entries_.AppendToTail(items[i], static_cast<long>(i));
}

bool CPlaylist::LocalEntry(std::string_view entry, std::string* path) {
  path->clear();
  switch (FileUriPath(entry, path)) {
    case FileUri::kNone:
      path->clear();
      return true;
    case FileUri::kPath:
      return true;
    case FileUri::kMalformed:
      break;
  }
  error_ = kPlaylistBadEntry;
  return false;
}

int CPlaylist::Keep(const char* entry, bool mustExist, long key) {
  size_t length = std::strlen(entry);
  if (length == 0 || length >= kMaxEntryLength) {
    error_ = kPlaylistBadEntry;
    return 0;
  }
  if (mustExist && !DoesFileExist(entry)) return 0;
  return Insert(static_cast<int>(std::min<long>(key, INT_MAX)), entry);
}

int CPlaylist::LoadFromFile(const char* path, bool mustExist) {
  error_ = kPlaylistNoError;
  if (path == nullptr || path[0] == '\0') {
    error_ = kPlaylistCannotOpen;
    return 0;
  }
  enum class Kind { kM3u, kPls, kPl } kind;
  if (HasFileExtension(path, "m3u")) {
    kind = Kind::kM3u;
  } else if (HasFileExtension(path, "pls")) {
    kind = Kind::kPls;
  } else if (HasFileExtension(path, "pl")) {
    kind = Kind::kPl;
  } else {
    error_ = kPlaylistUnknownKind;
    return 0;
  }

  try {
    CFileObj file;
    if (!file.Open(path, 0, 0)) {
      error_ = kPlaylistCannotOpen;
      return 0;
    }
    long size = file.Size();
    if (size < 0 || size > kMaxFileSize) {
      error_ = kPlaylistCannotOpen;
      return 0;
    }
    std::string text(static_cast<size_t>(size), '\0');
    long got = size > 0 ? file.Read(text.data(), size) : 0;
    file.Close();
    if (got <= 0) {
      error_ = kPlaylistNoEntries;
      return 0;
    }
    text.resize(static_cast<size_t>(got));

    long base = entries_.Count();
    std::string playlist = AbsolutePlaylistPath(path);
    int kept = 0;
    switch (kind) {
      case Kind::kM3u:
        kept = LoadM3u(playlist.c_str(), text.data(), text.size(), mustExist, base);
        break;
      case Kind::kPls:
        kept = LoadPls(playlist.c_str(), text.data(), text.size(), mustExist, base);
        break;
      case Kind::kPl:
        kept = LoadPl(text.data(), text.size(), mustExist, base);
        break;
    }
    if (kept < 0) return 0;  // the error is set
  } catch (const std::exception&) {
    error_ = kPlaylistBadEntry;
    return 0;
  }
  if (entries_.Count() == 0) {
    error_ = kPlaylistNoEntries;
    return 0;
  }
  return 1;
}

int CPlaylist::LoadM3u(const char* path, const char* text, size_t size, bool mustExist, long base) {
  std::string folder = FolderOf(path);
  std::string_view rest(text, size);
  // Editors on Windows start UTF-8 lists with a byte-order mark.
  if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
  int kept = 0;
  while (!rest.empty()) {
    // Blank runs after a line end (line ends included) go, so empty lines vanish and an
    // entry never begins with a blank; blanks at its end belong to it.
    size_t start = 0;
    while (start < rest.size() && IsBlank(rest[start])) ++start;
    rest.remove_prefix(start);
    if (rest.empty()) break;
    size_t end = rest.find_first_of("\r\n");
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    // A stray NUL ends the entry, as it ends every string the entry is handed to.
    line = line.substr(0, line.find('\0'));
    if (line.empty() || kCommentMarks.find(line.front()) != std::string_view::npos) continue;
    if (line.size() >= kMaxEntryLength) {
      error_ = kPlaylistBadEntry;
      continue;
    }
    std::string entry;
    if (!LocalEntry(line, &entry)) continue;
    if (entry.empty()) entry = ResolveM3uEntry(folder, line);
    kept += Keep(entry.c_str(), mustExist, base + kept);
  }
  return kept;
}

int CPlaylist::LoadPls(const char* path, const char* text, size_t size, bool mustExist, long base) {
  platform::ProfileFile ini = platform::ProfileFile::Parse(std::string_view(text, size));
  long count = ParseCount(ini.Find("playlist", "NumberOfEntries"));
  const platform::ProfileFile::Section* section = ini.FindSection("playlist");
  if (count <= 0 || section == nullptr) {
    error_ = kPlaylistNoEntries;
    return -1;
  }
  std::string playlist = path;
  std::string folder = FolderOf(playlist);
  int kept = 0;
  for (const auto& [number, value] : NumberedFiles(*section, count)) {
    std::string entry;
    if (value.empty() || !LocalEntry(value, &entry)) continue;
    if (entry.empty()) entry = ResolvePlsEntry(playlist, folder, value);
    if (entry.empty()) continue;
    kept += Keep(entry.c_str(), mustExist, base + kept);
  }
  return kept;
}

int CPlaylist::LoadPl(const char* text, size_t size, bool mustExist, long base) {
  platform::ProfileFile ini = platform::ProfileFile::Parse(std::string_view(text, size));
  const platform::ProfileFile::Section* section = ini.FindSection("Files");
  if (section == nullptr) {
    error_ = kPlaylistNoEntries;
    return -1;
  }
  std::map<long, std::string> files = NumberedFiles(*section, LONG_MAX / 10);
  if (files.find(1) == files.end()) {
    error_ = kPlaylistNoEntries;
    return -1;
  }
  int kept = 0;
  // Numbers run on from 1 until the first gap.
  long expected = 1;
  for (const auto& [number, value] : files) {
    if (number != expected) break;
    ++expected;
    std::string entry;
    if (!LocalEntry(value, &entry)) continue;
    kept += Keep(entry.empty() ? value.c_str() : entry.c_str(), mustExist, base + number - 1);
  }
  return kept;
}

int CPlaylist::SaveToFile(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    error_ = kPlaylistCannotOpen;
    return 0;
  }
  std::string text;
  try {
    text = "#EXTM3U\n";
    for (int i = 0; i < entries_.Count(); ++i) {
      std::string_view entry = Index(i);
      if (entry.find_first_of("\r\n") != std::string_view::npos || IsBlank(entry.front()) ||
          kCommentMarks.find(entry.front()) != std::string_view::npos) {
        error_ = kPlaylistBadEntry;
        return 0;
      }
      text += entry;
      text += '\n';
    }
  } catch (const std::bad_alloc&) {
    error_ = kPlaylistBadEntry;
    return 0;
  }
  CFileObj file;
  if (!file.Create(path) ||
      file.Write(text.data(), static_cast<long>(text.size())) != static_cast<long>(text.size())) {
    error_ = kPlaylistCannotOpen;
    return 0;
  }
  file.Close();
  return 1;
}
