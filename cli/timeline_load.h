#pragma once

#include <string>

class SessionRootGroup;

// What a command that mixes a session or a single sound (render, play) was given, and the words
// its messages use.
struct TimelineRequest {
  std::string in;        // a session (.sgp) or one sound file
  bool salvage = false;  // go on with what can be read of a damaged session
  const char* command;   // "render": messages start with "quarl-cli render: "
  const char* done;      // "rendered": "...; nothing rendered"
};

// "quarl-cli COMMAND: WHAT: TEXT" on standard error, with the file's text made safe to print.
void ReportCommandProblem(const char* command, const std::string& what, const std::string& text);

// Fills `root` with the time line: a session as stored, or the one sound at 0. False after
// saying on standard error why it cannot be mixed as asked: sounds missing, or a damaged
// session without `salvage`.
bool LoadTimeline(const TimelineRequest& request, SessionRootGroup* root);

// The end of the last sound of a loaded time line in ms, or -1 after saying why nothing would
// be mixed from `from` on: no sound at all, or `from` at or past the end.
long TimelineEndAfter(const TimelineRequest& request, long from, SessionRootGroup* root);
