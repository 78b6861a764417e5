#pragma once

#include <platform/wave_format.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace sonark_test {

inline tWAVEFORMATEX PcmFormat(uint32_t rate, uint16_t channels, uint16_t bits) {
  tWAVEFORMATEX f{};
  f.wFormatTag = kWaveFormatPcm;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
  f.nAvgBytesPerSec = f.nBlockAlign * rate;
  f.wBitsPerSample = bits;
  return f;
}

inline std::vector<unsigned char> Bytes16(const std::vector<int16_t>& samples) {
  std::vector<unsigned char> bytes(samples.size() * 2);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

inline std::vector<int16_t> Samples16(const unsigned char* bytes, size_t count) {
  std::vector<int16_t> samples(count / 2);
  std::memcpy(samples.data(), bytes, samples.size() * 2);
  return samples;
}

}  // namespace sonark_test
