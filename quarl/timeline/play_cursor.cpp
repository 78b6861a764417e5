#include <quarl/timeline/play_cursor.h>

#include <platform/clock.h>

PlayCursor::PlayCursor() : clock_(platform::monotonic_ms) {}

void PlayCursor::Start(long position, long end) {
  end_ = end;
  running_ = true;
  Synchronise(position);
}

void PlayCursor::Synchronise(long position) {
  base_tick_ = clock_();
  base_position_ = position;
  position_ = position;
}

void PlayCursor::SetEnd(long end) {
  end_ = end;
  if (end_ < position_) Synchronise(end_);
}

long PlayCursor::Advance() {
  if (!running_) return position_;
  long position = base_position_ + static_cast<long>(clock_() - base_tick_);
  if (position >= end_) {
    position = end_;
    running_ = false;
  }
  position_ = position;
  return position_;
}
