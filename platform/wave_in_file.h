#pragma once

// What a `wav` input device records from: the wave file named by `in=`, read chunk by chunk and
// converted to the recording format, or silence. Not part of the library's interface; the
// reader is exported only so that its fuzz target can reach it.

#include <platform/visibility.h>
#include <platform/wave_format.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform::wave_in_detail {

// Where the samples of a wave file lie.
struct WaveFileLayout {
  tWAVEFORMATEX format{};   // linear PCM, 8 or 16 bits, 1 or 2 channels
  uint64_t dataOffset = 0;  // from the start of the file
  uint64_t dataBytes = 0;   // whole frames, all of them inside the file
};

// Reads up to `size` bytes at `offset`; the count read (less only at the end of the file), or
// -1 when the read fails.
using ReadAt = std::function<long(uint64_t offset, unsigned char* buffer, size_t size)>;

// Walks the chunks of a RIFF WAVE file of `fileSize` bytes: "fmt " and "data" in either order,
// other chunks skipped, odd sizes padded. A data size past the end of the file (0xFFFFFFFF
// included, as streams write it) means "up to the end". False with the reason in `*problem`
// when the file is not one we can record from; a failed read gives "read error".
PLATFORM_API bool ParseWaveFile(const ReadAt& read, uint64_t fileSize, WaveFileLayout* layout,
                                std::string* problem);

// Converts `frames` frames from `from` to `to` (both linear PCM of 8 or 16 bits, 1 or 2
// channels, the same rate): mono becomes two equal channels, stereo the mean of its two
// (rounded down); 16 to 8 bits is (s >> 8) + 128, 8 to 16 bits (u - 128) << 8.
PLATFORM_API void ConvertFrames(const tWAVEFORMATEX& from, const unsigned char* in, size_t frames,
                                const tWAVEFORMATEX& to, unsigned char* out);

// The bytes a device records, in its format.
class RecordSource {
 public:
  virtual ~RecordSource() = default;
  // Fills `frames` frames: the file's next ones, then silence once it has ended. False, with the
  // reason in `*why`, when the file cannot be read.
  virtual bool Fill(unsigned char* out, size_t frames, std::string* why) = 0;
  // Passes over `frames` frames that nobody records (lost input).
  virtual void Skip(uint64_t frames) = 0;
  // Frames left before the file's end (0 for silence).
  virtual uint64_t FramesLeft() const = 0;
};

// Silence of `format`: 0 for 16-bit samples, 128 for 8-bit ones.
std::unique_ptr<RecordSource> SilenceSource(const tWAVEFORMATEX& format);

// The wave file at `path`, converted to `format`. Null on failure: kWaveError for a missing or
// damaged file, kWaveBadFormat for another sample rate, with the reason in `*why`.
std::unique_ptr<RecordSource> OpenWaveFileSource(const std::string& path,
                                                 const tWAVEFORMATEX& format, int* result,
                                                 std::string* why);

}  // namespace platform::wave_in_detail
