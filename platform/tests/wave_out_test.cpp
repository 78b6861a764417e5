#include <platform/wave_out.h>
#include <platform/tests/wave_test_support.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <thread>

using namespace platform;
using namespace wave_test;
namespace fs = std::filesystem;

namespace {

// A buffer whose bytes count up from `first`, so that order and loss show in what is played.
struct Buffer : HeaderBuffer {
  Buffer(size_t size, unsigned char first) : HeaderBuffer(size) {
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(first + i * 7);
  }
};

std::unique_ptr<WaveOut> OpenOk(const tWAVEFORMATEX& format = kCd) {
  return wave_test::OpenOk<WaveOut>(format);
}

bool WaitDone(const Buffer& b, uint64_t timeoutMs) {
  return WaitFor([&] { return b.done(); }, timeoutMs);
}

}  // namespace

TEST(WaveOutNull, PlaysAtTheFormatsRatePausesAndResets) {
  ScopedAudio audio("null");
  ASSERT_EQ(WaveOutDeviceCount(), 1u);
  WaveOutDeviceInfo info;
  ASSERT_EQ(WaveOutDeviceDescribe(0, &info), kWaveOk);
  EXPECT_EQ(info.name, "null");
  EXPECT_TRUE(info.isDefault);
  EXPECT_EQ(info.defaultFormat.nSamplesPerSec, 44100u);
  EXPECT_EQ(WaveOutBackendName(), "null");

  auto device = OpenOk();
  ASSERT_TRUE(device);
  Buffer first(17640, 0);  // 100 ms
  ASSERT_EQ(device->Prepare(&first.header), kWaveOk);
  const uint64_t start = monotonic_ms();
  ASSERT_EQ(device->Write(&first.header), kWaveOk);
  EXPECT_TRUE(first.flags() & kWaveHeaderInQueue);
  ASSERT_TRUE(WaitDone(first, 2000));
  const uint64_t took = monotonic_ms() - start;
  EXPECT_GE(took, 80u);
  EXPECT_LT(took, 1000u);
  EXPECT_EQ(first.flags(), kWaveHeaderDone | kWaveHeaderPrepared);
  EXPECT_EQ(Position(*device), 17640u);

  // Paused, a written header waits and the position stands still.
  Buffer second(17640, 1);
  ASSERT_EQ(device->Pause(), kWaveOk);
  ASSERT_EQ(device->Prepare(&second.header), kWaveOk);
  ASSERT_EQ(device->Write(&second.header), kWaveOk);
  sleep_ms(150);
  EXPECT_FALSE(second.done());
  EXPECT_EQ(Position(*device), 17640u);
  ASSERT_EQ(device->Restart(), kWaveOk);
  ASSERT_TRUE(WaitDone(second, 2000));
  EXPECT_EQ(Position(*device), 35280u);
  // The queue ran dry after the first header and another came: one gap.
  EXPECT_EQ(device->Underruns(), 1u);

  // Reset lets go of a long header at once, not as a failure, and starts counting afresh.
  Buffer longOne(1764000, 2);  // 10 s
  ASSERT_EQ(device->Prepare(&longOne.header), kWaveOk);
  ASSERT_EQ(device->Write(&longOne.header), kWaveOk);
  EXPECT_EQ(device->Underruns(), 2u);  // dry again since the second
  sleep_ms(30);
  ASSERT_EQ(device->Reset(), kWaveOk);
  EXPECT_EQ(longOne.flags(), kWaveHeaderDone | kWaveHeaderPrepared);
  EXPECT_EQ(Position(*device), 0u);
  ASSERT_EQ(device->Prepare(&first.header), kWaveOk);
  ASSERT_EQ(device->Write(&first.header), kWaveOk);
  ASSERT_TRUE(WaitDone(first, 2000));
  EXPECT_EQ(device->Underruns(), 2u);  // after a reset a new header is a fresh start
  EXPECT_EQ(device->Poll(), kWaveOk);
  EXPECT_EQ(device->ErrorText(), "");
}

TEST(WaveOutNull, RefusesWhatItCannotTake) {
  {
    ScopedAudio audio("null");
    auto device = OpenOk();
    ASSERT_TRUE(device);
    Buffer b(400000, 0);
    EXPECT_EQ(device->Write(&b.header), kWaveUnprepared);
    ASSERT_EQ(device->Prepare(&b.header), kWaveOk);
    ASSERT_EQ(device->Write(&b.header), kWaveOk);
    EXPECT_EQ(device->Write(&b.header), kWaveStillPlaying);
    EXPECT_EQ(device->Prepare(&b.header), kWaveStillPlaying);
    EXPECT_EQ(device->Unprepare(&b.header), kWaveStillPlaying);
    Buffer partialFrame(6, 0);
    ASSERT_EQ(device->Prepare(&partialFrame.header), kWaveOk);
    EXPECT_EQ(device->Write(&partialFrame.header), kWaveError);
    device.reset();  // closing lets go of the queued header
    EXPECT_TRUE(b.done());

    int result = -1;
    std::string why;
    EXPECT_FALSE(WaveOut::Open(1, kCd, &result, &why));
    EXPECT_EQ(result, kWaveBadDevice);
    EXPECT_FALSE(WaveOut::Open(0, PcmFormat(44100, 2, 24), &result, &why));
    EXPECT_EQ(result, kWaveBadFormat);
    EXPECT_NE(why.find("24-bit"), std::string::npos) << why;
  }
  for (const char* bad : {"xyz", "null,fast", "wav:fast", "null,fail-after=soon"}) {
    ScopedAudio audio(bad);
    EXPECT_EQ(WaveOutDeviceCount(), 0u) << bad;
    int result = -1;
    std::string why;
    EXPECT_FALSE(WaveOut::Open(kWaveDefaultDevice, kCd, &result, &why));
    EXPECT_EQ(result, kWaveBadDevice);
    EXPECT_NE(why.find(std::string("QUARL_AUDIO=") + bad), std::string::npos) << why;
    EXPECT_EQ(WaveOutBackendProblem(), why);
  }
}

TEST(WaveOutWav, FastWritesExactlyWhatWasPlayedAndGoesOnAfterAReopen) {
  TempDir dir;
  const std::string path = dir / "o.wav";
  ScopedAudio audio("wav:out=" + path + ",fast");
  WaveOutDeviceInfo info;
  ASSERT_EQ(WaveOutDeviceDescribe(kWaveDefaultDevice, &info), kWaveOk);
  EXPECT_EQ(info.name, path);

  std::vector<unsigned char> expected;
  Buffer a(4000, 0), b(400, 1), c(804, 2), d(1200, 3);
  {
    auto device = OpenOk();
    ASSERT_TRUE(device);
    for (Buffer* x : {&a, &b, &c}) ASSERT_EQ(device->Prepare(&x->header), kWaveOk);
    ASSERT_EQ(device->Write(&a.header), kWaveOk);
    EXPECT_TRUE(a.done());
    ASSERT_EQ(device->Pause(), kWaveOk);
    ASSERT_EQ(device->Write(&b.header), kWaveOk);
    ASSERT_EQ(device->Write(&c.header), kWaveOk);
    EXPECT_FALSE(b.done());
    EXPECT_EQ(Position(*device), 4000u);
    ASSERT_EQ(device->Restart(), kWaveOk);
    EXPECT_TRUE(c.done());
    EXPECT_EQ(Position(*device), 5204u);
  }
  {
    auto device = OpenOk();  // the same path and format: goes on
    ASSERT_TRUE(device);
    ASSERT_EQ(device->Prepare(&d.header), kWaveOk);
    ASSERT_EQ(device->Write(&d.header), kWaveOk);
  }
  for (Buffer* x : {&a, &b, &c, &d}) expected.insert(expected.end(), x->bytes.begin(), x->bytes.end());

  const std::vector<unsigned char> file = ReadFile(path);
  ASSERT_EQ(file.size(), 44 + expected.size());
  EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
  EXPECT_EQ(GetLe32(&file[4]), 36 + expected.size());
  EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(GetLe32(&file[16]), 16u);
  EXPECT_EQ(memcmp(&file[20], &kCd, 16), 0);
  EXPECT_EQ(std::string(file.begin() + 36, file.begin() + 40), "data");
  EXPECT_EQ(GetLe32(&file[40]), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file.begin() + 44));

  // An odd amount of 8-bit mono: the chunk gets its pad byte, which a reopen takes back off.
  const std::string odd = dir / "odd.wav";
  ScopedAudio oddAudio("wav:out=" + odd + ",fast");
  Buffer three(3, 10), two(2, 20);
  for (Buffer* x : {&three, &two}) {
    auto device = OpenOk(PcmFormat(8000, 1, 8));
    ASSERT_TRUE(device);
    ASSERT_EQ(device->Prepare(&x->header), kWaveOk);
    ASSERT_EQ(device->Write(&x->header), kWaveOk);
  }
  const std::vector<unsigned char> oddFile = ReadFile(odd);
  ASSERT_EQ(oddFile.size(), 44u + 5 + 1);
  EXPECT_EQ(GetLe32(&oddFile[4]), 36u + 6);
  EXPECT_EQ(GetLe32(&oddFile[40]), 5u);
  EXPECT_EQ(std::vector<unsigned char>(oddFile.begin() + 44, oddFile.end()),
            (std::vector<unsigned char>{10, 17, 24, 20, 27, 0}));

  // A real reader agrees on the length.
  if (FILE* soxi = popen(("soxi -s '" + path + "' 2>/dev/null").c_str(), "r")) {
    char line[64] = {};
    const bool read = fgets(line, sizeof line, soxi) != nullptr;
    if (pclose(soxi) == 0 && read) {
      EXPECT_EQ(std::stoul(line), expected.size() / 4);
    }
  }
}

TEST(WaveOutWav, FailuresEndQueuedHeadersAndSayWhy) {
  TempDir dir;
  int result = -1;
  std::string why;
  {
    ScopedAudio audio("wav:out=" + (dir / "missing") + "/o.wav,fast");
    EXPECT_FALSE(WaveOut::Open(kWaveDefaultDevice, kCd, &result, &why));
    EXPECT_EQ(result, kWaveError);
    EXPECT_EQ(why, "cannot create " + (dir / "missing") + "/o.wav: No such file or directory");
  }
  {
    ScopedAudio audio("wav:out=/dev/full");
    EXPECT_FALSE(WaveOut::Open(kWaveDefaultDevice, kCd, &result, &why));
    EXPECT_EQ(result, kWaveError);
    EXPECT_EQ(why, "cannot write /dev/full: No space left on device");
  }
  {
    // A pipe whose reader goes away after the header: the next bytes cannot be written.
    signal(SIGPIPE, SIG_IGN);
    const std::string fifo = dir / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread reader([&] {
      const int fd = open(fifo.c_str(), O_RDONLY);
      char header[44];
      EXPECT_EQ(read(fd, header, sizeof header), 44);
      close(fd);
    });
    ScopedAudio audio("wav:out=" + fifo + ",fast");
    auto device = OpenOk();
    reader.join();
    ASSERT_TRUE(device);
    Buffer b(400, 0);
    ASSERT_EQ(device->Prepare(&b.header), kWaveOk);
    EXPECT_EQ(device->Write(&b.header), kWaveError);
    EXPECT_EQ(b.flags(), kWaveHeaderDone | kWaveHeaderFailed | kWaveHeaderPrepared);
    EXPECT_EQ(device->Poll(), kWaveError);
    EXPECT_EQ(device->ErrorText(), "cannot write " + fifo + ": Broken pipe");
  }
  {
    // fail-after: the first header plays, the rest of the queue fails with the device, and so
    // does everything written later.
    const std::string path = dir / "fail.wav";
    ScopedAudio audio("wav:out=" + path + ",fast,fail-after=100");
    auto device = OpenOk();
    ASSERT_TRUE(device);
    Buffer a(10000, 0), b(10000, 1), c(10000, 2), later(400, 3);
    for (Buffer* x : {&a, &b, &c, &later}) ASSERT_EQ(device->Prepare(&x->header), kWaveOk);
    ASSERT_EQ(device->Pause(), kWaveOk);
    for (Buffer* x : {&a, &b, &c}) ASSERT_EQ(device->Write(&x->header), kWaveOk);
    EXPECT_EQ(device->Poll(), kWaveOk);
    device->Restart();
    EXPECT_EQ(a.flags(), kWaveHeaderDone | kWaveHeaderPrepared);
    for (Buffer* x : {&b, &c}) {
      EXPECT_EQ(x->flags(), kWaveHeaderDone | kWaveHeaderFailed | kWaveHeaderPrepared);
    }
    EXPECT_EQ(device->Poll(), kWaveError);
    EXPECT_NE(device->ErrorText().find("fail-after=100"), std::string::npos);
    EXPECT_EQ(device->Write(&later.header), kWaveError);
    EXPECT_EQ(later.flags(), kWaveHeaderDone | kWaveHeaderFailed | kWaveHeaderPrepared);
    device.reset();
    EXPECT_EQ(fs::file_size(path), 44u + 17640);  // exactly 100 ms reached the file
  }
  {
    ScopedAudio audio("null,fail-after=50");
    auto device = OpenOk();
    ASSERT_TRUE(device);
    Buffer b(17640, 0);
    ASSERT_EQ(device->Prepare(&b.header), kWaveOk);
    ASSERT_EQ(device->Write(&b.header), kWaveOk);
    ASSERT_TRUE(WaitDone(b, 2000));
    EXPECT_EQ(b.flags(), kWaveHeaderDone | kWaveHeaderFailed | kWaveHeaderPrepared);
    EXPECT_EQ(device->Poll(), kWaveError);
    EXPECT_EQ(Position(*device), 8820u);
  }
}

// PortAudio reads the ALSA configuration once per process, so the body runs in a fresh copy of
// this program whose ALSA "default" writes raw samples to a file and plays them nowhere.
TEST(WaveOutPortAudio, PlaysThroughAlsaIntoAFile) {
  const char* raw = getenv("WAVE_OUT_TEST_RAW");
  if (!raw) {
    TempDir dir;
    const std::string conf = dir / "asound.conf";
    const std::string rawPath = dir / "out.raw";
    std::ofstream(conf) << "pcm.!default { type file; slave.pcm \"nullout\"; file \"" << rawPath
                        << "\"; format \"raw\" }\npcm.nullout { type null }\n"
                           "ctl.!default { type hw; card 0 }\n";
    RunInAlsaChild(conf, "WAVE_OUT_TEST_RAW", rawPath, "WaveOutPortAudio.*");
    return;
  }

  EXPECT_EQ(WaveOutBackendName(), "portaudio");
  const uint32_t count = WaveOutDeviceCount();
  bool listed = false;
  for (uint32_t i = 0; i < count; ++i) {
    WaveOutDeviceInfo info;
    ASSERT_EQ(WaveOutDeviceDescribe(i, &info), kWaveOk);
    if (info.name == "default") {
      listed = true;
      EXPECT_TRUE(info.isDefault);
      EXPECT_EQ(info.defaultFormat.nChannels, 2);
    }
  }
  EXPECT_TRUE(listed);
  int result = -1;
  std::string why;
  EXPECT_FALSE(WaveOut::Open(count, kCd, &result, &why));
  EXPECT_EQ(result, kWaveBadDevice);

  // A staircase: every 16-bit sample differs from its neighbours and from silence.
  std::vector<std::unique_ptr<Buffer>> stairs;
  std::vector<unsigned char> expected;
  for (int h = 0; h < 4; ++h) {
    auto b = std::make_unique<Buffer>(17640, 0);
    for (size_t i = 0; i < b->bytes.size() / 2; ++i) {
      const uint16_t v = static_cast<uint16_t>(1 + h * 8820 + i);
      b->bytes[2 * i] = static_cast<unsigned char>(v);
      b->bytes[2 * i + 1] = static_cast<unsigned char>(v >> 8);
    }
    expected.insert(expected.end(), b->bytes.begin(), b->bytes.end());
    stairs.push_back(std::move(b));
  }
  {
    auto device = OpenOk();
    ASSERT_TRUE(device);
    for (auto& b : stairs) {
      ASSERT_EQ(device->Prepare(&b->header), kWaveOk);
      ASSERT_EQ(device->Write(&b->header), kWaveOk);
    }
    for (auto& b : stairs) ASSERT_TRUE(WaitDone(*b, 5000));
    EXPECT_EQ(Position(*device), expected.size());
    EXPECT_EQ(device->Poll(), kWaveOk);

    // Paused, a header waits; a reset lets it go as played-out, not failed, and the device
    // stays paused until restarted.
    Buffer waiting(17640, 5), after(17640, 6);
    ASSERT_EQ(device->Pause(), kWaveOk);
    ASSERT_EQ(device->Prepare(&waiting.header), kWaveOk);
    ASSERT_EQ(device->Write(&waiting.header), kWaveOk);
    sleep_ms(50);
    EXPECT_FALSE(waiting.done());
    ASSERT_EQ(device->Reset(), kWaveOk);
    EXPECT_EQ(waiting.flags(), kWaveHeaderDone | kWaveHeaderPrepared);
    EXPECT_EQ(Position(*device), 0u);
    ASSERT_EQ(device->Prepare(&after.header), kWaveOk);
    ASSERT_EQ(device->Write(&after.header), kWaveOk);
    sleep_ms(50);
    EXPECT_FALSE(after.done());
    ASSERT_EQ(device->Restart(), kWaveOk);
    ASSERT_TRUE(WaitDone(after, 5000));
    EXPECT_EQ(Position(*device), 17640u);
  }
  const std::vector<unsigned char> played = ReadFile(raw);
  size_t start = 0;
  while (start + 1 < played.size() && played[start] == 0 && played[start + 1] == 0) start += 2;
  ASSERT_GE(played.size() - start, expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), played.begin() + start));

  {
    // A failure the device notices only when polled ends every later write. (Last: this open
    // of the ALSA device starts its file anew.)
    ScopedAudio audio("portaudio,fail-after=100");
    auto device = OpenOk();
    ASSERT_TRUE(device);
    Buffer a(17640, 0), later(400, 2);
    for (Buffer* x : {&a, &later}) ASSERT_EQ(device->Prepare(&x->header), kWaveOk);
    ASSERT_EQ(device->Write(&a.header), kWaveOk);
    ASSERT_TRUE(WaitDone(a, 5000));
    EXPECT_EQ(device->Poll(), kWaveError);
    EXPECT_EQ(device->ErrorText(), "the device stopped after 100 ms of playing (fail-after=100)");
    EXPECT_EQ(device->Write(&later.header), kWaveError);
    EXPECT_EQ(later.flags(), kWaveHeaderDone | kWaveHeaderFailed | kWaveHeaderPrepared);
    EXPECT_EQ(device->Poll(), kWaveError);
  }
}
