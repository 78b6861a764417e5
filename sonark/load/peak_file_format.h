#pragma once

#include <cstdint>
#include <memory>

class CFileObj;

// The stored peak file (".ipk", and ".grd" for rate displays), little-endian: a 12-byte
// header (length ms, ms per peak, number of peaks N), the N peaks, a 20-byte trailer (max
// left, max right, trim start, trim end, total silence). A cached peak file of ours then
// records the size its sound had ("SNDS", 64-bit size): a sound replaced with its date kept
// is told from the one the peaks were built from. Readers of the layout above ignore it.
namespace sonark::peakfile {

constexpr long kHeaderSize = 12;
constexpr long kTrailerSize = 20;
constexpr long kSoundSizeRecordSize = 12;

struct Header {
  int32_t lengthMs = 0;
  uint32_t msPerPeak = 0;
  uint32_t numPeaks = 0;
};

struct Trailer {
  int32_t maxLeft = 0;
  int32_t maxRight = 0;
  int32_t trimStart = 0;
  int32_t trimEnd = 0;
  int32_t totalSilence = 0;
};

void EncodeHeader(const Header& header, unsigned char out[kHeaderSize]);
Header DecodeHeader(const unsigned char in[kHeaderSize]);
void EncodeTrailer(const Trailer& trailer, unsigned char out[kTrailerSize]);
Trailer DecodeTrailer(const unsigned char in[kTrailerSize]);

void EncodeSoundSize(int64_t size, unsigned char out[kSoundSizeRecordSize]);
// The sound size recorded in the peak file at `path`, or -1 when it records none.
int64_t ReadSoundSize(const char* path);

bool IsValidHeader(const Header& header);
// Values a writer of ours can have produced: sample maxima within 16 bits, trim times
// ordered and inside the sound, a silence flag of 0 or 1.
bool IsValidTrailer(const Header& header, const Trailer& trailer);

// Peaks held in memory for a file of `msPerPeak`: about ten seconds, never fewer than 100.
unsigned long BufferSizeFor(unsigned long msPerPeak);

// What a reader took from a peak file.
struct Contents {
  Header header;
  Trailer trailer;
  // 0 all peaks fit the buffer, 1 they stream from the file.
  int streaming = 0;
  unsigned long bufferedPeaks = 0;
  // bufferedPeaks bytes: all peaks, or (when not all were read) zeros with the last peak in
  // the last slot.
  std::unique_ptr<unsigned char[]> peaks;
  unsigned char lastPeak = 0;
};

// Reads and checks the file at `path`. Peaks that fit the buffer are read whole (whatever
// `loadAll` says); of more, only the last peak is read, into the last slot. 1, or 0 with the last
// error set (kErrPeakFileOpen, kErrPeakFileDamaged or kErrOutOfMemory). The file is closed in
// every case.
int ReadPeakFile(const char* path, int loadAll, Contents& out);

// Leaves a named code as the last error and returns 0: a named code already there (the file
// layer's own, out of memory) stays; a system error number is replaced by `code`, its detail
// going to the log with `what` and `path`, since callers only ever see named codes.
int FailKeepingNamed(uint32_t code, const char* what, const char* path);

// Reads `count` peaks from peak index `index` of an open peak file; 1 when all came.
int ReadPeaks(CFileObj& file, unsigned long index, unsigned char* out, unsigned long count);

}  // namespace sonark::peakfile
