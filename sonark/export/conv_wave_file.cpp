#include <platform/byte_order.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_wave_file.h>
#include <sonark/load/music_info.h>
#include <sonark/render/buffer_format.h>
#include <sonark/render/sample_convert.h>
#include <sonark/strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using platform::PutLe32;
using tarnell::FourCC;

std::atomic<int> g_cd_block_align{0};

// Text sub-chunks carry their terminator and are padded to an even size, with room to spare.
long TextChunkSize(long length) { return ((length + 1) & ~1L) + 2; }

}  // namespace

SONARK_API void SetWaveCDBlockAlign(int flag) { g_cd_block_align.store(flag); }

SONARK_API int GetWaveCDBlockAlign() { return g_cd_block_align.load(); }

CConv2WaveFile::CConv2WaveFile() {
  SetConversionType(fctWave);
  SetFormatType(kWaveFormatPcm);
  SetDefaultExt("wav");
}

CConv2WaveFile::~CConv2WaveFile() {
  // An owner that drops the converter early still leaves a file whose sizes add up.
  if (data_open_) EndWriteStream();
  ReleaseFile();
}

void CConv2WaveFile::Close() {
  if (data_open_) EndWriteStream();
  ReleaseFile();
  CConv2FileObj::Close();
}

void CConv2WaveFile::ReleaseFile() {
  riff_open_ = false;
  data_open_ = false;
  riff_.Close();
  if (file_ != nullptr) file_->Close();
  file_.reset();
}

int CConv2WaveFile::Create(const char* path, CConv2FileFormat* format, tWAVEFORMATEX* /*source*/) {
  tWAVEFORMATEX wave{};
  if (format != nullptr) format->MakeIntoWaveFormatEx(&wave);
  // Block align and byte rate are recomputed: a stale record must not give a wrong header.
  if (format == nullptr || !::ValidateFormat(&wave, kWaveFormatPcm)) {
    platform::set_last_error(sonark::kErrConvertFormat);
    return 0;
  }
  // A converter created again lets go of its earlier output first.
  ReleaseFile();
  silence_ = sonark::samples::SilenceByte(wave.wBitsPerSample);
  streaming_ = false;
  struct stat target {};
  if (path != nullptr && ::stat(path, &target) == 0 && !S_ISREG(target.st_mode) &&
      !S_ISDIR(target.st_mode)) {
    return StartStream(path, wave);
  }
  file_.reset(new CFileObj());
  if (!file_->Create(path)) {
    file_.reset();
    return 0;
  }
  riff_open_ = riff_.Create(file_.get(), FourCC("WAVE")) != 0;
  if (!riff_open_ || !riff_.WriteSubChunk(FourCC("fmt "), &wave, static_cast<long>(sizeof(wave))) ||
      !riff_.StartWriteStream(FourCC("data"))) {
    const uint32_t code = platform::last_error();
    Close();
    platform::set_last_error(code);
    return 0;
  }
  data_open_ = true;
  return 1;
}

int CConv2WaveFile::StartStream(const char* path, const tWAVEFORMATEX& wave) {
  file_.reset(new CFileObj());
  if (!file_->CreateWriteOnly(path)) {
    file_.reset();
    return 0;
  }
  streaming_ = true;
  constexpr uint32_t kUnknownSize = 0xFFFFFFFF;
  unsigned char header[kStreamHeaderBytes];
  std::memcpy(header, "RIFF", 4);
  PutLe32(header + 4, kUnknownSize);
  std::memcpy(header + 8, "WAVEfmt ", 8);
  PutLe32(header + 16, sizeof(wave));
  std::memcpy(header + 20, &wave, sizeof(wave));
  std::memcpy(header + 20 + sizeof(wave), "data", 4);
  PutLe32(header + 24 + sizeof(wave), kUnknownSize);
  if (file_->Write(reinterpret_cast<const char*>(header), kStreamHeaderBytes) !=
      kStreamHeaderBytes) {
    platform::set_last_error(sonark::kErrConvertWrite);
    Close();
    return 0;
  }
  data_open_ = true;
  return 1;
}

int CConv2WaveFile::AppendData(const void* data, long count) {
  if (streaming_) return file_->Write(static_cast<const char*>(data), count) == count;
  return riff_.WriteStreamData(const_cast<void*>(data), count) == count;
}

long CConv2WaveFile::WriteStreamData(void* data, long length, long* written) {
  if (written != nullptr) *written = 0;
  if (!data_open_) {
    platform::set_last_error(sonark::kErrConvertNotStarted);
    return -1;
  }
  if (length == 0) return 0;
  if (length < 0 || data == nullptr || !AppendData(data, length)) {
    platform::set_last_error(sonark::kErrConvertWrite);
    return -1;
  }
  if (written != nullptr) *written = length;
  return length;
}

int CConv2WaveFile::AppendSilence(long count) {
  if (count <= 0) return 1;
  std::vector<unsigned char> block(static_cast<size_t>(std::min(count, 65536L)), silence_);
  while (count > 0) {
    const long part = std::min(count, static_cast<long>(block.size()));
    if (!AppendData(block.data(), part)) return 0;
    count -= part;
  }
  return 1;
}

long CConv2WaveFile::EndWriteStream() {
  if (!data_open_) {
    platform::set_last_error(sonark::kErrConvertNotStarted);
    return -1;
  }
  const long count =
      streaming_ ? file_->Size() - kStreamHeaderBytes : riff_.CurrentStreamDataCount();
  long padding = 0;
  if (g_cd_block_align.load() != 0) {
    padding = (kCdSectorBytes - count % kCdSectorBytes) % kCdSectorBytes;
  } else if (count % 2 != 0 && !streaming_) {
    padding = 1;
  }
  const int padded = AppendSilence(padding);
  data_open_ = false;
  const int ended = streaming_ ? 1 : riff_.EndWriteStream();
  if (!padded || !ended) {
    platform::set_last_error(sonark::kErrConvertWrite);
    return -1;
  }
  return padding;
}

int CConv2WaveFile::WriteTextChunk(unsigned long id, const char* text, long fieldSize,
                                   long* listBytes) {
  const long length = static_cast<long>(strnlen(text, static_cast<size_t>(fieldSize)));
  // Built apart from the field: the padded size may run past the end of a full field.
  std::vector<char> chunk(static_cast<size_t>(TextChunkSize(length)), '\0');
  std::memcpy(chunk.data(), text, static_cast<size_t>(length));
  const long size = static_cast<long>(chunk.size());
  if (!riff_.WriteSubChunk(id, chunk.data(), size)) return 0;
  *listBytes += 8 + size;
  return 1;
}

long CConv2WaveFile::FinalData(const char* /*text*/, const char* softwareText, int* ok,
                               TMusicInfo* info) {
  if (ok != nullptr) *ok = 0;
  if (streaming_) {
    if (ok != nullptr) *ok = 1;
    return 0;
  }
  if (!riff_open_) {
    platform::set_last_error(sonark::kErrConvertNotStarted);
    return 0;
  }
  const int started = riff_.WriteListChunkHeader(FourCC("INFO")) && riff_.Descend();
  if (ok != nullptr) *ok = started;
  if (!started) return 0;

  const TMusicInfo empty;
  const TMusicInfo& music = info != nullptr ? *info : empty;
  constexpr long kField = TMusicInfo::kTextSize;
  long bytes = 4;  // the list type
  bool failed = false;
  auto text_chunk = [&](uint32_t id, const char* value, long fieldSize) {
    if (!failed && value[0] != '\0' && !WriteTextChunk(id, value, fieldSize, &bytes)) {
      failed = true;
    }
  };
  text_chunk(FourCC("ICMT"), music.comment, kField);
  text_chunk(FourCC("ICOP"), music.copyright, kField);
  text_chunk(FourCC("IART"), music.artist, kField);
  text_chunk(FourCC("IENG"), music.encoder, kField);
  text_chunk(FourCC("INAM"), music.title, kField);

  // A genre the genre table knows is written by number, as ID3 tags do; the caller's record
  // keeps its text.
  char genre[TMusicInfo::kTextSize];
  std::memcpy(genre, music.genre, sizeof(genre));
  genre[sizeof(genre) - 1] = '\0';
  if (music.genreIndex < TMusicInfo::kNoGenre) {
    char name[257];
    char unknown[257];
    SonarkLoadString(sonark::Id3GenreKey(music.genreIndex), name, sizeof(name));
    SonarkLoadString("ID3_not_supported", unknown, sizeof(unknown));
    if (std::strcmp(name, unknown) != 0) {
      std::snprintf(genre, sizeof(genre), "(%d)", music.genreIndex);
    }
  }
  text_chunk(FourCC("IGNR"), genre, kField);

  if (!failed && music.year >= 1000 && music.year <= 3000) {
    char year[6] = {};
    std::snprintf(year, sizeof(year), "%ld", music.year);
    if (riff_.WriteSubChunk(FourCC("ICRD"), year, sizeof(year))) {
      bytes += 8 + static_cast<long>(sizeof(year));
    } else {
      failed = true;
    }
  }

  text_chunk(FourCC("IALB"), music.album, kField);

  if (music.track >= 1 && music.track <= 99) {
    char track[16];
    if (music.totalTracks >= 1 && music.totalTracks <= 99) {
      std::snprintf(track, sizeof(track), "%d/%d", music.track, music.totalTracks);
    } else {
      std::snprintf(track, sizeof(track), "%d", music.track);
    }
    text_chunk(FourCC("ITRK"), track, sizeof(track));
  }

  // Only the identifier's own bytes are taken, whatever length the record claims.
  const long cd_length =
      std::clamp(music.cdIdentifierLength, 0L, static_cast<long>(TMusicInfo::kCdIdentifierSize));
  if (!failed && cd_length != 0) {
    std::vector<unsigned char> chunk(static_cast<size_t>(4 + ((cd_length + 2 + 1) & ~1L)), 0);
    PutLe32(chunk.data(), static_cast<uint32_t>(cd_length));
    std::memcpy(chunk.data() + 4, music.cdIdentifier, static_cast<size_t>(cd_length));
    const long size = static_cast<long>(chunk.size());
    if (!riff_.StartWriteStream(FourCC("IMCD")) ||
        riff_.WriteStreamData(chunk.data(), size) != size || !riff_.EndWriteStream()) {
      failed = true;
    } else {
      bytes += 8 + size;
    }
  }

  if (!failed && !WriteTextChunk(FourCC("ISFT"), softwareText != nullptr ? softwareText : "",
                                 kField, &bytes)) {
    failed = true;
  }
  if (!riff_.Ascend()) failed = true;
  if (failed) {
    if (platform::last_error() == 0) platform::set_last_error(sonark::kErrConvertWrite);
    return -1;
  }
  return bytes;
}

void CConv2WaveFile::GetFormatFromPreset(CConv2FileFormat* format, long preset,
                                         _tTagTypedef tagType, _tSoundQualityTypedef quality) {
  if (format == nullptr) return;
  CConv2FileObj::GetFormatFromPreset(format, preset, tagType, quality);
  format->nSamplesPerSec = 44100;
  format->nChannels = 2;
  format->wBitsPerSample = 16;
  format->CalcBlockAlignNAvgBytesPerSec();
}

void CConv2WaveFile::GetTargetFormatStr(char* text, long size, CConv2FileFormat* format) {
  if (text == nullptr || size <= 0) return;
  text[0] = '\0';
  if (format == nullptr) return;
  tWAVEFORMATEX wave{};
  format->MakeIntoWaveFormatEx(&wave);
  SoundFormatToString(&wave, text, size, nullptr);
}

long CConv2WaveFile::GetDesiredBufferSize() { return -1; }

double CConv2WaveFile::GetBytesToWrite(CConv2FileFormat* format, tWAVEFORMATEX* wave,
                                       double lengthMs) {
  if (lengthMs < 0) lengthMs = static_cast<double>(std::max(sound_length_ms_, 0L));
  CConv2FileFormat target(kWaveFormatPcm);
  GetTargetFormat(&target, format, wave, nullptr, nullptr);
  target.CalcBlockAlignNAvgBytesPerSec();
  return lengthMs / 1000.0 * target.nAvgBytesPerSec;
}

void CConv2WaveFile::MakeMostNaturalFormatCallback(CConv2FileFormat* format,
                                                   tWAVEFORMATEX* /*wave*/,
                                                   ACMObject* /*decoder*/) {
  if (format == nullptr) return;
  if (format->nSamplesPerSec >= 32000) {
    format->nSamplesPerSec = 44100;
  } else if (format->nSamplesPerSec < 16000) {
    format->nSamplesPerSec = 11025;
  } else {
    format->nSamplesPerSec = 22050;
  }
  format->CalcBlockAlignNAvgBytesPerSec();
}

void CConv2WaveFile::UserMaximumsCallback(CConv2FileFormat* format,
                                          CConv2FileFormat* /*maximums*/) {
  MakeMostNaturalFormatCallback(format, nullptr, nullptr);
}

bool CConv2WaveFile::ValidateFormat(CConv2FileFormat* format) {
  if (format == nullptr || format->wFormatTag != kWaveFormatPcm) return false;
  const uint32_t rate = format->nSamplesPerSec;
  if (rate != 11025 && rate != 22050 && rate != 44100) return false;
  return format->ValidateSoundQuality() && format->cbSize == CConv2FileFormat::kFormatMarker &&
         format->Validate();
}
