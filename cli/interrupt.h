#pragma once

// Ctrl-C (SIGINT), SIGTERM, SIGHUP (the terminal went away) and SIGPIPE (the reader of a pipe
// went away) set a flag instead of killing the process, so that long work can stop through
// its own cancel path and clean up (a partial output file is deleted).
void InstallInterruptHandler();
bool Interrupted();
// What stopped the work, for the user: "interrupted", "terminated", ...
const char* InterruptReason();
