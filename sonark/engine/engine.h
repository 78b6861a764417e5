#pragma once

#include <sonark/engine_lock.h>
#include <sonark/visibility.h>

// Start and stop of the sound engine. Loading libsonark starts it and unloading stops it;
// both are idempotent and may also be called explicitly (tests, the command-line tool).
//
// Start-up restores the engine-wide state (thresholds, side-file directory, names) and
// creates the loaded-sound registry. Shutdown destroys the registry; sounds still alive find
// none and their removal does nothing. Returns 1 when the engine runs afterwards.
SONARK_API int SonarkStartEngine();
SONARK_API void SonarkStopEngine();
SONARK_API int SonarkEngineRunning();
