#pragma once

#include <sonark/visibility.h>

#include <mutex>

// Start and stop of the sound engine. Loading libsonark starts it and unloading stops it;
// both are idempotent and may also be called explicitly (tests, the command-line tool).
//
// Start-up restores the engine-wide state (thresholds, side-file directory, names) and
// creates the loaded-sound registry. Shutdown destroys the registry; sounds still alive find
// none and their removal does nothing. Returns 1 when the engine runs afterwards.
SONARK_API int SonarkStartEngine();
SONARK_API void SonarkStopEngine();
SONARK_API int SonarkEngineRunning();

// The engine lock: one process-wide re-entrant lock around the current mixer and every round
// of the mixing thread. Take it before any atom's lock. It exists for the whole life of the
// process, so taking it before start-up or after shutdown is safe.
SONARK_API std::recursive_mutex& EngineMutex();
SONARK_API void EngineLock();
SONARK_API void EngineUnlock();
