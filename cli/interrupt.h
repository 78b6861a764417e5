#pragma once

// Ctrl-C (SIGINT) and SIGTERM set a flag instead of killing the process, so that long work
// can stop through its own cancel path and clean up (a partial output file is deleted).
void InstallInterruptHandler();
bool Interrupted();
