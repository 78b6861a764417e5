#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/load/peak_file_format.h>
#include <sonark/load/peak_record.h>
#include <sonark/load/peaks.h>
#include <sonark/containers/my_array_list.h>
#include <sonark/render/buffer_format.h>
#include <sonark/thresholds.h>
#include <strings.h>
#include <tarnell/file_obj.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

using Lock = std::lock_guard<std::recursive_mutex>;

using sonark::Fail;

namespace {

bool IsRateDisplayFile(const char* path) {
  const char* dot = std::strrchr(path, '.');
  return dot != nullptr && std::strchr(dot, '/') == nullptr && strcasecmp(dot + 1, "grd") == 0;
}

}  // namespace

namespace sonark::peaks_internal {

void ReleaseRecord(_tPeakRecord* record) {
  if (record == nullptr) return;
  bool last = false;
  {
    Lock hold(record->lock);
    last = --record->references <= 0;
  }
  if (!last) return;
  if (record->peakFilePath[0] != '\0' && IsRateDisplayFile(record->peakFilePath)) {
    std::remove(record->peakFilePath);
  }
  delete record;
}

}  // namespace sonark::peaks_internal

CPeaks::CPeaks() = default;

CPeaks::CPeaks(unsigned long msPerPeak, long numPeaks) { InitPeakData(msPerPeak, numPeaks, 0); }

CPeaks::~CPeaks() {
  // An unfinished peak file must not be taken for a cache later.
  if (writing_) {
    DiscardPeakFile();
  } else {
    CloseReadFile();
  }
  ReleaseRecord();
}

void CPeaks::ReleaseRecord() {
  if (record_ == nullptr) return;
  if (conserving_) {
    Lock hold(record_->lock);
    --record_->unloadCount;
  }
  conserving_ = false;
  sonark::peaks_internal::ReleaseRecord(record_);
  record_ = nullptr;
}

void CPeaks::AdoptRecord(_tPeakRecord* record) {
  ReleaseRecord();
  record_ = record;
  virtual_start_ = 0;
  current_index_ = 0;
  streamed_count_ = 0;
  build_failed_ = false;
  last_peak_ = 0;
}

CPeaks* CPeaks::Copy() {
  auto* copy = new (std::nothrow) CPeaks;
  if (copy == nullptr) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return nullptr;
  }
  if (record_ != nullptr) {
    Lock hold(record_->lock);
    ++record_->references;
    copy->record_ = record_;
    copy->virtual_start_ = virtual_start_;
  }
  return copy;
}

CPeaks* CPeaks::Copy(long offset, int relative) {
  CPeaks* copy = Copy();
  if (copy == nullptr || record_ == nullptr) return copy;
  unsigned long count = 0;
  {
    Lock hold(record_->lock);
    count = record_->numPeaks;
  }
  __int128 start = offset;
  if (relative) start += virtual_start_;
  if (count > 0) {
    start %= count;
    if (start < 0) start += count;
  } else if (start < 0) {
    start = 0;
  }
  copy->virtual_start_ = static_cast<unsigned long>(start);
  return copy;
}

int CPeaks::Clone(CPeaks& into) {
  if (record_ == nullptr) return Fail(sonark::kErrNoPeaks);
  auto* clone = new (std::nothrow) _tPeakRecord;
  if (clone == nullptr) return Fail(sonark::kErrOutOfMemory);
  {
    Lock hold(record_->lock);
    const _tPeakRecord& r = *record_;
    clone->peakData.reset(new (std::nothrow) unsigned char[std::max(r.bufferedPeaks, 1UL)]());
    if (!clone->peakData) {
      delete clone;
      return Fail(sonark::kErrOutOfMemory);
    }
    clone->lengthOfSound = r.lengthOfSound;
    clone->autoTrimStart = r.autoTrimStart;
    clone->autoTrimEnd = r.autoTrimEnd;
    clone->msPerPeak = r.msPerPeak;
    clone->numPeaks = r.numPeaks;
    clone->bufferedPeaks = r.bufferedPeaks;
    clone->capacity = std::max(r.bufferedPeaks, 1UL);
    clone->fractionalAmps = r.fractionalAmps;
    clone->maxRight = r.maxRight;
    clone->maxLeft = r.maxLeft;
    clone->loaded = 1;
    clone->soundStarted = r.soundStarted;
    clone->trimEndFixed = r.trimEndFixed;
    clone->totalSilence = r.totalSilence;
    clone->partialSong = r.partialSong;
    clone->streaming = r.streaming;
  }
  into.AdoptRecord(clone);
  return 1;
}

unsigned long CPeaks::DetermineBufferSize(long msPerPeak) {
  unsigned long ms = 0;
  if (msPerPeak > 0) {
    ms = static_cast<unsigned long>(msPerPeak);
    if (record_ != nullptr) {
      Lock hold(record_->lock);
      record_->msPerPeak = ms;
    }
  } else if (record_ != nullptr) {
    Lock hold(record_->lock);
    ms = record_->msPerPeak;
  }
  return sonark::peakfile::BufferSizeFor(ms);
}

int CPeaks::InitPeakData(unsigned long msPerPeak, long numPeaks, int all) {
  if (msPerPeak == 0) return Fail(sonark::kErrPeakArgument);
  auto* record = new (std::nothrow) _tPeakRecord;
  if (record == nullptr) return Fail(sonark::kErrOutOfMemory);
  const unsigned long bufferSize = sonark::peakfile::BufferSizeFor(msPerPeak);
  record->msPerPeak = msPerPeak;
  if (numPeaks < 0) {
    record->bufferedPeaks = bufferSize;
    record->streaming = -1;
  } else {
    const auto count = static_cast<unsigned long>(numPeaks);
    const bool whole = count <= bufferSize || all;
    record->numPeaks = count;
    record->bufferedPeaks = whole ? count : bufferSize;
    record->streaming = whole ? 0 : 1;
  }
  record->capacity = std::max(record->bufferedPeaks, 1UL);
  record->peakData.reset(new (std::nothrow) unsigned char[record->capacity]());
  if (!record->peakData) {
    delete record;
    return Fail(sonark::kErrOutOfMemory);
  }
  record->loaded = 1;
  if (writing_) {
    DiscardPeakFile();
  } else {
    CloseReadFile();
  }
  AdoptRecord(record);
  return 1;
}

int CPeaks::InitStreamPeaksFromParse(int* toFile, CRefObj* source) {
  if (record_ == nullptr) {
    if (toFile != nullptr) *toFile = 0;
    return Fail(sonark::kErrNoPeaks);
  }
  {
    Lock hold(record_->lock);
    record_->soundStarted = 0;
    record_->trimEndFixed = 0;
  }
  current_index_ = 0;
  streamed_count_ = 0;
  build_failed_ = false;
  last_peak_ = 0;
  bool toDisk = toFile != nullptr && *toFile && source != nullptr && (source->Type() & 1) &&
                InitPeaksToFile(source);
  if (toFile != nullptr) *toFile = toDisk ? 1 : 0;
  return 1;
}

int CPeaks::GrowBuffer() {
  _tPeakRecord& r = *record_;
  const unsigned long grown = std::max(r.capacity * 2, 100UL);
  std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[grown]());
  if (!data) return Fail(sonark::kErrOutOfMemory);
  if (r.peakData) std::memcpy(data.get(), r.peakData.get(), r.bufferedPeaks);
  r.peakData = std::move(data);
  r.capacity = grown;
  r.bufferedPeaks = grown;
  return 1;
}

int CPeaks::StorePeak(unsigned char peak, bool analyse) {
  if (record_ == nullptr) return Fail(sonark::kErrNoPeaks);
  if (build_failed_) return Fail(sonark::kErrPeakFileWrite);
  Lock hold(record_->lock);
  _tPeakRecord& r = *record_;
  // Without a peak file nothing may be overwritten: the buffer grows instead of wrapping.
  if (current_index_ >= r.bufferedPeaks && !GrowBuffer()) {
    build_failed_ = true;
    return 0;
  }
  r.peakData[current_index_] = peak;
  if (analyse) {
    CheckForAutoTrimSilence();
    last_peak_ = peak;
  }
  ++current_index_;
  ++streamed_count_;
  if (current_index_ == r.bufferedPeaks && writing_) {
    if (!StreamPeaksToFile(current_index_)) {
      build_failed_ = true;
      return 0;
    }
    current_index_ = 0;
  }
  return 1;
}

int CPeaks::StreamPeakFromParse(unsigned char peak, int /*toFile: the object knows*/) {
  return StorePeak(peak, true);
}

int CPeaks::FinishPeaksFromParse(long lengthMs, int toFile) {
  return FinishPeaksFromParse(streamed_count_, lengthMs, toFile);
}

int CPeaks::FinishPeaksFromParse(unsigned long numPeaks, long lengthMs, int /*toFile*/) {
  if (record_ == nullptr) return Fail(sonark::kErrNoPeaks);
  if (build_failed_) {
    if (writing_) DiscardPeakFile();
    return Fail(sonark::kErrPeakFileWrite);
  }
  Lock hold(record_->lock);
  _tPeakRecord& r = *record_;
  const bool any = streamed_count_ > 0;
  const unsigned char last = last_peak_;
  // A count beyond the peaks seen: the missing ones are silent, so that file and memory agree.
  while (streamed_count_ < numPeaks) {
    if (!StorePeak(0, false)) {
      if (writing_) DiscardPeakFile();
      return 0;
    }
  }
  if (writing_ && current_index_ > 0 && !StreamPeaksToFile(current_index_)) {
    build_failed_ = true;
    return 0;
  }
  const unsigned long count = streamed_count_;
  r.numPeaks = count;
  if (count <= r.bufferedPeaks) {
    r.streaming = 0;
    r.bufferedPeaks = count;
  } else {
    r.streaming = 1;
  }
  if (any) CheckForPartialSong(last);
  r.lengthOfSound = lengthMs;
  r.soundStarted = 1;
  r.trimEndFixed = 1;
  r.fractionalAmps =
      static_cast<double>(count) - static_cast<double>(lengthMs) / static_cast<double>(r.msPerPeak);
  if (writing_ && !FinishPeaksToFile() && r.streaming == 1) {
    // Only a window was in memory: without the file the peaks are gone.
    r.loaded = 0;
    return 0;
  }
  r.loaded = 1;
  return 1;
}

long CPeaks::CheckMaxPeaks(const char* from, const char* to, const tWAVEFORMATEX* format) {
  long left = 0;
  long right = 0;
  GetMaxSample(reinterpret_cast<const unsigned char*>(from),
               reinterpret_cast<const unsigned char*>(to), format, left, right);
  if (record_ != nullptr) {
    Lock hold(record_->lock);
    record_->maxLeft = std::max(record_->maxLeft, left);
    record_->maxRight = std::max(record_->maxRight, right);
  }
  return std::max(left, right);
}

int CPeaks::LoadPeaksFromArrayList(CMyArrayList& list, unsigned long msPerPeak, long lengthMs,
                                   long maxLeft, long maxRight, CRefObj* source) {
  if (!InitPeakData(msPerPeak, -1, 0)) return 0;
  int toFile = 1;
  InitStreamPeaksFromParse(&toFile, source);
  const int count = list.Count();
  for (int i = 0; i < count; ++i) {
    const auto value = reinterpret_cast<uintptr_t>(list.Index(i));
    if (!StreamPeakFromParse(static_cast<unsigned char>(std::min<uintptr_t>(value, 255)), toFile)) {
      break;
    }
  }
  SetMaxPeaks(maxLeft, maxRight);
  if (!FinishPeaksFromParse(static_cast<unsigned long>(count), lengthMs, toFile)) {
    const uint32_t error = platform::last_error();
    ReleaseRecord();
    platform::set_last_error(error);
    return 0;
  }
  return 1;
}

void CPeaks::CheckForAutoTrimSilence() {
  if (record_ == nullptr) return;
  Lock hold(record_->lock);
  _tPeakRecord& r = *record_;
  const unsigned char peak =
      current_index_ < r.bufferedPeaks && r.peakData ? r.peakData[current_index_] : 0;
  const long at = static_cast<long>(streamed_count_ * r.msPerPeak);
  const bool loud = peak > GetSilenceThreshold();
  if (!r.soundStarted) {
    r.autoTrimStart = at;
    if (!r.trimEndFixed) r.autoTrimEnd = at;
    if (loud) {
      r.soundStarted = 1;
      r.totalSilence = 0;
    } else {
      r.totalSilence = 1;
    }
  } else if (loud) {
    r.autoTrimEnd = at;
  }
}

void CPeaks::CheckForPartialSong(unsigned char lastPeak) {
  if (record_ == nullptr) return;
  Lock hold(record_->lock);
  if (static_cast<int>(lastPeak) > GetPartialSongThreshold()) record_->partialSong = 1;
}

void CPeaks::SetMaxPeaks(long left, long right) {
  if (record_ == nullptr) return;
  Lock hold(record_->lock);
  record_->maxLeft = left;
  record_->maxRight = right;
}

#define PEAK_GETTER(type, name, expr, fallback) \
  type CPeaks::name() {                         \
    if (record_ == nullptr) return fallback;    \
    Lock hold(record_->lock);                   \
    const _tPeakRecord& r = *record_;           \
    return expr;                                \
  }

PEAK_GETTER(long, LengthOfSound, r.lengthOfSound, 0)
PEAK_GETTER(long, GetAutoTrimTimeStart, r.autoTrimStart, 0)
PEAK_GETTER(long, GetAutoTrimTimeEnd, r.autoTrimEnd, 0)
PEAK_GETTER(long, References, r.references, 1)
PEAK_GETTER(unsigned long, NumMilsPerPeak, r.msPerPeak, 0)
PEAK_GETTER(unsigned long, GetNumPeaks, r.loaded ? r.numPeaks : 0, 0)
PEAK_GETTER(unsigned long, GetBufferedPeaks, r.bufferedPeaks, 0)
PEAK_GETTER(unsigned char*, GetDataPtr, r.loaded ? r.peakData.get() : nullptr, nullptr)
PEAK_GETTER(double, GetFractionalAmps, r.fractionalAmps, 0.0)
PEAK_GETTER(int, WroteToDisk, r.wroteToDisk, 0)
PEAK_GETTER(long, GetMaxRight, r.maxRight, 0)
PEAK_GETTER(long, GetMaxLeft, r.maxLeft, 0)
PEAK_GETTER(int, IsTotalSilence, r.totalSilence, 0)
PEAK_GETTER(int, IsPartialSong, r.partialSong, 0)
PEAK_GETTER(int, IsStreaming, r.streaming, 0)
PEAK_GETTER(int, IsLoaded, r.loaded, 0)
PEAK_GETTER(int, IsReloading, r.reloading, 0)

#undef PEAK_GETTER

void CPeaks::SetWroteToDiskFlag(int flag) {
  if (record_ == nullptr) return;
  Lock hold(record_->lock);
  record_->wroteToDisk = flag;
}

int CPeaks::GetPeakFilePath(char* out, unsigned long size) {
  if (out == nullptr || size == 0) return Fail(sonark::kErrPeakArgument);
  out[0] = '\0';
  if (record_ == nullptr) return 1;
  Lock hold(record_->lock);
  const size_t length = std::strlen(record_->peakFilePath);
  if (length >= size) return Fail(sonark::kErrSidePathTooLong);
  std::memcpy(out, record_->peakFilePath, length + 1);
  return 1;
}

unsigned long CPeaks::GetVirtualStart() { return virtual_start_; }
void CPeaks::SetVirtualStart(unsigned long start) { virtual_start_ = start; }
unsigned long CPeaks::GetCurrentIndex() { return current_index_; }
unsigned long CPeaks::GetStreamedCount() { return streamed_count_; }
