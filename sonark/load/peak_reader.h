#pragma once

#include <tarnell/ref_ptr.h>

#include <string>
#include <vector>

class CFileObj;
struct _tPeakRecord;

namespace sonark::peaks_internal {

// Reads the peaks of a finished record, from memory when they are held whole, else from its
// peak file. Only the record's lock is taken, briefly, so a reader never holds two records'
// locks at once.
class RecordPeakReader {
 public:
  explicit RecordPeakReader(_tPeakRecord* record);
  RecordPeakReader(const RecordPeakReader&) = delete;
  RecordPeakReader& operator=(const RecordPeakReader&) = delete;
  ~RecordPeakReader();

  // The record's number of peaks when the reader was made.
  unsigned long Count() const { return count_; }
  // `count` peaks from `index`; index + count must not pass Count(). 1, or 0 with the last
  // error set.
  int Read(unsigned long index, unsigned char* out, unsigned long count);
  // One peak, through a window of nearby peaks.
  int PeakAt(unsigned long index, unsigned char* out);

 private:
  int OpenFile();

  _tPeakRecord* record_;
  unsigned long count_ = 0;
  unsigned long ms_per_peak_ = 0;
  std::string path_;
  RefPtr<CFileObj> file_;  // opened on the first read that memory cannot serve
  std::vector<unsigned char> window_;
  unsigned long window_start_ = 0;
};

}  // namespace sonark::peaks_internal
