#pragma once

// The codec manager's drivers, seen from the manager: each family looks at a source format and,
// when it takes it, hands out a decoder of the format's blocks. Not exported.

#include <platform/wave_format.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform::codec {

// Decodes one block of a source format at a time. Output samples are interleaved and on the
// full 32-bit scale (a 16-bit sample s is s << 16), so that every family meets one rounding
// rule on the way down to 16 bits and the decimating filter sees the source's full precision.
class BlockDecoder {
 public:
  BlockDecoder(unsigned blockBytes, unsigned blockFrames, unsigned channels)
      : blockBytes_(blockBytes), blockFrames_(blockFrames), channels_(channels) {}
  virtual ~BlockDecoder() = default;
  BlockDecoder(const BlockDecoder&) = delete;
  BlockDecoder& operator=(const BlockDecoder&) = delete;

  unsigned BlockBytes() const { return blockBytes_; }
  unsigned BlockFrames() const { return blockFrames_; }
  unsigned Channels() const { return channels_; }

  // Decodes the BlockBytes() bytes at `block` into BlockFrames() × Channels() samples. Blocks
  // are independent of each other: any block can be decoded first.
  virtual void Decode(const unsigned char* block, int32_t* out) const = 0;

 private:
  unsigned blockBytes_;
  unsigned blockFrames_;
  unsigned channels_;
};

// Every family answers through one of these. `extra` points at the cbSize bytes that follow
// the 18-byte record. Null with *error set to kCodecErrNoDriver (not this family's format, or a
// variant it does not decode) or kCodecErrBadFormat (the family's format, but damaged).
std::unique_ptr<BlockDecoder> MakeLinearDecoder(const tWAVEFORMATEX& format,
                                                const unsigned char* extra, uint32_t* error);
std::unique_ptr<BlockDecoder> MakeAdpcmDecoder(const tWAVEFORMATEX& format,
                                               const unsigned char* extra, uint32_t* error);

// Down-sampling by a whole factor through a linear-phase low-pass FIR; the history of each
// channel carries from one call to the next.
class Decimator {
 public:
  // The smallest whole factor that brings `rate` to 48 kHz or below (1 when it is already).
  static unsigned FactorFor(uint32_t rate);

  Decimator(unsigned factor, unsigned channels);
  ~Decimator();
  Decimator(const Decimator&) = delete;
  Decimator& operator=(const Decimator&) = delete;

  unsigned Factor() const { return factor_; }

  // Filters `frames` interleaved frames (a multiple of the factor) on the 32-bit scale of
  // BlockDecoder and writes frames / factor frames of 16-bit samples.
  void Process(const int32_t* in, size_t frames, int16_t* out);
  // Back to silence before the next input, as after a seek.
  void Reset();
  // Makes room for calls of up to `frames` frames, so that Process allocates nothing.
  void Reserve(size_t frames);

 private:
  unsigned factor_;
  unsigned channels_;
  std::vector<double> taps_;
  // Per channel: the last taps_.size() - 1 inputs, then the inputs of the current call.
  std::vector<std::vector<double>> lines_;
};

// The 16-bit sample for a sample on the 32-bit scale: round half up, clip at the top. This is
// what sox does when it writes 16 bits without dither.
inline int16_t To16(int32_t s) {
  if (s > 0x7FFF7FFF) return 32767;
  return static_cast<int16_t>((static_cast<int64_t>(s) + 0x8000) >> 16);
}

inline uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace platform::codec
