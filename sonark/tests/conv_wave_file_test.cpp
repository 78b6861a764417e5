#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_wave_file.h>
#include <sonark/load/music_info.h>
#include <sonark/model/pcm_sound.h>
#include <tarnell/file_obj.h>
#include <tarnell/riff.h>
#include <tarnell/tests/temp_dir.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "wave_test_support.h"

namespace {

using tarnell::FourCC;

std::string IdText(uint32_t id) {
  std::string text(4, '\0');
  for (int i = 0; i < 4; ++i) text[i] = static_cast<char>(id >> (8 * i));
  return text;
}

// A wave file as our own RIFF reader sees it.
struct WaveImage {
  tWAVEFORMATEX format{};
  uint32_t fmtSize = 0;
  std::vector<unsigned char> data;
  uint32_t listSize = 0;
  std::vector<std::string> infoOrder;
  std::map<std::string, std::string> info;  // raw chunk bytes, padding included
};

bool ReadWave(const std::string& path, WaveImage* out) {
  CRefObj* file = new CFileObj;
  CRIFF riff;
  _chunkInfo form{};
  _chunkInfo level{};
  _subChunk sub{};
  bool ok = static_cast<CFileObj*>(file)->Open(path.c_str(), 0, 0) && riff.Open(file, &form) &&
            form.type == FourCC("WAVE") && riff.SeekToChunk(FourCC("fmt "), 0, 0);
  if (ok) {
    riff.GetCurrentChunkInfo(&level, &sub);
    out->fmtSize = sub.size;
    ok = sub.size >= sizeof(tWAVEFORMATEX) &&
         riff.ReadCurrentSubChunk(reinterpret_cast<char*>(&out->format), sizeof(out->format)) ==
             sizeof(out->format) &&
         riff.SeekToChunk(FourCC("data"), 1, 0);
  }
  if (ok) {
    riff.GetCurrentChunkInfo(&level, &sub);
    out->data.resize(sub.size);
    ok = riff.ReadCurrentSubChunk(reinterpret_cast<char*>(out->data.data()),
                                  static_cast<long>(sub.size)) == static_cast<long>(sub.size);
  }
  if (ok && riff.SeekToChunk(FourCC("LIST"), 1, 0)) {
    riff.GetCurrentChunkInfo(&level, &sub);
    out->listSize = sub.size;
    ok = riff.Descend();
    riff.GetCurrentChunkInfo(&level, &sub);
    ok = ok && level.type == FourCC("INFO");
    while (ok) {
      std::string bytes(sub.size, '\0');
      ok = riff.ReadCurrentSubChunk(bytes.data(), static_cast<long>(sub.size)) ==
           static_cast<long>(sub.size);
      out->infoOrder.push_back(IdText(sub.id));
      out->info[IdText(sub.id)] = bytes;
      if (!riff.SeekToNextChunk()) break;
      riff.GetCurrentChunkInfo(&level, &sub);
    }
  }
  riff.Close();
  DeleteRefObject(&file);
  return ok;
}

// A text as a text sub-chunk holds it: terminator and zero padding to the chunk's size.
std::string Padded(const std::string& text, size_t size) {
  std::string out = text;
  out.resize(size, '\0');
  return out;
}

// Owns one reference to a converter.
struct Converter {
  CConv2WaveFile* obj = new CConv2WaveFile;
  ~Converter() {
    CRefObj* held = obj;
    DeleteRefObject(&held);
  }
  CConv2WaveFile* operator->() const { return obj; }
};

class ConvWaveFileTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_.File("out.wav");

  // Writes `bytes` through the export protocol in blocks of the given sizes (the last one
  // repeats) and returns FinalData's result.
  long Export(const CConv2FileFormat& format, const std::vector<unsigned char>& bytes,
              const TMusicInfo* info, std::vector<long> blocks = {4410}) {
    Converter conv;
    CConv2FileFormat target = format;
    EXPECT_EQ(conv->Create(path_.c_str(), &target, static_cast<tWAVEFORMATEX*>(nullptr)), 1);
    size_t at = 0;
    for (size_t i = 0; at < bytes.size(); ++i) {
      long part = std::min<long>(blocks[std::min(i, blocks.size() - 1)],
                                 static_cast<long>(bytes.size() - at));
      long written = -7;
      EXPECT_EQ(conv->WriteStreamData(const_cast<unsigned char*>(&bytes[at]), part, &written),
                part);
      EXPECT_EQ(written, part);
      at += static_cast<size_t>(part);
    }
    last_padding_ = conv->EndWriteStream();
    TMusicInfo copy = info != nullptr ? *info : TMusicInfo{};
    int ok = -1;
    const long list = conv->FinalData("unused", "Tessel test", &ok, &copy);
    EXPECT_EQ(ok, 1);
    conv->Close();
    return list;
  }

  long last_padding_ = -2;
};

std::vector<unsigned char> Staircase16(size_t samples) {
  std::vector<unsigned char> bytes(samples * 2);
  for (size_t i = 0; i < samples; ++i) {
    const auto v = static_cast<int16_t>(i);
    std::memcpy(&bytes[i * 2], &v, 2);
  }
  return bytes;
}

TEST_F(ConvWaveFileTest, WritesFormatSamplesAndInformationList) {
  TMusicInfo info;
  sonark::SetMusicInfoText(info.title, "abc");
  sonark::SetMusicInfoText(info.artist, "abcd");
  sonark::SetMusicInfoText(info.comment, "a comment");
  sonark::SetMusicInfoText(info.album, "Album");
  sonark::SetMusicInfoText(info.genre, "Rock");
  info.genreIndex = 17;
  info.year = 2001;
  info.track = 5;
  info.totalTracks = 12;
  info.cdIdentifierLength = 3;
  std::memcpy(info.cdIdentifier, "\x01\x02\x03", 3);

  const std::vector<unsigned char> samples = Staircase16(44100 * 2 + 300);
  const long list = Export(CConv2FileFormat(kWaveFormatPcm), samples, &info, {1000, 333 * 4, 8192});
  EXPECT_EQ(last_padding_, 0);

  WaveImage wave;
  ASSERT_TRUE(ReadWave(path_, &wave));
  EXPECT_EQ(wave.fmtSize, 18u);
  EXPECT_EQ(wave.format.wFormatTag, kWaveFormatPcm);
  EXPECT_EQ(wave.format.nChannels, 2);
  EXPECT_EQ(wave.format.nSamplesPerSec, 44100u);
  EXPECT_EQ(wave.format.nAvgBytesPerSec, 176400u);
  EXPECT_EQ(wave.format.nBlockAlign, 4);
  EXPECT_EQ(wave.format.wBitsPerSample, 16);
  EXPECT_EQ(wave.format.cbSize, 0);
  EXPECT_EQ(wave.data, samples);

  EXPECT_EQ(wave.infoOrder, (std::vector<std::string>{"ICMT", "IART", "INAM", "IGNR", "ICRD",
                                                      "IALB", "ITRK", "IMCD", "ISFT"}));
  EXPECT_EQ(wave.info["INAM"], Padded("abc", 6));
  EXPECT_EQ(wave.info["IART"], Padded("abcd", 6));
  EXPECT_EQ(wave.info["ICMT"], Padded("a comment", 12));
  EXPECT_EQ(wave.info["IGNR"], Padded("(17)", 6));
  EXPECT_EQ(wave.info["ICRD"], Padded("2001", 6));
  EXPECT_EQ(wave.info["ITRK"], Padded("5/12", 6));
  EXPECT_EQ(wave.info["IMCD"], std::string("\x03\0\0\0\x01\x02\x03\0\0\0", 10));
  EXPECT_EQ(wave.info["ISFT"], Padded("Tessel test", 14));
  EXPECT_EQ(list, static_cast<long>(wave.listSize));
}

TEST_F(ConvWaveFileTest, LeavesOutWhatTheMusicInformationLacks) {
  WaveImage wave;
  EXPECT_EQ(Export(CConv2FileFormat(), Staircase16(10), nullptr), 4 + 8 + 14);
  ASSERT_TRUE(ReadWave(path_, &wave));
  EXPECT_EQ(wave.infoOrder, std::vector<std::string>{"ISFT"});

  TMusicInfo info;
  info.year = 999;
  info.track = 100;
  info.totalTracks = 12;
  info.genreIndex = 200;  // not in the genre table: the text stays
  sonark::SetMusicInfoText(info.genre, "Chiptune");
  Export(CConv2FileFormat(), Staircase16(10), &info);
  wave = {};
  ASSERT_TRUE(ReadWave(path_, &wave));
  EXPECT_EQ(wave.infoOrder, (std::vector<std::string>{"IGNR", "ISFT"}));
  EXPECT_EQ(wave.info["IGNR"], Padded("Chiptune", 10));

  info.year = 3001;
  info.track = 5;
  info.totalTracks = 0;
  Export(CConv2FileFormat(), Staircase16(10), &info);
  wave = {};
  ASSERT_TRUE(ReadWave(path_, &wave));
  EXPECT_EQ(wave.info.count("ICRD"), 0u);
  EXPECT_EQ(wave.info["ITRK"], Padded("5", 4));
}

TEST_F(ConvWaveFileTest, FullTextFieldsAreWrittenWithoutReadingBeyondThem) {
  TMusicInfo info;
  std::memset(info.copyright, 'c', sizeof(info.copyright));  // no terminator at all
  std::memset(info.cdIdentifier, 0xAB, sizeof(info.cdIdentifier));
  info.cdIdentifierLength = 5000;
  Export(CConv2FileFormat(), Staircase16(10), &info);
  WaveImage wave;
  ASSERT_TRUE(ReadWave(path_, &wave));
  EXPECT_EQ(wave.info["ICOP"], Padded(std::string(1024, 'c'), 1026));
  const std::string& cd = wave.info["IMCD"];
  ASSERT_EQ(cd.size(), 4u + 806u);
  EXPECT_EQ(cd.substr(0, 4), std::string("\x24\x03\0\0", 4));  // 804
  EXPECT_EQ(cd.substr(4, 804), std::string(804, '\xAB'));
  EXPECT_EQ(cd.substr(808), std::string(2, '\0'));
}

TEST_F(ConvWaveFileTest, OddDataIsCompletedWithSilenceSoTheListStaysReachable) {
  CConv2FileFormat format;
  format.nChannels = 1;
  format.wBitsPerSample = 8;
  format.nSamplesPerSec = 11025;
  TMusicInfo info;
  sonark::SetMusicInfoText(info.title, "odd");
  Export(format, {1, 2, 3}, &info);
  EXPECT_EQ(last_padding_, 1);
  WaveImage wave;
  ASSERT_TRUE(ReadWave(path_, &wave));
  EXPECT_EQ(wave.format.nBlockAlign, 1);
  EXPECT_EQ(wave.data, (std::vector<unsigned char>{1, 2, 3, 128}));
  EXPECT_EQ(wave.info["INAM"], Padded("odd", 6));
}

TEST_F(ConvWaveFileTest, CdAlignmentFillsWholeSectors) {
  SetWaveCDBlockAlign(1);
  const auto samples = Staircase16(500);  // 1000 bytes
  Export(CConv2FileFormat(), samples, nullptr);
  const long padding = last_padding_;
  Export(CConv2FileFormat(), Staircase16(2352), nullptr);  // exactly two sectors
  const long none = last_padding_;
  SetWaveCDBlockAlign(0);
  EXPECT_EQ(padding, 2352 - 1000);
  EXPECT_EQ(none, 0);
  Export(CConv2FileFormat(), samples, nullptr);
  WaveImage wave;
  ASSERT_TRUE(ReadWave(path_, &wave));
  EXPECT_EQ(wave.data.size(), 1000u);
}

TEST_F(ConvWaveFileTest, RefusesWhatItCannotWrite) {
  Converter conv;
  long written = -7;
  char block[4] = {};
  EXPECT_EQ(conv->WriteStreamData(block, 4, &written), -1);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(conv->EndWriteStream(), -1);
  int ok = -1;
  EXPECT_EQ(conv->FinalData(nullptr, "x", &ok, nullptr), 0);
  EXPECT_EQ(ok, 0);

  CConv2FileFormat format;
  format.wBitsPerSample = 24;
  EXPECT_EQ(conv->Create(path_.c_str(), &format, static_cast<tWAVEFORMATEX*>(nullptr)), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrConvertFormat);
  EXPECT_EQ(conv->Create(dir_.File("no/such/dir.wav").c_str(), &format,
                         static_cast<tWAVEFORMATEX*>(nullptr)),
            0);

  // The information list cannot start while the data chunk is open.
  format.wBitsPerSample = 16;
  ASSERT_EQ(conv->Create(path_.c_str(), &format, static_cast<tWAVEFORMATEX*>(nullptr)), 1);
  EXPECT_EQ(conv->FinalData(nullptr, "x", &ok, nullptr), 0);
  EXPECT_EQ(ok, 0);
}

// A negative length in the size estimate stands for the sound being converted.
TEST_F(ConvWaveFileTest, CreatesFromASoundsFormatAndEstimatesItsLength) {
  Converter conv;
  CConv2FileFormat format;
  EXPECT_EQ(conv->GetBytesToWrite(&format, nullptr, -1), 0.0);
  EXPECT_EQ(conv->Create(path_.c_str(), &format, static_cast<CPCMSound*>(nullptr)), 0);
  CPCMSound* sound = new CPCMSound;
  tWAVEFORMATEX source{kWaveFormatPcm, 1, 22050, 22050, 1, 8, 0};
  ASSERT_EQ(sound->SetSourceFormat(&source), 1);
  sound->SetVirtualLength(1500);
  // The wave writer writes the export format; the sound's own format does not matter.
  EXPECT_EQ(conv->Create(path_.c_str(), &format, sound), 1);
  EXPECT_DOUBLE_EQ(conv->GetBytesToWrite(&format, nullptr, -1), 264600.0);
  EXPECT_DOUBLE_EQ(conv->GetBytesToWrite(&format, nullptr, 500), 88200.0);
  conv->Close();
  Converter other;
  CConv2FileFormat target;
  other->GetTargetFormat(&target, &format, sound);
  EXPECT_DOUBLE_EQ(other->GetBytesToWrite(&target, nullptr, -1), 264600.0);
  CAudioAtom* held = sound;
  DeleteAtom(&held);
  WaveImage wave;
  ASSERT_TRUE(ReadWave(path_, &wave));
  EXPECT_EQ(wave.format.nSamplesPerSec, 44100u);
  EXPECT_TRUE(wave.data.empty());
}

TEST_F(ConvWaveFileTest, DroppingTheConverterUnclosedReleasesItAndPatchesTheFile) {
  CConv2FileObj* conv = NewCConv2FileObj(fctWave, 0);
  ASSERT_NE(conv, nullptr);
  CConv2FileFormat format;
  ASSERT_EQ(conv->Create(path_.c_str(), &format, static_cast<tWAVEFORMATEX*>(nullptr)), 1);
  EXPECT_EQ(conv->References(), 1);
  auto samples = Staircase16(100);
  conv->WriteStreamData(samples.data(), static_cast<long>(samples.size()), nullptr);
  CRefObj* held = conv;
  DeleteRefObject(&held);
  EXPECT_EQ(held, nullptr);
  WaveImage wave;
  ASSERT_TRUE(ReadWave(path_, &wave));
  EXPECT_EQ(wave.data, samples);
}

// One second of 22050 Hz stereo with a title and a comment, written for the outside tools.
std::string WriteForPeers(const TempDir& dir) {
  const std::string path = dir.File("peer check.wav");
  Converter conv;
  CConv2FileFormat format;
  format.nSamplesPerSec = 22050;
  EXPECT_EQ(conv->Create(path.c_str(), &format, static_cast<tWAVEFORMATEX*>(nullptr)), 1);
  auto samples = Staircase16(22050 * 2);
  EXPECT_EQ(conv->WriteStreamData(samples.data(), static_cast<long>(samples.size()), nullptr),
            static_cast<long>(samples.size()));
  EXPECT_EQ(conv->EndWriteStream(), 0);
  TMusicInfo info;
  sonark::SetMusicInfoText(info.title, "Staircase");
  sonark::SetMusicInfoText(info.comment, "generated");
  info.year = 2001;
  info.track = 5;
  int ok = 0;
  EXPECT_GT(conv->FinalData(nullptr, "Tessel", &ok, &info), 0);
  conv->Close();
  return "'" + path + "'";
}

TEST(ConvWaveFilePeers, SoxReadsFormatAndLength) {
  if (!wave_test::HaveTool("soxi")) GTEST_SKIP() << "soxi is not installed";
  TempDir dir;
  const std::string file = WriteForPeers(dir);
  EXPECT_EQ(wave_test::Output("soxi -t " + file), "wav\n");
  EXPECT_EQ(wave_test::Output("soxi -r " + file), "22050\n");
  EXPECT_EQ(wave_test::Output("soxi -c " + file), "2\n");
  EXPECT_EQ(wave_test::Output("soxi -b " + file), "16\n");
  EXPECT_EQ(wave_test::Output("soxi -s " + file), "22050\n");
  // soxi shows no INFO texts of wave files at all (it skips ICMT and INAM), so the
  // information list is checked with ffprobe below.
}

TEST(ConvWaveFilePeers, FfprobeReadsTheInformationList) {
  if (!wave_test::HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
  TempDir dir;
  const std::string file = WriteForPeers(dir);
  EXPECT_EQ(wave_test::Output("ffprobe -v error -show_entries format_tags -of default=nw=1 " + file),
            "TAG:comment=generated\nTAG:title=Staircase\nTAG:date=2001\nTAG:track=5\n"
            "TAG:encoder=Tessel\n");
  EXPECT_EQ(wave_test::Output("ffprobe -v error -show_entries stream=sample_rate,channels,duration_ts "
                    "-of default=nw=1 " +
                    file),
            "sample_rate=22050\nchannels=2\nduration_ts=22050\n");
}

}  // namespace
