// Placeholder bodies of the MP3 converters' settings operations, replaced by the real ones.
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_mp3.h>

void CConv2MP3::UpdateSettingsAfterEncoderChange(CConv2FileFormat* /*format*/) {}
void CConv2MP3::MakeMostNaturalFormatCallback(CConv2FileFormat* /*format*/, tWAVEFORMATEX* /*wave*/,
                                              ACMObject* /*decoder*/) {}
void CConv2MP3::UserMaximumsCallback(CConv2FileFormat* /*format*/, CConv2FileFormat* /*maximums*/) {}
bool CConv2MP3::ValidateFormat(CConv2FileFormat* format) {
  return format != nullptr && format->wFormatTag == kWaveFormatMpegLayer3;
}
void CConv2MP3::GetFormatFromPreset(CConv2FileFormat* format, long preset, _tTagTypedef tagType,
                                    _tSoundQualityTypedef quality) {
  CConv2FileObj::GetFormatFromPreset(format, preset, tagType, quality);
}
void CConv2MP3::GetTargetFormatStr(char* text, long size, CConv2FileFormat* /*format*/) {
  if (text != nullptr && size > 0) text[0] = '\0';
}
void CConv2MP3::GetUserSettingsStr(char* text, long size, CConv2FileFormat* /*format*/) {
  if (text != nullptr && size > 0) text[0] = '\0';
}
void CConv2MP3::GetTargetFormat(CConv2FileFormat* target, CConv2FileFormat* source,
                                tWAVEFORMATEX* wave, TMusicInfo* info, ACMObject* decoder) {
  CConv2FileObj::GetTargetFormat(target, source, wave, info, decoder);
  if (target != nullptr) tag_type_ = target->id3TagType;
}
double CConv2MP3::GetBytesToWrite(CConv2FileFormat* format, tWAVEFORMATEX* /*wave*/,
                                  double lengthMs) {
  return format != nullptr ? lengthMs * format->bitrate / 8.0 : 0.0;
}
unsigned long CConv2MP3::GetBitrateForBytesToWrite(CConv2FileFormat* format) {
  return format != nullptr ? format->bitrate : 0;
}
void CLameConv2MP3::UpdateSettingsAfterEncoderChange(CConv2FileFormat* format) {
  CConv2MP3::UpdateSettingsAfterEncoderChange(format);
}
void CLameConv2MP3::MakeMostNaturalFormatCallback(CConv2FileFormat* format, tWAVEFORMATEX* wave,
                                                  ACMObject* decoder) {
  CConv2MP3::MakeMostNaturalFormatCallback(format, wave, decoder);
}
void CLameConv2MP3::UserMaximumsCallback(CConv2FileFormat* format, CConv2FileFormat* maximums) {
  CConv2MP3::UserMaximumsCallback(format, maximums);
}
void CBladeConv2MP3::UpdateSettingsAfterEncoderChange(CConv2FileFormat* format) {
  CConv2MP3::UpdateSettingsAfterEncoderChange(format);
}
void CBladeConv2MP3::MakeMostNaturalFormatCallback(CConv2FileFormat* format, tWAVEFORMATEX* wave,
                                                   ACMObject* decoder) {
  CConv2MP3::MakeMostNaturalFormatCallback(format, wave, decoder);
}
void CBladeConv2MP3::UserMaximumsCallback(CConv2FileFormat* format, CConv2FileFormat* maximums) {
  CConv2MP3::UserMaximumsCallback(format, maximums);
}
bool CBladeConv2MP3::ValidateFormat(CConv2FileFormat* format) {
  return CConv2MP3::ValidateFormat(format);
}
