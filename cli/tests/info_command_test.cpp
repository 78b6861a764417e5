#include <cli/tests/cli_test_support.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using namespace cli_test;

class InfoCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    // 800 ms of 22.05 kHz mono: a rising ramp, silent for its first 100 ms.
    std::vector<int16_t> samples(17640, 0);
    for (size_t i = 2205; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i);
    WriteWave16(folder_.File("ramp.wav"), 22050, 1, samples);
    WriteWave16(folder_.File("short.wav"), 44100, 2, std::vector<int16_t>(4410 * 2, 300));
  }

  Folder folder_;
};

TEST_F(InfoCommand, DescribesASound) {
  Result info = folder_.Run({"info", "ramp.wav"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_TRUE(Contains(info.out, "PCM, 22.050 kHz, 16 bit, Mono")) << info.out;
  EXPECT_TRUE(Contains(info.out, "(800 ms)")) << info.out;
  EXPECT_TRUE(Contains(info.out, "(35280 bytes)")) << info.out;
  EXPECT_TRUE(Contains(info.out, "auto trim  00:00:100")) << info.out;
  EXPECT_TRUE(Contains(info.out, "silence    no")) << info.out;
}

TEST_F(InfoCommand, DescribesCompressedSoundsAndTheirSideFiles) {
  if (!Installed("sox") || !Installed("ffmpeg")) GTEST_SKIP() << "sox and ffmpeg make the files";
  const std::string tone = folder_.File("tone.wav");
  ASSERT_EQ(std::system(("sox -n -r 44100 -c 2 -b 16 " + tone + " synth 1 sine 440 vol 0.3").c_str()), 0);
  ASSERT_EQ(std::system(("ffmpeg -v error -y -i " + tone +
                         " -c:a libmp3lame -b:a 192k -id3v2_version 3 -metadata title=Tone"
                         " -metadata genre=Rock -metadata track=3/9 " + folder_.File("t.mp3"))
                            .c_str()),
            0);
  ASSERT_EQ(std::system(("sox " + tone + " -e ima-adpcm " + folder_.File("ima.wav")).c_str()), 0);

  Result info = folder_.Run({"info", "t.mp3"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_TRUE(Contains(info.out, "stream     MPEG 1 Layer III, Stereo, 44100 Hz, 192 kbit/s\n"))
      << info.out;
  EXPECT_TRUE(Contains(info.out, "(an Info header: constant bit rate)")) << info.out;
  EXPECT_TRUE(Contains(info.out, "genre      Rock")) << info.out;
  EXPECT_TRUE(Contains(info.out, "track      3 of 9")) << info.out;
  // Loading the sound scanned it once and kept what the scan built.
  EXPECT_TRUE(Contains(info.out, "peak file  up to date")) << info.out;
  EXPECT_TRUE(Contains(info.out, "seek map   up to date")) << info.out;
  info = folder_.Run({"info", "ima.wav"});
  EXPECT_TRUE(Contains(info.out, "stored as  IMA ADPCM (format tag 0x0011)")) << info.out;
}

TEST_F(InfoCommand, ShowsASessionTreeWithItsMissingSounds) {
  ASSERT_EQ(folder_.Run({"new", "s.sgp", "ramp.wav@2000", "short.wav@250"}).status, 0);
  Result info = folder_.Run({"info", "s.sgp"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_TRUE(Contains(info.out, "session    00:02:800, 2 sound(s)")) << info.out;
  EXPECT_TRUE(Contains(info.out, "sound ramp.wav")) << info.out;
  EXPECT_TRUE(Contains(info.out, "at 00:02:000  length 00:00:800")) << info.out;
  EXPECT_TRUE(Contains(info.out, "at 00:00:250  length 00:00:100")) << info.out;
  // The group keeps its sub-atoms by offset.
  EXPECT_LT(info.out.find("short.wav"), info.out.find("ramp.wav")) << info.out;

  std::filesystem::remove(folder_.File("ramp.wav"));
  info = folder_.Run({"info", "s.sgp"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_TRUE(Contains(info.out, "missing    " + folder_.File("ramp.wav"))) << info.out;
  EXPECT_TRUE(Contains(info.out, "sound short.wav")) << info.out;
  EXPECT_FALSE(Contains(info.out, "sound ramp.wav")) << info.out;
}

// A session cut short anywhere shows what could be read and lists what was left out; one whose
// top level cannot be read is refused with one line naming it. Render refuses both.
TEST_F(InfoCommand, DamagedSessionsShowWhatCouldBeReadAndWhatWasLeftOut) {
  ASSERT_EQ(folder_.Run({"new", "s.sgp", "ramp.wav", "short.wav@100"}).status, 0);
  const Bytes whole = ReadBytes(folder_.File("s.sgp"));
  ASSERT_GT(whole.size(), 1000u);

  std::vector<Bytes> damaged;
  for (size_t keep = 0; keep < whole.size(); keep += whole.size() / 23)
    damaged.emplace_back(whole.begin(), whole.begin() + static_cast<long>(keep));
  damaged.emplace_back(whole.begin(), whole.end() - 1);
  Bytes bad_list = whole;
  for (int i = 0; i < 4; ++i) bad_list[12 + i] = static_cast<unsigned char>("JUNK"[i]);
  damaged.push_back(bad_list);

  int salvaged = 0;
  for (size_t i = 0; i < damaged.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i) + ", " + std::to_string(damaged[i].size()) + " bytes");
    WriteBytes(folder_.File("d.sgp"), damaged[i]);
    Result info = folder_.Run({"info", "d.sgp"});
    if (info.status == 0) {
      ++salvaged;
      EXPECT_TRUE(Contains(info.out, "damaged    the session file is damaged")) << info.out;
      EXPECT_TRUE(Contains(info.out, "skipped    ")) << info.out;
      continue;
    }
    EXPECT_EQ(info.status, 1) << info.out;
    EXPECT_EQ(CountLines(info.err), 1) << info.err;
    EXPECT_TRUE(Contains(info.err, "d.sgp")) << info.err;
  }
  EXPECT_GT(salvaged, 15);

  // Cut inside the last sound: the first one is still there, and the lost one is named.
  WriteBytes(folder_.File("d.sgp"), damaged[damaged.size() - 2]);
  Result info = folder_.Run({"info", "d.sgp"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_TRUE(Contains(info.out, "sound ramp.wav")) << info.out;
  EXPECT_TRUE(
      Contains(info.out, "skipped    top level, item 2: sound \"short.wav\": the file ends"))
      << info.out;
  EXPECT_EQ(folder_.Run({"render", "d.sgp", "o.wav"}).status, 1);
  EXPECT_FALSE(folder_.Exists("o.wav"));
}

TEST_F(InfoCommand, WarnsOfASoundFileChangedSinceTheSessionWasSaved) {
  ASSERT_EQ(folder_.Run({"new", "s.sgp", "ramp.wav", "short.wav@100"}).status, 0);
  Result info = folder_.Run({"info", "s.sgp"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_FALSE(Contains(info.out, "changed")) << info.out;

  WriteWave16(folder_.File("short.wav"), 44100, 2, std::vector<int16_t>(441 * 2, 300));
  info = folder_.Run({"info", "s.sgp"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_TRUE(Contains(info.out, "changed    sound \"short.wav\" (" + folder_.File("short.wav") +
                                     "): file changed since the session was saved: 1764 bytes "
                                     "of sound, the session recorded 17640"))
      << info.out;
  EXPECT_TRUE(Contains(info.out, "file changed\n")) << info.out;
  EXPECT_FALSE(Contains(info.out, "damaged")) << info.out;
}

TEST_F(InfoCommand, AWaveCutShortLoadsWhatItHoldsAndSaysSo) {
  Bytes wave = ReadBytes(folder_.File("short.wav"));
  wave.resize(wave.size() - 4410 * 2 - 3);  // half the frames and part of one
  WriteBytes(folder_.File("cut.wav"), wave);
  Result info = folder_.Run({"info", "cut.wav"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_TRUE(Contains(info.out, "(8816 bytes)")) << info.out;
  EXPECT_TRUE(Contains(info.out, "shorter than its header claims")) << info.out;
  info = folder_.Run({"info", "short.wav"});
  EXPECT_FALSE(Contains(info.out, "shorter")) << info.out;
}

// A pipe nobody writes would hold the open for ever.
TEST_F(InfoCommand, RefusesAPipeOrAFolderAsASoundWithoutWaiting) {
  ASSERT_EQ(mkfifo(folder_.File("pipe.wav").c_str(), 0600), 0);
  std::filesystem::create_directory(folder_.File("folder.wav"));
  for (const char* name : {"pipe.wav", "folder.wav"}) {
    SCOPED_TRACE(name);
    const pid_t pid = folder_.Start({"info", name});
    int waited = 0;
    for (siginfo_t ended{}; waited < 100; ++waited) {
      if (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
          ended.si_pid == pid)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (waited == 100) kill(pid, SIGKILL);
    Result info = folder_.Wait(pid);
    EXPECT_EQ(info.status, 1);
    EXPECT_TRUE(Contains(info.err, "not a regular file")) << info.err;
  }
}

TEST_F(InfoCommand, RefusesWhatIsNotASound) {
  WriteBytes(folder_.File("text.wav"), Bytes(100, 'x'));
  for (const char* name : {"text.wav", "nothing.wav"}) {
    SCOPED_TRACE(name);
    Result info = folder_.Run({"info", name});
    EXPECT_EQ(info.status, 1);
    EXPECT_EQ(CountLines(info.err), 1) << info.err;
    EXPECT_TRUE(Contains(info.err, name)) << info.err;
  }
}

TEST(CommandLine, HelpAndUsage) {
  Folder folder;
  ASSERT_FALSE(folder.path().empty());
  for (const char* command : {"new", "render", "info"}) {
    SCOPED_TRACE(command);
    Result help = folder.Run({command, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(std::string("usage: quarl-cli ") + command, 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");
  }
  Result help = folder.Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Contains(help.out, "render")) << help.out;

  Result none = folder.Run({});
  EXPECT_EQ(none.status, 2);
  EXPECT_TRUE(Contains(none.err, "usage")) << none.err;
  Result unknown = folder.Run({"mix", "a.wav"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_TRUE(Contains(unknown.err, "mix")) << unknown.err;
  EXPECT_EQ(folder.Run({"info"}).status, 2);
  EXPECT_EQ(folder.Run({"info", "a.wav", "b.wav"}).status, 2);
}

}  // namespace
