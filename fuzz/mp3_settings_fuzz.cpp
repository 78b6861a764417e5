#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_mp3.h>
#include <sonark/export/mp3_settings.h>
#include <tarnell/ref_obj.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

// The export settings come from the user's settings file, where any number may stand. Every
// settings operation must cope with any record, and adapting a record to an encoder must leave
// one the encoder accepts.

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  uint32_t Next() {
    uint32_t v = 0;
    const size_t n = size < 4 ? size : 4;
    std::memcpy(&v, data, n);
    data += n;
    size -= n;
    return v;
  }
};

void Fill(CConv2FileFormat* f, Input* in) {
  f->nChannels = static_cast<uint16_t>(in->Next());
  f->nSamplesPerSec = in->Next();
  f->wBitsPerSample = static_cast<uint16_t>(in->Next());
  f->CalcBlockAlignNAvgBytesPerSec();
  f->SetSoundQuality(static_cast<_tSoundQualityTypedef>(in->Next() % 5));
  f->preset = static_cast<int32_t>(in->Next());
  f->usePreset = static_cast<int32_t>(in->Next());
  f->bitrate = in->Next();
  f->id3TagType = static_cast<_tTagTypedef>(static_cast<int32_t>(in->Next()));
  f->mpegVersion = static_cast<int32_t>(in->Next());
  f->mode = static_cast<int32_t>(in->Next());
  f->minBitrate = in->Next();
  f->maxBitrate = in->Next();
  f->enableVBR = static_cast<int32_t>(in->Next());
  f->writeVBRHeader = static_cast<int32_t>(in->Next());
  f->vbrQuality = static_cast<int32_t>(in->Next());
  f->enableABR = static_cast<int32_t>(in->Next());
  f->abrBitrate = in->Next();
  f->isPrivate = static_cast<int32_t>(in->Next());
  f->crc = static_cast<int32_t>(in->Next());
}

void Exercise(CConv2MP3* conv, bool blade, const CConv2FileFormat& stored, Input in) {
  CConv2FileFormat f = stored;
  char text[512];
  conv->GetTargetFormatStr(text, sizeof text, &f);
  conv->GetUserSettingsStr(text, sizeof text, &f);
  conv->GetBitrateForBytesToWrite(&f);

  conv->UpdateSettingsAfterEncoderChange(&f);
  const bool wellFormed = f.Validate() && f.id3TagType >= ttNone && f.id3TagType <= ttId3V2 &&
                          (f.usePreset == 0 || sonark::FindMP3Preset(f.preset) != nullptr);
  if (wellFormed && !conv->ValidateFormat(&f)) abort();
  if (blade && !sonark::IsMP3TableBitrate(sonark::kMpeg1, f.bitrate)) abort();

  tWAVEFORMATEX wave{};
  wave.nChannels = static_cast<uint16_t>(in.Next());
  wave.nSamplesPerSec = in.Next();
  wave.wBitsPerSample = static_cast<uint16_t>(in.Next());
  CConv2FileFormat target(kWaveFormatMpegLayer3);
  conv->GetTargetFormat(&target, const_cast<CConv2FileFormat*>(&stored), &wave, nullptr, nullptr);
  conv->GetBytesToWrite(&target, &wave, 1000.0);
  if (target.nChannels != 1 && target.nChannels != 2) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  CConv2FileFormat stored(kWaveFormatMpegLayer3);
  Fill(&stored, &in);
  CLameConv2MP3* lame = new CLameConv2MP3;
  CBladeConv2MP3* blade = new CBladeConv2MP3;
  Exercise(lame, false, stored, in);
  Exercise(blade, true, stored, in);
  CRefObj* held = lame;
  DeleteRefObject(&held);
  held = blade;
  DeleteRefObject(&held);
  return 0;
}
