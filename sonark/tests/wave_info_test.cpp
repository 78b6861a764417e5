#include <gtest/gtest.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_wave_file.h>
#include <sonark/load/music_info.h>
#include <sonark/load/wave_info.h>
#include <tarnell/file_obj.h>
#include <tarnell/riff.h>
#include <tarnell/tests/temp_dir.h>

#include <string>

#include "wave_test_support.h"

namespace {

using wave_test::Bytes;
using wave_test::Chunk;
using wave_test::Text;

// Text with its terminator, as most writers store INFO items.
Bytes Z(const std::string& text) {
  Bytes out = Text(text);
  out.push_back(0);
  return out;
}

class WaveInfoTest : public ::testing::Test {
 protected:
  // Writes `bytes`, reads their INFO list into info_ and returns ReadWaveMusicInfo's result.
  int Read(const Bytes& bytes) {
    EXPECT_TRUE(wave_test::WriteFile(path_, bytes));
    return ReadPath(path_);
  }

  int ReadPath(const std::string& path) {
    info_ = TMusicInfo{};
    CFileObj* file = new CFileObj;
    CRefObj* held = file;
    int result = -1;
    CRIFF riff;
    if (file->Open(path.c_str(), 0, 0) && riff.Open(file, nullptr)) {
      result = ReadWaveMusicInfo(&riff, &info_);
      EXPECT_EQ(riff.LevelsDown(), 0);
    }
    riff.Close();
    DeleteRefObject(&held);
    return result;
  }

  Bytes Wave(const std::vector<Chunk>& chunks) { return wave_test::Riff("WAVE", chunks); }

  TempDir dir_;
  std::string path_ = dir_.File("info.wav");
  TMusicInfo info_;
  const Bytes fmt_ = wave_test::Fmt(kWaveFormatPcm, 1, 8000, 8);
  const Bytes data_ = Bytes(101, 128);  // odd: a pad byte follows when asked
};

TEST_F(WaveInfoTest, EveryItemLandsInItsField) {
  Bytes cd = {3, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0};
  const Bytes list = wave_test::List("INFO", {{"INAM", Z("Title")},
                                              {"IART", Z("Artist")},
                                              {"IALB", Z("Album")},
                                              {"ICMT", Z("Note")},
                                              {"ICOP", Z("(c) us")},
                                              {"IENG", Z("Engineer")},
                                              {"ICRD", Z("2001-05-01")},
                                              {"IGNR", Z("(17)")},
                                              {"ITRK", Z("5/12")},
                                              {"IMCD", cd},
                                              {"ISFT", Z("ignored")}});
  ASSERT_EQ(Read(Wave({{"fmt ", fmt_}, {"data", data_}, {"LIST", list}})), 1);
  EXPECT_STREQ(info_.title, "Title");
  EXPECT_STREQ(info_.artist, "Artist");
  EXPECT_STREQ(info_.album, "Album");
  EXPECT_STREQ(info_.comment, "Note");
  EXPECT_STREQ(info_.copyright, "(c) us");
  EXPECT_STREQ(info_.encoder, "Engineer");
  EXPECT_EQ(info_.year, 2001);
  EXPECT_EQ(info_.genreIndex, 17);
  EXPECT_STREQ(info_.genre, "(17)");
  EXPECT_EQ(info_.track, 5);
  EXPECT_EQ(info_.totalTracks, 12);
  ASSERT_EQ(info_.cdIdentifierLength, 3);
  EXPECT_EQ(info_.cdIdentifier[2], 0xCC);
  EXPECT_EQ(info_.tagType, ttWaveInfo);
}

TEST_F(WaveInfoTest, OddItemsAreFoundWithAndWithoutPadBytes) {
  for (bool pad : {true, false}) {
    SCOPED_TRACE(pad ? "padded" : "unpadded");
    const Bytes list = wave_test::List(
        "INFO", {{"INAM", Z("abcd"), pad}, {"IART", Z("xyz"), pad}, {"ICMT", Text("odd"), pad}});
    ASSERT_EQ(Read(Wave({{"fmt ", fmt_}, {"data", data_, pad}, {"LIST", list, pad}})), 1);
    EXPECT_STREQ(info_.title, "abcd");
    EXPECT_STREQ(info_.artist, "xyz");
    EXPECT_STREQ(info_.comment, "odd");
  }
}

TEST_F(WaveInfoTest, OnlyTheInfoListIsRead) {
  const Bytes labels = wave_test::List("adtl", {{"INAM", Z("not a title")}});
  const Bytes info = wave_test::List("INFO", {{"INAM", Z("real")}});
  ASSERT_EQ(Read(Wave({{"LIST", labels}, {"fmt ", fmt_}, {"LIST", info}, {"data", data_}})), 1);
  EXPECT_STREQ(info_.title, "real");

  EXPECT_EQ(Read(Wave({{"fmt ", fmt_}, {"data", data_}})), 0);
  EXPECT_EQ(info_.tagType, ttNone);
  // A list of unknown items finds nothing.
  EXPECT_EQ(Read(Wave({{"fmt ", fmt_},
                       {"LIST", wave_test::List("INFO", {{"ISFT", Z("x")}})},
                       {"data", data_}})),
            0);
}

TEST_F(WaveInfoTest, DamagedItemsAreCutNotOverrun) {
  // A text without terminator filling more than the field, and a CD identifier claiming
  // more than it holds.
  const std::string longText(3000, 'x');
  Bytes cd = {0xFF, 0xFF, 0, 0, 1, 2};
  const Bytes list = wave_test::List("INFO", {{"INAM", Text(longText)}, {"IMCD", cd}});
  ASSERT_EQ(Read(Wave({{"fmt ", fmt_}, {"data", data_}, {"LIST", list}})), 1);
  EXPECT_EQ(std::string(info_.title), std::string(TMusicInfo::kTextSize - 1, 'x'));
  EXPECT_EQ(info_.cdIdentifierLength, 2);

  // An item whose size runs past the end of the file keeps what is there.
  Bytes cut = Wave({{"fmt ", fmt_},
                    {"data", data_},
                    {"LIST", wave_test::List("INFO", {{"IART", Z("Artist"), true, 5000}})}});
  ASSERT_EQ(Read(cut), 1);
  EXPECT_STREQ(info_.artist, "Artist");
}

TEST_F(WaveInfoTest, YearTrackAndGenreTexts) {
  EXPECT_EQ(sonark::YearFromText("1999"), 1999);
  EXPECT_EQ(sonark::YearFromText(" 2001-05-01"), 2001);
  EXPECT_EQ(sonark::YearFromText("999"), 0);
  EXPECT_EQ(sonark::YearFromText("3001"), 0);
  EXPECT_EQ(sonark::YearFromText("20011"), 0);
  EXPECT_EQ(sonark::YearFromText("May 2001"), 0);

  TMusicInfo info;
  sonark::SetTrackFromText(&info, "5/12");
  EXPECT_EQ(info.track, 5);
  EXPECT_EQ(info.totalTracks, 12);
  sonark::SetTrackFromText(&info, "7");
  EXPECT_EQ(info.track, 7);
  EXPECT_EQ(info.totalTracks, -1);
  sonark::SetTrackFromText(&info, "120/0");
  EXPECT_EQ(info.track, -1);
  EXPECT_EQ(info.totalTracks, -1);

  sonark::SetGenreFromText(&info, "(254)");
  EXPECT_EQ(info.genreIndex, 254);
  EXPECT_STREQ(info.genre, "(254)");
  info.genreIndex = 255;
  sonark::SetGenreFromText(&info, "(255)");
  EXPECT_EQ(info.genreIndex, 255);
  EXPECT_STREQ(info.genre, "(255)");
  sonark::SetGenreFromText(&info, "classic rock");
  EXPECT_EQ(info.genreIndex, 1);
  EXPECT_STREQ(info.genre, "(1)");
  info.genreIndex = 255;
  sonark::SetGenreFromText(&info, "Chiptune");
  EXPECT_EQ(info.genreIndex, 255);
  EXPECT_STREQ(info.genre, "Chiptune");
}

TEST_F(WaveInfoTest, ReadsWhatOurWaveWriterWrites) {
  CConv2WaveFile* conv = new CConv2WaveFile;
  CConv2FileFormat format;
  format.nChannels = 1;
  format.wBitsPerSample = 8;
  format.nSamplesPerSec = 11025;
  ASSERT_EQ(conv->Create(path_.c_str(), &format, static_cast<tWAVEFORMATEX*>(nullptr)), 1);
  unsigned char samples[3] = {1, 2, 3};
  long written = 0;
  ASSERT_EQ(conv->WriteStreamData(samples, 3, &written), 3);
  conv->EndWriteStream();
  TMusicInfo out;
  sonark::SetMusicInfoText(out.title, "abc");
  sonark::SetMusicInfoText(out.artist, "Someone");
  out.year = 1987;
  out.track = 3;
  out.totalTracks = 9;
  out.genreIndex = 8;
  out.cdIdentifierLength = 5;
  for (int i = 0; i < 5; ++i) out.cdIdentifier[i] = static_cast<unsigned char>(i + 1);
  int ok = 0;
  ASSERT_GT(conv->FinalData(nullptr, "Tessel", &ok, &out), 0);
  conv->Close();
  CRefObj* held = conv;
  DeleteRefObject(&held);

  ASSERT_EQ(ReadPath(path_), 1);
  EXPECT_STREQ(info_.title, "abc");
  EXPECT_STREQ(info_.artist, "Someone");
  EXPECT_EQ(info_.year, 1987);
  EXPECT_EQ(info_.track, 3);
  EXPECT_EQ(info_.totalTracks, 9);
  EXPECT_EQ(info_.genreIndex, 8);
  ASSERT_EQ(info_.cdIdentifierLength, 5);
  EXPECT_EQ(info_.cdIdentifier[4], 5);
}

TEST_F(WaveInfoTest, ReadsFfmpegMetadata) {
  if (!wave_test::HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  // Odd-length texts: ffmpeg pads them, its list comes before the data, and it keeps album
  // and track as "IPRD" and "IPRT".
  ASSERT_TRUE(wave_test::Run(
      "ffmpeg -nostdin -y -f lavfi -i sine=d=0.1:sample_rate=8000 -c:a pcm_u8 "
      "-metadata title=abc -metadata artist=abcd -metadata album=Xy -metadata comment=hello "
      "-metadata copyright=me -metadata date=1999 -metadata genre=Jazz -metadata track=4 '" +
      path_ + "'"));
  ASSERT_EQ(ReadPath(path_), 1);
  EXPECT_STREQ(info_.title, "abc");
  EXPECT_STREQ(info_.artist, "abcd");
  EXPECT_STREQ(info_.album, "Xy");
  EXPECT_STREQ(info_.comment, "hello");
  EXPECT_STREQ(info_.copyright, "me");
  EXPECT_EQ(info_.year, 1999);
  EXPECT_EQ(info_.genreIndex, 8);
  EXPECT_EQ(info_.track, 4);
}

}  // namespace
