#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/model/atom_player.h>

#include <atomic>

namespace {

// Constant-initialised, so registration from another file's static initialiser is safe.
std::atomic<AtomPlayFunction> g_player{nullptr};
std::atomic<RecordStartFunction> g_record_start{nullptr};
std::atomic<RecordStopFunction> g_record_stop{nullptr};

}  // namespace

void SetAtomPlayer(AtomPlayFunction player) { g_player.store(player, std::memory_order_release); }

int PlayAtomOnCurrentMixer(CAudioAtom* atom, long offset) {
  if (atom == nullptr) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return 0;
  }
  const AtomPlayFunction player = g_player.load(std::memory_order_acquire);
  if (player == nullptr) {
    platform::set_last_error(sonark::kErrNoCurrentMixer);
    return 0;
  }
  return player(atom, offset);
}

void SetAtomRecorder(RecordStartFunction start, RecordStopFunction stop) {
  g_record_start.store(start, std::memory_order_release);
  g_record_stop.store(stop, std::memory_order_release);
}

int StartRecordingOnCurrentMixer(CPCMSound* sound, tWAVEFORMATEX* format) {
  const RecordStartFunction start = g_record_start.load(std::memory_order_acquire);
  if (start == nullptr) {
    platform::set_last_error(sonark::kErrNoCurrentMixer);
    return 0;
  }
  return start(sound, format);
}

void StopRecordingOnCurrentMixer(CPCMSound* sound) {
  const RecordStopFunction stop = g_record_stop.load(std::memory_order_acquire);
  if (stop != nullptr) stop(sound);
}
