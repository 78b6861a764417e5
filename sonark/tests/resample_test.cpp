#include <gtest/gtest.h>
#include <sonark/render/resample.h>
#include <sonark/tests/pcm_test_support.h>

#include <random>
#include <vector>

namespace {

using sonark_test::Bytes16;
using sonark_test::Samples16;

std::vector<int16_t> RandomSignal(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> value(-30000, 30000);
  std::vector<int16_t> s(n);
  for (auto& v : s) v = static_cast<int16_t>(value(random));
  return s;
}

// Resamples 16-bit `source` into a silent 16-bit destination of `frames` frames; returns the
// frames written.
std::vector<int16_t> Resample(const std::vector<int16_t>& source, const tWAVEFORMATEX& in,
                              const tWAVEFORMATEX& out, size_t capacity_frames) {
  const std::vector<unsigned char> bytes = Bytes16(source);
  std::vector<unsigned char> target(capacity_frames * out.nBlockAlign, 0);
  const long written = ResampleAddPCM(bytes.data(), static_cast<long>(bytes.size()), &in,
                                      target.data(), static_cast<long>(target.size()), &out);
  EXPECT_EQ(written % out.nBlockAlign, 0);
  return Samples16(target.data(), static_cast<size_t>(written));
}

TEST(ResampleAddPCM, EqualRatesSkipTheSeedFrame) {
  const tWAVEFORMATEX mono = PcmFormat(44100, 1, 16);
  std::vector<int16_t> staircase(50);
  for (int i = 0; i < 50; ++i) staircase[i] = static_cast<int16_t>(i * 100 - 2000);
  const std::vector<int16_t> out = Resample(staircase, mono, mono, 200);
  EXPECT_EQ(out, std::vector<int16_t>(staircase.begin() + 1, staircase.end()));

  // A destination shorter than the source takes what fits, in whole frames.
  const tWAVEFORMATEX stereo = PcmFormat(44100, 2, 16);
  const std::vector<unsigned char> bytes = Bytes16(staircase);  // 25 stereo frames
  std::vector<unsigned char> target(4 * 10 + 3, 0);
  EXPECT_EQ(ResampleAddPCM(bytes.data(), 100, &stereo, target.data(), 4 * 10 + 3, &stereo), 40);
  EXPECT_EQ(Samples16(target.data(), 40),
            std::vector<int16_t>(staircase.begin() + 2, staircase.begin() + 22));
  EXPECT_EQ(target[40], 0);
}

TEST(ResampleAddPCM, AddsIntoTheDestinationWithSaturation) {
  const tWAVEFORMATEX mono = PcmFormat(22050, 1, 16);
  const std::vector<unsigned char> source = Bytes16({0, 32767, -32768, 1000, -1000});
  std::vector<unsigned char> target = Bytes16({32767, -32768, 5, 10});
  ASSERT_EQ(ResampleAddPCM(source.data(), 10, &mono, target.data(), 8, &mono), 8);
  EXPECT_EQ(Samples16(target.data(), 8), (std::vector<int16_t>{32767, -32768, 1005, -990}));

  // 8-bit destinations saturate to the ends of the byte range.
  const tWAVEFORMATEX mono8 = PcmFormat(22050, 1, 8);
  std::vector<unsigned char> eight = {255, 0, 128, 130};
  ASSERT_EQ(ResampleAddPCM(source.data(), 10, &mono, eight.data(), 4, &mono8), 4);
  EXPECT_EQ(eight, (std::vector<unsigned char>{255, 0, 128 + 1000 / 256, 130 - 4}));
}

TEST(ResampleAddPCM, ConvertsWidthBothWays) {
  const tWAVEFORMATEX mono8 = PcmFormat(8000, 1, 8);
  const tWAVEFORMATEX mono16 = PcmFormat(8000, 1, 16);
  const std::vector<unsigned char> eight = {0, 0, 128, 255};
  std::vector<unsigned char> wide(6, 0);
  ASSERT_EQ(ResampleAddPCM(eight.data(), 4, &mono8, wide.data(), 6, &mono16), 6);
  EXPECT_EQ(Samples16(wide.data(), 6), (std::vector<int16_t>{-32768, 0, 32512}));

  const std::vector<unsigned char> sixteen = Bytes16({0, 256 * 3, -256 * 5, 32767});
  std::vector<unsigned char> narrow(3, 128);
  ASSERT_EQ(ResampleAddPCM(sixteen.data(), 8, &mono16, narrow.data(), 3, &mono8), 3);
  EXPECT_EQ(narrow, (std::vector<unsigned char>{131, 123, 255}));
}

TEST(ResampleAddPCM, HalvingTheRateTakesEverySecondFrame) {
  const tWAVEFORMATEX in = PcmFormat(44100, 1, 16);
  const tWAVEFORMATEX out = PcmFormat(22050, 1, 16);
  for (size_t n : {9u, 10u, 1001u}) {
    const std::vector<int16_t> s = RandomSignal(n, static_cast<unsigned>(n));
    std::vector<int16_t> expected;
    for (size_t k = 2; k < n; k += 2) expected.push_back(s[k]);
    EXPECT_EQ(Resample(s, in, out, n), expected) << n << " frames";
  }
}

TEST(ResampleAddPCM, DoublingTheRateInterpolatesHalfway) {
  const tWAVEFORMATEX in = PcmFormat(22050, 1, 16);
  const tWAVEFORMATEX out = PcmFormat(44100, 1, 16);
  const std::vector<int16_t> s = RandomSignal(300, 7);
  std::vector<int16_t> expected;
  for (size_t k = 0; k + 1 < s.size(); ++k) {
    // Halfway, rounded toward minus infinity like an arithmetic shift.
    const int diff = s[k + 1] - s[k];
    const int half = diff >= 0 ? diff / 2 : -((-diff + 1) / 2);
    expected.push_back(static_cast<int16_t>(s[k] + half));
    expected.push_back(s[k + 1]);
  }
  EXPECT_EQ(Resample(s, in, out, 1000), expected);
}

TEST(ResampleAddPCM, StereoChannelsInterpolateAlike) {
  // An uneven ratio visits fractional positions twice between source frames; the right
  // channel must follow the same line as the left.
  const tWAVEFORMATEX mono = PcmFormat(16000, 1, 16);
  const tWAVEFORMATEX stereo_in = PcmFormat(16000, 2, 16);
  const tWAVEFORMATEX stereo_out = PcmFormat(48000, 2, 16);
  const std::vector<int16_t> s = RandomSignal(200, 3);
  std::vector<int16_t> doubled;
  for (int16_t v : s) doubled.insert(doubled.end(), {v, v});
  const std::vector<int16_t> from_mono = Resample(s, mono, PcmFormat(48000, 1, 16), 1000);
  const std::vector<int16_t> from_stereo = Resample(doubled, stereo_in, stereo_out, 1000);
  ASSERT_EQ(from_stereo.size(), from_mono.size() * 2);
  ASSERT_GT(from_mono.size(), 500u);
  for (size_t i = 0; i < from_mono.size(); ++i) {
    ASSERT_EQ(from_stereo[2 * i], from_mono[i]) << i;
    ASSERT_EQ(from_stereo[2 * i + 1], from_mono[i]) << i;
  }
}

TEST(ResampleAddPCM, ChannelCountChangesFeedOrSum) {
  const tWAVEFORMATEX mono = PcmFormat(44100, 1, 16);
  const tWAVEFORMATEX stereo = PcmFormat(44100, 2, 16);
  EXPECT_EQ(Resample({0, 1234, -32768}, mono, stereo, 10),
            (std::vector<int16_t>{1234, 1234, -32768, -32768}));
  EXPECT_EQ(Resample({0, 0, 1000, 2000, 20000, 20000, -20000, -20000}, stereo, mono, 10),
            (std::vector<int16_t>{3000, 32767, -32768}));
}

TEST(ResampleAddPCM, RefusesUnusableInput) {
  const tWAVEFORMATEX mono = PcmFormat(44100, 1, 16);
  const tWAVEFORMATEX wide = PcmFormat(44100, 1, 24);
  const tWAVEFORMATEX silent_rate = PcmFormat(0, 1, 16);
  unsigned char source[8] = {}, target[8] = {};
  EXPECT_EQ(ResampleAddPCM(source, 8, &wide, target, 8, &mono), 0);
  EXPECT_EQ(ResampleAddPCM(source, 8, &mono, target, 8, &silent_rate), 0);
  EXPECT_EQ(ResampleAddPCM(nullptr, 8, &mono, target, 8, &mono), 0);
  EXPECT_EQ(ResampleAddPCM(source, 1, &mono, target, 8, &mono), 0);
  EXPECT_EQ(ResampleAddPCM(source, 2, &mono, target, 8, &mono), 0);  // only the seed frame
}

}  // namespace
