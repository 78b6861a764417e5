#pragma once

#include <sonark/visibility.h>

#include <cstdint>

class CConv2FileObj;
class CConv2FileFormat;

// The file formats the mix can be exported to. fctNone means no conversion.
enum _tFileConversionTypedef : int32_t {
  fctWave = 0,
  fctMP3 = 1,
  fctNone = 2,
};

// Sound-quality levels of an export format. Each conversion type accepts some of them and
// maps the others onto those (see ConversionTypeInfo::qualityMap). sqUnchanged is only an
// argument meaning "keep the quality the format has".
enum _tSoundQualityTypedef : int32_t {
  sqQuality0 = 0,
  sqQuality1 = 1,
  sqQuality2 = 2,
  sqQuality3 = 3,
  sqUnchanged = 4,
};

// The MP3 encoder libraries; the values belong to the MP3 export.
enum _tMP3EncoderDllTypedef : int32_t;

namespace sonark {

constexpr int kConversionTypeCount = 2;
constexpr int kSoundQualityCount = 4;

// One row of the fixed table of conversion types.
struct ConversionTypeInfo {
  _tFileConversionTypedef type;
  uint16_t formatTag;
  int32_t defaultPreset;
  _tSoundQualityTypedef defaultQuality;
  // Quality q becomes qualityMap[q]; a quality that maps onto itself is accepted as it is.
  _tSoundQualityTypedef qualityMap[kSoundQualityCount];
  // Makes the type's converter; null while the type has none. `encoder` picks an encoder
  // where the type has several, -1 for the current one.
  CConv2FileObj* (*factory)(int encoder);
};

// The row of `type`, or null for fctNone and anything outside the table.
SONARK_API const ConversionTypeInfo* FindConversionType(int type);

// `quality` as `type` accepts it: unchanged when accepted, else mapped; a quality outside
// 0-3 becomes the type's default. fctNone keeps every quality.
SONARK_API _tSoundQualityTypedef MapSoundQuality(_tFileConversionTypedef type,
                                                 _tSoundQualityTypedef quality);

}  // namespace sonark

// A new converter of `type` with one reference (release with DeleteRefObject), or null: the
// type has no converter, or it is not available and `encoder` is -1.
SONARK_API CConv2FileObj* NewCConv2FileObj(_tFileConversionTypedef type, int encoder);

// The type whose format tag is `tag`, else fctNone.
SONARK_API _tFileConversionTypedef GetFileConversionTypeFromFormatTag(unsigned short tag);

// What a source file would be converted to by default: anything that is not a ".wav" file
// (compared without regard to case) to wave; a wave file to MP3 when MP3 export is available,
// else fctNone.
SONARK_API _tFileConversionTypedef DetermineTargetConversion(const char* sourcePath);

// Looks for the encoder libraries and sets the availability of each conversion type. Wave is
// always available afterwards. `settings` (may be null) is adapted when the selected encoder
// changes.
SONARK_API void DetermineConvertersAvailable(_tMP3EncoderDllTypedef preferred,
                                             CConv2FileFormat* settings);

SONARK_API int GetConverterArraySize();
// Copies the availability flag of each type into `flags` (GetConverterArraySize entries).
SONARK_API void GetConvertersAvailable(int* flags);
SONARK_API void GetConvertersAvailable(int* count, int* flags);

// Unloads the current encoder library if one is loaded; 1 when there was nothing to unload.
SONARK_API int FreeConversionLibraries();

namespace sonark::internal {
// Start-up state: nothing is available until DetermineConvertersAvailable has run.
void ResetConvertersAvailable();
}  // namespace sonark::internal
