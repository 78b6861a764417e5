#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/load/peak_file_format.h>
#include <sonark/load/peak_reader.h>
#include <sonark/load/peak_record.h>
#include <sonark/load/peaks.h>
#include <tarnell/file_obj.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace sonark::peaks_internal {
using sonark::Fail;

namespace {

constexpr unsigned long kWindow = 4096;

}  // namespace

RecordPeakReader::RecordPeakReader(_tPeakRecord* record) : record_(record) {
  std::lock_guard<std::recursive_mutex> hold(record->lock);
  count_ = record->numPeaks;
  ms_per_peak_ = record->msPerPeak;
  path_ = record->peakFilePath;
}

RecordPeakReader::~RecordPeakReader() = default;

int RecordPeakReader::OpenFile() {
  if (file_ != nullptr) return 1;
  if (path_.empty()) return Fail(kErrNoPeaks);
  RefPtr<CFileObj> file(new (std::nothrow) CFileObj);
  if (file == nullptr) return Fail(kErrOutOfMemory);
  unsigned char head[peakfile::kHeaderSize];
  bool ok =
      file->Open(path_.c_str(), 0, 0) &&
      file->Read(reinterpret_cast<char*>(head), sizeof head) == static_cast<long>(sizeof head);
  // A file rebuilt for other settings since does not hold these peaks.
  const peakfile::Header header = peakfile::DecodeHeader(head);
  if (!ok || header.numPeaks != count_ || header.msPerPeak != ms_per_peak_) {
    return Fail(kErrPeakFileDamaged);
  }
  file_ = std::move(file);
  return 1;
}

int RecordPeakReader::Read(unsigned long index, unsigned char* out, unsigned long count) {
  if (index > count_ || count > count_ - index) return Fail(kErrPeakArgument);
  {
    std::lock_guard<std::recursive_mutex> hold(record_->lock);
    const _tPeakRecord& r = *record_;
    if (r.loaded && r.streaming == 0 && r.peakData && r.numPeaks == count_ &&
        index + count <= r.bufferedPeaks) {
      std::memcpy(out, r.peakData.get() + index, count);
      return 1;
    }
  }
  if (!OpenFile()) return 0;
  return peakfile::ReadPeaks(*file_, index, out, count) ? 1 : Fail(kErrPeakFileDamaged);
}

int RecordPeakReader::PeakAt(unsigned long index, unsigned char* out) {
  if (index >= count_) return Fail(kErrPeakArgument);
  if (index < window_start_ || index - window_start_ >= window_.size()) {
    const unsigned long n = std::min(kWindow, count_ - index);
    window_.resize(n);
    if (!Read(index, window_.data(), n)) {
      window_.clear();
      return 0;
    }
    window_start_ = index;
  }
  *out = window_[index - window_start_];
  return 1;
}

}  // namespace sonark::peaks_internal
