#pragma once

#include <sonark/temp_paths.h>
#include <tarnell/file_obj.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
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

  // Writes the fuzz input as the sound file and opens it for reading (the caller holds the
  // one reference).
  CFileObj* Open(const uint8_t* data, size_t size) const {
    {
      std::ofstream out(sound, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    auto* file = new CFileObj;
    if (!file->Open(sound.c_str(), 0, 0)) std::abort();
    return file;
  }
};
