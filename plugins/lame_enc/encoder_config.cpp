#include <plugins/lame_enc/encoder_config.h>

namespace lame_enc {

namespace {

uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Last byte the kind 256 fields reach; a record declaring less is cut short.
constexpr unsigned long kLameFieldsEnd = 88;

BeResult CheckCommon(EncoderSettings& s) {
  if (s.mode < BE_MODE_STEREO || s.mode > BE_MODE_MONO) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  s.channels = s.mode == BE_MODE_MONO ? 1 : 2;
  const int version = MpegVersionForRate(s.outputRate);
  if (version < 0 || s.inputRate == 0 || s.inputRate > 192000) {
    return BE_ERR_INVALID_FORMAT_PARAMETERS;
  }
  if (!s.vbr && !IsLayer3BitRate(version, s.bitRate)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  if (s.emphasis != 0 && s.emphasis != 1 && s.emphasis != 3) {
    return BE_ERR_INVALID_FORMAT_PARAMETERS;
  }
  return BE_ERR_SUCCESSFUL;
}

}  // namespace

int MpegVersionForRate(uint32_t rate) {
  switch (rate) {
    case 32000:
    case 44100:
    case 48000:
      return 1;
    case 16000:
    case 22050:
    case 24000:
      return 0;
    case 8000:
    case 11025:
    case 12000:
      return 2;
    default:
      return -1;
  }
}

bool IsLayer3BitRate(int version, uint32_t kbps) {
  static const uint32_t kMpeg1[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  static const uint32_t kMpeg2[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
  if (version == 1) {
    for (uint32_t r : kMpeg1)
      if (r == kbps) return true;
  } else if (version == 0 || version == 2) {
    for (uint32_t r : kMpeg2)
      if (r == kbps) return true;
  }
  return false;
}

BeResult ReadConfig(const unsigned char* record, unsigned long size, EncoderSettings* out) {
  if (record == nullptr || out == nullptr || size < 4) return BE_ERR_INVALID_FORMAT;
  EncoderSettings s;
  const uint32_t kind = Le32(record);
  if (kind == BE_CONFIG_BLADE) {
    if (size < BE_CONFIG_BLADE_SIZE) return BE_ERR_INVALID_FORMAT;
    s.inputRate = s.outputRate = Le32(record + 4);
    s.mode = record[8];
    s.bitRate = Le16(record + 9);
    s.privateBit = Le32(record + 11) != 0;
    s.crc = Le32(record + 15) != 0;
    s.copyright = Le32(record + 19) != 0;
    s.original = Le32(record + 23) != 0;
    const BeResult result = CheckCommon(s);
    if (result != BE_ERR_SUCCESSFUL) return result;
    *out = s;
    return BE_ERR_SUCCESSFUL;
  }
  if (kind != BE_CONFIG_LAME || size < kLameFieldsEnd) return BE_ERR_INVALID_FORMAT;
  const uint32_t version = Le32(record + 4);
  const uint32_t declared = Le32(record + 8);
  if (version < 1 || declared < kLameFieldsEnd) return BE_ERR_INVALID_FORMAT;
  auto field = [record](int index) { return Le32(record + 4 * index); };
  s.inputRate = field(3);
  s.outputRate = field(4) != 0 ? field(4) : s.inputRate;
  s.mode = static_cast<int>(field(5));
  s.bitRate = field(6);
  s.maxBitRate = field(7);
  const int32_t mpegVersion = static_cast<int32_t>(field(9));
  s.emphasis = static_cast<int>(field(11));
  s.privateBit = field(12) != 0;
  s.crc = field(13) != 0;
  s.copyright = field(14) != 0;
  s.original = field(15) != 0;
  const bool xing = field(16) != 0;
  s.vbr = field(17) != 0;
  const uint32_t quality = field(18);
  const uint32_t meanBps = field(19);
  s.vbrMethod = static_cast<int32_t>(field(20));
  s.noReservoir = field(21) != 0;

  // The version only follows from the output rate; a record whose two disagree would not get
  // the file it asks for.
  if (mpegVersion != MpegVersionForRate(s.outputRate)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  if (s.vbr) {
    if (s.vbrMethod < 0 || s.vbrMethod > 4 || quality > 9) {
      return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    s.vbrQuality = static_cast<int>(quality);
    s.xingHeader = xing;
    s.abr = s.vbrMethod == 4;
    if (s.abr) {
      s.meanBitRate = meanBps / 1000;
      if (s.meanBitRate < 8 || s.meanBitRate > 320) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    if (s.bitRate > 320 || s.maxBitRate > 320 || (s.maxBitRate != 0 && s.bitRate > s.maxBitRate)) {
      return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
  } else {
    s.maxBitRate = 0;
    s.vbrMethod = -1;
  }
  const BeResult result = CheckCommon(s);
  if (result != BE_ERR_SUCCESSFUL) return result;
  *out = s;
  return BE_ERR_SUCCESSFUL;
}

}  // namespace lame_enc
