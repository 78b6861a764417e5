#include <platform/codec_manager.h>
#include <platform/last_error.h>
#include <platform/wave_format.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/load/format_support.h>
#include <sonark/load/initial_load.h>
#include <sonark/load/wave_chunks.h>
#include <strings.h>
#include <tarnell/file_obj.h>
#include <tarnell/riff.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using sonark::Fail;
using tarnell::FourCC;

namespace {

// Formats are small; a chunk claiming more is damaged or not a format at all.
constexpr uint32_t kMaxFormatChunk = 64 * 1024;

bool HasExtension(const char* path, const char* extension) {
  const char* slash = std::strrchr(path, '/');
  const char* dot = std::strrchr(slash != nullptr ? slash : path, '.');
  return dot != nullptr && strcasecmp(dot + 1, extension) == 0;
}

int WaveSupported(const char* path, _formatSupportedInfo* info) {
  CFileObj file;
  if (!file.Open(path, 0, 0)) return 0;
  CRIFF riff;
  _chunkInfo form{};
  if (!riff.Open(&file, &form)) return 0;
  info->supported = 1;
  sonark::wave::ChunkWalker chunks(riff);
  if (!chunks.Find(FourCC("fmt "))) return Fail(sonark::kErrNoFormatChunk);
  const uint32_t size = chunks.Size();
  if (size > kMaxFormatChunk || chunks.DataOffset() + static_cast<long>(size) > file.Size()) {
    return Fail(sonark::kErrFormatChunkShort);
  }
  std::vector<unsigned char> block(std::max<size_t>(size, sizeof(tWAVEFORMATEX)), 0);
  if (!file.Seek(chunks.DataOffset(), 0) ||
      file.Read(reinterpret_cast<char*>(block.data()), static_cast<long>(size)) !=
          static_cast<long>(size)) {
    return Fail(sonark::kErrFormatChunkShort);
  }
  auto* format = reinterpret_cast<tWAVEFORMATEX*>(block.data());
  // The codec manager reads as many extra bytes as the format counts.
  format->cbSize = static_cast<uint16_t>(
      std::min<size_t>(format->cbSize, block.size() - sizeof(tWAVEFORMATEX)));
  std::memcpy(info->format, block.data(), sizeof info->format);
  info->extraSize = format->cbSize;
  info->formatChunk = _chunkInfo{FourCC("fmt "), size, 0};

  if (format->wFormatTag == kWaveFormatPcm) return 1;
  info->compressed = 1;
  if (format->wFormatTag == kWaveFormatMpegLayer3) {
    info->pcmConversionFound = 1;
    return 1;
  }
  info->codecInstalled = platform::CodecDriverInstalled(format);
  if (!info->codecInstalled) return 0;
  tWAVEFORMATEX pcm{};
  info->pcmConversionFound = platform::CodecSuggestPcm(format, &pcm);
  return info->pcmConversionFound;
}

long CdTimeMs(const uint8_t* time) {
  return static_cast<long>(time[2]) * 60000 + static_cast<long>(time[1]) * 1000 +
         static_cast<long>(time[0]) * 1000 / 75;
}

}  // namespace

SONARK_API int FileFormatSupported(const char* path, _formatSupportedInfo* info) {
  if (path == nullptr) return 0;
  if (HasMpegExtension(path)) return 1;
  _formatSupportedInfo scratch;
  _formatSupportedInfo* out = info != nullptr ? info : &scratch;
  if (HasExtension(path, "wav")) return WaveSupported(path, out);
  if (HasExtension(path, "sgp")) {
    CFileObj file;
    CRIFF riff;
    _chunkInfo form{};
    if (!file.Open(path, 0, 0) || !riff.Open(&file, &form)) return 0;
    out->session = 1;
    out->supported = 1;
    return 1;
  }
  return 0;
}

int CCDAParser::Parse(const char* path) {
  valid_ = 0;
  if (path == nullptr) return 0;
  CFileObj file;
  if (!file.Open(path, 0, 0)) return 0;
  return Parse(&file);
}

int CCDAParser::Parse(CRefObj* source) {
  valid_ = 0;
  if (source == nullptr) return 0;
  CRIFF riff;
  _chunkInfo form{};
  if (!riff.Open(source, &form) || form.type != FourCC("CDDA")) return 0;
  sonark::wave::ChunkWalker chunks(riff);
  if (!chunks.Find(FourCC("fmt ")) || chunks.Size() < sizeof(Record)) return 0;
  Record record{};
  if (!source->Seek(chunks.DataOffset(), 0) ||
      source->Read(reinterpret_cast<char*>(&record), sizeof record) != sizeof record) {
    return 0;
  }
  record_ = record;
  valid_ = 1;
  return 1;
}

long CCDAParser::TrackOffset() const { return valid_ ? CdTimeMs(record_.start) : 0; }

long CCDAParser::TrackLength() const { return valid_ ? CdTimeMs(record_.length) : 0; }

SONARK_API void* LoadLibraryWMADecoder() { return nullptr; }
