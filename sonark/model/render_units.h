#pragma once

#include <platform/wave_format.h>
#include <sonark/model/atom_guard.h>
#include <sonark/model/audio_atom.h>
#include <sonark/containers/my_array_list.h>
#include <sonark/render/mix_kernel.h>

#include <cmath>
#include <cstdint>

// Conversions between the units of rendering (milliseconds, bytes, frames, 1/8192 gains,
// 1/2^27 steps), shared by the files that render a sound. Internal to the engine.
namespace sonark::render {

using sonark::AtomGuard;

// Linear PCM that the mixing loop can read or write.
inline bool RenderableFormat(const tWAVEFORMATEX* f) {
  return f != nullptr && (f->wBitsPerSample == 8 || f->wBitsPerSample == 16) &&
         (f->nChannels == 1 || f->nChannels == 2) && f->nSamplesPerSec > 0;
}

// Bytes of one frame, from bits and channels (a record's own block align may be stale).
inline long FrameBytes(const tWAVEFORMATEX* f) { return f->wBitsPerSample / 8 * f->nChannels; }

inline double BytesPerSecond(const tWAVEFORMATEX* f) {
  return static_cast<double>(FrameBytes(f)) * f->nSamplesPerSec;
}

// Rounded toward zero to whole frames.
inline long WholeFrames(long bytes, const tWAVEFORMATEX* f) {
  return bytes - bytes % FrameBytes(f);
}

// trunc(bytes per second x ms / 1000) in whole frames; never negative.
inline long MsToBytes(long ms, const tWAVEFORMATEX* f) {
  const long bytes = TruncateToLong(BytesPerSecond(f) * static_cast<double>(ms) * 0.001);
  return bytes > 0 ? WholeFrames(bytes, f) : 0;
}

// Output frames in `ms` at `rate` samples per second: trunc(ms x rate x 0.001).
inline long MsToFrames(long ms, uint32_t rate) {
  return TruncateToLong(static_cast<double>(ms) * rate * 0.001);
}

// A factor as a gain in 1/8192 units: truncated, its absolute value, and held where gain
// times a sample still fits 32 bits.
inline int32_t GainFor(double factor) {
  const double scaled = std::fabs(std::trunc(factor * 8192.0));
  if (!(scaled >= 0.0)) return 0;  // NaN
  return scaled > mix::kMaxGain ? mix::kMaxGain : static_cast<int32_t>(scaled);
}

// Gains from volume and pan: pan attenuates only the far channel, linearly.
inline void GainsFor(double volume, double pan, bool panRamp, int32_t& left, int32_t& right) {
  if (pan > 0.0) {
    left = GainFor((1.0 - pan) * volume);
    right = GainFor(volume);
  } else if (pan < 0.0 || panRamp) {
    left = GainFor(volume);
    right = GainFor((1.0 + pan) * volume);
  } else {
    left = right = GainFor(volume);
  }
}

// Source frames per output frame in 1/2^27 units, truncated. A stopped, reversed or undefined
// rate still creeps forward so that the sound can end, and the step never overflows the
// phase.
inline int32_t StepFor(double rate, const tWAVEFORMATEX* source, uint32_t outputRate) {
  const double step = static_cast<double>(source->nSamplesPerSec) * rate *
                      static_cast<double>(mix::kPhaseOne) / static_cast<double>(outputRate);
  if (!(step >= 1.0)) return 1;
  if (step >= static_cast<double>(mix::kMaxStep)) return mix::kMaxStep;
  return static_cast<int32_t>(step);
}

}  // namespace sonark::render
