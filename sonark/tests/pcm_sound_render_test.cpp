#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/render/pcm_buffer.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "render_test_support.h"

namespace {

using namespace render_test;

const tWAVEFORMATEX kStereo16 = Format(8000, 2, 16);

struct Layout {
  uint16_t channels;
  uint16_t bits;
};

class RateOne : public ::testing::TestWithParam<Layout> {};

// At rate 1.0 with equal rates every output frame is one source frame times the gain.
TEST_P(RateOne, OutputIsGainTimesSource) {
  const tWAVEFORMATEX source = Format(8000, GetParam().channels, GetParam().bits);
  const long frames = 3000;
  SoundPtr sound = NewSound(StaircaseBytes(frames, source), source, 100);
  sound->Volume(0.75);  // gain 6144
  ASSERT_EQ(sound->Load(0), 1);
  const Rendered out = Render(*sound, kStereo16, frames + 100, 700);
  EXPECT_EQ(out.result, kRenderFinished);
  ASSERT_EQ(out.samples.size(), static_cast<size_t>(frames * 2));
  for (long i = 0; i < frames; ++i) {
    const int32_t left = Staircase(i, 0, source.wBitsPerSample);
    const int32_t right = source.nChannels == 2 ? Staircase(i, 1, source.wBitsPerSample) : left;
    ASSERT_EQ(out.samples[i * 2], (6144 * left) >> 13) << "frame " << i;
    ASSERT_EQ(out.samples[i * 2 + 1], (6144 * right) >> 13) << "frame " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Sources, RateOne,
                         ::testing::Values(Layout{1, 16}, Layout{2, 16}, Layout{1, 8},
                                           Layout{2, 8}),
                         [](const auto& info) {
                           return std::string(info.param.channels == 2 ? "Stereo" : "Mono") +
                                  std::to_string(info.param.bits);
                         });

TEST(PcmSoundRender, MonoAndEightBitOutputs) {
  const tWAVEFORMATEX source = Format(8000, 2, 16);
  SoundPtr sound = NewSound(StaircaseBytes(600, source), source);
  sound->Volume(1.0);
  ASSERT_EQ(sound->Load(0), 1);
  // Stereo into mono sums the channels: i + (-i).
  const Rendered mono = Render(*sound, Format(8000, 1, 16), 600);
  ASSERT_EQ(mono.samples.size(), 600u);
  for (int16_t v : mono.samples) ASSERT_EQ(v, 0);

  ASSERT_EQ(sound->Load(0), 1);
  const Rendered eight = Render(*sound, Format(8000, 2, 8), 600);
  ASSERT_EQ(eight.samples.size(), 1200u);
  // Narrowed to the high byte: left 513 -> 2 x 256, right -513 -> -3 x 256.
  EXPECT_EQ(eight.samples[513 * 2], 2 * 256);
  EXPECT_EQ(eight.samples[513 * 2 + 1], -3 * 256);
}

TEST(PcmSoundRender, FullScaleSoundsSaturate) {
  const tWAVEFORMATEX source = Format(8000, 1, 16);
  auto loud = Samples(400, source, [](long i, int) { return i < 200 ? 30000 : -30000; });
  SoundPtr a = NewSound(loud, source);
  SoundPtr b = NewSound(loud, source);
  a->Volume(1.0);
  b->Volume(1.0);
  ASSERT_EQ(a->Load(0), 1);
  ASSERT_EQ(b->Load(0), 1);
  for (const tWAVEFORMATEX& output : {kStereo16, Format(8000, 2, 8)}) {
    tWAVEFORMATEX format = output;
    std::vector<unsigned char> block(400 * format.nBlockAlign,
                                     format.wBitsPerSample == 8 ? 128 : 0);
    _bufferType mix{ptInterleaved, &format, static_cast<uint32_t>(block.size()), 0, 0,
                    block.data(),  nullptr};
    unsigned long produced = 0;
    a->Load(0);
    b->Load(0);
    a->ReadData(&mix, &produced);
    b->ReadData(&mix, &produced);
    if (format.wBitsPerSample == 16) {
      int16_t first, last;
      std::memcpy(&first, &block[0], 2);
      std::memcpy(&last, &block[block.size() - 2], 2);
      EXPECT_EQ(first, 32767);
      EXPECT_EQ(last, -32768);
    } else {
      EXPECT_EQ(block.front(), 255);
      EXPECT_EQ(block.back(), 0);
    }
  }
}

TEST(PcmSoundRender, PanAttenuatesOnlyTheFarChannel) {
  const tWAVEFORMATEX source = Format(8000, 1, 16);
  SoundPtr sound = NewSound(Samples(100, source, [](long, int) { return 8000; }), source);
  sound->Volume(1.0);
  sound->Pan(1.0);
  EXPECT_EQ(sound->LeftGain(), 0);
  EXPECT_EQ(sound->RightGain(), 8192);
  sound->Pan(-0.5);
  EXPECT_EQ(sound->LeftGain(), 8192);
  EXPECT_EQ(sound->RightGain(), 4096);
  ASSERT_EQ(sound->Load(0), 1);
  const Rendered out = Render(*sound, kStereo16, 100);
  EXPECT_EQ(out.samples[0], 8000);
  EXPECT_EQ(out.samples[1], 4000);
  // Gains stay in a range where gain x sample cannot overflow.
  sound->Volume(1e12);
  EXPECT_EQ(sound->LeftGain(), 65535);
  sound->Volume(-0.5);
  EXPECT_EQ(sound->LeftGain(), 4096);
}

TEST(PcmSoundRender, RateTwoTakesTwoSourceFramesPerOutputFrame) {
  const tWAVEFORMATEX source = Format(8000, 1, 16);
  SoundPtr sound = NewSound(StaircaseBytes(8000, source), source, 50);
  sound->Volume(1.0);
  sound->Rate(2.0);
  ASSERT_EQ(sound->Length(0), 1000);
  ASSERT_EQ(sound->Load(0), 1);
  const Rendered out = Render(*sound, kStereo16, 8000, 333);
  EXPECT_EQ(out.result, kRenderFinished);
  // One second of sound plays in half a second.
  ASSERT_EQ(out.samples.size(), 4000u * 2);
  for (long k = 0; k < 4000; ++k) ASSERT_EQ(out.samples[k * 2], 2 * k + 1) << "frame " << k;
}

// The ring hands out its data in pieces (ring wraps, blocks of any size): the resampler must
// continue across them exactly as if the data were one piece.
TEST(PcmSoundRender, PiecesOfTheRingDoNotDisturbResampling) {
  const tWAVEFORMATEX source = Format(8000, 2, 16);
  const auto bytes = StaircaseBytes(6000, source);
  for (double rate : {1.5, 0.7, 0.3, 1.0}) {
    SoundPtr whole = NewSound(bytes, source);
    SoundPtr pieces = NewSound(bytes, source, 7);  // a ring of 56 frames
    ASSERT_TRUE(whole->GetBuffer()->IsLoadedOnce());
    ASSERT_FALSE(pieces->GetBuffer()->IsLoadedOnce());
    for (CPCMSound* s : {whole.get(), pieces.get()}) {
      s->Volume(1.0);
      s->Rate(rate);
      ASSERT_EQ(s->Load(0), 1);
    }
    const Rendered a = Render(*whole, kStereo16, 30000, 30000);
    const Rendered b = Render(*pieces, kStereo16, 30000, 37);
    EXPECT_EQ(a.result, kRenderFinished);
    EXPECT_EQ(b.result, kRenderFinished);
    ASSERT_EQ(a.samples, b.samples) << "rate " << rate;
    ASSERT_GT(a.samples.size(), 2u);
  }
}

TEST(PcmSoundRender, SlowRatesInterpolateLinearly) {
  const tWAVEFORMATEX source = Format(8000, 1, 16);
  SoundPtr sound = NewSound(Samples(100, source, [](long i, int) { return 1000 * i; }), source);
  sound->Volume(1.0);
  sound->Rate(0.25);
  ASSERT_EQ(sound->Load(0), 1);
  const Rendered out = Render(*sound, Format(8000, 1, 16), 40);
  // Quarter steps between source frames: position k / 4 - 3 / 4.
  for (long k = 4; k < 40; ++k) ASSERT_EQ(out.samples[k], 250 * (k - 3)) << "frame " << k;
}

TEST(PcmSoundRender, SoundLongerThanItsDataRepeats) {
  const tWAVEFORMATEX source = Format(8000, 1, 16);
  for (long bufferMs : {2000L, 3L}) {
    SoundPtr sound = NewSound(StaircaseBytes(800, source), source, bufferMs);  // 100 ms
    sound->Volume(1.0);
    sound->SetVirtualLength(250);
    ASSERT_EQ(sound->Load(0), 1);
    const Rendered out = Render(*sound, Format(8000, 1, 16), 5000, 300);
    EXPECT_EQ(out.result, kRenderFinished);
    ASSERT_EQ(out.samples.size(), 2000u);
    for (long i = 0; i < 2000; ++i) ASSERT_EQ(out.samples[i], i % 800) << "frame " << i;
  }
}

TEST(PcmSoundRender, MutedSoundRendersNothingAndEndsOnTime) {
  const tWAVEFORMATEX source = Format(8000, 2, 16);
  SoundPtr loud = NewSound(StaircaseBytes(4000, source), source, 20);
  SoundPtr muted = NewSound(StaircaseBytes(4000, source), source, 20);
  muted->Mute(1);
  for (CPCMSound* s : {loud.get(), muted.get()}) {
    s->Rate(1.3);
    ASSERT_EQ(s->Load(0), 1);
  }
  const Rendered a = Render(*loud, kStereo16, 10000, 512);
  const Rendered b = Render(*muted, kStereo16, 10000, 512);
  EXPECT_EQ(b.result, kRenderFinished);
  EXPECT_EQ(a.bytes, b.bytes);
  EXPECT_EQ(a.calls, b.calls);
  for (int16_t v : b.samples) ASSERT_EQ(v, 0);
}

TEST(PcmSoundRender, LoadRefusals) {
  const tWAVEFORMATEX source = Format(8000, 1, 16);
  SoundPtr sound = NewSound(StaircaseBytes(800, source), source);
  ASSERT_EQ(sound->Load(50), 1);
  const uint32_t toRead = sound->GetBuffer()->TotalBytesToRead();
  EXPECT_EQ(toRead, 800u);
  EXPECT_EQ(sound->Load(101), 0);
  EXPECT_EQ(sound->GetBuffer()->TotalBytesToRead(), toRead);

  CPCMSound bare;
  EXPECT_EQ(bare.Load(0), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrBufferCannotStart);
  tWAVEFORMATEX out = kStereo16;
  std::vector<unsigned char> block(64);
  _bufferType b{ptInterleaved, &out, 64, 0, 0, block.data(), nullptr};
  EXPECT_EQ(bare.ReadData(&b, nullptr), kRenderFailed);
  b.precision = ptInt16;
  EXPECT_EQ(sound->ReadData(&b, nullptr), kRenderFailed);
}

TEST(PcmSoundRender, SetUpChecksFormatAndData) {
  CPCMSound sound;
  tWAVEFORMATEX wide = Format(8000, 2, 24);
  DataPtr data = MemoryData(std::vector<unsigned char>(600));
  EXPECT_EQ(sound.SetUpFromPCM(data.get(), &wide, 2000), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrUnsupportedPcm);

  DataPtr empty(new CMemObj());
  const tWAVEFORMATEX pcm = Format(8000, 2, 16);
  EXPECT_EQ(sound.SetUpFromPCM(empty.get(), &pcm, 2000), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrEmptyData);

  // A trailing part of a frame is left out of the window.
  DataPtr odd = MemoryData(std::vector<unsigned char>(4 * 8000 + 3));
  ASSERT_EQ(sound.SetUpFromPCM(odd.get(), &pcm, 2000), 1);
  EXPECT_EQ(odd->DataSize(), 4 * 8000);
  EXPECT_EQ(sound.Length(0), 1000);
  EXPECT_EQ(sound.DataLength(), 1000);
  EXPECT_EQ(sound.NumSamples(), 8000);
  EXPECT_EQ(sound.GetRefObj(), odd.get());
  EXPECT_EQ(odd->References(), 2);
}

// A source that delivers only its first `delivered` bytes, as a file cut short after loading.
class ShortSource : public CMemObj {
 public:
  long delivered = 0;
  long ReadData(char* buf, long count) override {
    const long left = std::max(0L, delivered - Tell());
    return CMemObj::ReadData(buf, std::min(count, left));
  }
};

// A sound held whole whose source comes up short is padded with its own silence: the missing
// 8-bit frames render as nothing, not as full-scale samples.
TEST(PcmSoundRender, ASourceThatComesUpShortIsPaddedWithSilence) {
  for (const uint16_t bits : {8, 16}) {
    const tWAVEFORMATEX source = Format(8000, 1, bits);
    const std::vector<unsigned char> bytes = StaircaseBytes(400, source);
    std::unique_ptr<ShortSource, ReleaseRefObj> data(new ShortSource());
    data->Open(const_cast<unsigned char*>(bytes.data()), bytes.size());
    data->SetDataOffsets(0, bytes.size());
    data->delivered = static_cast<long>(bytes.size() / 2);
    CPCMSound sound;
    ASSERT_EQ(sound.SetUpFromPCM(data.get(), &source, 2000), 1);
    sound.Volume(1.0);
    ASSERT_EQ(sound.Load(0), 1);
    const Rendered out = Render(sound, kStereo16, 400);
    ASSERT_EQ(out.samples.size(), 800u);
    EXPECT_EQ(out.samples[199 * 2], Staircase(199, 0, bits)) << bits << " bits";
    for (long i = 200; i < 400; ++i)
      ASSERT_EQ(out.samples[i * 2], 0) << bits << " bits, frame " << i;
  }
}

TEST(PcmSoundRender, PlayOnceQueries) {
  const tWAVEFORMATEX source = Format(8000, 1, 16);
  // Loaded once: finished once its read is complete.
  SoundPtr once = NewSound(StaircaseBytes(800, source), source);
  once->SetPlayOnceMode(1);
  ASSERT_EQ(once->Load(0), 1);
  EXPECT_EQ(once->FinishedWithPlayOnce(), 0);
  EXPECT_EQ(once->GetSourceBytesMixedInPlayOnceMode(), 1600);
  Rendered out = Render(*once, kStereo16, 5000);
  EXPECT_EQ(out.samples.size(), 1600u);
  EXPECT_EQ(once->FinishedWithPlayOnce(), 1);

  // Streaming: plays until the data runs out, whatever the length says.
  SoundPtr stream = NewSound(StaircaseBytes(800, source), source, 10);
  stream->SetVirtualLength(30);
  stream->SetPlayOnceMode(1);
  ASSERT_EQ(stream->Load(0), 1);
  EXPECT_EQ(stream->FinishedWithPlayOnce(), 0);
  out = Render(*stream, Format(8000, 1, 16), 5000, 100);
  EXPECT_EQ(out.result, kRenderFinished);
  ASSERT_EQ(out.samples.size(), 800u);
  EXPECT_EQ(out.samples.back(), 799);
  EXPECT_EQ(stream->FinishedWithPlayOnce(), 1);
  EXPECT_EQ(stream->GetSourceBytesMixedInPlayOnceMode(), 1600);
}

TEST(PcmSoundRender, CopiesRenderLikeTheOriginalAndPartCopiesTheirPart) {
  const tWAVEFORMATEX source = Format(8000, 1, 16);
  const tWAVEFORMATEX mono = Format(8000, 1, 16);
  for (long bufferMs : {2000L, 30L}) {
    SoundPtr sound = NewSound(StaircaseBytes(8000, source), source, bufferMs);
    sound->Volume(1.0);
    sound->SetVirtualTimeStart(100);
    ASSERT_EQ(sound->Load(0), 1);
    Render(*sound, mono, 300);  // the original is half way through when copied

    SoundPtr copy(static_cast<CPCMSound*>(sound->Copy()));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Volume(), 1.0);
    EXPECT_EQ(copy->GetVirtualTimeStart(), 100);
    ASSERT_EQ(copy->Load(0), 1);
    Rendered out = Render(*copy, mono, 100);
    EXPECT_EQ(out.samples[0], 800);
    EXPECT_EQ(out.samples[99], 899);
    out = Render(*sound, mono, 1);
    EXPECT_EQ(out.samples[0], 1100);

    SoundPtr part(static_cast<CPCMSound*>(sound->Copy(250, 500)));
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->Length(0), 250);
    EXPECT_EQ(part->GetVirtualTimeStart(), 350);
    ASSERT_EQ(part->Load(0), 1);
    out = Render(*part, mono, 5000, 512);
    EXPECT_EQ(out.result, kRenderFinished);
    ASSERT_EQ(out.samples.size(), 2000u);
    EXPECT_EQ(out.samples.front(), 2800);
    EXPECT_EQ(out.samples.back(), 4799);
  }
}

TEST(PcmSoundRender, PartCopyStartWrapsRoundTheData) {
  const tWAVEFORMATEX source = Format(8000, 1, 16);
  SoundPtr sound = NewSound(StaircaseBytes(8000, source), source);  // 1000 ms of data
  sound->Volume(1.0);
  sound->SetVirtualLength(3000);
  SoundPtr part(static_cast<CPCMSound*>(sound->Copy(2500, 2600)));
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->GetVirtualTimeStart(), 500);
  ASSERT_EQ(part->Load(0), 1);
  const Rendered out = Render(*part, Format(8000, 1, 16), 800);
  ASSERT_EQ(out.samples.size(), 800u);
  EXPECT_EQ(out.samples.front(), 4000);
}

TEST(PcmSoundRender, PositionAndLengthQueries) {
  const tWAVEFORMATEX source = Format(8000, 2, 16);
  SoundPtr sound = NewSound(StaircaseBytes(8004, source), source, 100);
  EXPECT_EQ(sound->DataLength(), 1001);  // 1000.5 ms rounds up
  EXPECT_EQ(sound->Length(0), 1000);
  ASSERT_EQ(sound->Load(200), 1);
  EXPECT_EQ(sound->CurrentPlayOffset(), 0);
  Render(*sound, kStereo16, 1600);
  // The last frame handed out is taken from the ring with the next frame.
  EXPECT_EQ(sound->CurrentPlayOffset(), 199);
  char text[256] = {};
  sound->GetDestFormatString(text, sizeof text);
  EXPECT_NE(text[0], '\0');
  tWAVEFORMATEX copy{};
  ASSERT_EQ(sound->GetFormat(&copy), 1);
  EXPECT_EQ(copy.nAvgBytesPerSec, 32000u);
}

TEST(PcmSoundRender, ShorterLengthWhilePlayingShortensTheRead) {
  const tWAVEFORMATEX source = Format(8000, 1, 16);
  SoundPtr sound = NewSound(StaircaseBytes(8000, source), source, 100);
  ASSERT_EQ(sound->Load(0), 1);
  sound->SetPlayMode(1, 0);
  Render(*sound, kStereo16, 800);
  sound->SetVirtualLength(500);
  EXPECT_TRUE(sound->GetFlag(kMixerFlagNewLength));
  const Rendered out = Render(*sound, kStereo16, 8000);
  EXPECT_EQ(out.result, kRenderFinished);
  EXPECT_EQ(out.samples.size(), 3200u * 2);
  sound->SetPlayMode(0, 0);
}

TEST(PcmSoundRender, ShrinkBufferKeepsTheStartOfTheData) {
  const tWAVEFORMATEX source = Format(8000, 1, 16);
  SoundPtr sound = NewSound(StaircaseBytes(8000, source), source, 100);
  EXPECT_EQ(sound->ShrinkBuffer(1600), 0);  // not below the capacity
  ASSERT_EQ(sound->ShrinkBuffer(201), 1);   // whole frames: 100 frames
  EXPECT_TRUE(sound->GetBuffer()->IsLoadedOnce());
  EXPECT_EQ(sound->GetBuffer()->BufferSize(), 200u);
  sound->Volume(1.0);
  ASSERT_EQ(sound->Load(0), 1);
  const Rendered out = Render(*sound, Format(8000, 1, 16), 250);
  EXPECT_EQ(out.samples[99], 99);
  EXPECT_EQ(out.samples[100], 0);
  EXPECT_EQ(out.samples[249], 49);
}

TEST(PcmSoundRender, ShrinkBufferKeepsAPartsOwnStart) {
  const tWAVEFORMATEX source = Format(8000, 1, 16);
  SoundPtr sound = NewSound(StaircaseBytes(8000, source), source, 100);
  sound->SetVirtualTimeStart(5);  // frame 40 of the 100 frames kept
  ASSERT_EQ(sound->ShrinkBuffer(200), 1);
  sound->Volume(1.0);
  ASSERT_EQ(sound->Load(0), 1);
  const Rendered out = Render(*sound, Format(8000, 1, 16), 61);
  ASSERT_GE(out.samples.size(), 61u);
  EXPECT_EQ(out.samples[0], 40);
  EXPECT_EQ(out.samples[59], 99);
  EXPECT_EQ(out.samples[60], 0);
}

TEST(PcmSoundRender, AmplitudesScaleThePeakOfEachRun) {
  const tWAVEFORMATEX source = Format(8000, 2, 16);
  const auto bytes = Samples(400, source, [](long i, int c) {
    return c == 0 ? static_cast<int32_t>(i * 80) : -static_cast<int32_t>(i * 40) - 1;
  });
  SoundPtr sound = NewSound(bytes, source, 10);  // a streaming ring of 80 frames
  ASSERT_EQ(sound->Load(0), 1);
  sound->Idle(&source);
  long position = 0;
  unsigned char values[8] = {};
  // 80 frames in the ring: two runs of 30, the rest stays.
  ASSERT_EQ(sound->GetAmplitudes(&position, 30, 8, values), 2);
  EXPECT_EQ(position, 60);
  EXPECT_EQ(values[0], 29 * 80 * 255 / 32767);
  EXPECT_EQ(values[1], 59 * 80 * 255 / 32767);
  EXPECT_EQ(sound->GetBuffer()->TotalBytesRead(), 240u);

  CPCMSound bare;
  EXPECT_EQ(bare.GetAmplitudes(&position, 30, 8, values), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrBufferCannotStart);
}

}  // namespace
