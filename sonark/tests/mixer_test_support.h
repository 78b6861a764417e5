#pragma once

#include "pcm_test_support.h"

#include <platform/clock.h>
#include <platform/wave_format.h>
#include <sonark/model/audio_atom.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>
#include <sonark/mixer/pcm_mixer.h>
#include <tarnell/mem_obj.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

namespace mixer_test {

// Polls `done` every millisecond; false once `timeoutMs` have passed without it.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 20000) {
  const uint64_t end = platform::monotonic_ms() + static_cast<uint64_t>(timeoutMs);
  while (!done()) {
    if (platform::monotonic_ms() > end) return false;
    platform::sleep_ms(1);
  }
  return true;
}

inline tWAVEFORMATEX Pcm(uint32_t rate, uint16_t channels, uint16_t bits) {
  return PcmFormat(rate, channels, bits);
}

// The data of one test sound as 16-bit values, frame by frame, left then right.
struct Source {
  std::vector<int16_t> values;  // at 8 bits, multiples of 256
  int channels = 2;
  int bits = 16;
  long Frames() const { return static_cast<long>(values.size()) / channels; }
};

// A staircase that tells sounds apart: frame i of the left channel is first + i (wrapping at
// `period` steps), the right channel its negative, so a misplaced frame or channel shows.
inline Source Staircase(long frames, int first, int channels = 2, int period = 3000) {
  Source s;
  s.channels = channels;
  for (long i = 0; i < frames; ++i) {
    const auto v = static_cast<int16_t>(first + i % period);
    s.values.push_back(v);
    if (channels == 2) s.values.push_back(static_cast<int16_t>(-v));
  }
  return s;
}

// A staircase of 8-bit steps around silence, mono: step i is ((i % 40) - 20) x 256.
inline Source Staircase8(long frames) {
  Source s;
  s.channels = 1;
  s.bits = 8;
  for (long i = 0; i < frames; ++i) s.values.push_back(static_cast<int16_t>((i % 40 - 20) * 256));
  return s;
}

inline std::vector<unsigned char> Bytes(const Source& s) {
  if (s.bits == 8) {
    std::vector<unsigned char> bytes;
    for (int16_t v : s.values) bytes.push_back(static_cast<unsigned char>((v >> 8) + 128));
    return bytes;
  }
  std::vector<unsigned char> bytes(s.values.size() * 2);
  std::memcpy(bytes.data(), s.values.data(), bytes.size());
  return bytes;
}

// A sound over a memory copy of `source` (at `rate`), with one reference for the
// caller. `lengthMs` > 0 places it longer or shorter than its data.
inline CPCMSound* NewSound(const Source& source, long lengthMs = 0, uint32_t rate = 44100,
                           long bufferMs = 2000) {
  auto* sound = new CPCMSound();
  auto* data = new CMemObj();
  std::vector<unsigned char> bytes = Bytes(source);
  data->Open(bytes.data(), bytes.size());
  data->SetDataOffsets(0, bytes.size());
  tWAVEFORMATEX format =
      Pcm(rate, static_cast<uint16_t>(source.channels), static_cast<uint16_t>(source.bits));
  sound->SetUpFromPCM(data, &format, bufferMs);
  CRefObj* held = data;
  DeleteRefObject(&held);
  if (lengthMs > 0) sound->SetVirtualLength(lengthMs);
  sound->GetSrcMap()->SetDefaultMap(sound->Length(0), kMapAll);
  return sound;
}

// The kind a program keeps at the top of a session: offsets stay exactly as given.
class FixedGroup : public CSoundGroup {
 public:
  int CanAdjust() override { return 0; }
  int CanCombine() override { return 0; }
};

// Adds `atom` to `parent` at `offset` and hands the caller's reference to the group.
inline void AddOwned(CAudioAtom* atom, CAudioAtom* parent, long offset) {
  atom->Add(parent, offset);
  DeleteAtom(&atom);
}

// What a sound should contribute: `source` from `startFrame` for `frames` frames, repeating
// its data, as 16-bit stereo (a mono source feeds both channels), added into `mix` with
// saturation. Muted sounds add nothing.
inline void AddReference(std::vector<int32_t>& mix, const Source& source, long startFrame,
                         long frames) {
  const long dataFrames = source.Frames();
  for (long k = 0; k < frames; ++k) {
    const long at = (startFrame + k) * 2;
    if (at + 1 >= static_cast<long>(mix.size())) break;
    const long i = k % dataFrames;
    const int32_t left = source.values[static_cast<size_t>(i * source.channels)];
    const int32_t right =
        source.channels == 2 ? source.values[static_cast<size_t>(i * 2 + 1)] : left;
    mix[static_cast<size_t>(at)] = std::clamp(mix[static_cast<size_t>(at)] + left, -32768, 32767);
    mix[static_cast<size_t>(at + 1)] =
        std::clamp(mix[static_cast<size_t>(at + 1)] + right, -32768, 32767);
  }
}

inline std::vector<int16_t> ToSamples(const std::vector<int32_t>& mix) {
  return std::vector<int16_t>(mix.begin(), mix.end());
}

using sonark_test::Samples16;

// A MixToDataSink sink that keeps every byte it is offered.
struct Collect {
  std::vector<unsigned char> bytes;
  static TDataWriteCode Sink(void* data, long* length, void* context) {
    auto* self = static_cast<Collect*>(context);
    auto* at = static_cast<unsigned char*>(data);
    self->bytes.insert(self->bytes.end(), at, at + *length);
    return dwcNextBlock;
  }
};

// The index of the first sample where two mixes differ, or -1; sizes must match too.
inline long FirstDifference(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return static_cast<long>(i);
  }
  return a.size() == b.size() ? -1 : static_cast<long>(n);
}

}  // namespace mixer_test
