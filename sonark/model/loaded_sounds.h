#pragma once

#include <sonark/visibility.h>
#include <sonark/containers/my_array_list.h>

#include <mutex>

class CPCMSound;

// The registry of loaded sounds: every sound that has loaded its file, in the order they
// loaded, so that sounds of one file can share what was built for it. It does not own the
// sounds. Sounds load on the background task thread while the program's thread asks, so
// every operation holds the registry's own lock; it never takes an atom's lock, so a sound
// may register while holding its own.
class SONARK_API CSoundLoaded {
 public:
  CSoundLoaded();
  CSoundLoaded(const CSoundLoaded&) = delete;
  CSoundLoaded& operator=(const CSoundLoaded&) = delete;
  ~CSoundLoaded();

  // The first registered sound whose data object is a file with exactly this path (letter
  // case counts), or null.
  CPCMSound* SoundLoaded(const char* path);
  // The first such sound that is still alive, with a reference added for the caller.
  CPCMSound* HoldSoundLoaded(const char* path);
  // Appends `sound`; a sound already registered is not added twice.
  void AddSound(CPCMSound* sound);
  void RemoveSound(CPCMSound* sound);
  // A new list (the caller deletes it) of every other registered sound on the same file as
  // `sound`, in registry order; null when `sound` has no file or no other sound shares it.
  CMyArrayList* GetAllDuplicates(CPCMSound* sound);
  int Count();

 private:
  std::mutex lock_;
  CMyArrayList sounds_;  // of CPCMSound*, sort values 0
};

// The engine's registry, forwarded to while the engine runs. Before start-up and after
// shutdown there is none: lookups find nothing and changes are ignored.
SONARK_API CPCMSound* SoundExists(const char* path);
SONARK_API void AddTheSound(CPCMSound* sound);
SONARK_API void RemoveTheSound(CPCMSound* sound);
SONARK_API CMyArrayList* GetDuplicateList(CPCMSound* sound);
// As SoundExists, with a reference added for the caller (release it with DeleteAtom), so the
// sound cannot be destroyed while another thread shares its data; a sound already on its way
// out is passed over.
SONARK_API CPCMSound* HoldLoadedSound(const char* path);

namespace sonark::internal {
// Start-up creates the registry, shutdown destroys it; both are idempotent. 0 when memory ran
// out.
int CreateLoadedSounds();
void DestroyLoadedSounds();
}  // namespace sonark::internal
