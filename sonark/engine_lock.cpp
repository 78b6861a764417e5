#include <sonark/engine_lock.h>

std::recursive_mutex& EngineMutex() {
  // Never destroyed: the mixing thread and late callers may still take it while the process
  // exits.
  static std::recursive_mutex* const mutex = new std::recursive_mutex;
  return *mutex;
}

void EngineLock() { EngineMutex().lock(); }
void EngineUnlock() { EngineMutex().unlock(); }
