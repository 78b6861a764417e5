#pragma once

// A render holds an open file per streamed sound. The soft limit on open files (often 1,024)
// is raised to the hard one at start; OpenFileLimit is the limit then in force.
void RaiseOpenFileLimit();
long OpenFileLimit();
// Whether this process holds (nearly) as many open files as the limit allows, so that a file
// that could not be opened was refused for that.
bool OpenFilesExhausted();
