#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/load/peak_file_format.h>
#include <sonark/load/peak_record.h>
#include <sonark/load/peaks.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

using Lock = std::lock_guard<std::recursive_mutex>;
using sonark::peaks_internal::Sharers;

using sonark::Fail;

namespace {

// Never destroyed: a reload thread may still finish while the process exits.
struct ReloadCount {
  std::mutex lock;
  std::condition_variable idle;
  long running = 0;
};

ReloadCount& Reloads() {
  static auto* count = new ReloadCount;
  return *count;
}

void FreeBuffer(_tPeakRecord& r) {
  r.peakData.reset();
  r.capacity = 0;
  r.loaded = 0;
}

// Runs on its own thread with a reference of its own, so the record outlives every sharer
// that goes away meanwhile. The file is read without the lock; readers keep seeing "not
// loaded" until the whole buffer is in place.
void ReloadPeaks(_tPeakRecord* record, std::string path) {
  sonark::peakfile::Contents contents;
  const int read = sonark::peakfile::ReadPeakFile(path.c_str(), 1, contents);
  {
    Lock hold(record->lock);
    _tPeakRecord& r = *record;
    // A file rebuilt meanwhile for other settings does not belong to this record.
    const bool same =
        read && contents.header.msPerPeak == r.msPerPeak && contents.header.numPeaks == r.numPeaks;
    if (same && !r.loaded && r.unloadCount < Sharers(r)) {
      r.peakData = std::move(contents.peaks);
      r.bufferedPeaks = contents.bufferedPeaks;
      r.capacity = contents.bufferedPeaks;
      r.streaming = contents.streaming;
      r.loaded = 1;
    }
    r.reloading = 0;
  }
  sonark::peaks_internal::ReleaseRecord(record);
  sonark::peaks_internal::ReloadFinished();
}

}  // namespace

namespace sonark::peaks_internal {

void ReloadStarted() {
  std::lock_guard<std::mutex> hold(Reloads().lock);
  ++Reloads().running;
}

void ReloadFinished() {
  ReloadCount& count = Reloads();
  std::lock_guard<std::mutex> hold(count.lock);
  if (--count.running == 0) count.idle.notify_all();
}

}  // namespace sonark::peaks_internal

int WaitForPeakReloads(long timeoutMs) {
  ReloadCount& count = Reloads();
  std::unique_lock<std::mutex> hold(count.lock);
  return count.idle.wait_for(hold, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                             [&] { return count.running == 0; })
             ? 1
             : 0;
}

int CPeaks::Unload() {
  if (record_ == nullptr) return Fail(sonark::kErrNoPeaks);
  Lock hold(record_->lock);
  // Without a file the peaks could not come back; a running reload would be overtaken.
  if (record_->peakFilePath[0] == '\0' || record_->reloading) return Fail(sonark::kErrNoPeaks);
  FreeBuffer(*record_);
  return 1;
}

int CPeaks::ConserveMemory() {
  if (record_ == nullptr) return Fail(sonark::kErrNoPeaks);
  Lock hold(record_->lock);
  _tPeakRecord& r = *record_;
  if (r.peakFilePath[0] == '\0') return Fail(sonark::kErrNoPeaks);
  // Each sharer counts once, however often it asks.
  if (!conserving_) {
    conserving_ = true;
    ++r.unloadCount;
  }
  if (r.unloadCount >= Sharers(r) && r.loaded && !r.reloading) FreeBuffer(r);
  return 1;
}

int CPeaks::ReloadFromDisk() {
  if (record_ == nullptr) return Fail(sonark::kErrNoPeaks);
  Lock hold(record_->lock);
  _tPeakRecord& r = *record_;
  if (conserving_) {
    conserving_ = false;
    --r.unloadCount;
  }
  if (r.loaded || r.reloading) return 1;
  if (r.peakFilePath[0] == '\0') return Fail(sonark::kErrNoPeaks);
  if (r.unloadCount >= Sharers(r)) return 1;
  r.reloading = 1;
  ++r.references;
  sonark::peaks_internal::ReloadStarted();
  try {
    std::thread(ReloadPeaks, record_, std::string(r.peakFilePath)).detach();
  } catch (...) {
    r.reloading = 0;
    --r.references;
    sonark::peaks_internal::ReloadFinished();
    return Fail(sonark::kErrOutOfMemory);
  }
  return 1;
}
