#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/model/current_mixer.h>

#include <atomic>

namespace {

std::atomic<CPCMMixer*> g_current_mixer{nullptr};

}  // namespace

CPCMMixer* GetCurrentMixer() { return g_current_mixer.load(); }

void SetCurrentMixer(CPCMMixer* mixer) { g_current_mixer = mixer; }

int PlayAtomOnCurrentMixer(CAudioAtom* atom, long) {
  if (atom == nullptr) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return 0;
  }
  if (GetCurrentMixer() == nullptr) {
    platform::set_last_error(sonark::kErrNoCurrentMixer);
    return 0;
  }
  // The mixer's play operation is not part of this build yet.
  platform::set_last_error(sonark::kErrNotAvailable);
  return 0;
}
