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
#if defined(__SSE2__) && defined(__x86_64__)
#include <immintrin.h>
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

#if defined(__SSE2__)
// Gains as 16-bit lanes in stereo frame order; both must fit 16 signed bits.
inline __m128i StereoGains(int32_t leftGain, int32_t rightGain) {
  return _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(rightGain) << 16) |
                                             static_cast<uint32_t>(leftGain)));
}

// Four frames of 16-bit stereo (lanes L R L R ...) times the gains, added to the 16-bit stereo
// output at `to` with saturation: 16 x 16-bit products widened to 32 bits, shifted, added to
// the widened output and packed back with saturation, which is exactly what the scalar loop
// does.
inline void AddFourStereo16(__m128i source, __m128i gains, unsigned char* to) {
  const __m128i low = _mm_mullo_epi16(source, gains);
  const __m128i high = _mm_mulhi_epi16(source, gains);
  const __m128i first = _mm_srai_epi32(_mm_unpacklo_epi16(low, high), kGainShift);
  const __m128i second = _mm_srai_epi32(_mm_unpackhi_epi16(low, high), kGainShift);
  auto* out = reinterpret_cast<__m128i*>(to);
  const __m128i mix = _mm_loadu_si128(out);
  const __m128i mixFirst = _mm_srai_epi32(_mm_unpacklo_epi16(mix, mix), 16);
  const __m128i mixSecond = _mm_srai_epi32(_mm_unpackhi_epi16(mix, mix), 16);
  _mm_storeu_si128(
      out, _mm_packs_epi32(_mm_add_epi32(mixFirst, first), _mm_add_epi32(mixSecond, second)));
}
#endif

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
  // Sixteen-bit into stereo sixteen-bit, the common case, four frames at a time.
  if constexpr (kSourceBits == 16 && kOutputBits == 16 && kOutputChannels == 2 &&
                std::endian::native == std::endian::little) {
    if (leftGain <= 32767 && rightGain <= 32767) {
      const __m128i gains = StereoGains(leftGain, rightGain);
      for (; i + 4 <= frames; i += 4) {
        __m128i source;
        if constexpr (kSourceChannels == 2) {
          source = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i * kSourceAlign));
        } else {
          const __m128i mono =
              _mm_loadl_epi64(reinterpret_cast<const __m128i*>(from + i * kSourceAlign));
          source = _mm_unpacklo_epi16(mono, mono);
        }
        AddFourStereo16(source, gains, to + i * kOutputAlign);
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

#if defined(__SSE2__)
// The interpolating loop four frames at a time. Output frame k (from 0) of a stretch that
// starts at `phase` lands at p = phase + (k + 1) x step: it is taken between source frames
// m - 1 and m, m = (p - 1) >> 27 counted from `source`, at the fraction f = p - m x 2^27, which
// lies in 1 ... 2^27 exactly as the frame-by-frame loop leaves it. The frame-by-frame value
// prev + ((cur - prev) x f >> 27) is floor((prev x (2^27 - f) + cur x f) / 2^27); with both
// weights split into 13 high and 14 low bits it comes out of two 16-bit multiply-adds, exact
// in 32 bits.
constexpr unsigned long kInterpolateChunk = 256;

template <int kSourceBits, int kSourceChannels>
inline __m128i LoadPair(const unsigned char* at) {
  if constexpr (kSourceBits == 16 && kSourceChannels == 2) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at));
  } else if constexpr (kSourceBits == 16 || kSourceChannels == 2) {
    int32_t pair;
    std::memcpy(&pair, at, 4);
    return _mm_cvtsi32_si128(pair);
  } else {
    uint16_t pair;
    std::memcpy(&pair, at, 2);
    return _mm_cvtsi32_si128(pair);
  }
}

// The pairs (previous, current) of two stereo frames or four mono frames as 16-bit samples:
// (pL pR cL cR) per stereo frame, (p c) per mono frame; 8-bit samples widened to (b - 128) x 256.
template <int kSourceBits, int kSourceChannels>
inline __m128i Pairs(const __m128i* pairs) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i sign8 = _mm_set1_epi16(static_cast<int16_t>(0x8000));
  if constexpr (kSourceChannels == 2 && kSourceBits == 16) {
    return _mm_unpacklo_epi64(pairs[0], pairs[1]);
  } else if constexpr (kSourceChannels == 2) {
    return _mm_xor_si128(_mm_unpacklo_epi8(zero, _mm_unpacklo_epi32(pairs[0], pairs[1])), sign8);
  } else if constexpr (kSourceBits == 16) {
    return _mm_unpacklo_epi64(_mm_unpacklo_epi32(pairs[0], pairs[1]),
                              _mm_unpacklo_epi32(pairs[2], pairs[3]));
  } else {
    return _mm_xor_si128(
        _mm_unpacklo_epi8(zero, _mm_unpacklo_epi32(_mm_unpacklo_epi16(pairs[0], pairs[1]),
                                                   _mm_unpacklo_epi16(pairs[2], pairs[3]))),
        sign8);
  }
}

// After a stretch that ended at position `at` (less one) from `source`: the new phase, the
// source moved on to the last current frame, and the previous samples before it.
template <int kSourceBits, int kSourceChannels>
inline void EndStretch(int64_t at, int32_t& phase, const unsigned char*& source,
                       int32_t& previousLeft, int32_t& previousRight) {
  constexpr int kSourceSample = kSourceBits / 8;
  constexpr int kSourceAlign = kSourceSample * kSourceChannels;
  const int64_t frames = at >> kPhaseShift;
  phase = static_cast<int32_t>((at & (kPhaseOne - 1)) + 1);
  if (frames > 0) {
    source += frames * kSourceAlign;
    previousLeft = samples::LoadSample(source - kSourceAlign, kSourceBits);
    if constexpr (kSourceChannels == 2) {
      previousRight = samples::LoadSample(source - kSourceAlign + kSourceSample, kSourceBits);
    }
  }
}

// Interpolates `count` frames (a multiple of four), handing each four to `emit` (first frame,
// 16-bit samples: L R L R ... for a stereo source, the four samples twice for a mono one). The
// frame before `source` must be readable (it is the previous frame), and the last frame's pair
// must lie before `end`. Moves phase, source and the previous samples on.
template <int kSourceBits, int kSourceChannels, typename Emit>
inline void InterpolateFour(int32_t& phase, int32_t step, const unsigned char*& source,
                            unsigned long count, int32_t& previousLeft, int32_t& previousRight,
                            Emit emit) {
  constexpr int kSourceSample = kSourceBits / 8;
  constexpr int kSourceAlign = kSourceSample * kSourceChannels;
  const __m128i fraction = _mm_set1_epi32(kPhaseOne - 1);
  const __m128i one = _mm_set1_epi32(1);
  const __m128i whole = _mm_set1_epi32(kPhaseOne);
  const __m128i low14 = _mm_set1_epi32((1 << 14) - 1);
  // Positions less one, modulo 2^32 in the lanes (only their low 27 bits are used) and exact
  // in 64 bits for the frame numbers.
  const auto step32 = static_cast<uint32_t>(step);
  const auto start32 = static_cast<uint32_t>(phase) - 1u;
  __m128i position = _mm_add_epi32(
      _mm_set1_epi32(static_cast<int32_t>(start32)),
      _mm_set_epi32(static_cast<int32_t>(4 * step32), static_cast<int32_t>(3 * step32),
                    static_cast<int32_t>(2 * step32), static_cast<int32_t>(step32)));
  const __m128i advance = _mm_set1_epi32(static_cast<int32_t>(4 * step32));
  int64_t at = static_cast<int64_t>(phase) - 1;
  // Every pair starts one frame before its current frame.
  const unsigned char* base = source - kSourceAlign;
  for (unsigned long i = 0; i < count; i += 4) {
    // Written out: a loop here leaves the pairs in memory.
    const int64_t at0 = at + step;
    const int64_t at1 = at0 + step;
    const int64_t at2 = at1 + step;
    at = at2 + step;
    const __m128i pairs[4] = {
        LoadPair<kSourceBits, kSourceChannels>(base + (at0 >> kPhaseShift) * kSourceAlign),
        LoadPair<kSourceBits, kSourceChannels>(base + (at1 >> kPhaseShift) * kSourceAlign),
        LoadPair<kSourceBits, kSourceChannels>(base + (at2 >> kPhaseShift) * kSourceAlign),
        LoadPair<kSourceBits, kSourceChannels>(base + (at >> kPhaseShift) * kSourceAlign)};
    const __m128i f = _mm_add_epi32(_mm_and_si128(position, fraction), one);
    const __m128i g = _mm_sub_epi32(whole, f);
    position = _mm_add_epi32(position, advance);
    // Per frame, as 16-bit pairs (previous, current): high and low parts of the weights.
    const __m128i high =
        _mm_or_si128(_mm_srli_epi32(g, 14), _mm_slli_epi32(_mm_srli_epi32(f, 14), 16));
    const __m128i low =
        _mm_or_si128(_mm_and_si128(g, low14), _mm_slli_epi32(_mm_and_si128(f, low14), 16));
    auto blend = [](__m128i pair, __m128i highWeights, __m128i lowWeights) {
      const __m128i h = _mm_madd_epi16(pair, highWeights);
      const __m128i l = _mm_madd_epi16(pair, lowWeights);
      return _mm_srai_epi32(_mm_add_epi32(h, _mm_srai_epi32(l, 14)), 13);
    };
    if constexpr (kSourceChannels == 2) {
      // (pL pR cL cR) to (pL cL pR cR) in each frame.
      const __m128i pairs01 = Pairs<kSourceBits, 2>(pairs);
      const __m128i pairs23 = Pairs<kSourceBits, 2>(pairs + 2);
      const __m128i first = _mm_shufflehi_epi16(_mm_shufflelo_epi16(pairs01, 0xD8), 0xD8);
      const __m128i second = _mm_shufflehi_epi16(_mm_shufflelo_epi16(pairs23, 0xD8), 0xD8);
      const __m128i left01 =
          blend(first, _mm_unpacklo_epi32(high, high), _mm_unpacklo_epi32(low, low));
      const __m128i left23 =
          blend(second, _mm_unpackhi_epi32(high, high), _mm_unpackhi_epi32(low, low));
      emit(i, _mm_packs_epi32(left01, left23));
    } else {
      const __m128i mono = blend(Pairs<kSourceBits, 1>(pairs), high, low);
      emit(i, _mm_packs_epi32(mono, mono));
    }
  }
  EndStretch<kSourceBits, kSourceChannels>(at, phase, source, previousLeft, previousRight);
}
#endif

#if defined(__SSE2__) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define SONARK_MIX_AVX2 1
// Processors with AVX2 take the interpolating loop eight frames at a time: the same steps as
// InterpolateFour in 256-bit registers, whose two halves hold frames 0-3 and 4-7.
#define SONARK_AVX2 __attribute__((target("avx2")))

// Whether the eight-frame loop is used; tests turn it off to check the four-frame one.
inline bool& WideInterpolation() {
  static bool wide = __builtin_cpu_supports("avx2") != 0;
  return wide;
}

SONARK_AVX2 inline void AddEightStereo16(__m256i source, __m256i gains, unsigned char* to) {
  const __m256i low = _mm256_mullo_epi16(source, gains);
  const __m256i high = _mm256_mulhi_epi16(source, gains);
  const __m256i first = _mm256_srai_epi32(_mm256_unpacklo_epi16(low, high), kGainShift);
  const __m256i second = _mm256_srai_epi32(_mm256_unpackhi_epi16(low, high), kGainShift);
  auto* out = reinterpret_cast<__m256i*>(to);
  const __m256i mix = _mm256_loadu_si256(out);
  const __m256i mixFirst = _mm256_srai_epi32(_mm256_unpacklo_epi16(mix, mix), 16);
  const __m256i mixSecond = _mm256_srai_epi32(_mm256_unpackhi_epi16(mix, mix), 16);
  _mm256_storeu_si256(out, _mm256_packs_epi32(_mm256_add_epi32(mixFirst, first),
                                              _mm256_add_epi32(mixSecond, second)));
}

SONARK_AVX2 inline __m256i Join(__m128i low, __m128i high) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

SONARK_AVX2 inline __m256i Blend8(__m256i pair, __m256i highWeights, __m256i lowWeights) {
  const __m256i h = _mm256_madd_epi16(pair, highWeights);
  const __m256i l = _mm256_madd_epi16(pair, lowWeights);
  return _mm256_srai_epi32(_mm256_add_epi32(h, _mm256_srai_epi32(l, 14)), 13);
}

// Interpolates `count` frames (a multiple of eight) from `source` as InterpolateFour does.
// With `out` (16-bit stereo output, gains that fit 16 signed bits) the frames are added into
// it; otherwise they are stored in `samples`.
template <int kSourceBits, int kSourceChannels>
SONARK_AVX2 void InterpolateEight(int32_t& phase, int32_t step, const unsigned char*& source,
                                  unsigned long count, int32_t& previousLeft,
                                  int32_t& previousRight, unsigned char* out, int16_t* samples,
                                  int32_t leftGain, int32_t rightGain) {
  constexpr int kSourceAlign = kSourceBits / 8 * kSourceChannels;
  const __m256i fraction = _mm256_set1_epi32(kPhaseOne - 1);
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i whole = _mm256_set1_epi32(kPhaseOne);
  const __m256i low14 = _mm256_set1_epi32((1 << 14) - 1);
  const __m256i gains = _mm256_set1_epi32(static_cast<int32_t>(
      (static_cast<uint32_t>(rightGain) << 16) | static_cast<uint32_t>(leftGain & 0xFFFF)));
  const auto step32 = static_cast<uint32_t>(step);
  __m256i position =
      _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(phase) - 1u)),
                       _mm256_mullo_epi32(_mm256_set1_epi32(static_cast<int32_t>(step32)),
                                          _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 8)));
  const __m256i advance = _mm256_set1_epi32(static_cast<int32_t>(8 * step32));
  int64_t at = static_cast<int64_t>(phase) - 1;
  const unsigned char* base = source - kSourceAlign;
  for (unsigned long i = 0; i < count; i += 8) {
    auto next = [&]() {
      at += step;
      return LoadPair<kSourceBits, kSourceChannels>(base + (at >> kPhaseShift) * kSourceAlign);
    };
    // Written out, in order: a loop here leaves the pairs in memory.
    const __m128i p0 = next(), p1 = next(), p2 = next(), p3 = next();
    const __m128i p4 = next(), p5 = next(), p6 = next(), p7 = next();
    const __m128i pairs[8] = {p0, p1, p2, p3, p4, p5, p6, p7};
    const __m256i f = _mm256_add_epi32(_mm256_and_si256(position, fraction), one);
    const __m256i g = _mm256_sub_epi32(whole, f);
    position = _mm256_add_epi32(position, advance);
    const __m256i high =
        _mm256_or_si256(_mm256_srli_epi32(g, 14), _mm256_slli_epi32(_mm256_srli_epi32(f, 14), 16));
    const __m256i low = _mm256_or_si256(_mm256_and_si256(g, low14),
                                        _mm256_slli_epi32(_mm256_and_si256(f, low14), 16));
    if constexpr (kSourceChannels == 2) {
      // Frames 0, 1 | 4, 5 and 2, 3 | 6, 7, so that the weights of each frame line up with
      // it by unpacking within the halves.
      const __m256i joined0145 =
          Join(Pairs<kSourceBits, 2>(pairs), Pairs<kSourceBits, 2>(pairs + 4));
      const __m256i joined2367 =
          Join(Pairs<kSourceBits, 2>(pairs + 2), Pairs<kSourceBits, 2>(pairs + 6));
      const __m256i first = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(joined0145, 0xD8), 0xD8);
      const __m256i second = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(joined2367, 0xD8), 0xD8);
      const __m256i values = _mm256_packs_epi32(
          Blend8(first, _mm256_unpacklo_epi32(high, high), _mm256_unpacklo_epi32(low, low)),
          Blend8(second, _mm256_unpackhi_epi32(high, high), _mm256_unpackhi_epi32(low, low)));
      if (out != nullptr) {
        AddEightStereo16(values, gains, out + i * 4);
      } else {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(samples + i * 2), values);
      }
    } else {
      const __m256i mono =
          Blend8(Join(Pairs<kSourceBits, 1>(pairs), Pairs<kSourceBits, 1>(pairs + 4)), high, low);
      const __m128i values =
          _mm_packs_epi32(_mm256_castsi256_si128(mono), _mm256_extracti128_si256(mono, 1));
      if (out != nullptr) {
        AddEightStereo16(
            Join(_mm_unpacklo_epi16(values, values), _mm_unpackhi_epi16(values, values)), gains,
            out + i * 4);
      } else {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + i), values);
      }
    }
  }
  EndStretch<kSourceBits, kSourceChannels>(at, phase, source, previousLeft, previousRight);
}
#undef SONARK_AVX2
#endif

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

    // Away from the rate 1.0 path, runs of four (or eight) frames whose source frames all lie in
    // this region are interpolated together and added to the output; the frame-by-frame
    // path below takes the region's first frames (the previous frame is not in memory there)
    // and its last ones. Same samples either way.
    if (step != kPhaseOne || phase != kPhaseOne) {
      // Frames whose current source frame lies before `end`: phase - 1 + n x step stays
      // below available x 2^27.
      const int64_t available = (end - source) / kSourceAlign;
      const int64_t reach = available * kPhaseOne - phase;
      unsigned long count = reach >= 0 ? static_cast<unsigned long>(reach / step) : 0;
      count = std::min(count, frames - done);
      if constexpr (kMuted) {
        // Nothing to add: only where the frames leave the source matters.
        if (count > 0) {
          const int64_t at = static_cast<int64_t>(phase) - 1 + static_cast<int64_t>(count) * step;
          const int64_t taken = at >> kPhaseShift;
          phase = static_cast<int32_t>((at & (kPhaseOne - 1)) + 1);
          if (taken > 0) {
            source += taken * kSourceAlign;
            previousLeft = samples::LoadSample(source - kSourceAlign, kSourceBits);
            if constexpr (kSourceChannels == 2) {
              previousRight =
                  samples::LoadSample(source - kSourceAlign + kSourceSample, kSourceBits);
            }
          }
          done += count;
          continue;
        }
      }
#if defined(__SSE2__)
      if constexpr (!kMuted && std::endian::native == std::endian::little) {
        count = source != cursor ? std::min(count, kInterpolateChunk) & ~3ul : 0;
        if (count > 0) {
          unsigned char* const at = out + done * kOutputAlign;
          const bool direct =
              kOutputBits == 16 && kOutputChannels == 2 && leftGain <= 32767 && rightGain <= 32767;
#if defined(SONARK_MIX_AVX2)
          if (WideInterpolation() && count >= 8) {
            count &= ~7ul;
            alignas(32) int16_t samples[kInterpolateChunk * kSourceChannels];
            InterpolateEight<kSourceBits, kSourceChannels>(phase, step, source, count, previousLeft,
                                                           previousRight, direct ? at : nullptr,
                                                           samples, leftGain, rightGain);
            if (!direct) {
              AddRun<16, kSourceChannels, kOutputBits, kOutputChannels>(
                  reinterpret_cast<const unsigned char*>(samples), at, count, leftGain, rightGain);
            }
            done += count;
            continue;
          }
#endif
          if (direct) {
            // Straight into the output, the common case.
            const __m128i gains = StereoGains(leftGain, rightGain);
            InterpolateFour<kSourceBits, kSourceChannels>(
                phase, step, source, count, previousLeft, previousRight,
                [&](unsigned long i, __m128i values) {
                  AddFourStereo16(
                      kSourceChannels == 2 ? values : _mm_unpacklo_epi16(values, values), gains,
                      at + i * 4);
                });
          } else {
            alignas(16) int16_t samples[kInterpolateChunk * kSourceChannels];
            InterpolateFour<kSourceBits, kSourceChannels>(
                phase, step, source, count, previousLeft, previousRight,
                [&](unsigned long i, __m128i values) {
                  if constexpr (kSourceChannels == 2) {
                    _mm_store_si128(reinterpret_cast<__m128i*>(samples + i * 2), values);
                  } else {
                    _mm_storel_epi64(reinterpret_cast<__m128i*>(samples + i), values);
                  }
                });
            AddRun<16, kSourceChannels, kOutputBits, kOutputChannels>(
                reinterpret_cast<const unsigned char*>(samples), at, count, leftGain, rightGain);
          }
          done += count;
          continue;
        }
      }
#endif
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
