#include <platform/clock.h>
#include <platform/wave_format.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

TEST(WaveFormat, MatchesTheStoredByteLayout) {
  EXPECT_EQ(offsetof(tWAVEFORMATEX, nChannels), 2u);
  EXPECT_EQ(offsetof(tWAVEFORMATEX, nSamplesPerSec), 4u);
  EXPECT_EQ(offsetof(tWAVEFORMATEX, nAvgBytesPerSec), 8u);
  EXPECT_EQ(offsetof(tWAVEFORMATEX, nBlockAlign), 12u);
  EXPECT_EQ(offsetof(tWAVEFORMATEX, wBitsPerSample), 14u);
  EXPECT_EQ(offsetof(tWAVEFORMATEX, cbSize), 16u);

  // 44.1 kHz stereo 16-bit as a "fmt " chunk holds it.
  const unsigned char bytes[18] = {1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0, 0, 0};
  tWAVEFORMATEX f;
  memcpy(&f, bytes, sizeof f);
  EXPECT_EQ(f.wFormatTag, kWaveFormatPcm);
  EXPECT_EQ(f.nChannels, 2);
  EXPECT_EQ(f.nSamplesPerSec, 44100u);
  EXPECT_EQ(f.nAvgBytesPerSec, 176400u);
  EXPECT_EQ(f.nBlockAlign, 4);
  EXPECT_EQ(f.wBitsPerSample, 16);
}

TEST(Clock, IsMonotonicAndCountsMilliseconds) {
  uint64_t a = platform::monotonic_ms();
  platform::sleep_ms(20);
  uint64_t b = platform::monotonic_ms();
  EXPECT_GE(b - a, 20u);
  EXPECT_LT(b - a, 5000u);
}
