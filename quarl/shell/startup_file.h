#pragma once

#include <string>

// What a file named on the command line is opened as. A RIFF file's form type decides,
// whatever its name: "sess" is a session, "WAVE" and "RMP3" a sound, any other form nothing. A file that
// is not RIFF is a playlist when its name ends in "m3u", "pls" or "pl" (in any case) and a
// sound otherwise.
enum class StartFileKind {
  kNothing,  // missing, not a regular file, or a RIFF file of another form
  kSession,
  kSound,
  kPlaylist,
};

StartFileKind ClassifyStartFile(const std::string& path);
