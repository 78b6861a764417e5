#pragma once

#include <string>

// The level of one channel as a bar of `width` characters: the loudest sample of the newest
// input (0.0 ... 1.0) on a decibel scale from -60 dB (empty) to full scale (full), the way
// the ear hears loudness.
std::string LevelBar(double level, int width);

// Elapsed time and the level of each channel on one line of standard error, redrawn in place
// while a recording runs, when standard error is a terminal; nothing otherwise.
class RecordMeterLine {
 public:
  RecordMeterLine();
  ~RecordMeterLine();
  RecordMeterLine(const RecordMeterLine&) = delete;
  RecordMeterLine& operator=(const RecordMeterLine&) = delete;

  // `totalMs` is the time the recording is to last, or negative when it runs until stopped.
  // A mono recording shows one bar.
  void Show(long elapsedMs, long totalMs, double left, double right, bool stereo);
  void Clear();

 private:
  bool visible_;
  std::string shown_;  // what the line shows now; empty when nothing
};
