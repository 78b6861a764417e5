#pragma once

#include <string>

// The level of one channel as a bar of `width` characters: the loudest sample of the newest
// input (0.0 ... 1.0) on a decibel scale from -60 dB (empty) to full scale (full), the way
// the ear hears loudness.
std::string LevelBar(double level, int width);

// The status line of a recording: "recording 0:12.3 / 0:30.0  L ####----  R ###-----".
// `totalMs` is the time the recording is to last, or negative when it runs until stopped; a
// mono recording shows one bar.
std::string RecordMeterText(long elapsedMs, long totalMs, double left, double right, bool stereo);
