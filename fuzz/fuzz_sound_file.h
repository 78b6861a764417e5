#pragma once

#include <sonark/temp_paths.h>
#include <stdlib.h>

#include <cstdlib>
#include <string>

// A scratch folder for the sound file a fuzz target writes its input to, with the engine's
// side files kept below it. Made once per process.
struct FuzzSoundFile {
  std::string dir;
  std::string sound;
  explicit FuzzSoundFile(const char* name) {
    char pattern[] = "/tmp/sound-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    dir = made;
    sound = dir + "/" + name;
    SetTempSndPath((dir + "/cache").c_str());
  }
};
