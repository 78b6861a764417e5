#pragma once

#include "pcm_test_support.h"

#include <sonark/model/pcm_sound.h>
#include <sonark/render/buffer_format.h>
#include <tarnell/mem_obj.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace render_test {

inline tWAVEFORMATEX Format(uint32_t rate, uint16_t channels, uint16_t bits) {
  return PcmFormat(rate, channels, bits);
}

struct ReleaseRefObj {
  void operator()(CRefObj* object) const { DeleteRefObject(&object); }
};
using DataPtr = std::unique_ptr<CMemObj, ReleaseRefObj>;

struct ReleaseAtom {
  void operator()(CAudioAtom* atom) const { DeleteAtom(&atom); }
};
using SoundPtr = std::unique_ptr<CPCMSound, ReleaseAtom>;

// A memory data object whose window is all of `bytes`.
inline DataPtr MemoryData(const std::vector<unsigned char>& bytes) {
  DataPtr data(new CMemObj());
  data->Open(const_cast<unsigned char*>(bytes.data()), bytes.size());
  data->SetDataOffsets(0, bytes.size());
  return data;
}

// Frame i of channel c as `format` stores it, from a function giving 16-bit values; 8-bit
// sources take the high byte of the value.
inline std::vector<unsigned char> Samples(long frames, const tWAVEFORMATEX& format,
                                          const std::function<int32_t(long, int)>& value) {
  std::vector<unsigned char> bytes;
  for (long i = 0; i < frames; ++i) {
    for (int c = 0; c < format.nChannels; ++c) {
      const int32_t v = value(i, c);
      if (format.wBitsPerSample == 8) {
        bytes.push_back(static_cast<unsigned char>((v >> 8) + 128));
      } else {
        const auto u = static_cast<uint16_t>(v);
        bytes.push_back(static_cast<unsigned char>(u & 0xFF));
        bytes.push_back(static_cast<unsigned char>(u >> 8));
      }
    }
  }
  return bytes;
}

// The staircase: at 16 bits sample i of the left channel is i and of the right channel -i;
// at 8 bits the steps are 256 apart (byte i mod 256), so that every step survives the width.
inline int32_t Staircase(long i, int channel, int bits) {
  const int32_t step =
      bits == 8 ? static_cast<int32_t>(i % 256) * 256 - 32768 : static_cast<int32_t>(i % 32768);
  return channel == 0 ? step : -step - (bits == 8 ? 256 : 0);
}

inline std::vector<unsigned char> StaircaseBytes(long frames, const tWAVEFORMATEX& format) {
  return Samples(frames, format,
                 [&](long i, int c) { return Staircase(i, c, format.wBitsPerSample); });
}

// A sound set up over `bytes` with a buffer of `bufferMs`.
inline SoundPtr NewSound(const std::vector<unsigned char>& bytes, const tWAVEFORMATEX& format,
                         long bufferMs = 2000) {
  SoundPtr sound(new CPCMSound());
  DataPtr data = MemoryData(bytes);
  sound->SetUpFromPCM(data.get(), &format, bufferMs);
  return sound;
}

struct Rendered {
  std::vector<int16_t> samples;  // 16-bit output, interleaved
  unsigned long bytes = 0;       // produced in all
  TRenderResult result = kRenderFailed;
  int calls = 0;
};

// Renders with ReadData in blocks of `blockFrames` until the sound finishes or `frames`
// frames were asked for, into silent 16-bit blocks of `output`.
inline Rendered Render(CPCMSound& sound, const tWAVEFORMATEX& output, long frames,
                       long blockFrames = 1024) {
  Rendered rendered;
  tWAVEFORMATEX format = output;
  const long align = output.nBlockAlign;
  long asked = 0;
  while (asked < frames) {
    const long n = std::min(blockFrames, frames - asked);
    std::vector<unsigned char> block(static_cast<size_t>(n * align),
                                     output.wBitsPerSample == 8 ? 128 : 0);
    _bufferType b{ptInterleaved, &format, static_cast<uint32_t>(block.size()), 0, 0,
                  block.data(),  nullptr};
    unsigned long produced = 0;
    rendered.result = sound.ReadData(&b, &produced);
    ++rendered.calls;
    rendered.bytes += produced;
    for (unsigned long i = 0; i < produced; i += output.wBitsPerSample / 8) {
      if (output.wBitsPerSample == 8) {
        rendered.samples.push_back(static_cast<int16_t>((block[i] - 128) * 256));
      } else {
        int16_t v;
        std::memcpy(&v, &block[i], 2);
        rendered.samples.push_back(v);
      }
    }
    asked += n;
    if (rendered.result != kRenderMore) break;
  }
  return rendered;
}

}  // namespace render_test
