#include <sonark/export/mp3_settings.h>

#include <iterator>

namespace {

using sonark::MP3Preset;
using sonark::MP3VersionRates;

constexpr MP3VersionRates kMpeg1Rates = {44100, {32000, 48000}};
constexpr MP3VersionRates kMpeg2Rates = {22050, {16000, 24000}};
constexpr MP3VersionRates kMpeg2_5Rates = {11025, {8000, 12000}};

// clang-format off
constexpr MP3Preset kPresets[sonark::kMP3PresetCount] = {
    {"IDS_MP3_PRESET_PHONE",  sonark::kMpeg2_5, 16,  8,   56,  6, 8000,  sonark::kModeMono,        1},
    {"IDS_MP3_PRESET_SW",     sonark::kMpeg2_5, 24,  8,   64,  5, 11025, sonark::kModeMono,        1},
    {"IDS_MP3_PRESET_AM",     sonark::kMpeg2,   32,  16,  128, 5, 16000, sonark::kModeMono,        1},
    {"IDS_MP3_PRESET_FM",     sonark::kMpeg2,   96,  24,  160, 5, 22050, sonark::kModeJointStereo, 2},
    {"IDS_MP3_PRESET_VOICE",  sonark::kMpeg1,   64,  32,  128, 4, 32000, sonark::kModeMono,        1},
    {"IDS_MP3_PRESET_RADIO",  sonark::kMpeg1,   112, 64,  256, 4, 44100, sonark::kModeJointStereo, 2},
    {"IDS_MP3_PRESET_TAPE",   sonark::kMpeg1,   128, 96,  320, 4, 44100, sonark::kModeJointStereo, 2},
    {"IDS_MP3_PRESET_HIFI",   sonark::kMpeg1,   160, 112, 320, 3, 44100, sonark::kModeJointStereo, 2},
    {"IDS_MP3_PRESET_CD",     sonark::kMpeg1,   192, 128, 320, 2, 44100, sonark::kModeStereo,      2},
    {"IDS_MP3_PRESET_STUDIO", sonark::kMpeg1,   256, 160, 320, 0, 44100, sonark::kModeStereo,      2},
};
// clang-format on

// The index of the most natural rate of `table` for `kbps`.
size_t NaturalIndex(const unsigned long* table, size_t count, unsigned long kbps) {
  if (kbps >= table[count - 1]) return count - 1;
  if (kbps <= table[0]) return 0;
  size_t upper = 1;
  while (table[upper] < kbps) ++upper;
  if (table[upper] == kbps) return upper;
  const unsigned long mean = (table[upper - 1] + table[upper]) / 2;
  return kbps <= mean ? upper - 1 : upper;
}

void NaturalRates(const unsigned long* table, size_t count, unsigned long* lower,
                  unsigned long* natural, unsigned long* upper, unsigned long* value) {
  const size_t at = NaturalIndex(table, count, value != nullptr ? *value : 0);
  if (lower != nullptr) *lower = table[at > 0 ? at - 1 : 0];
  if (upper != nullptr) *upper = table[at + 1 < count ? at + 1 : at];
  if (natural != nullptr) *natural = table[at];
  if (value != nullptr) *value = table[at];
}

}  // namespace

namespace sonark {

SONARK_API const unsigned long* MP3BitrateTable(int version, size_t* count) {
  if (version == kMpeg1) {
    if (count != nullptr) *count = std::size(kMPEG1Bitrates);
    return kMPEG1Bitrates;
  }
  if (count != nullptr) *count = std::size(kMPEG2XBitrates);
  return kMPEG2XBitrates;
}

SONARK_API bool IsMP3TableBitrate(int version, unsigned long kbps) {
  size_t count = 0;
  const unsigned long* table = MP3BitrateTable(version, &count);
  for (size_t i = 0; i < count; ++i) {
    if (table[i] == kbps) return true;
  }
  return false;
}

SONARK_API unsigned long FindMostNaturalBitRate(int version, unsigned long kbps) {
  size_t count = 0;
  const unsigned long* table = MP3BitrateTable(version, &count);
  return table[NaturalIndex(table, count, kbps)];
}

SONARK_API const MP3VersionRates* FindMP3VersionRates(int version) {
  switch (version) {
    case kMpeg1:
      return &kMpeg1Rates;
    case kMpeg2:
      return &kMpeg2Rates;
    case kMpeg2_5:
      return &kMpeg2_5Rates;
    default:
      return nullptr;
  }
}

SONARK_API unsigned long MP3SampleRateForVersion(int version, unsigned long rate) {
  const MP3VersionRates* rates = FindMP3VersionRates(version);
  if (rates == nullptr) return kMpeg1Rates.natural;
  if (rate == rates->natural || rate == rates->others[0] || rate == rates->others[1]) return rate;
  return rates->natural;
}

SONARK_API const char* MP3VersionKey(int version) {
  switch (version) {
    case kMpeg2:
      return "IDS_MPEG2";
    case kMpeg2_5:
      return "IDS_MPEG2_5";
    default:
      return "IDS_MPEG1";
  }
}

SONARK_API const char* MP3ModeKey(int mode) {
  switch (mode) {
    case kModeJointStereo:
      return "IDS_JOINT_STEREO_CB_ITEM";
    case kModeDualChannel:
      return "IDS_DUAL_CHANNEL_CB_ITEM";
    case kModeMono:
      return "IDS_MONO_CB_ITEM";
    default:
      return "IDS_STEREO_CB_ITEM";
  }
}

SONARK_API const MP3Preset* FindMP3Preset(long preset) {
  if (preset < 1 || preset > kMP3PresetCount) return nullptr;
  return &kPresets[preset - 1];
}

}  // namespace sonark

SONARK_API unsigned long FindMostNaturalMPEG1BitRate(unsigned long kbps) {
  return sonark::FindMostNaturalBitRate(sonark::kMpeg1, kbps);
}

SONARK_API unsigned long FindMostNaturalMPEG2XBitRate(unsigned long kbps) {
  return sonark::FindMostNaturalBitRate(sonark::kMpeg2, kbps);
}

SONARK_API void FindMostNaturalMPEG1BitRates(unsigned long* lower, unsigned long* natural,
                                             unsigned long* upper, unsigned long* value) {
  NaturalRates(sonark::kMPEG1Bitrates, std::size(sonark::kMPEG1Bitrates), lower, natural, upper,
               value);
}

SONARK_API void FindMostNaturalMPEG2XBitRates(unsigned long* lower, unsigned long* natural,
                                              unsigned long* upper, unsigned long* value) {
  NaturalRates(sonark::kMPEG2XBitrates, std::size(sonark::kMPEG2XBitrates), lower, natural, upper,
               value);
}
