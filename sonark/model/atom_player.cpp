#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/model/atom_player.h>

#include <atomic>

namespace {

// Constant-initialised, so registration from another file's static initialiser is safe.
std::atomic<AtomPlayFunction> g_player{nullptr};

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
