#include <cli/render_mp3.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_mp3.h>
#include <sonark/export/conversion_types.h>
#include <sonark/export/mp3_encoders.h>
#include <tarnell/ref_obj.h>

namespace {

// The preset the MPEG audio export starts from, as its conversion type's default.
constexpr long kDefaultPreset = 9;

const char* VersionName(int version) {
  switch (version) {
    case 1:
      return "MPEG-1";
    case 0:
      return "MPEG-2";
    case 2:
      return "MPEG-2.5";
    default:
      return "unknown MPEG version";
  }
}

const char* ModeName(int mode) {
  static const char* const kNames[] = {"stereo", "joint stereo", "dual channel", "mono"};
  return mode >= 0 && mode <= 3 ? kNames[mode] : "unknown mode";
}

const char* TagTypeName(int type) {
  switch (type) {
    case ttNone:
      return "none";
    case ttId3V1:
      return "ID3v1";
    case ttId3V2:
      return "ID3v1 and ID3v2";
    default:
      return "unknown";
  }
}

// The rate each version falls back to.
uint32_t DefaultRate(int version) { return version == 1 ? 44100 : version == 0 ? 22050 : 11025; }

}  // namespace

CConv2MP3* NewMp3Converter(std::string* error) {
  // The libraries are looked for once; every output of a split uses the same one.
  static const bool looked = [] {
    CConv2FileFormat settings(kWaveFormatMpegLayer3);
    DetermineConvertersAvailable(medLame, &settings);
    return true;
  }();
  (void)looked;
  CConv2FileObj* converter = NewCConv2FileObj(fctMP3, -1);
  // Every converter of the MP3 type is a CConv2MP3.
  auto* mp3 = converter != nullptr && converter->GetConversionType() == fctMP3
                  ? static_cast<CConv2MP3*>(converter)
                  : nullptr;
  if (mp3 == nullptr) {
    if (converter != nullptr) DeleteRefObject(reinterpret_cast<CRefObj**>(&converter));
    *error = std::string("MP3 export is unavailable: no MP3 encoder library (") +
             sonark::MP3EncoderLibraryName(medLame) +
             ") was found beside the engine or on the "
             "library path";
  }
  return mp3;
}

bool BuildMp3Format(CConv2MP3& converter, const RenderOptions& options, CConv2FileFormat* format,
                    std::string* error) {
  const Mp3Options& m = options.mp3;
  *format = CConv2FileFormat(kWaveFormatMpegLayer3);
  converter.GetFormatFromPreset(format, m.preset ? m.preset : kDefaultPreset, ttUnchanged,
                                sqUnchanged);
  format->usePreset = m.preset ? 1 : 0;
  if (!m.preset) {
    if (m.mpeg >= 0 || options.rate != 0) {
      format->mpegVersion =
          static_cast<int32_t>(m.mpeg >= 0 ? m.mpeg : Mp3VersionOfRate(options.rate));
      format->nSamplesPerSec = options.rate != 0 ? static_cast<uint32_t>(options.rate)
                                                 : DefaultRate(format->mpegVersion);
    }
    if (m.mode >= 0) format->mode = static_cast<int32_t>(m.mode);
    if (m.bitrate != 0) format->bitrate = static_cast<uint32_t>(m.bitrate);
    if (m.vbr >= 0 || m.abr != 0) {
      format->enableVBR = 1;
      format->writeVBRHeader = 1;
    }
    if (m.vbr >= 0) format->vbrQuality = static_cast<int32_t>(m.vbr);
    if (m.abr != 0) {
      format->enableABR = 1;
      format->abrBitrate = static_cast<uint32_t>(m.abr);
      // The average is kept strictly above the lowest rate; unless a lowest rate is asked for,
      // it is the version's lowest, so that the preset's 128 kbit/s does not move an average
      // of 128 or below.
      if (m.bitrate == 0) format->minBitrate = format->mpegVersion == 1 ? 32 : 8;
    }
  }
  converter.UpdateSettingsAfterEncoderChange(format);
  // With a variable rate the bit rate asked for is the lowest one: it is rounded to the
  // version's table as the constant rate is, and then kept within the version's bounds.
  if (!m.preset && m.bitrate != 0 && format->enableVBR) {
    format->minBitrate = format->bitrate;
    converter.UpdateSettingsAfterEncoderChange(format);
  }
  if (!converter.ValidateFormat(format)) {
    char text[256];
    converter.GetTargetFormatStr(text, sizeof text, format);
    *error = std::string("the encoder cannot write these MP3 settings (") + text + ")";
    return false;
  }
  return true;
}

void PrintMp3Settings(FILE* out, CConv2MP3& converter, const CConv2FileFormat& format,
                      const RenderOptions& options) {
  CConv2FileFormat copy = format;
  const char* prefix = "quarl-cli render: ";
  if (format.usePreset)
    fprintf(out, "%sMP3 preset %d\n", prefix, format.preset);
  else
    fprintf(out, "%sMP3 exact settings\n", prefix);
  fprintf(out, "%s  %s, %u Hz, %s (%u channel%s)\n", prefix, VersionName(format.mpegVersion),
          format.nSamplesPerSec, ModeName(format.mode), format.nChannels,
          format.nChannels == 1 ? "" : "s");
  if (!format.enableVBR) {
    fprintf(out, "%s  CBR %u kbit/s\n", prefix, format.bitrate);
  } else {
    fprintf(out, "%s  VBR %u to %u kbit/s, quality %d, Xing header %s\n", prefix, format.minBitrate,
            format.maxBitrate, format.vbrQuality, format.writeVBRHeader ? "on" : "off");
    if (format.enableABR) fprintf(out, "%s  ABR %u kbit/s\n", prefix, format.abrBitrate);
  }
  const Mp3Options& m = options.mp3;
  const unsigned long rounded = format.enableVBR ? format.minBitrate : format.bitrate;
  if (m.bitrate != 0 && static_cast<unsigned long>(m.bitrate) != rounded)
    fprintf(out, "%s  --bitrate %ld became %lu kbit/s (the %s table)\n", prefix, m.bitrate, rounded,
            VersionName(format.mpegVersion));
  if (m.abr != 0 && static_cast<unsigned long>(m.abr) != format.abrBitrate)
    fprintf(out, "%s  --abr %ld became %u kbit/s (kept between the lowest and highest rates)\n",
            prefix, m.abr, format.abrBitrate);
  fprintf(out, "%s  tags: %s\n", prefix, TagTypeName(format.id3TagType));
  // The engine's own short and long descriptions, as the export dialog shows them.
  char text[512];
  converter.GetTargetFormatStr(text, sizeof text, &copy);
  if (text[0] != '\0') fprintf(out, "%s  %s\n", prefix, text);
  converter.GetUserSettingsStr(text, sizeof text, &copy);
  if (text[0] != '\0') fprintf(out, "%s  %s\n", prefix, text);
}

void FillMusicInfo(const TagOptions& tags, const std::string& path, TMusicInfo* info) {
  *info = TMusicInfo();
  // An empty title is no title: the MP3 writer would otherwise name the file by the temporary
  // file it writes.
  if (tags.title && !tags.title->empty())
    sonark::SetMusicInfoText(info->title, tags.title->c_str());
  else
    CreateDefaultTagTitleString(path.c_str(), info->title, sizeof info->title);
  if (tags.artist) sonark::SetMusicInfoText(info->artist, tags.artist->c_str());
  if (tags.album) sonark::SetMusicInfoText(info->album, tags.album->c_str());
  if (tags.comment) sonark::SetMusicInfoText(info->comment, tags.comment->c_str());
  if (tags.genre) {
    // A number names the genre of the ID3 list, as "(n)" does in a tag.
    const std::string& g = *tags.genre;
    const bool number = !g.empty() && g.find_first_not_of("0123456789") == std::string::npos;
    sonark::SetGenreFromText(info, (number ? "(" + g + ")" : g).c_str());
  }
  info->year = tags.year;
  info->track = static_cast<int>(tags.track);
  info->totalTracks = static_cast<int>(tags.totalTracks);
}
