#include <gtest/gtest.h>
#include <sonark/engine/engine.h>
#include <sonark/export/conv_wave_file.h>
#include <sonark/export/conversion_types.h>
#include <sonark/names.h>
#include <sonark/temp_paths.h>
#include <sonark/thresholds.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

TEST(Engine, StartAndStopAreIdempotent) {
  // The library started its engine when it was loaded.
  EXPECT_EQ(SonarkEngineRunning(), 1);
  EXPECT_EQ(SonarkStartEngine(), 1);
  SetPartialSongThreshold(3);
  EXPECT_EQ(SonarkStartEngine(), 1);  // a second start keeps the running state
  EXPECT_EQ(GetPartialSongThreshold(), 3);

  SonarkStopEngine();
  SonarkStopEngine();
  EXPECT_EQ(SonarkEngineRunning(), 0);
  EXPECT_EQ(SonarkStartEngine(), 1);
  EXPECT_EQ(SonarkStartEngine(), 1);
  EXPECT_EQ(SonarkEngineRunning(), 1);
}

TEST(Engine, StartRestoresTheEngineWideState) {
  SetSilenceThreshold(500);
  SetWaveCDBlockAlign(1);
  SetPartialSongThreshold(40);
  SetTempSndPath("/tmp/side-files");
  SetNewNamePrefix("Take");
  char name[64];
  GenerateUniqueName(name, sizeof name);
  DetermineConvertersAvailable(static_cast<_tMP3EncoderDllTypedef>(0), nullptr);
  SonarkStopEngine();
  ASSERT_EQ(SonarkStartEngine(), 1);
  int flags[2] = {1, 1};
  GetConvertersAvailable(flags);
  EXPECT_EQ(flags[0], 0);  // wave export waits for the converters to be determined again
  EXPECT_EQ(flags[1], 0);
  DetermineConvertersAvailable(static_cast<_tMP3EncoderDllTypedef>(0), nullptr);
  EXPECT_EQ(GetSilenceThreshold(), 0u);
  EXPECT_EQ(GetWaveCDBlockAlign(), 0);
  EXPECT_EQ(GetPartialSongThreshold(), 12);
  EXPECT_EQ(TempSndPathExists(), 0);
  GenerateUniqueName(name, sizeof name);
  EXPECT_STREQ(name, "1");
}

TEST(Engine, LockIsReentrantAndShared) {
  EngineLock();
  EngineLock();
  bool taken = true;
  std::thread other([&] {
    taken = EngineMutex().try_lock();
    if (taken) EngineMutex().unlock();
  });
  other.join();
  EXPECT_FALSE(taken);
  EngineUnlock();
  EngineUnlock();
  // Usable while the engine is stopped too.
  SonarkStopEngine();
  { std::lock_guard<std::recursive_mutex> guard(EngineMutex()); }
  ASSERT_EQ(SonarkStartEngine(), 1);
}

TEST(Names, UniqueNamesCountUp) {
  SonarkStopEngine();
  ASSERT_EQ(SonarkStartEngine(), 1);
  SetNewNamePrefix("Group");
  char name[16];
  GenerateUniqueName(name, sizeof name);
  EXPECT_STREQ(name, "Group1");
  GenerateUniqueName(name, 0);
  EXPECT_STREQ(name, "Group2");
  SetNewNamePrefix("Sound ");  // the counter runs on
  GenerateUniqueName(name, sizeof name);
  EXPECT_STREQ(name, "Sound 3");
  GenerateUniqueName(name, 5);  // cut to the buffer, never beyond it
  EXPECT_STREQ(name, "Soun");

  // A long prefix is cut at a character boundary, and every name fits an atom's name.
  std::string prefix(kNamePrefixLength - 1, 'a');
  prefix += "\xC3\xA9";  // a two-byte character across the limit
  SetNewNamePrefix(prefix.c_str());
  char atomName[512];
  GenerateUniqueName(atomName, 0);
  EXPECT_EQ(std::string(atomName), std::string(kNamePrefixLength - 1, 'a') + "5");
  SetNewNamePrefix(nullptr);
  GenerateUniqueName(name, sizeof name);
  EXPECT_STREQ(name, "6");
}

TEST(Names, FileNameAfterTheLastSeparator) {
  char out[64] = "untouched";
  GetFileName("/music/a.wav", out);
  EXPECT_STREQ(out, "a.wav");
  GetFileName("C:\\old\\session\\b.wav", out);  // stored by a Windows build
  EXPECT_STREQ(out, "b.wav");
  GetFileName("/c.wav", out);
  EXPECT_STREQ(out, "c.wav");
  std::strcpy(out, "untouched");
  GetFileName("plain.wav", out);
  EXPECT_STREQ(out, "untouched");
  GetFileName("/music/", out);
  EXPECT_STREQ(out, "untouched");
  char same[] = "/in/place.wav";
  GetFileName(same, same);
  EXPECT_STREQ(same, "place.wav");
}

}  // namespace
