#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_file_obj.h>
#include <tarnell/file_obj.h>
#include <tarnell/reg_key.h>

namespace {

const sonark::ConversionTypeInfo* TypeInfo(_tFileConversionTypedef type) {
  return sonark::FindConversionType(type);
}

// A stored number, only when the value is there as a 32-bit number: a value of another kind
// leaves the member as it is instead of zeroing it.
template <typename T>
bool ReadNumber(CRegKey* key, const char* name, T* out) {
  unsigned long size = 0;
  if (key->SubKeyExists(name) == 0 || key->GetKeyData(name, &size) == nullptr || size != 4) {
    return false;
  }
  *out = static_cast<T>(static_cast<int32_t>(key->GetKeyNum(name)));
  return true;
}

// The values every format stores, then those only the MP3 format stores, in reading order.
// Sound quality and the use-preset flag are read apart: each has a rule of its own.
template <typename Format, typename Visit>
void VisitCommonValues(Format& f, Visit&& visit) {
  visit("ConvertToChannels", f.nChannels);
  visit("ConvertToSamplesPerSec", f.nSamplesPerSec);
  visit("ConvertToBitsPerSample", f.wBitsPerSample);
  visit("ConvertToBitrate", f.bitrate);
  visit("ConvertToPrivate", f.isPrivate);
  visit("ConvertToCopyright", f.copyright);
  visit("ConvertToOriginal", f.original);
  visit("ConvertToId3TagType", f.id3TagType);
}

template <typename Format, typename Visit>
void VisitMp3Values(Format& f, Visit&& visit) {
  visit("ConvertToCRC", f.crc);
  visit("ConvertToMode", f.mode);
  visit("ConvertToReSampleRate", f.resampleRate);
  visit("ConvertToMinBitrate", f.minBitrate);
  visit("ConvertToMaxBitrate", f.maxBitrate);
  visit("ConvertToMpegVersion", f.mpegVersion);
  visit("ConvertToPsyModel", f.psyModel);
  visit("ConvertToEmphasis", f.emphasis);
  visit("ConvertToEnableVBR", f.enableVBR);
  visit("ConvertToWriteVBRHeader", f.writeVBRHeader);
  visit("ConvertToVBRQuality", f.vbrQuality);
  visit("ConvertToEnableABR", f.enableABR);
  visit("ConvertToVbrAbr_bps", f.abrBitrate);
  visit("ConvertToNoRes", f.noBitReservoir);
}

}  // namespace

CConv2FileFormat::CConv2FileFormat(unsigned short formatTag) { CDQualitySettings(formatTag); }

void CConv2FileFormat::CDQualitySettings(unsigned short formatTag) {
  SetFormatTag(formatTag);
  nChannels = 2;
  nSamplesPerSec = 44100;
  wBitsPerSample = 16;
  CalcBlockAlignNAvgBytesPerSec();
  cbSize = kFormatMarker;
  const sonark::ConversionTypeInfo* info = TypeInfo(conversionType);
  soundQuality = info != nullptr ? info->defaultQuality : sqQuality1;
  preset = info != nullptr ? info->defaultPreset : 0;
  usePreset = 1;
  bitrate = 192;
  id3TagType = ttId3V2;
  isPrivate = 0;
  copyright = 0;
  original = 0;
  mpegVersion = 1;
  mode = 0;
  minBitrate = 128;
  maxBitrate = 320;
  psyModel = 0;
  crc = 0;
  enableVBR = 0;
  writeVBRHeader = 1;
  resampleRate = 0;
  emphasis = 0;
  vbrQuality = 2;
  enableABR = 0;
  abrBitrate = 192;
  noBitReservoir = 0;
}

void CConv2FileFormat::CalcBlockAlignNAvgBytesPerSec() {
  nBlockAlign = static_cast<uint16_t>(nChannels * (wBitsPerSample / 8));
  nAvgBytesPerSec = nBlockAlign * nSamplesPerSec;
}

int CConv2FileFormat::Copy(CConv2FileFormat* source, CConv2FileObj* converter,
                           unsigned short formatTag) {
  if (source == nullptr) return 0;
  if (source != this) *this = *source;
  if (formatTag == 0 && converter != nullptr) {
    formatTag = static_cast<unsigned short>(converter->GetFormatType());
  }
  if (formatTag != 0 && formatTag != wFormatTag) {
    SetFormatTag(formatTag);
    SetSoundQuality(soundQuality);
  }
  return 1;
}

void CConv2FileFormat::SetFormatTag(unsigned short formatTag) {
  wFormatTag = formatTag;
  conversionType = GetFileConversionTypeFromFormatTag(formatTag);
}

void CConv2FileFormat::SetSoundQuality(_tSoundQualityTypedef quality) {
  soundQuality = sonark::MapSoundQuality(conversionType, quality);
  const sonark::ConversionTypeInfo* info = TypeInfo(conversionType);
  if (quality == sqQuality1 && soundQuality != sqQuality1 && info != nullptr) {
    preset = info->defaultPreset;
  }
}

void CConv2FileFormat::MakeIntoWaveFormatEx(tWAVEFORMATEX* out) const {
  if (out == nullptr) return;
  *out = static_cast<const tWAVEFORMATEX&>(*this);
  out->cbSize = 0;
}

bool CConv2FileFormat::ValidateSoundQuality() const {
  const sonark::ConversionTypeInfo* info = TypeInfo(conversionType);
  if (info == nullptr || soundQuality < 0 || soundQuality >= sonark::kSoundQualityCount) {
    return false;
  }
  return info->qualityMap[soundQuality] == soundQuality;
}

bool CConv2FileFormat::Validate() const {
  return cbSize == kFormatMarker && conversionType != fctNone &&
         GetFileConversionTypeFromFormatTag(wFormatTag) == conversionType &&
         ValidateSoundQuality() && (nChannels == 1 || nChannels == 2) &&
         (wBitsPerSample == 8 || wBitsPerSample == 16) && nSamplesPerSec > 0;
}

int CConv2FileFormat::SmartCopy(unsigned short formatTag, CConv2FileFormat* source,
                                tWAVEFORMATEX* wave, CConv2FileObj* converter, TMusicInfo* /*info*/,
                                ACMObject* decoder) {
  if (formatTag == 0 && converter != nullptr) {
    formatTag = static_cast<unsigned short>(converter->GetFormatType());
  }
  if (source != nullptr) {
    Copy(source, converter, formatTag);
  } else {
    CDQualitySettings(formatTag != 0 ? formatTag : wFormatTag);
  }
  switch (soundQuality) {
    case sqQuality0:
      if (wave == nullptr) break;
      SetFromWaveFormatEx_C2FFUseOnly(wave);
      if (converter != nullptr) converter->MakeMostNaturalFormatCallback(this, wave, decoder);
      break;
    case sqQuality1:
      nChannels = 2;
      nSamplesPerSec = 44100;
      wBitsPerSample = 16;
      break;
    case sqQuality3: {
      if (wave == nullptr) break;
      CConv2FileFormat maximums = *this;
      SetFromWaveFormatEx_C2FFUseOnly(wave);
      if (converter != nullptr) {
        converter->MakeMostNaturalFormatCallback(this, wave, decoder);
        converter->UserMaximumsCallback(this, &maximums);
      }
      break;
    }
    default:
      break;
  }
  CalcBlockAlignNAvgBytesPerSec();
  return 1;
}

void CConv2FileFormat::SetFromWaveFormatEx_C2FFUseOnly(const tWAVEFORMATEX* wave) {
  if (wave == nullptr) return;
  nChannels = wave->nChannels == 1 ? 1 : 2;
  if (wave->nSamplesPerSec > 0) nSamplesPerSec = wave->nSamplesPerSec;
  wBitsPerSample = wave->wBitsPerSample == 8 ? 8 : 16;
  CalcBlockAlignNAvgBytesPerSec();
}

void CConv2FileFormat::SetFromWaveFormatEx(tWAVEFORMATEX* wave, CConv2FileObj* converter,
                                           unsigned short formatTag) {
  if (formatTag == 0 && converter != nullptr) {
    formatTag = static_cast<unsigned short>(converter->GetFormatType());
  }
  if (formatTag != 0 && formatTag != wFormatTag) {
    SetFormatTag(formatTag);
    SetSoundQuality(soundQuality);
  }
  SetFromWaveFormatEx_C2FFUseOnly(wave);
  if (converter != nullptr) converter->MakeMostNaturalFormatCallback(this, wave, nullptr);
}

bool CConv2FileFormat::ValidateEx(CConv2FileObj* converter) {
  CConv2FileObj* used = converter;
  if (used == nullptr) {
    const sonark::ConversionTypeInfo* info = TypeInfo(conversionType);
    if (info != nullptr && info->factory != nullptr) used = info->factory(-1);
  }
  const bool valid = Validate() && (used == nullptr || used->ValidateFormat(this));
  GetRidOfConvFObj(used, converter);
  return valid;
}

void CConv2FileFormat::GetRidOfConvFObj(CConv2FileObj* made, CConv2FileObj* given) {
  if (made == nullptr || made == given) return;
  CRefObj* held = made;
  DeleteRefObject(&held);
}

int CConv2FileFormat::ReadPreferences(CRegKey* key) {
  if (key == nullptr) return 0;
  ReadNumber(key, "ConvertToSonarkPreset", &preset);
  if (!ReadNumber(key, "ConvertToUsePreset", &usePreset) && preset == 0) usePreset = 0;
  _tSoundQualityTypedef quality = soundQuality;
  if (ReadNumber(key, "ConvertToCDQuality", &quality)) SetSoundQuality(quality);
  auto read = [key](const char* name, auto& member) { ReadNumber(key, name, &member); };
  VisitCommonValues(*this, read);
  if (wFormatTag == kWaveFormatMpegLayer3) VisitMp3Values(*this, read);
  CalcBlockAlignNAvgBytesPerSec();
  if (!Validate()) {
    const _tSoundQualityTypedef kept = soundQuality;
    CDQualitySettings(wFormatTag);
    SetSoundQuality(kept);
  }
  return ValidateEx(nullptr) ? 1 : 0;
}

int CConv2FileFormat::WritePreferences(CRegKey* key) const {
  if (key == nullptr) return 0;
  bool ok = true;
  auto write = [key, &ok](const char* name, const auto& member) {
    const uint32_t stored = static_cast<uint32_t>(member);
    ok = key->SetKeyNum(name, stored) != 0 && ok;
  };
  write("ConvertToSonarkPreset", preset);
  write("ConvertToUsePreset", usePreset);
  write("ConvertToCDQuality", soundQuality);
  VisitCommonValues(*this, write);
  if (wFormatTag == kWaveFormatMpegLayer3) VisitMp3Values(*this, write);
  return ok ? 1 : 0;
}
