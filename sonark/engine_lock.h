#pragma once

#include <sonark/visibility.h>

#include <mutex>

// The engine lock: one process-wide re-entrant lock around the current mixer and every round
// of the mixing thread. Take it before any atom's lock. It exists for the whole life of the
// process, so taking it before start-up or after shutdown is safe.
SONARK_API std::recursive_mutex& EngineMutex();
SONARK_API void EngineLock();
SONARK_API void EngineUnlock();
