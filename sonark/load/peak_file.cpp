#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/file_dates.h>
#include <sonark/load/peak_file_format.h>
#include <sonark/load/peak_record.h>
#include <sonark/load/peaks.h>
#include <sonark/temp_paths.h>
#include <sonark/thresholds.h>
#include <tarnell/file_obj.h>
#include <tarnell/ref_ptr.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

using Lock = std::lock_guard<std::recursive_mutex>;
namespace peakfile = sonark::peakfile;

using sonark::Fail;

namespace {

int32_t Clamp32(long v, long low, long high) {
  return static_cast<int32_t>(std::clamp(v, low, high));
}

void DropFileObject(CFileObj*& file) {
  if (file == nullptr) return;
  file->Close();
  CRefObj* object = file;
  DeleteRefObject(&object);
  file = nullptr;
}

// Removes the temporary peak files of `exactPath` that processes no longer running left
// behind (killed while they built the peaks), so they do not pile up in the cache.
void SweepStaleTemporaries(const char* exactPath) {
  const std::string path(exactPath);
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  const std::string prefix = path.substr(slash == std::string::npos ? 0 : slash + 1) + ".tmp-";
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0) continue;
    const long pid = std::strtol(entry->d_name + prefix.size(), nullptr, 10);
    const bool gone = pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
    if (pid != getpid() && gone) ::unlink((folder + "/" + entry->d_name).c_str());
  }
  closedir(dir);
}

}  // namespace

CFileObj* CPeaks::NewPeakFileObject() { return new (std::nothrow) CFileObj; }

int CPeaks::PeakFilePathFor(const char* soundPath, char* out, long size, int create) {
  if (out == nullptr || size <= 0) return Fail(sonark::kErrPeakArgument);
  out[0] = '\0';
  if (soundPath == nullptr || soundPath[0] == '\0') return Fail(sonark::kErrPeakArgument);
  char directory[PATH_MAX];
  GetTempSndPath(directory, sizeof directory);
  const size_t prefix = std::strlen(directory);
  // A sound that already lies among the side files (a recording, say) keeps its peak file
  // beside it; reader and writer both come through here, so they always agree.
  if (prefix > 0 && std::strncmp(soundPath, directory, prefix) == 0) {
    const size_t length = std::strlen(soundPath);
    if (length + 4 >= static_cast<size_t>(size)) return Fail(sonark::kErrSidePathTooLong);
    std::memcpy(out, soundPath, length);
    std::memcpy(out + length, ".ipk", 5);
    return 1;
  }
  return MakeTempPath1(soundPath, ".ipk", out, size, create);
}

int CPeaks::BeginPeakFile(const char* exactPath, const char* soundPath) {
  if (writing_) {
    DiscardPeakFile();
  } else {
    CloseReadFile();
  }
  // Something other than a file in the way (a folder) could never be replaced by the rename.
  struct stat existing {};
  if (::stat(exactPath, &existing) == 0 && !S_ISREG(existing.st_mode)) {
    return Fail(sonark::kErrPeakFileWrite);
  }
  SweepStaleTemporaries(exactPath);
  RefPtr<CFileObj> file(NewPeakFileObject());
  if (file == nullptr) return Fail(sonark::kErrOutOfMemory);
  // Written beside its final name and renamed when whole: another process building the same
  // sound's peaks at the same time never shares the file, and a reader never sees a partial one.
  static std::atomic<unsigned> serial{0};
  const std::string temporary = std::string(exactPath) + ".tmp-" + std::to_string(getpid()) + "-" +
                                std::to_string(serial.fetch_add(1));
  if (!file->Create(temporary.c_str())) {
    peakfile::FailKeepingNamed(sonark::kErrPeakFileWrite, "cannot create", temporary.c_str());
    return 0;
  }
  peak_file_ = file.release();
  writing_ = true;
  write_path_ = temporary;
  final_path_ = exactPath;
  peaks_in_file_ = 0;
  // The size as the peaks start: a sound changed while they are built no longer matches.
  struct stat sound {};
  sound_size_ = soundPath != nullptr && ::stat(soundPath, &sound) == 0 && S_ISREG(sound.st_mode)
                    ? static_cast<int64_t>(sound.st_size)
                    : -1;
  // A zero header until the end: no reader takes the file for a finished one meanwhile.
  const unsigned char placeholder[peakfile::kHeaderSize] = {};
  if (!WriteToPeakFile(0, placeholder, sizeof placeholder)) {
    DiscardPeakFile();
    return 0;
  }
  return 1;
}

int CPeaks::WriteToPeakFile(long offset, const unsigned char* data, unsigned long size) {
  if (peak_file_ == nullptr) return Fail(sonark::kErrNoPeaks);
  if (size == 0) return 1;
  if (!peak_file_->Seek(offset, 0) ||
      peak_file_->Write(reinterpret_cast<const char*>(data), static_cast<long>(size)) !=
          static_cast<long>(size)) {
    return Fail(sonark::kErrPeakFileWrite);
  }
  return 1;
}

void CPeaks::DiscardPeakFile() {
  DropFileObject(peak_file_);
  if (writing_ && !write_path_.empty()) std::remove(write_path_.c_str());
  writing_ = false;
  write_path_.clear();
  final_path_.clear();
  peaks_in_file_ = 0;
}

void CPeaks::CloseReadFile() {
  if (!writing_) DropFileObject(peak_file_);
}

int CPeaks::InitPeaksToFile(CRefObj* source) {
  auto* file = dynamic_cast<CFileObj*>(source);
  if (file == nullptr || (source->Type() & 1) == 0) return Fail(sonark::kErrPeakArgument);
  return InitPeaksToFile(file->FilePath());
}

int CPeaks::InitPeaksToFile(const char* path) {
  if (record_ == nullptr) return Fail(sonark::kErrNoPeaks);
  char target[PATH_MAX];
  if (!PeakFilePathFor(path, target, sizeof target, 1)) return 0;
  return BeginPeakFile(target, path);
}

int CPeaks::StreamPeaksToFile(unsigned long count) {
  if (record_ == nullptr || !writing_) return Fail(sonark::kErrNoPeaks);
  Lock hold(record_->lock);
  if (count > record_->bufferedPeaks || !record_->peakData) return Fail(sonark::kErrPeakArgument);
  if (!WriteToPeakFile(peakfile::kHeaderSize + static_cast<long>(peaks_in_file_),
                       record_->peakData.get(), count)) {
    const uint32_t error = platform::last_error();
    DiscardPeakFile();
    return Fail(error);
  }
  peaks_in_file_ += count;
  return 1;
}

int CPeaks::FinishPeaksToFile() {
  if (record_ == nullptr || !writing_) return Fail(sonark::kErrNoPeaks);
  Lock hold(record_->lock);
  _tPeakRecord& r = *record_;
  const unsigned long count = r.numPeaks;
  // A file without peaks, or with more than its fields can count, could never be read back.
  if (count == 0 || count > UINT32_MAX || r.msPerPeak > UINT32_MAX) {
    DiscardPeakFile();
    return Fail(count == 0 ? sonark::kErrNoPeaks : sonark::kErrPeakFileWrite);
  }
  bool ok = true;
  // Peaks never streamed are silence.
  if (peaks_in_file_ < count) {
    std::vector<unsigned char> zeros(std::min(count - peaks_in_file_, 65536UL), 0);
    while (ok && peaks_in_file_ < count) {
      const unsigned long n = std::min(count - peaks_in_file_, zeros.size());
      ok = WriteToPeakFile(peakfile::kHeaderSize + static_cast<long>(peaks_in_file_), zeros.data(),
                           n);
      peaks_in_file_ += n;
    }
  }
  peakfile::Header header;
  header.lengthMs = Clamp32(r.lengthOfSound, INT32_MIN, INT32_MAX);
  header.msPerPeak = static_cast<uint32_t>(r.msPerPeak);
  header.numPeaks = static_cast<uint32_t>(count);
  // The trailer is kept within what a reader accepts, so a finished file is always usable.
  const long span = static_cast<long>(std::min<int64_t>(
      INT32_MAX, std::max<int64_t>(header.lengthMs, static_cast<int64_t>(count) *
                                                        static_cast<int64_t>(r.msPerPeak))));
  peakfile::Trailer trailer;
  trailer.maxLeft = Clamp32(r.maxLeft, 0, 32768);
  trailer.maxRight = Clamp32(r.maxRight, 0, 32768);
  trailer.trimEnd = Clamp32(r.autoTrimEnd, 0, span);
  trailer.trimStart = Clamp32(r.autoTrimStart, 0, trailer.trimEnd);
  trailer.totalSilence = r.totalSilence ? 1 : 0;
  unsigned char head[peakfile::kHeaderSize];
  unsigned char tail[peakfile::kTrailerSize];
  peakfile::EncodeHeader(header, head);
  peakfile::EncodeTrailer(trailer, tail);
  ok = ok && WriteToPeakFile(0, head, sizeof head) &&
       WriteToPeakFile(peakfile::kHeaderSize + static_cast<long>(count), tail, sizeof tail);
  if (ok && sound_size_ >= 0) {
    unsigned char size[peakfile::kSoundSizeRecordSize];
    peakfile::EncodeSoundSize(sound_size_, size);
    ok = WriteToPeakFile(peakfile::kHeaderSize + static_cast<long>(count) + peakfile::kTrailerSize,
                         size, sizeof size);
  }
  if (!ok || final_path_.size() >= sizeof r.peakFilePath) {
    DiscardPeakFile();
    return Fail(sonark::kErrPeakFileWrite);
  }
  DropFileObject(peak_file_);
  if (std::rename(write_path_.c_str(), final_path_.c_str()) != 0) {
    std::remove(write_path_.c_str());
    writing_ = false;
    write_path_.clear();
    final_path_.clear();
    return Fail(sonark::kErrPeakFileWrite);
  }
  writing_ = false;
  std::memcpy(r.peakFilePath, final_path_.c_str(), final_path_.size() + 1);
  write_path_.clear();
  final_path_.clear();
  r.loaded = 1;
  r.wroteToDisk = 1;
  return 1;
}

int CPeaks::InitBlankFile(const char* path, long lengthMs) {
  if (record_ == nullptr) return Fail(sonark::kErrNoPeaks);
  {
    Lock hold(record_->lock);
    if (record_->numPeaks == 0) return Fail(sonark::kErrNoPeaks);
  }
  if (!InitPeaksToFile(path)) return 0;
  {
    Lock hold(record_->lock);
    record_->lengthOfSound = lengthMs;
    record_->autoTrimEnd = lengthMs;
  }
  // Finishing writes the peaks not streamed as silence, buffer by buffer.
  return FinishPeaksToFile();
}

int CPeaks::OpenPeaksFile(const char* path, int write) {
  std::string target;
  if (path != nullptr && path[0] != '\0') {
    target = path;
  } else if (record_ != nullptr) {
    Lock hold(record_->lock);
    target = record_->peakFilePath;
  }
  if (target.empty()) return Fail(sonark::kErrNoPeaks);
  if (writing_) {
    DiscardPeakFile();
  } else {
    CloseReadFile();
  }
  RefPtr<CFileObj> file(new (std::nothrow) CFileObj);
  if (file == nullptr) return Fail(sonark::kErrOutOfMemory);
  if (!file->Open(target.c_str(), 0, write) || !file->Seek(peakfile::kHeaderSize, 0)) {
    // The handle closes the file as the function returns, after the error is set.
    peakfile::FailKeepingNamed(sonark::kErrPeakFileOpen, "cannot open", target.c_str());
    return 0;
  }
  peak_file_ = file.release();
  streamed_count_ = 0;
  return 1;
}

void CPeaks::ClosePeaksFile() {
  if (writing_) {
    DiscardPeakFile();
  } else {
    CloseReadFile();
  }
}

int CPeaks::IsPeakFileOpen() { return peak_file_ != nullptr ? 1 : 0; }

int CPeaks::IsPeakFileWriteMode() {
  return peak_file_ != nullptr && peak_file_->WriteMode() ? 1 : 0;
}

int CPeaks::SeekToPeakIndex(unsigned long index) {
  if (record_ == nullptr || peak_file_ == nullptr) return Fail(sonark::kErrNoPeaks);
  {
    Lock hold(record_->lock);
    if (index >= record_->numPeaks) return Fail(sonark::kErrPeakArgument);
  }
  if (!peak_file_->Seek(peakfile::kHeaderSize + static_cast<long>(index), 0)) return 0;
  streamed_count_ = index;
  return 1;
}

int CPeaks::StreamPeaksFromFile(unsigned long count, unsigned long* got, int* atEnd) {
  if (got != nullptr) *got = 0;
  if (atEnd != nullptr) *atEnd = 0;
  if (record_ == nullptr || peak_file_ == nullptr || writing_) return Fail(sonark::kErrNoPeaks);
  Lock hold(record_->lock);
  _tPeakRecord& r = *record_;
  if (!r.peakData) return Fail(sonark::kErrNoPeaks);
  const unsigned long left = streamed_count_ < r.numPeaks ? r.numPeaks - streamed_count_ : 0;
  const unsigned long wanted = std::min({count, r.bufferedPeaks, left});
  long read = 0;
  if (wanted > 0) {
    if (!peak_file_->Seek(peakfile::kHeaderSize + static_cast<long>(streamed_count_), 0)) return 0;
    read = peak_file_->Read(reinterpret_cast<char*>(r.peakData.get()), static_cast<long>(wanted));
    if (read < 0) read = 0;
  }
  streamed_count_ += static_cast<unsigned long>(read);
  if (got != nullptr) *got = static_cast<unsigned long>(read);
  if (atEnd != nullptr) *atEnd = streamed_count_ >= r.numPeaks ? 1 : 0;
  if (static_cast<unsigned long>(read) != wanted) return Fail(sonark::kErrPeakFileDamaged);
  return 1;
}

int CPeaks::DeletePeakFile() {
  if (writing_) {
    DiscardPeakFile();
    return 1;
  }
  CloseReadFile();
  if (record_ == nullptr) return Fail(sonark::kErrNoPeaks);
  Lock hold(record_->lock);
  if (record_->peakFilePath[0] == '\0') return Fail(sonark::kErrNoPeaks);
  std::remove(record_->peakFilePath);
  record_->peakFilePath[0] = '\0';
  record_->wroteToDisk = 0;
  return 1;
}

int CPeaks::LoadPeaksFromFile(const char* path, int loadAll) {
  if (path == nullptr || path[0] == '\0') return Fail(sonark::kErrPeakArgument);
  if (std::strlen(path) >= sizeof(_tPeakRecord::peakFilePath)) {
    return Fail(sonark::kErrSidePathTooLong);
  }
  peakfile::Contents contents;
  if (!peakfile::ReadPeakFile(path, loadAll, contents)) return 0;
  auto* record = new (std::nothrow) _tPeakRecord;
  if (record == nullptr) return Fail(sonark::kErrOutOfMemory);
  const peakfile::Header& h = contents.header;
  const peakfile::Trailer& t = contents.trailer;
  record->lengthOfSound = h.lengthMs;
  record->autoTrimStart = t.trimStart;
  record->autoTrimEnd = t.trimEnd;
  record->msPerPeak = h.msPerPeak;
  record->numPeaks = h.numPeaks;
  record->bufferedPeaks = contents.bufferedPeaks;
  record->capacity = contents.bufferedPeaks;
  record->peakData = std::move(contents.peaks);
  record->fractionalAmps = static_cast<double>(h.numPeaks) -
                           static_cast<double>(h.lengthMs) / static_cast<double>(h.msPerPeak);
  record->wroteToDisk = 1;
  record->maxLeft = t.maxLeft;
  record->maxRight = t.maxRight;
  std::memcpy(record->peakFilePath, path, std::strlen(path) + 1);
  record->loaded = 1;
  record->soundStarted = 1;
  record->trimEndFixed = 1;
  record->totalSilence = t.totalSilence;
  record->partialSong = static_cast<int>(contents.lastPeak) > GetPartialSongThreshold() ? 1 : 0;
  record->streaming = contents.streaming;
  if (writing_) {
    DiscardPeakFile();
  } else {
    CloseReadFile();
  }
  AdoptRecord(record);
  return 1;
}

int CPeaks::LoadPeakCache(const char* soundPath, unsigned long msPerPeak, int loadAll) {
  char path[PATH_MAX];
  if (!PeakFilePathFor(soundPath, path, sizeof path, 0)) return 0;
  // Written in the same millisecond as the sound counts as stale: it may predate the write.
  struct stat sound {};
  if (!IsRightFileOlder(path, soundPath) || ::stat(soundPath, &sound) != 0 ||
      peakfile::ReadSoundSize(path) != static_cast<int64_t>(sound.st_size)) {
    return Fail(sonark::kErrPeakCacheStale);
  }
  CPeaks cached;
  if (!cached.LoadPeaksFromFile(path, loadAll)) return 0;
  if (cached.NumMilsPerPeak() != msPerPeak) return Fail(sonark::kErrPeakCacheStale);
  if (writing_) {
    DiscardPeakFile();
  } else {
    CloseReadFile();
  }
  AdoptRecord(cached.record_);
  cached.record_ = nullptr;
  return 1;
}

int CPeaks::SaveAs(const char* path) {
  if (record_ == nullptr || writing_) return Fail(sonark::kErrNoPeaks);
  unsigned long count = 0;
  bool inMemory = false;
  std::string source;
  {
    Lock hold(record_->lock);
    count = record_->numPeaks;
    inMemory = record_->streaming == 0 && record_->loaded && record_->peakData;
    source = record_->peakFilePath;
  }
  if (count == 0 || (!inMemory && source.empty())) return Fail(sonark::kErrNoPeaks);
  char target[PATH_MAX];
  if (!PeakFilePathFor(path, target, sizeof target, 1)) return 0;
  // Rewriting the file that is being copied would truncate it first.
  if (source == target) return 1;

  CFileObj reader;
  if (!inMemory && !reader.Open(source.c_str(), 0, 0)) {
    return peakfile::FailKeepingNamed(sonark::kErrPeakFileOpen, "cannot open", source.c_str());
  }
  CPeaks clone;
  if (!Clone(clone) || !clone.BeginPeakFile(target, path)) return 0;
  std::vector<unsigned char> window;
  for (unsigned long done = 0; done < count;) {
    const unsigned long n = std::min(count - done, 65536UL);
    const unsigned char* from = nullptr;
    if (inMemory) {
      Lock hold(record_->lock);
      if (!record_->loaded || !record_->peakData) return Fail(sonark::kErrNoPeaks);
      window.assign(record_->peakData.get() + done, record_->peakData.get() + done + n);
    } else {
      window.resize(n);
      if (!peakfile::ReadPeaks(reader, done, window.data(), n)) {
        return Fail(sonark::kErrPeakFileDamaged);
      }
    }
    from = window.data();
    if (!clone.WriteToPeakFile(peakfile::kHeaderSize + static_cast<long>(done), from, n)) {
      return 0;
    }
    clone.peaks_in_file_ += n;
    done += n;
  }
  if (!clone.FinishPeaksToFile()) return 0;
  Lock hold(record_->lock);
  std::memcpy(record_->peakFilePath, target, std::strlen(target) + 1);
  record_->wroteToDisk = 1;
  return 1;
}
