#include <gtest/gtest.h>
#include <sonark/model/pcm_sound.h>

#include <atomic>
#include <thread>

#include "render_test_support.h"

namespace {

using namespace render_test;

// The mixing thread renders while the program's thread changes the sound: setters without
// the lock, envelope edits announced through the mixer flags, copies and position queries
// under it.
TEST(PcmSoundThreads, ChangesWhileRendering) {
  const tWAVEFORMATEX format = Format(8000, 2, 16);
  SoundPtr sound = NewSound(StaircaseBytes(16000, format), format, 50);
  sound->AddSimpleEvent(kMapVolume, 0, 1.0);
  sound->AddSimpleEvent(kMapVolume, 2000, 0.5);
  ASSERT_EQ(sound->Load(0), 1);

  std::atomic<bool> done{false};
  std::atomic<int> passes{0};
  std::thread mixer([&] {
    while (!done) {
      const Rendered out = Render(*sound, format, 256, 256);
      if (out.result != kRenderMore) sound->Load(0);
      sound->Idle(&format);
      ++passes;
    }
  });
  for (int round = 1; round <= 300 || passes < 50; ++round) {
    sound->Volume(0.5 + (round % 3) * 0.25);
    sound->Pan((round % 5) * 0.2 - 0.4);
    sound->Rate(0.5 + (round % 4) * 0.5);
    sound->Mute(round % 2);
    if (round % 7 == 0) sound->SetMixerFlag(kMixerFlagNewMap);
    if (round % 11 == 0) {
      CAudioAtom* copy = sound->Copy();
      ASSERT_NE(copy, nullptr);
      DeleteAtom(&copy);
    }
    EXPECT_GE(sound->CurrentPlayOffset(), 0);
    std::this_thread::yield();
  }
  done = true;
  mixer.join();
}

}  // namespace
