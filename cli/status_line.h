#pragma once

#include <string>

// "m:ss.t" of a time in milliseconds (negative counts as 0).
std::string Clock(long ms);

// One line of standard error that a running command redraws in place (a play position, a
// recording's time and levels), when standard error is a terminal; nothing otherwise. Cleared
// when it goes.
class StatusLine {
 public:
  StatusLine();
  ~StatusLine();
  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;

  // Redraws the line with `text` unless it shows that already.
  void Show(std::string text);
  void Clear();

 private:
  bool visible_;
  std::string shown_;  // what the line shows now; empty when nothing
};
