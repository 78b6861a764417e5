#pragma once

#include <atomic>
#include <string>

class CSoundGroup;

// Watches a session save from another thread: the bytes written so far, and a flag that,
// once set, makes the next write fail so the save stops and the old file stays.
struct SaveWatch {
  std::atomic<long> written{0};
  std::atomic<bool> cancel{false};
};

// Saves the group `root` (the session root, or a group saved as a session of its own) to
// `path` by reference, so that the file on the disk is always either the old
// session or the whole new one: the session goes to a temporary file beside the target, which
// is flushed to the disk and renamed over it only when the save succeeded. False with `error`
// set otherwise (the sound that cannot be stored named first); `watch` may be null.
bool SaveSessionFile(CSoundGroup* root, const std::string& path, std::string* error,
                     SaveWatch* watch = nullptr);
