#pragma once

class CPCMSound;

// Puts a sound at its stored start: `bytes` into its data, in whole frames; a start at or
// beyond the data's end means the data's beginning. The buffer and the waveform start there;
// the data object too when the sound holds it alone (`ownObject`).
void StartAtByte(CPCMSound* sound, long bytes, bool ownObject);
