#include <gtest/gtest.h>
#include <sonark/errors.h>
#include <sonark/load/frame_header.h>
#include <sonark/load/mp3_info.h>
#include <tarnell/file_obj.h>
#include <tarnell/tests/temp_dir.h>

#include "wave_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

CFrameHeader Header(uint32_t word) {
  const char b[4] = {static_cast<char>(word >> 24), static_cast<char>(word >> 16),
                     static_cast<char>(word >> 8), static_cast<char>(word)};
  CFrameHeader h;
  h.loadHeader(b);
  return h;
}

// The shared helpers of the wave tests, under the names this file uses.
bool Have(const char* tool) { return wave_test::HaveTool(tool); }
using wave_test::Output;
Bytes ReadBytes(const std::string& path) { return wave_test::ReadFile(path); }
void WriteBytes(const std::string& path, const Bytes& bytes) { wave_test::WriteFile(path, bytes); }

class Mp3InfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Have("lame") || !Have("ffmpeg") || !Have("sox") || !Have("ffprobe")) {
      GTEST_SKIP() << "lame, ffmpeg, sox and ffprobe are needed to make the streams";
    }
  }

  // A 3-second 440 Hz tone at `rate` with `channels`.
  std::string Tone(int rate, int channels) {
    const std::string path = dir_.File("tone" + std::to_string(rate) + "_" +
                                       std::to_string(channels) + ".wav");
    Run("sox -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " -b 16 " +
        path + " synth 3 sine 440");
    return path;
  }

  void Run(const std::string& command) {
    ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
  }

  // Inspects `path`; returns loadInfo's result.
  int Inspect(const std::string& path) {
    info_ = CMP3Info{};
    CFileObj* file = new CFileObj;
    CRefObj* held = file;
    int result = -1;
    if (file->Open(path.c_str(), 0, 0)) result = info_.loadInfo(file);
    DeleteRefObject(&held);
    return result;
  }

  // Audio frames as ffmpeg counts them (the Xing/Info frame left out).
  int Packets(const std::string& path) {
    return std::atoi(Output("ffprobe -v error -count_packets -show_entries "
                            "stream=nb_read_packets -of csv=p=0 " + path).c_str());
  }

  TempDir dir_;
  CMP3Info info_;
};

TEST(FrameHeaderTest, FieldsTablesAndFrameLengths) {
  // MPEG-1 layer III, no CRC, 128 kbit/s, 44.1 kHz, padded, joint stereo, original.
  CFrameHeader h = Header(0xFFFBA244);
  EXPECT_TRUE(h.isValidHeader());
  EXPECT_EQ(h.getFrameSync(), 0x7FFu);
  EXPECT_EQ(h.getVersionIndex(), 3);
  EXPECT_EQ(h.getLayer(), 3);
  EXPECT_EQ(h.getProtectionBit(), 1);
  EXPECT_EQ(h.getBitrate(), 160);
  EXPECT_EQ(h.getFrequency(), 44100);
  EXPECT_EQ(h.getPaddingBit(), 1);
  EXPECT_EQ(h.getModeIndex(), 1);
  EXPECT_EQ(h.getOrginalBit(), 1);
  EXPECT_EQ(h.FrameLength(), 522 + 1);
  EXPECT_EQ(Header(0xFFFB9000).FrameLength(), 417);
  EXPECT_EQ(Header(0xFFFB9200).FrameLength(), 418);
  char mode[16];
  Header(0xFFFB90C0).getMode(mode);
  EXPECT_STREQ(mode, "Single Channel");
  EXPECT_EQ(Header(0xFFFB90C0).SideInfoSize(), 17);

  // MPEG-2 layer III 64 kbit/s 22.05 kHz: 576 samples, 72 bytes per kbit/s over the rate.
  EXPECT_EQ(Header(0xFFF38000).getFrequency(), 22050);
  EXPECT_EQ(Header(0xFFF38000).getBitrate(), 64);
  EXPECT_EQ(Header(0xFFF38000).FrameLength(), 208);
  // MPEG-2.5 layer II 8 kbit/s 8 kHz: 1152 samples.
  EXPECT_EQ(Header(0xFFE51800).getVersion(), 2.5f);
  EXPECT_EQ(Header(0xFFE51800).getFrequency(), 8000);
  EXPECT_EQ(Header(0xFFE51800).FrameLength(), 144);
  // MPEG-1 layer I 32 kbit/s 32 kHz, padded: 4-byte slots.
  EXPECT_EQ(Header(0xFFFF1A00).FrameLength(), (12 + 1) * 4);

  // Reserved version, layer, free format, bad bit rate, bad frequency, emphasis 2, no sync.
  for (uint32_t bad : {0xFFEB9000u, 0xFFF99000u, 0xFFFB0000u, 0xFFFBF000u, 0xFFFB9C00u,
                       0xFFFB9002u, 0xFF7B9000u}) {
    EXPECT_FALSE(Header(bad).isValidHeader()) << std::hex << bad;
    EXPECT_EQ(Header(bad).FrameLength(), 0) << std::hex << bad;
  }
}

TEST(FrameHeaderTest, XingAndInfoTags) {
  CVBitRate tag;
  const char frames_only[12] = {'X', 'i', 'n', 'g', 0, 0, 0, 1, 0, 0, 0x01, 0x02};
  EXPECT_EQ(tag.loadHeader(frames_only, 12), 1);
  EXPECT_EQ(tag.getNumberOfFrames(), 0x102);
  EXPECT_EQ(tag.getNumberOfBytes(), -1);
  EXPECT_TRUE(tag.isVariable());
  const char no_frames[12] = {'I', 'n', 'f', 'o', 0, 0, 0, 2, 0, 0, 0x01, 0x02};
  EXPECT_EQ(tag.loadHeader(no_frames, 12), 1);
  EXPECT_EQ(tag.getNumberOfFrames(), -1);
  EXPECT_EQ(tag.getNumberOfBytes(), 0x102);
  EXPECT_FALSE(tag.isVariable());
  // A tag cut short by the frame's end leaves its fields absent.
  EXPECT_EQ(tag.loadHeader(frames_only, 9), 1);
  EXPECT_EQ(tag.getNumberOfFrames(), -1);
  EXPECT_EQ(tag.loadHeader("LAME3.100...", 12), 0);
}

TEST_F(Mp3InfoTest, LameConstantBitRateStereo) {
  const std::string mp3 = dir_.File("cbr.mp3");
  Run("lame --quiet -b 128 " + Tone(44100, 2) + " " + mp3);
  ASSERT_EQ(Inspect(mp3), 0);
  EXPECT_EQ(info_.DataStart(), 0);
  EXPECT_EQ(info_.DataEnd(), static_cast<long>(ReadBytes(mp3).size()));
  EXPECT_EQ(info_.XingFound(), 1);  // LAME's "Info" tag
  EXPECT_FALSE(info_.isVBitRate());
  EXPECT_EQ(info_.getNumberOfFrames(), Packets(mp3));
  EXPECT_EQ(info_.getBitrate(), 128);
  EXPECT_EQ(info_.BestBitrate(), 128);
  EXPECT_EQ(info_.BestSamplingRate(), 44100);
  EXPECT_EQ(info_.BestNumChannels(), 2);
  EXPECT_EQ(info_.Channels(), 2);
  EXPECT_EQ(info_.getLengthInSeconds(), 3);
  const double probed = std::atof(
      Output("ffprobe -v error -show_entries format=duration -of csv=p=0 " + mp3).c_str());
  EXPECT_NEAR(info_.getLengthInMs(), probed * 1000, 1152 * 1000.0 / 44100);
  char text[32];
  info_.getVersion(text);
  EXPECT_STREQ(text, "MPEG 1 Layer III");

  // Cut in half, the file no longer holds what its Info header counts: the frames found count.
  const Bytes whole = ReadBytes(mp3);
  const std::string half = dir_.File("half.mp3");
  WriteBytes(half, Bytes(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2)));
  ASSERT_EQ(Inspect(half), 0);
  EXPECT_EQ(info_.getBitrate(), 128);
  EXPECT_NEAR(info_.getNumberOfFrames(), Packets(mp3) / 2, 2);
}

TEST_F(Mp3InfoTest, LameVariableBitRateWithXing) {
  const std::string mp3 = dir_.File("vbr.mp3");
  Run("lame --quiet -V 2 " + Tone(48000, 2) + " " + mp3);
  ASSERT_EQ(Inspect(mp3), 0);
  EXPECT_EQ(info_.XingFound(), 1);
  EXPECT_TRUE(info_.isVBitRate());
  EXPECT_EQ(info_.getNumberOfFrames(), info_.XingHeader().getNumberOfFrames());
  EXPECT_EQ(info_.getNumberOfFrames(), Packets(mp3));
  EXPECT_EQ(info_.getFrequency(), 48000);
  EXPECT_EQ(info_.BestSamplingRate(), 44100);
  EXPECT_GE(info_.BestBitrate(), info_.getBitrate());
}

TEST_F(Mp3InfoTest, LowerRatesMonoAndLayerTwo) {
  struct Case {
    int rate;
    std::string encode;  // {in} {out}
    const char* version;
    int best_rate;
  };
  const Case cases[] = {
      {22050, "lame --quiet -b 32 {in} {out}", "MPEG 2 Layer III", 22050},
      {16000, "lame --quiet -b 24 {in} {out}", "MPEG 2 Layer III", 22050},
      {8000, "lame --quiet -b 8 {in} {out}", "MPEG 2.5 Layer III", 11025},
      {32000, "ffmpeg -y -i {in} -c:a mp2 -b:a 64k -f mp2 {out}", "MPEG 1 Layer II", 44100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version + std::string(" ") + std::to_string(c.rate));
    const std::string out = dir_.File("low" + std::to_string(c.rate) + ".mp3");
    std::string command = c.encode;
    command.replace(command.find("{in}"), 4, Tone(c.rate, 1));
    command.replace(command.find("{out}"), 5, out);
    Run(command);
    ASSERT_EQ(Inspect(out), 0);
    char text[32];
    info_.getVersion(text);
    EXPECT_STREQ(text, c.version);
    EXPECT_EQ(info_.getFrequency(), c.rate);
    EXPECT_EQ(info_.BestSamplingRate(), c.best_rate);
    EXPECT_EQ(info_.BestNumChannels(), 1);
    EXPECT_EQ(info_.Channels(), 1);
    EXPECT_FALSE(info_.isVBitRate());
    EXPECT_NEAR(info_.getNumberOfFrames(), Packets(out), 1);
  }
}

TEST_F(Mp3InfoTest, TagsBoundTheAudioData) {
  const std::string mp3 = dir_.File("tagged.mp3");
  Run("ffmpeg -y -i " + Tone(44100, 2) +
      " -c:a libmp3lame -b:a 192k -id3v2_version 3 -write_id3v1 1 -metadata title=Tone "
      "-metadata artist=Someone " + mp3);
  const Bytes bytes = ReadBytes(mp3);
  ASSERT_GT(bytes.size(), 10u);
  ASSERT_EQ(std::string(bytes.begin(), bytes.begin() + 3), "ID3");
  const long tag = ((bytes[6] * 128L + bytes[7]) * 128 + bytes[8]) * 128 + bytes[9];
  ASSERT_EQ(Inspect(mp3), 0);
  EXPECT_EQ(info_.GetTagType(), ttId3V2);
  EXPECT_EQ(info_.GetTagSize(), static_cast<unsigned long>(tag));
  EXPECT_EQ(info_.DataStart(), 10 + tag);
  EXPECT_EQ(info_.DataEnd(), static_cast<long>(bytes.size()) - 128);
  EXPECT_EQ(info_.isTagged(), 1);
  EXPECT_STREQ(info_.TitleString(), "Tone");
  EXPECT_STREQ(info_.ArtistString(), "Someone");
  EXPECT_EQ(info_.getNumberOfFrames(), Packets(mp3));
  // ffmpeg writes its Info frame at a bit rate of its own: the stream is still constant.
  EXPECT_FALSE(info_.isVBitRate());
  EXPECT_EQ(info_.BestBitrate(), 192);

  // Only the ID3v1 tag, version 1.1 with track 7: it is the tag reported.
  Bytes stripped(bytes.begin() + 10 + tag, bytes.end());
  stripped[stripped.size() - 3] = 0;
  stripped[stripped.size() - 2] = 7;
  const std::string v1 = dir_.File("v1.mp3");
  WriteBytes(v1, stripped);
  ASSERT_EQ(Inspect(v1), 0);
  EXPECT_EQ(info_.GetTagType(), ttId3V1);
  EXPECT_EQ(info_.GetTagSize(), 128u);
  EXPECT_EQ(info_.DataStart(), 0);
  EXPECT_EQ(info_.DataEnd(), static_cast<long>(stripped.size()) - 128);
  EXPECT_EQ(info_.getTrackNumber(), 7);
  EXPECT_EQ(info_.Tag().getVersion(), 1.1f);
  char title[31];
  info_.getTitle(title);
  EXPECT_STREQ(title, "Tone");

  // A tag size reaching past the end is no tag; the frames behind it are still found.
  Bytes lying = bytes;
  lying[6] = 0x7F;
  const std::string bad = dir_.File("lying.mp3");
  WriteBytes(bad, lying);
  ASSERT_EQ(Inspect(bad), 0);
  EXPECT_EQ(info_.GetTagType(), ttId3V1);
  EXPECT_EQ(info_.DataStart(), 10 + tag);
}

TEST_F(Mp3InfoTest, NoValidFrameIsRefused) {
  std::mt19937 random(13);
  Bytes garbage(200000);
  for (auto& b : garbage) b = static_cast<unsigned char>(random());
  Bytes tags_only = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 20};
  tags_only.resize(30 + 128);
  tags_only[30] = 'T', tags_only[31] = 'A', tags_only[32] = 'G';
  // A header where the scan gives up is not a stream.
  Bytes late(1638401 + 4);
  late[1638401] = 0xFF, late[1638402] = 0xFB, late[1638403] = 0x90;
  for (const Bytes& bytes : {garbage, tags_only, late, Bytes{0xFF, 0xFB, 0x90}, Bytes{}}) {
    const std::string path = dir_.File("bad.mp3");
    WriteBytes(path, bytes);
    EXPECT_EQ(Inspect(path), 3) << bytes.size();
    EXPECT_EQ(info_.LoadError(), sonark::kErrMpegInspection);
    EXPECT_EQ(info_.DataSize(), 0) << bytes.size();
  }
  EXPECT_EQ(CMP3Info{}.loadInfo(nullptr), 2);
}

}  // namespace
