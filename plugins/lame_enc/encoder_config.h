#pragma once

#include <plugins/lame_enc/lame_enc_api.h>

#include <cstdint>

namespace lame_enc {

// What a configuration record asks of the encoder, checked for what libmp3lame can do.
struct EncoderSettings {
  uint32_t inputRate = 0;
  uint32_t outputRate = 0;
  int mode = BE_MODE_STEREO;
  int channels = 2;
  uint32_t bitRate = 0;  // CBR rate; with VBR the minimum (0: the encoder's choice)
  uint32_t maxBitRate = 0;
  bool vbr = false;
  bool abr = false;  // with vbr: average bit rate instead of a quality target
  int vbrMethod = -1;
  int vbrQuality = 4;
  uint32_t meanBitRate = 0;  // kbit/s, ABR only
  bool xingHeader = false;
  bool crc = false;
  bool copyright = false;
  bool original = false;
  bool privateBit = false;
  int emphasis = 0;
  bool noReservoir = false;
};

// Reads a kind 0 or kind 256 record (layouts in lame_enc_api.h). `size` bounds what may be read:
// the record passed across the interface carries no length, so the caller gives the largest the
// kind can have. Returns BE_ERR_SUCCESSFUL or the error that refuses the record.
BeResult ReadConfig(const unsigned char* record, unsigned long size, EncoderSettings* out);

// The MPEG version an output rate gives: 1 MPEG-1, 0 MPEG-2, 2 MPEG-2.5, -1 none.
int MpegVersionForRate(uint32_t rate);

// Whether `kbps` is a layer III bit rate of that version.
bool IsLayer3BitRate(int version, uint32_t kbps);

}  // namespace lame_enc
