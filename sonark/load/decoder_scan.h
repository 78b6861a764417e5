#pragma once

#include <platform/wave_format.h>
#include <sonark/load/acm_object.h>
#include <sonark/load/peak_slicer.h>

#include <memory>

class CPeaks;
class CRefObj;

namespace sonark::load {

// What both decoders' load-time scans share: the decoded PCM goes into the peaks (sliced as
// for PCM data), its bytes are counted for the exact length, and the source bytes consumed
// are reported to the progress callback with its pause and cancel answers.
class DecoderScan {
 public:
  DecoderScan(TLoadProgress callback, void* context) : callback_(callback), context_(context) {}
  DecoderScan(const DecoderScan&) = delete;
  DecoderScan& operator=(const DecoderScan&) = delete;
  ~DecoderScan();

  // Starts the peaks of `format` PCM (streaming into a peak file of `source` when writePeaks
  // is set). 0 when out of memory.
  int StartPeaks(CRefObj* source, const tWAVEFORMATEX* format, long msPerPeak, int writePeaks);
  void AddPcm(const unsigned char* data, unsigned long bytes);
  // Tells the callback of `consumed` more source bytes: 0 when the load is to be cancelled.
  int Report(unsigned long consumed);
  // Finishes the peaks with the length; hands them over (null when they were lost).
  CPeaks* FinishPeaks(long lengthMs);
  // Drops the peaks and their unfinished file.
  void DropPeaks();
  uint64_t PcmBytes() const { return pcm_bytes_; }

 private:
  TLoadProgress callback_;
  void* context_;
  CPeaks* peaks_ = nullptr;
  int to_file_ = 0;
  bool peaks_lost_ = false;
  CPeakSlicer slicer_;
  uint64_t pcm_bytes_ = 0;
};

// Milliseconds of `bytes` of `format` PCM, truncated.
long PcmMs(uint64_t bytes, const tWAVEFORMATEX* format);

}  // namespace sonark::load
