#pragma once

#include <string>

// What the commands that write sound files check before they start.

// A wave file holds at most 4 GB.
constexpr double kWaveFileLimitBytes = 4294967295.0;
// Headers, an information list or tags, and what the file system rounds up, on top of the
// sound data.
constexpr double kFileOverheadBytes = 4096.0;

// "12 KB", "3.4 MB": small sizes keep enough digits to tell what is needed from what is free.
std::string SizeText(double bytes);

// Bytes free for this user on the disk that holds `folder`; negative when that cannot be told.
double FreeBytes(const std::string& folder);
