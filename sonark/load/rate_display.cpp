#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/load/peak_file_format.h>
#include <sonark/load/peak_reader.h>
#include <sonark/load/peak_record.h>
#include <sonark/load/peaks.h>
#include <sonark/containers/map.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

// Numbers the rate-display files of the whole engine, so no two displays share one.
std::atomic<int> g_display_counter{0};

// The source peak at position `p` (in peaks), wrapped round `count`.
unsigned long WrapPosition(double p, unsigned long count) {
  if (!std::isfinite(p)) return 0;
  double wrapped = std::fmod(std::floor(p), static_cast<double>(count));
  if (wrapped < 0) wrapped += static_cast<double>(count);
  const auto index = static_cast<unsigned long>(wrapped);
  return index < count ? index : 0;
}

}  // namespace

CPeaks* CPeaks::GenerateRateDisplay(CMap* rateMap, long lengthMs, unsigned long msPerPeak) {
  if (record_ == nullptr || msPerPeak == 0 || msPerPeak > LONG_MAX) {
    platform::set_last_error(msPerPeak == 0 ? sonark::kErrPeakArgument : sonark::kErrNoPeaks);
    return nullptr;
  }
  unsigned long sourceMs = 0;
  long maxLeft = 0;
  long maxRight = 0;
  int silence = 0;
  std::string sourceFile;
  {
    Lock hold(record_->lock);
    sourceMs = record_->msPerPeak;
    maxLeft = record_->maxLeft;
    maxRight = record_->maxRight;
    silence = record_->totalSilence;
    sourceFile = record_->peakFilePath;
  }
  sonark::peaks_internal::RecordPeakReader reader(record_);
  const unsigned long sourceCount = reader.Count();
  if (sourceCount == 0 || sourceMs == 0) {
    platform::set_last_error(sonark::kErrNoPeaks);
    return nullptr;
  }
  const long steps = lengthMs / static_cast<long>(msPerPeak);
  const unsigned long count = steps < 2 ? 2UL : static_cast<unsigned long>(steps);
  // Without a peak file to name it after, a long display stays in memory.
  const bool toFile = count > sonark::peakfile::BufferSizeFor(msPerPeak) && !sourceFile.empty();

  std::unique_ptr<CPeaks> display(new (std::nothrow) CPeaks);
  if (!display) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return nullptr;
  }
  if (!display->InitPeakData(msPerPeak, static_cast<long>(count), toFile ? 0 : 1)) {
    return nullptr;
  }
  if (toFile) {
    char name[PATH_MAX];
    const int n =
        std::snprintf(name, sizeof name, "%s%d.grd", sourceFile.c_str(), ++g_display_counter);
    if (n < 0 || n >= static_cast<int>(sizeof name)) {
      platform::set_last_error(sonark::kErrSidePathTooLong);
      return nullptr;
    }
    if (!display->BeginPeakFile(name)) return nullptr;
  }
  display->current_index_ = 0;
  display->streamed_count_ = 0;

  const double start = static_cast<double>(virtual_start_ % sourceCount);
  for (unsigned long k = 0; k < count; ++k) {
    // Time-line ms of output peak k, and the source ms the rate envelope consumes meanwhile;
    // the same integral that rendering uses, so picture and sound stay together.
    const long at = static_cast<long>(k * msPerPeak);
    const double consumed =
        rateMap != nullptr ? rateMap->GetRateMapAdjustedTime(at) : static_cast<double>(at);
    const unsigned long index =
        WrapPosition(start + consumed / static_cast<double>(sourceMs), sourceCount);
    unsigned char peak = 0;
    if (!reader.PeakAt(index, &peak) || !display->StorePeak(peak, false)) return nullptr;
  }
  {
    Lock hold(display->record_->lock);
    _tPeakRecord& r = *display->record_;
    r.maxLeft = maxLeft;
    r.maxRight = maxRight;
    r.totalSilence = silence;
    r.autoTrimStart = 0;
    r.autoTrimEnd = lengthMs > 0 ? lengthMs : 0;
  }
  if (!display->FinishPeaksFromParse(count, lengthMs, toFile ? 1 : 0)) return nullptr;
  return display.release();
}
