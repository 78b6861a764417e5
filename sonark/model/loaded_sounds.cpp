#include <sonark/model/loaded_sounds.h>
#include <sonark/model/pcm_sound.h>
#include <tarnell/file_obj.h>

#include <cstring>
#include <new>

namespace {

constexpr int kFileObjectType = 1;

// The path of the sound's file, or null when its data is not a file.
const char* FilePathOf(CPCMSound* sound) {
  CRefObj* object = sound != nullptr ? sound->GetRefObj() : nullptr;
  if (object == nullptr || object->Type() != kFileObjectType) return nullptr;
  return static_cast<CFileObj*>(object)->FilePath();
}

// Guards the pointer itself, so shutdown never frees the registry under a caller.
std::mutex g_registry_lock;
CSoundLoaded* g_registry = nullptr;

}  // namespace

CSoundLoaded::CSoundLoaded() = default;
CSoundLoaded::~CSoundLoaded() = default;

CPCMSound* CSoundLoaded::SoundLoaded(const char* path) {
  if (path == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(lock_);
  for (int i = 0; i < sounds_.Count(); ++i) {
    auto* sound = static_cast<CPCMSound*>(sounds_.Index(i));
    const char* file = FilePathOf(sound);
    if (file != nullptr && std::strcmp(file, path) == 0) return sound;
  }
  return nullptr;
}

CPCMSound* CSoundLoaded::HoldSoundLoaded(const char* path) {
  if (path == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(lock_);
  for (int i = 0; i < sounds_.Count(); ++i) {
    auto* sound = static_cast<CPCMSound*>(sounds_.Index(i));
    const char* file = FilePathOf(sound);
    // A sound whose last reference is gone waits in its destructor to leave the registry.
    if (file != nullptr && std::strcmp(file, path) == 0 && sound->AddReferenceIfAlive()) {
      return sound;
    }
  }
  return nullptr;
}

void CSoundLoaded::AddSound(CPCMSound* sound) {
  if (sound == nullptr) return;
  std::lock_guard<std::mutex> guard(lock_);
  if (!sounds_.Member(sound)) sounds_.AppendToTail(sound, 0);
}

void CSoundLoaded::RemoveSound(CPCMSound* sound) {
  std::lock_guard<std::mutex> guard(lock_);
  sounds_.Remove(sound);
}

CMyArrayList* CSoundLoaded::GetAllDuplicates(CPCMSound* sound) {
  const char* path = FilePathOf(sound);
  if (path == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(lock_);
  CMyArrayList* duplicates = nullptr;
  for (int i = 0; i < sounds_.Count(); ++i) {
    auto* other = static_cast<CPCMSound*>(sounds_.Index(i));
    if (other == sound) continue;
    const char* file = FilePathOf(other);
    if (file == nullptr || std::strcmp(file, path) != 0) continue;
    if (duplicates == nullptr) {
      duplicates = new (std::nothrow) CMyArrayList;
      if (duplicates == nullptr) return nullptr;
    }
    duplicates->AppendToTail(other, 0);
  }
  return duplicates;
}

int CSoundLoaded::Count() {
  std::lock_guard<std::mutex> guard(lock_);
  return sounds_.Count();
}

CPCMSound* SoundExists(const char* path) {
  std::lock_guard<std::mutex> guard(g_registry_lock);
  return g_registry != nullptr ? g_registry->SoundLoaded(path) : nullptr;
}

CPCMSound* HoldLoadedSound(const char* path) {
  std::lock_guard<std::mutex> guard(g_registry_lock);
  return g_registry != nullptr ? g_registry->HoldSoundLoaded(path) : nullptr;
}

void AddTheSound(CPCMSound* sound) {
  std::lock_guard<std::mutex> guard(g_registry_lock);
  if (g_registry != nullptr) g_registry->AddSound(sound);
}

void RemoveTheSound(CPCMSound* sound) {
  std::lock_guard<std::mutex> guard(g_registry_lock);
  if (g_registry != nullptr) g_registry->RemoveSound(sound);
}

CMyArrayList* GetDuplicateList(CPCMSound* sound) {
  std::lock_guard<std::mutex> guard(g_registry_lock);
  return g_registry != nullptr ? g_registry->GetAllDuplicates(sound) : nullptr;
}

namespace sonark::internal {

int CreateLoadedSounds() {
  std::lock_guard<std::mutex> guard(g_registry_lock);
  if (g_registry == nullptr) g_registry = new (std::nothrow) CSoundLoaded;
  return g_registry != nullptr ? 1 : 0;
}

void DestroyLoadedSounds() {
  std::lock_guard<std::mutex> guard(g_registry_lock);
  delete g_registry;
  g_registry = nullptr;
}

}  // namespace sonark::internal
