#include <gtest/gtest.h>
#include <platform/clock.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/mixer/current_mixer.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/tests/mixer_test_support.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Playback through the engine's mixing thread and a real device of the platform: the wave-file
// device (which keeps what it plays) and the clock-paced null device.
namespace {

using namespace mixer_test;
namespace fs = std::filesystem;

_tInitMixer Record(int32_t bufferBytes = 16384, int32_t count = 8) {
  return _tInitMixer{kDefaultWaveDevice, count, bufferBytes, Pcm(44100, 2, 16)};
}

// The samples of a wave file's data chunk, to the end of the file.
std::vector<int16_t> WaveSamples(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  for (size_t at = 12; at + 8 <= bytes.size();) {
    uint32_t size = 0;
    std::memcpy(&size, &bytes[at + 4], 4);
    if (std::memcmp(&bytes[at], "data", 4) == 0) {
      return Samples16(bytes.data() + at + 8, bytes.size() - at - 8);
    }
    at += 8 + size + (size & 1);
  }
  return {};
}

class PlaybackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tessel-playback-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    root_ = new FixedGroup();
  }
  void TearDown() override {
    mixer_.reset();
    CAudioAtom* root = root_;
    DeleteAtom(&root);
    fs::remove_all(dir_);
    setenv("QUARL_AUDIO", "null", 1);
  }

  // Chooses the device for the next Open.
  std::string UseWaveDevice(const std::string& name, bool fast) {
    const std::string path = dir_ + "/" + name;
    const std::string value = "wav:out=" + path + (fast ? ",fast" : "");
    setenv("QUARL_AUDIO", value.c_str(), 1);
    return path;
  }

  CPCMMixer& Mixer(const _tInitMixer& record = Record()) {
    if (!mixer_) mixer_ = std::make_unique<CPCMMixer>(&record);
    return *mixer_;
  }

  // Waits until playback is over and the mixing thread has closed the device.
  bool WaitForTheEnd(CPCMMixer& mixer) {
    return WaitFor([&] { return mixer.Playing() == 0 && mixer.IsOpen() == 0; });
  }

  std::vector<int16_t> Offline(long startMs, long lengthMs) {
    Collect out;
    const tWAVEFORMATEX format = Pcm(44100, 2, 16);
    EXPECT_EQ(mixer_->MixToDataSinkFrom(root_, &Collect::Sink, &out, &format, startMs, lengthMs,
                                        -1),
              1);
    return Samples16(out.bytes.data(), out.bytes.size());
  }

  std::string dir_;
  CSoundGroup* root_ = nullptr;
  std::unique_ptr<CPCMMixer> mixer_;
};

// What the device plays is what the offline render writes, through a pause in the middle and
// from a start inside the session.
TEST_F(PlaybackTest, LiveMixMatchesTheOfflineRenderThroughPauseAndFromAStart) {
  AddOwned(NewSound(Staircase(88200, 10)), root_, 0);
  AddOwned(NewSound(Staircase(44100, 4000, 1)), root_, 250);
  AddOwned(NewSound(Staircase(22050, 8000)), root_, 1000);
  AddOwned(NewSound(Staircase(44100, 12000)), root_, 20000);
  const long length = root_->Length(0);
  CPCMMixer& mixer = Mixer();

  const std::string whole = UseWaveDevice("whole.wav", true);
  mixer.Pause(1);  // before the device exists: it opens paused
  ASSERT_EQ(mixer.Play(root_, 0, 0), 1);
  EXPECT_EQ(mixer.Play(root_, 0, 0), 0);
  platform::sleep_ms(30);
  EXPECT_EQ(mixer.GetMillisecondsPlayedSoFar(), 0);
  mixer.Pause(0);
  ASSERT_TRUE(WaitFor([&] { return mixer.GetMillisecondsPlayedSoFar() > 1000 || !mixer.Playing(); }));
  mixer.Pause(1);
  const long paused = mixer.GetMillisecondsPlayedSoFar();
  platform::sleep_ms(30);
  EXPECT_EQ(mixer.GetMillisecondsPlayedSoFar(), paused);
  mixer.Pause(0);
  ASSERT_TRUE(WaitForTheEnd(mixer));
  EXPECT_EQ(mixer.GetDeviceError(), 0u);

  std::vector<int16_t> live = WaveSamples(whole);
  std::vector<int16_t> offline = Offline(0, length);
  ASSERT_GE(live.size(), offline.size());
  live.resize(offline.size());
  EXPECT_EQ(FirstDifference(live, offline), -1);

  const std::string tail = UseWaveDevice("tail.wav", true);
  ASSERT_EQ(mixer.Play(root_, 1300, 0), 1);
  ASSERT_TRUE(WaitForTheEnd(mixer));
  live = WaveSamples(tail);
  offline = Offline(1300, length);
  ASSERT_GE(live.size(), offline.size());
  live.resize(offline.size());
  EXPECT_EQ(FirstDifference(live, offline), -1);
}

// A device that fails while playing ends playback with its reason; one that cannot be opened
// refuses Play. Either way the next Play starts afresh.
TEST_F(PlaybackTest, DeviceFailuresEndPlaybackWithTheirReason) {
  AddOwned(NewSound(Staircase(88200, 10)), root_, 0);
  CPCMMixer& mixer = Mixer(Record(1764, 4));

  setenv("QUARL_AUDIO", "null,fail-after=100", 1);
  ASSERT_EQ(mixer.Play(root_, 0, 0), 1);
  ASSERT_TRUE(WaitForTheEnd(mixer));
  std::string why;
  EXPECT_EQ(mixer.GetDeviceError(&why), sonark::kErrDeviceFailed);
  EXPECT_FALSE(why.empty());

  setenv("QUARL_AUDIO", "no-such-backend", 1);
  EXPECT_EQ(mixer.Play(root_, 0, 0), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrDeviceOpen);
  EXPECT_EQ(mixer.GetDeviceError(&why), sonark::kErrDeviceOpen);
  EXPECT_NE(why.find("no-such-backend"), std::string::npos) << why;
  EXPECT_EQ(mixer.Playing(), 0);

  setenv("QUARL_AUDIO", "null", 1);
  ASSERT_EQ(mixer.Play(root_, 1900, 0), 1);
  EXPECT_EQ(mixer.GetDeviceError(), 0u);
  ASSERT_TRUE(WaitForTheEnd(mixer));
  EXPECT_EQ(mixer.GetDeviceError(), 0u);
}

// Without a device position the played time is the clock since Play, less what the buffers
// hold once that much has passed.
TEST_F(PlaybackTest, PlayedTimeFallsBackToTheClockLessTheLatency) {
  class Deviceless : public CPCMMixer {
   public:
    using CPCMMixer::CPCMMixer;
    ~Deviceless() override { StopBeingCurrent(); }
    int Open() override { return 1; }
    int Mix() override { return 0; }
  };
  AddOwned(NewSound(Staircase(44100, 10)), root_, 0);
  const _tInitMixer record = Record(1764, 2);  // two buffers of 10 ms
  Deviceless mixer(&record);
  ASSERT_EQ(mixer.Latency(), 20);
  const uint64_t start = platform::monotonic_ms();
  ASSERT_EQ(mixer.Play(root_, 0, 0), 1);
  platform::sleep_ms(60);
  const long played = mixer.GetMillisecondsPlayedSoFar();
  const auto elapsed = static_cast<long>(platform::monotonic_ms() - start);
  EXPECT_GE(played, 40);
  EXPECT_LE(played, elapsed - 20);
  mixer.Stop();
}

// The user's thread stops, pauses and moves the play position while the mixing thread pumps:
// no deadlock, and the device gets every block once. Each frame of the sound carries its own
// number, so the captured stream may only jump where playback was moved to.
TEST_F(PlaybackTest, TransportFromAnotherThreadNeitherLosesNorRepeatsBlocks) {
  constexpr long kFrames = 441000;  // 10 s
  Source numbered;
  for (long f = 1; f <= kFrames; ++f) {
    numbered.values.push_back(static_cast<int16_t>(f & 0x7FFF));
    numbered.values.push_back(static_cast<int16_t>(f >> 15));
  }
  AddOwned(NewSound(numbered), root_, 0);
  const std::string captured = UseWaveDevice("moves.wav", false);
  CPCMMixer& mixer = Mixer(Record(1764, 4));
  std::set<long> starts = {1};
  std::mt19937 random(7);
  ASSERT_EQ(mixer.Play(root_, 0, 0), 1);
  // Now and then the device plays a little, however busy the machine, so that the capture
  // holds stretches to check and jumps between them.
  auto letItPlay = [&] {
    mixer.Pause(0);
    if (!mixer.Playing()) {
      mixer.Play(root_, 0, 0);
      starts.insert(1);
    }
    const long from = mixer.GetMillisecondsPlayedSoFar();
    WaitFor([&] { return mixer.GetMillisecondsPlayedSoFar() >= from + 30 || !mixer.Playing(); },
            5000);
  };
  for (int i = 0; i < 3000; ++i) {
    if (i % 300 == 0) letItPlay();
    switch (random() % 4) {
      case 0: {
        const long ms = static_cast<long>(random() % 900) * 10;
        mixer.Stop();
        mixer.Play(root_, ms, 0);
        starts.insert(ms * 441 / 10 + 1);
        break;
      }
      case 1:
        mixer.Pause(!mixer.IsPaused());
        break;
      case 2:
        mixer.Stop();
        break;
      default:
        if (!mixer.Playing()) {
          mixer.Play(root_, 0, 0);
          starts.insert(1);
        }
    }
    if (random() % 8 == 0) platform::sleep_ms(1);
  }
  letItPlay();
  mixer.Stop();
  ASSERT_TRUE(WaitForTheEnd(mixer));
  const std::vector<int16_t> live = WaveSamples(captured);
  ASSERT_GT(live.size(), 0u);
  auto number = [&](size_t frame) {
    return static_cast<long>(static_cast<uint16_t>(live[frame * 2])) |
           (static_cast<long>(live[frame * 2 + 1]) << 15);
  };
  long jumps = 0;
  for (size_t f = 0; f + 1 < live.size() / 2; ++f) {
    const long next = number(f + 1);
    if (next == number(f) + 1 || next == 0) continue;
    ++jumps;
    ASSERT_TRUE(starts.count(next) == 1) << "frame " << f + 1 << " jumps to " << next;
  }
  EXPECT_GT(jumps, 0);
}

}  // namespace
