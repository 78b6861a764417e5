#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_file_obj.h>

namespace {

const sonark::ConversionTypeInfo* TypeInfo(_tFileConversionTypedef type) {
  return sonark::FindConversionType(type);
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
