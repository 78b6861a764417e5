#include <platform/last_error.h>
#include <sonark/engine_lock.h>
#include <sonark/errors.h>
#include <sonark/mixer/current_mixer.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/model/atom_player.h>
#include <sonark/model/pcm_sound.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace {

// Written under the engine lock; read without it, because sounds ask for the mixer from
// places that hold their own lock, which must never wait for the engine lock.
std::atomic<CPCMMixer*> g_current_mixer{nullptr};

int PlayOnCurrentMixer(CAudioAtom* atom, long offset) {
  // The mixer cannot go away between the look-up and the call while the engine lock is held:
  // a mixer stops being current under it before it is destroyed.
  std::lock_guard<std::recursive_mutex> guard(EngineMutex());
  CPCMMixer* mixer = GetCurrentMixer();
  if (mixer == nullptr) {
    platform::set_last_error(sonark::kErrNoCurrentMixer);
    return 0;
  }
  return mixer->Play(atom, offset, 0);
}

int RecordOnCurrentMixer(CPCMSound* sound, tWAVEFORMATEX* format) {
  std::vector<CAudioAtom*> replaced;
  int result = 0;
  {
    std::lock_guard<std::recursive_mutex> guard(EngineMutex());
    CPCMMixer* mixer = GetCurrentMixer();
    if (mixer == nullptr) {
      platform::set_last_error(sonark::kErrNoCurrentMixer);
      return 0;
    }
    result = mixer->Record(sound, format);
    replaced = mixer->TakeReplacedRecordingSounds();
  }
  // Released without the engine lock, which comes after a sound's own lock.
  const uint32_t error = platform::last_error();
  for (CAudioAtom* atom : replaced) DeleteAtom(&atom);
  platform::set_last_error(error);
  return result;
}

void StopInputOnCurrentMixer(CPCMSound* sound) {
  std::lock_guard<std::recursive_mutex> guard(EngineMutex());
  if (CPCMMixer* mixer = GetCurrentMixer()) mixer->StopAtom(sound, 0);
}

// The model's Play and Record reach the mixer through these registrations, never by naming it.
const bool g_registered = (SetAtomPlayer(&PlayOnCurrentMixer),
                           SetAtomRecorder(&RecordOnCurrentMixer, &StopInputOnCurrentMixer),
                           true);

}  // namespace

CPCMMixer* GetCurrentMixer() { return g_current_mixer.load(std::memory_order_acquire); }

void SetCurrentMixer(CPCMMixer* mixer) {
  std::lock_guard<std::recursive_mutex> guard(EngineMutex());
  g_current_mixer.store(mixer, std::memory_order_release);
}
