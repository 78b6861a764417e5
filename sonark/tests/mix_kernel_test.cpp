#include <gtest/gtest.h>
#include <sonark/render/mix_kernel.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using namespace sonark::mix;
using sonark::samples::LoadSample;

// The mixing loop one frame at a time, as plainly as it can be written: what the fast paths
// of the kernel must reproduce sample for sample.
template <int kSourceBits, int kSourceChannels, int kOutputBits, int kOutputChannels, bool kMuted>
unsigned long PlainMixFrames(MixState& state, const unsigned char*& cursor,
                             const unsigned char* end, unsigned char* out, unsigned long frames,
                             bool& sourceRanOut) {
  constexpr int kSourceSample = kSourceBits / 8;
  constexpr int kSourceAlign = kSourceSample * kSourceChannels;
  constexpr int kOutputSample = kOutputBits / 8;
  constexpr int kOutputAlign = kOutputSample * kOutputChannels;
  const unsigned char* source = cursor;
  unsigned long done = 0;
  sourceRanOut = false;
  for (; done < frames; ++done) {
    state.phase += state.step;
    bool ranOut = false;
    while (state.phase > kPhaseOne) {
      if (source == end) {
        ranOut = true;
        break;
      }
      state.phase -= kPhaseOne;
      state.previousLeft = LoadSample(source, kSourceBits);
      if (kSourceChannels == 2)
        state.previousRight = LoadSample(source + kSourceSample, kSourceBits);
      source += kSourceAlign;
    }
    if (ranOut || source == end) {
      state.phase -= state.step;
      sourceRanOut = true;
      break;
    }
    if (kMuted) continue;
    auto between = [&](int32_t previous, const unsigned char* at) {
      const int32_t current = LoadSample(at, kSourceBits);
      return previous +
             static_cast<int32_t>((static_cast<int64_t>(current - previous) * state.phase) >>
                                  kPhaseShift);
    };
    const int32_t left = between(state.previousLeft, source);
    const int32_t right =
        kSourceChannels == 2 ? between(state.previousRight, source + kSourceSample) : left;
    const int32_t leftOut = (state.leftGain * left) >> kGainShift;
    const int32_t rightOut =
        kSourceChannels == 2 || kOutputChannels == 2 ? (state.rightGain * right) >> kGainShift : 0;
    unsigned char* at = out + done * kOutputAlign;
    if (kOutputChannels == 2) {
      sonark::samples::AddSaturated(at, kOutputBits, leftOut);
      sonark::samples::AddSaturated(at + kOutputSample, kOutputBits, rightOut);
    } else {
      sonark::samples::AddSaturated(at, kOutputBits, leftOut + rightOut);
    }
  }
  cursor = source;
  return done;
}

template <int kIndex>
constexpr MixFunction PlainFor() {
  return &PlainMixFrames < (kIndex & 1) ? 8 : 16, (kIndex & 2) ? 2 : 1, (kIndex & 4) ? 8 : 16,
         (kIndex & 8) ? 2 : 1, (kIndex & 16) != 0 > ;
}

template <int... kIndices>
constexpr std::array<MixFunction, sizeof...(kIndices)> PlainTable(
    std::integer_sequence<int, kIndices...>) {
  return {PlainFor<kIndices>()...};
}

// Random sources cut into regions of random sizes (each in its own allocation, so that a read
// outside a region is caught by the address sanitizer), rendered in runs of random lengths
// with gains changed between runs as envelopes do, at rates below, at and above 1: the kernel
// and the plain loop must agree on every output byte, the state and the source consumed.
TEST(MixKernel, EveryLayoutAndRateMatchesThePlainLoop) {
  static constexpr auto kPlain = PlainTable(std::make_integer_sequence<int, 32>());
  const double rates[] = {0.25, 0.5, 0.7071, 0.99999, 1.0, 1.00001, 1.5, 2.0, 3.3, 11.0};
  std::mt19937 random(20261208);
  auto below = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
#if defined(SONARK_MIX_AVX2)
  // Both the four-frame loop and, where the processor has it, the eight-frame one.
  const bool wideAvailable = WideInterpolation();
  for (const bool wide : {false, true}) {
    if (wide && !wideAvailable) continue;
    WideInterpolation() = wide;
#else
  for (const bool wide : {false}) {
#endif
    for (int index = 0; index < 32; ++index) {
      const int sourceAlign = ((index & 1) ? 1 : 2) * ((index & 2) ? 2 : 1);
      const int outputAlign = ((index & 4) ? 1 : 2) * ((index & 8) ? 2 : 1);
      const MixFunction kernel = SelectMix(index & 1, index & 2, index & 4, index & 8, index & 16);
      for (const double rate : rates) {
        SCOPED_TRACE(testing::Message()
                     << "layout " << index << " rate " << rate << (wide ? " eight at a time" : ""));
        std::vector<unsigned char> source(6000 * static_cast<size_t>(sourceAlign));
        // Loud enough to saturate now and then, with full-scale extremes.
        for (auto& b : source)
          b = below(8) == 0 ? (below(2) ? 0x80 : 0x7F) : static_cast<unsigned char>(random());
        std::vector<unsigned char> expected(20000 * static_cast<size_t>(outputAlign));
        for (auto& b : expected) b = static_cast<unsigned char>(random());
        std::vector<unsigned char> actual = expected;
        MixState plain{static_cast<int32_t>(below(kPhaseOne)) + 1,
                       static_cast<int32_t>(rate * kPhaseOne),
                       static_cast<int32_t>(below(65536)) - 32768,
                       static_cast<int32_t>(below(65536)) - 32768,
                       8192,
                       8192};
        MixState ours = plain;
        size_t offset = 0;
        unsigned long outAt = 0;
        while (offset < source.size()) {
          const size_t size = std::min<size_t>(source.size() - offset,
                                               (1 + below(700)) * static_cast<size_t>(sourceAlign));
          const std::vector<unsigned char> region(
              source.begin() + static_cast<long>(offset),
              source.begin() + static_cast<long>(offset + size));
          const unsigned char* plainCursor = region.data();
          const unsigned char* ourCursor = region.data();
          const unsigned char* end = region.data() + region.size();
          bool plainRanOut = false;
          bool ourRanOut = false;
          do {
            plain.leftGain = ours.leftGain =
                static_cast<int32_t>(below(5) ? below(32768) : below(kMaxGain + 1));
            plain.rightGain = ours.rightGain = static_cast<int32_t>(below(32768));
            const unsigned long run = std::min<unsigned long>(1 + below(300), 20000 - outAt);
            const unsigned long plainMade = kPlain[index](
                plain, plainCursor, end, expected.data() + outAt * outputAlign, run, plainRanOut);
            const unsigned long ourMade =
                kernel(ours, ourCursor, end, actual.data() + outAt * outputAlign, run, ourRanOut);
            ASSERT_EQ(ourMade, plainMade);
            ASSERT_EQ(ourRanOut, plainRanOut);
            ASSERT_EQ(ourCursor - region.data(), plainCursor - region.data());
            ASSERT_EQ(ours.phase, plain.phase);
            ASSERT_EQ(ours.previousLeft, plain.previousLeft);
            ASSERT_EQ(ours.previousRight, plain.previousRight);
            outAt += plainMade;
          } while (!plainRanOut && outAt < 20000);
          if (outAt >= 20000) break;
          offset += size;
        }
        ASSERT_EQ(actual, expected);
      }
    }
  }
#if defined(SONARK_MIX_AVX2)
  WideInterpolation() = wideAvailable;
#endif
}

}  // namespace
