#include <platform/last_error.h>
#include <platform/wave_format.h>
#include <sonark/errors.h>
#include <sonark/export/conv_mp3.h>
#include <sonark/export/conv_wave_file.h>
#include <sonark/export/conversion_types.h>
#include <strings.h>

#include <atomic>
#include <cstring>
#include <new>

namespace {

using sonark::ConversionTypeInfo;

CConv2FileObj* NewWaveConverter(int /*encoder*/) { return new (std::nothrow) CConv2WaveFile(); }

constexpr ConversionTypeInfo kConversionTypes[sonark::kConversionTypeCount] = {
    {fctWave,
     kWaveFormatPcm,
     1,
     sqQuality1,
     {sqQuality0, sqQuality1, sqQuality2, sqQuality0},
     &NewWaveConverter},
    {fctMP3,
     kWaveFormatMpegLayer3,
     9,
     sqQuality2,
     {sqQuality3, sqQuality2, sqQuality2, sqQuality3},
     &NewMP3Converter},
};

// Set by DetermineConvertersAvailable; read by the export dialogs and NewCConv2FileObj from
// any thread.
std::atomic<int> g_available[sonark::kConversionTypeCount] = {};

}  // namespace

namespace sonark {

SONARK_API const ConversionTypeInfo* FindConversionType(int type) {
  if (type < 0 || type >= kConversionTypeCount) return nullptr;
  return &kConversionTypes[type];
}

SONARK_API _tSoundQualityTypedef MapSoundQuality(_tFileConversionTypedef type,
                                                 _tSoundQualityTypedef quality) {
  const ConversionTypeInfo* info = FindConversionType(type);
  if (info == nullptr) return quality;
  if (quality < 0 || quality >= kSoundQualityCount) return info->defaultQuality;
  return info->qualityMap[quality];
}

}  // namespace sonark

SONARK_API CConv2FileObj* NewCConv2FileObj(_tFileConversionTypedef type, int encoder) {
  const ConversionTypeInfo* info = sonark::FindConversionType(type);
  if (info == nullptr || info->factory == nullptr ||
      (encoder == -1 && g_available[type].load() == 0)) {
    platform::set_last_error(sonark::kErrConverterUnavailable);
    return nullptr;
  }
  CConv2FileObj* converter = info->factory(encoder);
  if (converter == nullptr) platform::set_last_error(sonark::kErrOutOfMemory);
  return converter;
}

SONARK_API _tFileConversionTypedef GetFileConversionTypeFromFormatTag(unsigned short tag) {
  for (const ConversionTypeInfo& info : kConversionTypes) {
    if (info.formatTag == tag) return info.type;
  }
  return fctNone;
}

SONARK_API _tFileConversionTypedef DetermineTargetConversion(const char* sourcePath) {
  const char* name = sourcePath != nullptr ? sourcePath : "";
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr || strcasecmp(dot + 1, "wav") != 0) return fctWave;
  return g_available[fctMP3].load() != 0 ? fctMP3 : fctNone;
}

SONARK_API void DetermineConvertersAvailable(_tMP3EncoderDllTypedef preferred,
                                             CConv2FileFormat* settings) {
  g_available[fctWave].store(1);
  g_available[fctMP3].store(sonark::internal::ProbeMP3Encoders(preferred, settings) ? 1 : 0);
}

SONARK_API int GetConverterArraySize() { return sonark::kConversionTypeCount; }

SONARK_API void GetConvertersAvailable(int* flags) {
  if (flags == nullptr) return;
  for (int i = 0; i < sonark::kConversionTypeCount; ++i) flags[i] = g_available[i].load();
}

SONARK_API void GetConvertersAvailable(int* count, int* flags) {
  if (count != nullptr) *count = sonark::kConversionTypeCount;
  GetConvertersAvailable(flags);
}

SONARK_API int FreeConversionLibraries() { return sonark::internal::UnloadMP3EncoderLibraries(); }

namespace sonark::internal {

void ResetConvertersAvailable() {
  for (auto& flag : g_available) flag.store(0);
}

}  // namespace sonark::internal
