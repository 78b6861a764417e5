#pragma once

#include <string>
#include <vector>

class BarSound;
class SessionRootGroup;

// Sounds and sessions as quarl-cli reads and writes them.

// A sound that could not be loaded: the path (or the atom's name) and the reason.
struct LoadProblem {
  std::string what;
  std::string reason;
};

// Milliseconds of peaks per slice for the sounds the command line loads.
constexpr long kCliMsPerPeak = 10;

// Points the engine's side files (peaks, seek maps) at a folder of this user's own in the
// system's temporary directory ($TMPDIR, else /tmp), as the program does by default, rather
// than beside the sound files. Left as it is when that folder cannot be made ours.
void UseTemporarySideFileFolder();

// The text for an engine error code ("file not found", ...).
std::string DescribeError(unsigned long code);

// Loads one sound file; null with `problem` filled when it cannot be loaded.
BarSound* LoadSound(const std::string& path, LoadProblem* problem);

// Whether the file is a session (a RIFF form of type "sess").
bool IsSessionFile(const std::string& path);

// Opens a session into `root`; sounds that cannot be loaded are left out and listed in
// `problems`. False with `error` set when the session itself cannot be read.
bool OpenSession(const std::string& path, SessionRootGroup* root,
                 std::vector<LoadProblem>* problems, std::string* error);

// Saves `root` to `path` so that an existing file is never left half-written.
bool SaveSession(SessionRootGroup* root, const std::string& path, std::string* error);

// The end of the last sound of `root` on the time line (its offsets are kept as given).
long SessionEnd(SessionRootGroup* root);
