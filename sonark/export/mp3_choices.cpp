#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_mp3.h>
#include <sonark/export/mp3_choices.h>
#include <sonark/export/mp3_settings.h>
#include <sonark/strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

namespace {

using namespace sonark;

constexpr int kTextSize = 256;
constexpr int kTagTypes[] = {ttId3V2, ttId3V1, ttNone};
constexpr const char* kTagKeys[] = {"IDS_TAG_ID3_V2", "IDS_TAG_ID3_V1", "IDS_TAG_NONE"};
constexpr int kVersionOrder[] = {kMpeg1, kMpeg2, kMpeg2_5};
constexpr int kModeOrder[] = {kModeStereo, kModeJointStereo, kModeDualChannel, kModeMono};
constexpr int kAbrDigits = 3;
constexpr int kQualityMax = 9;

void AddKey(CChoiceList* list, const char* key) {
  char text[kTextSize];
  SonarkLoadString(key, text, sizeof text);
  list->AddItem(text);
}

// The modes and versions offered, in list order; everything without a converter.
std::vector<int> OfferedModes(CConv2MP3* converter) {
  std::vector<int> modes;
  for (int mode : kModeOrder) {
    if (converter == nullptr || converter->SupportsMode(mode)) modes.push_back(mode);
  }
  return modes;
}

std::vector<int> OfferedVersions(CConv2MP3* converter) {
  std::vector<int> versions;
  for (int version : kVersionOrder) {
    if (converter == nullptr || converter->SupportsVersion(version)) versions.push_back(version);
  }
  return versions;
}

std::vector<long> OfferedPresets(CConv2MP3* converter) {
  std::vector<long> presets;
  for (long preset = 1; preset <= kMP3PresetCount; ++preset) {
    if (converter == nullptr || converter->SupportsVersion(FindMP3Preset(preset)->version)) {
      presets.push_back(preset);
    }
  }
  return presets;
}

int IndexOf(const std::vector<int>& values, int value) {
  const auto at = std::find(values.begin(), values.end(), value);
  return at == values.end() ? CChoiceList::kNoSelection : static_cast<int>(at - values.begin());
}

// The selected entry of `values`, or null.
const int* Selected(CChoiceList* list, const std::vector<int>& values) {
  const int index = list->SelectedIndex();
  if (index < 0 || index >= static_cast<int>(values.size())) return nullptr;
  return &values[static_cast<size_t>(index)];
}

// Bit-rate lists run from the highest rate down.
void LoadBitrates(CChoiceList* list, const CConv2FileFormat& format) {
  size_t count = 0;
  const unsigned long* table = MP3BitrateTable(format.mpegVersion, &count);
  char key[32];
  for (size_t i = count; i-- > 0;) {
    std::snprintf(key, sizeof key, "IDS_BITRATE_%lu", table[i]);
    AddKey(list, key);
  }
}

void SelectBitrate(CChoiceList* list, const CConv2FileFormat& format, unsigned long kbps) {
  size_t count = 0;
  const unsigned long* table = MP3BitrateTable(format.mpegVersion, &count);
  const unsigned long natural = FindMostNaturalBitRate(format.mpegVersion, kbps);
  for (size_t i = 0; i < count; ++i) {
    if (table[i] == natural) list->SetSelectedIndex(static_cast<int>(count - 1 - i));
  }
}

// The selected rate, or `kbps` as it is without a selection.
uint32_t SelectedBitrate(CChoiceList* list, const CConv2FileFormat& format, uint32_t kbps) {
  size_t count = 0;
  const unsigned long* table = MP3BitrateTable(format.mpegVersion, &count);
  const int index = list->SelectedIndex();
  if (index < 0 || static_cast<size_t>(index) >= count) return kbps;
  return static_cast<uint32_t>(table[count - 1 - static_cast<size_t>(index)]);
}

// The rate beside `kbps` in the format's table: the next higher (`up`) or lower one, `kbps`
// itself at that end of the table.
uint32_t Neighbour(const CConv2FileFormat& format, uint32_t kbps, bool up) {
  unsigned long lower = 0;
  unsigned long upper = 0;
  unsigned long value = kbps;
  if (format.mpegVersion == kMpeg1) {
    FindMostNaturalMPEG1BitRates(&lower, nullptr, &upper, &value);
  } else {
    FindMostNaturalMPEG2XBitRates(&lower, nullptr, &upper, &value);
  }
  return static_cast<uint32_t>(up ? upper : lower);
}

long AbrWithinRange(const CConv2FileFormat& format, long abr) {
  const long low = format.minBitrate;
  const long high = format.maxBitrate;
  if (abr <= low) abr = low + 1;
  if (abr >= high) abr = high - 1;
  if (abr <= low) abr = low;  // no room between them
  return std::max(abr, 0L);
}

void ShowAbr(CTextField* field, CConv2FileFormat* format) {
  format->abrBitrate = static_cast<uint32_t>(AbrWithinRange(*format, format->abrBitrate));
  char text[16];
  std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(format->abrBitrate));
  field->SetText(text);
}

}  // namespace

SONARK_API void LoadStringsMP3TagTypes(CChoiceList* list) {
  if (list == nullptr) return;
  for (const char* key : kTagKeys) AddKey(list, key);
}

SONARK_API void SetMP3TagTypeValue(CChoiceList* list, CConv2FileFormat* format) {
  if (list == nullptr || format == nullptr) return;
  const std::vector<int> types(std::begin(kTagTypes), std::end(kTagTypes));
  const int index = IndexOf(types, format->id3TagType);
  list->SetSelectedIndex(index == CChoiceList::kNoSelection ? 0 : index);
}

SONARK_API void GetMP3TagTypeValue(CChoiceList* list, CConv2FileFormat* format) {
  if (list == nullptr || format == nullptr) return;
  const std::vector<int> types(std::begin(kTagTypes), std::end(kTagTypes));
  if (const int* type = Selected(list, types))
    format->id3TagType = static_cast<_tTagTypedef>(*type);
}

SONARK_API void LoadStringsMP3Modes(CChoiceList* list, CConv2MP3* converter) {
  if (list == nullptr) return;
  for (int mode : OfferedModes(converter)) AddKey(list, MP3ModeKey(mode));
}

SONARK_API void SetMP3ModeValue(CChoiceList* list, CConv2MP3* converter, CConv2FileFormat* format) {
  if (list == nullptr || format == nullptr) return;
  const std::vector<int> modes = OfferedModes(converter);
  const int index = IndexOf(modes, format->mode);
  list->SetSelectedIndex(index == CChoiceList::kNoSelection ? IndexOf(modes, kModeStereo) : index);
}

SONARK_API void GetMP3ModeValue(CChoiceList* list, CConv2MP3* converter, CConv2FileFormat* format) {
  if (list == nullptr || format == nullptr) return;
  const std::vector<int> modes = OfferedModes(converter);
  if (const int* mode = Selected(list, modes)) format->mode = *mode;
  format->nChannels = format->mode == kModeMono ? 1 : 2;
  format->CalcBlockAlignNAvgBytesPerSec();
}

SONARK_API void InitMP3ABREdit(CTextField* field, CConv2FileFormat* format) {
  if (field == nullptr) return;
  field->SetLengthLimit(kAbrDigits);
  SetMP3ABREditValue(field, format);
}

SONARK_API void SetMP3ABREditValue(CTextField* field, CConv2FileFormat* format) {
  if (field == nullptr || format == nullptr) return;
  ShowAbr(field, format);
}

SONARK_API void GetMP3ABREditValue(CTextField* field, CConv2FileFormat* format) {
  if (field == nullptr || format == nullptr) return;
  char text[16] = {};
  field->GetText(text, sizeof text);
  // Only the leading digits count, and no more than the field holds.
  long typed = 0;
  for (int i = 0; i < kAbrDigits && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    typed = typed * 10 + (text[i] - '0');
  }
  format->abrBitrate = static_cast<uint32_t>(typed);
  ShowAbr(field, format);
}

SONARK_API void InitMP3VBRQualitySlider(CSliderControl* slider, CConv2FileFormat* format) {
  if (slider == nullptr || format == nullptr) return;
  slider->SetRange(0, kQualityMax);
  slider->SetPosition(kQualityMax - std::clamp(format->vbrQuality, 0, kQualityMax));
}

SONARK_API void GetMP3VBRQualityValue(CSliderControl* slider, CConv2FileFormat* format) {
  if (slider == nullptr || format == nullptr) return;
  format->vbrQuality = kQualityMax - std::clamp(slider->Position(), 0, kQualityMax);
}

SONARK_API void SetMP3VBRQualityString(CTextField* label, CConv2FileFormat* format) {
  if (label == nullptr || format == nullptr) return;
  char pattern[kTextSize];
  char text[kTextSize];
  SonarkLoadString("IDS_VBR_QUALITY_FORMAT", pattern, sizeof pattern);
  FormatFromPattern(text, sizeof text, pattern, {format->vbrQuality});
  label->SetText(text);
}

SONARK_API void LoadStringsMP3Bitrates(CChoiceList* list, CConv2FileFormat* format) {
  if (list != nullptr && format != nullptr) LoadBitrates(list, *format);
}

SONARK_API void SetMP3BitrateValue(CChoiceList* list, CConv2FileFormat* format) {
  if (list != nullptr && format != nullptr) SelectBitrate(list, *format, format->bitrate);
}

SONARK_API void GetMP3BitrateValue(CChoiceList* list, CConv2FileFormat* format) {
  if (list == nullptr || format == nullptr) return;
  format->bitrate = SelectedBitrate(list, *format, format->bitrate);
}

SONARK_API void LoadStringsMP3MinBitrates(CChoiceList* list, CConv2FileFormat* format) {
  LoadStringsMP3Bitrates(list, format);
}

SONARK_API void SetMP3MinBitrateValue(CChoiceList* list, CConv2FileFormat* format) {
  if (list != nullptr && format != nullptr) SelectBitrate(list, *format, format->minBitrate);
}

SONARK_API void GetMP3MinBitrateValue(CChoiceList* list, CConv2FileFormat* format,
                                      CChoiceList* maxList, CTextField* abrField) {
  if (list == nullptr || format == nullptr) return;
  format->minBitrate = SelectedBitrate(list, *format, format->minBitrate);
  if (format->minBitrate >= format->maxBitrate) {
    format->maxBitrate = Neighbour(*format, format->minBitrate, true);
    if (format->maxBitrate <= format->minBitrate) {
      format->minBitrate = Neighbour(*format, format->maxBitrate, false);
      SetMP3MinBitrateValue(list, format);
    }
    SetMP3MaxBitrateValue(maxList, format);
  }
  SetMP3ABREditValue(abrField, format);
}

SONARK_API void LoadStringsMP3MaxBitrates(CChoiceList* list, CConv2FileFormat* format) {
  LoadStringsMP3Bitrates(list, format);
}

SONARK_API void SetMP3MaxBitrateValue(CChoiceList* list, CConv2FileFormat* format) {
  if (list != nullptr && format != nullptr) SelectBitrate(list, *format, format->maxBitrate);
}

SONARK_API void GetMP3MaxBitrateValue(CChoiceList* list, CConv2FileFormat* format,
                                      CChoiceList* minList, CTextField* abrField) {
  if (list == nullptr || format == nullptr) return;
  format->maxBitrate = SelectedBitrate(list, *format, format->maxBitrate);
  if (format->maxBitrate <= format->minBitrate) {
    format->minBitrate = Neighbour(*format, format->maxBitrate, false);
    if (format->minBitrate >= format->maxBitrate) {
      format->maxBitrate = Neighbour(*format, format->minBitrate, true);
      SetMP3MaxBitrateValue(list, format);
    }
    SetMP3MinBitrateValue(minList, format);
  }
  SetMP3ABREditValue(abrField, format);
}

SONARK_API void LoadStringsMP3Versions(CChoiceList* list, CConv2MP3* converter) {
  if (list == nullptr) return;
  for (int version : OfferedVersions(converter)) AddKey(list, MP3VersionKey(version));
}

SONARK_API void SetMP3VersionValue(CChoiceList* list, CConv2MP3* converter,
                                   CConv2FileFormat* format) {
  if (list == nullptr || format == nullptr) return;
  list->SetSelectedIndex(IndexOf(OfferedVersions(converter), format->mpegVersion));
}

SONARK_API void GetMP3VersionValue(CChoiceList* list, CConv2MP3* converter,
                                   CConv2FileFormat* format) {
  if (list == nullptr || format == nullptr) return;
  const std::vector<int> versions = OfferedVersions(converter);
  if (const int* version = Selected(list, versions)) format->mpegVersion = *version;
}

SONARK_API void SetMP3UserSettingsString(CTextField* label, CConv2MP3* converter,
                                         CConv2FileFormat* format) {
  if (label == nullptr || converter == nullptr || format == nullptr) return;
  char text[1024];
  converter->GetUserSettingsStr(text, sizeof text, format);
  label->SetText(text);
}

SONARK_API void InitMP3PresetSlider(CSliderControl* slider, CConv2MP3* converter,
                                    CConv2FileFormat* format, MP3PresetChangedCallback changed,
                                    void* context) {
  if (slider == nullptr || format == nullptr) return;
  const std::vector<long> presets = OfferedPresets(converter);
  slider->SetRange(0, std::max(static_cast<int>(presets.size()) - 1, 0));
  if (presets.empty()) return;
  const long preset = format->preset == 0 ? kMP3DefaultPreset : format->preset;
  const auto at = std::find(presets.begin(), presets.end(), preset);
  if (at != presets.end()) {
    slider->SetPosition(static_cast<int>(at - presets.begin()));
    return;
  }
  const size_t position = preset > presets.back() ? presets.size() - 1 : 0;
  slider->SetPosition(static_cast<int>(position));
  if (changed != nullptr) changed(context, presets[position]);
}

SONARK_API long GetMP3PresetValue(CSliderControl* slider, CConv2MP3* converter) {
  const std::vector<long> presets = OfferedPresets(converter);
  if (slider == nullptr || presets.empty()) return kMP3DefaultPreset;
  const int last = static_cast<int>(presets.size()) - 1;
  return presets[static_cast<size_t>(std::clamp(slider->Position(), 0, last))];
}

SONARK_API void SetMP3PresetString(CTextField* label, long preset) {
  if (label == nullptr) return;
  const MP3Preset* row = FindMP3Preset(preset == 0 ? kMP3DefaultPreset : preset);
  char name[kTextSize] = {};
  if (row != nullptr) SonarkLoadString(row->nameKey, name, sizeof name);
  char pattern[kTextSize];
  char text[kTextSize];
  SonarkLoadString("IDS_PRESET_FORMAT", pattern, sizeof pattern);
  FormatFromPattern(text, sizeof text, pattern, {name});
  label->SetText(text);
}

SONARK_API void LoadStringsMP3Encoders(CChoiceList* list) {
  if (list == nullptr) return;
  char names[kMP3EncoderCount][kTextSize] = {};
  char* pointers[kMP3EncoderCount];
  for (int i = 0; i < kMP3EncoderCount; ++i) pointers[i] = names[i];
  int available[kMP3EncoderCount] = {};
  GetMP3EncoderNamesAndAvailablity(pointers, kTextSize, available);
  for (const char* name : pointers) list->AddItem(name);
}

SONARK_API void SetMP3EncoderValue(CChoiceList* list, _tMP3EncoderDllTypedef encoder) {
  if (list == nullptr) return;
  const bool listed = encoder >= 0 && encoder < kMP3EncoderCount;
  list->SetSelectedIndex(listed ? static_cast<int>(encoder) : CChoiceList::kNoSelection);
}

SONARK_API _tMP3EncoderDllTypedef GetMP3EncoderValue(CChoiceList* list) {
  const int index = list != nullptr ? list->SelectedIndex() : CChoiceList::kNoSelection;
  if (index < 0 || index >= kMP3EncoderCount) return medNotAssigned;
  return static_cast<_tMP3EncoderDllTypedef>(index);
}
