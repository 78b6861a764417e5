#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/load/peak_slicer.h>
#include <sonark/containers/my_array_list.h>
#include <sonark/load/peaks.h>
#include <sonark/render/buffer_format.h>

#include <algorithm>
#include <cstring>

int CPeakSlicer::Init(CPeaks* peaks, const tWAVEFORMATEX* format, unsigned long msPerPeak) {
  if (peaks == nullptr || !Start(format, msPerPeak)) return 0;
  peaks_ = peaks;
  return 1;
}

int CPeakSlicer::Init(CMyArrayList* values, const tWAVEFORMATEX* format, unsigned long msPerPeak) {
  if (values == nullptr || !Start(format, msPerPeak)) return 0;
  values_ = values;
  return 1;
}

int CPeakSlicer::Start(const tWAVEFORMATEX* format, unsigned long msPerPeak) {
  peaks_ = nullptr;
  values_ = nullptr;
  if (format == nullptr || msPerPeak == 0 ||
      format->wFormatTag != kWaveFormatPcm ||
      (format->wBitsPerSample != 8 && format->wBitsPerSample != 16) ||
      (format->nChannels != 1 && format->nChannels != 2) || format->nSamplesPerSec == 0) {
    platform::set_last_error(sonark::kErrPeakArgument);
    return 0;
  }
  owed_milli_ = 0;
  max_left_ = 0;
  max_right_ = 0;
  in_slice_ = 0;
  slice_max_ = 0;
  carried_max_ = 0;
  carried_ = false;
  partial_fill_ = 0;
  format_ = *format;
  // The frame as the samples really lie, whatever the record's own block align says.
  frame_ = format->nChannels * (format->wBitsPerSample / 8u);
  format_.nBlockAlign = static_cast<uint16_t>(frame_);
  format_.nAvgBytesPerSec = frame_ * format->nSamplesPerSec;
  exact_milli_ = static_cast<uint64_t>(format_.nAvgBytesPerSec) * msPerPeak;
  const uint64_t whole = exact_milli_ / 1000 - (exact_milli_ / 1000) % frame_;
  if (whole == 0) {
    // Less than a frame per peak: one frame each, nothing to make up.
    whole_ = frame_;
    lost_milli_ = 0;
  } else {
    whole_ = static_cast<unsigned long>(whole);
    lost_milli_ = exact_milli_ - whole * 1000;
  }
  return 1;
}

int CPeakSlicer::Add(const void* data, unsigned long size) {
  if (peaks_ == nullptr && values_ == nullptr) {
    platform::set_last_error(sonark::kErrPeakArgument);
    return 0;
  }
  auto p = static_cast<const unsigned char*>(data);
  if (p == nullptr) return size == 0 ? 1 : 0;
  // A frame split between two calls is put together first.
  if (partial_fill_ > 0) {
    const unsigned long take = std::min(frame_ - partial_fill_, size);
    std::memcpy(partial_ + partial_fill_, p, take);
    partial_fill_ += take;
    p += take;
    size -= take;
    if (partial_fill_ < frame_) return 1;
    partial_fill_ = 0;
    if (!Slice(partial_, frame_)) return 0;
  }
  const unsigned long frames = size - size % frame_;
  for (unsigned long done = 0; done < frames;) {
    const unsigned long n = std::min(whole_ - in_slice_, frames - done);
    if (!Slice(p + done, n)) return 0;
    done += n;
  }
  partial_fill_ = size - frames;
  std::memcpy(partial_, p + frames, partial_fill_);
  return 1;
}

int CPeakSlicer::Flush() {
  if (peaks_ == nullptr && values_ == nullptr) {
    platform::set_last_error(sonark::kErrPeakArgument);
    return 0;
  }
  partial_fill_ = 0;
  if (in_slice_ == 0 && !carried_) return 1;
  const long maximum = std::max(slice_max_, carried_max_);
  in_slice_ = 0;
  slice_max_ = 0;
  carried_max_ = 0;
  carried_ = false;
  return Emit(maximum);
}

// `data` holds whole frames that fit the current slice.
int CPeakSlicer::Slice(const unsigned char* data, unsigned long size) {
  if (peaks_ != nullptr) {
    // The peaks keep their channel maxima themselves.
    const auto from = reinterpret_cast<const char*>(data);
    slice_max_ = std::max(slice_max_, peaks_->CheckMaxPeaks(from, from + size, &format_));
  } else {
    long left = 0;
    long right = 0;
    GetMaxSample(data, data + size, &format_, left, right);
    max_left_ = std::max(max_left_, left);
    max_right_ = std::max(max_right_, right);
    slice_max_ = std::max({slice_max_, left, right});
  }
  in_slice_ += size;
  return in_slice_ == whole_ ? CloseSlice() : 1;
}

int CPeakSlicer::CloseSlice() {
  const long maximum = slice_max_;
  in_slice_ = 0;
  slice_max_ = 0;
  if (lost_milli_ > 0) {
    owed_milli_ += lost_milli_;
    if (owed_milli_ >= exact_milli_) {
      owed_milli_ = 0;
      carried_max_ = std::max(carried_max_, maximum);
      carried_ = true;
      return 1;
    }
  }
  const long merged = std::max(maximum, carried_max_);
  carried_max_ = 0;
  carried_ = false;
  return Emit(merged);
}

int CPeakSlicer::Emit(long maximum) {
  const long scaled = std::min(255L, maximum * 255 / 32767);
  if (values_ != nullptr) {
    const int before = values_->Count();
    values_->AppendToTail(reinterpret_cast<void*>(static_cast<uintptr_t>(scaled)), 0);
    if (values_->Count() > before) return 1;
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  return peaks_->StreamPeakFromParse(static_cast<unsigned char>(scaled), 1);
}
