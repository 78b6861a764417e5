#include <gtest/gtest.h>
#include <sonark/model/pcm_sound.h>

#include <cstdlib>
#include <vector>

#include "render_test_support.h"

namespace {

using namespace render_test;

constexpr uint32_t kRate = 8000;
constexpr long kInterval = 240;  // output frames in 30 ms at 8000 Hz

const tWAVEFORMATEX kMono16 = Format(kRate, 1, 16);
const tWAVEFORMATEX kStereo16 = Format(kRate, 2, 16);

// A sound of constant samples, so that every output sample shows the gain in force.
SoundPtr ConstantSound(long ms, int32_t value = 16000) {
  return NewSound(Samples(ms * kRate / 1000, kMono16, [=](long, int) { return value; }), kMono16);
}

int16_t Scaled(int32_t gain, int32_t value = 16000) {
  return static_cast<int16_t>((gain * value) >> 13);
}

int32_t Gain(double factor) { return static_cast<int32_t>(factor * 8192.0); }

// The envelope's straight line as rendering evaluates it, at an update `frames` after the
// event at `from`.
double Line(double from, double to, long spanFrames, long frames) {
  return from + (to - from) / static_cast<double>(spanFrames) * static_cast<double>(frames);
}

TEST(EnvelopeRender, VolumeFollowsItsLineInThirtyMillisecondSteps) {
  SoundPtr sound = ConstantSound(2000);
  sound->AddSimpleEvent(kMapVolume, 0, 1.0);
  sound->AddSimpleEvent(kMapVolume, 1000, 0.0);
  ASSERT_EQ(sound->Load(0), 1);
  const Rendered out = Render(*sound, kStereo16, 9000, 1000);
  ASSERT_EQ(out.samples.size(), 9000u * 2);
  for (long f = 0; f < 9000; ++f) {
    const long updated = f < 8000 ? f / kInterval * kInterval : 8000;
    const int16_t expected = Scaled(Gain(Line(1.0, 0.0, 8000, updated)));
    ASSERT_EQ(out.samples[f * 2], expected) << "frame " << f;
    ASSERT_EQ(out.samples[f * 2 + 1], expected) << "frame " << f;
  }
  // The last event's value holds.
  EXPECT_EQ(sound->Volume(), 0.0);
  EXPECT_EQ(sound->RenderFlags() & kRenderEnvelopes, 0u);
}

TEST(EnvelopeRender, PanFollowsItsLine) {
  SoundPtr sound = ConstantSound(2000);
  sound->Volume(1.0);
  sound->AddSimpleEvent(kMapPan, 0, -1.0);
  sound->AddSimpleEvent(kMapPan, 1000, 1.0);
  ASSERT_EQ(sound->Load(0), 1);
  const Rendered out = Render(*sound, kStereo16, 8000, 999);
  for (long f = 0; f < 8000; ++f) {
    const double pan = Line(-1.0, 1.0, 8000, f / kInterval * kInterval);
    const int32_t left = pan > 0.0 ? Gain(1.0 - pan) : 8192;
    const int32_t right = pan > 0.0 ? 8192 : Gain(1.0 + pan);
    ASSERT_EQ(out.samples[f * 2], Scaled(left)) << "frame " << f;
    ASSERT_EQ(out.samples[f * 2 + 1], Scaled(right)) << "frame " << f;
  }
}

TEST(EnvelopeRender, RateFollowsItsLine) {
  // At 2000 Hz a 30 ms period is 60 frames; source frame i holds 5 i.
  const tWAVEFORMATEX format = Format(2000, 1, 16);
  SoundPtr sound = NewSound(
      Samples(6000, format, [](long i, int) { return static_cast<int32_t>(5 * i); }), format);
  sound->Volume(1.0);
  sound->AddSimpleEvent(kMapRate, 0, 1.0);
  sound->AddSimpleEvent(kMapRate, 1000, 2.0);
  sound->AddSimpleEvent(kMapRate, 2000, 2.0);
  ASSERT_EQ(sound->Load(0), 1);
  const Rendered out = Render(*sound, format, 2400, 256);
  ASSERT_EQ(out.samples.size(), 2400u);
  // Output frame f stands at the sum of the rates in force up to it (less one: frame 0 is
  // source frame 0), each held for a 30 ms period from the line's value at its start.
  double position = -1.0;
  for (long f = 0; f < 2000; ++f) {
    const double rate = Line(1.0, 2.0, 2000, f / 60 * 60);
    position += rate;
    ASSERT_NEAR(out.samples[f], 5.0 * position, 5.0) << "frame " << f;
  }
  // That is one and a half seconds of source, less the lag of the 30 ms steps.
  EXPECT_NEAR(position, 3000.0 - 30.0, 1.0);
  // Past the event the rate is exactly 2: two source frames per output frame.
  for (long f = 2001; f < 2400; ++f) ASSERT_EQ(out.samples[f] - out.samples[f - 1], 10);
}

TEST(EnvelopeRender, VolumeHoldsAtItsLastEventWhilePanGoesOn) {
  SoundPtr sound = ConstantSound(2000);
  sound->AddSimpleEvent(kMapVolume, 0, 1.0);
  sound->AddSimpleEvent(kMapVolume, 500, 0.5);
  sound->AddSimpleEvent(kMapPan, 0, 0.0);
  sound->AddSimpleEvent(kMapPan, 1000, 1.0);
  ASSERT_EQ(sound->Load(0), 1);
  const Rendered out = Render(*sound, kStereo16, 7000, 512);
  // At the volume event (frame 4000) the pan is half way.
  EXPECT_EQ(out.samples[4000 * 2], Scaled(Gain((1.0 - 0.5) * 0.5)));
  EXPECT_EQ(out.samples[4000 * 2 + 1], Scaled(Gain(0.5)));
  for (long f : {5999L, 6000L, 6999L}) {
    const double pan = Line(0.0, 1.0, 8000, f / kInterval * kInterval);
    EXPECT_EQ(out.samples[f * 2], Scaled(Gain((1.0 - pan) * 0.5))) << "frame " << f;
    EXPECT_EQ(out.samples[f * 2 + 1], Scaled(Gain(0.5))) << "frame " << f;
  }
}

TEST(EnvelopeRender, ChangedEnvelopesAreReadAgainAtTheCurrentPosition) {
  SoundPtr sound = ConstantSound(2000);
  sound->AddSimpleEvent(kMapVolume, 0, 1.0);
  sound->AddSimpleEvent(kMapVolume, 2000, 1.0);
  ASSERT_EQ(sound->Load(0), 1);
  EXPECT_EQ(Render(*sound, kMono16, 4000).samples.back(), 16000);
  sound->RemoveAllSimpleEvents(kMapVolume);
  sound->AddSimpleEvent(kMapVolume, 0, 0.0);
  sound->AddSimpleEvent(kMapVolume, 1000, 1.0);
  // Not before the mixer is told.
  EXPECT_EQ(Render(*sound, kMono16, 10).samples.back(), 16000);
  sound->SetMixerFlag(kMixerFlagNewMap);
  const Rendered out = Render(*sound, kMono16, 10);
  EXPECT_EQ(out.samples.front(), Scaled(Gain(Line(0.0, 1.0, 8000, 4010))));
  EXPECT_FALSE(sound->GetFlag(kMixerFlagNewMap));
}

TEST(EnvelopeRender, SingleEventHoldsItsValue) {
  SoundPtr sound = ConstantSound(500);
  sound->Volume(1.0);
  sound->AddSimpleEvent(kMapVolume, 0, 0.25);
  ASSERT_EQ(sound->Load(100), 1);
  const Rendered out = Render(*sound, kMono16, 100);
  EXPECT_EQ(out.samples.front(), Scaled(2048));
  EXPECT_EQ(out.samples.back(), Scaled(2048));
}

TEST(EnvelopeRender, LoadStartsInsideTheEnvelopes) {
  SoundPtr sound = ConstantSound(2000);
  sound->AddSimpleEvent(kMapVolume, 0, 1.0);
  sound->AddSimpleEvent(kMapVolume, 1000, 0.0);
  ASSERT_EQ(sound->Load(500), 1);
  EXPECT_EQ(Render(*sound, kMono16, 1).samples.front(), Scaled(4096));

  // A rate envelope moves the start in the data: 500 ms at rate 2 is 1000 ms of source.
  const auto stairs = StaircaseBytes(24000, kMono16);
  SoundPtr fast = NewSound(stairs, kMono16);
  fast->Volume(1.0);
  fast->AddSimpleEvent(kMapRate, 0, 2.0);
  fast->AddSimpleEvent(kMapRate, 3000, 2.0);
  ASSERT_EQ(fast->Load(500), 1);
  const Rendered out = Render(*fast, kMono16, 3);
  EXPECT_EQ(out.samples[0], 8001);
  EXPECT_EQ(out.samples[2], 8005);
}

TEST(EnvelopeRender, MutedSoundFollowsTheRateEnvelopeToo) {
  const auto stairs = StaircaseBytes(16000, kMono16);
  SoundPtr loud = NewSound(stairs, kMono16, 50);
  SoundPtr muted = NewSound(stairs, kMono16, 50);
  muted->Mute(1);
  for (CPCMSound* s : {loud.get(), muted.get()}) {
    s->AddSimpleEvent(kMapRate, 0, 0.5);
    s->AddSimpleEvent(kMapRate, 2000, 1.7);
    ASSERT_EQ(s->Load(0), 1);
  }
  const Rendered a = Render(*loud, kStereo16, 40000, 800);
  const Rendered b = Render(*muted, kStereo16, 40000, 800);
  EXPECT_EQ(a.result, kRenderFinished);
  EXPECT_EQ(a.bytes, b.bytes);
  for (int16_t v : b.samples) ASSERT_EQ(v, 0);
}

}  // namespace
