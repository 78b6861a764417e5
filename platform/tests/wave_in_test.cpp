#include <platform/wave_in.h>
#include <platform/tests/wave_test_support.h>

using namespace platform;
using namespace wave_test;

namespace {

// A header over its own bytes, filled with 0x5A so that what the device did not write shows.
struct Buffer : HeaderBuffer {
  explicit Buffer(size_t size) : HeaderBuffer(size, 0x5A) {}
};

std::unique_ptr<WaveIn> OpenOk(const tWAVEFORMATEX& format = kCd) {
  return wave_test::OpenOk<WaveIn>(format);
}

std::vector<int16_t> Noise(size_t count) {
  std::vector<int16_t> samples(count);
  uint32_t x = 12345;
  for (auto& s : samples) {
    x = x * 1664525 + 1013904223;
    s = static_cast<int16_t>(x >> 16);
  }
  samples[0] = -32768;  // the extremes convert exactly too
  samples[1] = 32767;
  return samples;
}

}  // namespace

// Fast input waits for headers instead of losing input, reproduces the file exactly (in its own
// format and converted), and records silence once the file has ended.
TEST(WaveInWav, FastRecordsTheFileExactlyThenSilence) {
  TempDir dir;
  const std::vector<int16_t> samples = Noise(2000);  // 1000 stereo frames
  struct Case {
    tWAVEFORMATEX format;
    bool streamed;
  };
  for (const Case& c : {Case{kCd, false}, Case{PcmFormat(44100, 1, 8), true}}) {
    SCOPED_TRACE(static_cast<int>(c.format.wBitsPerSample));
    const std::string path = dir / "in.wav";
    WriteWave(path, samples, 44100, c.streamed);
    ScopedAudio audio("wav:in=" + path + ",fast");
    std::vector<unsigned char> expected;
    for (size_t i = 0; i < samples.size(); i += 2) {
      if (c.format.nChannels == 2) {
        for (int16_t s : {samples[i], samples[i + 1]}) {
          expected.push_back(static_cast<unsigned char>(s));
          expected.push_back(static_cast<unsigned char>(s >> 8));
        }
      } else {
        expected.push_back(static_cast<unsigned char>(((samples[i] + samples[i + 1]) >> 1 >> 8) + 128));
      }
    }
    const size_t block = c.format.nBlockAlign;
    auto device = OpenOk(c.format);
    ASSERT_TRUE(device);
    ASSERT_EQ(device->Start(), kWaveOk);
    sleep_ms(20);  // with no header queued, fast input waits
    std::vector<std::unique_ptr<Buffer>> buffers;
    for (int i = 0; i < 3; ++i) {
      buffers.push_back(std::make_unique<Buffer>(400 * block));
      ASSERT_EQ(device->Prepare(&buffers.back()->header), kWaveOk);
      ASSERT_EQ(device->AddBuffer(&buffers.back()->header), kWaveOk);
    }
    for (auto& b : buffers) ASSERT_TRUE(WaitFor([&] { return b->done(); }));
    std::vector<unsigned char> got;
    for (auto& b : buffers) {
      EXPECT_EQ(b->flags(), kWaveHeaderDone | kWaveHeaderPrepared);
      EXPECT_EQ(b->header.bytesRecorded, b->header.length);
      got.insert(got.end(), b->bytes.begin(), b->bytes.end());
    }
    ASSERT_EQ(got.size(), 1200 * block);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin()));
    const unsigned char silence = c.format.wBitsPerSample == 8 ? 128 : 0;
    EXPECT_TRUE(std::all_of(got.begin() + 1000 * block, got.end(),
                            [&](unsigned char v) { return v == silence; }));
    EXPECT_GE(Position(*device), 1200 * block);
  }
}

// Stop hands back the header being filled and keeps the empty ones; Reset hands back all of
// them and starts the position afresh. Meanwhile this thread reads below the position, as the
// engine does, while the device fills the same header further on.
TEST(WaveInNull, StopAndResetHandBackHeadersWithWhatTheyHold) {
  ScopedAudio audio("null");
  EXPECT_EQ(WaveInBackendName(), "null");
  ASSERT_EQ(WaveInDeviceCount(), 1u);
  const tWAVEFORMATEX format = PcmFormat(8000, 1, 8);
  auto device = OpenOk(format);
  ASSERT_TRUE(device);
  Buffer a(32000), c(32000), d(32000);  // four seconds each
  for (Buffer* b : {&a, &c, &d}) {
    ASSERT_EQ(device->Prepare(&b->header), kWaveOk);
    ASSERT_EQ(device->AddBuffer(&b->header), kWaveOk);
  }
  Buffer empty(0);
  ASSERT_EQ(device->Prepare(&empty.header), kWaveOk);
  EXPECT_EQ(device->AddBuffer(&empty.header), kWaveError);
  ASSERT_EQ(device->Start(), kWaveOk);
  uint64_t seen = 0;
  ASSERT_TRUE(WaitFor([&] {
    seen = Position(*device);
    for (uint64_t i = 0; i < seen; ++i) EXPECT_EQ(a.bytes[i], 128) << i;
    return seen >= 40;
  }));
  ASSERT_EQ(device->Stop(), kWaveOk);
  ASSERT_EQ(a.flags(), kWaveHeaderDone | kWaveHeaderPrepared);
  const uint64_t stopped = Position(*device);
  EXPECT_GE(a.header.bytesRecorded, seen);
  EXPECT_EQ(a.header.bytesRecorded, stopped);
  EXPECT_LT(stopped, a.bytes.size());
  EXPECT_EQ(a.bytes[stopped - 1], 128);
  EXPECT_EQ(a.bytes[stopped], 0x5A);
  for (Buffer* b : {&c, &d}) EXPECT_EQ(b->flags(), kWaveHeaderInQueue | kWaveHeaderPrepared);
  sleep_ms(20);
  EXPECT_EQ(Position(*device), stopped);  // stopped, the position keeps its value

  // Recording goes on into the next header; Reset ends it with what it holds.
  ASSERT_EQ(device->Start(), kWaveOk);
  ASSERT_TRUE(WaitFor([&] { return Position(*device) > stopped; }));
  ASSERT_EQ(device->Reset(), kWaveOk);
  EXPECT_EQ(c.flags(), kWaveHeaderDone | kWaveHeaderPrepared);
  EXPECT_GT(c.header.bytesRecorded, 0u);
  EXPECT_EQ(d.flags(), kWaveHeaderDone | kWaveHeaderPrepared);
  EXPECT_EQ(d.header.bytesRecorded, 0u);
  EXPECT_EQ(Position(*device), 0u);
  EXPECT_EQ(device->Overruns(), 0u);
}

TEST(WaveIn, RefusalsFailuresAndLostInput) {
  TempDir dir;
  int result = -1;
  std::string why;
  const std::string good = dir / "22k.wav";
  WriteWave(good, Noise(200), 22050, false);
  {
    ScopedAudio audio("wav:in=" + good);
    EXPECT_FALSE(WaveIn::Open(kWaveDefaultDevice, kCd, &result, &why));
    EXPECT_EQ(result, kWaveBadFormat);
    EXPECT_EQ(why, "cannot record from " + good +
                       ": it is sampled at 22050 Hz, the recording at 44100 Hz");
    EXPECT_FALSE(WaveIn::Open(1, PcmFormat(22050, 2, 16), &result, &why));
    EXPECT_EQ(result, kWaveBadDevice);
    EXPECT_FALSE(WaveIn::Open(0, PcmFormat(22050, 2, 24), &result, &why));
    EXPECT_EQ(result, kWaveBadFormat);
    EXPECT_EQ(why, "cannot record 22050 Hz, 2 channels, 24-bit: only 8- or 16-bit samples are "
                   "supported");
    // The output side of an input-only choice plays nothing.
    WaveInDeviceInfo info;
    ASSERT_EQ(WaveInDeviceDescribe(0, &info), kWaveOk);
    EXPECT_EQ(info.name, good);
    int outResult = -1;
    EXPECT_TRUE(WaveOut::Open(kWaveDefaultDevice, kCd, &outResult));
    EXPECT_EQ(outResult, kWaveOk);
  }
  const std::string damaged = dir / "damaged.wav";
  std::ofstream(damaged, std::ios::binary) << std::string("RIFF\x04\0\0\0WAVEdata", 16);
  for (const auto& [path, reason] :
       {std::pair{dir / "missing.wav", std::string("cannot open ") + (dir / "missing.wav") +
                                           ": No such file or directory"},
        std::pair{damaged, "cannot record from " + damaged + ": it has no format chunk"}}) {
    ScopedAudio audio("wav:in=" + path);
    EXPECT_FALSE(WaveIn::Open(kWaveDefaultDevice, kCd, &result, &why));
    EXPECT_EQ(result, kWaveError);
    EXPECT_EQ(why, reason);
  }
  {
    ScopedAudio audio("wav:fast");
    EXPECT_FALSE(WaveIn::Open(kWaveDefaultDevice, kCd, &result, &why));
    EXPECT_EQ(why, "QUARL_AUDIO=wav:fast names no file: use wav:out=FILE and/or in=FILE");
  }
  {
    // With no header queued, input is lost as one overrun, and the position does not count it.
    ScopedAudio audio("null,fail-after=500");
    auto device = OpenOk();
    ASSERT_TRUE(device);
    ASSERT_EQ(device->Start(), kWaveOk);
    ASSERT_TRUE(WaitFor([&] { return device->Overruns() == 1; }));
    platform::sleep_ms(20);
    EXPECT_EQ(device->Overruns(), 1u);
    EXPECT_EQ(Position(*device), 0u);
    EXPECT_EQ(device->Poll(), kWaveOk);
    // Then fail-after: the queued header fails, and so does one added later.
    Buffer a(176400), later(400);
    for (Buffer* b : {&a, &later}) ASSERT_EQ(device->Prepare(&b->header), kWaveOk);
    ASSERT_EQ(device->AddBuffer(&a.header), kWaveOk);
    ASSERT_TRUE(WaitFor([&] { return device->Poll() == kWaveError; }));
    EXPECT_EQ(a.flags(), kWaveHeaderDone | kWaveHeaderFailed | kWaveHeaderPrepared);
    EXPECT_EQ(device->ErrorText(), "the device stopped after 500 ms of recording (fail-after=500)");
    EXPECT_EQ(device->AddBuffer(&later.header), kWaveError);
    EXPECT_EQ(later.flags(), kWaveHeaderDone | kWaveHeaderFailed | kWaveHeaderPrepared);
  }
}

// Real capture through PortAudio and ALSA, whose file plugin feeds the default device's capture
// from a raw file. In a child process, so that PortAudio starts with that configuration.
TEST(WaveInPortAudio, RecordsThroughAlsaFromAFile) {
  const std::vector<int16_t> samples = Noise(2 * 44100);  // a second of stereo
  const char* raw = getenv("WAVE_IN_TEST_RAW");
  if (!raw) {
    TempDir dir;
    const std::string conf = dir / "asound.conf";
    const std::string rawPath = dir / "in.raw";
    std::ofstream(rawPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()),
               static_cast<std::streamsize>(samples.size() * 2));
    std::ofstream(conf) << "pcm.!default { type file; slave.pcm \"nullio\"; file \"/dev/null\"; "
                           "infile \""
                        << rawPath << "\"; format \"raw\" }\npcm.nullio { type null }\n"
                                      "ctl.!default { type hw; card 0 }\n";
    RunInAlsaChild(conf, "WAVE_IN_TEST_RAW", rawPath, "WaveInPortAudio.*");
    return;
  }

  ASSERT_EQ(WaveInBackendName(), "portaudio");
  WaveInDeviceInfo info;
  ASSERT_EQ(WaveInDeviceDescribe(kWaveDefaultDevice, &info), kWaveOk);
  EXPECT_TRUE(info.isDefault);
  int result = -1;
  EXPECT_FALSE(WaveIn::Open(WaveInDeviceCount(), kCd, &result));
  EXPECT_EQ(result, kWaveBadDevice);

  auto device = OpenOk();
  ASSERT_TRUE(device);
  std::vector<std::unique_ptr<Buffer>> buffers;
  for (int i = 0; i < 3; ++i) {
    buffers.push_back(std::make_unique<Buffer>(4410 * 4));
    ASSERT_EQ(device->Prepare(&buffers.back()->header), kWaveOk);
    ASSERT_EQ(device->AddBuffer(&buffers.back()->header), kWaveOk);
  }
  Buffer last(44100 * 4);
  ASSERT_EQ(device->Prepare(&last.header), kWaveOk);
  ASSERT_EQ(device->AddBuffer(&last.header), kWaveOk);
  ASSERT_EQ(device->Start(), kWaveOk);
  for (auto& b : buffers) ASSERT_TRUE(WaitFor([&] { return b->done(); }, 5000));
  EXPECT_EQ(device->Poll(), kWaveOk);
  ASSERT_EQ(device->Stop(), kWaveOk);
  // ALSA's null device is not paced: the last header may be full and more input lost since.
  EXPECT_TRUE(last.done());
  EXPECT_GT(last.header.bytesRecorded, 0u);
  EXPECT_GE(Position(*device), 3 * 4410 * 4 + last.header.bytesRecorded);

  std::vector<unsigned char> got;
  for (auto& b : buffers) got.insert(got.end(), b->bytes.begin(), b->bytes.end());
  const auto* file = reinterpret_cast<const unsigned char*>(samples.data());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), file));
  EXPECT_EQ(device->Reset(), kWaveOk);
  EXPECT_EQ(Position(*device), 0u);
}
