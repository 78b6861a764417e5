#pragma once

#include <QTemporaryDir>
#include <cstdlib>

// A running program of its own for a test: its settings store and cache in `folder`, and the
// null sound device.
inline void UseOwnProgramEnvironment(const QTemporaryDir& folder) {
  setenv("QUARL_REGISTRY", folder.filePath("registry.reg").toUtf8().constData(), 1);
  setenv("XDG_CACHE_HOME", folder.filePath("cache").toUtf8().constData(), 1);
  setenv("QUARL_AUDIO", "null", 1);
}
