#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/tests/allocation_counter.h>
#include <sonark/tests/mixer_test_support.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace mixer_test;

const tWAVEFORMATEX kCd = Pcm(44100, 2, 16);
constexpr long kSecond = 176400;

// Keeps every block it gets; can stop after a number of calls or take only part of each.
struct Collector {
  std::vector<unsigned char> bytes;
  std::vector<long> lengths;
  int stopAfter = 0;    // calls; 0: never
  long takeAtMost = 0;  // bytes per call; 0: everything
  std::vector<long> percents;
  std::vector<long> allocationsAtCall;
  CPCMMixer* mixer = nullptr;
  bool counting = false;

  static TDataWriteCode Sink(void* data, long* length, void* context) {
    auto* self = static_cast<Collector*>(context);
    allocation_counter::SetCounting(false);
    self->allocationsAtCall.push_back(allocation_counter::Count());
    if (self->takeAtMost > 0 && *length > self->takeAtMost) *length = self->takeAtMost;
    auto* bytes = static_cast<unsigned char*>(data);
    self->bytes.insert(self->bytes.end(), bytes, bytes + *length);
    self->lengths.push_back(*length);
    if (self->mixer != nullptr) self->percents.push_back(self->mixer->GetPercentageMixedToFile());
    allocation_counter::SetCounting(self->counting);
    return self->stopAfter > 0 && static_cast<int>(self->lengths.size()) >= self->stopAfter
               ? dwcStop
               : dwcNextBlock;
  }

  std::vector<int16_t> Samples() const { return Samples16(bytes.data(), bytes.size()); }
};

class MixToSinkTest : public ::testing::Test {
 protected:
  void TearDown() override {
    CAudioAtom* group = group_;
    DeleteAtom(&group);
  }

  int Render(Collector& out, long lengthMs, long blockBytes = -1,
             const tWAVEFORMATEX& format = kCd) {
    out.mixer = &mixer_;
    return mixer_.MixToDataSink(group_, &Collector::Sink, &out, &format, lengthMs, blockBytes);
  }

  CPCMMixer mixer_{nullptr};
  CSoundGroup* group_ = new CSoundGroup();
};

TEST_F(MixToSinkTest, ALengthOfZeroDeliversNothing) {
  AddOwned(NewSound(Staircase(4410, 1)), group_, 0);
  Collector out;
  EXPECT_EQ(Render(out, 0), 1);
  EXPECT_TRUE(out.lengths.empty());
  EXPECT_EQ(mixer_.GetPercentageMixedToFile(), 0);
}

TEST_F(MixToSinkTest, ASinkThatStopsAtOnceReceivesExactlyOneBlock) {
  CPCMSound* sound = NewSound(Staircase(44100 * 5, 1));
  sound->AddReference();
  AddOwned(sound, group_, 0);
  Collector out;
  out.stopAfter = 1;
  EXPECT_EQ(Render(out, 5000), 1);
  ASSERT_EQ(out.lengths.size(), 1u);
  EXPECT_EQ(out.lengths[0], kSecond);  // -1: blocks of one second
  EXPECT_EQ(mixer_.MixingSoundToFile(sound), 0);
  EXPECT_EQ(sound->ReferenceCount(), 2);
  CAudioAtom* held = sound;
  DeleteAtom(&held);
}

TEST_F(MixToSinkTest, BlockSizesAreWholeFramesAndNeverNothing) {
  AddOwned(NewSound(Staircase(44100, 1)), group_, 0);
  for (auto [asked, expected] : {std::pair{1000L, 1000L}, std::pair{1001L, 1000L},
                                 std::pair{3L, kSecond}, std::pair{0L, kSecond}}) {
    Collector out;
    out.stopAfter = 1;
    ASSERT_EQ(Render(out, 1000, asked), 1);
    EXPECT_EQ(out.lengths.at(0), expected) << asked;
  }
}

// The mix ends where its last sound does, and that sound is delivered whole even when it
// starts inside the last block.
TEST_F(MixToSinkTest, TheLastBlockEndsWithTheLastSound) {
  const Source a = Staircase(44100, 100);
  const Source b = Staircase(4410, 5000);
  AddOwned(NewSound(a), group_, 0);
  AddOwned(NewSound(b), group_, 1500);
  ASSERT_EQ(group_->Length(0), 1600);
  Collector out;
  ASSERT_EQ(Render(out, 5000), 1);
  EXPECT_EQ(out.lengths, (std::vector<long>{kSecond, 1600 * kSecond / 1000 - kSecond}));
  std::vector<int32_t> expected(1600 * 441 / 10 * 2, 0);
  AddReference(expected, a, 0, 44100);
  AddReference(expected, b, 1500 * 441 / 10, 4410);
  EXPECT_EQ(FirstDifference(out.Samples(), ToSamples(expected)), -1);
}

// The latest sound may sit in a sub-group that begins before the group's last atom.
TEST_F(MixToSinkTest, ALateSoundInAnEarlySubGroupIsStillReached) {
  const Source late = Staircase(4410, 700);
  auto* early = new CSoundGroup();
  AddOwned(NewSound(Staircase(4410, 1)), early, 0);
  AddOwned(NewSound(late), early, 3000);
  AddOwned(early, group_, 0);
  AddOwned(NewSound(Staircase(4410, 2)), group_, 500);
  Collector out;
  ASSERT_EQ(Render(out, 3100), 1);
  ASSERT_EQ(out.bytes.size(), static_cast<size_t>(3100 * kSecond / 1000));
  std::vector<int16_t> samples = out.Samples();
  EXPECT_EQ(samples[3000 * 441 / 10 * 2], 700);
}

TEST_F(MixToSinkTest, TheLengthAskedForIsTheLengthDelivered) {
  AddOwned(NewSound(Staircase(44100 * 3, 1)), group_, 0);
  Collector out;
  ASSERT_EQ(Render(out, 1250), 1);
  EXPECT_EQ(out.bytes.size(), static_cast<size_t>(1250 * kSecond / 1000));
  EXPECT_EQ(out.lengths, (std::vector<long>{kSecond, 250 * kSecond / 1000}));
}

// A sink that takes less than it is given gets the rest, and the blocks shrink to what it
// takes; nothing is lost or moved.
TEST_F(MixToSinkTest, ASinkTakingPartOfABlockGetsTheRest) {
  const Source a = Staircase(44100 * 2, 100);
  const Source b = Staircase(22050, 9000);
  AddOwned(NewSound(a), group_, 0);
  AddOwned(NewSound(b), group_, 1234);
  Collector whole;
  ASSERT_EQ(Render(whole, 2000), 1);
  Collector part;
  part.takeAtMost = 30000;
  ASSERT_EQ(Render(part, 2000), 1);
  EXPECT_EQ(FirstDifference(part.Samples(), whole.Samples()), -1);
  EXPECT_EQ(part.lengths.front(), 30000);
  for (long length : part.lengths) EXPECT_LE(length, 30000);
}

TEST_F(MixToSinkTest, ProgressAndTheSoundsBeingMixedCanBeAskedForMeanwhile) {
  // It ends inside the last block, which it therefore leaves before the sink sees the block.
  CPCMSound* sound = NewSound(Staircase(44100 * 7 / 2, 1));
  sound->AddReference();
  AddOwned(sound, group_, 0);
  struct Watch {
    CPCMMixer* mixer;
    CPCMSound* sound;
    std::vector<long> percents;
    std::vector<int> mixing;
    static TDataWriteCode Sink(void*, long*, void* context) {
      auto* self = static_cast<Watch*>(context);
      self->percents.push_back(self->mixer->GetPercentageMixedToFile());
      self->mixing.push_back(self->mixer->MixingSoundToFile(self->sound));
      return dwcNextBlock;
    }
  } watch{&mixer_, sound, {}, {}};
  ASSERT_EQ(mixer_.MixToDataSink(group_, &Watch::Sink, &watch, &kCd, 4000, -1), 1);
  EXPECT_EQ(watch.percents, (std::vector<long>{0, 25, 50, 75}));
  EXPECT_EQ(watch.mixing, (std::vector<int>{1, 1, 1, 0}));
  EXPECT_EQ(mixer_.GetFormat().nSamplesPerSec, 44100u);
  EXPECT_EQ(sound->ReferenceCount(), 2);
  CAudioAtom* held = sound;
  DeleteAtom(&held);
}

// The export dialog polls the progress from its own thread while the render runs.
TEST_F(MixToSinkTest, ProgressCanBeWatchedFromAnotherThread) {
  CPCMSound* sound = NewSound(Staircase(44100, 1), 30000, 44100, 200);
  sound->AddReference();
  AddOwned(sound, group_, 0);
  std::atomic<bool> done{false};
  long highest = 0;
  int seenMixing = 0;
  std::thread watcher([&] {
    while (!done) {
      highest = std::max(highest, mixer_.GetPercentageMixedToFile());
      seenMixing |= mixer_.MixingSoundToFile(sound);
      EXPECT_EQ(mixer_.GetFormat().nSamplesPerSec, 44100u);
      std::this_thread::yield();
    }
  });
  Collector out;
  EXPECT_EQ(Render(out, 30000, kSecond / 20), 1);
  done = true;
  watcher.join();
  EXPECT_LE(highest, 100);
  EXPECT_EQ(out.bytes.size(), static_cast<size_t>(30 * kSecond));
  CAudioAtom* held = sound;
  DeleteAtom(&held);
}

TEST_F(MixToSinkTest, EightBitMonoOutputStartsFromItsOwnSilence) {
  // A stereo staircase whose channels cancel when summed into one, and a mono one from 50 ms.
  AddOwned(NewSound(Staircase(6615, 2560)), group_, 0);
  AddOwned(NewSound(Staircase(4410, 2560, 1)), group_, 50);
  Collector out;
  const tWAVEFORMATEX mono8 = Pcm(44100, 1, 8);
  ASSERT_EQ(Render(out, 150, -1, mono8), 1);
  ASSERT_EQ(out.bytes.size(), 150u * 441 / 10);
  const size_t at = 50 * 441 / 10;
  EXPECT_TRUE(std::all_of(out.bytes.begin(), out.bytes.begin() + at,
                          [](unsigned char b) { return b == 128; }));
  EXPECT_EQ(out.bytes[at], 128 + 2560 / 256);
  EXPECT_EQ(out.bytes[at + 256], 128 + (2560 + 256) / 256);
}

TEST_F(MixToSinkTest, RefusesWhatItCannotRender) {
  Collector out;
  const tWAVEFORMATEX wide = Pcm(44100, 2, 24);
  EXPECT_EQ(mixer_.MixToDataSink(nullptr, &Collector::Sink, &out, &kCd, 1000, -1), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrInvalidAtomArgument);
  EXPECT_EQ(mixer_.MixToDataSink(group_, nullptr, &out, &kCd, 1000, -1), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrInvalidAtomArgument);
  EXPECT_EQ(mixer_.MixToDataSink(group_, &Collector::Sink, &out, &wide, 1000, -1), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrConvertFormat);
  EXPECT_EQ(mixer_.MixToDataSink(group_, &Collector::Sink, &out, nullptr, 1000, -1), 0);
  EXPECT_TRUE(out.lengths.empty());
}

// Blocks and list entries are allocated when sounds start; from then on a block costs no
// allocation at all.
TEST_F(MixToSinkTest, NoAllocationPerBlock) {
  if (!allocation_counter::Available()) {
    GTEST_SKIP() << "allocations are not counted in sanitizer builds";
  }
  // Streaming and whole-held data, repeating, mono and stereo, one muted, one nested.
  AddOwned(NewSound(Staircase(44100 * 3, 1), 20000, 44100, 500), group_, 0);
  auto* sub = new CSoundGroup();
  AddOwned(NewSound(Staircase(22050, 2, 1), 20000), sub, 0);
  AddOwned(NewSound(Staircase(44100, 3), 20000, 44100, 300), sub, 37);
  AddOwned(sub, group_, 15);
  CPCMSound* muted = NewSound(Staircase(4410, 4), 20000);
  muted->Mute(1);
  AddOwned(muted, group_, 0);
  Collector out;
  out.counting = true;
  allocation_counter::Reset();
  allocation_counter::SetCounting(true);
  // 100 ms blocks; every sound has started within the first one.
  ASSERT_EQ(Render(out, 20000, kSecond / 10), 1);
  allocation_counter::SetCounting(false);
  ASSERT_GT(out.allocationsAtCall.size(), 100u);
  EXPECT_GT(out.allocationsAtCall.front(), 0) << "the starts allocate: counting works";
  EXPECT_EQ(out.allocationsAtCall.back(), out.allocationsAtCall.front());
}

}  // namespace
