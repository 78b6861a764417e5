#pragma once

#include <cstdint>

// The sample arithmetic shared by everything that touches linear PCM: 8-bit samples are
// unsigned with silence at 128, 16-bit ones signed with silence at 0.
namespace sonark::samples {

// The byte of silence of linear PCM of `bits` per sample: what every stretch of silence is
// filled with (a block before sounds are added, padding of data that came up short).
inline unsigned char SilenceByte(int bits) { return bits == 8 ? 128 : 0; }

inline int32_t Widen8(uint8_t b) { return (static_cast<int32_t>(b) - 128) * 256; }

// No rounding and no dither: the high byte, re-centred.
inline uint8_t Narrow16(int32_t s) { return static_cast<uint8_t>((s >> 8) + 128); }

inline int32_t Saturate16(int64_t v) {
  return v > 32767 ? 32767 : (v < -32768 ? -32768 : static_cast<int32_t>(v));
}

inline int16_t Load16(const unsigned char* p) {
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

inline void Store16(unsigned char* p, int32_t v) {
  const auto u = static_cast<uint16_t>(v);
  p[0] = static_cast<unsigned char>(u & 0xFF);
  p[1] = static_cast<unsigned char>(u >> 8);
}

// One sample of 8 or 16 bits as a 16-bit value.
inline int32_t LoadSample(const unsigned char* p, int bits) {
  return bits == 8 ? Widen8(*p) : Load16(p);
}

// Adds `contribution` to the sample at p, saturating in the 16-bit range.
inline void AddSaturated(unsigned char* p, int bits, int32_t contribution) {
  if (bits == 8) {
    const int64_t sum = static_cast<int64_t>(Widen8(*p)) + contribution;
    if (sum >= 32767) {
      *p = 255;
    } else if (sum < -32768) {
      *p = 0;
    } else {
      *p = Narrow16(static_cast<int32_t>(sum));
    }
  } else {
    Store16(p, Saturate16(static_cast<int64_t>(Load16(p)) + contribution));
  }
}

}  // namespace sonark::samples
