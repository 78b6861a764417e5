#include <gtest/gtest.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_mp3.h>
#include <sonark/export/mp3_choices.h>
#include <sonark/export/mp3_settings.h>
#include <sonark/tests/choice_list_test_support.h>
#include <tarnell/reg_key.h>
#include <tarnell/tests/temp_dir.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Converters are reference counted: the test's one reference goes with the holder.
template <typename T>
struct Conv {
  T* p = new T;
  ~Conv() {
    CRefObj* held = p;
    DeleteRefObject(&held);
  }
  T* operator->() { return p; }
};

CConv2FileFormat Mp3() { return CConv2FileFormat(kWaveFormatMpegLayer3); }

using Rates = std::vector<unsigned long>;
// Bit rate, minimum, maximum.
Rates BitRates(const CConv2FileFormat& f) { return {f.bitrate, f.minBitrate, f.maxBitrate}; }

// Member by member: the record has padding that copies need not keep.
void ExpectSame(const CConv2FileFormat& a, const CConv2FileFormat& b) {
  const auto members = [](const CConv2FileFormat& f) {
    return std::vector<long>{
        f.wFormatTag,     f.nChannels,   f.nSamplesPerSec, f.nAvgBytesPerSec, f.nBlockAlign,
        f.wBitsPerSample, f.cbSize,      f.conversionType, f.soundQuality,    f.preset,
        f.usePreset,      f.bitrate,     f.id3TagType,     f.isPrivate,       f.copyright,
        f.original,       f.mpegVersion, f.mode,           f.minBitrate,      f.maxBitrate,
        f.psyModel,       f.crc,         f.enableVBR,      f.writeVBRHeader,  f.resampleRate,
        f.emphasis,       f.vbrQuality,  f.enableABR,      f.abrBitrate,      f.noBitReservoir};
  };
  EXPECT_EQ(members(a), members(b));
}

TEST(Mp3Settings, MostNaturalBitRates) {
  const struct {
    unsigned long in, mpeg1, mpeg2;
  } cases[] = {{100, 96, 96}, {104, 96, 96},   {105, 112, 112}, {400, 320, 160}, {8, 32, 8},
               {0, 32, 8},    {4, 32, 8},      {128, 128, 128}, {161, 160, 160}, {12, 32, 8},
               {13, 32, 16},  {176, 160, 160}, {177, 192, 160}};
  for (const auto& c : cases) {
    EXPECT_EQ(FindMostNaturalMPEG1BitRate(c.in), c.mpeg1) << c.in;
    EXPECT_EQ(FindMostNaturalMPEG2XBitRate(c.in), c.mpeg2) << c.in;
  }
  // The plural forms give the rates beside the natural one, the rate itself at an end.
  unsigned long lower = 0, natural = 0, upper = 0, value = 100;
  FindMostNaturalMPEG1BitRates(&lower, &natural, &upper, &value);
  EXPECT_EQ((Rates{lower, natural, upper, value}), (Rates{80, 96, 112, 96}));
  value = 500;
  FindMostNaturalMPEG1BitRates(&lower, nullptr, &upper, &value);
  EXPECT_EQ((Rates{lower, upper, value}), (Rates{256, 320, 320}));
  value = 1;
  FindMostNaturalMPEG2XBitRates(&lower, nullptr, &upper, &value);
  EXPECT_EQ((Rates{lower, upper, value}), (Rates{8, 16, 8}));
}

TEST(Mp3Settings, PresetsFollowTheTableAndTheEncoder) {
  struct Row {
    int version;
    uint32_t bitrate, min, max;
    int quality;
    uint32_t rate;
    int mode, channels;
  };
  const Row rows[] = {{2, 16, 8, 56, 6, 8000, 3, 1},      {2, 24, 8, 64, 5, 11025, 3, 1},
                      {0, 32, 16, 128, 5, 16000, 3, 1},   {0, 96, 24, 160, 5, 22050, 1, 2},
                      {1, 64, 32, 128, 4, 32000, 3, 1},   {1, 112, 64, 256, 4, 44100, 1, 2},
                      {1, 128, 96, 320, 4, 44100, 1, 2},  {1, 160, 112, 320, 3, 44100, 1, 2},
                      {1, 192, 128, 320, 2, 44100, 0, 2}, {1, 256, 160, 320, 0, 44100, 0, 2}};
  Conv<CLameConv2MP3> lame;
  Conv<CBladeConv2MP3> blade;
  for (long preset = 1; preset <= 10; ++preset) {
    const Row& r = rows[preset - 1];
    for (CConv2MP3* conv : {static_cast<CConv2MP3*>(lame.p), static_cast<CConv2MP3*>(blade.p)}) {
      CConv2FileFormat f = Mp3();
      f.enableVBR = f.enableABR = 1;
      conv->GetFormatFromPreset(&f, preset, ttId3V1, sqUnchanged);
      const bool joint = conv == lame.p && r.mode == 1;
      SCOPED_TRACE(testing::Message()
                   << "preset " << preset << (conv == lame.p ? " lame" : " blade"));
      EXPECT_EQ(f.preset, preset);
      EXPECT_EQ(f.id3TagType, ttId3V1);
      EXPECT_EQ(f.mpegVersion, r.version);
      EXPECT_EQ(BitRates(f), (Rates{r.bitrate, r.min, r.max}));
      EXPECT_EQ(f.abrBitrate, r.bitrate);
      EXPECT_EQ(f.vbrQuality, r.quality);
      EXPECT_EQ(f.nSamplesPerSec, r.rate);
      EXPECT_EQ(f.mode, r.mode == 1 && !joint ? 0 : r.mode);
      EXPECT_EQ(f.nChannels, r.channels);
      EXPECT_EQ(f.nAvgBytesPerSec, r.rate * 2 * r.channels);
      EXPECT_EQ(f.enableVBR + f.enableABR, 0);
    }
  }
  // -1 is the type's default preset; one outside the table falls back to it too.
  CConv2FileFormat f = Mp3();
  lame->GetFormatFromPreset(&f, 11, ttUnchanged, sqUnchanged);
  EXPECT_EQ(f.preset, 9);
  EXPECT_EQ(f.bitrate, 192u);
}

TEST(Mp3Settings, EncoderChangeAdaptsTheSettings) {
  Conv<CLameConv2MP3> lame;
  Conv<CBladeConv2MP3> blade;
  CConv2FileFormat f = Mp3();
  f.mpegVersion = 2;  // MPEG-2.5 at 44100 Hz
  f.bitrate = 192;
  f.minBitrate = 150;
  f.maxBitrate = 320;
  f.abrBitrate = 300;
  lame->UpdateSettingsAfterEncoderChange(&f);
  EXPECT_EQ(f.nSamplesPerSec, 11025u);
  EXPECT_EQ(BitRates(f), (Rates{160, 128, 160}));
  EXPECT_EQ(f.abrBitrate, 159u);
  EXPECT_EQ(f.nAvgBytesPerSec, 11025u * 4);

  f = Mp3();
  f.minBitrate = 8;
  f.maxBitrate = 8;
  f.bitrate = 8;
  lame->UpdateSettingsAfterEncoderChange(&f);
  EXPECT_EQ(BitRates(f), (Rates{32, 32, 40}));

  // BladeEnc: MPEG-1 only, constant rates of its table, no joint stereo.
  f = Mp3();
  f.mpegVersion = 0;
  f.nSamplesPerSec = 22050;
  f.mode = 1;
  f.enableVBR = f.enableABR = 1;
  f.bitrate = 100;
  blade->UpdateSettingsAfterEncoderChange(&f);
  EXPECT_EQ(f.mpegVersion, 1);
  EXPECT_EQ(f.nSamplesPerSec, 44100u);
  EXPECT_EQ(f.mode, 0);
  EXPECT_EQ(f.nChannels, 2);
  EXPECT_EQ(f.enableVBR + f.enableABR, 0);
  EXPECT_EQ(f.bitrate, 96u);
  EXPECT_TRUE(blade->ValidateFormat(&f));
  f.mode = 3;
  blade->UpdateSettingsAfterEncoderChange(&f);
  EXPECT_EQ(f.nChannels, 1);
}

TEST(Mp3Settings, ValidateFormatRefusesWhatTheEncoderCannotWrite) {
  Conv<CLameConv2MP3> lame;
  Conv<CBladeConv2MP3> blade;
  CConv2FileFormat good = Mp3();
  EXPECT_TRUE(lame->ValidateFormat(&good));
  EXPECT_TRUE(blade->ValidateFormat(&good));
  EXPECT_FALSE(lame->ValidateFormat(nullptr));

  auto refused = [&](CConv2MP3* conv, auto change) {
    CConv2FileFormat f = Mp3();
    change(f);
    return !conv->ValidateFormat(&f);
  };
  EXPECT_TRUE(refused(lame.p, [](CConv2FileFormat& f) { f.SetFormatTag(kWaveFormatPcm); }));
  EXPECT_TRUE(refused(lame.p, [](CConv2FileFormat& f) { f.id3TagType = ttWaveInfo; }));
  EXPECT_TRUE(refused(lame.p, [](CConv2FileFormat& f) { f.mode = 4; }));
  EXPECT_TRUE(refused(lame.p, [](CConv2FileFormat& f) { f.preset = 11; }));
  EXPECT_TRUE(refused(lame.p, [](CConv2FileFormat& f) { f.soundQuality = sqQuality1; }));
  EXPECT_TRUE(refused(lame.p, [](CConv2FileFormat& f) { f.cbSize = 0; }));
  EXPECT_TRUE(refused(lame.p, [](CConv2FileFormat& f) { f.mpegVersion = 3; }));
  EXPECT_TRUE(refused(blade.p, [](CConv2FileFormat& f) { f.mode = 1; }));
  EXPECT_TRUE(refused(blade.p, [](CConv2FileFormat& f) { f.mpegVersion = 0; }));
  EXPECT_TRUE(refused(blade.p, [](CConv2FileFormat& f) { f.bitrate = 100; }));
  EXPECT_FALSE(refused(lame.p, [](CConv2FileFormat& f) { f.preset = 0, f.usePreset = 0; }));

  // A foreign rate is replaced by the version's own; the channels follow the mode.
  CConv2FileFormat f = Mp3();
  f.mpegVersion = 0;
  f.nSamplesPerSec = 44100;
  f.mode = 3;
  ASSERT_TRUE(lame->ValidateFormat(&f));
  EXPECT_EQ(f.nSamplesPerSec, 22050u);
  EXPECT_EQ(f.nChannels, 1);
}

TEST(Mp3Settings, SizeEstimatesAndDescriptions) {
  Conv<CLameConv2MP3> lame;
  Conv<CBladeConv2MP3> blade;
  CConv2FileFormat f = Mp3();
  f.enableVBR = 1;
  f.minBitrate = 128;
  f.maxBitrate = 320;
  f.vbrQuality = 2;
  EXPECT_EQ(lame->GetBitrateForBytesToWrite(&f), 272u);
  EXPECT_EQ(blade->GetBitrateForBytesToWrite(&f), 192u);  // no VBR: the bit rate
  f.enableABR = 1;
  f.abrBitrate = 200;
  EXPECT_EQ(lame->GetBitrateForBytesToWrite(&f), 200u);
  // 10 s at 200 kbit/s; the user's settings are taken for quality 2.
  EXPECT_DOUBLE_EQ(lame->GetBytesToWrite(&f, nullptr, 10000), 250000.0);
  EXPECT_EQ(lame->GetBytesToWrite(&f, nullptr, -1), 0.0);

  char text[256];
  CConv2FileFormat cd = Mp3();
  lame->GetTargetFormatStr(text, sizeof text, &cd);
  EXPECT_STREQ(text, "MPEG 1, 192 kbit/s, Stereo");
  lame->GetUserSettingsStr(text, sizeof text, &f);
  EXPECT_STREQ(text, "MPEG 1 Layer 3, ABR 128-320 kbit/s, average 200 kbit/s, Stereo, Xing header");
  f.enableABR = 0;
  f.crc = f.copyright = 1;
  f.mode = 3;
  lame->GetUserSettingsStr(text, sizeof text, &f);
  EXPECT_STREQ(text,
               "MPEG 1 Layer 3, VBR 128-320 kbit/s, quality 2, Mono, Xing header, CRC, copyright");
  blade->GetUserSettingsStr(text, sizeof text, &f);
  EXPECT_STREQ(text, "MPEG 1 Layer 3, 192 kbit/s, Mono, CRC, copyright");
  char tiny[8];
  lame->GetUserSettingsStr(tiny, sizeof tiny, &f);
  EXPECT_STREQ(tiny, "MPEG 1 ");
}

TEST(Mp3Settings, TargetFormatFollowsTheSourceWithinTheUsersMaximums) {
  Conv<CLameConv2MP3> lame;
  Conv<CBladeConv2MP3> blade;
  tWAVEFORMATEX mono8{};
  mono8.wFormatTag = kWaveFormatPcm;
  mono8.nChannels = 1;
  mono8.nSamplesPerSec = 11025;
  mono8.wBitsPerSample = 8;

  CConv2FileFormat user = Mp3();
  user.SetSoundQuality(sqQuality3);
  user.id3TagType = ttId3V1;
  user.bitrate = 0;
  CConv2FileFormat target = Mp3();
  TMusicInfo info;
  info.tagType = ttId3V2;
  info.tagSize = 5000;
  lame->GetTargetFormat(&target, &user, &mono8, &info, nullptr);
  EXPECT_EQ(target.mpegVersion, 2);
  EXPECT_EQ(target.nSamplesPerSec, 11025u);
  EXPECT_EQ(target.nChannels, 1);
  EXPECT_EQ(target.wBitsPerSample, 16);
  EXPECT_EQ(target.mode, 3);
  EXPECT_EQ(BitRates(target), (Rates{16, 8, 24}));
  EXPECT_EQ(target.id3TagType, ttId3V1);
  EXPECT_EQ(lame->TagType(), ttId3V1);
  EXPECT_EQ(lame->ReservedTagSize(), 6024u);

  // BladeEnc raises the rate to MPEG-1 and caps the bit rate at the user's.
  user.bitrate = 40;
  blade->GetTargetFormat(&target, &user, &mono8, nullptr, nullptr);
  EXPECT_EQ(target.mpegVersion, 1);
  EXPECT_EQ(target.nSamplesPerSec, 44100u);
  EXPECT_EQ(target.bitrate, 40u);
  EXPECT_EQ(blade->ReservedTagSize(), 128u);

  // The user's own settings stand, adapted to the encoder.
  user = Mp3();
  user.mode = 1;
  user.id3TagType = static_cast<_tTagTypedef>(7);
  blade->GetTargetFormat(&target, &user, &mono8, nullptr, nullptr);
  EXPECT_EQ(target.nSamplesPerSec, 44100u);
  EXPECT_EQ(target.mode, 0);
  EXPECT_EQ(target.nChannels, 2);
  EXPECT_EQ(target.id3TagType, ttId3V2);
  EXPECT_EQ(blade->ReservedTagSize(), 2048u);
}

class Mp3Preferences : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    const char* old = getenv("QUARL_REGISTRY");
    saved_ = old ? old : "";
    setenv("QUARL_REGISTRY", dir_.File("registry.reg").c_str(), 1);
    CRegKey machine;
    key_.reset(machine.CreateSubKey("SOFTWARE\\Brenwick\\Halvard\\MP3EncoderOptions"));
    ASSERT_NE(key_, nullptr);
  }
  void TearDown() override {
    key_.reset();
    if (saved_.empty()) {
      unsetenv("QUARL_REGISTRY");
    } else {
      setenv("QUARL_REGISTRY", saved_.c_str(), 1);
    }
  }
  TempDir dir_;
  std::string saved_;
  std::unique_ptr<CRegKey> key_;
};

TEST_F(Mp3Preferences, RoundTripAndPartialKeys) {
  CConv2FileFormat written = Mp3();
  written.nChannels = 1;
  written.nSamplesPerSec = 22050;
  written.mpegVersion = 0;
  written.mode = 3;
  written.bitrate = 64;
  written.minBitrate = 32;
  written.maxBitrate = 128;
  written.enableVBR = 1;
  written.vbrQuality = 7;
  written.abrBitrate = 80;
  written.crc = written.original = written.noBitReservoir = 1;
  written.preset = 3;
  written.SetSoundQuality(sqQuality3);
  written.CalcBlockAlignNAvgBytesPerSec();
  ASSERT_EQ(written.WritePreferences(key_.get()), 1);

  CConv2FileFormat read = Mp3();
  EXPECT_EQ(read.ReadPreferences(key_.get()), 1);
  ExpectSame(read, written);

  // A wave record keeps to the common values.
  CConv2FileFormat wave;
  EXPECT_EQ(wave.ReadPreferences(key_.get()), 1);
  EXPECT_EQ(wave.nSamplesPerSec, 22050u);
  EXPECT_EQ(wave.mpegVersion, 1);
  EXPECT_EQ(wave.soundQuality, sqQuality0);  // 3 as the wave type takes it

  // Only the bit rate stored: only the bit rate changes.
  ASSERT_EQ(key_->DeleteSubKeys(nullptr), 1);
  CRegKey machine;
  key_.reset(machine.CreateSubKey("SOFTWARE\\Brenwick\\Halvard\\Other"));
  ASSERT_EQ(key_->SetKeyNum("ConvertToBitrate", 128), 1);
  CConv2FileFormat only = Mp3();
  EXPECT_EQ(only.ReadPreferences(key_.get()), 1);
  CConv2FileFormat expected = Mp3();
  expected.bitrate = 128;
  ExpectSame(only, expected);

  // A stored preset 0 without the flag turns presets off; values of another kind are ignored;
  // a record that cannot be valid falls back to the defaults.
  ASSERT_EQ(key_->SetKeyNum("ConvertToSonarkPreset", 0), 1);
  ASSERT_EQ(key_->SetKeyString("ConvertToMode", "3"), 1);
  CConv2FileFormat off = Mp3();
  EXPECT_EQ(off.ReadPreferences(key_.get()), 1);
  EXPECT_EQ(off.usePreset, 0);
  EXPECT_EQ(off.mode, 0);
  ASSERT_EQ(key_->SetKeyNum("ConvertToChannels", 7), 1);
  CConv2FileFormat damaged = Mp3();
  EXPECT_EQ(damaged.ReadPreferences(key_.get()), 1);
  ExpectSame(damaged, Mp3());
  EXPECT_EQ(damaged.ReadPreferences(nullptr), 0);
}

// A list that records what the helpers put in and select.

struct FakeSlider : CSliderControl {
  int low = -1, high = -1, position = -1;
  void SetRange(int l, int h) override { low = l, high = h; }
  void SetPosition(int p) override { position = p; }
  int Position() override { return position; }
};

struct FakeField : CTextField {
  std::string text;
  int limit = 0;
  void SetText(const char* t) override { text = t; }
  void GetText(char* out, int size) override {
    std::strncpy(out, text.c_str(), static_cast<size_t>(size - 1));
    out[size - 1] = '\0';
  }
  void SetLengthLimit(int n) override { limit = n; }
};

TEST(Mp3Choices, ListsFollowTheEncoderAndTheVersion) {
  Conv<CLameConv2MP3> lame;
  Conv<CBladeConv2MP3> blade;
  CConv2FileFormat f = Mp3();

  ListOfTexts modes;
  LoadStringsMP3Modes(&modes, lame.p);
  EXPECT_EQ(modes.items,
            (std::vector<std::string>{"Stereo", "Joint stereo", "Dual channel", "Mono"}));
  modes.Clear();
  LoadStringsMP3Modes(&modes, blade.p);
  EXPECT_EQ(modes.items, (std::vector<std::string>{"Stereo", "Dual channel", "Mono"}));
  f.mode = 1;
  SetMP3ModeValue(&modes, blade.p, &f);
  EXPECT_EQ(modes.selected, 0);
  modes.SetSelectedIndex(2);
  GetMP3ModeValue(&modes, blade.p, &f);
  EXPECT_EQ(f.mode, 3);
  EXPECT_EQ(f.nChannels, 1);

  ListOfTexts versions;
  LoadStringsMP3Versions(&versions, blade.p);
  EXPECT_EQ(versions.items, std::vector<std::string>{"MPEG 1"});
  versions.Clear();
  LoadStringsMP3Versions(&versions, lame.p);
  EXPECT_EQ(versions.items.size(), 3u);
  versions.SetSelectedIndex(2);
  GetMP3VersionValue(&versions, lame.p, &f);
  EXPECT_EQ(f.mpegVersion, 2);

  ListOfTexts tags;
  LoadStringsMP3TagTypes(&tags);
  ASSERT_EQ(tags.items.size(), 3u);
  f.id3TagType = ttNone;
  SetMP3TagTypeValue(&tags, &f);
  EXPECT_EQ(tags.selected, 2);

  // Bit rates: the MPEG-2 table from the top; a rate beyond it goes to the nearest end.
  ListOfTexts rates;
  LoadStringsMP3Bitrates(&rates, &f);
  ASSERT_EQ(rates.items.size(), 13u);
  EXPECT_EQ(rates.items.front(), "160 kbit/s");
  EXPECT_EQ(rates.items.back(), "8 kbit/s");
  f.bitrate = 320;
  SetMP3BitrateValue(&rates, &f);
  EXPECT_EQ(rates.selected, 0);
  rates.SetSelectedIndex(12);
  GetMP3BitrateValue(&rates, &f);
  EXPECT_EQ(f.bitrate, 8u);

  // Raising the minimum to the maximum moves the maximum up and keeps ABR between them.
  f.minBitrate = 32;
  f.maxBitrate = 64;
  f.abrBitrate = 48;
  ListOfTexts mins, maxs;
  FakeField abr;
  LoadStringsMP3MinBitrates(&mins, &f);
  LoadStringsMP3MaxBitrates(&maxs, &f);
  InitMP3ABREdit(&abr, &f);
  EXPECT_EQ(abr.limit, 3);
  EXPECT_EQ(abr.text, "48");
  mins.SetSelectedIndex(5);  // 64
  GetMP3MinBitrateValue(&mins, &f, &maxs, &abr);
  EXPECT_EQ(f.minBitrate, 64u);
  EXPECT_EQ(f.maxBitrate, 80u);
  EXPECT_EQ(maxs.selected, 4);
  EXPECT_EQ(abr.text, "65");
  abr.text = "999";
  GetMP3ABREditValue(&abr, &f);
  EXPECT_EQ(f.abrBitrate, 79u);
  EXPECT_EQ(abr.text, "79");
  abr.text = "x";
  GetMP3ABREditValue(&abr, &f);
  EXPECT_EQ(f.abrBitrate, 65u);
}

void RememberPreset(void* context, long preset) { *static_cast<long*>(context) = preset; }

TEST(Mp3Choices, SlidersAndTheirTexts) {
  Conv<CLameConv2MP3> lame;
  Conv<CBladeConv2MP3> blade;
  CConv2FileFormat f = Mp3();

  FakeSlider quality;
  f.vbrQuality = 2;
  InitMP3VBRQualitySlider(&quality, &f);
  EXPECT_EQ(quality.high, 9);
  EXPECT_EQ(quality.position, 7);
  quality.position = 9;
  GetMP3VBRQualityValue(&quality, &f);
  EXPECT_EQ(f.vbrQuality, 0);

  // Every preset for LAME; only the MPEG-1 ones (5 to 10) for BladeEnc.
  FakeSlider presets;
  long told = -1;
  f.preset = 0;  // counts as the default, 9
  InitMP3PresetSlider(&presets, lame.p, &f, &RememberPreset, &told);
  EXPECT_EQ(presets.high, 9);
  EXPECT_EQ(presets.position, 8);
  EXPECT_EQ(told, -1);
  f.preset = 4;
  InitMP3PresetSlider(&presets, blade.p, &f, &RememberPreset, &told);
  EXPECT_EQ(presets.high, 5);
  EXPECT_EQ(presets.position, 0);
  EXPECT_EQ(told, 5);
  EXPECT_EQ(GetMP3PresetValue(&presets, blade.p), 5);
  presets.position = 5;
  EXPECT_EQ(GetMP3PresetValue(&presets, blade.p), 10);

  FakeField label;
  SetMP3PresetString(&label, 10);
  EXPECT_EQ(label.text, "Preset: Studio");
  f.bitrate = 128;
  SetMP3UserSettingsString(&label, blade.p, &f);
  EXPECT_EQ(label.text, "MPEG 1 Layer 3, 128 kbit/s, Stereo");

  ListOfTexts encoders;
  LoadStringsMP3Encoders(&encoders);
  ASSERT_EQ(encoders.Count(), 3);
  SetMP3EncoderValue(&encoders, medBlade);
  EXPECT_EQ(GetMP3EncoderValue(&encoders), medBlade);
}

}  // namespace
