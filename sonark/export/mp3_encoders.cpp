#include <dlfcn.h>
#include <plugins/lame_enc/lame_enc_api.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_mp3.h>
#include <sonark/export/mp3_encoders.h>
#include <sonark/strings.h>
#include <tarnell/ref_ptr.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace {

struct EncoderRow {
  const char* library;
  const char* nameKey;
};

constexpr EncoderRow kEncoders[sonark::kMP3EncoderCount] = {
    {"liblame_enc.so", "IDS_STRING_LAME"},
    {"libbladeenc.so", "IDS_STRING_BLADE"},
    {nullptr, "IDS_STRING_NOT_ASSIGNED"},
};
constexpr int kLibraryCount = 2;

// The libraries' handles, what discovery found and where to look; the selection is read
// without the lock by the converters' factory.
std::mutex g_lock;
void* g_handles[kLibraryCount] = {};
int g_available[kLibraryCount] = {};
std::string g_folder;  // the only folder searched, when set
bool g_folder_set = false;
std::atomic<int> g_selected{medNotAssigned};

// The folder of libsonark.so itself, with a trailing '/', or "" when it cannot be told.
std::string EngineFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&GetMP3EncoderArraySize), &info) == 0 ||
      info.dli_fname == nullptr) {
    return "";
  }
  std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// Loads library `index` from the folder searched, else beside the engine, else through the
// library path. Called with the lock held.
void* OpenLibrary(int index) {
  const char* name = kEncoders[index].library;
  if (g_folder_set) return dlopen((g_folder + "/" + name).c_str(), RTLD_NOW | RTLD_LOCAL);
  const std::string beside = EngineFolder();
  if (!beside.empty()) {
    if (void* handle = dlopen((beside + name).c_str(), RTLD_NOW | RTLD_LOCAL)) return handle;
  }
  return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void UnloadLocked() {
  for (void*& handle : g_handles) {
    if (handle != nullptr) dlclose(handle);
    handle = nullptr;
  }
}

// The library's own version line ("LAME 3.100, library 1.0"), or "" without beVersion.
std::string VersionText(void* handle) {
  auto version = reinterpret_cast<BeVersionFn>(dlsym(handle, "beVersion"));
  BeVersionInfo info{};
  if (version == nullptr || version(&info) != BE_ERR_SUCCESSFUL) return "";
  info.encoderText[sizeof info.encoderText - 1] = '\0';
  char text[128];
  snprintf(text, sizeof text, "%s, library %u.%u", info.encoderText, info.libraryMajor,
           info.libraryMinor);
  return text;
}

void CopyCut(char* out, unsigned size, const std::string& text) {
  if (out == nullptr || size == 0) return;
  snprintf(out, size, "%s", text.c_str());
}

std::string LoadText(const char* key) {
  char text[256];
  SonarkLoadString(key, text, sizeof text);
  return text;
}

}  // namespace

namespace sonark {

SONARK_API const char* MP3EncoderLibraryName(int index) {
  return index >= 0 && index < kMP3EncoderCount ? kEncoders[index].library : nullptr;
}

SONARK_API const char* MP3EncoderNameKey(int index) {
  return index >= 0 && index < kMP3EncoderCount ? kEncoders[index].nameKey : nullptr;
}

SONARK_API int LoadMP3EncoderLibrary(int index, MP3EncoderEntryPoints* entries, bool* loadedNow) {
  if (loadedNow != nullptr) *loadedNow = false;
  if (index < 0 || index >= kLibraryCount) return 0;
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_handles[index] == nullptr) {
    g_handles[index] = OpenLibrary(index);
    if (g_handles[index] == nullptr) return 0;
    if (loadedNow != nullptr) *loadedNow = true;
  }
  if (entries != nullptr) {
    void* handle = g_handles[index];
    entries->beInitStream = dlsym(handle, "beInitStream");
    entries->beEncodeChunk = dlsym(handle, "beEncodeChunk");
    entries->beDeinitStream = dlsym(handle, "beDeinitStream");
    entries->beCloseStream = dlsym(handle, "beCloseStream");
    entries->beVersion = dlsym(handle, "beVersion");
    entries->beWriteVBRHeader = dlsym(handle, "beWriteVBRHeader");
  }
  return 1;
}

namespace internal {

bool ProbeMP3Encoders(_tMP3EncoderDllTypedef preferred, CConv2FileFormat* settings) {
  int first = medNotAssigned;
  int before = medNotAssigned;
  int chosen = medNotAssigned;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    for (int i = 0; i < kLibraryCount; ++i) {
      if (g_handles[i] != nullptr) {
        g_available[i] = 1;  // in use: stays loaded
      } else if (void* handle = OpenLibrary(i)) {
        g_available[i] = 1;
        dlclose(handle);
      } else {
        g_available[i] = 0;
      }
      if (g_available[i] && first == medNotAssigned) first = i;
    }
    before = chosen = g_selected.load();
    if (preferred >= 0 && preferred < kLibraryCount && g_available[preferred]) {
      chosen = preferred;
    } else if (chosen < 0 || chosen >= kLibraryCount || !g_available[chosen]) {
      chosen = first;
    }
    g_selected.store(chosen);
  }
  // Settings made for another encoder (or for none) are brought within this one's abilities.
  if (settings != nullptr && chosen != medNotAssigned && (chosen != before || chosen != preferred)) {
    RefPtr<CConv2FileObj> converter(NewMP3Converter(chosen));
    if (auto* mp3 = dynamic_cast<CConv2MP3*>(converter.get())) {
      mp3->UpdateSettingsAfterEncoderChange(settings);
    }
  }
  return first != medNotAssigned;
}

int UnloadMP3EncoderLibraries() {
  std::lock_guard<std::mutex> hold(g_lock);
  bool any = false;
  for (void* handle : g_handles) any = any || handle != nullptr;
  UnloadLocked();
  return any ? 0 : 1;
}

SONARK_API void SetMP3EncoderFolder(const char* folder) {
  std::lock_guard<std::mutex> hold(g_lock);
  UnloadLocked();
  g_folder_set = folder != nullptr;
  g_folder = folder != nullptr ? folder : "";
  for (int& flag : g_available) flag = 0;
  g_selected.store(medNotAssigned);
}

}  // namespace internal
}  // namespace sonark

SONARK_API void GetMP3EncodersAvailable(int* twoFlags) {
  if (twoFlags == nullptr) return;
  std::lock_guard<std::mutex> hold(g_lock);
  for (int i = 0; i < kLibraryCount; ++i) twoFlags[i] = g_available[i];
}

SONARK_API int GetMP3EncoderArraySize() { return sonark::kMP3EncoderCount; }

SONARK_API _tMP3EncoderDllTypedef GetMP3Encoder() {
  return static_cast<_tMP3EncoderDllTypedef>(g_selected.load());
}

SONARK_API bool SetMP3Encoder(_tMP3EncoderDllTypedef encoder) {
  if (encoder < 0 || encoder >= kLibraryCount) return false;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_available[encoder]) return false;
  }
  g_selected.store(encoder);
  return true;
}

SONARK_API void GetMP3EncoderNamesAndAvailablity(char** names, unsigned size, int* available) {
  for (int i = 0; i < sonark::kMP3EncoderCount; ++i) {
    std::string name = LoadText(kEncoders[i].nameKey);
    int usable = 0;
    if (i < kLibraryCount) {
      {
        std::lock_guard<std::mutex> hold(g_lock);
        usable = g_available[i];
      }
      if (usable && sonark::LoadMP3EncoderLibrary(i, nullptr, nullptr)) {
        std::string version;
        {
          std::lock_guard<std::mutex> hold(g_lock);
          version = VersionText(g_handles[i]);
        }
        if (!version.empty()) name.append(" (").append(version).append(")");
      } else {
        usable = 0;
        name.append(" ").append(LoadText("IDS_STRING_NOT_AVAILABLE"));
      }
    }
    if (names != nullptr) CopyCut(names[i], i < kLibraryCount ? size : std::min(size, 64u), name);
    if (available != nullptr) available[i] = usable;
  }
}

SONARK_API void GetMP3EncoderMenuInfo(_tMP3EncoderDllTypedef* current, int* count, char** names,
                                      unsigned size, int* available) {
  if (current != nullptr) *current = GetMP3Encoder();
  if (count != nullptr) *count = sonark::kMP3EncoderCount;
  GetMP3EncoderNamesAndAvailablity(names, size, available);
}
