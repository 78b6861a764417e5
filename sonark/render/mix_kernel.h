#pragma once

#include <sonark/render/sample_convert.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The inner loop of rendering one sound into a mix: resampling by linear interpolation with
// the position in 1/2^27 source frames, gains in 1/8192, saturating adds into the output.
// One instantiation per source and output layout, so the loop itself never branches on the
// format. Internal to the engine.
namespace sonark::mix {

constexpr int kPhaseShift = 27;
constexpr int32_t kPhaseOne = int32_t{1} << kPhaseShift;
constexpr int kGainShift = 13;

// The largest step that cannot overflow the phase: it is at most one unit before a step is
// added.
constexpr int32_t kMaxStep = INT32_MAX - kPhaseOne;
// Gains above this could overflow gain x sample in 32 bits.
constexpr int32_t kMaxGain = 65535;

// The resampler and gains of one sound, held in locals while a run lasts.
struct MixState {
  int32_t phase;
  int32_t step;
  int32_t previousLeft;
  int32_t previousRight;
  int32_t leftGain;
  int32_t rightGain;
};

// Renders up to `frames` output frames from the whole source frames in [cursor, end) and adds
// them into `out`. Returns the frames written; fewer when the source ran out, which is then
// reported in `sourceRanOut` with the frame that could not be finished undone, so that the
// next region continues exactly where this one stopped.
// Adds `contribution` into the sample at `at`, saturating in the 16-bit range; 8-bit
// samples are widened for the sum. A 16-bit sample plus any contribution of the loop (at
// most 2^19 in size) fits 32 bits, so the 16-bit case needs no wider arithmetic.
template <int kBits>
inline void AddInto(unsigned char* at, int32_t contribution) {
  if constexpr (kBits == 16 && std::endian::native == std::endian::little) {
    int16_t sample;
    std::memcpy(&sample, at, 2);
    int32_t sum = sample + contribution;
    sum = sum > 32767 ? 32767 : (sum < -32768 ? -32768 : sum);
    const auto stored = static_cast<int16_t>(sum);
    std::memcpy(at, &stored, 2);
  } else {
    samples::AddSaturated(at, kBits, contribution);
  }
}

// Rate 1.0 without interpolation: output frame i takes source frame i, scaled by the gains
// and added with saturation.
template <int kSourceBits, int kSourceChannels, int kOutputBits, int kOutputChannels>
inline void AddRun(const unsigned char* from, unsigned char* to, unsigned long frames,
                   int32_t leftGain, int32_t rightGain) {
  constexpr int kSourceSample = kSourceBits / 8;
  constexpr int kSourceAlign = kSourceSample * kSourceChannels;
  constexpr int kOutputSample = kOutputBits / 8;
  constexpr int kOutputAlign = kOutputSample * kOutputChannels;
  unsigned long i = 0;
#if defined(__SSE2__)
  // Sixteen-bit into stereo sixteen-bit, the common case, four frames at a time: 16 x 16-bit
  // products widened to 32 bits, shifted, added to the widened output and packed back with
  // saturation, which is exactly what the scalar loop does. Gains must fit 16 signed bits.
  if constexpr (kSourceBits == 16 && kOutputBits == 16 && kOutputChannels == 2 &&
                std::endian::native == std::endian::little) {
    if (leftGain <= 32767 && rightGain <= 32767) {
      const __m128i gains =
          _mm_set_epi16(static_cast<int16_t>(rightGain), static_cast<int16_t>(leftGain),
                        static_cast<int16_t>(rightGain), static_cast<int16_t>(leftGain),
                        static_cast<int16_t>(rightGain), static_cast<int16_t>(leftGain),
                        static_cast<int16_t>(rightGain), static_cast<int16_t>(leftGain));
      for (; i + 4 <= frames; i += 4) {
        __m128i source;
        if constexpr (kSourceChannels == 2) {
          source = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i * kSourceAlign));
        } else {
          const __m128i mono =
              _mm_loadl_epi64(reinterpret_cast<const __m128i*>(from + i * kSourceAlign));
          source = _mm_unpacklo_epi16(mono, mono);
        }
        const __m128i low = _mm_mullo_epi16(source, gains);
        const __m128i high = _mm_mulhi_epi16(source, gains);
        const __m128i first = _mm_srai_epi32(_mm_unpacklo_epi16(low, high), kGainShift);
        const __m128i second = _mm_srai_epi32(_mm_unpackhi_epi16(low, high), kGainShift);
        auto* out = reinterpret_cast<__m128i*>(to + i * kOutputAlign);
        const __m128i mix = _mm_loadu_si128(out);
        const __m128i mixFirst = _mm_srai_epi32(_mm_unpacklo_epi16(mix, mix), 16);
        const __m128i mixSecond = _mm_srai_epi32(_mm_unpackhi_epi16(mix, mix), 16);
        _mm_storeu_si128(
            out, _mm_packs_epi32(_mm_add_epi32(mixFirst, first), _mm_add_epi32(mixSecond, second)));
      }
    }
  }
#endif
  for (; i < frames; ++i) {
    const unsigned char* source = from + i * kSourceAlign;
    unsigned char* out = to + i * kOutputAlign;
    const int32_t left = samples::LoadSample(source, kSourceBits);
    const int32_t leftOut = (leftGain * left) >> kGainShift;
    int32_t rightOut = 0;
    if constexpr (kSourceChannels == 2) {
      rightOut =
          (rightGain * samples::LoadSample(source + kSourceSample, kSourceBits)) >> kGainShift;
    } else if constexpr (kOutputChannels == 2) {
      rightOut = (rightGain * left) >> kGainShift;
    }
    if constexpr (kOutputChannels == 2) {
      AddInto<kOutputBits>(out, leftOut);
      AddInto<kOutputBits>(out + kOutputSample, rightOut);
    } else {
      AddInto<kOutputBits>(out, leftOut + rightOut);
    }
  }
}

template <int kSourceBits, int kSourceChannels, int kOutputBits, int kOutputChannels, bool kMuted>
unsigned long MixFrames(MixState& state, const unsigned char*& cursor, const unsigned char* end,
                        unsigned char* out, unsigned long frames, bool& sourceRanOut) {
  constexpr int kSourceSample = kSourceBits / 8;
  constexpr int kSourceAlign = kSourceSample * kSourceChannels;
  constexpr int kOutputSample = kOutputBits / 8;
  constexpr int kOutputAlign = kOutputSample * kOutputChannels;

  int32_t phase = state.phase;
  const int32_t step = state.step;
  int32_t previousLeft = state.previousLeft;
  int32_t previousRight = state.previousRight;
  const int32_t leftGain = state.leftGain;
  const int32_t rightGain = state.rightGain;
  const unsigned char* source = cursor;
  unsigned long done = 0;
  sourceRanOut = false;

  auto emit = [&](unsigned char* at, int32_t left, int32_t right) {
    if constexpr (kOutputChannels == 2) {
      AddInto<kOutputBits>(at, left);
      AddInto<kOutputBits>(at + kOutputSample, right);
    } else {
      AddInto<kOutputBits>(at, left + right);
    }
  };

  while (done < frames) {
    // At rate 1.0 the phase settles at one unit: every frame then moves on by exactly one
    // source frame and lands on it, so no interpolation is needed. The general path below
    // gives the same samples.
    if (step == kPhaseOne && phase == kPhaseOne) {
      const auto available = static_cast<unsigned long>(end - source) / kSourceAlign;
      if (available >= 2) {
        const unsigned long run = std::min(frames - done, available - 1);
        if constexpr (!kMuted) {
          AddRun<kSourceBits, kSourceChannels, kOutputBits, kOutputChannels>(
              source + kSourceAlign, out + done * kOutputAlign, run, leftGain, rightGain);
        }
        source += run * kSourceAlign;
        done += run;
        previousLeft = samples::LoadSample(source - kSourceAlign, kSourceBits);
        if constexpr (kSourceChannels == 2) {
          previousRight = samples::LoadSample(source - kSourceAlign + kSourceSample, kSourceBits);
        }
        continue;
      }
    }

    phase += step;
    bool ranOut = false;
    while (phase > kPhaseOne) {
      if (source == end) {
        ranOut = true;
        break;
      }
      phase -= kPhaseOne;
      previousLeft = samples::LoadSample(source, kSourceBits);
      if constexpr (kSourceChannels == 2) {
        previousRight = samples::LoadSample(source + kSourceSample, kSourceBits);
      }
      source += kSourceAlign;
    }
    if (ranOut || source == end) {
      // This frame is taken up again with the next region.
      phase -= step;
      sourceRanOut = true;
      break;
    }
    if constexpr (!kMuted) {
      const int32_t currentLeft = samples::LoadSample(source, kSourceBits);
      const int32_t left =
          previousLeft +
          static_cast<int32_t>((static_cast<int64_t>(currentLeft - previousLeft) * phase) >>
                               kPhaseShift);
      const int32_t leftOut = (leftGain * left) >> kGainShift;
      int32_t rightOut;
      if constexpr (kSourceChannels == 2) {
        const int32_t currentRight = samples::LoadSample(source + kSourceSample, kSourceBits);
        const int32_t right =
            previousRight +
            static_cast<int32_t>((static_cast<int64_t>(currentRight - previousRight) * phase) >>
                                 kPhaseShift);
        rightOut = (rightGain * right) >> kGainShift;
      } else {
        rightOut = kOutputChannels == 2 ? (rightGain * left) >> kGainShift : 0;
      }
      emit(out + done * kOutputAlign, leftOut, rightOut);
    }
    ++done;
  }

  state.phase = phase;
  state.previousLeft = previousLeft;
  state.previousRight = previousRight;
  cursor = source;
  return done;
}

using MixFunction = unsigned long (*)(MixState&, const unsigned char*&, const unsigned char*,
                                      unsigned char*, unsigned long, bool&);

// The instantiation for layout index bits: 1 source 8-bit, 2 source stereo, 4 output 8-bit,
// 8 output stereo, 16 muted.
template <int kIndex>
constexpr MixFunction MixFor() {
  return &MixFrames < (kIndex & 1) ? 8 : 16, (kIndex & 2) ? 2 : 1, (kIndex & 4) ? 8 : 16,
         (kIndex & 8) ? 2 : 1, (kIndex & 16) != 0 > ;
}

template <int... kIndices>
constexpr std::array<MixFunction, sizeof...(kIndices)> MixTable(
    std::integer_sequence<int, kIndices...>) {
  return {MixFor<kIndices>()...};
}

inline MixFunction SelectMix(bool source8, bool sourceStereo, bool output8, bool outputStereo,
                             bool muted) {
  static constexpr auto kTable = MixTable(std::make_integer_sequence<int, 32>());
  return kTable[(source8 ? 1 : 0) | (sourceStereo ? 2 : 0) | (output8 ? 4 : 0) |
                (outputStereo ? 8 : 0) | (muted ? 16 : 0)];
}

}  // namespace sonark::mix
