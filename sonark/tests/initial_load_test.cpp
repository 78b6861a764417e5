#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/load/initial_load.h>
#include <sonark/load/music_info.h>
#include <sonark/load/peaks.h>
#include <sonark/load/seek_map.h>
#include <sonark/temp_paths.h>
#include <tarnell/errors.h>
#include <tarnell/file_obj.h>
#include <tarnell/mem_obj.h>
#include <tarnell/tests/temp_dir.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "wave_test_support.h"

namespace {

using wave_test::Bytes;
using wave_test::Chunk;

// One initial load of a file or memory block, with the data object it loaded.
struct Loaded {
  CRefObj* object = nullptr;
  CInitialLoad load;
  int result = -2;
  uint32_t error = 0;
  ~Loaded() { DeleteRefObject(&object); }

  Bytes Data() {
    Bytes out(static_cast<size_t>(std::max(object->DataSize(), 0L)));
    EXPECT_EQ(object->SeekToData(0), 1);
    EXPECT_EQ(object->ReadData(reinterpret_cast<char*>(out.data()), static_cast<long>(out.size())),
              static_cast<long>(out.size()));
    return out;
  }
  tWAVEFORMATEX* Format() {
    format.reset(load.StealWaveFomatEx());
    return format.get();
  }
  struct Free {
    void operator()(tWAVEFORMATEX* f) const { std::free(f); }
  };
  std::unique_ptr<tWAVEFORMATEX, Free> format;
};

// What a progress callback saw, and how it answers.
struct Progress {
  std::vector<unsigned long> calls;
  // Answer per call, by index; calls past the end answer 1.
  std::vector<int> answers;
  static int Callback(unsigned long amount, void* context) {
    auto* self = static_cast<Progress*>(context);
    const size_t index = self->calls.size();
    self->calls.push_back(amount);
    return index < self->answers.size() ? self->answers[index] : 1;
  }
  unsigned long Total() const {
    unsigned long sum = 0;
    for (unsigned long c : calls) sum += c;
    return sum;
  }
};

class InitialLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    cache_ = dir_.File("cache");
    SetTempSndPath(cache_.c_str());
  }
  void TearDown() override { SetTempSndPath(nullptr); }

  std::unique_ptr<Loaded> LoadFile(const std::string& path, int peaks = 1, long msPerPeak = 10,
                                   Progress* progress = nullptr) {
    auto loaded = std::make_unique<Loaded>();
    auto* file = new CFileObj;
    loaded->object = file;
    EXPECT_EQ(file->Open(path.c_str(), 0, 0), 1) << path;
    platform::set_last_error(0x12345);
    loaded->result =
        loaded->load.DoInitialLoad(file, 0, 1, peaks, 0, msPerPeak,
                                   progress != nullptr ? &Progress::Callback : nullptr, progress);
    loaded->error = platform::last_error();
    return loaded;
  }

  std::unique_ptr<Loaded> LoadBytes(const Bytes& bytes, const std::string& name = "a.wav",
                                    int peaks = 1) {
    const std::string path = dir_.File(name);
    EXPECT_TRUE(wave_test::WriteFile(path, bytes));
    return LoadFile(path, peaks);
  }

  // The code a load of `bytes` named `name` is refused with; 0 when it loaded.
  uint32_t Refusal(const Bytes& bytes, const std::string& name = "a.wav") {
    auto loaded = LoadBytes(bytes, name);
    return loaded->result == 1 ? 0 : loaded->error;
  }

  std::string PeakFile(const std::string& sound) {
    char path[PATH_MAX];
    EXPECT_EQ(CPeaks::PeakFilePathFor(sound.c_str(), path, sizeof path, 0), 1);
    return path;
  }

  std::string SeekFile(const std::string& sound) {
    char path[PATH_MAX];
    EXPECT_EQ(MakeTempPath1(sound.c_str(), ".isk", path, sizeof path, 0), 1);
    return path;
  }

  TempDir dir_;
  std::string cache_;
  const Bytes stereo_ = wave_test::Staircase16(4410, 2);  // 0.1 s at 44.1 kHz
};

// Files of other tools ------------------------------------------------------------------------

TEST_F(InitialLoadTest, SoxWavesLoadWithTheirExactData) {
  if (!wave_test::HaveTool("sox")) GTEST_SKIP() << "sox is not installed";
  for (int bits : {8, 16}) {
    for (int channels : {1, 2}) {
      for (int rate : {11025, 22050, 44100, 48000}) {
        SCOPED_TRACE(std::to_string(bits) + " bit, " + std::to_string(channels) + " ch, " +
                     std::to_string(rate) + " Hz");
        const std::string wav = dir_.File("sox.wav");
        const std::string raw = dir_.File("sox.raw");
        ASSERT_TRUE(wave_test::Run("sox -n -r " + std::to_string(rate) + " -c " +
                                   std::to_string(channels) + " -b " + std::to_string(bits) + " '" +
                                   wav + "' synth 0.5 sine 440 vol 0.5"));
        ASSERT_TRUE(wave_test::Run("sox '" + wav + "' -t raw '" + raw + "'"));
        auto loaded = LoadFile(wav);
        ASSERT_EQ(loaded->result, 1) << std::hex << loaded->error;
        EXPECT_EQ(loaded->error, 0u);
        const tWAVEFORMATEX* format = loaded->Format();
        EXPECT_EQ(format->nChannels, channels);
        EXPECT_EQ(format->nSamplesPerSec, static_cast<uint32_t>(rate));
        EXPECT_EQ(format->wBitsPerSample, bits);
        EXPECT_EQ(loaded->load.DataStart(), 44);
        const Bytes expected = wave_test::ReadFile(raw);
        EXPECT_EQ(loaded->Data(), expected);
        EXPECT_EQ(loaded->load.GetActualLength(),
                  static_cast<long>(expected.size()) * 1000 / format->nAvgBytesPerSec);
        ASSERT_NE(loaded->load.PeakMap(), nullptr);
        EXPECT_NEAR(static_cast<double>(loaded->load.PeakMap()->GetNumPeaks()), 50.0, 1.0);
        // Half full scale: 16383 * 255 / 32767 = 127 (8-bit samples are coarser).
        EXPECT_NEAR(loaded->load.PeakMap()->GetDataPtr()[10], 127, 2);
      }
    }
  }
}

TEST_F(InitialLoadTest, FfmpegWavesWithInfoListsLoad) {
  if (!wave_test::HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  struct Case {
    const char* codec;
    const char* raw;
    int channels;
    int rate;
  };
  for (const Case& c :
       {Case{"pcm_u8", "u8", 1, 11025}, Case{"pcm_u8", "u8", 2, 22050},
        Case{"pcm_s16le", "s16le", 1, 44100}, Case{"pcm_s16le", "s16le", 2, 48000}}) {
    SCOPED_TRACE(std::string(c.codec) + " " + std::to_string(c.rate));
    const std::string wav = dir_.File("ff.wav");
    const std::string raw = dir_.File("ff.raw");
    const std::string input = " -f lavfi -i sine=d=0.25:sample_rate=" + std::to_string(c.rate) +
                              " -ac " + std::to_string(c.channels) + " -c:a " + c.codec;
    // An odd-length title: the list before the data carries a pad byte.
    ASSERT_TRUE(
        wave_test::Run("ffmpeg -nostdin -y" + input + " -metadata title=odd '" + wav + "'"));
    ASSERT_TRUE(
        wave_test::Run("ffmpeg -nostdin -y -i '" + wav + "' -f " + c.raw + " '" + raw + "'"));
    auto loaded = LoadFile(wav);
    ASSERT_EQ(loaded->result, 1) << std::hex << loaded->error;
    const Bytes expected = wave_test::ReadFile(raw);
    EXPECT_EQ(loaded->Data(), expected);
    EXPECT_EQ(loaded->load.GetActualLength(),
              static_cast<long>(expected.size()) * 1000 / loaded->Format()->nAvgBytesPerSec);
    std::unique_ptr<TMusicInfo> info(loaded->load.StealMusicInfo());
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->title, "odd");
    EXPECT_EQ(info->tagType, ttWaveInfo);
  }
}

// Chunk layouts --------------------------------------------------------------------------------

TEST_F(InitialLoadTest, ChunksLoadInAnyOrderWithOrWithoutPadBytes) {
  const Bytes fmt = wave_test::Fmt(kWaveFormatPcm, 2, 44100, 16);
  const Bytes info = wave_test::List("INFO", {{"INAM", wave_test::Text("abc")}});
  const Bytes odd = {1, 2, 3};
  struct Layout {
    const char* name;
    std::vector<Chunk> chunks;
  };
  const std::vector<Layout> layouts = {
      {"fmt after data", {{"data", stereo_}, {"fmt ", fmt}}},
      {"list before fmt", {{"LIST", info}, {"fmt ", fmt}, {"data", stereo_}}},
      {"padded odd chunks", {{"junk", odd}, {"fmt ", fmt}, {"LIST", info}, {"data", stereo_}}},
      {"unpadded odd chunks",
       {{"junk", odd, false}, {"fmt ", fmt}, {"LIST", info, false}, {"data", stereo_}}},
      {"18-byte fmt and a fact chunk",
       {{"fmt ", wave_test::Fmt(kWaveFormatPcm, 2, 44100, 16, 18)},
        {"fact", {1, 0, 0, 0}},
        {"data", stereo_}}},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    auto loaded = LoadBytes(wave_test::Riff("WAVE", layout.chunks));
    ASSERT_EQ(loaded->result, 1) << std::hex << loaded->error;
    EXPECT_EQ(loaded->Data(), stereo_);
    EXPECT_EQ(loaded->load.GetActualLength(), 100);
    const tWAVEFORMATEX* format = loaded->Format();
    EXPECT_EQ(format->nBlockAlign, 4);
    EXPECT_EQ(format->cbSize, 0);
  }
}

TEST_F(InitialLoadTest, FormatRecordIsNormalised) {
  // Wrong block align and byte rate, extra bytes claimed: the load recomputes them.
  Bytes fmt = wave_test::Fmt(kWaveFormatPcm, 1, 8000, 16, 20);
  fmt[12] = 7;    // block align
  fmt[8] = 0x55;  // byte rate
  fmt[16] = 2;    // two extra bytes
  auto loaded = LoadBytes(wave_test::Riff("WAVE", {{"fmt ", fmt}, {"data", Bytes(160, 0)}}));
  ASSERT_EQ(loaded->result, 1);
  const tWAVEFORMATEX* format = loaded->Format();
  EXPECT_EQ(format->nBlockAlign, 2);
  EXPECT_EQ(format->nAvgBytesPerSec, 16000u);
  EXPECT_EQ(format->cbSize, 0);
  EXPECT_EQ(loaded->load.GetActualLength(), 10);
}

TEST_F(InitialLoadTest, DataEndsOnWholeFramesAndUnknownSizesRunToTheEnd) {
  // Three stray bytes behind 16-bit stereo frames.
  Bytes ragged = stereo_;
  ragged.insert(ragged.end(), {9, 9, 9});
  auto loaded = LoadBytes(wave_test::PcmWave(2, 44100, 16, ragged));
  ASSERT_EQ(loaded->result, 1);
  EXPECT_EQ(loaded->Data(), stereo_);

  const Bytes fmt = wave_test::Fmt(kWaveFormatPcm, 2, 44100, 16);
  for (int64_t declared : {int64_t{0}, int64_t{0xFFFFFFFF}}) {
    SCOPED_TRACE(declared);
    loaded = LoadBytes(
        wave_test::Riff("WAVE", {{"fmt ", fmt}, {"data", stereo_, true, declared}}, declared));
    ASSERT_EQ(loaded->result, 1) << std::hex << loaded->error;
    EXPECT_EQ(loaded->Data(), stereo_);
  }
  // An empty data chunk followed by more chunks is empty, not unpatched.
  const Bytes info = wave_test::List("INFO", {{"ISFT", wave_test::Text("x")}});
  EXPECT_EQ(Refusal(wave_test::Riff("WAVE", {{"fmt ", fmt}, {"data", {}}, {"LIST", info}})),
            sonark::kErrEmptyData);
  EXPECT_EQ(Refusal(wave_test::PcmWave(2, 44100, 16, {1, 2, 3})), sonark::kErrEmptyData);
}

// Refusals ----------------------------------------------------------------------------------------

TEST_F(InitialLoadTest, ContainersAreTellByFormAndName) {
  const Bytes notRiff = wave_test::Text("this is not a riff file at all");
  EXPECT_EQ(Refusal(notRiff, "a.wav"), tarnell::kErrNotRiff);
  // Named as MPEG audio, the same bytes go to the MPEG inspection, which refuses them.
  EXPECT_EQ(Refusal(notRiff, "a.mp3"), sonark::kErrMpegInspection);
  EXPECT_EQ(Refusal(notRiff, "a.MP2"), sonark::kErrMpegInspection);

  const Bytes avi = wave_test::Riff("AVI ", {{"data", Bytes(16, 0)}});
  EXPECT_EQ(Refusal(avi, "a.avi"), sonark::kErrNotWaveOrMpeg);
  EXPECT_EQ(Refusal(avi, "a.mp1"), sonark::kErrMpegInspection);

  EXPECT_EQ(Refusal(wave_test::Riff("RMP3", {{"junk", Bytes(4, 0)}}), "a.rmp"),
            sonark::kErrNoDataChunk);
  EXPECT_EQ(Refusal(wave_test::Riff("RMP3", {{"data", Bytes(64, 0xFF)}}), "a.rmp"),
            sonark::kErrMpegInspection);
}

TEST_F(InitialLoadTest, CompressedWaveDataWaitsForItsDecoders) {
  const Bytes data(64, 0);
  auto wave = [&](uint16_t tag, int size) {
    return wave_test::Riff("WAVE",
                           {{"fmt ", wave_test::Fmt(tag, 2, 44100, 16, size)}, {"data", data}});
  };
  EXPECT_EQ(Refusal(wave(kWaveFormatMpegLayer3, 30)), sonark::kErrMpegInspection);
  EXPECT_EQ(Refusal(wave(kWaveFormatAdpcm, 50)), sonark::kErrNoPcmFormat);
  EXPECT_EQ(Refusal(wave(kWaveFormatExtensible, 40)), sonark::kErrNoPcmFormat);
  // A codec format without a decoder, named as MPEG audio, is tried as MPEG audio.
  EXPECT_EQ(Refusal(wave(kWaveFormatAdpcm, 50), "a.mp3"), sonark::kErrMpegInspection);
}

TEST_F(InitialLoadTest, UnsupportedPcmIsRefused) {
  const Bytes data(96, 0);
  auto wave = [&](uint16_t channels, uint32_t rate, uint16_t bits, int size = 16) {
    return wave_test::Riff(
        "WAVE",
        {{"fmt ", wave_test::Fmt(kWaveFormatPcm, channels, rate, bits, size)}, {"data", data}});
  };
  EXPECT_EQ(Refusal(wave(2, 44100, 20)), sonark::kErrUnsupportedPcm);
  EXPECT_EQ(Refusal(wave(3, 44100, 16)), sonark::kErrUnsupportedPcm);
  EXPECT_EQ(Refusal(wave(0, 44100, 16)), sonark::kErrUnsupportedPcm);
  // Wider samples and higher rates go through the codec manager.
  EXPECT_EQ(Refusal(wave(2, 44100, 24)), 0u);
  EXPECT_EQ(Refusal(wave(2, 96000, 16)), 0u);
  EXPECT_EQ(Refusal(wave(2, 0, 16)), sonark::kErrUnsupportedPcm);
  // The old 14-byte format record has no sample size.
  EXPECT_EQ(Refusal(wave(2, 44100, 16, 14)), sonark::kErrUnsupportedPcm);
  EXPECT_EQ(Refusal(wave(1, 48000, 8)), 0u);
  EXPECT_EQ(Refusal(wave(2, 1, 16)), 0u);
}

TEST_F(InitialLoadTest, DamagedWavesAreRefusedWithTheirCodes) {
  const Bytes fmt = wave_test::Fmt(kWaveFormatPcm, 2, 44100, 16);
  EXPECT_EQ(Refusal(wave_test::Riff("WAVE", {{"data", stereo_}})), sonark::kErrNoFormatChunk);
  EXPECT_EQ(Refusal(wave_test::Riff("WAVE", {{"fmt ", fmt}})), sonark::kErrNoDataChunk);
  // A format chunk that claims more than the file holds.
  Bytes shortFmt = wave_test::Riff("WAVE", {{"fmt ", fmt, true, 4000}});
  EXPECT_EQ(Refusal(shortFmt), sonark::kErrFormatChunkShort);
  // A form too short for any chunk is refused by the RIFF reader itself.
  EXPECT_EQ(Refusal(wave_test::Riff("WAVE", {})), tarnell::kErrRiffRead);
}

TEST_F(InitialLoadTest, EveryTruncationLoadsTheWholeFramesThatAreThereOrIsRefused) {
  const Bytes info = wave_test::List("INFO", {{"INAM", wave_test::Text("title")}});
  const Bytes whole = wave_test::Riff("WAVE", {{"fmt ", wave_test::Fmt(kWaveFormatPcm, 2, 8000, 8)},
                                               {"data", Bytes(101, 200)},
                                               {"LIST", info}});
  const size_t dataStart = 12 + 24 + 8;
  const size_t dataEnd = dataStart + 101 + 1;
  for (size_t length = 0; length < whole.size(); ++length) {
    SCOPED_TRACE(length);
    auto loaded = LoadBytes(Bytes(whole.begin(), whole.begin() + static_cast<long>(length)));
    if (length >= dataEnd - 1) {
      // Only the list after the data is cut; the stray byte of the odd chunk stays out.
      ASSERT_EQ(loaded->result, 1);
      EXPECT_EQ(loaded->Data(), Bytes(100, 200));
      EXPECT_EQ(loaded->load.DataCutShort(), 0);
      continue;
    }
    if (length >= dataStart + 2) {
      // A recording cut short: the frames the file holds.
      ASSERT_EQ(loaded->result, 1);
      EXPECT_EQ(loaded->Data(), Bytes((length - dataStart) / 2 * 2, 200));
      EXPECT_EQ(loaded->load.DataCutShort(), 1);
      continue;
    }
    EXPECT_EQ(loaded->result, 0);
    EXPECT_EQ(loaded->load.PeakMap(), nullptr);
    EXPECT_TRUE(loaded->error == tarnell::kErrRiffRead || loaded->error == tarnell::kErrNotRiff ||
                loaded->error == sonark::kErrNoFormatChunk ||
                loaded->error == sonark::kErrFormatChunkShort ||
                loaded->error == sonark::kErrNoDataChunk || loaded->error == sonark::kErrEmptyData)
        << std::hex << loaded->error;
  }
}

// Progress
// -----------------------------------------------------------------------------------------

TEST_F(InitialLoadTest, ProgressStartsAtZeroThenCountsEveryByte) {
  const Bytes data = wave_test::Staircase16(44100 * 3 + 100, 2);
  const std::string path = dir_.File("long.wav");
  wave_test::WriteFile(path, wave_test::PcmWave(2, 44100, 16, data));
  Progress progress;
  auto loaded = LoadFile(path, 1, 10, &progress);
  ASSERT_EQ(loaded->result, 1);
  ASSERT_GE(progress.calls.size(), 5u);
  EXPECT_EQ(progress.calls[0], 0u);
  EXPECT_EQ(progress.Total(), data.size());
  for (size_t i = 1; i < progress.calls.size(); ++i) EXPECT_LE(progress.calls[i], 176400u);
}

TEST_F(InitialLoadTest, MinusOneHoldsTheLoadUntilTheCallerLetsGo) {
  const std::string path = dir_.File("pause.wav");
  wave_test::WriteFile(path, wave_test::PcmWave(2, 44100, 16, wave_test::Staircase16(88200, 2)));
  Progress progress;
  progress.answers = {1, -1, -1, 1};
  auto loaded = LoadFile(path, 1, 10, &progress);
  ASSERT_EQ(loaded->result, 1);
  ASSERT_GE(progress.calls.size(), 5u);
  // The first second, then the two calls with 0 while held, then the second second.
  EXPECT_EQ(progress.calls[1], 176400u);
  EXPECT_EQ(progress.calls[2], 0u);
  EXPECT_EQ(progress.calls[3], 0u);
  EXPECT_EQ(progress.calls[4], 176400u);
  EXPECT_NE(loaded->load.PeakMap(), nullptr);
}

TEST_F(InitialLoadTest, CancelKeepsTheDataRangeButNoPeaksAndNoSideFile) {
  const std::string path = dir_.File("cancel.wav");
  wave_test::WriteFile(path,
                       wave_test::PcmWave(2, 44100, 16, wave_test::Staircase16(88200 * 2, 2)));
  for (size_t at : {0u, 2u}) {
    SCOPED_TRACE(at);
    Progress progress;
    progress.answers.assign(at + 1, 1);
    progress.answers[at] = 0;
    auto loaded = LoadFile(path, 1, 10, &progress);
    EXPECT_EQ(loaded->result, 0);
    EXPECT_EQ(loaded->error, 0u);
    EXPECT_EQ(loaded->load.Cancelled(), 1);
    EXPECT_EQ(progress.calls.size(), at + 1);
    EXPECT_EQ(loaded->load.PeakMap(), nullptr);
    EXPECT_EQ(loaded->load.DataStart(), 44);
    EXPECT_NE(loaded->Format(), nullptr);
    EXPECT_FALSE(wave_test::FileExists(PeakFile(path)));
  }
  if (std::filesystem::exists(cache_)) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(cache_)) {
      EXPECT_FALSE(entry.is_regular_file()) << entry.path();
    }
  }
}

TEST_F(InitialLoadTest, WithoutPeaksTheCallbackIsAskedOnceAndItsAnswerReturned) {
  const std::string path = dir_.File("plain.wav");
  wave_test::WriteFile(path, wave_test::PcmWave(2, 44100, 16, stereo_));
  for (int answer : {7, 0}) {
    Progress progress;
    progress.answers = {-1, answer};
    auto loaded = LoadFile(path, 0, 10, &progress);
    EXPECT_EQ(loaded->result, answer);
    EXPECT_EQ(progress.calls, (std::vector<unsigned long>{0, 0}));
    EXPECT_EQ(loaded->load.GetActualLength(), 100);
    EXPECT_EQ(loaded->load.Cancelled(), answer == 0 ? 1 : 0);
  }
  EXPECT_FALSE(wave_test::FileExists(PeakFile(path)));
}

// Peaks ------------------------------------------------------------------------------------------

TEST_F(InitialLoadTest, PeaksFollowTheLoudnessAndTheTimeLine) {
  // One silent second, then one second at full scale: 16-bit mono at 8 kHz.
  Bytes data(16000, 0);
  for (int i = 0; i < 8000; ++i) wave_test::PutLe16(data, i % 2 ? 0x7FFF : 0x8001);
  auto loaded = LoadBytes(wave_test::PcmWave(1, 8000, 16, data));
  ASSERT_EQ(loaded->result, 1);
  CPeaks* peaks = loaded->load.PeakMap();
  ASSERT_NE(peaks, nullptr);
  ASSERT_EQ(peaks->GetNumPeaks(), 200u);
  EXPECT_EQ(peaks->GetDataPtr()[99], 0);
  EXPECT_EQ(peaks->GetDataPtr()[100], 255);
  EXPECT_EQ(peaks->GetAutoTrimTimeStart(), 1000);
  EXPECT_EQ(peaks->LengthOfSound(), 2000);
  EXPECT_EQ(peaks->IsTotalSilence(), 0);
  EXPECT_EQ(peaks->IsPartialSong(), 1);
}

TEST_F(InitialLoadTest, PeakCountMatchesTheLengthWhenBytesPerPeakAreFractional) {
  // 22.05 kHz mono 8-bit at 10 ms: 220.5 bytes per peak, so one block in 441 gives none:
  // 441 blocks and a short one make 441 peaks for 4.404 s, not 442.
  auto loaded = LoadBytes(wave_test::PcmWave(1, 22050, 8, Bytes(441 * 220 + 100, 128)));
  ASSERT_EQ(loaded->result, 1);
  EXPECT_EQ(loaded->load.GetActualLength(), 4404);
  ASSERT_NE(loaded->load.PeakMap(), nullptr);
  EXPECT_EQ(loaded->load.PeakMap()->GetNumPeaks(), 441u);
  // 44.1 kHz 16-bit stereo: 1764 bytes, no fraction.
  loaded = LoadBytes(wave_test::PcmWave(2, 44100, 16, wave_test::Staircase16(44100, 2)));
  ASSERT_EQ(loaded->result, 1);
  EXPECT_EQ(loaded->load.PeakMap()->GetNumPeaks(), 100u);
}

TEST_F(InitialLoadTest, SecondLoadTakesThePeakFileWhileItIsNewer) {
  const std::string path = dir_.File("cached.wav");
  const Bytes data = wave_test::Staircase16(44100, 2);
  wave_test::WriteFile(path, wave_test::PcmWave(2, 44100, 16, data));
  wave_test::SetModified(path, -100);
  auto first = LoadFile(path);
  ASSERT_EQ(first->result, 1);
  const std::string ipk = PeakFile(path);
  ASSERT_TRUE(wave_test::FileExists(ipk));
  const unsigned char built = first->load.PeakMap()->GetDataPtr()[0];
  first.reset();

  // Mark the side file so that its use shows.
  Bytes side = wave_test::ReadFile(ipk);
  side[12] = static_cast<unsigned char>(built + 77);
  wave_test::WriteFile(ipk, side);
  Progress progress;
  auto second = LoadFile(path, 1, 10, &progress);
  ASSERT_EQ(second->result, 1);
  ASSERT_NE(second->load.PeakMap(), nullptr);
  EXPECT_EQ(second->load.PeakMap()->GetDataPtr()[0], built + 77);
  EXPECT_EQ(second->load.GetActualLength(), 1000);
  // The side file stands for the whole data.
  EXPECT_EQ(progress.calls, (std::vector<unsigned long>{0, data.size()}));
  second.reset();

  // Another ms per peak builds anew.
  auto coarser = LoadFile(path, 1, 20);
  ASSERT_EQ(coarser->result, 1);
  EXPECT_EQ(coarser->load.PeakMap()->GetNumPeaks(), 50u);
  coarser.reset();
  wave_test::WriteFile(ipk, side);

  // A sound newer than its side file builds anew.
  wave_test::SetModified(path, 100);
  auto touched = LoadFile(path);
  ASSERT_EQ(touched->result, 1);
  EXPECT_EQ(touched->load.PeakMap()->GetDataPtr()[0], built);

  // An unreadable side file is ignored and rebuilt.
  wave_test::WriteFile(ipk, {1, 2, 3});
  wave_test::SetModified(ipk, 200);
  auto damaged = LoadFile(path);
  ASSERT_EQ(damaged->result, 1);
  EXPECT_EQ(damaged->load.PeakMap()->GetDataPtr()[0], built);
}

TEST_F(InitialLoadTest, MemorySourcesLoadWithoutSideFiles) {
  Bytes bytes = wave_test::PcmWave(2, 44100, 16, stereo_);
  Loaded loaded;
  auto* memory = new CMemObj;
  loaded.object = memory;
  ASSERT_EQ(memory->Open(bytes.data(), bytes.size()), 1);
  ASSERT_EQ(loaded.load.DoInitialLoad(memory, 0, 1, 1, 0, 10, nullptr, nullptr), 1);
  EXPECT_EQ(loaded.Data(), stereo_);
  ASSERT_NE(loaded.load.PeakMap(), nullptr);
  EXPECT_EQ(loaded.load.PeakMap()->GetNumPeaks(), 10u);
  EXPECT_FALSE(std::filesystem::exists(cache_));
}

// Seek-map side files ---------------------------------------------------------------------------

TEST_F(InitialLoadTest, SeekMapSideFileIsSavedAndTakenWhileNewer) {
  const std::string path = dir_.File("song.wav");
  wave_test::WriteFile(path, wave_test::PcmWave(2, 44100, 16, stereo_));
  wave_test::SetModified(path, -100);
  CFileObj* file = new CFileObj;
  CRefObj* held = file;
  ASSERT_EQ(file->Open(path.c_str(), 0, 0), 1);

  CInitialLoad building;
  EXPECT_EQ(building.SaveSeekMap(file), 0);  // nothing to save
  CSeekMap* map = new CSeekMap;
  for (int i = 0; i < 100; ++i) map->AddEntry(static_cast<uint32_t>(i * 418), i * 4608);
  building.SetSeekMap(map);
  DeleteSeekMap(&map);
  ASSERT_EQ(building.SaveSeekMap(file), 1);
  const std::string isk = SeekFile(path);
  EXPECT_EQ(wave_test::ReadFile(isk).size(), 800u);
  EXPECT_STREQ(building.SeekMap()->FilePath(), isk.c_str());

  CInitialLoad reusing;
  int build = 1;
  int save = 1;
  ASSERT_EQ(reusing.LoadSeekMap(file, &build, &save), 1);
  EXPECT_EQ(build, 0);
  EXPECT_EQ(save, 0);
  ASSERT_NE(reusing.SeekMap(), nullptr);
  EXPECT_EQ(reusing.SeekMap()->Count(), 100);
  EXPECT_EQ(reusing.SeekMap()->SortValueAt(99), 99 * 4608);

  // A sound newer than the map, or a map we did not write, leaves the requests standing.
  wave_test::SetModified(path, 100);
  CInitialLoad stale;
  build = save = 1;
  EXPECT_EQ(stale.LoadSeekMap(file, &build, &save), 0);
  EXPECT_EQ(build, 1);
  EXPECT_EQ(stale.SeekMap(), nullptr);
  wave_test::WriteFile(isk, Bytes(7, 0));
  wave_test::SetModified(isk, 200);
  EXPECT_EQ(stale.LoadSeekMap(file, &build, &save), 0);
  EXPECT_EQ(save, 1);
  EXPECT_EQ(stale.SeekMap(), nullptr);
  DeleteRefObject(&held);
}

}  // namespace
