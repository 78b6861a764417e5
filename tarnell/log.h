#pragma once

#include <tarnell/visibility.h>

// The diagnostic log: lines of "HH:MM:SS [N mils] : text" in local time, written under one
// process-wide lock so that any thread may log and every line stays whole. Nothing is written
// until LogInit has named the file and LogOn(1) has switched logging on; the file is then
// created anew (an older log is truncated) at the first line. Each line reaches the file with
// its own write, so a crash loses nothing already logged.

TARNELL_API void LogInit(const char* path);
TARNELL_API void LogDeinit();
TARNELL_API void LogOn(int on);
// 1 when logging is initialised and on.
TARNELL_API int LoggingNow();
TARNELL_API void Log(const char* text);
// Logs the memory situation: how much of the machine's memory is in use, free and total
// physical memory, free and total commit space (memory plus swap that may be promised), free
// and total address space of this process, and the process's resident size and its peak.
TARNELL_API void LogCurrentMemory();

// The clock of the log lines, replaceable so that tests can fix the time.
struct LogTime {
  int hour;
  int minute;
  int second;
  int millisecond;
};
using LogTimeSource = void (*)(LogTime* now);
// Null restores the local clock.
TARNELL_API void LogSetTimeSource(LogTimeSource source);
