#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/mixer/current_mixer.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/tests/mixer_test_support.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace mixer_test;

constexpr long kFramesPer10Ms = 441;

// 44100 Hz 16-bit stereo in buffers of `bufferBytes` (17640: 100 ms).
_tInitMixer Record(int32_t bufferBytes = 17640, int32_t count = 4) {
  return _tInitMixer{kDefaultWaveDevice, count, bufferBytes, Pcm(44100, 2, 16)};
}

// Drives the mixer as the device pump does: schedule the time of the free buffers, mix each
// of them, and tell the atoms that started that they play.
class PumpedMixer : public CPCMMixer {
 public:
  explicit PumpedMixer(const _tInitMixer& record) : CPCMMixer(&record) {}
  ~PumpedMixer() override { StopBeingCurrent(); }

  // The test is the pump; the engine's mixing thread finds nothing to do here.
  int Mix() override { return 0; }

  using CPCMMixer::CleanUpPlayingSounds;
  using CPCMMixer::GetOutputBuffer;
  using CPCMMixer::MixIntoBuffer;
  using CPCMMixer::NotifyStartedAtoms;

  // One pass over `buffers` free buffers; returns their samples in play order.
  std::vector<int16_t> Pump(int buffers) {
    IncrementTimeWindow(buffers * GetBlockLength());
    std::vector<int16_t> out;
    for (int i = 0; i < buffers; ++i) {
      _pcm_mix_buffer* buffer = GetOutputBuffer(i);
      MixIntoBuffer(buffer);
      std::vector<int16_t> part = Samples16(buffer->data, buffer->size);
      out.insert(out.end(), part.begin(), part.end());
      NotifyStartedAtoms();
    }
    return out;
  }

  // Passes of the given sizes, repeated until `total` buffers have been mixed.
  std::vector<int16_t> PumpPattern(const std::vector<int>& pattern, int total) {
    std::vector<int16_t> out;
    for (int done = 0, i = 0; done < total; ++i) {
      const int n = std::min(pattern[i % pattern.size()], total - done);
      std::vector<int16_t> part = Pump(n);
      out.insert(out.end(), part.begin(), part.end());
      done += n;
    }
    return out;
  }
};

class PcmMixerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    mixer_.reset();
    if (root_ != nullptr) {
      CAudioAtom* root = root_;
      DeleteAtom(&root);
    }
  }

  // A root group kept by the test, as the program keeps its session root.
  CSoundGroup* Root() {
    if (root_ == nullptr) root_ = new FixedGroup();
    return root_;
  }

  PumpedMixer& Mixer(const _tInitMixer& record = Record()) {
    if (!mixer_) mixer_ = std::make_unique<PumpedMixer>(record);
    return *mixer_;
  }

  CSoundGroup* root_ = nullptr;
  std::unique_ptr<PumpedMixer> mixer_;
};

TEST_F(PcmMixerTest, SoundTenMsIntoABlockBeginsAtItsExactFrame) {
  const Source s = Staircase(2205, 100);  // 50 ms
  AddOwned(NewSound(s), Root(), 10);
  PumpedMixer& mixer = Mixer();
  ASSERT_EQ(mixer.Play(Root(), 0, 0), 1);
  std::vector<int16_t> out = mixer.Pump(1);
  ASSERT_EQ(out.size(), 4410u * 2);
  std::vector<int32_t> expected(out.size(), 0);
  AddReference(expected, s, kFramesPer10Ms, 2205);
  EXPECT_EQ(FirstDifference(out, ToSamples(expected)), -1);
  EXPECT_EQ(out[kFramesPer10Ms * 2 - 2], 0);
  EXPECT_EQ(out[kFramesPer10Ms * 2], 100);  // byte offset 1764
  EXPECT_EQ(out[kFramesPer10Ms * 2 + 1], -100);
}

// A tree of groups within groups, sounds starting inside blocks and across block borders,
// mixed with passes of varying sizes: every pattern gives the same, exact mix.
TEST_F(PcmMixerTest, NestedSoundsStartAndStopAtTheirOffsetsWhateverThePassSizes) {
  struct Placed {
    Source source;
    long absoluteMs;
    long lengthMs;
  };
  const std::vector<std::vector<int>> patterns = {{1}, {4}, {3, 1, 2}, {2, 4, 1}};
  std::vector<int16_t> first;
  for (const auto& pattern : patterns) {
    SCOPED_TRACE(::testing::PrintToString(pattern));
    root_ = new FixedGroup();
    std::vector<Placed> placed = {{Staircase(13230, 10), 0, 300},
                                  {Staircase(8820, 4000), 250, 200},
                                  {Staircase(6615, 8000), 370, 150},
                                  {Staircase(4410, 12000, 1), 450, 100}};
    auto* outer = new CSoundGroup();
    auto* inner = new CSoundGroup();
    AddOwned(NewSound(placed[0].source), root_, 0);
    AddOwned(NewSound(placed[1].source), outer, 0);
    AddOwned(NewSound(placed[2].source), inner, 0);
    AddOwned(NewSound(placed[3].source), inner, 80);
    AddOwned(inner, outer, 120);
    AddOwned(outer, root_, 250);
    ASSERT_EQ(root_->Length(0), 550);

    mixer_ = std::make_unique<PumpedMixer>(Record());
    ASSERT_EQ(mixer_->Play(root_, 0, 0), 1);
    std::vector<int16_t> out = mixer_->PumpPattern(pattern, 8);
    EXPECT_DOUBLE_EQ(mixer_->GetWindowPosition(), 800.0);

    std::vector<int32_t> expected(out.size(), 0);
    for (const Placed& p : placed) {
      AddReference(expected, p.source, p.absoluteMs * kFramesPer10Ms / 10,
                   p.lengthMs * kFramesPer10Ms / 10);
    }
    EXPECT_EQ(FirstDifference(out, ToSamples(expected)), -1);
    if (first.empty()) first = out;
    EXPECT_EQ(out, first);

    // Every sound has left once its last samples had time to play; the groups follow their
    // end. Nothing is held any more.
    mixer_->PumpPattern(pattern, 6);
    EXPECT_EQ(outer->Playing(), 0);
    EXPECT_EQ(inner->Playing(), 0);
    EXPECT_EQ(root_->Playing(), 1);
    mixer_->Stop();
    EXPECT_EQ(root_->Playing(), 0);
    EXPECT_EQ(inner->ReferenceCount(), 1);
    EXPECT_EQ(mixer_->GetTopAtom(), nullptr);
    mixer_.reset();
    TearDown();
    root_ = nullptr;
  }
}

// With 16384-byte buffers a block lasts 92.879... ms: the window position adds these up
// exactly, and a sound at 1000 ms still begins on frame 44100.
TEST_F(PcmMixerTest, FractionalBlocksKeepSoundsOnTheirFrame) {
  const Source s = Staircase(4410, 500);
  AddOwned(NewSound(s), Root(), 1000);
  PumpedMixer& mixer = Mixer(Record(16384, 8));
  const double block = 16384 * 1000.0 / 176400;
  EXPECT_DOUBLE_EQ(mixer.GetBlockLength(), block);
  ASSERT_EQ(mixer.Play(Root(), 0, 0), 1);
  std::vector<int16_t> out = mixer.PumpPattern({3, 1, 5, 2}, 13);
  EXPECT_NEAR(mixer.GetWindowPosition(), 13 * block, 1e-9);
  std::vector<int32_t> expected(out.size(), 0);
  AddReference(expected, s, 44100, 4410);
  EXPECT_EQ(FirstDifference(out, ToSamples(expected)), -1);
}

TEST_F(PcmMixerTest, PlayingFromAStartInsideSoundsTakesThemFromThere) {
  const Source a = Staircase(8820, 0, 2, 30000);  // 200 ms
  const Source b = Staircase(4410, 9000);
  AddOwned(NewSound(a), Root(), 0);
  AddOwned(NewSound(b), Root(), 220);
  PumpedMixer& mixer = Mixer();
  ASSERT_EQ(mixer.Play(Root(), 150, 0), 1);
  std::vector<int16_t> out = mixer.Pump(1);
  // The first sound from its frame at 150 ms to its end; the second from 70 ms into the block.
  Source tail;
  tail.values.assign(a.values.begin() + 150 * kFramesPer10Ms / 10 * 2, a.values.end());
  std::vector<int32_t> expected(out.size(), 0);
  AddReference(expected, tail, 0, tail.Frames());
  AddReference(expected, b, 7 * kFramesPer10Ms, 4410);
  EXPECT_EQ(FirstDifference(out, ToSamples(expected)), -1);
}

TEST_F(PcmMixerTest, ScheduledTwiceBeforeMixingASoundIsMixedOnce) {
  const Source s = Staircase(4410, 1000);
  AddOwned(NewSound(s), Root(), 50);
  PumpedMixer& mixer = Mixer();
  ASSERT_EQ(mixer.Play(Root(), 0, 0), 1);
  // Two windows scheduled before any buffer is mixed: the sound is pending, not playing yet.
  mixer.IncrementTimeWindow(100);
  mixer.IncrementTimeWindow(100);
  std::vector<int16_t> out;
  for (int i = 0; i < 2; ++i) {
    mixer.MixIntoBuffer(mixer.GetOutputBuffer(i));
    std::vector<int16_t> part =
        Samples16(mixer.GetOutputBuffer(i)->data, mixer.GetOutputBuffer(i)->size);
    out.insert(out.end(), part.begin(), part.end());
  }
  std::vector<int32_t> expected(out.size(), 0);
  AddReference(expected, s, 5 * kFramesPer10Ms, 4410);
  EXPECT_EQ(FirstDifference(out, ToSamples(expected)), -1);
}

TEST_F(PcmMixerTest, FinishedSoundLeavesWhenItsQueuedBuffersHavePlayed) {
  CPCMSound* sound = NewSound(Staircase(6615, 0));  // 150 ms
  sound->AddReference();
  AddOwned(sound, Root(), 0);
  PumpedMixer& mixer = Mixer(Record(17640, 4));
  ASSERT_EQ(mixer.Play(Root(), 0, 0), 1);
  mixer.Pump(1);
  EXPECT_EQ(sound->Playing(), 1);
  EXPECT_EQ(sound->ReferenceCount(), 3);  // test, group, mixer
  mixer.Pump(1);                          // its end: 4 buffers x 100 ms still to be heard
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(sound->Playing(), 1) << i;
    mixer.Pump(1);
  }
  EXPECT_EQ(sound->Playing(), 0);
  EXPECT_EQ(sound->ReferenceCount(), 2);
  CAudioAtom* held = sound;
  DeleteAtom(&held);
}

TEST_F(PcmMixerTest, TwoFullScaleSoundsSaturateInsteadOfWrapping) {
  Source loud;
  for (int i = 0; i < 4410 * 2; ++i) loud.values.push_back(i % 2 ? -32768 : 32767);
  AddOwned(NewSound(loud), Root(), 0);
  AddOwned(NewSound(loud), Root(), 0);
  PumpedMixer& mixer = Mixer();
  ASSERT_EQ(mixer.Play(Root(), 0, 0), 1);
  std::vector<int16_t> out = mixer.Pump(1);
  for (size_t i = 0; i < out.size(); i += 2) {
    ASSERT_EQ(out[i], 32767) << i;
    ASSERT_EQ(out[i + 1], -32768) << i;
  }
}

TEST_F(PcmMixerTest, ASoundPlayedAloneStopsOnRequest) {
  CPCMSound* sound = NewSound(Staircase(44100, 7));
  PumpedMixer& mixer = Mixer();
  ASSERT_EQ(mixer.Play(sound, 0, 0), 1);
  EXPECT_EQ(mixer.Play(sound, 0, 0), 0);  // already playing
  EXPECT_EQ(platform::last_error(), sonark::kErrAlreadyPlaying);
  std::vector<int16_t> out = mixer.Pump(1);
  EXPECT_EQ(out[0], 7);
  EXPECT_EQ(sound->Playing(), 1);
  sound->Stop();
  out = mixer.Pump(1);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](int16_t v) { return v == 0; }));
  EXPECT_EQ(sound->Playing(), 0);
  EXPECT_EQ(mixer.GetTopAtom(), nullptr);
  EXPECT_EQ(sound->ReferenceCount(), 1);
  mixer.Stop();
  CAudioAtom* held = sound;
  DeleteAtom(&held);
}

TEST_F(PcmMixerTest, AStoppedGroupTakesItsSoundsWithIt) {
  auto* group = new CSoundGroup();
  CPCMSound* sound = NewSound(Staircase(44100, 1));
  sound->AddReference();
  AddOwned(sound, group, 0);
  AddOwned(NewSound(Staircase(44100, 1)), group, 200);
  group->AddReference();
  AddOwned(group, Root(), 100);
  PumpedMixer& mixer = Mixer();
  ASSERT_EQ(mixer.Play(Root(), 0, 0), 1);
  mixer.Pump(4);
  ASSERT_EQ(group->Playing(), 1);
  ASSERT_EQ(sound->Playing(), 1);
  group->Stop();
  mixer.Pump(1);
  EXPECT_EQ(group->Playing(), 0);
  EXPECT_EQ(sound->Playing(), 0);
  EXPECT_EQ(sound->ReferenceCount(), 2);
  CAudioAtom* held = sound;
  DeleteAtom(&held);
  held = group;
  DeleteAtom(&held);
}

TEST_F(PcmMixerTest, CurrentOffsetCountsFromTheTopAtomsStart) {
  // The played group lies 5 s into the session; its sound 200 ms into the group.
  auto* group = new CSoundGroup();
  CPCMSound* sound = NewSound(Staircase(44100, 1));
  sound->AddReference();
  AddOwned(NewSound(Staircase(4410, 1)), group, 0);
  AddOwned(sound, group, 200);
  group->AddReference();
  AddOwned(group, Root(), 5000);
  PumpedMixer& mixer = Mixer();
  ASSERT_EQ(mixer.Play(group, 0, 0), 1);
  mixer.Pump(3);
  mixer.Pump(2);
  EXPECT_DOUBLE_EQ(mixer.GetWindowPosition(), 500.0);
  EXPECT_EQ(mixer.CurrentOffset(sound), 300);
  mixer.Stop();
  CAudioAtom* held = sound;
  DeleteAtom(&held);
  held = group;
  DeleteAtom(&held);
}

TEST_F(PcmMixerTest, DestroyingTheMixerReleasesEverythingItHeld) {
  CPCMSound* sound = NewSound(Staircase(44100, 1));
  sound->AddReference();
  AddOwned(sound, Root(), 0);
  {
    PumpedMixer mixer(Record());
    EXPECT_EQ(GetCurrentMixer(), &mixer);
    ASSERT_EQ(mixer.Play(Root(), 0, 0), 1);
    mixer.Pump(2);
    EXPECT_EQ(sound->ReferenceCount(), 3);
  }
  EXPECT_EQ(GetCurrentMixer(), nullptr);
  EXPECT_EQ(sound->Playing(), 0);
  EXPECT_EQ(Root()->Playing(), 0);
  EXPECT_EQ(sound->ReferenceCount(), 2);
  EXPECT_EQ(Root()->ReferenceCount(), 1);
  CAudioAtom* held = sound;
  DeleteAtom(&held);
}

// Play() of an atom goes to the current mixer. (The mixer is not pumped here: the atom's own
// Play holds the atom's lock while it waits for the engine lock.)
TEST_F(PcmMixerTest, AnAtomsPlayGoesToTheCurrentMixer) {
  CPCMSound* sound = NewSound(Staircase(44100, 1));
  SetCurrentMixer(nullptr);
  EXPECT_EQ(sound->Play(0), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrNoCurrentMixer);
  {
    PumpedMixer mixer(Record());
    EXPECT_EQ(sound->Play(100), 1);
    EXPECT_EQ(mixer.GetTopAtom(), sound);
    EXPECT_EQ(mixer.Playing(), 1);
    mixer.NotifyStartedAtoms();
    EXPECT_EQ(sound->Playing(), 1);
    EXPECT_EQ(sound->Play(0), 0);
    mixer.Stop();
    EXPECT_EQ(sound->Playing(), 0);
    EXPECT_EQ(mixer.Playing(), 0);
  }
  EXPECT_EQ(sound->ReferenceCount(), 1);
  CAudioAtom* held = sound;
  DeleteAtom(&held);
}

// The mixing thread's work against the user's edits: moves, removals, mutes and stops of a
// playing tree, each side taking its locks in the order the engine prescribes.
TEST_F(PcmMixerTest, PumpingWhileTheTreeIsEditedStaysConsistent) {
  auto* group = new CSoundGroup();
  std::vector<CPCMSound*> sounds;
  for (int i = 0; i < 6; ++i) {
    CPCMSound* sound = NewSound(Staircase(4410, 10 * i), 400, 44100, 50);
    sound->AddReference();
    sounds.push_back(sound);
    AddOwned(sound, i % 2 ? static_cast<CSoundGroup*>(group) : Root(), 37 * i);
  }
  AddOwned(group, Root(), 90);
  PumpedMixer& mixer = Mixer(Record(4410, 3));
  ASSERT_EQ(mixer.Play(Root(), 0, 0), 1);
  std::atomic<bool> done{false};
  std::thread pump([&] {
    for (int pass = 0; !done || pass < 100; ++pass) mixer.Pump(1 + pass % 3);
  });
  for (int edit = 0; edit < 200; ++edit) {
    CPCMSound* sound = sounds[static_cast<size_t>(edit) % sounds.size()];
    switch (edit % 4) {
      case 0:
        if (sound->Parent() != nullptr) sound->Move(edit % 700);
        break;
      case 1:
        sound->Mute(edit % 8 == 1);
        break;
      case 2:
        sound->Stop();
        break;
      default:
        if (sound->Parent() != nullptr) {
          sound->Remove();
        } else {
          sound->Add(edit % 3 ? Root() : group, edit % 500);
        }
    }
    std::this_thread::yield();
  }
  done = true;
  pump.join();
  mixer.Stop();
  for (CPCMSound* sound : sounds) {
    EXPECT_EQ(sound->Playing(), 0);
    EXPECT_EQ(sound->ReferenceCount(), sound->Parent() != nullptr ? 2 : 1);
    if (sound->Parent() != nullptr) sound->Remove();
    CAudioAtom* held = sound;
    DeleteAtom(&held);
  }
}

TEST(PcmMixerSetUp, DeviceRecordIsSnappedAndRoundedToWholeFrames) {
  struct Case {
    uint32_t rate;
    uint32_t expected;
  };
  for (const Case& c : {Case{48000, 44100}, Case{16000, 22050}, Case{8000, 11025},
                        Case{22050, 22050}, Case{11025, 11025}, Case{22051, 44100}}) {
    _tInitMixer record{kDefaultWaveDevice, 8, 16385, Pcm(c.rate, 2, 16)};
    CPCMMixer mixer(&record);
    _tInitMixer used = mixer.GetInitRecord();
    EXPECT_EQ(used.format.nSamplesPerSec, c.expected) << c.rate;
    EXPECT_EQ(used.format.nAvgBytesPerSec, c.expected * 4) << c.rate;
    EXPECT_EQ(used.bufferSize, 16384);
    EXPECT_EQ(mixer.GetFormat().nSamplesPerSec, c.expected);
  }
  _tInitMixer record{kDefaultWaveDevice, 8, 16384, Pcm(44100, 2, 16)};
  CPCMMixer mixer(&record);
  EXPECT_EQ(mixer.Latency(), 743);
  // A record the mixing loop cannot produce falls back to 16-bit stereo.
  _tInitMixer odd{kDefaultWaveDevice, 0, 0, Pcm(44100, 3, 24)};
  CPCMMixer fallback(&odd);
  _tInitMixer used = fallback.GetInitRecord();
  EXPECT_EQ(used.format.nChannels, 2);
  EXPECT_EQ(used.format.wBitsPerSample, 16);
  EXPECT_GT(used.bufferCount, 0);
  EXPECT_EQ(used.bufferSize % 4, 0);
  EXPECT_GT(used.bufferSize, 0);
}

TEST(PcmMixerSetUp, OpenAndCloseNestAndTheLastOneWins) {
  CPCMMixer mixer(nullptr);
  // Not current: the mixing thread would close a device that plays nothing.
  SetCurrentMixer(nullptr);
  EXPECT_EQ(mixer.IsOpen(), 0);
  EXPECT_EQ(mixer.Open(), 1);
  EXPECT_EQ(mixer.Open(), 1);
  mixer.Close();
  EXPECT_EQ(mixer.IsOpen(), 1);
  mixer.Close();
  EXPECT_EQ(mixer.IsOpen(), 0);
  mixer.Close();
  EXPECT_EQ(mixer.IsOpen(), 0);
  // A requested format takes effect at the next Open.
  tWAVEFORMATEX mono = Pcm(22050, 1, 8);
  mixer.SetFormat(&mono);
  EXPECT_EQ(mixer.GetInitRecord().format.nChannels, 2);
  ASSERT_EQ(mixer.Open(), 1);
  EXPECT_EQ(mixer.GetFormat().nChannels, 1);
  EXPECT_EQ(mixer.GetFormat().wBitsPerSample, 8);
  EXPECT_EQ(mixer.GetFormat().nSamplesPerSec, 22050u);
  mixer.Close();
}

}  // namespace
