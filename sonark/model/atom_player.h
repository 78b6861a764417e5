#pragma once

#include <platform/wave_format.h>
#include <sonark/visibility.h>

class CAudioAtom;
class CPCMSound;

// What an atom's Play hands it to. The mixer layer above registers its player when the
// library loads; the model knows it only as this function.
using AtomPlayFunction = int (*)(CAudioAtom* atom, long offset);
void SetAtomPlayer(AtomPlayFunction player);

// Hands `atom` to the registered player to play from `offset` (milliseconds into the atom).
// Returns the player's answer; 0 with kErrInvalidAtomArgument for a null atom and with
// kErrNoCurrentMixer while no player is registered.
int PlayAtomOnCurrentMixer(CAudioAtom* atom, long offset);

// What a sound's recording reaches the mixer's input through, registered by the mixer layer
// as the player is: `start` records `format` into `sound` (1, or 0 with the reason in the last
// error); `stop` ends the input of `sound`, handing it everything recorded.
using RecordStartFunction = int (*)(CPCMSound* sound, tWAVEFORMATEX* format);
using RecordStopFunction = void (*)(CPCMSound* sound);
void SetAtomRecorder(RecordStartFunction start, RecordStopFunction stop);

// 0 with kErrNoCurrentMixer while no recorder is registered.
int StartRecordingOnCurrentMixer(CPCMSound* sound, tWAVEFORMATEX* format);
void StopRecordingOnCurrentMixer(CPCMSound* sound);
