#pragma once

#include <sonark/visibility.h>

#include <cstdint>
#include <vector>

namespace sonark::mpeg {

// Turns the engine's frames (native rate and channels, 16-bit) into the sound's output PCM:
// gapless trimming, channel change and rate change, all by absolute sample position. Output
// sample j is taken at native position begin + j x inRate / outRate (linear interpolation
// between the two native samples around it, exact when the rates are equal), and exists
// while that position lies before the end. Because every output sample is a function of its
// own position and of native samples alone, a decode restarted anywhere (with the frames in
// front that the decoder needs) gives the very bytes of a decode from the start.
class SONARK_API PcmShaper {
 public:
  // begin: native samples dropped at the start; end: native sample where the sound ends
  // (-1: where the data ends).
  void Configure(long inRate, long outRate, int outChannels, int64_t begin, int64_t end);
  // Output starts at output sample `first`; the next frame fed is the restart frame.
  void Restart(int64_t first);
  // Adds one frame whose first sample is native sample `nativeStart`, writing the output
  // samples it completes to `out`.
  void AddFrame(int64_t nativeStart, const int16_t* samples, long count, int channels,
                std::vector<unsigned char>& out);
  // At the end of the data: the samples still owed up to the last native sample.
  void Flush(std::vector<unsigned char>& out);

  // The next output sample to be written.
  int64_t NextOutput() const { return next_; }
  int OutputChannels() const { return out_channels_; }
  // The first output sample that needs native sample `native` or a later one: where a frame
  // starting there begins in the output (never below 0).
  int64_t FirstOutputAt(int64_t native) const;

 private:
  void Emit(int32_t left, int32_t right, std::vector<unsigned char>& out) const;

  int64_t in_rate_ = 1;
  int64_t out_rate_ = 1;
  int out_channels_ = 2;
  int64_t begin_ = 0;
  int64_t end_ = -1;
  int64_t next_ = 0;      // output sample
  int64_t received_ = 0;  // native samples seen (index of the next one)
  bool have_previous_ = false;
  int64_t previous_index_ = -1;
  int32_t previous_left_ = 0;
  int32_t previous_right_ = 0;
};

}  // namespace sonark::mpeg
