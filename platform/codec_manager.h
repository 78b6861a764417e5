#pragma once

#include <platform/visibility.h>
#include <platform/wave_format.h>

#include <cstdint>
#include <memory>

namespace platform {

// The codec manager: built-in drivers that turn wave data the engine cannot mix directly into
// 16-bit linear PCM with 1 or 2 channels at 48 kHz or below. It answers the same questions in
// the same order as a system codec manager: is there a driver for this format, which PCM
// format does it suggest, open a stream from the one to the other, how big is the output of
// so much input (and the reverse), convert.
//
// Drivers: IMA ADPCM (0x11), Microsoft ADPCM (0x2), A-law (0x6), mu-law (0x7), IEEE float
// (0x3, 32 and 64 bit), WAVE_FORMAT_EXTENSIBLE (0xFFFE) with a PCM, float, A-law or mu-law
// sub-format of 8 to 32 bits (64 for float; the container width decodes, valid bits only have
// to fit in it), and linear PCM (0x1) of 1 to 32 bits in whole bytes (the engine takes 8 and 16
// bits at 48 kHz or below as they are; the driver takes them too). A rate above 48 kHz, up to
// 768 kHz, is brought down by the smallest whole factor that reaches 48 kHz or below (96 -> 48,
// 88.2 -> 44.1, 192 -> 48 kHz; the rate is cut to a whole number when the factor does not
// divide it) through a low-pass filter that delays the sound by 44 output frames.
//
// Samples come out as sox writes them without dither: wider samples are rounded half up to 16
// bits and clipped at the top; floats clip at ±1.0 (32-bit floats are cut toward zero on the
// 32-bit scale first, 64-bit ones rounded there, as sox does; NaN is silence); ADPCM decodes
// as sox decodes it. Decimated samples are filtered at full precision and rounded to nearest.
//
// Every stream converts whole source blocks only: a block is the format's block align, or for
// a decimating stream as many of them as decode to a whole number of output frames (`factor`
// frames of linear PCM; two 505-frame IMA blocks at a factor of 2), so that each block decodes
// to a whole number of output frames and a stream can restart at any block.
//
// Every `format` argument points at the record followed by its cbSize extra bytes (18 + cbSize
// bytes in all, as a "fmt " chunk holds them): the caller checks cbSize against the chunk and
// passes cbSize 0 for a 16-byte chunk. The drivers read no further.

// 1 when a driver takes `format`'s kind (tag, sub-format, channels, sample width), also when
// the details are damaged: CodecSuggestPcm then refuses it. 0 with kCodecErrNoDriver otherwise.
PLATFORM_API int CodecDriverInstalled(const tWAVEFORMATEX* format);

// The PCM format the driver decodes `format` to (tag 1, 16 bits, the source's channels, its
// rate or the decimated rate, cbSize 0). 0 with the last error set when no driver takes the
// format (kCodecErrNoDriver: another tag or sub-format, more than 2 channels, a rate above
// 768 kHz) or the format is damaged (kCodecErrBadFormat: no channels, a zero rate or block
// align, a block align that disagrees with the sample width, ADPCM extra bytes missing or
// inconsistent with the block align).
PLATFORM_API int CodecSuggestPcm(const tWAVEFORMATEX* format, tWAVEFORMATEX* pcm);

// The name of a format tag's driver ("IMA ADPCM", "Microsoft ADPCM", "CCITT A-Law", ...);
// "" for a tag no driver takes.
PLATFORM_API const char* CodecFormatTagName(uint16_t tag);

// One conversion from a source format to the PCM format CodecSuggestPcm gave for it.
class PLATFORM_API CodecStream {
 public:
  virtual ~CodecStream() = default;

  // Bytes of one source block; every conversion consumes whole blocks.
  virtual unsigned long SourceBlock() const = 0;
  // Bytes of PCM that `sourceBytes` of source decode to (whole blocks of them).
  virtual unsigned long DestinationSize(unsigned long sourceBytes) const = 0;
  // Bytes of source that decode to at least `destinationBytes` of PCM (whole blocks).
  virtual unsigned long SourceSize(unsigned long destinationBytes) const = 0;
  // Decodes as many whole blocks of `source` as fit into `capacity` bytes of `destination`;
  // `sourceUsed` receives the source bytes consumed. Returns the PCM bytes written: 0, with
  // nothing consumed, when less than one block or less room than one block's output is given.
  virtual unsigned long Convert(const unsigned char* source, unsigned long sourceBytes,
                                unsigned long* sourceUsed, unsigned char* destination,
                                unsigned long capacity) = 0;
  // Forgets what earlier blocks left behind (filter history), as after a seek.
  virtual void Reset() = 0;
};

// A stream from `source` to `destination`, which must be the format CodecSuggestPcm gives for
// `source`. Null with the last error set (kCodecErrNoDriver, kCodecErrBadFormat) otherwise.
PLATFORM_API std::unique_ptr<CodecStream> CodecOpen(const tWAVEFORMATEX* source,
                                                    const tWAVEFORMATEX* destination);

// Last-error codes of the codec manager.
constexpr uint32_t kCodecErrNoDriver = 0x20001200;  // no driver takes the format
constexpr uint32_t kCodecErrBadFormat = 0x20001201;  // damaged format, or not the suggested PCM

}  // namespace platform
