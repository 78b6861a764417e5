#pragma once

#include <platform/wave_format.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace sonark_test {

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
