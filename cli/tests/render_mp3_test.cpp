#include <cli/tests/export_test_support.h>
#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace cli_test;

// A session of two tones, 1000 ms at 0 and 1000 ms at 500 ms (1500 ms, stereo 44.1 kHz),
// rendered to MP3 files that real readers check.
class Mp3Render : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"ffprobe", "mpg123"})
      if (!Installed(tool)) GTEST_SKIP() << tool << " is not installed";
    ASSERT_FALSE(folder_.path().empty());
    WriteTone("a.wav", 440.0);
    WriteTone("b.wav", 660.0);
    ASSERT_EQ(folder_.Run({"new", "s.sgp", "a.wav@0", "b.wav@500"}).status, 0);
    // Without the encoder library every MP3 render fails alike; say so once, plainly.
    Result probe = folder_.Run({"render", "s.sgp", "probe.mp3"});
    if (probe.status != 0 && Contains(probe.err, "MP3 export is unavailable"))
      GTEST_SKIP() << probe.err;
    ASSERT_EQ(probe.status, 0) << probe.err;
  }

  void WriteTone(const char* name, double hz) {
    std::vector<int16_t> samples;
    for (long f = 0; f < 44100; ++f) {
      const auto s = static_cast<int16_t>(8000 * std::sin(2 * M_PI * hz * f / 44100));
      samples.insert(samples.end(), {s, s});
    }
    WriteWave16(folder_.File(name), 44100, 2, samples);
  }

  // The first frame header behind the ID3v2 tag.
  const unsigned char* FirstFrame(const Bytes& file) {
    size_t at = 0;
    if (file.size() > 10 && memcmp(file.data(), "ID3", 3) == 0)
      at = 10 + (file[6] << 21 | file[7] << 14 | file[8] << 7 | file[9]);
    return at + 4 <= file.size() ? file.data() + at : nullptr;
  }

  Folder folder_;
};

TEST_F(Mp3Render, ReadersAgreeOnRateChannelsBitRateAndLength) {
  const std::string out = folder_.File("probe.mp3");
  EXPECT_EQ(Probe(out, "stream=codec_name"), "mp3");
  EXPECT_EQ(Probe(out, "stream=sample_rate"), "44100");
  EXPECT_EQ(Probe(out, "stream=channels"), "2");
  EXPECT_EQ(Probe(out, "stream=bit_rate"), "192000");
  const long frames = DecodedFrames(folder_, "probe.mp3");
  EXPECT_GE(frames, 66150);
  EXPECT_LE(frames, 66150 + kEncoderSlackFrames);
  EXPECT_TRUE(folder_.HiddenFiles().empty());

  // The phone preset: MPEG-2.5 (version bits 00) at 8000 Hz in one channel.
  ASSERT_EQ(folder_.Run({"render", "s.sgp", "phone.MP3", "--preset", "1"}).status, 0);
  const std::string phone = folder_.File("phone.MP3");
  EXPECT_EQ(Probe(phone, "stream=sample_rate"), "8000");
  EXPECT_EQ(Probe(phone, "stream=channels"), "1");
  const Bytes bytes = ReadBytes(phone);
  const unsigned char* frame = FirstFrame(bytes);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame[0], 0xFF);
  EXPECT_EQ(frame[1] & 0xF8, 0xE0) << "sync bits with MPEG-2.5";
  const long phone_frames = DecodedFrames(folder_, "phone.MP3");
  EXPECT_GE(phone_frames, 12000);
  EXPECT_LE(phone_frames, 12000 + kEncoderSlackFrames);
}

TEST_F(Mp3Render, VariableRateCarriesAXingHeaderAndTheExactLength) {
  Result render =
      folder_.Run({"render", "s.sgp", "vbr.mp3", "--vbr", "3", "--bitrate", "100", "--verbose"});
  ASSERT_EQ(render.status, 0) << render.err;
  EXPECT_TRUE(Contains(render.err, "VBR 96 to 320 kbit/s, quality 3")) << render.err;
  EXPECT_TRUE(Contains(render.err, "--bitrate 100 became 96")) << render.err;
  const Bytes bytes = ReadBytes(folder_.File("vbr.mp3"));
  const unsigned char* frame = FirstFrame(bytes);
  ASSERT_NE(frame, nullptr);
  const std::string head(reinterpret_cast<const char*>(frame), 64);
  EXPECT_TRUE(Contains(head, "Xing")) << "the Xing header sits in the first frame";
  // The header records the encoder's delay and padding, so the decoded length is exact.
  EXPECT_NEAR(DecodedFrames(folder_, "vbr.mp3"), 66150, 1152);

  // ABR with mono: one channel, the average rate in the settings.
  render =
      folder_.Run({"render", "s.sgp", "abr.mp3", "--abr", "128", "--mode", "mono", "--verbose"});
  ASSERT_EQ(render.status, 0) << render.err;
  EXPECT_TRUE(Contains(render.err, "ABR 128 kbit/s")) << render.err;
  EXPECT_EQ(Probe(folder_.File("abr.mp3"), "stream=channels"), "1");
}

TEST_F(Mp3Render, TagsAndInformationListsReadBackInBothFormats) {
  const std::string comment(200, 'c');
  const std::vector<std::string> tags = {
      "--title", "Ça va — ünï", "--artist", "Zoë",     "--album", "Ålbum",     "--year",
      "2001",    "--track",     "5/12",     "--genre", "Rock",    "--comment", comment};
  std::vector<std::string> args = {"render", "s.sgp", "tagged.mp3"};
  args.insert(args.end(), tags.begin(), tags.end());
  ASSERT_EQ(folder_.Run(args).status, 0);
  const std::string mp3 = folder_.File("tagged.mp3");
  EXPECT_EQ(Probe(mp3, "format_tags=title"), "Ça va — ünï");
  EXPECT_EQ(Probe(mp3, "format_tags=artist"), "Zoë");
  EXPECT_EQ(Probe(mp3, "format_tags=album"), "Ålbum");
  EXPECT_EQ(Probe(mp3, "format_tags=track"), "5/12");
  EXPECT_EQ(Probe(mp3, "format_tags=genre"), "Rock");
  EXPECT_EQ(Probe(mp3, "format_tags=Comments"), comment) << "the comment frame's description";
  if (Installed("id3v2")) {
    const std::string listed = Capture("id3v2 -l '" + mp3 + "'");
    EXPECT_TRUE(Contains(listed, "id3v1 tag info")) << listed;
    EXPECT_TRUE(Contains(listed, "Year: 2001, Genre: Rock (17)")) << listed;
    EXPECT_TRUE(Contains(listed, "TPE1 (Lead performer(s)/Soloist(s)): Zoë")) << listed;
    EXPECT_TRUE(Contains(listed, "TRCK (Track number/Position in set): 5/12")) << listed;
    EXPECT_TRUE(Contains(listed, comment)) << listed;
  } else {
    ADD_FAILURE() << "id3v2 is not installed (scripts/setup.sh installs it)";
  }

  // A wave's information list takes the same options.
  args[2] = "tagged.wav";
  args[4] = "Plain title";
  ASSERT_EQ(folder_.Run(args).status, 0);
  const std::string wave = folder_.File("tagged.wav");
  EXPECT_EQ(Probe(wave, "format_tags=title"), "Plain title");
  EXPECT_EQ(Probe(wave, "format_tags=artist"), "Zoë");
  EXPECT_EQ(Probe(wave, "format_tags=IALB"), "Ålbum");
  EXPECT_EQ(Probe(wave, "format_tags=track"), "5/12");
  EXPECT_EQ(Probe(wave, "format_tags=date"), "2001");
  EXPECT_EQ(Probe(wave, "format_tags=comment"), comment);
  // Without --title the title is the file's name.
  EXPECT_EQ(Probe(folder_.File("probe.mp3"), "format_tags=title"), "probe");
}

TEST_F(Mp3Render, RefusesBadEncoderOptionsAsUsageErrors) {
  const std::vector<std::vector<std::string>> bad = {
      {"--preset", "11"},  {"--bitrate", "500"},
      {"--vbr", "10"},     {"--mode", "quad"},
      {"--mpeg", "3"},     {"--preset", "1", "--mode", "mono"},
      {"--bits", "8"},     {"--rate", "44100", "--mpeg", "2"},
      {"--rate", "20000"}, {"--track", "100"},
      {"--track", "3/0"},  {"--genre", "200"},
      {"--year", "20"},    {"--overwrite"},
  };
  for (const auto& options : bad) {
    SCOPED_TRACE(options[0] + " " + (options.size() > 1 ? options[1] : ""));
    std::vector<std::string> args = {"render", "s.sgp", "o.mp3"};
    args.insert(args.end(), options.begin(), options.end());
    Result render = folder_.Run(args);
    EXPECT_EQ(render.status, 2);
    EXPECT_EQ(CountLines(render.err), 1) << render.err;
  }
  // Encoder options say nothing to a wave.
  EXPECT_EQ(folder_.Run({"render", "s.sgp", "o.wav", "--bitrate", "128"}).status, 2);
  EXPECT_FALSE(folder_.Exists("o.mp3"));
  EXPECT_FALSE(folder_.Exists("o.wav"));
}

// A write the disk refuses fails the render and deletes the partial file; a device cannot
// take an MP3, whose header and tags are completed in the finished file.
TEST_F(Mp3Render, ARefusedWriteFailsAndLeavesNoPartialFile) {
  // In the sound, and at the ID3v1 tag appended to the finished file.
  const long whole = static_cast<long>(ReadBytes(folder_.File("probe.mp3")).size());
  for (long limit : {8000L, whole - 100}) {
    SCOPED_TRACE(limit);
    Result render = folder_.RunWithFileSizeLimit({"render", "s.sgp", "out.mp3"}, limit);
    EXPECT_EQ(render.status, 1) << render.err;
    EXPECT_EQ(CountLines(render.err), 1) << render.err;
    EXPECT_TRUE(Contains(render.err, "partial file deleted")) << render.err;
    EXPECT_FALSE(folder_.Exists("out.mp3"));
    EXPECT_TRUE(folder_.HiddenFiles().empty());
  }
  ASSERT_EQ(symlink("/dev/null", folder_.File("null.mp3").c_str()), 0);
  Result render = folder_.Run({"render", "s.sgp", "null.mp3"});
  EXPECT_EQ(render.status, 1);
  EXPECT_TRUE(Contains(render.err, "an MP3 is written to a file only")) << render.err;
}

}  // namespace
