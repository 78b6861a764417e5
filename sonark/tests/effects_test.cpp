#include <gtest/gtest.h>
#include <sonark/render/effects.h>
#include <sonark/tests/pcm_test_support.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

namespace {

using sonark_test::Bytes16;
using sonark_test::Samples16;

_bufferType Block(tWAVEFORMATEX* format, std::vector<unsigned char>& bytes) {
  _bufferType block{};
  block.format = format;
  block.data = bytes.data();
  block.dataSize = static_cast<uint32_t>(bytes.size());
  return block;
}

// Filters 16-bit samples through `filter` into a fresh destination.
std::vector<int16_t> Filter16(CFilter& filter, const std::vector<int16_t>& samples, int channels) {
  tWAVEFORMATEX f = PcmFormat(44100, static_cast<uint16_t>(channels), 16);
  std::vector<unsigned char> in = Bytes16(samples);
  std::vector<unsigned char> out(in.size(), 0xEE);
  _bufferType source = Block(&f, in);
  _bufferType target = Block(&f, out);
  EXPECT_EQ(filter.Work(&source, &target), 1);
  return Samples16(out.data(), out.size());
}

TEST(Effect, BaseEffectChangesNothing) {
  CEffect effect;
  tWAVEFORMATEX f = PcmFormat(44100, 1, 16);
  std::vector<unsigned char> bytes = Bytes16({1, 2, 3});
  _bufferType block = Block(&f, bytes);
  EXPECT_EQ(effect.Work(&block, &block, 0), 1);
  EXPECT_EQ(Samples16(bytes.data(), bytes.size()), (std::vector<int16_t>{1, 2, 3}));
  EXPECT_EQ(effect.LengthChange(1234), 1234);
  EXPECT_EQ(effect.NumSamplesChanged(99), 99);
  EXPECT_EQ(effect.Type(), etEffect);
  std::unique_ptr<CEffect> copy(effect.Copy());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(dynamic_cast<CFilter*>(copy.get()), nullptr);
}

TEST(Filter, UnitTapPassesThroughAndGainSaturates) {
  const double one = 1.0, two = 2.0;
  CFilter identity(1, 1);
  ASSERT_EQ(identity.SetCoefficients(1, &one, 1, 0), 1);
  const std::vector<int16_t> stereo = {0, -1, 32767, -32768, 1234, -4321};
  EXPECT_EQ(Filter16(identity, stereo, 2), stereo);
  EXPECT_EQ(identity.Type(), etFilter);

  CFilter gain(1, 0);
  ASSERT_EQ(gain.SetCoefficients(1, &two, 0, 0), 1);
  EXPECT_EQ(Filter16(gain, {32767, -32768, 100, -20000, 16383}, 1),
            (std::vector<int16_t>{32767, -32768, 200, -32768, 32766}));

  // 8-bit samples are widened, filtered and narrowed again.
  tWAVEFORMATEX f8 = PcmFormat(8000, 1, 8);
  std::vector<unsigned char> eight = {0, 128, 255, 100};
  _bufferType block = Block(&f8, eight);
  EXPECT_EQ(identity.SetCoefficients(1, &one, 0, 0), 1);
  EXPECT_EQ(identity.Work(&block, nullptr), 1);  // in place
  EXPECT_EQ(eight, (std::vector<unsigned char>{0, 128, 255, 100}));
  EXPECT_EQ(gain.Work(&block, nullptr), 1);
  EXPECT_EQ(eight, (std::vector<unsigned char>{0, 128, 255, 72}));
}

TEST(Filter, HistoryCarriesAcrossBlocksUntilFlushed) {
  const double taps[3] = {0.5, 0.25, 0.25};  // newest sample first
  CFilter filter(3, 1);
  ASSERT_EQ(filter.SetCoefficients(3, taps, 1, 0), 1);
  // Left steps by 100, right stays at 4000.
  EXPECT_EQ(Filter16(filter, {100, 4000, 200, 4000}, 2),
            (std::vector<int16_t>{50, 2000, 125, 3000}));
  EXPECT_EQ(Filter16(filter, {300, 4000}, 2), (std::vector<int16_t>{225, 4000}));

  std::unique_ptr<CEffect> copy(filter.Copy());
  ASSERT_NE(copy, nullptr);
  auto* twin = dynamic_cast<CFilter*>(copy.get());
  ASSERT_NE(twin, nullptr);
  EXPECT_EQ(Filter16(*twin, {400, 0}, 2), Filter16(filter, {400, 0}, 2)) << "histories copied";

  filter.Flush();
  EXPECT_EQ(Filter16(filter, {100, 4000, 200, 4000}, 2),
            (std::vector<int16_t>{50, 2000, 125, 3000}));
}

TEST(Filter, NegativeOutputsTruncateTowardZero) {
  const double third = 1.0 / 3.0;
  CFilter filter(1, 0);
  ASSERT_EQ(filter.SetCoefficients(1, &third, 0, 0), 1);
  EXPECT_EQ(Filter16(filter, {-100, 100, -2}, 1), (std::vector<int16_t>{-33, 33, 0}));
}

TEST(Filter, StopsWhereTheDestinationEnds) {
  const double one = 1.0;
  CFilter filter(1, 0);
  ASSERT_EQ(filter.SetCoefficients(1, &one, 0, 0), 1);
  tWAVEFORMATEX f = PcmFormat(44100, 1, 16);
  std::vector<unsigned char> in = Bytes16({1, 2, 3, 4});
  std::vector<unsigned char> out(8, 0);
  _bufferType source = Block(&f, in);
  _bufferType target = Block(&f, out);
  target.dataSize = 4;
  EXPECT_EQ(filter.Work(&source, &target), 1);
  EXPECT_EQ(Samples16(out.data(), 8), (std::vector<int16_t>{1, 2, 0, 0}));

  CFilter unset(4, 0);  // no coefficients yet: silence, never a crash
  EXPECT_EQ(Filter16(unset, {5, 6}, 1), (std::vector<int16_t>{0, 0}));
}

double LowPassCoefficient(int taps, int i, double rate, double cutoff) {
  const double pi = std::numbers::pi;
  const double n = i - taps / 2.0;
  const double w = 2 * pi * cutoff / rate;
  return (0.54 + 0.46 * std::cos(2 * pi * n / taps)) * std::sin(n * w) / (pi * n);
}

TEST(LowPass, DesignsASymmetricWindowedSinc) {
  CLowPass odd(31, 0, 44100, 2000.0);
  EXPECT_EQ(odd.Type(), etLowPass);
  ASSERT_EQ(odd.Taps(), 31);
  const double* c = odd.Coefficients();
  for (int i = 0; i < 31; ++i) {
    ASSERT_TRUE(std::isfinite(c[i])) << i;
    EXPECT_DOUBLE_EQ(c[i], LowPassCoefficient(31, i, 44100, 2000.0)) << i;
  }
  // n runs -15.5 ... 14.5: coefficient i pairs with 31 - i.
  for (int i = 1; i < 31; ++i) EXPECT_NEAR(c[i], c[31 - i], 1e-15) << i;

  CLowPass even(32, 1, 48000, 6000.0);
  EXPECT_DOUBLE_EQ(even.Coefficients()[16], 2.0 * 6000.0 / 48000.0);
  for (int i = 1; i < 16; ++i)
    EXPECT_NEAR(even.Coefficients()[16 - i], even.Coefficients()[16 + i], 1e-15);

  std::unique_ptr<CEffect> copy(odd.Copy());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(dynamic_cast<CLowPass*>(copy.get()), nullptr) << "a low-pass copies as a plain filter";
  auto* filter = dynamic_cast<CFilter*>(copy.get());
  ASSERT_NE(filter, nullptr);
  for (int i = 0; i < 31; ++i) EXPECT_EQ(filter->Coefficients()[i], c[i]);
}

TEST(LowPass, KeepsDirectCurrentAndRemovesNyquist) {
  const int taps = 31;
  CLowPass dc_filter(taps, 0, 44100, 5000.0);
  CLowPass nyquist_filter(taps, 0, 44100, 5000.0);
  double dc_gain = 0, nyquist_gain = 0;
  for (int i = 0; i < taps; ++i) {
    const double c = LowPassCoefficient(taps, i, 44100, 5000.0);
    dc_gain += c;
    nyquist_gain += (i % 2 == 0 ? 1 : -1) * c;
  }
  const std::vector<int16_t> dc(200, 10000);
  std::vector<int16_t> alternating(200);
  for (size_t i = 0; i < alternating.size(); ++i) alternating[i] = i % 2 ? -10000 : 10000;

  const std::vector<int16_t> dc_out = Filter16(dc_filter, dc, 1);
  const std::vector<int16_t> nyquist_out = Filter16(nyquist_filter, alternating, 1);
  for (size_t i = taps; i < dc_out.size(); ++i) {
    ASSERT_NEAR(dc_out[i], std::trunc(10000 * dc_gain), 1) << i;
    ASSERT_NEAR(dc_out[i], 10000, 300) << i;
    // The newest sample weighs with coefficient 0; its sign alternates with i.
    const double expected = (i % 2 ? -10000 : 10000) * nyquist_gain;
    ASSERT_NEAR(nyquist_out[i], std::trunc(expected), 1) << i;
    ASSERT_LT(std::abs(nyquist_out[i]), 100) << i;
  }
}

}  // namespace
