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

// The text for an engine error code ("file not found", ...).
std::string DescribeError(unsigned long code);

// Loads one sound file; null with `problem` filled when it cannot be loaded.
BarSound* LoadSound(const std::string& path, LoadProblem* problem);

// Whether the file is a session (a RIFF form of type "sess").
bool IsSessionFile(const std::string& path);

// What opening a session found wrong, for the user to see. `what` names the sound or the
// place in the session ("group \"Drums\", sub-atom 3 of 5"), `reason` says why.
struct SessionReport {
  // Sounds left out because their files could not be loaded.
  std::vector<LoadProblem> missing;
  // Damaged records of the session file that were skipped (a whole sub-atom, a wrong count,
  // a tail cut short): what was loaded is only part of the session.
  std::vector<LoadProblem> skipped;
  // Sounds whose file changed since the session was saved (its size or its sound's length
  // differs from what the session recorded); they are loaded as the file is now.
  std::vector<LoadProblem> changed;

  // The tree is a recovered copy of a damaged session: render it only when the user asks,
  // and never save it over the original without the user choosing so.
  bool Damaged() const { return !skipped.empty(); }
};

// Opens a session into `root`, loading everything that can be read: sounds that cannot be
// loaded and damaged records are left out, and listed in `report` with the sounds whose files
// changed. False with `error` set when nothing of the session can be read.
[[nodiscard]] bool OpenSession(const std::string& path, SessionRootGroup* root,
                               SessionReport* report, std::string* error);

// As above, for callers that do not salvage: a damaged session is refused (false, `error`
// says what was damaged), and only the missing sounds are listed in `problems`.
[[nodiscard]] bool OpenSession(const std::string& path, SessionRootGroup* root,
                               std::vector<LoadProblem>* problems, std::string* error);

// Saves `root` to `path` so that an existing file is never left half-written.
bool SaveSession(SessionRootGroup* root, const std::string& path, std::string* error);

// The end of the last sound of `root` on the time line (its offsets are kept as given).
long SessionEnd(SessionRootGroup* root);
