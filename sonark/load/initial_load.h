#pragma once

#include <platform/wave_format.h>
#include <sonark/visibility.h>

class CDecoder;
class CMP3Info;
class CPeaks;
class CRIFF;
class CRefObj;
class CSeekMap;
struct TMusicInfo;

// The load progress callback, as the atoms declare it.
using TLoadProgress = int (*)(unsigned long amount, void* context);

// The one pass over a sound file when it joins a session: recognises the container, reads the
// source format, restricts the data object to the audio data and, as asked, builds the peaks
// (or takes them from their ".ipk" side file) and works out the length. It holds its results
// until the sound takes them over (the Steal operations); the destructor frees the rest.
//
// Wave files with linear PCM (8 or 16 bits, 1 or 2 channels, 1 to 48000 Hz) load as they
// are. Compressed wave data, and PCM with 24 or 32 bits or a rate above 48 kHz, get a decoder
// of the codec manager (ACMObject); MPEG audio (a bare stream named .mp3, .mp2 or .mp1, a
// RIFF "RMP3" file, or a wave file of tag 0x55) gets the MPEG decoder (XAMObject) and a seek
// map, cached in a ".isk" side file like the peaks.
//
// Results are int 1/0 with the detail in the thread's last error (sonark/load/load_errors.h).
// A load cancelled through the progress callback returns 0 with the last error cleared and
// Cancelled() set; it keeps the format and the data range, but no peaks, and leaves no
// partial side file behind.
//
// The progress callback is called with 0 before the work starts, then with the source bytes
// consumed since its last call. Its answer 0 cancels; -1 asks to be called again (with 0)
// before the next read, so a caller may hold the load there; anything else continues.
class SONARK_API CInitialLoad {
 public:
  CInitialLoad();
  CInitialLoad(const CInitialLoad&) = delete;
  CInitialLoad& operator=(const CInitialLoad&) = delete;
  ~CInitialLoad();

  // Loads `source` from its current position. `reserved` is passed on unused. Returns 1, or
  // for a PCM sound loaded without peaks the callback's first answer (0: cancelled); 0 on
  // failure. The seek-map request applies to MPEG audio only.
  int DoInitialLoad(CRefObj* source, int buildSeekMap, int determineLength, int buildPeaks,
                    int reserved, long msPerPeak, TLoadProgress callback, void* context);

  // Inspects MPEG audio from the source's position (kErrMpegInspection when no stream of
  // valid frames is there), builds its 30-byte layer 3 format record, creates its decoder and
  // restricts the source to the audio data.
  int ParseMP3(CRefObj* source);
  // WMA is never loaded through this path: always 0.
  int ParseWMA(CRefObj* source);
  // The peaks of the PCM data range of `source` (taken from the side file while it is newer
  // than the sound); returns the length in ms. Peaks are written to a side file for a disk
  // file. 0 with no peak map when cancelled, when msPerPeak is below 1, or when the data
  // cannot be read (kErrDataRange).
  long ParsePeaksForUncompressed(CRefObj* source, int reserved, long msPerPeak,
                                 TLoadProgress callback, void* context);
  // The decoder's one pass over compressed data for the length, the peaks and (MPEG only)
  // the seek map, each taken from its side file when that is newer than the sound. Returns
  // the length in ms; 0 with Cancelled() set and neither peaks nor map when cancelled.
  long ParseScanAndBuildForCompressed(CRefObj* source, int determineLength, int buildPeaks,
                                      int reserved, int buildSeekMap, long msPerPeak,
                                      TLoadProgress callback, void* context);

  // Takes the peaks from the ".ipk" side file of the disk file behind `source` when that
  // file was written after the sound and holds msPerPeak: the length comes with them and the
  // three requests are cleared. Returns 1 when the side file served.
  int LoadPeakMap(CRefObj* source, long msPerPeak, int* buildPeaks, int* writePeaks,
                  int* determineLength, int loadAll);
  // The same for the ".isk" seek map: on success the build and save requests are cleared.
  int LoadSeekMap(CRefObj* source, int* buildSeekMap, int* saveSeekMap);
  // Writes the seek map to the ".isk" side file of the disk file behind `source` (its
  // directories created); the map remembers the file.
  int SaveSeekMap(CRefObj* source);

  // The music information of the wave file's INFO list (ReadWaveMusicInfo); 1 when the list
  // held an item, and only then is the record replaced.
  int SetMusInfoFromWaveInfo(CRefObj* source, CRIFF* riff);
  // The music information of an MPEG file from the inspection's tags: the ID3v1 tag when
  // there is one, else an ID3v2 tag at the start of the file; the MPEG header's private,
  // copyright and original bits. 1 when the record was replaced.
  int SetMusInfoFromMP3Info(CRefObj* source, CMP3Info* info);

  // The decoder of compressed data, null for PCM.
  CDecoder* StealACMObject();
  CDecoder* GetACMObject();
  // The source format, allocated with malloc: the "fmt " chunk (at least 18 bytes; for PCM
  // normalised, without extra bytes).
  tWAVEFORMATEX* StealWaveFomatEx();
  // Allocated with new; null when the file carried none.
  TMusicInfo* StealMusicInfo();

  int Loaded() const { return loaded_; }
  // The data chunk declares more bytes than the file holds: the data runs to the file's end,
  // in whole frames.
  int DataCutShort() const { return data_cut_short_; }
  int Cancelled() const { return cancelled_; }
  // Stream positions of the audio data in the object; -1 until known.
  long DataStart() const { return data_start_; }
  long DataEnd() const { return data_end_; }
  long GetActualLength() const { return actual_length_; }
  // No reference is added.
  CSeekMap* SeekMap() { return seek_map_; }
  // Takes a reference on `map` (which may be null) and drops the one held.
  void SetSeekMap(CSeekMap* map);
  // Owned by the load; a sound keeps a Copy().
  CPeaks* PeakMap() { return peak_map_; }

 private:
  int LoadWave(CRefObj* source, CRIFF& riff, long startPosition, int buildSeekMap,
               int determineLength, int buildPeaks, int reserved, long msPerPeak,
               TLoadProgress callback, void* context);
  int LoadMpeg(CRefObj* source, long startPosition, int buildSeekMap, int determineLength,
               int buildPeaks, int reserved, long msPerPeak, TLoadProgress callback, void* context);
  // The codec manager's decoder for a compressed wave format, or null when none offers PCM.
  CDecoder* CreateCodecDecoder(const tWAVEFORMATEX* format);
  // ParsePeaksForUncompressed's work: 1, or 0 when cancelled or the data cannot be read.
  int BuildPcmPeaks(CRefObj* source, long msPerPeak, TLoadProgress callback, void* context);
  // Asks the callback, again while it answers -1; 0 means cancel.
  int AskToContinue(TLoadProgress callback, void* context, unsigned long amount);
  void DropPeakMap();

  int loaded_ = 0;
  CDecoder* decoder_ = nullptr;
  tWAVEFORMATEX* source_format_ = nullptr;
  long data_start_ = -1;
  long data_end_ = -1;
  long actual_length_ = 0;
  CSeekMap* seek_map_ = nullptr;
  CPeaks* peak_map_ = nullptr;
  TMusicInfo* music_info_ = nullptr;
  int cancelled_ = 0;
  int refused_ = 0;  // the scan found the sound too long to hold
  int data_cut_short_ = 0;
};

// 1 when the file name of `path` ends in ".mp3", ".mp2" or ".mp1" (letter case ignored).
SONARK_API int HasMpegExtension(const char* path);
