#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/load/peak_reader.h>
#include <sonark/load/peak_record.h>
#include <sonark/load/peaks.h>

#include <algorithm>

using Lock = std::lock_guard<std::recursive_mutex>;

using sonark::Fail;

int CPeaks::InitPeaksForMix(unsigned long msPerPeak, long numPeaks, long lengthMs) {
  if (!InitPeakData(msPerPeak, std::max(numPeaks, 0L), 1)) return 0;
  Lock hold(record_->lock);
  _tPeakRecord& r = *record_;
  r.lengthOfSound = lengthMs;
  r.soundStarted = 1;
  r.trimEndFixed = 1;
  r.fractionalAmps = static_cast<double>(r.numPeaks) -
                     static_cast<double>(lengthMs) / static_cast<double>(msPerPeak);
  return 1;
}

int CPeaks::Mix(CPeaks* other, unsigned long startIndex, unsigned long count) {
  if (record_ == nullptr || other == nullptr || other->record_ == nullptr) {
    return Fail(sonark::kErrNoPeaks);
  }
  unsigned long total = 0;
  {
    Lock hold(record_->lock);
    if (!record_->loaded || record_->streaming != 0 || !record_->peakData) {
      return Fail(sonark::kErrNoPeaks);
    }
    total = record_->numPeaks;
  }
  sonark::peaks_internal::RecordPeakReader reader(other->record_);
  const unsigned long theirs = reader.Count();
  // A record still being built has no count to wrap round.
  if (theirs == 0) return Fail(sonark::kErrNoPeaks);
  if (startIndex >= total) return 1;
  const unsigned long wanted = std::min(count, total - startIndex);
  unsigned long from = other->virtual_start_ % theirs;
  unsigned char chunk[4096];
  for (unsigned long done = 0; done < wanted;) {
    const unsigned long n = std::min({wanted - done, theirs - from, sizeof chunk});
    if (!reader.Read(from, chunk, n)) return 0;
    Lock hold(record_->lock);
    if (!record_->loaded || !record_->peakData) return Fail(sonark::kErrNoPeaks);
    unsigned char* to = record_->peakData.get() + startIndex + done;
    for (unsigned long i = 0; i < n; ++i) {
      to[i] = static_cast<unsigned char>(std::min(255, to[i] + chunk[i]));
    }
    done += n;
    from = (from + n) % theirs;
  }
  Lock hold(record_->lock);
  record_->loaded = 1;
  record_->soundStarted = 1;
  record_->trimEndFixed = 1;
  return 1;
}
