#include <platform/wave_in_file.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

// The input is the wave file a `wav` input device records from. Whatever its chunks say, the
// reader must never read outside the file or describe data that lies outside it, and the
// samples it finds must convert to every recording format inside exactly sized buffers.

using namespace platform::wave_in_detail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ReadAt read = [&](uint64_t offset, unsigned char* buffer, size_t want) -> long {
    if (offset > size) std::abort();  // the reader asks only inside the file
    const size_t n = std::min<uint64_t>(want, size - offset);
    memcpy(buffer, data + offset, n);
    return static_cast<long>(n);
  };
  WaveFileLayout layout;
  std::string problem;
  if (!ParseWaveFile(read, size, &layout, &problem)) {
    if (problem.empty()) std::abort();
    return 0;
  }
  const tWAVEFORMATEX& from = layout.format;
  if ((from.wBitsPerSample != 8 && from.wBitsPerSample != 16) ||
      (from.nChannels != 1 && from.nChannels != 2) ||
      from.nBlockAlign != from.nChannels * from.wBitsPerSample / 8 || from.nSamplesPerSec == 0 ||
      layout.dataOffset > size || layout.dataBytes > size - layout.dataOffset ||
      layout.dataBytes % from.nBlockAlign) {
    std::abort();
  }
  const size_t frames = layout.dataBytes / from.nBlockAlign;
  for (uint16_t channels : {1, 2}) {
    for (uint16_t bits : {8, 16}) {
      const tWAVEFORMATEX to = PcmFormat(from.nSamplesPerSec, channels, bits);
      std::vector<unsigned char> out(frames * to.nBlockAlign);
      ConvertFrames(from, data + layout.dataOffset, frames, to, out.data());
    }
  }
  return 0;
}
