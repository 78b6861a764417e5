#include <platform/wave_format.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_mp3.h>
#include <sonark/export/mp3_settings.h>
#include <sonark/strings.h>

#include <algorithm>
#include <cstring>

// The settings operations of the MP3 converters: how a format record is adapted to an
// encoder's abilities, to a source sound and to the user's maximums, and how it is described.

namespace {

using namespace sonark;

constexpr unsigned long kId3V2Reserve = 2048;
constexpr unsigned long kId3V1Size = 128;
// Room beyond the size of a copied ID3v2 tag, for the frames the export updates or adds.
constexpr unsigned long kId3V2Growth = 1024;

unsigned long TableFirst(int version) {
  size_t count = 0;
  return MP3BitrateTable(version, &count)[0];
}

unsigned long TableLast(int version) {
  size_t count = 0;
  return MP3BitrateTable(version, &count)[count - 1];
}

void ChannelsFollowMode(CConv2FileFormat* format) {
  format->nChannels = format->mode == kModeMono ? 1 : 2;
  format->wBitsPerSample = 16;
  format->CalcBlockAlignNAvgBytesPerSec();
}

// Keeps the ABR rate strictly between minimum and maximum, where there is room for one.
void KeepAbrWithinRange(CConv2FileFormat* format) {
  const long low = format->minBitrate;
  const long high = format->maxBitrate;
  long abr = format->abrBitrate;
  if (abr <= low) abr = low + 1;
  if (abr >= high) abr = high - 1;
  if (abr <= low) abr = low;  // no room between them
  format->abrBitrate = static_cast<uint32_t>(std::max(abr, 0L));
}

// The "%s"-free texts of the helpers: a key's text into `out`.
void Load(const char* key, char* out, long size) { SonarkLoadString(key, out, size); }

// The rate part of a description: constant, variable or average bit rate.
void RateText(const CConv2MP3& conv, const CConv2FileFormat& f, char* out, size_t size) {
  char pattern[128];
  if (f.enableVBR != 0 && conv.SupportsVBR()) {
    if (f.enableABR != 0 && conv.SupportsABR()) {
      Load("IDS_MP3_FORMAT_TEXT_ABR", pattern, sizeof pattern);
      FormatFromPattern(out, size, pattern,
                        {static_cast<long>(f.minBitrate), static_cast<long>(f.maxBitrate),
                         static_cast<long>(f.abrBitrate)});
    } else {
      Load("IDS_MP3_FORMAT_TEXT_VBR", pattern, sizeof pattern);
      FormatFromPattern(out, size, pattern,
                        {static_cast<long>(f.minBitrate), static_cast<long>(f.maxBitrate),
                         static_cast<long>(f.vbrQuality)});
    }
    return;
  }
  Load("IDS_MP3_FORMAT_TEXT_CBR", pattern, sizeof pattern);
  FormatFromPattern(out, size, pattern, {static_cast<long>(f.bitrate)});
}

void Describe(const CConv2MP3& conv, const CConv2FileFormat& f, const char* patternKey, char* text,
              long size) {
  char rate[256];
  char version[64];
  char mode[64];
  char pattern[128];
  RateText(conv, f, rate, sizeof rate);
  Load(MP3VersionKey(f.mpegVersion), version, sizeof version);
  Load(MP3ModeKey(f.mode), mode, sizeof mode);
  Load(patternKey, pattern, sizeof pattern);
  FormatFromPattern(text, static_cast<size_t>(size), pattern, {version, rate, mode});
}

// The version a source of `rate` Hz is encoded in by an encoder that has them all.
int VersionForRate(unsigned long rate) {
  if (rate < 16000) return kMpeg2_5;
  if (rate < 32000) return kMpeg2;
  return kMpeg1;
}

// MPEG-1 rates for sources below 32000 Hz: four times below 16000 Hz, else twice.
unsigned long RaisedMpeg1Rate(unsigned long rate) {
  if (rate < 16000)
    rate *= 4;
  else if (rate < 32000)
    rate *= 2;
  return MP3SampleRateForVersion(kMpeg1, rate);
}

}  // namespace

void CConv2MP3::UpdateSettingsAfterEncoderChange(CConv2FileFormat* format) {
  if (format == nullptr) return;
  if (!SupportsVersion(format->mpegVersion)) format->mpegVersion = kMpeg1;
  if (format->mode < kModeStereo || format->mode > kModeMono || !SupportsMode(format->mode)) {
    format->mode = kModeStereo;
  }
  if (!SupportsVBR()) format->enableVBR = 0;
  if (!SupportsABR()) format->enableABR = 0;
  format->nSamplesPerSec =
      static_cast<uint32_t>(MP3SampleRateForVersion(format->mpegVersion, format->nSamplesPerSec));
  ChannelsFollowMode(format);
  format->bitrate = static_cast<uint32_t>(std::clamp<unsigned long>(
      format->bitrate, TableFirst(format->mpegVersion), TableLast(format->mpegVersion)));
}

void CConv2MP3::MakeMostNaturalFormatCallback(CConv2FileFormat* format, tWAVEFORMATEX* /*wave*/,
                                              ACMObject* /*decoder*/) {
  if (format == nullptr) return;
  format->mode = format->nChannels == 1 ? kModeMono : kModeStereo;
  if (format->id3TagType < ttNone || format->id3TagType > ttId3V2) format->id3TagType = ttId3V2;
  ChannelsFollowMode(format);
}

void CConv2MP3::UserMaximumsCallback(CConv2FileFormat* format, CConv2FileFormat* maximums) {
  if (format == nullptr || maximums == nullptr) return;
  if (format->mode < maximums->mode && maximums->mode <= kModeMono) format->mode = maximums->mode;
  ChannelsFollowMode(format);
  if (maximums->id3TagType == ttNone) {
    format->id3TagType = ttNone;
  } else if (maximums->id3TagType == ttId3V1 && format->id3TagType == ttId3V2) {
    format->id3TagType = ttId3V1;
  }
}

bool CConv2MP3::ValidateFormat(CConv2FileFormat* format) {
  if (format == nullptr || format->wFormatTag != kWaveFormatMpegLayer3) return false;
  if (format->id3TagType < ttNone || format->id3TagType > ttId3V2) return false;
  if (format->mode < kModeStereo || format->mode > kModeMono || !SupportsMode(format->mode)) {
    return false;
  }
  if (format->usePreset != 0 && FindMP3Preset(format->preset) == nullptr) return false;
  if (!format->Validate() || !SupportsVersion(format->mpegVersion)) return false;
  // What the encoder is fed follows the version and the mode: a foreign rate is replaced by
  // the version's own, and the PCM is 16-bit with the mode's channels.
  format->nSamplesPerSec =
      static_cast<uint32_t>(MP3SampleRateForVersion(format->mpegVersion, format->nSamplesPerSec));
  ChannelsFollowMode(format);
  return true;
}

void CConv2MP3::GetFormatFromPreset(CConv2FileFormat* format, long preset, _tTagTypedef tagType,
                                    _tSoundQualityTypedef quality) {
  if (format == nullptr) return;
  CConv2FileObj::GetFormatFromPreset(format, preset, tagType, quality);
  const MP3Preset* row = FindMP3Preset(format->preset);
  if (row == nullptr) {
    format->preset = kMP3DefaultPreset;
    row = FindMP3Preset(kMP3DefaultPreset);
  }
  format->mpegVersion = row->version;
  format->bitrate = static_cast<uint32_t>(row->bitrate);
  format->minBitrate = static_cast<uint32_t>(row->minBitrate);
  format->maxBitrate = static_cast<uint32_t>(row->maxBitrate);
  format->vbrQuality = row->vbrQuality;
  format->abrBitrate = static_cast<uint32_t>(row->bitrate);
  format->nSamplesPerSec = static_cast<uint32_t>(row->sampleRate);
  format->mode = row->mode;
  if ((format->mode == kModeJointStereo && !SupportsJStereo()) ||
      (format->mode == kModeDualChannel && !SupportsDualChannel())) {
    format->mode = kModeStereo;
  }
  format->nChannels = static_cast<uint16_t>(row->channels);
  format->wBitsPerSample = 16;
  format->CalcBlockAlignNAvgBytesPerSec();
  format->enableVBR = 0;
  format->enableABR = 0;
}

void CConv2MP3::GetTargetFormatStr(char* text, long size, CConv2FileFormat* format) {
  if (text == nullptr || size <= 0) return;
  text[0] = '\0';
  if (format != nullptr) Describe(*this, *format, "IDS_MP3_FORMAT_SIMPLE", text, size);
}

void CConv2MP3::GetUserSettingsStr(char* text, long size, CConv2FileFormat* format) {
  if (text == nullptr || size <= 0) return;
  text[0] = '\0';
  if (format == nullptr) return;
  Describe(*this, *format, "IDS_MP3_FORMAT_LAYER3", text, size);
  const struct {
    bool on;
    const char* key;
  } flags[] = {
      {format->enableVBR != 0 && format->writeVBRHeader != 0 && SupportsVBR() &&
           SupportsVBRXINGHeader(),
       "IDS_XING_HEADER_SET"},
      {format->isPrivate != 0, "IDS_PRIVATE_SET"},
      {format->crc != 0, "IDS_CHECKSUM_SET"},
      {format->original != 0, "IDS_ORIGINAL_SET"},
      {format->copyright != 0, "IDS_COPYRIGHT_SET"},
  };
  for (const auto& flag : flags) {
    if (!flag.on) continue;
    const size_t used = std::strlen(text);
    if (used + 1 >= static_cast<size_t>(size)) break;
    Load(flag.key, text + used, size - static_cast<long>(used));
  }
}

void CConv2MP3::GetTargetFormat(CConv2FileFormat* target, CConv2FileFormat* source,
                                tWAVEFORMATEX* wave, TMusicInfo* info, ACMObject* decoder) {
  if (target == nullptr) return;
  CConv2FileObj::GetTargetFormat(target, source, wave, info, decoder);
  // The user's own settings are taken as they are, only adapted to what this encoder can do.
  if (target->soundQuality == sqQuality2) {
    UpdateSettingsAfterEncoderChange(target);
    ValidateFormat(target);
  }
  if (target->id3TagType < ttNone || target->id3TagType > ttId3V2) target->id3TagType = ttId3V2;
  tag_type_ = target->id3TagType;
  if (info != nullptr && info->tagType == ttId3V2 && info->tagSize > 0) {
    // The source's ID3v2 tag is copied with its other frames: it needs its own size and room
    // for the frames the export fills in.
    reserved_tag_size_ = std::max(kId3V2Reserve, info->tagSize + kId3V2Growth);
  } else {
    reserved_tag_size_ = tag_type_ == ttId3V2   ? kId3V2Reserve
                         : tag_type_ == ttId3V1 ? kId3V1Size
                                                : 0;
  }
}

double CConv2MP3::GetBytesToWrite(CConv2FileFormat* format, tWAVEFORMATEX* wave, double lengthMs) {
  if (format == nullptr || lengthMs <= 0) return 0.0;
  CConv2FileFormat target(kWaveFormatMpegLayer3);
  // The estimate must not change this converter's tag settings for the export itself.
  const _tTagTypedef tagType = tag_type_;
  const unsigned long reserved = reserved_tag_size_;
  GetTargetFormat(&target, format, wave, nullptr, nullptr);
  tag_type_ = tagType;
  reserved_tag_size_ = reserved;
  // kbit/s: 1000 bits a second, 8 bits a byte, lengthMs / 1000 seconds.
  return lengthMs * static_cast<double>(GetBitrateForBytesToWrite(&target)) / 8.0;
}

unsigned long CConv2MP3::GetBitrateForBytesToWrite(CConv2FileFormat* format) {
  if (format == nullptr) return 0;
  if (format->enableVBR == 0 || !SupportsVBR()) return format->bitrate;
  if (format->enableABR != 0 && SupportsABR()) return format->abrBitrate;
  const long low = format->minBitrate;
  const long high = format->maxBitrate;
  const long quality = std::clamp(format->vbrQuality, 0, 9);
  return static_cast<unsigned long>(std::max(0L, low + (95 - 10 * quality) * (high - low) / 100));
}

// LAME ----------------------------------------------------------------------------------------

void CLameConv2MP3::UpdateSettingsAfterEncoderChange(CConv2FileFormat* format) {
  if (format == nullptr) return;
  const int version = SupportsVersion(format->mpegVersion) ? format->mpegVersion : kMpeg1;
  if (version == kMpeg1) {
    format->maxBitrate = std::max<uint32_t>(format->maxBitrate, 40);
    format->minBitrate = std::max<uint32_t>(format->minBitrate, 32);
  } else {
    format->maxBitrate = std::min<uint32_t>(format->maxBitrate, 160);
    format->minBitrate = std::min<uint32_t>(format->minBitrate, 128);
  }
  format->minBitrate = static_cast<uint32_t>(FindMostNaturalBitRate(version, format->minBitrate));
  format->maxBitrate = static_cast<uint32_t>(FindMostNaturalBitRate(version, format->maxBitrate));
  format->bitrate = static_cast<uint32_t>(FindMostNaturalBitRate(version, format->bitrate));
  KeepAbrWithinRange(format);
  CConv2MP3::UpdateSettingsAfterEncoderChange(format);
}

void CLameConv2MP3::MakeMostNaturalFormatCallback(CConv2FileFormat* format, tWAVEFORMATEX* wave,
                                                  ACMObject* decoder) {
  if (format == nullptr) return;
  CConv2MP3::MakeMostNaturalFormatCallback(format, wave, decoder);
  format->resampleRate = 0;
  format->psyModel = 0;
  format->emphasis = 0;
  format->enableVBR = 0;
  format->enableABR = 0;
  const unsigned long rate = format->nSamplesPerSec;
  const bool mono = format->mode == kModeMono;
  const int version = VersionForRate(rate);
  unsigned long natural = 0;
  if (version == kMpeg2_5) {
    natural = rate <= 8000 ? (mono ? 8 : 16) : (mono ? 16 : 32);
  } else if (version == kMpeg2) {
    natural = rate <= 16000 ? (mono ? 32 : 64) : (mono ? 48 : 96);
  } else {
    natural = rate <= 32000 ? (mono ? 64 : 128) : (mono ? 96 : 192);
  }
  format->mpegVersion = version;
  format->nSamplesPerSec = static_cast<uint32_t>(MP3SampleRateForVersion(version, rate));
  format->CalcBlockAlignNAvgBytesPerSec();
  unsigned long value = format->bitrate != 0 ? format->bitrate : natural;
  unsigned long lower = 0;
  unsigned long upper = 0;
  if (version == kMpeg1) {
    FindMostNaturalMPEG1BitRates(&lower, nullptr, &upper, &value);
  } else {
    FindMostNaturalMPEG2XBitRates(&lower, nullptr, &upper, &value);
  }
  format->bitrate = static_cast<uint32_t>(value);
  format->minBitrate = static_cast<uint32_t>(lower);
  format->maxBitrate = static_cast<uint32_t>(upper);
  KeepAbrWithinRange(format);
}

void CLameConv2MP3::UserMaximumsCallback(CConv2FileFormat* format, CConv2FileFormat* maximums) {
  if (format == nullptr || maximums == nullptr) return;
  CConv2MP3::UserMaximumsCallback(format, maximums);
  const int version = format->mpegVersion;
  if (version == maximums->mpegVersion) {
    format->bitrate = std::min(format->bitrate, maximums->bitrate);
  }
  format->bitrate = static_cast<uint32_t>(FindMostNaturalBitRate(version, format->bitrate));
  format->minBitrate = static_cast<uint32_t>(FindMostNaturalBitRate(version, format->minBitrate));
  format->maxBitrate = static_cast<uint32_t>(FindMostNaturalBitRate(version, format->maxBitrate));
  KeepAbrWithinRange(format);
}

// BladeEnc ------------------------------------------------------------------------------------

void CBladeConv2MP3::UpdateSettingsAfterEncoderChange(CConv2FileFormat* format) {
  if (format == nullptr) return;
  format->mpegVersion = kMpeg1;
  format->enableVBR = 0;
  format->enableABR = 0;
  CConv2MP3::UpdateSettingsAfterEncoderChange(format);
  format->bitrate = static_cast<uint32_t>(FindMostNaturalMPEG1BitRate(format->bitrate));
}

void CBladeConv2MP3::MakeMostNaturalFormatCallback(CConv2FileFormat* format, tWAVEFORMATEX* wave,
                                                   ACMObject* decoder) {
  if (format == nullptr) return;
  CConv2MP3::MakeMostNaturalFormatCallback(format, wave, decoder);
  const unsigned long rate = format->nSamplesPerSec;
  const bool mono = format->mode == kModeMono;
  if (format->bitrate == 0) {
    // Chosen by the source's own rate, before it is raised to an MPEG-1 rate.
    unsigned long natural = 192;
    if (rate < 16000)
      natural = 32;
    else if (rate < 22050)
      natural = 64;
    else if (rate < 32000)
      natural = 96;
    else if (rate == 32000)
      natural = 128;
    format->bitrate = static_cast<uint32_t>(mono && rate >= 16000 ? natural / 2 : natural);
  }
  format->bitrate = static_cast<uint32_t>(FindMostNaturalMPEG1BitRate(format->bitrate));
  format->mpegVersion = kMpeg1;
  format->enableVBR = 0;
  format->enableABR = 0;
  format->nSamplesPerSec = static_cast<uint32_t>(RaisedMpeg1Rate(rate));
  format->CalcBlockAlignNAvgBytesPerSec();
}

void CBladeConv2MP3::UserMaximumsCallback(CConv2FileFormat* format, CConv2FileFormat* maximums) {
  if (format == nullptr || maximums == nullptr) return;
  CConv2MP3::UserMaximumsCallback(format, maximums);
  format->mpegVersion = kMpeg1;
  format->bitrate = static_cast<uint32_t>(
      FindMostNaturalMPEG1BitRate(std::min(format->bitrate, maximums->bitrate)));
  format->nSamplesPerSec = static_cast<uint32_t>(RaisedMpeg1Rate(format->nSamplesPerSec));
  format->CalcBlockAlignNAvgBytesPerSec();
}

bool CBladeConv2MP3::ValidateFormat(CConv2FileFormat* format) {
  return CConv2MP3::ValidateFormat(format) && IsMP3TableBitrate(kMpeg1, format->bitrate);
}
