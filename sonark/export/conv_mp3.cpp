#include <platform/byte_order.h>
#include <platform/last_error.h>
#include <plugins/lame_enc/lame_enc_api.h>
#include <sonark/errors.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_mp3.h>
#include <sonark/load/id3_tag.h>
#include <sonark/load/id3_tag_v2.h>
#include <sonark/load/music_info.h>
#include <tarnell/errors.h>
#include <tarnell/ref_ptr.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace {

using platform::PutLe32;

constexpr uint16_t kLameAbilities = CConv2MP3::kVBR | CConv2MP3::kVBRXingHeader |
                                    CConv2MP3::kVBRQuality | CConv2MP3::kABR | CConv2MP3::kMPEG1 |
                                    CConv2MP3::kMPEG2 | CConv2MP3::kMPEG2_5 | CConv2MP3::kJStereo |
                                    CConv2MP3::kDualChannel;
constexpr uint16_t kBladeAbilities = CConv2MP3::kMPEG1 | CConv2MP3::kDualChannel;

constexpr int kModeMono = 3;
constexpr unsigned long kId3V1Size = 128;

int Fail(uint32_t code) {
  platform::set_last_error(code);
  return 0;
}

// Writes the u32 fields of a configuration record, little-endian, one after the other.
class FieldWriter {
 public:
  explicit FieldWriter(unsigned char* at) : at_(at) {}
  FieldWriter& U32(uint32_t value) {
    PutLe32(at_, value);
    at_ += 4;
    return *this;
  }
  FieldWriter& U16(uint16_t value) {
    at_[0] = static_cast<unsigned char>(value & 0xFF);
    at_[1] = static_cast<unsigned char>(value >> 8);
    at_ += 2;
    return *this;
  }
  FieldWriter& U8(uint8_t value) {
    *at_++ = value;
    return *this;
  }

 private:
  unsigned char* at_;
};

}  // namespace

CConv2MP3::CConv2MP3(_tMP3EncoderDllTypedef type, uint16_t abilities)
    : encoder_type_(type), abilities_(abilities) {
  SetConversionType(fctMP3);
  SetFormatType(kWaveFormatMpegLayer3);
  SetDefaultExt("mp3");
}

CConv2MP3::~CConv2MP3() { ReleaseStream(); }

void CConv2MP3::Close() {
  ReleaseStream();
  CConv2FileObj::Close();
}

_tMP3EncoderDllTypedef CConv2MP3::GetMP3EncoderType() { return encoder_type_; }

bool CConv2MP3::SupportsVersion(int mpegVersion) const {
  switch (mpegVersion) {
    case 1:
      return SupportsMPEG1();
    case 0:
      return SupportsMPEG2();
    case 2:
      return SupportsMPEG2_5();
    default:
      return false;
  }
}

bool CConv2MP3::SupportsMode(int mode) const {
  switch (mode) {
    case 0:
    case kModeMono:
      return true;
    case 1:
      return SupportsJStereo();
    case 2:
      return SupportsDualChannel();
    default:
      return false;
  }
}

int CConv2MP3::GetEncoderDll(sonark::MP3EncoderEntryPoints* entries, bool* loadedNow) {
  return sonark::LoadMP3EncoderLibrary(encoder_type_, entries, loadedNow);
}

int CConv2MP3::CheckExtraEntryPoints(const sonark::MP3EncoderEntryPoints& /*entries*/,
                                     bool /*loadedNow*/) {
  return 1;
}

int CConv2MP3::AfterFlush(const char* /*path*/) { return 1; }

void CConv2MP3::ReleaseStream() {
  if (stream_ != nullptr && entries_.beCloseStream != nullptr) {
    reinterpret_cast<BeCloseStreamFn>(entries_.beCloseStream)(static_cast<BeStream>(stream_));
  }
  stream_ = nullptr;
  std::vector<unsigned char>().swap(config_);
  std::vector<unsigned char>().swap(out_block_);
  std::vector<short>().swap(in_block_);
}

int CConv2MP3::Create(const char* path, CConv2FileFormat* format, tWAVEFORMATEX* source) {
  ReleaseStream();
  if (format == nullptr || !ValidateFormat(format)) return Fail(sonark::kErrConvertFormat);
  const unsigned channels = format->mode == kModeMono ? 1 : 2;
  // The encoder takes 16-bit samples only; anything else would be encoded as noise.
  if (source != nullptr &&
      (source->wFormatTag != kWaveFormatPcm || source->wBitsPerSample != 16 ||
       source->nChannels != channels || source->nSamplesPerSec != format->nSamplesPerSec)) {
    return Fail(sonark::kErrConvertFormat);
  }
  bool loadedNow = false;
  sonark::MP3EncoderEntryPoints entries;
  if (!GetEncoderDll(&entries, &loadedNow) || entries.beInitStream == nullptr ||
      entries.beEncodeChunk == nullptr || entries.beDeinitStream == nullptr ||
      entries.beCloseStream == nullptr) {
    return Fail(sonark::kErrEncoderEntryPoint);
  }
  if (!CheckExtraEntryPoints(entries, loadedNow)) return 0;
  entries_ = entries;
  version_text_[0] = '\0';
  if (entries.beVersion != nullptr) {
    BeVersionInfo info{};
    if (reinterpret_cast<BeVersionFn>(entries.beVersion)(&info) == BE_ERR_SUCCESSFUL) {
      info.encoderText[sizeof info.encoderText - 1] = '\0';
      std::snprintf(version_text_, sizeof version_text_, "%s", info.encoderText);
    }
  }

  if (!CConv2FileObj::Create(path, format, source)) return 0;
  try {
    config_.assign(kConfigSize, 0);
  } catch (const std::bad_alloc&) {
    CConv2FileObj::Close();
    return Fail(sonark::kErrOutOfMemory);
  }
  CConv2FileFormat pcm = *format;
  pcm.nChannels = static_cast<uint16_t>(channels);
  pcm.wBitsPerSample = 16;
  pcm.CalcBlockAlignNAvgBytesPerSec();
  unsigned long chunk = 0;
  unsigned long out_size = 0;
  BeStream stream = nullptr;
  if (!SetupConfig(&pcm, source) ||
      reinterpret_cast<BeInitStreamFn>(entries.beInitStream)(config_.data(), &chunk, &out_size,
                                                             &stream) != BE_ERR_SUCCESSFUL ||
      chunk == 0 || chunk % channels != 0) {
    if (stream != nullptr) reinterpret_cast<BeCloseStreamFn>(entries.beCloseStream)(stream);
    ReleaseStream();
    CConv2FileObj::Close();
    return Fail(sonark::kErrEncoderEntryPoint);
  }
  stream_ = stream;
  samples_per_chunk_ = chunk;
  // A little over one second of samples, in whole chunks.
  in_block_samples_ = ((pcm.nAvgBytesPerSec / 2) / chunk + 1) * chunk;
  in_block_bytes_ = in_block_samples_ * 2;
  try {
    in_block_.assign(in_block_samples_, 0);
    // Room for the frames of a whole block: one output buffer per chunk.
    out_block_.assign((in_block_samples_ / chunk + 1) * out_size, 0);
  } catch (const std::bad_alloc&) {
    ReleaseStream();
    CConv2FileObj::Close();
    return Fail(sonark::kErrOutOfMemory);
  }
  output_chunk_bytes_ = out_size;
  return 1;
}

long CConv2MP3::GetDesiredBufferSize() {
  return stream_ != nullptr ? static_cast<long>(in_block_bytes_) : -1;
}

bool CConv2MP3::WriteOut(unsigned long count) {
  if (count == 0) return true;
  if (Write(reinterpret_cast<const char*>(out_block_.data()), static_cast<long>(count)) ==
      static_cast<long>(count)) {
    return true;
  }
  if (platform::last_error() == 0) platform::set_last_error(sonark::kErrConvertWrite);
  return false;
}

long CConv2MP3::WriteStreamData(void* data, long length, long* written) {
  if (written != nullptr) *written = 0;
  if (stream_ == nullptr) {
    platform::set_last_error(sonark::kErrConvertNotStarted);
    return -1;
  }
  if (data == nullptr || length < 0) {
    platform::set_last_error(sonark::kErrConvertFormat);
    return -1;
  }
  auto encode = reinterpret_cast<BeEncodeChunkFn>(entries_.beEncodeChunk);
  const auto* bytes = static_cast<const unsigned char*>(data);
  // Whole sample frames only: a stereo chunk must hold pairs.
  const unsigned long frame_samples = config_channels_;
  unsigned long samples = static_cast<unsigned long>(length) / 2;
  samples -= samples % frame_samples;
  long mp3_bytes = 0;
  unsigned long done = 0;
  while (done < samples) {
    const unsigned long take = std::min(samples - done, in_block_samples_);
    // The block is cleared to silence behind a short piece. The encoder is always fed 16-bit
    // PCM, whose silence is 0 whatever the sounds' sample size (128 would be a click).
    std::memcpy(in_block_.data(), bytes + done * 2, take * 2);
    if (take < in_block_samples_) {
      std::fill(in_block_.begin() + static_cast<long>(take), in_block_.end(), short{0});
    }
    unsigned long out_used = 0;
    for (unsigned long at = 0; at < take; at += samples_per_chunk_) {
      // A short last chunk goes as it is: the encoder completes its last frame itself, so the
      // sound is not made longer.
      const unsigned long count = std::min(samples_per_chunk_, take - at);
      unsigned long got = 0;
      if (encode(static_cast<BeStream>(stream_), count, in_block_.data() + at,
                 out_block_.data() + out_used, &got) != BE_ERR_SUCCESSFUL ||
          got > output_chunk_bytes_) {
        platform::set_last_error(sonark::kErrEncoderEntryPoint);
        ReleaseStream();
        return -1;
      }
      out_used += got;
    }
    if (!WriteOut(out_used)) {
      ReleaseStream();
      return -1;
    }
    mp3_bytes += static_cast<long>(out_used);
    done += take;
  }
  if (written != nullptr) *written = static_cast<long>(done * 2);
  return mp3_bytes;
}

long CConv2MP3::EndWriteStream() { return 0; }

long CConv2MP3::FinalData(const char* path, const char* /*softwareText*/, int* ok,
                          TMusicInfo* /*info*/) {
  if (ok != nullptr) *ok = 0;
  if (stream_ == nullptr) {
    platform::set_last_error(sonark::kErrConvertNotStarted);
    return -1;
  }
  unsigned long got = 0;
  if (reinterpret_cast<BeDeinitStreamFn>(entries_.beDeinitStream)(
          static_cast<BeStream>(stream_), out_block_.data(), &got) != BE_ERR_SUCCESSFUL ||
      got > out_block_.size()) {
    platform::set_last_error(sonark::kErrEncoderEntryPoint);
    ReleaseStream();
    return -1;
  }
  const bool wrote = WriteOut(got);
  ReleaseStream();
  if (!wrote) return -1;
  if (ok != nullptr) *ok = 1;
  if (!AfterFlush(path)) return -1;
  return static_cast<long>(got);
}

int CConv2MP3::ReserveTagSpace() {
  if (tag_type_ != ttId3V2) return 0;
  if (!IsOpen()) {
    platform::set_last_error(sonark::kErrConvertNotStarted);
    return -1;
  }
  std::unique_ptr<CId3TagV2> tag(new (std::nothrow) CId3TagV2(reserved_tag_size_));
  if (tag == nullptr || tag->BlockSize() == 0) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return -1;
  }
  if (!tag->CreateInitialTagV2(this)) return -1;
  return static_cast<int>(tag->Size());
}

int CConv2MP3::WriteTag(const char* path, const char* encoderName, const char* /*text*/,
                        TMusicInfo* info, CFileObj* source) {
  if (tag_type_ != ttId3V1 && tag_type_ != ttId3V2) return 0;
  std::unique_ptr<TMusicInfo> tags(new (std::nothrow) TMusicInfo());
  if (tags == nullptr) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return -1;
  }
  if (info != nullptr) *tags = *info;
  if (tags->title[0] == '\0') CreateDefaultTagTitleString(path, tags->title, sizeof tags->title);
  if (tags->encoder[0] == '\0' && encoderName != nullptr) {
    sonark::SetMusicInfoText(tags->encoder, encoderName);
  }
  RefPtr<CFileObj> file(new (std::nothrow) CFileObj());
  if (file == nullptr) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return -1;
  }
  if (path == nullptr || !file->Open(path, 0, 1)) return -1;

  long total = 0;
  if (tag_type_ == ttId3V2) {
    std::unique_ptr<CId3TagV2> tag(new (std::nothrow) CId3TagV2(reserved_tag_size_));
    if (tag == nullptr || tag->BlockSize() == 0) {
      platform::set_last_error(sonark::kErrOutOfMemory);
      return -1;
    }
    // The reserved block: written over in place, with the frames of the source's own tag kept
    // when the information came from one.
    if (info != nullptr && info->tagType == ttId3V2 && source != nullptr &&
        !tag->Read(source, info->tagSize)) {
      tag->Init(reserved_tag_size_);
    }
    if (!tag->UpdateFromMusicInfo(tags.get()) || !tag->Write(file.get())) return -1;
    total += static_cast<long>(tag->Size());
  }

  CId3Tag v1;
  v1.FromMusicInfo(*tags);
  if (tags->comment[0] == '\0') v1.setComment(tags->encoder);
  char block[kId3V1Size];
  v1.saveTag(block);
  if (!file->Seek(0, 2) || file->Write(block, kId3V1Size) != static_cast<long>(kId3V1Size)) {
    if (platform::last_error() == 0) platform::set_last_error(tarnell::kErrWriteFailed);
    return -1;
  }
  total += static_cast<long>(kId3V1Size);
  file->Close();
  return static_cast<int>(total);
}

// ---- LAME ----

CLameConv2MP3::CLameConv2MP3() : CConv2MP3(medLame, kLameAbilities) {}

int CLameConv2MP3::CheckExtraEntryPoints(const sonark::MP3EncoderEntryPoints& entries,
                                         bool loadedNow) {
  // A library this conversion loaded must be able to complete the Xing header; one loaded
  // before is used without it, and then nothing calls the missing function.
  if (loadedNow && entries.beWriteVBRHeader == nullptr) return Fail(sonark::kErrEncoderEntryPoint);
  return 1;
}

int CLameConv2MP3::SetupConfig(CConv2FileFormat* format, tWAVEFORMATEX* /*source*/) {
  if (config_.size() < kConfigSize) return 0;
  config_channels_ = format->mode == kModeMono ? 1 : 2;
  const bool vbr = format->enableVBR != 0;
  const bool abr = vbr && format->enableABR != 0;
  FieldWriter(config_.data())
      .U32(BE_CONFIG_LAME)
      .U32(1)
      .U32(BE_CONFIG_LAME_SIZE)
      .U32(format->nSamplesPerSec)
      .U32(format->nSamplesPerSec)
      .U32(static_cast<uint32_t>(format->mode))
      .U32(vbr ? format->minBitrate : format->bitrate)
      .U32(vbr ? format->maxBitrate : 0)
      .U32(0xFFFFFFFFu)  // no preset
      .U32(static_cast<uint32_t>(format->mpegVersion))
      .U32(static_cast<uint32_t>(format->psyModel))
      .U32(static_cast<uint32_t>(format->emphasis))
      .U32(static_cast<uint32_t>(format->isPrivate))
      .U32(static_cast<uint32_t>(format->crc))
      .U32(static_cast<uint32_t>(format->copyright))
      .U32(static_cast<uint32_t>(format->original))
      .U32(vbr ? static_cast<uint32_t>(format->writeVBRHeader) : 0)
      .U32(vbr ? 1 : 0)
      .U32(static_cast<uint32_t>(format->vbrQuality))
      .U32(abr ? format->abrBitrate * 1000 : 0)
      .U32(abr   ? 4
           : vbr ? 3
                 : 0xFFFFFFFFu)
      .U32(static_cast<uint32_t>(format->noBitReservoir));
  write_vbr_header_ = vbr && format->writeVBRHeader != 0;
  return 1;
}

int CLameConv2MP3::AfterFlush(const char* path) {
  // Only a VBR stream carries a Xing frame to complete; the library leaves others alone.
  if (!write_vbr_header_ || entries_.beWriteVBRHeader == nullptr || path == nullptr) return 1;
  if (reinterpret_cast<BeWriteVBRHeaderFn>(entries_.beWriteVBRHeader)(path) != BE_ERR_SUCCESSFUL) {
    return Fail(sonark::kErrEncoderEntryPoint);
  }
  return 1;
}

// ---- BladeEnc ----

CBladeConv2MP3::CBladeConv2MP3() : CConv2MP3(medBlade, kBladeAbilities) {}

int CBladeConv2MP3::SetupConfig(CConv2FileFormat* format, tWAVEFORMATEX* /*source*/) {
  if (config_.size() < kConfigSize) return 0;
  config_channels_ = format->mode == kModeMono ? 1 : 2;
  FieldWriter(config_.data())
      .U32(BE_CONFIG_BLADE)
      .U32(format->nSamplesPerSec)
      .U8(static_cast<uint8_t>(format->mode))
      .U16(static_cast<uint16_t>(format->bitrate))
      .U32(static_cast<uint32_t>(format->isPrivate))
      .U32(static_cast<uint32_t>(format->crc))
      .U32(static_cast<uint32_t>(format->copyright))
      .U32(static_cast<uint32_t>(format->original));
  return 1;
}

SONARK_API CConv2FileObj* NewMP3Converter(int encoder) {
  if (encoder == -1) encoder = GetMP3Encoder();
  switch (encoder) {
    case medLame:
      return new (std::nothrow) CLameConv2MP3();
    case medBlade:
      return new (std::nothrow) CBladeConv2MP3();
    default:
      platform::set_last_error(sonark::kErrConverterUnavailable);
      return nullptr;
  }
}
