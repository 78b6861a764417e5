#pragma once

#include <sonark/visibility.h>

#include <cstddef>
#include <cstdint>

// The fixed tables of MP3 export: the bit rates and sample rates of each MPEG version, and the
// ten named presets. MPEG versions are numbered as the format record numbers them: 1 MPEG-1,
// 0 MPEG-2, 2 MPEG-2.5; modes 0 stereo, 1 joint stereo, 2 dual channel, 3 mono.

namespace sonark {

constexpr int kMpeg2 = 0;
constexpr int kMpeg1 = 1;
constexpr int kMpeg2_5 = 2;

constexpr int kModeStereo = 0;
constexpr int kModeJointStereo = 1;
constexpr int kModeDualChannel = 2;
constexpr int kModeMono = 3;

// Bit rates in kbit/s, lowest first.
inline constexpr unsigned long kMPEG1Bitrates[] = {32,  40,  48,  56,  64,  80,  96,
                                                   112, 128, 160, 192, 224, 256, 320};
inline constexpr unsigned long kMPEG2XBitrates[] = {8,  16, 24, 32,  40,  48, 56,
                                                    64, 80, 96, 112, 128, 160};

// The bit-rate table of `version` (MPEG-1 for version 1, else the MPEG-2 table) and its size.
SONARK_API const unsigned long* MP3BitrateTable(int version, size_t* count);
// Whether `kbps` is a rate of the table of `version`.
SONARK_API bool IsMP3TableBitrate(int version, unsigned long kbps);
// The most natural rate of the table of `version` for `kbps`.
SONARK_API unsigned long FindMostNaturalBitRate(int version, unsigned long kbps);

// The sample rates of an MPEG version: the one a foreign rate is replaced by, then the others.
struct MP3VersionRates {
  unsigned long natural;
  unsigned long others[2];
};
// The rates of `version`; null for a number that is no version.
SONARK_API const MP3VersionRates* FindMP3VersionRates(int version);
// `rate` when it belongs to `version`, else the version's natural rate (44100 for a number
// that is no version).
SONARK_API unsigned long MP3SampleRateForVersion(int version, unsigned long rate);

// The strings-file keys of a version's name ("IDS_MPEG1" ...) and of a mode's name
// ("IDS_STEREO_CB_ITEM" ...); those of MPEG-1 and stereo for numbers outside the lists.
SONARK_API const char* MP3VersionKey(int version);
SONARK_API const char* MP3ModeKey(int mode);

struct MP3Preset {
  const char* nameKey;
  int version;
  unsigned long bitrate;
  unsigned long minBitrate;
  unsigned long maxBitrate;
  int vbrQuality;
  unsigned long sampleRate;
  int mode;
  int channels;
};

constexpr long kMP3PresetCount = 10;
constexpr long kMP3DefaultPreset = 9;

// Preset `preset` (1 to kMP3PresetCount), or null.
SONARK_API const MP3Preset* FindMP3Preset(long preset);

}  // namespace sonark

// The most natural MPEG-1 (or MPEG-2 and 2.5) bit rate for `kbps`: the table's first or last
// rate beyond its ends, an exact rate as it is, else the lower neighbour when `kbps` is not
// above the integer mean of the two neighbours, the upper one when it is.
SONARK_API unsigned long FindMostNaturalMPEG1BitRate(unsigned long kbps);
SONARK_API unsigned long FindMostNaturalMPEG2XBitRate(unsigned long kbps);
// `*value` becomes its most natural rate; `lower` and `upper` (each may be null) receive the
// rates beside that one in the table (the rate itself at an end of the table) and `natural`
// the rate too. Used to step the bit-rate controls and to set minimum and maximum around a
// chosen rate.
SONARK_API void FindMostNaturalMPEG1BitRates(unsigned long* lower, unsigned long* natural,
                                             unsigned long* upper, unsigned long* value);
SONARK_API void FindMostNaturalMPEG2XBitRates(unsigned long* lower, unsigned long* natural,
                                              unsigned long* upper, unsigned long* value);
