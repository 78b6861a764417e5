#pragma once

#include <cstdio>
#include <string>

// What `quarl-cli render` was asked to do.
struct RenderOptions {
  std::string in;
  std::string out;
  long from = 0;  // ms
  long to = -1;   // ms; -1: the end of the last sound
  long rate = 0;  // 0: the session's own format
  long channels = 0;
  long bits = 0;
  bool salvage = false;  // render what is readable of a damaged session
};

void PrintRenderUsage(FILE* out);

// Reads the arguments after `render`. Returns -1 to go on with `options` filled, else the exit
// status to end with: 0 after --help, 2 after a usage error (explained on one line).
int ParseRenderOptions(int argc, char** argv, RenderOptions* options);
