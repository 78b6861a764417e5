#pragma once

#include <cstdint>

// The wave format record exactly as it is stored in "fmt " chunks and session files:
// packed, little-endian, 18 bytes.
#pragma pack(push, 1)
struct tWAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
};
#pragma pack(pop)

static_assert(sizeof(tWAVEFORMATEX) == 18, "tWAVEFORMATEX is stored as 18 bytes");

constexpr uint16_t kWaveFormatPcm = 0x0001;
constexpr uint16_t kWaveFormatAdpcm = 0x0002;
constexpr uint16_t kWaveFormatIeeeFloat = 0x0003;
constexpr uint16_t kWaveFormatAlaw = 0x0006;
constexpr uint16_t kWaveFormatMulaw = 0x0007;
constexpr uint16_t kWaveFormatImaAdpcm = 0x0011;
constexpr uint16_t kWaveFormatMpeg = 0x0050;
constexpr uint16_t kWaveFormatMpegLayer3 = 0x0055;
constexpr uint16_t kWaveFormatExtensible = 0xFFFE;

// A linear PCM record with its block size and byte rate worked out from the rest.
constexpr tWAVEFORMATEX PcmFormat(uint32_t rate, uint16_t channels, uint16_t bits) {
  const auto block = static_cast<uint16_t>(channels * bits / 8);
  return tWAVEFORMATEX{kWaveFormatPcm, channels, rate, block * rate, block, bits, 0};
}
