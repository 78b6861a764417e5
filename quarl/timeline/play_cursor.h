#pragma once

#include <cstdint>
#include <functional>

// Where playback is, estimated from the wall clock since the last synchronisation rather than
// asked of the mixer: the window's timer moves it, and play starts and seeks synchronise it.
class PlayCursor {
 public:
  using Clock = std::function<uint64_t()>;

  PlayCursor();

  long Position() const { return position_; }
  long End() const { return end_; }
  bool Running() const { return running_; }
  // The millisecond clock; the monotonic one unless a test gives its own.
  void SetClock(Clock clock) { clock_ = std::move(clock); }

  // From `position` now, running towards `end`.
  void Start(long position, long end);
  void Stop() { running_ = false; }
  // Base tick = now, base position = `position`.
  void Synchronise(long position);
  // An end before the cursor moves the cursor back to it.
  void SetEnd(long end);
  // Base position + time since the base tick while running, clamped at the end, where the
  // cursor stops running. Returns the new position.
  long Advance();

 private:
  Clock clock_;
  long position_ = 0;
  long base_position_ = 0;
  uint64_t base_tick_ = 0;
  long end_ = 0;
  bool running_ = false;
};
