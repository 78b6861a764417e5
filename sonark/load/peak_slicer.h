#pragma once

#include <platform/wave_format.h>
#include <sonark/visibility.h>

#include <cstdint>

class CMyArrayList;
class CPeaks;

// Cuts a stream of linear PCM into the slices of a peak display and streams one peak per
// slice into a CPeaks (which must have been started with InitStreamPeaksFromParse), or
// appends it to a list of values (a recording collects its peaks so while it grows).
//
// A slice is the exact number of bytes per peak (bytes per second x ms per peak / 1000)
// rounded down to whole frames. The bytes that rounding loses are counted, in thousandths of
// a byte so the count is exact; when they add up to a whole exact slice, the slice just
// closed yields no peak of its own and its loudness goes into the next one. So on average one
// peak covers exactly the exact number of bytes, and no loud moment is dropped.
//
// Data may come in pieces of any size: slices and frames continue across calls.
class SONARK_API CPeakSlicer {
 public:
  CPeakSlicer() = default;
  CPeakSlicer(const CPeakSlicer&) = delete;
  CPeakSlicer& operator=(const CPeakSlicer&) = delete;

  // 0 (EINVAL) unless the format is 8- or 16-bit PCM of 1 or 2 channels at a positive rate
  // and msPerPeak is positive.
  int Init(CPeaks* peaks, const tWAVEFORMATEX* format, unsigned long msPerPeak);
  // The same, appending each peak to `values` (the value stored in the item pointer, as
  // CPeaks::LoadPeaksFromArrayList takes them).
  int Init(CMyArrayList* values, const tWAVEFORMATEX* format, unsigned long msPerPeak);
  // 1, or 0 when the peaks refused a peak (their peak file failed).
  int Add(const void* data, unsigned long size);
  // Closes the last, shorter slice (and a loudness still carried) as one more peak. A partial
  // frame at the very end is ignored.
  int Flush();

  unsigned long WholeBytesPerPeak() const { return whole_; }
  // The loudest left and right sample (16-bit magnitudes) sliced so far into a list (peaks
  // keep their own).
  long MaxLeft() const { return max_left_; }
  long MaxRight() const { return max_right_; }
  double ExactBytesPerPeak() const { return static_cast<double>(exact_milli_) / 1000.0; }

 private:
  int Start(const tWAVEFORMATEX* format, unsigned long msPerPeak);
  int Slice(const unsigned char* data, unsigned long size);
  int CloseSlice();
  int Emit(long maximum);

  CPeaks* peaks_ = nullptr;
  CMyArrayList* values_ = nullptr;
  long max_left_ = 0;
  long max_right_ = 0;
  tWAVEFORMATEX format_{};
  unsigned long frame_ = 0;
  unsigned long whole_ = 0;
  uint64_t exact_milli_ = 0;
  uint64_t lost_milli_ = 0;  // per slice
  uint64_t owed_milli_ = 0;  // accumulated
  unsigned long in_slice_ = 0;
  long slice_max_ = 0;
  long carried_max_ = 0;
  bool carried_ = false;
  unsigned char partial_[4] = {};
  unsigned long partial_fill_ = 0;
};
