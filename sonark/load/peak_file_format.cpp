#include <platform/byte_order.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/load/peak_file_format.h>
#include <sonark/load/peaks.h>
#include <tarnell/errors.h>
#include <tarnell/file_obj.h>
#include <tarnell/log.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace sonark::peakfile {
namespace {

using platform::GetLe32;
using platform::GetLeSigned32;
using platform::PutLe32;

constexpr char kSoundSizeTag[4] = {'S', 'N', 'D', 'S'};

int Damaged() {
  platform::set_last_error(kErrPeakFileDamaged);
  return 0;
}

bool ReadAt(CFileObj& file, long offset, unsigned char* out, long count) {
  return file.Seek(offset, 0) && file.Read(reinterpret_cast<char*>(out), count) == count;
}

}  // namespace

void EncodeHeader(const Header& header, unsigned char out[kHeaderSize]) {
  PutLe32(out, static_cast<uint32_t>(header.lengthMs));
  PutLe32(out + 4, header.msPerPeak);
  PutLe32(out + 8, header.numPeaks);
}

Header DecodeHeader(const unsigned char in[kHeaderSize]) {
  return Header{GetLeSigned32(in), GetLe32(in + 4), GetLe32(in + 8)};
}

void EncodeTrailer(const Trailer& trailer, unsigned char out[kTrailerSize]) {
  PutLe32(out, static_cast<uint32_t>(trailer.maxLeft));
  PutLe32(out + 4, static_cast<uint32_t>(trailer.maxRight));
  PutLe32(out + 8, static_cast<uint32_t>(trailer.trimStart));
  PutLe32(out + 12, static_cast<uint32_t>(trailer.trimEnd));
  PutLe32(out + 16, static_cast<uint32_t>(trailer.totalSilence));
}

Trailer DecodeTrailer(const unsigned char in[kTrailerSize]) {
  return Trailer{GetLeSigned32(in), GetLeSigned32(in + 4), GetLeSigned32(in + 8), GetLeSigned32(in + 12),
                 GetLeSigned32(in + 16)};
}

void EncodeSoundSize(int64_t size, unsigned char out[kSoundSizeRecordSize]) {
  std::memcpy(out, kSoundSizeTag, 4);
  PutLe32(out + 4, static_cast<uint32_t>(static_cast<uint64_t>(size)));
  PutLe32(out + 8, static_cast<uint32_t>(static_cast<uint64_t>(size) >> 32));
}

int64_t ReadSoundSize(const char* path) {
  CFileObj file;
  if (!file.Open(path, 0, 0)) return -1;
  unsigned char head[kHeaderSize];
  unsigned char record[kSoundSizeRecordSize];
  if (!ReadAt(file, 0, head, kHeaderSize)) return -1;
  const long at = kHeaderSize + static_cast<long>(DecodeHeader(head).numPeaks) + kTrailerSize;
  if (!ReadAt(file, at, record, kSoundSizeRecordSize) ||
      std::memcmp(record, kSoundSizeTag, 4) != 0) {
    return -1;
  }
  const uint64_t size = GetLe32(record + 4) | static_cast<uint64_t>(GetLe32(record + 8)) << 32;
  return size <= static_cast<uint64_t>(INT64_MAX) ? static_cast<int64_t>(size) : -1;
}

bool IsValidHeader(const Header& header) {
  return header.lengthMs > 0 && header.msPerPeak != 0 && header.numPeaks != 0;
}

bool IsValidTrailer(const Header& header, const Trailer& trailer) {
  const int64_t span =
      std::max<int64_t>(header.lengthMs, static_cast<int64_t>(header.numPeaks) * header.msPerPeak);
  auto sample = [](int32_t v) { return v >= 0 && v <= 32768; };
  return sample(trailer.maxLeft) && sample(trailer.maxRight) && trailer.trimStart >= 0 &&
         trailer.trimStart <= trailer.trimEnd && trailer.trimEnd <= span &&
         (trailer.totalSilence == 0 || trailer.totalSilence == 1);
}

unsigned long BufferSizeFor(unsigned long msPerPeak) {
  if (msPerPeak == 0) return 100;
  return std::max(100UL, 10000UL / msPerPeak);
}

int ReadPeakFile(const char* path, int loadAll, Contents& out) {
  CFileObj file;
  if (!file.Open(path, 0, 0)) return FailKeepingNamed(kErrPeakFileOpen, "cannot open", path);
  unsigned char head[kHeaderSize];
  if (!ReadAt(file, 0, head, kHeaderSize)) return Damaged();
  const Header header = DecodeHeader(head);
  if (!IsValidHeader(header)) return Damaged();
  // The whole file must be there, or streaming it later would fail where nobody checks.
  const long needed = kHeaderSize + static_cast<long>(header.numPeaks) + kTrailerSize;
  if (file.Size() < needed) return Damaged();

  const unsigned long bufferSize = BufferSizeFor(header.msPerPeak);
  const bool fits = header.numPeaks <= bufferSize;
  const unsigned long buffered = fits ? header.numPeaks : bufferSize;
  std::unique_ptr<unsigned char[]> peaks(new (std::nothrow) unsigned char[buffered]());
  if (!peaks) {
    platform::set_last_error(kErrOutOfMemory);
    return 0;
  }
  // Peaks that fit are always read: a buffer claiming them while it held zeros would show,
  // mix and save silence. They are at most about ten seconds' worth of bytes.
  (void)loadAll;
  if (fits) {
    if (!ReadAt(file, kHeaderSize, peaks.get(), static_cast<long>(buffered))) return Damaged();
  } else if (!ReadAt(file, kHeaderSize + static_cast<long>(header.numPeaks) - 1,
                     peaks.get() + buffered - 1, 1)) {
    return Damaged();
  }
  unsigned char tail[kTrailerSize];
  if (!ReadAt(file, kHeaderSize + static_cast<long>(header.numPeaks), tail, kTrailerSize)) {
    return Damaged();
  }
  const Trailer trailer = DecodeTrailer(tail);
  if (!IsValidTrailer(header, trailer)) return Damaged();

  out.header = header;
  out.trailer = trailer;
  out.streaming = fits ? 0 : 1;
  out.bufferedPeaks = buffered;
  out.lastPeak = peaks[buffered - 1];
  out.peaks = std::move(peaks);
  return 1;
}

int FailKeepingNamed(uint32_t code, const char* what, const char* path) {
  const uint32_t found = platform::last_error();
  if (found != 0 && (found & tarnell::kErrApplicationBit) != 0) return 0;
  if (found != 0) {
    const std::string line = std::string("peaks: ") + what + " " + (path ? path : "") + ": " +
                             std::strerror(static_cast<int>(found));
    Log(line.c_str());
  }
  platform::set_last_error(code);
  return 0;
}

int ReadPeaks(CFileObj& file, unsigned long index, unsigned char* out, unsigned long count) {
  if (count == 0) return 1;
  return ReadAt(file, kHeaderSize + static_cast<long>(index), out, static_cast<long>(count)) ? 1
                                                                                             : 0;
}

}  // namespace sonark::peakfile
