#pragma once

#include <string>

// Where a recording goes, checked before the input device is opened.

// Checks `out` as the new file of a recording and makes its folder when that is missing. A
// folder, a device, a FIFO, a link to one of them or to nothing, an existing file without
// `overwrite`, a read-only file or folder, and (when `expectedBytes` is not negative) a
// recording that a wave file or the disk cannot hold are refused: false with `reason` set.
// Otherwise true with `absolute` the path to record to (the folder resolved, the name kept),
// so that a session stores where the recording really is.
bool PrepareRecordTarget(const std::string& out, bool overwrite, double expectedBytes,
                         std::string* absolute, std::string* reason);
