#pragma once

#include <platform/wave_format.h>
#include <sonark/visibility.h>
#include <sonark/export/conversion_types.h>
#include <sonark/load/music_info.h>

#include <cstdint>

class CConv2FileObj;

// The target format of an export: a wave-format head followed by every MP3 encoder option.
// The head's extra-bytes count (cbSize) is the format marker, the size of the tail behind the
// head; a record whose marker differs is not valid. A plain record: copy it freely.
class SONARK_API CConv2FileFormat : public tWAVEFORMATEX {
 public:
  static constexpr uint16_t kFormatMarker = 94;

  explicit CConv2FileFormat(unsigned short formatTag = kWaveFormatPcm);

  // Every member to its default for `formatTag`: CD quality (2 channels, 44100 Hz, 16 bits)
  // and the defaults of the tag's conversion type.
  void CDQualitySettings(unsigned short formatTag);
  // Block align and average bytes per second from channels, bits and rate.
  void CalcBlockAlignNAvgBytesPerSec();
  // Takes every member of `source`. A `formatTag` that differs from the source's becomes the
  // format tag, with its conversion type and the quality mapped for that type; 0 means the
  // tag of `converter` (when given), else the source's. 0 when `source` is null.
  int Copy(CConv2FileFormat* source, CConv2FileObj* converter, unsigned short formatTag);
  // Sets the tag and the conversion type that goes with it.
  void SetFormatTag(unsigned short formatTag);
  // Stores `quality` as the conversion type accepts it; when that changed quality 1 into
  // another, the preset returns to the type's default.
  void SetSoundQuality(_tSoundQualityTypedef quality);
  _tSoundQualityTypedef GetSoundQuality() const { return soundQuality; }
  // The 18-byte head alone, its extra-bytes count 0.
  void MakeIntoWaveFormatEx(tWAVEFORMATEX* out) const;
  // Whether the sound quality is one the conversion type accepts.
  bool ValidateSoundQuality() const;
  // The checks every converter makes: marker, a tag with a conversion type that matches it,
  // an accepted sound quality, 1 or 2 channels, 8 or 16 bits and a rate.
  bool Validate() const;

  _tFileConversionTypedef conversionType;
  _tSoundQualityTypedef soundQuality;
  int32_t preset;  // 1-10
  int32_t usePreset;
  uint32_t bitrate;  // kbit/s
  _tTagTypedef id3TagType;
  int32_t isPrivate;
  int32_t copyright;
  int32_t original;
  int32_t mpegVersion;  // 1 MPEG-1, 0 MPEG-2, 2 MPEG-2.5
  int32_t mode;         // 0 stereo, 1 joint stereo, 2 dual channel, 3 mono
  uint32_t minBitrate;
  uint32_t maxBitrate;
  int32_t psyModel;
  int32_t crc;
  int32_t enableVBR;
  int32_t writeVBRHeader;
  uint32_t resampleRate;
  int32_t emphasis;
  int32_t vbrQuality;  // 0 best - 9
  int32_t enableABR;
  uint32_t abrBitrate;  // kbit/s
  int32_t noBitReservoir;
};

static_assert(sizeof(CConv2FileFormat) - sizeof(tWAVEFORMATEX) == CConv2FileFormat::kFormatMarker,
              "the format marker is the size of the record's tail");
