#pragma once

#include <platform/wave_format.h>
#include <sonark/visibility.h>

#include <cstdint>

class CDecoder;

// Layout of the samples held by a _bufferType. The split layouts keep one plane per channel
// and hold values in the 16-bit range whatever their element type.
enum TPrecisionType : int32_t {
  ptInterleaved = 0,  // interleaved 8- or 16-bit PCM exactly as the format says
  ptInt16 = 1,
  ptInt32 = 2,
  ptFloat32 = 3,
  ptDouble64 = 4,
};

// One block of samples. The rendering path always uses ptInterleaved blocks whose `format` is
// the output format and whose `data`/`dataSize` give the region to fill.
struct _bufferType {
  TPrecisionType precision;
  tWAVEFORMATEX* format;
  uint32_t dataSize;     // bytes of the sample area; for a split layout, of each plane
  uint32_t bytesFilled;  // bytes of valid samples that CopyBufferData wrote into each plane
  uint32_t numFrames;    // frames: one sample of every channel
  unsigned char* data;   // interleaved samples, or the left (or only) plane
  unsigned char* data2;  // right plane of a split stereo block, else null
};

// Accepts only `expectedTag` with 8 or 16 bits, 1 or 2 channels and 1..48000 Hz; an accepted
// record is normalised in place (no extra bytes, block align and byte rate recomputed).
// Returns 1, or 0 leaving the record untouched.
SONARK_API int ValidateFormat(tWAVEFORMATEX* format, uint16_t expectedTag);

// One line such as "MS PCM, 44.100 kHz, 16 bit, Stereo", from the strings-file pattern
// "FS_WAVE_FORMAT" filled with codec name, rate / 1000, rate % 1000, bits and channel text.
// `codecName` null means plain PCM. At most outSize - 1 characters are written.
SONARK_API void SoundFormatToString(const tWAVEFORMATEX* format, char* out, long outSize,
                                    const char* codecName);

// Raises the running peaks to the largest absolute 16-bit value among the whole frames in
// [first, end) (8-bit samples widened). For mono the right peak ends equal to the left.
SONARK_API void GetMaxSample(const unsigned char* first, const unsigned char* end,
                             const tWAVEFORMATEX* format, long& leftPeak, long& rightPeak);

// 1 when the data needs no decoder or a codec-manager one; 0 for MPEG audio.
SONARK_API int IsPCMOrACM(CDecoder* decoder);
// The format's block align, or the decoder's own unit of source data.
SONARK_API long BlockSize(const tWAVEFORMATEX* format, CDecoder* decoder);

// A new block in `precision` holding `length` bytes of interleaved `data` (null data gives
// zeroed planes). The record gets its own copy of the format, rewritten for the layout; the
// caller releases it with DeleteBufferFormat before DeleteBufferPtr. Null on failure.
SONARK_API _bufferType* CopyToNewBuffer(const tWAVEFORMATEX* format, const unsigned char* data,
                                        unsigned long length, TPrecisionType precision);
// The same for an interleaved block's format, data and dataSize.
SONARK_API _bufferType* CopyToNewBuffer(const _bufferType* block, TPrecisionType precision);
// An exact duplicate of a split block: own planes, the format pointer shared.
SONARK_API _bufferType* CopyToNewBuffer(const _bufferType* block);

// Converts the frames of an interleaved source block into the destination's layout, never
// writing past the destination's dataSize. Returns 1, or 0 when the blocks cannot be copied.
SONARK_API int CopyBufferData(const _bufferType* source, _bufferType* destination);

// Releases the sample planes of a block made by CopyToNewBuffer, not the record itself.
SONARK_API void DeleteStaticBuffer(_bufferType* block);
// Releases planes and record, and nulls the holder.
SONARK_API void DeleteBufferPtr(_bufferType*& block);
// Releases the format record that CopyToNewBuffer (format, ...) made, and nulls it. Blocks
// duplicated with CopyToNewBuffer (block) share it: release it once, after the last of them.
SONARK_API void DeleteBufferFormat(_bufferType* block);
