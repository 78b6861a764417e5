#include <gtest/gtest.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_wave_file.h>
#include <sonark/export/conversion_types.h>
#include <sonark/load/music_info.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/tests/mixer_test_support.h>
#include <tarnell/file_obj.h>
#include <tarnell/riff.h>
#include <tarnell/tests/temp_dir.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "wave_test_support.h"

namespace {

using namespace mixer_test;
using tarnell::FourCC;

// Where a sound lies in the mix and what it should contribute.
struct Placement {
  Source source;
  long absoluteMs;
  long lengthMs;
  bool muted;
  CPCMSound* sound;
};

// An export as the export dialog runs it: the wave converter is the sink.
struct Export {
  CConv2FileObj* converter = nullptr;
  bool failed = false;

  static TDataWriteCode Sink(void* data, long* length, void* context) {
    auto* self = static_cast<Export*>(context);
    long written = 0;
    if (self->converter->WriteStreamData(data, *length, &written) != *length) {
      self->failed = true;
      return dwcStop;
    }
    return dwcNextBlock;
  }
};

struct WaveImage {
  tWAVEFORMATEX format{};
  std::vector<unsigned char> data;
  std::map<std::string, std::string> info;  // texts up to their terminator
};

bool ReadWave(const std::string& path, WaveImage* out) {
  CRefObj* file = new CFileObj;
  CRIFF riff;
  _chunkInfo form{};
  _chunkInfo level{};
  _subChunk sub{};
  bool ok = static_cast<CFileObj*>(file)->Open(path.c_str(), 0, 0) && riff.Open(file, &form) &&
            form.type == FourCC("WAVE") && riff.SeekToChunk(FourCC("fmt "), 0, 0) &&
            riff.ReadCurrentSubChunk(reinterpret_cast<char*>(&out->format), sizeof(out->format)) ==
                sizeof(out->format) &&
            riff.SeekToChunk(FourCC("data"), 1, 0);
  if (ok) {
    riff.GetCurrentChunkInfo(&level, &sub);
    out->data.resize(sub.size);
    ok = riff.ReadCurrentSubChunk(reinterpret_cast<char*>(out->data.data()),
                                  static_cast<long>(sub.size)) == static_cast<long>(sub.size);
  }
  if (ok && riff.SeekToChunk(FourCC("LIST"), 1, 0) && riff.Descend()) {
    for (bool more = true; more; more = riff.SeekToNextChunk()) {
      riff.GetCurrentChunkInfo(&level, &sub);
      std::string bytes(sub.size, '\0');
      riff.ReadCurrentSubChunk(bytes.data(), static_cast<long>(sub.size));
      std::string id(reinterpret_cast<const char*>(&sub.id), 4);
      out->info[id] = bytes.c_str();
    }
  }
  riff.Close();
  DeleteRefObject(&file);
  return ok;
}

// Where the samples of a wave file lie: the "data" chunk, found by walking the chunks.
bool FindData(const std::string& path, unsigned long* start, unsigned long* end) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  unsigned char header[12];
  bool found = std::fread(header, 1, 12, file) == 12 && std::memcmp(header, "RIFF", 4) == 0;
  for (unsigned long at = 12; found;) {
    unsigned char chunk[8];
    found = std::fread(chunk, 1, 8, file) == 8;
    const unsigned long size =
        chunk[4] | chunk[5] << 8 | chunk[6] << 16 | static_cast<unsigned long>(chunk[7]) << 24;
    at += 8;
    if (found && std::memcmp(chunk, "data", 4) == 0) {
      *start = at;
      *end = at + size;
      break;
    }
    at += size + (size & 1);
    found = found && std::fseek(file, static_cast<long>(at), SEEK_SET) == 0;
  }
  std::fclose(file);
  return found;
}

// A sound streamed from the samples of a wave file, with one reference for the caller.
CPCMSound* SoundFromFile(const std::string& path) {
  unsigned long start = 0;
  unsigned long end = 0;
  if (!FindData(path, &start, &end)) return nullptr;
  auto* file = new CFileObj();
  auto* sound = new CPCMSound();
  const tWAVEFORMATEX format = Pcm(44100, 2, 16);
  if (!file->Open(path.c_str(), 0, 0) || !file->SetDataOffsets(start, end) ||
      !sound->SetUpFromPCM(file, &format, 250)) {
    CAudioAtom* atom = sound;
    DeleteAtom(&atom);
    sound = nullptr;
  }
  CRefObj* held = file;
  DeleteRefObject(&held);
  return sound;
}

// A session of groups within groups, rendered to a wave file through the export protocol.
//
//   root
//   |- A   stereo,             0 ms, 1200 ms
//   |- F   8-bit mono,       200 ms,  200 ms
//   `- G1                    700 ms
//      |- B   muted stereo,   700 ms,  500 ms
//      |- C   mono,           800 ms, 1000 ms over 300 ms of data: repeats
//      `- G2                 1100 ms
//         |- D   stereo,     1100 ms,  400 ms
//         `- E   stereo,     1350 ms,  600 ms, streamed through a 100 ms buffer
class OfflineRenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = new CSoundGroup();
    auto* g1 = new CSoundGroup();
    auto* g2 = new CSoundGroup();
    placed_ = {
        {Staircase(52920, 100), 0, 1200, false, nullptr},
        {Staircase8(8820), 200, 200, false, nullptr},
        {Staircase(22050, 20000), 700, 500, true, nullptr},
        {Staircase(13230, 2000, 1), 800, 1000, false, nullptr},
        {Staircase(17640, 6000), 1100, 400, false, nullptr},
        {Staircase(26460, 1000), 1350, 600, false, nullptr},
    };
    auto make = [&](size_t i, long lengthMs = 0, long bufferMs = 2000) {
      placed_[i].sound = NewSound(placed_[i].source, lengthMs, 44100, bufferMs);
      placed_[i].sound->AddReference();
      if (placed_[i].muted) placed_[i].sound->Mute(1);
      return placed_[i].sound;
    };
    AddOwned(make(0), root_, 0);
    AddOwned(make(1), root_, 200);
    AddOwned(make(2), g1, 0);
    AddOwned(make(3, 1000), g1, 100);
    AddOwned(make(4), g2, 0);
    AddOwned(make(5, 0, 100), g2, 250);
    AddOwned(g2, g1, 400);
    AddOwned(g1, root_, 700);
  }

  void TearDown() override {
    for (Placement& p : placed_) {
      EXPECT_EQ(p.sound->ReferenceCount(), 2) << "the mixer kept a reference";
      CAudioAtom* held = p.sound;
      DeleteAtom(&held);
    }
    CAudioAtom* root = root_;
    DeleteAtom(&root);
  }

  // The mix computed here from the placements alone.
  std::vector<int16_t> Reference(long lengthMs) const {
    std::vector<int32_t> mix(static_cast<size_t>(lengthMs * 441 / 10 * 2), 0);
    for (const Placement& p : placed_) {
      if (!p.muted) AddReference(mix, p.source, p.absoluteMs * 441 / 10, p.lengthMs * 441 / 10);
    }
    return ToSamples(mix);
  }

  // Runs the export protocol into `path`; returns FinalData's ok flag.
  int ExportTo(const std::string& path) {
    Export run;
    run.converter = NewCConv2FileObj(fctWave, 0);
    EXPECT_NE(run.converter, nullptr);
    if (run.converter == nullptr) return 0;
    CConv2FileFormat target;
    target.nSamplesPerSec = 44100;
    tWAVEFORMATEX format = Pcm(44100, 2, 16);
    EXPECT_EQ(run.converter->Create(path.c_str(), &target, &format), 1);
    CPCMMixer mixer(nullptr);
    EXPECT_EQ(mixer.MixToDataSink(root_, &Export::Sink, &run, &format, root_->Length(0),
                                  run.converter->GetDesiredBufferSize()),
              1);
    EXPECT_FALSE(run.failed);
    EXPECT_GE(run.converter->EndWriteStream(), 0);
    TMusicInfo info;
    sonark::SetMusicInfoText(info.title, "Nested Staircases");
    sonark::SetMusicInfoText(info.comment, "rendered offline");
    int ok = 0;
    EXPECT_GT(run.converter->FinalData(nullptr, "Tessel", &ok, &info), 0);
    run.converter->Close();
    CRefObj* held = run.converter;
    DeleteRefObject(&held);
    return ok;
  }

  CSoundGroup* root_ = nullptr;
  std::vector<Placement> placed_;
  TempDir dir_;
};

TEST_F(OfflineRenderTest, TheWaveFileHoldsExactlyTheMixOfTheTree) {
  ASSERT_EQ(root_->Length(0), 1950);
  const std::string path = dir_.File("mix.wav");
  ASSERT_EQ(ExportTo(path), 1);
  WaveImage wave;
  ASSERT_TRUE(ReadWave(path, &wave));
  EXPECT_EQ(wave.format.wFormatTag, kWaveFormatPcm);
  EXPECT_EQ(wave.format.nChannels, 2);
  EXPECT_EQ(wave.format.nSamplesPerSec, 44100u);
  EXPECT_EQ(wave.format.wBitsPerSample, 16);
  const std::vector<int16_t> reference = Reference(1950);
  ASSERT_EQ(wave.data.size(), reference.size() * 2);
  const long at = FirstDifference(Samples16(wave.data.data(), wave.data.size()), reference);
  EXPECT_EQ(at, -1) << "first difference at frame " << at / 2;
  EXPECT_EQ(wave.info["INAM"], "Nested Staircases");
  EXPECT_EQ(wave.info["ICMT"], "rendered offline");
  EXPECT_EQ(wave.info["ISFT"], "Tessel");
}

// Rendering twice gives the same file: every sound starts over from its beginning.
TEST_F(OfflineRenderTest, ASecondRenderRepeatsTheFirst) {
  const std::string first = dir_.File("first.wav");
  const std::string second = dir_.File("second.wav");
  ASSERT_EQ(ExportTo(first), 1);
  ASSERT_EQ(ExportTo(second), 1);
  WaveImage a;
  WaveImage b;
  ASSERT_TRUE(ReadWave(first, &a));
  ASSERT_TRUE(ReadWave(second, &b));
  EXPECT_EQ(a.data, b.data);
}

TEST_F(OfflineRenderTest, SoxReadsTheFormatAndLength) {
  if (!wave_test::HaveTool("soxi")) GTEST_SKIP() << "soxi is not installed";
  const std::string path = dir_.File("mix for sox.wav");
  ASSERT_EQ(ExportTo(path), 1);
  const std::string quoted = "'" + path + "'";
  EXPECT_EQ(wave_test::Output("soxi -t " + quoted), "wav\n");
  EXPECT_EQ(wave_test::Output("soxi -r " + quoted), "44100\n");
  EXPECT_EQ(wave_test::Output("soxi -c " + quoted), "2\n");
  EXPECT_EQ(wave_test::Output("soxi -b " + quoted), "16\n");
  EXPECT_EQ(wave_test::Output("soxi -s " + quoted), "85995\n");  // 1950 ms
  // soxi prints no INFO texts of wave files; ffprobe below reads them.
}

TEST_F(OfflineRenderTest, FfprobeReadsTheInformationTexts) {
  if (!wave_test::HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
  const std::string path = dir_.File("mix for ffprobe.wav");
  ASSERT_EQ(ExportTo(path), 1);
  EXPECT_EQ(wave_test::Output("ffprobe -v error -show_entries format_tags=title,comment,encoder "
                              "-of default=nw=1 '" +
                              path + "'"),
            "TAG:comment=rendered offline\nTAG:title=Nested Staircases\nTAG:encoder=Tessel\n");
}

// A render from a later start delivers exactly the tail of the whole mix, whatever the block
// size, wherever the start falls (before, inside and between sounds, in a repeat, inside a
// group, past the end), with speeds, envelopes and a streamed sound moved on to their own
// offsets.
TEST_F(OfflineRenderTest, ARenderFromAStartIsTheTailOfTheWholeMix) {
  // A repeats at a changing speed and with a changing volume, D pans; C repeats its data and
  // the streamed E plays at speeds of their own, which a render from a start passes over in
  // one step per block.
  placed_[0].sound->AddSimpleEvent(kMapVolume, 0, 1.0);
  placed_[0].sound->AddSimpleEvent(kMapVolume, 300, 0.2);
  placed_[0].sound->AddSimpleEvent(kMapVolume, 1100, 1.4);
  placed_[0].sound->AddSimpleEvent(kMapRate, 0, 0.6);
  placed_[0].sound->AddSimpleEvent(kMapRate, 500, 1.8);
  placed_[4].sound->AddSimpleEvent(kMapPan, 0, -1.0);
  placed_[4].sound->AddSimpleEvent(kMapPan, 300, 1.0);
  placed_[3].sound->Rate(1.37);
  placed_[5].sound->Rate(0.83);
  const tWAVEFORMATEX format = Pcm(44100, 2, 16);
  const long length = root_->Length(0);
  for (const long block : {-1L, 17640L, 4444L}) {
    CPCMMixer mixer(nullptr);
    Collect whole;
    ASSERT_EQ(mixer.MixToDataSink(root_, &Collect::Sink, &whole, &format, length, block), 1);
    ASSERT_EQ(whole.bytes.size(), static_cast<size_t>(length * 441 / 10 * 4));
    for (const long startMs : {0L, 1L, 333L, 750L, 1101L, 1360L, 1700L, 1949L, 1950L, 9000L}) {
      Collect tail;
      ASSERT_EQ(
          mixer.MixToDataSinkFrom(root_, &Collect::Sink, &tail, &format, startMs, length, block),
          1);
      const size_t from = std::min(whole.bytes.size(), static_cast<size_t>(startMs * 441 / 10 * 4));
      ASSERT_EQ(tail.bytes.size(), whole.bytes.size() - from) << startMs << " ms, block " << block;
      EXPECT_TRUE(std::equal(tail.bytes.begin(), tail.bytes.end(), whole.bytes.begin() + from))
          << startMs << " ms, block " << block;
    }
  }
}

// Streamed sounds hold their file only while they play: closed before they start and once
// they have finished, and open again after the render.
TEST(OfflineRenderFiles, AFinishedSoundsFileIsClosedDuringTheRender) {
  TempDir dir;
  auto* group = new FixedGroup();
  std::vector<CFileObj*> files;
  for (int i = 0; i < 2; ++i) {
    const std::string path = dir.File("raw" + std::to_string(i) + ".pcm");
    const std::vector<unsigned char> bytes = Bytes(Staircase(22050, 1000 * i));
    FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
    std::fclose(out);
    auto* file = new CFileObj();
    auto* sound = new CPCMSound();
    const tWAVEFORMATEX format = Pcm(44100, 2, 16);
    ASSERT_TRUE(file->Open(path.c_str(), 0, 0) && file->SetDataOffsets(0, bytes.size()) &&
                sound->SetUpFromPCM(file, &format, 100));
    files.push_back(file);
    CRefObj* held = file;
    DeleteRefObject(&held);
    AddOwned(sound, group, 1000 * i);  // 500 ms each, one second apart
  }
  struct Watch {
    std::vector<CFileObj*> files;
    std::vector<std::pair<int, int>> open;  // per 100 ms block
    static TDataWriteCode Sink(void*, long*, void* context) {
      auto* self = static_cast<Watch*>(context);
      self->open.emplace_back(self->files[0]->IsOpen(), self->files[1]->IsOpen());
      return dwcNextBlock;
    }
  } watch{files, {}};
  CPCMMixer mixer(nullptr);
  const tWAVEFORMATEX format = Pcm(44100, 2, 16);
  ASSERT_EQ(mixer.MixToDataSink(group, &Watch::Sink, &watch, &format, 1500, 17640), 1);
  ASSERT_EQ(watch.open.size(), 15u);
  EXPECT_EQ(watch.open[0], std::make_pair(1, 0));
  EXPECT_EQ(watch.open[7], std::make_pair(0, 0));
  EXPECT_EQ(watch.open[12], std::make_pair(0, 1));
  EXPECT_EQ(files[0]->IsOpen(), 1);
  EXPECT_EQ(files[1]->IsOpen(), 1);
  // And the sounds render the same again from their reopened files.
  Collect first;
  Collect second;
  ASSERT_EQ(mixer.MixToDataSink(group, &Collect::Sink, &first, &format, 1500, 17640), 1);
  ASSERT_EQ(mixer.MixToDataSink(group, &Collect::Sink, &second, &format, 1500, 17640), 1);
  EXPECT_EQ(first.bytes, second.bytes);
  CAudioAtom* held = group;
  DeleteAtom(&held);
}

// sox mixes files of different lengths from their starts, padding the shorter ones with
// silence, and adds them unchanged at unit volume: the same mix, to the sample.
TEST(OfflineRenderPeers, SoxMixingTheSameFilesGivesTheSameSamples) {
  if (!wave_test::HaveTool("sox")) GTEST_SKIP() << "sox is not installed";
  TempDir dir;
  const std::vector<std::pair<int, const char*>> inputs = {
      {220, "1.0"}, {330, "0.7"}, {550, "0.45"}};
  auto* group = new CSoundGroup();
  std::string command = "sox -m";
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::string path = dir.File("in" + std::to_string(i) + ".wav");
    ASSERT_EQ(
        wave_test::Output("sox -n -r 44100 -b 16 -c 2 '" + path + "' synth " + inputs[i].second +
                          " sine " + std::to_string(inputs[i].first) + " vol 0.2 && echo ok"),
        "ok\n");
    CPCMSound* sound = SoundFromFile(path);
    ASSERT_NE(sound, nullptr);
    AddOwned(sound, group, 0);
    command += " -v 1 '" + path + "'";
  }
  const std::string theirs = dir.File("sox.wav");
  ASSERT_EQ(wave_test::Output(command + " '" + theirs + "' && echo ok"), "ok\n");

  Collect ours;
  CPCMMixer mixer(nullptr);
  const tWAVEFORMATEX format = Pcm(44100, 2, 16);
  ASSERT_EQ(mixer.MixToDataSink(group, &Collect::Sink, &ours, &format, group->Length(0), 8192), 1);
  WaveImage reference;
  ASSERT_TRUE(ReadWave(theirs, &reference));
  ASSERT_EQ(ours.bytes.size(), reference.data.size());
  const long at = FirstDifference(Samples16(ours.bytes.data(), ours.bytes.size()),
                                  Samples16(reference.data.data(), reference.data.size()));
  EXPECT_EQ(at, -1) << "first difference at frame " << at / 2;
  CAudioAtom* held = group;
  DeleteAtom(&held);
}

}  // namespace
