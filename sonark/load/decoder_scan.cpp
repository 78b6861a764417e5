#include <sonark/load/decoder_scan.h>
#include <sonark/load/peaks.h>

#include <new>

namespace sonark::load {

DecoderScan::~DecoderScan() { DropPeaks(); }

int DecoderScan::StartPeaks(CRefObj* source, const tWAVEFORMATEX* format, long msPerPeak,
                            int writePeaks) {
  DropPeaks();
  if (msPerPeak < 1) return 0;
  peaks_ = new (std::nothrow) CPeaks(static_cast<unsigned long>(msPerPeak), -1);
  if (peaks_ == nullptr || peaks_->GetDataPtr() == nullptr) {
    DropPeaks();
    return 0;
  }
  to_file_ = writePeaks;
  peaks_->InitStreamPeaksFromParse(&to_file_, source);
  if (!slicer_.Init(peaks_, format, static_cast<unsigned long>(msPerPeak))) {
    DropPeaks();
    return 0;
  }
  peaks_lost_ = false;
  return 1;
}

void DecoderScan::AddPcm(const unsigned char* data, unsigned long bytes) {
  pcm_bytes_ += bytes;
  if (peaks_ != nullptr && !peaks_lost_ && bytes > 0 && !slicer_.Add(data, bytes)) {
    peaks_lost_ = true;
  }
}

int DecoderScan::Report(unsigned long consumed) {
  if (callback_ == nullptr) return 1;
  int answer = callback_(consumed, context_);
  while (answer == -1) answer = callback_(0, context_);
  return answer != 0 ? 1 : 0;
}

CPeaks* DecoderScan::FinishPeaks(long lengthMs) {
  if (peaks_ == nullptr) return nullptr;
  // Peaks that could not be kept leave the sound without a waveform, not without sound.
  if (peaks_lost_ || !slicer_.Flush() || !peaks_->FinishPeaksFromParse(lengthMs, to_file_)) {
    DropPeaks();
    return nullptr;
  }
  CPeaks* peaks = peaks_;
  peaks_ = nullptr;
  return peaks;
}

void DecoderScan::DropPeaks() {
  // The destructor deletes a peak file left unfinished.
  delete peaks_;
  peaks_ = nullptr;
}

long PcmMs(uint64_t bytes, const tWAVEFORMATEX* format) {
  if (format == nullptr || format->nAvgBytesPerSec == 0) return 0;
  return static_cast<long>(static_cast<double>(bytes) * 1000.0 / format->nAvgBytesPerSec);
}

}  // namespace sonark::load
