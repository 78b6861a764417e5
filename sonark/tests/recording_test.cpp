#include <gtest/gtest.h>
#include <platform/clock.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/load/peaks.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/temp_paths.h>
#include <sonark/tests/mixer_test_support.h>
#include <sonark/tests/wave_test_support.h>
#include <tarnell/file_obj.h>
#include <tarnell/ref_ptr.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Recording through the engine's mixing thread from the wave-file input device, which records
// a given file: what it records must be that file, sample for sample.
namespace {

using namespace mixer_test;
namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

// A mixer that keeps what its meter reports.
class MeterMixer : public CPCMMixer {
 public:
  struct Level {
    double left;
    double right;
    long position;
  };
  using CPCMMixer::CPCMMixer;
  ~MeterMixer() override { StopBeingCurrent(); }
  void UpdatePeak(double left, double right, long position) override {
    std::lock_guard<std::mutex> hold(lock_);
    levels_.push_back({left, right, position});
  }
  std::vector<Level> Levels() {
    std::lock_guard<std::mutex> hold(lock_);
    return levels_;
  }

 private:
  std::mutex lock_;
  std::vector<Level> levels_;
};

// Samples of a varying loudness, so that every meter step and every peak has its own maximum.
Bytes Varied(const tWAVEFORMATEX& format, long frames) {
  Bytes out;
  uint32_t seed = 12345;
  for (long i = 0; i < frames; ++i) {
    const int loudness = 200 + static_cast<int>((i / 700) % 37) * 850;
    for (int c = 0; c < format.nChannels; ++c) {
      seed = seed * 1103515245u + 12345u;
      const int v = static_cast<int>((seed >> 8) % static_cast<uint32_t>(2 * loudness)) - loudness;
      if (format.wBitsPerSample == 8) {
        out.push_back(static_cast<unsigned char>((v >> 8) + 128));
      } else {
        out.push_back(static_cast<unsigned char>(v & 0xFF));
        out.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
      }
    }
  }
  return out;
}

// The largest absolute left and right sample of `data` in [from, to) (bytes), as the meter and
// the peaks measure them (an 8-bit sample counts as its 16-bit value).
std::pair<long, long> Loudest(const Bytes& data, const tWAVEFORMATEX& f, size_t from, size_t to) {
  long side[2] = {0, 0};
  to = std::min(to, data.size());
  for (size_t at = from; at + f.nBlockAlign <= to; at += f.nBlockAlign) {
    for (int c = 0; c < f.nChannels; ++c) {
      long v = 0;
      if (f.wBitsPerSample == 8) {
        v = (static_cast<long>(data[at + c]) - 128) * 256;
      } else {
        v = static_cast<int16_t>(data[at + 2 * c] | data[at + 2 * c + 1] << 8);
      }
      side[c] = std::max(side[c], std::labs(v));
    }
  }
  if (f.nChannels == 1) side[1] = side[0];
  return {side[0], side[1]};
}

// Removes the file-size limit a test set, whatever happens in the test.
struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
  }
  rlimit old{};
};

class RecordingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tessel-recording-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    SetTempSndPath((dir_ + "/cache").c_str());
    root_ = new FixedGroup();
  }
  void TearDown() override {
    Finish();
    CAudioAtom* root = root_;
    DeleteAtom(&root);
    SetTempSndPath(nullptr);
    fs::remove_all(dir_);
    setenv("QUARL_AUDIO", "null", 1);
  }

  // The input device records `input` (a wave of `format`), in real time or as fast as it is
  // asked.
  void UseInput(const Bytes& input, const tWAVEFORMATEX& format, bool fast = true) {
    const std::string in = dir_ + "/in.wav";
    ASSERT_TRUE(wave_test::WriteFile(
        in, wave_test::PcmWave(format.nChannels, format.nSamplesPerSec, format.wBitsPerSample, input)));
    const std::string value = "wav:out=" + dir_ + "/played.wav,in=" + in + (fast ? ",fast" : "");
    setenv("QUARL_AUDIO", value.c_str(), 1);
  }

  // Starts recording `format` into `path` on a new mixer (16 buffers of 4096 bytes).
  int Start(const tWAVEFORMATEX& format, const std::string& path, bool play = false) {
    const _tInitMixer playback{kDefaultWaveDevice, 8, 16384, Pcm(44100, 2, 16)};
    mixer_ = std::make_unique<MeterMixer>(&playback);
    const _tInitMixer input{kDefaultWaveDevice, 16, 4096, format};
    mixer_->InitRecording(&input);
    if (play) {
      AddOwned(NewSound(Staircase(44100 * 3, 10)), root_, 0);
      EXPECT_EQ(mixer_->Play(root_, 0, 0), 1);
    }
    sound_ = new CPCMSound();
    return sound_->Record(0, &format, path.c_str(), 1, 10);
  }

  // Lets go of the recorded sound and the mixer, for the next recording.
  void Finish() {
    if (sound_ != nullptr) {
      CAudioAtom* sound = sound_;
      sound_ = nullptr;
      DeleteAtom(&sound);
    }
    mixer_.reset();
  }

  // Records until `bytes` have come in, then stops.
  void RecordBytes(uint64_t bytes) {
    ASSERT_TRUE(WaitFor([&] { return mixer_->GetRecordPosition() >= bytes; }));
    ASSERT_EQ(sound_->Record(1, nullptr, nullptr, 0, 0), 1);
  }

  // The peaks a later load of the finished file builds (from a copy, which has no peak file).
  std::vector<unsigned char> LoadedPeaks(const std::string& path) {
    const std::string copy = dir_ + "/copy.wav";
    fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
    RefPtr<CFileObj> file(new CFileObj());
    EXPECT_EQ(file->Open(copy.c_str(), 0, 0), 1);
    auto* loaded = new CPCMSound();
    EXPECT_EQ(loaded->InitialLoad(file.get(), 2000, 1, 1, 0, 0, 10, nullptr, nullptr), 1);
    std::vector<unsigned char> peaks;
    if (CPeaks* p = loaded->GetPeaks()) peaks.assign(p->GetDataPtr(), p->GetDataPtr() + p->GetNumPeaks());
    CAudioAtom* atom = loaded;
    DeleteAtom(&atom);
    return peaks;
  }

  static std::vector<unsigned char> Peaks(CPCMSound* sound) {
    CPeaks* p = sound->GetPeaks();
    if (p == nullptr || p->GetDataPtr() == nullptr) return {};
    return std::vector<unsigned char>(p->GetDataPtr(), p->GetDataPtr() + p->GetNumPeaks());
  }

  std::string dir_;
  CSoundGroup* root_ = nullptr;
  std::unique_ptr<MeterMixer> mixer_;
  CPCMSound* sound_ = nullptr;
};

constexpr size_t kHeader = 46;  // RIFF, "fmt " of 18 bytes, "data" header

// The recording is the input, sample for sample, alone and while a session plays; its peaks
// are those a later load of the file builds; the meter reports each 80 ms of input once, with
// its loudest samples.
TEST_F(RecordingTest, RecordsTheInputExactlyWithPeaksAndLevels) {
  for (const bool play : {false, true}) {
    SCOPED_TRACE(play ? "while playing" : "alone");
    const tWAVEFORMATEX format = Pcm(44100, 2, 16);
    const Bytes input = Varied(format, 44100 * 3 / 2 + 77);
    UseInput(input, format, play);
    const std::string path = dir_ + (play ? "/over.wav" : "/take.wav");
    ASSERT_EQ(Start(format, path, play), 1);
    EXPECT_EQ(mixer_->Recording(), 1);
    RecordBytes(input.size());
    EXPECT_EQ(mixer_->Recording(), 0);

    const Bytes file = wave_test::ReadFile(path);
    ASSERT_GE(file.size(), kHeader + input.size());
    uint32_t dataSize = 0;
    std::memcpy(&dataSize, &file[42], 4);
    EXPECT_EQ(dataSize, file.size() - kHeader);
    EXPECT_TRUE(std::equal(input.begin(), input.end(), file.begin() + kHeader));
    EXPECT_TRUE(std::all_of(file.begin() + kHeader + static_cast<long>(input.size()), file.end(),
                            [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(sound_->IsRecording(), 0);
    EXPECT_EQ(sound_->Length(0), static_cast<long>(dataSize / 4 * 1000 / 44100));

    // 1764 bytes a peak: the same peaks, the last, short one included.
    const std::vector<unsigned char> recorded = Peaks(sound_);
    EXPECT_EQ(recorded.size(), (dataSize + 1763) / 1764);
    EXPECT_EQ(recorded, LoadedPeaks(path));

    // Each report covers at least 80 ms (14112 bytes) since the one before, with its maxima.
    const auto levels = mixer_->Levels();
    ASSERT_GE(levels.size(), play ? 1u : 10u);
    long from = 0;
    for (const auto& level : levels) {
      ASSERT_GE(level.position - from, 14112);
      const auto [left, right] = Loudest(input, format, static_cast<size_t>(from),
                                         static_cast<size_t>(level.position));
      EXPECT_EQ(level.left, left / 32767.0) << level.position;
      EXPECT_EQ(level.right, right / 32767.0) << level.position;
      from = level.position;
    }
    Finish();
  }
}

// At 22050 Hz mono 8-bit a peak of 10 ms is 220.5 bytes: peaks are 220 bytes, and where the
// half bytes add up to a whole peak (after 441 of them) one boundary is left out, so that
// peak covers 440 bytes. A load of the file does the same, so the two agree.
TEST_F(RecordingTest, PeaksOfFractionalBytesMergeTheSkippedBoundary) {
  const tWAVEFORMATEX format = Pcm(22050, 1, 8);
  Bytes input(22050 * 6 + 33, 130);
  input[220 * 440 + 17] = 250;  // in the slice whose boundary is left out
  input[220 * 442 + 5] = 20;    // in the peak after the merged one
  UseInput(input, format);
  const std::string path = dir_ + "/fraction.wav";
  ASSERT_EQ(Start(format, path), 1);
  RecordBytes(input.size());
  const std::vector<unsigned char> peaks = Peaks(sound_);
  ASSERT_GT(peaks.size(), 500u);
  EXPECT_EQ(peaks[439], 2 * 256 * 255 / 32767);
  EXPECT_EQ(peaks[440], 122 * 256 * 255 / 32767);  // bytes 96800 ... 97239
  EXPECT_EQ(peaks[441], 108 * 256 * 255 / 32767);  // bytes 97240 ... 97459
  EXPECT_EQ(peaks[442], 2 * 256 * 255 / 32767);
  const Bytes file = wave_test::ReadFile(path);
  const size_t data = file.size() - kHeader;
  // One peak fewer for every 441 whole slices of 220 bytes, and the last, short one.
  const size_t slices = data / 220;
  EXPECT_EQ(peaks.size(), slices - slices / 441 + (data % 220 != 0 ? 1 : 0));
  EXPECT_EQ(peaks, LoadedPeaks(path));
}

// A write that fails ends the recording at once; the file is a complete wave file of what
// was written before. When the very first write fails it is one with an empty data chunk.
TEST_F(RecordingTest, WriteFailureEndsTheRecordingWithAValidFile) {
  const tWAVEFORMATEX format = Pcm(44100, 2, 16);
  const Bytes input = Varied(format, 44100);
  UseInput(input, format);
  for (const rlim_t limit : {rlim_t{30000}, rlim_t{kHeader}}) {
    SCOPED_TRACE(limit);
    const std::string path = dir_ + "/full" + std::to_string(limit) + ".wav";
    {
      FileSizeLimit small(limit);
      ASSERT_EQ(Start(format, path), 1);
      ASSERT_TRUE(WaitFor([&] { return mixer_->Recording() == 0; }));
      std::string why;
      EXPECT_EQ(mixer_->GetRecordError(&why), sonark::kErrRecordWrite);
      EXPECT_FALSE(why.empty());
      EXPECT_EQ(sound_->IsRecording(), 1);  // the stop is still to come
      EXPECT_EQ(sound_->Record(1, nullptr, nullptr, 0, 0), 1);
    }
    const Bytes file = wave_test::ReadFile(path);
    ASSERT_GE(file.size(), kHeader);
    uint32_t riffSize = 0;
    uint32_t dataSize = 0;
    std::memcpy(&riffSize, &file[4], 4);
    std::memcpy(&dataSize, &file[42], 4);
    EXPECT_LE(file.size(), limit);
    EXPECT_EQ(riffSize, 38 + dataSize);
    EXPECT_EQ(dataSize % 4096, 0u);  // whole blocks, and only those
    EXPECT_EQ(kHeader + dataSize, file.size());  // nothing of the failed block is left behind
    if (limit == kHeader) {
      EXPECT_EQ(dataSize, 0u);
      EXPECT_EQ(sound_->Length(0), 0);
    } else {
      EXPECT_GT(dataSize, 0u);
      EXPECT_TRUE(std::equal(file.begin() + kHeader, file.begin() + kHeader + dataSize, input.begin()));
      EXPECT_EQ(sound_->Length(0), static_cast<long>(dataSize / 4 * 1000 / 44100));
    }
    Finish();
  }
}

// Where the file cannot be made the recording is kept in memory; where the input cannot be
// opened nothing starts and the reason is kept. The duplex test tells which side failed.
TEST_F(RecordingTest, FallbacksRefusalsAndTheDuplexTest) {
  const tWAVEFORMATEX format = Pcm(22050, 1, 16);
  const Bytes input = Varied(format, 22050);
  UseInput(input, format);
  ASSERT_EQ(Start(format, "/proc/self/no-such-dir/take.wav"), 1);
  RecordBytes(input.size());
  EXPECT_GE(sound_->DataLength(), 1000);
  EXPECT_EQ(sound_->GetRefObj()->DataSize() >= static_cast<long>(input.size()), true);

  tWAVEFORMATEX output = Pcm(44100, 2, 16);
  tWAVEFORMATEX in = format;
  EXPECT_EQ(mixer_->FullDuplexTest(kDefaultWaveDevice, &in, &output), 1);
  EXPECT_EQ(mixer_->GetRecordError(), 0u);

  // Another rate than the input file's: the device refuses it.
  tWAVEFORMATEX other = Pcm(44100, 1, 16);
  std::string why;
  EXPECT_EQ(mixer_->FullDuplexTest(kDefaultWaveDevice, &other, &output), 0);
  EXPECT_EQ(mixer_->GetRecordError(&why), sonark::kErrInputDeviceOpen);
  EXPECT_NE(why.find("22050"), std::string::npos) << why;

  auto* refused = new CPCMSound();
  const std::string path = dir_ + "/refused.wav";
  EXPECT_EQ(refused->Record(0, &other, path.c_str(), 1, 10), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrInputDeviceOpen);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(refused->IsRecording(), 0);
  CAudioAtom* atom = refused;
  DeleteAtom(&atom);

  setenv("QUARL_AUDIO", "null", 1);
  EXPECT_EQ(mixer_->FullDuplexTest(kDefaultWaveDevice, &other, &output), 1);
  setenv("QUARL_AUDIO", "wav:in=/nonexistent/in.wav", 1);
  EXPECT_EQ(mixer_->FullDuplexTest(kDefaultWaveDevice, &other, &output), 0);
  EXPECT_EQ(mixer_->GetRecordError(&why), sonark::kErrInputDeviceOpen);
  EXPECT_NE(why.find("/nonexistent/in.wav"), std::string::npos) << why;
}

}  // namespace
