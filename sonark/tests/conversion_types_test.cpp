#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/export/choice_list.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_file_obj.h>
#include <sonark/export/conversion_types.h>
#include <sonark/export/mp3_encoders.h>
#include <sonark/export/wave_rate_choices.h>
#include <sonark/tests/choice_list_test_support.h>

#include <tarnell/tests/temp_dir.h>

#include <string>
#include <vector>

namespace {

const auto kNoEncoder = static_cast<_tMP3EncoderDllTypedef>(2);

TEST(ConversionTypes, TableLookups) {
  EXPECT_EQ(GetFileConversionTypeFromFormatTag(kWaveFormatPcm), fctWave);
  EXPECT_EQ(GetFileConversionTypeFromFormatTag(kWaveFormatMpegLayer3), fctMP3);
  EXPECT_EQ(GetFileConversionTypeFromFormatTag(kWaveFormatAdpcm), fctNone);
  EXPECT_EQ(sonark::FindConversionType(fctNone), nullptr);
  EXPECT_EQ(sonark::FindConversionType(-1), nullptr);

  const _tSoundQualityTypedef wave[] = {sqQuality0, sqQuality1, sqQuality2, sqQuality0};
  const _tSoundQualityTypedef mp3[] = {sqQuality3, sqQuality2, sqQuality2, sqQuality3};
  for (int q = 0; q < 4; ++q) {
    const auto quality = static_cast<_tSoundQualityTypedef>(q);
    EXPECT_EQ(sonark::MapSoundQuality(fctWave, quality), wave[q]) << q;
    EXPECT_EQ(sonark::MapSoundQuality(fctMP3, quality), mp3[q]) << q;
  }
  EXPECT_EQ(sonark::MapSoundQuality(fctWave, static_cast<_tSoundQualityTypedef>(9)), sqQuality1);
  EXPECT_EQ(sonark::FindConversionType(fctWave)->defaultPreset, 1);
  EXPECT_EQ(sonark::FindConversionType(fctMP3)->defaultPreset, 9);
}

TEST(ConversionTypes, OnlyWaveIsAvailableWithoutEncoderLibraries) {
  TempDir nothing;
  sonark::internal::SetMP3EncoderFolder(nothing.File("").c_str());
  DetermineConvertersAvailable(kNoEncoder, nullptr);
  int flags[2] = {-1, -1};
  int count = 0;
  GetConvertersAvailable(&count, flags);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(GetConverterArraySize(), 2);
  EXPECT_EQ(flags[0], 1);
  EXPECT_EQ(flags[1], 0);
  EXPECT_EQ(FreeConversionLibraries(), 1);

  CConv2FileObj* wave = NewCConv2FileObj(fctWave, -1);
  ASSERT_NE(wave, nullptr);
  EXPECT_EQ(wave->GetConversionType(), fctWave);
  EXPECT_EQ(wave->GetFormatType(), kWaveFormatPcm);
  EXPECT_STREQ(wave->DefaultExt(), "wav");
  EXPECT_EQ(wave->GetDesiredBufferSize(), -1);
  CRefObj* held = wave;
  DeleteRefObject(&held);

  EXPECT_EQ(NewCConv2FileObj(fctMP3, -1), nullptr);
  EXPECT_EQ(platform::last_error(), sonark::kErrConverterUnavailable);
  // A converter asked for by its encoder is made; it fails only when it is used.
  CConv2FileObj* lame = NewCConv2FileObj(fctMP3, 0);
  ASSERT_NE(lame, nullptr);
  held = lame;
  DeleteRefObject(&held);
  EXPECT_EQ(NewCConv2FileObj(fctNone, 0), nullptr);

  // Without an encoder a wave source has nothing to become.
  EXPECT_EQ(DetermineTargetConversion("/music/song.WAV"), fctNone);
  EXPECT_EQ(DetermineTargetConversion("/music/song.mp3"), fctWave);
  EXPECT_EQ(DetermineTargetConversion("/music/song"), fctWave);
  EXPECT_EQ(DetermineTargetConversion("/music/take.wav/song"), fctWave);
  sonark::internal::SetMP3EncoderFolder(nullptr);
}

TEST(ConversionTypes, DefaultTitleIsTheFileNameWithoutExtension) {
  char title[16];
  CreateDefaultTagTitleString("/music/My Song.final.wav", title, sizeof(title));
  EXPECT_STREQ(title, "My Song.final");
  CreateDefaultTagTitleString("\\music\\b.wav", title, sizeof(title));
  EXPECT_STREQ(title, "b");
  CreateDefaultTagTitleString("/music/.hidden", title, sizeof(title));
  EXPECT_STREQ(title, ".hidden");
  CreateDefaultTagTitleString("/a.b/noext", title, sizeof(title));
  EXPECT_STREQ(title, "noext");
  CreateDefaultTagTitleString("/a very long file name.wav", title, sizeof(title));
  EXPECT_STREQ(title, "a very long fil");
}

TEST(ConversionTypes, BaseConverterConvertsNothing) {
  CConv2FileObj* base = new CConv2FileObj;
  EXPECT_EQ(base->GetConversionType(), fctNone);
  EXPECT_EQ(base->GetFormatType(), 0);
  EXPECT_STREQ(base->DefaultExt(), "");
  long written = 5;
  char data[4] = {};
  EXPECT_EQ(base->WriteStreamData(data, 4, &written), -1);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(base->EndWriteStream(), -1);
  int ok = 1;
  EXPECT_EQ(base->FinalData(nullptr, nullptr, &ok, nullptr), -1);
  EXPECT_EQ(ok, 0);
  CConv2FileFormat format;
  EXPECT_FALSE(base->ValidateFormat(&format));
  char text[8] = "x";
  base->GetTargetFormatStr(text, sizeof(text), &format);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(base->GetBytesToWrite(&format, nullptr, 1000), 0.0);
  EXPECT_EQ(base->ReserveTagSpace(), 0);
  EXPECT_EQ(base->WriteTag("p", "e", "t", static_cast<TMusicInfo*>(nullptr), nullptr), 0);
  CRefObj* held = base;
  DeleteRefObject(&held);
}


TEST(WaveRateChoices, ListSelectAndReadBack) {
  ListOfTexts list;
  char buffer[32];
  LoadStringsWaveSampleRates(&list, buffer, sizeof(buffer));
  EXPECT_EQ(list.items, (std::vector<std::string>{"44100 Hz", "22050 Hz", "11025 Hz"}));

  CConv2FileFormat format;
  format.nSamplesPerSec = 22050;
  SetWaveSampleRateValue(&list, &format);
  EXPECT_EQ(list.selected, 1);
  format.nSamplesPerSec = 48000;
  SetWaveSampleRateValue(&list, &format);
  EXPECT_EQ(list.selected, CChoiceList::kNoSelection);
  GetWaveSampleRateValue(&list, &format);
  EXPECT_EQ(format.nSamplesPerSec, 44100u);

  list.SetSelectedIndex(2);
  GetWaveSampleRateValue(&list, &format);
  EXPECT_EQ(format.nSamplesPerSec, 11025u);
  EXPECT_EQ(format.nAvgBytesPerSec, 11025u * 4);

  ListOfTexts own_buffer;
  LoadStringsWaveSampleRates(&own_buffer, nullptr, 0);
  EXPECT_EQ(own_buffer.items, list.items);
}

}  // namespace
