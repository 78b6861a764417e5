#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/load/format_support.h>
#include <sonark/tests/wave_test_support.h>
#include <tarnell/tests/temp_dir.h>

using namespace wave_test;

namespace {

class FormatSupport : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = dir_.File(name);
    EXPECT_TRUE(WriteFile(path, bytes));
    return path;
  }
  TempDir dir_;
};

TEST_F(FormatSupport, JudgesByExtensionThenByContent) {
  const Bytes garbage = Text("not a sound at all, just words");
  _formatSupportedInfo info;
  // MPEG names are taken on trust; the load itself refuses garbage later.
  EXPECT_EQ(FileFormatSupported(Write("song.MP3", garbage).c_str(), &info), 1);
  EXPECT_EQ(info.supported, 0);
  EXPECT_EQ(FileFormatSupported(Write("song.wav", garbage).c_str(), &info), 0);
  EXPECT_EQ(FileFormatSupported(Write("song.ogg", garbage).c_str(), &info), 0);
  EXPECT_EQ(FileFormatSupported(Write("s.sgp", garbage).c_str(), &info), 0);

  _formatSupportedInfo session;
  EXPECT_EQ(FileFormatSupported(Write("s.sgp", Riff("sess", {{"x   ", Bytes(4)}})).c_str(),
                                &session),
            1);
  EXPECT_EQ(session.session, 1);
  EXPECT_EQ(session.supported, 1);

  _formatSupportedInfo pcm;
  EXPECT_EQ(FileFormatSupported(Write("p.wav", PcmWave(2, 44100, 16, Bytes(400))).c_str(), &pcm),
            1);
  EXPECT_EQ(pcm.compressed, 0);
  EXPECT_EQ(pcm.formatChunk.size, 16u);
  EXPECT_EQ(pcm.format[0], 1);

  _formatSupportedInfo noFormat;
  EXPECT_EQ(
      FileFormatSupported(Write("n.wav", Riff("WAVE", {{"data", Bytes(8)}})).c_str(), &noFormat),
      0);
  EXPECT_EQ(platform::last_error(), sonark::kErrNoFormatChunk);
  EXPECT_EQ(noFormat.supported, 1);  // a RIFF file all the same
}

TEST_F(FormatSupport, CompressedWavesAskTheCodecManager) {
  // An A-law wave: a driver decodes it to PCM.
  _formatSupportedInfo alaw;
  const Bytes alawWave =
      Riff("WAVE", {{"fmt ", Fmt(kWaveFormatAlaw, 1, 8000, 8, 18)}, {"data", Bytes(800, 0xD5)}});
  EXPECT_EQ(FileFormatSupported(Write("a.wav", alawWave).c_str(), &alaw), 1);
  EXPECT_EQ(alaw.compressed, 1);
  EXPECT_EQ(alaw.codecInstalled, 1);
  EXPECT_EQ(alaw.pcmConversionFound, 1);

  // MPEG layer 3 inside a wave needs no codec of the manager.
  _formatSupportedInfo mpeg;
  const Bytes mpegWave =
      Riff("WAVE", {{"fmt ", Fmt(kWaveFormatMpegLayer3, 2, 44100, 0, 30)}, {"data", Bytes(8)}});
  EXPECT_EQ(FileFormatSupported(Write("m.wav", mpegWave).c_str(), &mpeg), 1);
  EXPECT_EQ(mpeg.pcmConversionFound, 1);

  // A tag nobody decodes.
  _formatSupportedInfo unknown;
  const Bytes odd = Riff("WAVE", {{"fmt ", Fmt(0x1234, 2, 44100, 16, 18)}, {"data", Bytes(8)}});
  EXPECT_EQ(FileFormatSupported(Write("u.wav", odd).c_str(), &unknown), 0);
  EXPECT_EQ(unknown.compressed, 1);
  EXPECT_EQ(unknown.codecInstalled, 0);
}

TEST_F(FormatSupport, CdTrackFiles) {
  Bytes record;
  PutLe16(record, 1);         // version
  PutLe16(record, 7);         // track
  PutLe32(record, 0xABCD);    // serial
  PutLe32(record, 150);       // start in sectors
  PutLe32(record, 922000u);  // length in sectors
  for (uint8_t b : {uint8_t{30}, uint8_t{2}, uint8_t{0}, uint8_t{0}}) record.push_back(b);
  for (uint8_t b : {uint8_t{37}, uint8_t{25}, uint8_t{3}, uint8_t{0}}) record.push_back(b);
  CCDAParser track;
  ASSERT_EQ(track.Parse(Write("t.cda", Riff("CDDA", {{"fmt ", record}})).c_str()), 1);
  EXPECT_EQ(track.TrackNum(), 7);
  EXPECT_EQ(track.TrackLength(), 205493);  // 3:25 and 37 frames
  EXPECT_EQ(track.TrackOffset(), 2400);    // 2 s and 30 frames

  CCDAParser wave;
  EXPECT_EQ(wave.Parse(Write("w.cda", Riff("WAVE", {{"fmt ", record}})).c_str()), 0);
  EXPECT_EQ(wave.ValidData(), 0);
  Bytes shortRecord(record.begin(), record.begin() + 20);
  EXPECT_EQ(wave.Parse(Write("s.cda", Riff("CDDA", {{"fmt ", shortRecord}})).c_str()), 0);
  EXPECT_EQ(LoadLibraryWMADecoder(), nullptr);
}

}  // namespace
