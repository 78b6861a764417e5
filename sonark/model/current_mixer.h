#pragma once

#include <sonark/visibility.h>

class CAudioAtom;
class CPCMMixer;

// The process-wide mixer that Play hands atoms to; null while there is none.
SONARK_API CPCMMixer* GetCurrentMixer();
SONARK_API void SetCurrentMixer(CPCMMixer* mixer);

// Hands `atom` to the current mixer to play from `offset` (milliseconds into the atom).
// Returns the mixer's answer; 0 with kErrNoCurrentMixer while there is no mixer.
int PlayAtomOnCurrentMixer(CAudioAtom* atom, long offset);
