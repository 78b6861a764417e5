#pragma once

#include <cstdint>

class CRIFF;

// The bar of an atom on the time line, as the session file keeps it in the atom's "zbar"
// chunk: left and right in milliseconds, top and bottom in pixels.
struct BarRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 1000;
  int32_t bottom = 66;
};

// Bars are 66 pixels high and their tops snap to lanes 72 pixels apart.
constexpr int32_t kBarHeight = 66;
constexpr int32_t kLaneSpacing = 72;

// The bar of an atom that starts at `offset` ms, lasts `length` ms and sits in lane `lane`.
BarRect BarInLane(long offset, long length, int lane);

// Appends the "zbar" chunk (16 bytes: left, top, right, bottom, little-endian); 1 on success.
int WriteBarChunk(CRIFF* riff, const BarRect& bar);

// When the current chunk is "zbar", reads it into `bar` and returns 1; 0 when the current
// chunk is another one, -1 when it is a "zbar" too short or cut off by the end of the file;
// `bar` is untouched unless 1.
int ReadBarChunk(CRIFF* riff, BarRect* bar);
