#include <gtest/gtest.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_wave_file.h>

namespace {

TEST(ConvFileFormat, CdQualityDefaults) {
  const CConv2FileFormat wave;
  EXPECT_EQ(wave.wFormatTag, kWaveFormatPcm);
  EXPECT_EQ(wave.nChannels, 2);
  EXPECT_EQ(wave.nSamplesPerSec, 44100u);
  EXPECT_EQ(wave.nAvgBytesPerSec, 176400u);
  EXPECT_EQ(wave.nBlockAlign, 4);
  EXPECT_EQ(wave.wBitsPerSample, 16);
  EXPECT_EQ(wave.cbSize, 94);
  EXPECT_EQ(wave.conversionType, fctWave);
  EXPECT_EQ(wave.soundQuality, sqQuality1);
  EXPECT_EQ(wave.preset, 1);
  EXPECT_EQ(wave.usePreset, 1);
  EXPECT_EQ(wave.bitrate, 192u);
  EXPECT_EQ(wave.id3TagType, ttId3V2);
  EXPECT_EQ(wave.isPrivate + wave.copyright + wave.original, 0);
  EXPECT_EQ(wave.mpegVersion, 1);
  EXPECT_EQ(wave.mode, 0);
  EXPECT_EQ(wave.minBitrate, 128u);
  EXPECT_EQ(wave.maxBitrate, 320u);
  EXPECT_EQ(wave.psyModel + wave.crc + wave.enableVBR + wave.emphasis + wave.enableABR, 0);
  EXPECT_EQ(wave.writeVBRHeader, 1);
  EXPECT_EQ(wave.resampleRate, 0u);
  EXPECT_EQ(wave.vbrQuality, 2);
  EXPECT_EQ(wave.abrBitrate, 192u);
  EXPECT_EQ(wave.noBitReservoir, 0);
  EXPECT_TRUE(wave.Validate());

  const CConv2FileFormat mp3(kWaveFormatMpegLayer3);
  EXPECT_EQ(mp3.conversionType, fctMP3);
  EXPECT_EQ(mp3.soundQuality, sqQuality2);
  EXPECT_EQ(mp3.preset, 9);
  EXPECT_TRUE(mp3.Validate());
}

TEST(ConvFileFormat, SoundQualityFollowsTheConversionType) {
  CConv2FileFormat wave;
  wave.SetSoundQuality(sqQuality3);
  EXPECT_EQ(wave.GetSoundQuality(), sqQuality0);

  CConv2FileFormat mp3(kWaveFormatMpegLayer3);
  mp3.preset = 4;
  mp3.SetSoundQuality(sqQuality0);
  EXPECT_EQ(mp3.GetSoundQuality(), sqQuality3);
  EXPECT_EQ(mp3.preset, 4);
  mp3.SetSoundQuality(sqQuality1);  // quality 1 changed: back to the default preset
  EXPECT_EQ(mp3.GetSoundQuality(), sqQuality2);
  EXPECT_EQ(mp3.preset, 9);
  EXPECT_TRUE(mp3.ValidateSoundQuality());
  mp3.soundQuality = sqQuality1;
  EXPECT_FALSE(mp3.ValidateSoundQuality());
  EXPECT_FALSE(mp3.Validate());
}

TEST(ConvFileFormat, CopyWaveFormatHeadAndValidate) {
  CConv2FileFormat wave;
  wave.nChannels = 1;
  wave.nSamplesPerSec = 22050;
  wave.CalcBlockAlignNAvgBytesPerSec();
  EXPECT_EQ(wave.nAvgBytesPerSec, 44100u);

  CConv2FileFormat copy(kWaveFormatMpegLayer3);
  EXPECT_EQ(copy.Copy(&wave, nullptr, 0), 1);
  EXPECT_EQ(copy.wFormatTag, kWaveFormatPcm);
  EXPECT_EQ(copy.nSamplesPerSec, 22050u);
  EXPECT_EQ(copy.Copy(nullptr, nullptr, 0), 0);

  // Copied for another converter type, the quality is mapped for that type.
  ASSERT_EQ(copy.Copy(&wave, nullptr, kWaveFormatMpegLayer3), 1);
  EXPECT_EQ(copy.conversionType, fctMP3);
  EXPECT_EQ(copy.soundQuality, sqQuality2);
  EXPECT_EQ(copy.preset, 9);
  CConv2WaveFile* converter = new CConv2WaveFile;
  ASSERT_EQ(copy.Copy(&copy, converter, 0), 1);
  EXPECT_EQ(copy.wFormatTag, kWaveFormatPcm);
  CRefObj* held = converter;
  DeleteRefObject(&held);

  tWAVEFORMATEX head{};
  wave.MakeIntoWaveFormatEx(&head);
  EXPECT_EQ(head.nChannels, 1);
  EXPECT_EQ(head.nBlockAlign, 2);
  EXPECT_EQ(head.cbSize, 0);

  CConv2FileFormat broken = wave;
  broken.cbSize = 93;
  EXPECT_FALSE(broken.Validate());
  broken = wave;
  broken.wBitsPerSample = 24;
  EXPECT_FALSE(broken.Validate());
  broken = wave;
  broken.conversionType = fctMP3;
  EXPECT_FALSE(broken.Validate());
}

TEST(ConvWaveFileFormat, PresetNaturalRatesAndValidation) {
  CConv2WaveFile* conv = new CConv2WaveFile;
  CConv2FileFormat format;
  format.nChannels = 1;
  format.nSamplesPerSec = 8000;
  format.preset = 7;
  conv->GetFormatFromPreset(&format, -1, ttId3V1, sqQuality3);
  EXPECT_EQ(format.preset, 1);
  EXPECT_EQ(format.id3TagType, ttId3V1);
  EXPECT_EQ(format.soundQuality, sqQuality0);
  EXPECT_EQ(format.nSamplesPerSec, 44100u);
  EXPECT_EQ(format.nChannels, 2);
  EXPECT_EQ(format.nAvgBytesPerSec, 176400u);
  conv->GetFormatFromPreset(&format, 3, ttUnchanged, sqUnchanged);
  EXPECT_EQ(format.preset, 3);
  EXPECT_EQ(format.id3TagType, ttId3V1);
  EXPECT_EQ(format.soundQuality, sqQuality0);

  const struct {
    uint32_t rate, natural;
  } rates[] = {{48000, 44100}, {32000, 44100}, {31999, 22050}, {16000, 22050}, {15999, 11025}};
  for (const auto& r : rates) {
    format.nSamplesPerSec = r.rate;
    conv->MakeMostNaturalFormatCallback(&format, nullptr, nullptr);
    EXPECT_EQ(format.nSamplesPerSec, r.natural) << r.rate;
  }

  CConv2FileFormat valid;
  EXPECT_TRUE(conv->ValidateFormat(&valid));
  for (uint32_t rate : {11025u, 22050u}) {
    valid.nSamplesPerSec = rate;
    EXPECT_TRUE(conv->ValidateFormat(&valid));
  }
  CConv2FileFormat invalid = valid;
  invalid.nSamplesPerSec = 48000;
  EXPECT_FALSE(conv->ValidateFormat(&invalid));
  invalid = valid;
  invalid.cbSize = 0;
  EXPECT_FALSE(conv->ValidateFormat(&invalid));
  invalid = valid;
  invalid.soundQuality = sqQuality3;
  EXPECT_FALSE(conv->ValidateFormat(&invalid));
  CConv2FileFormat mp3(kWaveFormatMpegLayer3);
  EXPECT_FALSE(conv->ValidateFormat(&mp3));
  EXPECT_FALSE(conv->ValidateFormat(nullptr));

  char text[64];
  CConv2FileFormat cd;
  conv->GetTargetFormatStr(text, sizeof(text), &cd);
  EXPECT_STREQ(text, "PCM, 44.100 kHz, 16 bit, Stereo");
  EXPECT_DOUBLE_EQ(conv->GetBytesToWrite(&cd, nullptr, 1500), 264600.0);
  EXPECT_EQ(conv->GetBytesToWrite(&cd, nullptr, -1), 0.0);

  CRefObj* held = conv;
  DeleteRefObject(&held);
}

}  // namespace
