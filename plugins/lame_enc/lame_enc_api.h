#pragma once

// The MP3 encoder library liblame_enc.so: the stream entry points of the classic encoder-library
// interface over libmp3lame. The engine loads it with dlopen and finds the functions by name;
// the typedefs below are the shapes to cast dlsym's results to.
//
// Call sequence: beInitStream, beEncodeChunk any number of times, beDeinitStream (flushes the
// last frames), beCloseStream, then beWriteVBRHeader on the finished file.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(LAME_ENC_BUILDING)
#define LAME_ENC_API __attribute__((visibility("default")))
#else
#define LAME_ENC_API
#endif

// Results of every entry point.
typedef unsigned long BeResult;
#define BE_ERR_SUCCESSFUL 0x0UL
#define BE_ERR_INVALID_FORMAT 0x1UL             // unknown record kind, or a record too short
#define BE_ERR_INVALID_FORMAT_PARAMETERS 0x2UL  // rate, mode, bit rate or flags not encodable
#define BE_ERR_NO_MORE_HANDLES 0x3UL            // out of memory
#define BE_ERR_INVALID_HANDLE 0x4UL             // not a live stream, or a null argument
#define BE_ERR_BUFFER_TOO_SMALL 0x5UL  // more samples than samplesPerChunk, odd stereo count
#define BE_ERR_ENCODE_FAILED 0x6UL     // the encoder failed on the samples
#define BE_ERR_FILE 0x7UL              // beWriteVBRHeader: the file cannot be read or written
// beWriteVBRHeader: the file does not start with the placeholder of the kept tag frame.
#define BE_ERR_NO_FRAME 0x8UL

// An open stream; opaque to the caller.
typedef struct LameEncStream* BeStream;

// Configuration record kinds (first u32 of the record).
#define BE_CONFIG_BLADE 0UL
#define BE_CONFIG_LAME 256UL

// Kind 0, packed little-endian, 27 bytes:
//   0 u32 kind (0)   4 u32 sample rate   8 u8 mode   9 u16 bit rate, kbit/s
//   11 u32 private   15 u32 CRC   19 u32 copyright   23 u32 original
// Always constant bit rate, no Xing header.
//
// Kind 256, 331 bytes, u32 little-endian fields, the rest zero:
//   0 kind (256)          4 structure version (1)   8 structure size (331)
//   12 sample rate        16 output sample rate (0: the sample rate)
//   20 mode               24 bit rate, kbit/s (the minimum with VBR)
//   28 maximum bit rate (VBR)   32 preset (-1: none; others are ignored)
//   36 MPEG version (1 MPEG-1, 0 MPEG-2, 2 MPEG-2.5; must agree with the output rate)
//   40 psychoacoustic model (ignored)   44 emphasis (0 none, 1 50/15 us, 3 CCITT)
//   48 private   52 CRC   56 copyright   60 original
//   64 write Xing header (VBR)   68 enable VBR   72 VBR quality (0 best - 9)
//   76 mean bit rate for ABR, bit/s   80 VBR method (-1 none, 0-3 VBR, 4 ABR)
//   84 no bit reservoir
// Modes: 0 stereo, 1 joint stereo, 2 dual channel, 3 mono (one input channel).
#define BE_CONFIG_BLADE_SIZE 27
#define BE_CONFIG_LAME_SIZE 331

#define BE_MODE_STEREO 0
#define BE_MODE_JOINT_STEREO 1
#define BE_MODE_DUAL_CHANNEL 2
#define BE_MODE_MONO 3

// What beVersion fills in.
typedef struct {
  uint8_t libraryMajor;  // this library's version
  uint8_t libraryMinor;
  uint8_t encoderMajor;  // libmp3lame's version
  uint8_t encoderMinor;
  uint8_t encoderAlpha;  // non-zero for an alpha or beta build of libmp3lame
  uint8_t encoderBeta;
  char encoderText[64];  // "LAME 3.100", NUL-terminated
  char homepage[129];    // NUL-terminated
} BeVersionInfo;

// Opens a stream for `config` (a kind 0 or kind 256 record). samplesPerChunk receives the
// number of 16-bit samples per beEncodeChunk call, counted over all channels: 1152 for mono,
// 2304 interleaved left/right samples for the stereo modes. outputBufferSize receives the
// smallest output buffer that beEncodeChunk and beDeinitStream may be given.
typedef BeResult (*BeInitStreamFn)(void* config, unsigned long* samplesPerChunk,
                                   unsigned long* outputBufferSize, BeStream* stream);
// Encodes `samples` 16-bit samples (all channels, interleaved for stereo; at most
// samplesPerChunk, a short last chunk is fine). outBytes receives the MP3 bytes in `out`,
// which may be 0 while the encoder gathers a frame.
typedef BeResult (*BeEncodeChunkFn)(BeStream stream, unsigned long samples, const short* pcm,
                                    unsigned char* out, unsigned long* outBytes);
// Flushes the last frames into `out` and keeps this stream's Xing/Info frame for
// beWriteVBRHeader.
typedef BeResult (*BeDeinitStreamFn)(BeStream stream, unsigned char* out, unsigned long* outBytes);
typedef BeResult (*BeCloseStreamFn)(BeStream stream);
typedef BeResult (*BeVersionFn)(BeVersionInfo* version);
// Writes the final Xing/Info frame of the stream most recently finished by beDeinitStream
// (in this process) over the placeholder frame at the start of `path`, after an ID3v2 tag
// when the file begins with one. A stream without a Xing frame (constant bit rate, or the
// header turned off) leaves the file alone and succeeds.
typedef BeResult (*BeWriteVBRHeaderFn)(const char* path);

LAME_ENC_API BeResult beInitStream(void* config, unsigned long* samplesPerChunk,
                                   unsigned long* outputBufferSize, BeStream* stream);
LAME_ENC_API BeResult beEncodeChunk(BeStream stream, unsigned long samples, const short* pcm,
                                    unsigned char* out, unsigned long* outBytes);
LAME_ENC_API BeResult beDeinitStream(BeStream stream, unsigned char* out, unsigned long* outBytes);
LAME_ENC_API BeResult beCloseStream(BeStream stream);
LAME_ENC_API BeResult beVersion(BeVersionInfo* version);
LAME_ENC_API BeResult beWriteVBRHeader(const char* path);

#ifdef __cplusplus
}
#endif
