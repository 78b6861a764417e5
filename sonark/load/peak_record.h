#pragma once

#include <climits>
#include <memory>
#include <mutex>

// The record shared by every CPeaks that shows the same peaks. Its lock guards every member:
// a background reload fills it while the program's threads read it.
struct _tPeakRecord {
  long lengthOfSound = 0;
  long autoTrimStart = 0;
  long autoTrimEnd = 0;
  // Sharers, plus one while a background reload runs.
  long references = 1;
  unsigned long msPerPeak = 0;
  unsigned long numPeaks = 0;
  unsigned long bufferedPeaks = 0;
  std::unique_ptr<unsigned char[]> peakData;
  double fractionalAmps = 0.0;
  int wroteToDisk = 0;
  long maxRight = 0;
  long maxLeft = 0;
  char peakFilePath[PATH_MAX] = {};
  long unloadCount = 0;
  int loaded = 0;
  int reloading = 0;
  int soundStarted = 0;
  int trimEndFixed = 0;
  int totalSilence = 0;
  int partialSong = 0;
  // -1 count not known yet, 0 all peaks in memory, 1 a window in memory and all in the file.
  int streaming = 0;
  // Room of peakData; may exceed bufferedPeaks once a count has been settled.
  unsigned long capacity = 0;

  std::recursive_mutex lock;
};

namespace sonark::peaks_internal {

// Sharers of the record: its references without the one a running reload holds. Under the
// record's lock.
inline long Sharers(const _tPeakRecord& record) {
  return record.references - (record.reloading ? 1 : 0);
}

// Drops one reference; the last one deletes a rate-display file and frees the record.
void ReleaseRecord(_tPeakRecord* record);

// Background reloads in flight, so that tests and shutdown can wait for them.
void ReloadStarted();
void ReloadFinished();

}  // namespace sonark::peaks_internal
