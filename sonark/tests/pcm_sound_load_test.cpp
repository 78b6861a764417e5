#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/engine/engine.h>
#include <sonark/errors.h>
#include <sonark/load/music_info.h>
#include <sonark/load/peaks.h>
#include <sonark/model/loaded_sounds.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/render/pcm_buffer.h>
#include <sonark/temp_paths.h>
#include <tarnell/file_obj.h>
#include <tarnell/tests/temp_dir.h>

#include <string>

#include "render_test_support.h"
#include "wave_test_support.h"

namespace {

using render_test::SoundPtr;
using wave_test::Bytes;

int Cancel(unsigned long, void*) { return 0; }

class PcmSoundLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_EQ(SonarkStartEngine(), 1);
    SetTempSndPath(dir_.File("cache").c_str());
  }
  void TearDown() override { SetTempSndPath(nullptr); }

  // Loads the file at `path` into `sound` as the program does; the sound keeps the file.
  int Load(CPCMSound& sound, const std::string& path, long bufferMs = 2000,
           TLoadProgress progress = nullptr) {
    CFileObj* file = new CFileObj;
    CRefObj* held = file;
    EXPECT_EQ(file->Open(path.c_str(), 0, 0), 1);
    const int result = sound.InitialLoad(file, bufferMs, 1, 1, 0, 0, 10, progress, nullptr);
    error_ = platform::last_error();
    DeleteRefObject(&held);
    return result;
  }

  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = dir_.File(name);
    EXPECT_TRUE(wave_test::WriteFile(path, bytes));
    return path;
  }

  TempDir dir_;
  uint32_t error_ = 0;
};

TEST_F(PcmSoundLoadTest, LoadedSoundPlaysItsFile) {
  const tWAVEFORMATEX format = render_test::Format(22050, 2, 16);
  const Bytes data = render_test::StaircaseBytes(22050, format);
  const Bytes info = wave_test::List("INFO", {{"INAM", wave_test::Text("stairs")}});
  const std::string path = Write(
      "stairs.wav", wave_test::Riff("WAVE", {{"fmt ", wave_test::Fmt(kWaveFormatPcm, 2, 22050, 16)},
                                             {"LIST", info},
                                             {"data", data}}));
  SoundPtr sound(new CPCMSound);
  ASSERT_EQ(Load(*sound, path), 1);
  EXPECT_EQ(error_, 0u);
  EXPECT_EQ(SoundExists(path.c_str()), sound.get());
  EXPECT_EQ(sound->Length(0), 1000);
  EXPECT_EQ(sound->DataLength(), 1000);
  EXPECT_EQ(sound->Format()->nSamplesPerSec, 22050u);
  ASSERT_NE(sound->GetMusicInfo(), nullptr);
  EXPECT_STREQ(sound->GetMusicInfo()->title, "stairs");
  ASSERT_NE(sound->GetPeaks(), nullptr);
  // 882 bytes per peak in whole frames are 880: 100 whole blocks and a short one.
  EXPECT_EQ(sound->GetPeaks()->GetNumPeaks(), 101u);
  // One second fits the 2000 ms buffer whole.
  ASSERT_NE(sound->GetBuffer(), nullptr);
  EXPECT_EQ(sound->GetBuffer()->IsLoadedOnce(), 1);

  ASSERT_EQ(sound->Load(0), 1);
  const render_test::Rendered out = render_test::Render(*sound, format, 22050);
  ASSERT_EQ(out.samples.size(), 22050u * 2);
  for (long i : {0L, 1L, 5000L, 22049L}) {
    EXPECT_EQ(out.samples[static_cast<size_t>(i * 2)], render_test::Staircase(i, 0, 16));
    EXPECT_EQ(out.samples[static_cast<size_t>(i * 2 + 1)], render_test::Staircase(i, 1, 16));
  }
}

TEST_F(PcmSoundLoadTest, LongSoundStreamsThroughABufferOfTheAskedSize) {
  const std::string path =
      Write("long.wav", wave_test::PcmWave(1, 8000, 8, Bytes(8000 * 5 + 1, 128)));
  SoundPtr sound(new CPCMSound);
  ASSERT_EQ(Load(*sound, path, 2000), 1);
  ASSERT_NE(sound->GetBuffer(), nullptr);
  EXPECT_EQ(sound->GetBuffer()->IsLoadedOnce(), 0);
  EXPECT_EQ(sound->GetBuffer()->BufferSize(), 16000u);
  EXPECT_EQ(sound->Length(0), 5000);
}

TEST_F(PcmSoundLoadTest, RefusedOrCancelledLoadLeavesTheSoundAlone) {
  SoundPtr sound(new CPCMSound);
  const std::string bad = Write("bad.wav", wave_test::PcmWave(2, 44100, 20, Bytes(600, 0)));
  EXPECT_EQ(Load(*sound, bad), 0);
  EXPECT_EQ(error_, sonark::kErrUnsupportedPcm);
  EXPECT_EQ(sound->GetRefObj(), nullptr);
  EXPECT_EQ(SoundExists(bad.c_str()), nullptr);

  const std::string good = Write("good.wav", wave_test::PcmWave(1, 8000, 16, Bytes(16000, 0)));
  EXPECT_EQ(Load(*sound, good, 2000, &Cancel), 0);
  EXPECT_EQ(error_, 0u);
  EXPECT_EQ(sound->GetRefObj(), nullptr);
  EXPECT_EQ(sound->GetPeaks(), nullptr);
  EXPECT_EQ(SoundExists(good.c_str()), nullptr);
}

TEST_F(PcmSoundLoadTest, PeaksSetTrimSilenceAndPartialSong) {
  // Silent for half a second, then loud to the end: cut off while loud.
  Bytes loud(8000, 0);
  for (int i = 0; i < 4000; ++i)
    wave_test::PutLe16(loud, i % 2 ? 16384 : static_cast<uint16_t>(-16384));
  SoundPtr cut(new CPCMSound);
  ASSERT_EQ(Load(*cut, Write("cut.wav", wave_test::PcmWave(1, 8000, 16, loud))), 1);
  EXPECT_EQ(cut->GetAutoTrimTimeStart(), 500);
  EXPECT_EQ(cut->GetAutoTrimTimeEnd(), 990);
  EXPECT_EQ(cut->IsPartialSong(), 1);
  EXPECT_EQ(cut->IsTotalSilence(), 0);
  // Half of full scale: twice the volume reaches it.
  EXPECT_NEAR(cut->GetNormalizedVolume(1.0), 32767.0 / 16384.0, 1e-9);

  SoundPtr silent(new CPCMSound);
  ASSERT_EQ(Load(*silent, Write("silent.wav", wave_test::PcmWave(1, 8000, 16, Bytes(16000, 0)))),
            1);
  EXPECT_EQ(silent->IsTotalSilence(), 1);
  EXPECT_EQ(silent->IsPartialSong(), 0);
  EXPECT_EQ(silent->GetNormalizedVolume(1.0), 1.0);
}

TEST_F(PcmSoundLoadTest, CopiesShareThePeaksAndAPartStartsItsWaveformWithIt) {
  const std::string path =
      Write("share.wav", wave_test::PcmWave(2, 44100, 16, wave_test::Staircase16(44100, 2)));
  SoundPtr sound(new CPCMSound);
  ASSERT_EQ(Load(*sound, path), 1);
  CPeaks* peaks = sound->GetPeaks();
  ASSERT_NE(peaks, nullptr);
  {
    SoundPtr copy(static_cast<CPCMSound*>(sound->Copy()));
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy->GetPeaks(), nullptr);
    EXPECT_NE(copy->GetPeaks(), peaks);
    EXPECT_EQ(peaks->References(), 2);
    SoundPtr part(static_cast<CPCMSound*>(sound->Copy(250, 600)));
    ASSERT_NE(part, nullptr);
    ASSERT_NE(part->GetPeaks(), nullptr);
    EXPECT_EQ(part->GetPeaks()->GetVirtualStart(), 25u);
    EXPECT_EQ(peaks->References(), 3);
  }
  EXPECT_EQ(peaks->References(), 1);
  sound->Unload();
  EXPECT_EQ(sound->GetPeaks(), nullptr);
  EXPECT_EQ(SoundExists(path.c_str()), nullptr);
}

}  // namespace
