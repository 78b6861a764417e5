#pragma once

#include <cstdint>

// Codes the initial load of a sound leaves in the thread's last-error value. Out of memory is
// sonark::kErrOutOfMemory (0x20000001).
namespace sonark {

constexpr uint32_t kErrNotWaveOrMpeg = 0x20000104;     // a RIFF file that is neither
constexpr uint32_t kErrFormatChunkShort = 0x20000105;  // "fmt " shorter than it declares
constexpr uint32_t kErrNoFormatChunk = 0x20000106;
constexpr uint32_t kErrNoDataChunk = 0x20000107;
constexpr uint32_t kErrDataRange = 0x20000108;       // the audio range cannot be set or read
constexpr uint32_t kErrNoPcmFormat = 0x2000010A;     // no decoder offers a PCM format
constexpr uint32_t kErrMpegInspection = 0x2000010B;  // the MPEG stream cannot be inspected
constexpr uint32_t kErrUnsupportedPcm = 0x20000201;  // channels, rate or sample size
constexpr uint32_t kErrEmptyData = 0x20000202;

// Seek-map side files.
constexpr uint32_t kErrSeekMapDamaged = 0x20000113;  // a ".isk" file we did not write
constexpr uint32_t kErrSeekMapWrite = 0x20000114;    // a ".isk" file could not be written

}  // namespace sonark
