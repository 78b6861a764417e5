#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/load/peak_slicer.h>
#include <sonark/load/peaks.h>
#include <sonark/containers/map.h>
#include <sonark/containers/my_array_list.h>
#include <sonark/temp_paths.h>
#include <sonark/tests/pcm_test_support.h>
#include <sonark/tests/peak_test_support.h>
#include <tarnell/file_obj.h>
#include <tarnell/mem_obj.h>
#include <tarnell/tests/temp_dir.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace peak_test;

// ---- Peaks of PCM, computed sample by sample without the slicer ----

long Magnitude(const tWAVEFORMATEX& f, const unsigned char* p) {
  const long v = f.wBitsPerSample == 8 ? (static_cast<long>(p[0]) - 128) * 256
                                       : static_cast<int16_t>(p[0] | (p[1] << 8));
  return std::labs(v);
}

// Slices of whole frames; every M-th full slice (M = exact / fraction lost per slice, rounded
// up) gives its loudness to the next peak instead of a peak of its own.
std::vector<unsigned char> ExpectedPeaks(const tWAVEFORMATEX& f,
                                         const std::vector<unsigned char>& pcm, unsigned long ms) {
  const size_t frame = f.nChannels * f.wBitsPerSample / 8;
  const uint64_t exactMilli = uint64_t{frame} * f.nSamplesPerSec * ms;
  const uint64_t whole = exactMilli / 1000 / frame * frame;
  const uint64_t lost = exactMilli - whole * 1000;
  const uint64_t period = lost ? (exactMilli + lost - 1) / lost : 0;
  const size_t usable = pcm.size() - pcm.size() % frame;
  auto scale = [](long m) { return static_cast<unsigned char>(m * 255 / 32767); };
  std::vector<unsigned char> out;
  long carried = -1;
  uint64_t block = 0;
  for (size_t pos = 0; pos < usable; pos += whole, ++block) {
    const size_t end = std::min<size_t>(pos + whole, usable);
    long m = 0;
    for (size_t i = pos; i < end; i += f.wBitsPerSample / 8) m = std::max(m, Magnitude(f, &pcm[i]));
    if (end - pos == whole && period && (block + 1) % period == 0) {
      carried = std::max(carried, m);
      continue;
    }
    out.push_back(scale(std::max(m, carried)));
    carried = -1;
  }
  if (carried >= 0) out.push_back(scale(carried));
  return out;
}

struct Sliced {
  std::vector<unsigned char> peaks;
  long maxLeft, maxRight;
};

Sliced Slice(const tWAVEFORMATEX& f, const std::vector<unsigned char>& pcm, unsigned long ms,
             size_t chunk) {
  CPeaks peaks(ms, -1);
  int toFile = 0;
  EXPECT_EQ(peaks.InitStreamPeaksFromParse(&toFile, nullptr), 1);
  CPeakSlicer slicer;
  EXPECT_EQ(slicer.Init(&peaks, &f, ms), 1);
  for (size_t at = 0; at < pcm.size(); at += chunk) {
    EXPECT_EQ(
        slicer.Add(pcm.data() + at, static_cast<unsigned long>(std::min(chunk, pcm.size() - at))),
        1);
  }
  EXPECT_EQ(slicer.Flush(), 1);
  const long length = static_cast<long>(pcm.size() * 1000 / f.nAvgBytesPerSec);
  EXPECT_EQ(peaks.FinishPeaksFromParse(length, toFile), 1);
  return {Held(peaks), peaks.GetMaxLeft(), peaks.GetMaxRight()};
}

std::vector<unsigned char> Staircase16Stereo(size_t frames) {
  std::vector<int16_t> s;
  for (size_t i = 0; i < frames; ++i) {
    s.push_back(static_cast<int16_t>(i % 32768));
    s.push_back(static_cast<int16_t>(-static_cast<long>((i * 3) % 32768)));
  }
  return sonark_test::Bytes16(s);
}

std::vector<unsigned char> Sine8Mono(size_t frames, double rate) {
  std::vector<unsigned char> b;
  for (size_t i = 0; i < frames; ++i) {
    const double envelope = static_cast<double>(i % 9000) / 9000.0;
    b.push_back(static_cast<unsigned char>(
        128 + std::lround(127 * envelope * std::sin(2 * M_PI * 440 * i / rate))));
  }
  return b;
}

std::vector<unsigned char> SilenceWithBurst16Mono(size_t frames, size_t from, size_t to) {
  std::vector<int16_t> s(frames, 0);
  for (size_t i = from; i < to && i < frames; ++i)
    s[i] = static_cast<int16_t>(i % 2 ? 20000 : -30000);
  return sonark_test::Bytes16(s);
}

TEST(PeakSlicerTest, MatchesSampleBySampleComputation) {
  struct Case {
    const char* name;
    tWAVEFORMATEX format;
    unsigned long ms;
    std::vector<unsigned char> pcm;
  };
  const std::vector<Case> cases = {
      // 1764 bytes per peak, nothing to make up.
      {"staircase 44.1k stereo 10ms", PcmFormat(44100, 2, 16), 10, Staircase16Stereo(200000)},
      // 176.4 bytes: 176 per slice, every 441st slice merges into the next.
      {"staircase 44.1k stereo 1ms", PcmFormat(44100, 2, 16), 1, Staircase16Stereo(200000)},
      // 220.5 bytes per peak: one slice in 441 merges.
      {"sine 22.05k mono 8-bit", PcmFormat(22050, 1, 8), 10, Sine8Mono(300000, 22050)},
      // 441 bytes rounded down to whole frames: 440.
      {"burst 22.05k mono 16-bit", PcmFormat(22050, 1, 16), 10,
       SilenceWithBurst16Mono(250000, 120000, 120500)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<unsigned char> expected = ExpectedPeaks(c.format, c.pcm, c.ms);
    // Odd pieces split frames and slices between calls.
    for (size_t chunk : {size_t{1001}, size_t{65536}, c.pcm.size()}) {
      const Sliced got = Slice(c.format, c.pcm, c.ms, chunk);
      ASSERT_EQ(got.peaks, expected) << "chunk " << chunk;
    }
    // On average one peak per exact slice (a merge may lag, the short last slice counts).
    const double exact = c.format.nAvgBytesPerSec * c.ms / 1000.0;
    EXPECT_NEAR(static_cast<double>(expected.size()), c.pcm.size() / exact, 2.0);
  }
}

TEST(PeakSlicerTest, ChannelMaximaAndScale) {
  const tWAVEFORMATEX f = PcmFormat(44100, 2, 16);
  const Sliced got = Slice(f, Staircase16Stereo(40000), 10, 4096);
  EXPECT_EQ(got.maxLeft, 32767);
  EXPECT_EQ(got.maxRight, 32767);  // -(3i mod 32768) reaches 32767 in magnitude

  // -32768 is the loudest 16-bit sample and still scales to 255.
  std::vector<int16_t> loud(441 * 3, 0);
  loud[5] = -32768;
  loud[441 + 7] = 16384;
  const Sliced mono = Slice(PcmFormat(44100, 1, 16), sonark_test::Bytes16(loud), 10, 100);
  EXPECT_EQ(mono.peaks, (std::vector<unsigned char>{255, 127, 0}));
  EXPECT_EQ(mono.maxLeft, 32768);
  EXPECT_EQ(mono.maxRight, 32768);
}

TEST(PeakSlicerTest, MergedSliceGivesItsLoudnessToTheNextPeak) {
  // 22.05 kHz mono 8-bit at 10 ms: slices of 220 frames; slice 440 is the first to merge, so
  // peak 440 covers frames 96800 ... 97239 and peak 441 starts at frame 97240.
  const tWAVEFORMATEX f = PcmFormat(22050, 1, 8);
  auto impulse = [&](size_t frame) {
    std::vector<unsigned char> pcm(100000, 128);
    pcm[frame] = 0;
    std::vector<unsigned char> peaks = Slice(f, pcm, 10, 777).peaks;
    EXPECT_EQ(peaks.size(), 454u);
    return std::find(peaks.begin(), peaks.end(), 255) - peaks.begin();
  };
  EXPECT_EQ(impulse(219), 0);
  EXPECT_EQ(impulse(220), 1);
  EXPECT_EQ(impulse(96799), 439);
  EXPECT_EQ(impulse(96800), 440);
  EXPECT_EQ(impulse(97019), 440);
  EXPECT_EQ(impulse(97020), 440);
  EXPECT_EQ(impulse(97239), 440);
  EXPECT_EQ(impulse(97240), 441);
  EXPECT_EQ(impulse(99999), 453);  // the short last slice still has its peak
}

TEST(PeakSlicerTest, RefusesWhatItCannotSlice) {
  CPeaks peaks(10, -1);
  CPeakSlicer slicer;
  tWAVEFORMATEX f = PcmFormat(44100, 2, 24);
  EXPECT_EQ(slicer.Init(&peaks, &f, 10), 0);
  f = PcmFormat(44100, 2, 16);
  EXPECT_EQ(slicer.Init(&peaks, &f, 0), 0);
  EXPECT_EQ(slicer.Init(static_cast<CPeaks*>(nullptr), &f, 10), 0);
  // Fewer bytes per peak than a frame: one frame per peak.
  f = PcmFormat(100, 1, 8);
  ASSERT_EQ(slicer.Init(&peaks, &f, 1), 1);
  EXPECT_EQ(slicer.WholeBytesPerPeak(), 1u);
}

// ---- The record: sizes, copies, analysis ----

TEST(PeaksTest, BufferHoldsAboutTenSeconds) {
  CPeaks peaks;
  EXPECT_EQ(peaks.DetermineBufferSize(100), 100u);
  EXPECT_EQ(peaks.DetermineBufferSize(1), 10000u);
  EXPECT_EQ(peaks.DetermineBufferSize(20), 500u);
  EXPECT_EQ(peaks.DetermineBufferSize(250), 100u);

  CPeaks whole(20, 500);
  EXPECT_EQ(whole.IsStreaming(), 0);
  EXPECT_EQ(whole.GetBufferedPeaks(), 500u);
  EXPECT_EQ(whole.GetNumPeaks(), 500u);
  CPeaks windowed(20, 501);
  EXPECT_EQ(windowed.IsStreaming(), 1);
  EXPECT_EQ(windowed.GetBufferedPeaks(), 500u);
  EXPECT_EQ(windowed.GetNumPeaks(), 501u);
  CPeaks unknown(20, -1);
  EXPECT_EQ(unknown.IsStreaming(), -1);
  EXPECT_EQ(unknown.GetNumPeaks(), 0u);
  EXPECT_EQ(unknown.GetBufferedPeaks(), 500u);
  ASSERT_EQ(windowed.InitPeakData(20, 5000, 1), 1);
  EXPECT_EQ(windowed.IsStreaming(), 0);
  EXPECT_EQ(windowed.GetBufferedPeaks(), 5000u);
  EXPECT_EQ(windowed.InitPeakData(0, 10, 0), 0);
}

TEST(PeaksTest, CopiesShareTheRecordAndWrapTheirStart) {
  auto* peaks = new CPeaks(10, -1);
  ASSERT_EQ(BuildPeaks(*peaks, {1, 2, 3, 4, 5, 6, 7}, 70), 1);
  std::unique_ptr<CPeaks> plain(peaks->Copy());
  std::unique_ptr<CPeaks> shifted(peaks->Copy(9, 0));
  EXPECT_EQ(peaks->References(), 3);
  EXPECT_EQ(shifted->GetVirtualStart(), 2u);
  std::unique_ptr<CPeaks> further(shifted->Copy(6, 1));
  EXPECT_EQ(further->GetVirtualStart(), 1u);  // (6 + 2) mod 7
  std::unique_ptr<CPeaks> back(shifted->Copy(-3, 1));
  EXPECT_EQ(back->GetVirtualStart(), 6u);  // (-3 + 2) wrapped
  std::unique_ptr<CPeaks> again(further->Copy());
  EXPECT_EQ(again->GetVirtualStart(), 1u);
  EXPECT_EQ(peaks->References(), 6);

  // The record outlives the object that made it.
  delete peaks;
  EXPECT_EQ(plain->References(), 5);
  EXPECT_EQ(Held(*plain), (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 7}));

  // While the count is still unknown the start is kept as asked.
  CPeaks building(10, -1);
  std::unique_ptr<CPeaks> early(building.Copy(12345, 0));
  EXPECT_EQ(early->GetVirtualStart(), 12345u);
  std::unique_ptr<CPeaks> negative(building.Copy(-5, 0));
  EXPECT_EQ(negative->GetVirtualStart(), 0u);

  CPeaks empty;
  std::unique_ptr<CPeaks> none(empty.Copy(3, 1));
  EXPECT_EQ(none->References(), 1);
  EXPECT_EQ(none->GetDataPtr(), nullptr);
}

TEST(PeaksTest, CloneKeepsTheFiguresButNotThePeaks) {
  CPeaks peaks(10, -1);
  peaks.SetMaxPeaks(1000, 2000);
  ASSERT_EQ(BuildPeaks(peaks, {0, 0, 90, 30, 0}, 47), 1);
  CPeaks clone;
  ASSERT_EQ(peaks.Clone(clone), 1);
  EXPECT_EQ(clone.References(), 1);
  EXPECT_EQ(peaks.References(), 1);
  EXPECT_EQ(clone.GetNumPeaks(), 5u);
  EXPECT_EQ(clone.LengthOfSound(), 47);
  EXPECT_EQ(clone.GetMaxLeft(), 1000);
  EXPECT_EQ(clone.GetMaxRight(), 2000);
  EXPECT_EQ(clone.GetAutoTrimTimeStart(), 20);
  EXPECT_EQ(clone.GetAutoTrimTimeEnd(), 30);
  EXPECT_DOUBLE_EQ(clone.GetFractionalAmps(), 5 - 4.7);
  EXPECT_EQ(Held(clone), std::vector<unsigned char>(5, 0));
  EXPECT_EQ(Held(peaks), (std::vector<unsigned char>{0, 0, 90, 30, 0}));
}

TEST(PeaksTest, AutoTrimFollowsTheSilenceThreshold) {
  ThresholdGuard restore;
  const std::vector<unsigned char> values = {0, 0, 5, 0, 7, 0, 0};
  struct Case {
    unsigned long threshold;
    long start, end;
    int silence;
  };
  for (const Case& c : {Case{0, 20, 40, 0}, Case{5, 40, 40, 0}, Case{7, 60, 60, 1}}) {
    SetSilenceThreshold(c.threshold);
    CPeaks peaks(10, -1);
    ASSERT_EQ(BuildPeaks(peaks, values, 70), 1);
    EXPECT_EQ(peaks.GetAutoTrimTimeStart(), c.start) << c.threshold;
    EXPECT_EQ(peaks.GetAutoTrimTimeEnd(), c.end) << c.threshold;
    EXPECT_EQ(peaks.IsTotalSilence(), c.silence) << c.threshold;
  }
}

TEST(PeaksTest, SilenceWithABurstIsTrimmedToTheBurst) {
  // 10 s of silence at 22.05 kHz mono with a burst from 3.0 s to 3.5 s: 441 bytes per peak
  // become 440, so peak k starts at about k * 9.98 ms.
  const tWAVEFORMATEX f = PcmFormat(22050, 1, 16);
  const std::vector<unsigned char> pcm = SilenceWithBurst16Mono(220500, 66150, 77175);
  CPeaks peaks(10, -1);
  int toFile = 0;
  peaks.InitStreamPeaksFromParse(&toFile, nullptr);
  CPeakSlicer slicer;
  ASSERT_EQ(slicer.Init(&peaks, &f, 10), 1);
  ASSERT_EQ(slicer.Add(pcm.data(), static_cast<unsigned long>(pcm.size())), 1);
  ASSERT_EQ(slicer.Flush(), 1);
  ASSERT_EQ(peaks.FinishPeaksFromParse(10000, toFile), 1);
  const std::vector<unsigned char> expected = ExpectedPeaks(f, pcm, 10);
  const long first = std::find_if(expected.begin(), expected.end(), [](int v) { return v > 0; }) -
                     expected.begin();
  const long last = expected.rend() -
                    std::find_if(expected.rbegin(), expected.rend(), [](int v) { return v > 0; }) -
                    1;
  EXPECT_EQ(peaks.GetAutoTrimTimeStart(), first * 10);
  EXPECT_EQ(peaks.GetAutoTrimTimeEnd(), last * 10);
  EXPECT_NEAR(first * 10, 3000, 10);
  EXPECT_NEAR(last * 10, 3500, 10);
  EXPECT_EQ(peaks.IsTotalSilence(), 0);
  EXPECT_EQ(peaks.IsPartialSong(), 0);
}

TEST(PeaksTest, PartialSongWhenTheLastPeakIsLoud) {
  ThresholdGuard restore;
  auto partial = [](unsigned char last) {
    CPeaks peaks(10, -1);
    EXPECT_EQ(BuildPeaks(peaks, {200, 200, last}, 30), 1);
    return peaks.IsPartialSong();
  };
  EXPECT_EQ(partial(13), 1);
  EXPECT_EQ(partial(12), 0);
  SetPartialSongThreshold(100);
  EXPECT_EQ(partial(100), 0);
  EXPECT_EQ(partial(101), 1);

  // Set once, never cleared by a quieter check.
  CPeaks peaks(10, -1);
  ASSERT_EQ(BuildPeaks(peaks, {200}, 10), 1);
  EXPECT_EQ(peaks.IsPartialSong(), 1);
  peaks.CheckForPartialSong(0);
  EXPECT_EQ(peaks.IsPartialSong(), 1);
}

TEST(PeaksTest, PeaksWithoutAFileAreAllKept) {
  // 25000 peaks at 1 ms overflow the 10000-peak buffer; without a peak file they must stay
  // in memory rather than wrap over themselves.
  std::vector<unsigned char> values(25000);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<unsigned char>(i * 7);
  CPeaks peaks(1, -1);
  ASSERT_EQ(BuildPeaks(peaks, values, 25000), 1);
  EXPECT_EQ(peaks.IsStreaming(), 0);
  EXPECT_EQ(peaks.GetBufferedPeaks(), 25000u);
  EXPECT_EQ(Held(peaks), values);
  EXPECT_DOUBLE_EQ(peaks.GetFractionalAmps(), 0.0);
}

TEST(PeaksTest, FinishingWithALargerCountPadsWithSilence) {
  CPeaks peaks(10, -1);
  int toFile = 0;
  peaks.InitStreamPeaksFromParse(&toFile, nullptr);
  for (unsigned char v : {9, 8}) peaks.StreamPeakFromParse(v, toFile);
  ASSERT_EQ(peaks.FinishPeaksFromParse(4, 35, toFile), 1);
  EXPECT_EQ(Held(peaks), (std::vector<unsigned char>{9, 8, 0, 0}));
  EXPECT_DOUBLE_EQ(peaks.GetFractionalAmps(), 0.5);
  EXPECT_EQ(peaks.IsPartialSong(), 0);  // judged on the last real peak, 8
}

TEST(PeaksTest, ArrayListValuesBecomePeaks) {
  CMyArrayList list;
  for (uintptr_t v : {uintptr_t{3}, uintptr_t{0}, uintptr_t{250}, uintptr_t{999}}) {
    list.AppendToTail(reinterpret_cast<void*>(v), 0);
  }
  CMemObj memory;
  memory.Create();
  CPeaks peaks;
  ASSERT_EQ(peaks.LoadPeaksFromArrayList(list, 20, 80, 111, 222, &memory), 1);
  EXPECT_EQ(Held(peaks), (std::vector<unsigned char>{3, 0, 250, 255}));
  EXPECT_EQ(peaks.GetMaxLeft(), 111);
  EXPECT_EQ(peaks.GetMaxRight(), 222);
  EXPECT_EQ(peaks.LengthOfSound(), 80);
  EXPECT_EQ(peaks.WroteToDisk(), 0);  // a memory source has no peak file
  EXPECT_EQ(peaks.IsPartialSong(), 1);
}

// ---- Mixing ----

CPeaks* Made(const std::vector<unsigned char>& values, unsigned long ms = 10) {
  auto* peaks = new CPeaks(ms, -1);
  EXPECT_EQ(BuildPeaks(*peaks, values, static_cast<long>(values.size() * ms)), 1);
  return peaks;
}

TEST(PeaksMixTest, SumsClipAndShortSoundsWrap) {
  CPeaks mix;
  ASSERT_EQ(mix.InitPeaksForMix(10, 6, 60), 1);
  EXPECT_EQ(Held(mix), std::vector<unsigned char>(6, 0));
  std::unique_ptr<CPeaks> shortOne(Made({200, 100, 50}));
  std::unique_ptr<CPeaks> flat(Made({100, 100, 100, 100, 100, 100}));
  ASSERT_EQ(mix.Mix(shortOne.get(), 0, 100), 1);
  EXPECT_EQ(Held(mix), (std::vector<unsigned char>{200, 100, 50, 200, 100, 50}));
  ASSERT_EQ(mix.Mix(flat.get(), 1, 3), 1);
  EXPECT_EQ(Held(mix), (std::vector<unsigned char>{200, 200, 150, 255, 100, 50}));
  // From the other's own first peak.
  std::unique_ptr<CPeaks> shifted(shortOne->Copy(1, 0));
  ASSERT_EQ(mix.Mix(shifted.get(), 4, 10), 1);
  EXPECT_EQ(Held(mix), (std::vector<unsigned char>{200, 200, 150, 255, 200, 100}));
  EXPECT_EQ(mix.Mix(shifted.get(), 6, 1), 1);  // past the end: nothing
  EXPECT_EQ(mix.LengthOfSound(), 60);
  EXPECT_EQ(mix.IsLoaded(), 1);

  CPeaks building(10, -1);
  EXPECT_EQ(mix.Mix(&building, 0, 6), 0);
  EXPECT_EQ(mix.Mix(nullptr, 0, 6), 0);
}

// ---- Rate display ----

std::vector<unsigned char> Ramp(size_t n) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i % 251);
  return v;
}

std::vector<unsigned char> Display(CPeaks& source, CMap* map, long lengthMs, unsigned long ms) {
  std::unique_ptr<CPeaks> display(source.GenerateRateDisplay(map, lengthMs, ms));
  if (!display) return {};
  EXPECT_EQ(display->LengthOfSound(), lengthMs);
  return Held(*display);
}

TEST(PeaksRateDisplayTest, FollowsTheRateEnvelope) {
  const std::vector<unsigned char> source = Ramp(300);
  std::unique_ptr<CPeaks> peaks(Made(source));
  std::unique_ptr<CPeaks> shifted(peaks->Copy(50, 0));

  std::vector<unsigned char> expected;
  for (int k = 0; k < 100; ++k) expected.push_back(source[(50 + k) % 300]);
  EXPECT_EQ(Display(*shifted, nullptr, 1000, 10), expected);

  CMap doubled;
  doubled.AddSimpleEvent(kMapRate, 0, 2.0);
  expected.clear();
  for (int k = 0; k < 200; ++k) expected.push_back(source[(2 * k) % 300]);
  EXPECT_EQ(Display(*peaks, &doubled, 2000, 10), expected);

  // Rate 1 at 0 rising to 2 at 1 s: k * 10 ms of time line consume 10k + (10k)^2 / 2000 ms.
  CMap ramp;
  ramp.AddSimpleEvent(kMapRate, 0, 1.0);
  ramp.AddSimpleEvent(kMapRate, 1000, 2.0);
  expected.clear();
  for (int k = 0; k < 100; ++k) expected.push_back(source[(k + k * k / 200) % 300]);
  EXPECT_EQ(Display(*peaks, &ramp, 1000, 10), expected);

  // Coarser display peaks step over source peaks at their own pace.
  expected.clear();
  for (int k = 0; k < 50; ++k) expected.push_back(source[(2 * k) % 300]);
  EXPECT_EQ(Display(*peaks, nullptr, 1000, 20), expected);

  EXPECT_EQ(Display(*peaks, nullptr, 5, 10).size(), 2u);
  EXPECT_EQ(peaks->GenerateRateDisplay(nullptr, 1000, 0), nullptr);
}

// ---- Memory conserving and background reload ----

class PeaksMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    sound_ = dir_.File("song.wav");
    WriteBytes(sound_, {1, 2, 3});
    ASSERT_EQ(source_.Open(sound_.c_str(), 0, 0), 1);
    values_ = Ramp(400);  // held whole: 20 ms peaks keep up to 500 in memory
    peaks_ = std::make_unique<CPeaks>(20, -1);
    ASSERT_EQ(BuildPeaks(*peaks_, values_, 8000, 1, &source_), 1);
    ASSERT_EQ(peaks_->WroteToDisk(), 1);
  }

  TempDir dir_;
  std::string sound_;
  CFileObj source_;
  std::vector<unsigned char> values_;
  std::unique_ptr<CPeaks> peaks_;
};

TEST_F(PeaksMemoryTest, UnloadedOnlyWhenEverySharerAgrees) {
  std::unique_ptr<CPeaks> other(peaks_->Copy());
  EXPECT_EQ(peaks_->ConserveMemory(), 1);
  EXPECT_EQ(peaks_->ConserveMemory(), 1);  // a second request of the same sharer
  EXPECT_EQ(peaks_->IsLoaded(), 1);
  EXPECT_EQ(other->ConserveMemory(), 1);
  EXPECT_EQ(peaks_->IsLoaded(), 0);
  EXPECT_EQ(other->GetDataPtr(), nullptr);
  EXPECT_EQ(other->GetNumPeaks(), 0u);

  ASSERT_EQ(peaks_->ReloadFromDisk(), 1);
  ASSERT_EQ(WaitForPeakReloads(10000), 1);
  EXPECT_EQ(Held(*other), values_);
  EXPECT_EQ(peaks_->References(), 2);
  EXPECT_EQ(peaks_->IsReloading(), 0);

  // The other sharer still conserves: one more request from this one unloads again.
  EXPECT_EQ(peaks_->ConserveMemory(), 1);
  EXPECT_EQ(peaks_->IsLoaded(), 0);
}

TEST_F(PeaksMemoryTest, PeaksWithoutAFileStayInMemory) {
  std::unique_ptr<CPeaks> memory(Made({1, 2, 3}));
  EXPECT_EQ(memory->ConserveMemory(), 0);
  EXPECT_EQ(memory->Unload(), 0);
  EXPECT_EQ(Held(*memory), (std::vector<unsigned char>{1, 2, 3}));
}

TEST_F(PeaksMemoryTest, ReadersSeeNothingUntilTheReloadIsComplete) {
  ASSERT_EQ(peaks_->ConserveMemory(), 1);
  ASSERT_EQ(peaks_->IsLoaded(), 0);
  std::unique_ptr<CPeaks> reader(peaks_->Copy());
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread watcher([&] {
    while (!done) {
      const unsigned long n = reader->GetNumPeaks();
      const unsigned char* data = reader->GetDataPtr();
      if (n != 0 && n != values_.size()) ++bad;
      if (data != nullptr && n == values_.size() && data[n - 1] != values_.back()) ++bad;
    }
  });
  ASSERT_EQ(peaks_->ReloadFromDisk(), 1);
  EXPECT_EQ(WaitForPeakReloads(10000), 1);
  done = true;
  watcher.join();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(Held(*reader), values_);
}

TEST_F(PeaksMemoryTest, ReloadOutlivesItsSharers) {
  std::unique_ptr<CPeaks> other(peaks_->Copy());
  peaks_->ConserveMemory();
  other->ConserveMemory();
  ASSERT_EQ(other->ReloadFromDisk(), 1);
  EXPECT_EQ(other->ReloadFromDisk(), 1);  // one reload at a time
  other.reset();
  peaks_.reset();
  EXPECT_EQ(WaitForPeakReloads(10000), 1);
}

TEST_F(PeaksMemoryTest, MixReadsFromThePeakFileOfStreamedPeaks) {
  // 1 ms per peak: 30000 peaks do not fit the 10000-peak window and stream from the file.
  std::vector<unsigned char> values(30000);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<unsigned char>((i * 13) % 200);
  CPeaks streamed(1, -1);
  ASSERT_EQ(BuildPeaks(streamed, values, 30000, 1, &source_), 1);
  ASSERT_EQ(streamed.IsStreaming(), 1);
  std::unique_ptr<CPeaks> from(streamed.Copy(29990, 0));
  CPeaks mix;
  ASSERT_EQ(mix.InitPeaksForMix(1, 40000, 40000), 1);
  ASSERT_EQ(mix.Mix(from.get(), 0, 40000), 1);
  const std::vector<unsigned char> got = Held(mix);
  for (size_t k = 0; k < got.size(); ++k) {
    ASSERT_EQ(got[k], values[(29990 + k) % 30000]) << k;
  }

  // A long display of streamed peaks goes to a rate-display file that lives with it.
  char source[PATH_MAX];
  ASSERT_EQ(streamed.GetPeakFilePath(source, sizeof source), 1);
  CPeaks* display = streamed.GenerateRateDisplay(nullptr, 20000, 1);
  ASSERT_NE(display, nullptr);
  EXPECT_EQ(display->IsStreaming(), 1);
  char grd[PATH_MAX];
  ASSERT_EQ(display->GetPeakFilePath(grd, sizeof grd), 1);
  EXPECT_EQ(std::string(grd).rfind(std::string(source), 0), 0u);
  EXPECT_EQ(std::filesystem::path(grd).extension(), ".grd");
  EXPECT_TRUE(std::filesystem::exists(grd));
  CPeaks reread;
  ASSERT_EQ(reread.LoadPeaksFromFile(grd, 1), 1);
  ASSERT_EQ(reread.OpenPeaksFile(nullptr, 0), 1);
  std::vector<unsigned char> shown;
  int atEnd = 0;
  while (!atEnd) {
    unsigned long got = 0;
    ASSERT_EQ(reread.StreamPeaksFromFile(4096, &got, &atEnd), 1);
    shown.insert(shown.end(), reread.GetDataPtr(), reread.GetDataPtr() + got);
  }
  ASSERT_EQ(shown.size(), 20000u);
  EXPECT_TRUE(std::equal(shown.begin(), shown.end(), values.begin()));
  std::unique_ptr<CPeaks> sharer(display->Copy());
  delete display;
  EXPECT_TRUE(std::filesystem::exists(grd));
  sharer.reset();
  EXPECT_FALSE(std::filesystem::exists(grd));
}

}  // namespace
