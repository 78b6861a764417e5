#pragma once

#include <platform/wave_format.h>
#include <sonark/errors.h>
#include <sonark/visibility.h>

#include <cstdint>
#include <string>

class CFileObj;
class CMap;
class CMyArrayList;
class CRefObj;
struct _tPeakRecord;

// A sound's waveform: one byte per slice of `NumMilsPerPeak` milliseconds, the loudest
// sample of the slice scaled to 0..255. The peaks live in a record shared, by reference
// count, by every CPeaks that shows them (copies of a sound share it); each CPeaks adds its
// own first peak (virtual start), its own open peak file and its own stream position.
//
// Peaks are kept whole in memory, or for long sounds in a peak file (".ipk" beside the sound
// or in the side-file directory) with a window of about ten seconds in memory.
//
// Virtual operations, in slot order: the destructor, Copy(long, int), Copy(), Clone; then the
// protected NewPeakFileObject. Results are int 1/0 with the detail in the last error.
// A CPeaks object is used from one thread at a time; only the shared record is guarded.
class SONARK_API CPeaks {
 public:
  CPeaks();
  // A record and its buffer (InitPeakData); numPeaks -1 when the count is not known yet.
  // Without memory the object stays empty (References() 1, GetDataPtr() null).
  CPeaks(unsigned long msPerPeak, long numPeaks);
  CPeaks(const CPeaks&) = delete;
  CPeaks& operator=(const CPeaks&) = delete;

  // Deletes a peak file this object left unfinished, closes one it reads, drops its
  // reference; the last reference deletes a rate-display (".grd") file and frees the record.
  virtual ~CPeaks();
  // Shares the record; virtual start = offset (plus this object's virtual start when
  // `relative`), wrapped into the peaks. While the count is not known yet the start is kept
  // unwrapped (a negative one becomes 0).
  virtual CPeaks* Copy(long offset, int relative);
  // Shares the record with the same virtual start.
  virtual CPeaks* Copy();
  // Gives `into` a record of its own with this record's scalar members and a zeroed buffer
  // of the same size (no peak file). 0 when out of memory or without a record.
  virtual int Clone(CPeaks& into);

  // A positive msPerPeak is stored; returns max(100, 10000 / ms per peak).
  unsigned long DetermineBufferSize(long msPerPeak);
  // A new record for this object alone (the old one is dropped): buffer of the whole count
  // when it is known and fits the buffer size, or `all` is set (streaming 0); of the buffer
  // size when the count is larger (streaming 1); of the buffer size and count 0 when the
  // count is -1 (streaming -1). Loaded is set.
  int InitPeakData(unsigned long msPerPeak, long numPeaks, int all);

  // Building while a sound is parsed. When *toFile is set and `source` is a disk file, the
  // peak file of that file is started; otherwise (or when it cannot be started) *toFile is
  // cleared and the peaks grow in memory. 0 without a record.
  int InitStreamPeaksFromParse(int* toFile, CRefObj* source);
  // Stores the next peak. 0 when the peak file could not take a full buffer (the file is
  // deleted; the peaks are lost, and finishing fails) or memory ran out.
  int StreamPeakFromParse(unsigned char peak, int toFile);
  // Settles the count (a larger one than was streamed is padded with silent peaks), writes
  // the rest of the peaks and the file's header and trailer, closes the file. 1 when the
  // peaks are usable; 0 when they were lost.
  int FinishPeaksFromParse(unsigned long numPeaks, long lengthMs, int toFile);
  int FinishPeaksFromParse(long lengthMs, int toFile);
  // Raises the record's channel maxima by the samples of [from, to) in `format`; returns the
  // larger of the slice's left and right maximum (a 16-bit magnitude).
  long CheckMaxPeaks(const char* from, const char* to, const tWAVEFORMATEX* format);
  // Peaks from a list whose elements' items hold the peak values (integers 0..255 stored in
  // the pointers), streamed and finished as in a parse.
  int LoadPeaksFromArrayList(CMyArrayList& list, unsigned long msPerPeak, long lengthMs,
                             long maxLeft, long maxRight, CRefObj* source);

  // Peak files.
  // Opens an existing peak file (the record's own when `path` is null or empty) for reading,
  // or with `write` for reading and writing, positioned at peak 0.
  int OpenPeaksFile(const char* path, int write);
  // Replaces the record by the peaks of the file. Peaks that fit the buffer are read whole
  // (`loadAll` or not: a record must never claim peaks it does not hold); of a longer file
  // only the last peak is read, into the last buffer slot, and the rest streams. The file is
  // closed in every case; a refused file leaves the object as it was.
  int LoadPeaksFromFile(const char* path, int loadAll);
  // Takes the peak file of `soundPath` when it was written later than the sound (to the
  // millisecond), from a sound of the size the sound has now, and holds `msPerPeak`;
  // otherwise 0 (kErrPeakCacheStale, or why the file was refused) and the object is left as
  // it was.
  int LoadPeakCache(const char* soundPath, unsigned long msPerPeak, int loadAll);
  // Reads up to min(count, buffered peaks, peaks not yet streamed) peaks from the open peak
  // file into the start of the buffer. *got gets the number read, *atEnd whether the last
  // peak has now been read. 1 when everything asked of the file came.
  int StreamPeaksFromFile(unsigned long count, unsigned long* got, int* atEnd);
  void ClosePeaksFile();
  // Positions the open peak file at peak `index` (below the count) and makes it the streamed
  // count.
  int SeekToPeakIndex(unsigned long index);
  // Deletes the peak file this object is writing, or else the record's peak file.
  int DeletePeakFile();
  // Starts the peak file of the sound file behind `source` (a disk file).
  int InitPeaksToFile(CRefObj* source);
  // Starts the peak file of the sound at `path`: ".ipk" is appended and the result mapped into
  // the side-file directory (directories created) unless it already lies there. The file
  // starts with a 12-byte placeholder header, which no reader accepts.
  int InitPeaksToFile(const char* path);
  // A peak file of silent peaks for the record's count, with length and trim end `lengthMs`.
  int InitBlankFile(const char* path, long lengthMs);
  // Appends the first `count` peaks of the buffer to the peak file being written.
  int StreamPeaksToFile(unsigned long count);
  // Writes the header and, after the last peak, the trailer; closes the file and makes it the
  // record's peak file. Any failure deletes the file.
  int FinishPeaksToFile();
  // Writes the peaks to a new peak file for the sound at `path` (as InitPeaksToFile), copying
  // streamed peaks from the current peak file; the record then uses the new file.
  int SaveAs(const char* path);
  int IsPeakFileOpen();
  int IsPeakFileWriteMode();
  // The peak file path of the sound at `soundPath`, into `out` of `size` bytes; with `create`
  // the side-file directories are made. 0 when it does not fit.
  static int PeakFilePathFor(const char* soundPath, char* out, long size, int create);

  // Memory. Only peaks that have a peak file may be unloaded.
  // Frees the record's buffer now (loaded cleared); 0 without a peak file.
  int Unload();
  // This sharer agrees to free the memory; once every sharer agrees, it is freed.
  int ConserveMemory();
  // This sharer wants the peaks again; a background thread reloads them when they are not in
  // memory. Readers see no data (GetNumPeaks 0, GetDataPtr null) until it has finished.
  int ReloadFromDisk();

  // Display.
  // A new record of numPeaks silent peaks, all in memory, for the mix of several sounds.
  int InitPeaksForMix(unsigned long msPerPeak, long numPeaks, long lengthMs);
  // Adds `other`'s peaks, from its virtual start and wrapping round its count, to this
  // record's peaks from startIndex on, at most `count` and not past the end, clipped to 255.
  // `other` may stream from its peak file.
  int Mix(CPeaks* other, unsigned long startIndex, unsigned long count);
  // The display of these peaks played through the rate envelope of `rateMap` (null: rate 1):
  // max(2, lengthMs / msPerPeak) peaks, output peak k showing the source peak at the virtual
  // start plus the source time consumed by k * msPerPeak ms of time line. A display too long
  // for memory goes to a ".grd" file that lives as long as the result. Null on failure.
  CPeaks* GenerateRateDisplay(CMap* rateMap, long lengthMs, unsigned long msPerPeak);

  // Analysis, run per streamed peak and on the last peak.
  void CheckForAutoTrimSilence();
  void CheckForPartialSong(unsigned char lastPeak);
  void SetMaxPeaks(long left, long right);

  long LengthOfSound();
  long GetAutoTrimTimeStart();
  long GetAutoTrimTimeEnd();
  long References();
  unsigned long NumMilsPerPeak();
  // 0 while the data is not loaded.
  unsigned long GetNumPeaks();
  unsigned long GetBufferedPeaks();
  // Null while the data is not loaded. Valid until the record is unloaded or replaced.
  unsigned char* GetDataPtr();
  double GetFractionalAmps();
  int WroteToDisk();
  void SetWroteToDiskFlag(int flag);
  long GetMaxRight();
  long GetMaxLeft();
  int IsTotalSilence();
  int IsPartialSong();
  int IsStreaming();
  int IsLoaded();
  int IsReloading();
  // The record's peak file ("" when none), into `out` of `size` bytes; 0 when it does not fit.
  int GetPeakFilePath(char* out, unsigned long size);
  unsigned long GetVirtualStart();
  void SetVirtualStart(unsigned long start);
  unsigned long GetCurrentIndex();
  unsigned long GetStreamedCount();

 protected:
  // The file object a peak file is written through.
  virtual CFileObj* NewPeakFileObject();

 private:
  void ReleaseRecord();
  void AdoptRecord(_tPeakRecord* record);
  // Stores the next peak (with the trim analysis of a parse when `analyse`); writes a full
  // buffer to the peak file being written, or grows the buffer when none is.
  int StorePeak(unsigned char peak, bool analyse);
  int GrowBuffer();
  // `soundPath`: the sound whose size the finished file records (none for a rate display).
  int BeginPeakFile(const char* exactPath, const char* soundPath = nullptr);
  int WriteToPeakFile(long offset, const unsigned char* data, unsigned long size);
  void DiscardPeakFile();
  void CloseReadFile();

  CFileObj* peak_file_ = nullptr;
  _tPeakRecord* record_ = nullptr;
  unsigned long virtual_start_ = 0;
  unsigned long current_index_ = 0;
  unsigned long streamed_count_ = 0;

  // A peak file being written by this object: its path and the peaks in it so far.
  bool writing_ = false;
  std::string write_path_;  // the temporary file the peaks go to
  std::string final_path_;  // where it is renamed once finished
  unsigned long peaks_in_file_ = 0;
  int64_t sound_size_ = -1;  // of the sound when its peaks were started; -1 not known
  // Peaks of a parse that are in the file or buffer under a count that was given up.
  bool build_failed_ = false;
  unsigned char last_peak_ = 0;
  // This sharer has asked to conserve memory.
  bool conserving_ = false;
};

// Waits until no background peak reload runs; 1, or 0 after `timeoutMs`.
SONARK_API int WaitForPeakReloads(long timeoutMs);
