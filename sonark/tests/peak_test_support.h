#pragma once

#include <sonark/load/peaks.h>
#include <sonark/thresholds.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace peak_test {

inline std::vector<unsigned char> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline void Put32(std::vector<unsigned char>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// A peak file laid out field by field, independently of the writer.
inline std::vector<unsigned char> PeakFileBytes(int32_t lengthMs, uint32_t msPerPeak,
                                                const std::vector<unsigned char>& peaks,
                                                int32_t maxLeft, int32_t maxRight,
                                                int32_t trimStart, int32_t trimEnd,
                                                int32_t silence) {
  std::vector<unsigned char> out;
  Put32(out, static_cast<uint32_t>(lengthMs));
  Put32(out, msPerPeak);
  Put32(out, static_cast<uint32_t>(peaks.size()));
  out.insert(out.end(), peaks.begin(), peaks.end());
  for (int32_t v : {maxLeft, maxRight, trimStart, trimEnd, silence}) {
    Put32(out, static_cast<uint32_t>(v));
  }
  return out;
}

// A cached peak file's record of the size its sound had, after the trailer.
inline std::vector<unsigned char> WithSoundSize(std::vector<unsigned char> file, uint64_t size) {
  file.insert(file.end(), {'S', 'N', 'D', 'S'});
  Put32(file, static_cast<uint32_t>(size));
  Put32(file, static_cast<uint32_t>(size >> 32));
  return file;
}

// Streams `peaks` as a parse would and finishes them with `lengthMs`.
inline int BuildPeaks(CPeaks& peaks, const std::vector<unsigned char>& values, long lengthMs,
                      int toFile = 0, CRefObj* source = nullptr) {
  peaks.InitStreamPeaksFromParse(&toFile, source);
  for (unsigned char v : values) {
    if (!peaks.StreamPeakFromParse(v, toFile)) return 0;
  }
  return peaks.FinishPeaksFromParse(lengthMs, toFile);
}

inline std::vector<unsigned char> Held(CPeaks& peaks) {
  const unsigned char* data = peaks.GetDataPtr();
  if (data == nullptr) return {};
  return std::vector<unsigned char>(data, data + peaks.GetNumPeaks());
}

// Restores the engine-wide thresholds when a test changed them.
struct ThresholdGuard {
  ~ThresholdGuard() {
    SetSilenceThreshold(kDefaultSilenceThreshold);
    SetPartialSongThreshold(kDefaultPartialSongThreshold);
  }
};

}  // namespace peak_test
