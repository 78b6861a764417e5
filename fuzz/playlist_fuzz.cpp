// Feeds random bytes to the playlist reader. The first byte picks the kind (its value modulo
// 3: ".m3u", ".pls", ".pl") and, with bit 2, whether entries must exist; the rest is the
// file, written to a private temporary folder. Every entry held must be a usable path.

#include <sonark/model/playlist.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The folder outlives every static destructor, so the exit handler can still clear it.
const std::string& Folder() {
  static const std::string* folder = [] {
    const char* tmp = std::getenv("TMPDIR");
    auto* pattern =
        new std::string(std::string(tmp && *tmp ? tmp : "/tmp") + "/playlist-fuzz-XXXXXX");
    if (mkdtemp(pattern->data()) == nullptr) std::abort();
    // A file for relative entries to find.
    std::FILE* f = std::fopen((*pattern + "/a.mp3").c_str(), "wb");
    if (f) std::fclose(f);
    std::atexit([] {
      std::remove((Folder() + "/a.mp3").c_str());
      rmdir(Folder().c_str());
    });
    return pattern;
  }();
  return *folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char* const kExtensions[] = {".m3u", ".pls", ".pl"};
  std::string path = Folder() + "/list" + kExtensions[data[0] % 3];
  bool mustExist = (data[0] & 4) != 0;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);

  CPlaylist playlist;
  int result = playlist.LoadFromFile(path.c_str(), mustExist);
  if (result != (playlist.NumEntries() > 0 ? 1 : 0)) std::abort();
  if (result == 0 && playlist.ErrorCode() == kPlaylistNoError) std::abort();
  for (int i = 0; i < playlist.NumEntries(); ++i) {
    const char* entry = playlist.Index(i);
    size_t length = entry ? std::strlen(entry) : 0;
    if (length == 0 || length >= CPlaylist::kMaxEntryLength) std::abort();
  }
  CPlaylist copy(playlist);
  if (copy.NumEntries() != playlist.NumEntries()) std::abort();
  std::remove(path.c_str());
  return 0;
}
