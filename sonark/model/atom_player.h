#pragma once

#include <sonark/visibility.h>

class CAudioAtom;

// What an atom's Play hands it to. The mixer layer above registers its player when the
// library loads; the model knows it only as this function.
using AtomPlayFunction = int (*)(CAudioAtom* atom, long offset);
void SetAtomPlayer(AtomPlayFunction player);

// Hands `atom` to the registered player to play from `offset` (milliseconds into the atom).
// Returns the player's answer; 0 with kErrInvalidAtomArgument for a null atom and with
// kErrNoCurrentMixer while no player is registered.
int PlayAtomOnCurrentMixer(CAudioAtom* atom, long offset);
