#pragma once

#include <platform/wave_format.h>
#include <sonark/export/conversion_types.h>
#include <sonark/load/music_info.h>
#include <sonark/visibility.h>

#include <cstdint>

class ACMObject;
class CConv2FileObj;
class CRegKey;

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
  // The target format of an export from the user's settings `source` (null: the defaults of the
  // tag) for `formatTag` (0: the converter's), completed by the sound quality: 0 follows the
  // source sound of format `wave` as `converter` finds most natural, 1 is CD quality (44100 Hz,
  // stereo, 16 bits), 2 keeps the user's settings, 3 follows the source sound with the user's
  // settings as maximums. Without a `wave`, qualities 0 and 3 keep the user's settings. 1.
  int SmartCopy(unsigned short formatTag, CConv2FileFormat* source, tWAVEFORMATEX* wave,
                CConv2FileObj* converter, TMusicInfo* info, ACMObject* decoder);
  // Channels (1 or 2), rate and sample size (8 or 16 bits) of `wave`; nothing else.
  void SetFromWaveFormatEx_C2FFUseOnly(const tWAVEFORMATEX* wave);
  // The head of `wave` under `formatTag` (0: the converter's, else the record's own tag), made
  // most natural for `converter` when one is given.
  void SetFromWaveFormatEx(tWAVEFORMATEX* wave, CConv2FileObj* converter, unsigned short formatTag);
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
  // Validate, and whether `converter` can write the record (which may move a foreign sample
  // rate into its set). Null checks with a converter of the record's type when one can be
  // made (for MP3, one of the selected encoder), else with Validate alone.
  bool ValidateEx(CConv2FileObj* converter);
  // Reads the "ConvertTo..." values that `key` holds (the encoder options for the MP3 tag only)
  // over the record's current values. Values that do not form a valid record give way to the
  // defaults of the record's tag, so that a damaged store cannot block every export. The
  // result is ValidateEx(null): 1 valid, 0 not (or no key).
  int ReadPreferences(CRegKey* key);
  // Writes the same values as 32-bit numbers. 1 when every value was written.
  int WritePreferences(CRegKey* key) const;
  // Releases `made` (a converter made for a check) unless it is the caller's own `given`.
  static void GetRidOfConvFObj(CConv2FileObj* made, CConv2FileObj* given);

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
