#pragma once

#include <cstdint>
#include <cstdio>

// A one-line progress bar on standard error, drawn only when standard error is a terminal
// and redrawn at most ten times a second.
class ProgressBar {
 public:
  explicit ProgressBar(const char* label);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // `done` of `total` units; a total of 0 shows the amount alone.
  void Update(double done, double total);
  // Clears the line.
  void Finish();

 private:
  const char* label_;
  bool visible_;
  bool drawn_ = false;
  uint64_t last_draw_ms_ = 0;
};
