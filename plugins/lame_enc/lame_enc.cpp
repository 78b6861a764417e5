#include <fcntl.h>
#include <lame/lame.h>
#include <plugins/lame_enc/encoder_config.h>
#include <plugins/lame_enc/lame_enc_api.h>
#include <plugins/lame_enc/tag_frame.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <vector>

struct LameEncStream {
  lame_global_flags* lame = nullptr;
  int channels = 2;
  unsigned long samplesPerChunk = 0;
  unsigned long outputSize = 0;
  bool xing = false;
};

namespace {

constexpr unsigned long kSamplesPerChannel = 1152;

// Streams handed out and not yet closed, so a stale or foreign handle is refused instead of
// being dereferenced; and the tag frame of the stream last flushed, which beWriteVBRHeader
// writes once the engine has closed the stream and the file.
std::mutex g_lock;
std::set<LameEncStream*> g_streams;
std::vector<unsigned char> g_lastTagFrame;

bool Live(LameEncStream* stream) {
  std::lock_guard<std::mutex> hold(g_lock);
  return stream != nullptr && g_streams.count(stream) != 0;
}

MPEG_mode LameMode(int mode) {
  switch (mode) {
    case BE_MODE_JOINT_STEREO:
      return JOINT_STEREO;
    case BE_MODE_DUAL_CHANNEL:
      return DUAL_CHANNEL;
    case BE_MODE_MONO:
      return MONO;
    default:
      return STEREO;
  }
}

vbr_mode LameVbr(int method) {
  switch (method) {
    case 1:
      return vbr_rh;
    case 4:
      return vbr_abr;
    default:
      return vbr_mtrh;  // 0 (the default), 2 and 3 are the same method in libmp3lame
  }
}

bool Configure(lame_global_flags* lame, const lame_enc::EncoderSettings& s) {
  bool ok =
      lame_set_in_samplerate(lame, static_cast<int>(s.inputRate)) == 0 &&
      lame_set_out_samplerate(lame, static_cast<int>(s.outputRate)) == 0 &&
      lame_set_num_channels(lame, s.channels) == 0 && lame_set_mode(lame, LameMode(s.mode)) == 0 &&
      lame_set_quality(lame, 3) == 0 && lame_set_error_protection(lame, s.crc) == 0 &&
      lame_set_copyright(lame, s.copyright) == 0 && lame_set_original(lame, s.original) == 0 &&
      lame_set_extension(lame, s.privateBit) == 0 && lame_set_emphasis(lame, s.emphasis) == 0 &&
      lame_set_disable_reservoir(lame, s.noReservoir) == 0 &&
      lame_set_bWriteVbrTag(lame, s.xingHeader) == 0;
  // Tags are the engine's to write, around the audio.
  lame_set_write_id3tag_automatic(lame, 0);
  if (!s.vbr) {
    return ok && lame_set_VBR(lame, vbr_off) == 0 &&
           lame_set_brate(lame, static_cast<int>(s.bitRate)) == 0;
  }
  ok = ok && lame_set_VBR(lame, LameVbr(s.vbrMethod)) == 0 &&
       lame_set_VBR_q(lame, s.vbrQuality) == 0;
  if (s.abr) ok = ok && lame_set_VBR_mean_bitrate_kbps(lame, static_cast<int>(s.meanBitRate)) == 0;
  if (s.bitRate != 0) {
    ok = ok && lame_set_VBR_min_bitrate_kbps(lame, static_cast<int>(s.bitRate)) == 0;
  }
  if (s.maxBitRate != 0) {
    ok = ok && lame_set_VBR_max_bitrate_kbps(lame, static_cast<int>(s.maxBitRate)) == 0;
  }
  return ok;
}

bool ReadFully(int fd, uint64_t offset, unsigned char* out, size_t n) {
  while (n > 0) {
    const ssize_t got = ::pread(fd, out, n, static_cast<off_t>(offset));
    if (got <= 0) return false;
    out += got;
    offset += static_cast<uint64_t>(got);
    n -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

extern "C" {

BeResult beInitStream(void* config, unsigned long* samplesPerChunk, unsigned long* outputBufferSize,
                      BeStream* stream) {
  if (config == nullptr || samplesPerChunk == nullptr || outputBufferSize == nullptr ||
      stream == nullptr) {
    return BE_ERR_INVALID_HANDLE;
  }
  const auto* record = static_cast<const unsigned char*>(config);
  // The record carries no length of its own: read no further than its kind allows.
  const unsigned long size = record[0] == 0 && record[1] == 0 && record[2] == 0 && record[3] == 0
                                 ? BE_CONFIG_BLADE_SIZE
                                 : BE_CONFIG_LAME_SIZE;
  lame_enc::EncoderSettings settings;
  const BeResult read = lame_enc::ReadConfig(record, size, &settings);
  if (read != BE_ERR_SUCCESSFUL) return read;

  auto* s = new (std::nothrow) LameEncStream;
  if (s == nullptr) return BE_ERR_NO_MORE_HANDLES;
  s->lame = lame_init();
  if (s->lame == nullptr) {
    delete s;
    return BE_ERR_NO_MORE_HANDLES;
  }
  if (!Configure(s->lame, settings) || lame_init_params(s->lame) < 0) {
    lame_close(s->lame);
    delete s;
    return BE_ERR_INVALID_FORMAT_PARAMETERS;
  }
  s->channels = settings.channels;
  s->xing = settings.xingHeader;
  s->samplesPerChunk = kSamplesPerChannel * static_cast<unsigned long>(s->channels);
  // libmp3lame's worst case for n samples a channel is 1.25 n + 7200 bytes; sizing by all the
  // samples of a chunk leaves room to spare, and the flush needs no more than 7200.
  s->outputSize = s->samplesPerChunk * 5 / 4 + 7200;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    try {
      g_streams.insert(s);
    } catch (...) {
      lame_close(s->lame);
      delete s;
      return BE_ERR_NO_MORE_HANDLES;
    }
  }
  *samplesPerChunk = s->samplesPerChunk;
  *outputBufferSize = s->outputSize;
  *stream = s;
  return BE_ERR_SUCCESSFUL;
}

BeResult beEncodeChunk(BeStream stream, unsigned long samples, const short* pcm, unsigned char* out,
                       unsigned long* outBytes) {
  if (!Live(stream) || out == nullptr || outBytes == nullptr || (samples > 0 && pcm == nullptr)) {
    return BE_ERR_INVALID_HANDLE;
  }
  *outBytes = 0;
  if (samples > stream->samplesPerChunk || samples % static_cast<unsigned long>(stream->channels)) {
    return BE_ERR_BUFFER_TOO_SMALL;
  }
  if (samples == 0) return BE_ERR_SUCCESSFUL;
  const int frames = static_cast<int>(samples / static_cast<unsigned long>(stream->channels));
  const int room = static_cast<int>(stream->outputSize);
  const int written =
      stream->channels == 2
          ? lame_encode_buffer_interleaved(stream->lame, const_cast<short*>(pcm), frames, out, room)
          : lame_encode_buffer(stream->lame, pcm, pcm, frames, out, room);
  if (written < 0) return BE_ERR_ENCODE_FAILED;
  *outBytes = static_cast<unsigned long>(written);
  return BE_ERR_SUCCESSFUL;
}

BeResult beDeinitStream(BeStream stream, unsigned char* out, unsigned long* outBytes) {
  if (!Live(stream) || out == nullptr || outBytes == nullptr) return BE_ERR_INVALID_HANDLE;
  *outBytes = 0;
  const int written = lame_encode_flush(stream->lame, out, static_cast<int>(stream->outputSize));
  if (written < 0) return BE_ERR_ENCODE_FAILED;
  *outBytes = static_cast<unsigned long>(written);

  // The tag frame is final once the last frames are out. A stream without one still replaces
  // the kept frame, so a later beWriteVBRHeader never writes another stream's frame into it.
  std::vector<unsigned char> frame;
  if (stream->xing) {
    unsigned char probe[1];
    const size_t needed = lame_get_lametag_frame(stream->lame, probe, 0);
    if (needed > 0) {
      try {
        frame.resize(needed);
      } catch (...) {
        return BE_ERR_NO_MORE_HANDLES;
      }
      frame.resize(lame_get_lametag_frame(stream->lame, frame.data(), frame.size()));
    }
  }
  std::lock_guard<std::mutex> hold(g_lock);
  g_lastTagFrame.swap(frame);
  return BE_ERR_SUCCESSFUL;
}

BeResult beCloseStream(BeStream stream) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (stream == nullptr || g_streams.erase(stream) == 0) return BE_ERR_INVALID_HANDLE;
  }
  lame_close(stream->lame);
  delete stream;
  return BE_ERR_SUCCESSFUL;
}

BeResult beVersion(BeVersionInfo* version) {
  if (version == nullptr) return BE_ERR_INVALID_HANDLE;
  std::memset(version, 0, sizeof *version);
  version->libraryMajor = 1;
  version->libraryMinor = 0;
  lame_version_t lame{};
  get_lame_version_numerical(&lame);
  version->encoderMajor = static_cast<uint8_t>(lame.major);
  version->encoderMinor = static_cast<uint8_t>(lame.minor);
  version->encoderAlpha = static_cast<uint8_t>(lame.alpha);
  version->encoderBeta = static_cast<uint8_t>(lame.beta);
  std::snprintf(version->encoderText, sizeof version->encoderText, "LAME %s",
                get_lame_short_version());
  std::snprintf(version->homepage, sizeof version->homepage, "%s", get_lame_url());
  return BE_ERR_SUCCESSFUL;
}

BeResult beWriteVBRHeader(const char* path) {
  if (path == nullptr) return BE_ERR_INVALID_HANDLE;
  std::vector<unsigned char> frame;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    try {
      frame = g_lastTagFrame;
    } catch (...) {
      return BE_ERR_NO_MORE_HANDLES;
    }
  }
  if (frame.empty()) return BE_ERR_SUCCESSFUL;  // nothing was reserved at the start
  const int fd = ::open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return BE_ERR_FILE;
  uint64_t offset = 0;
  const bool found = lame_enc::FindTagFrame(
      [fd](uint64_t at, unsigned char* out, size_t n) { return ReadFully(fd, at, out, n); },
      frame.data(), frame.size(), &offset);
  BeResult result = found ? BE_ERR_SUCCESSFUL : BE_ERR_NO_FRAME;
  const unsigned char* p = frame.data();
  size_t left = frame.size();
  while (found && left > 0) {
    const ssize_t put = ::pwrite(fd, p, left, static_cast<off_t>(offset));
    if (put <= 0) {
      result = BE_ERR_FILE;
      break;
    }
    p += put;
    offset += static_cast<uint64_t>(put);
    left -= static_cast<size_t>(put);
  }
  if (::close(fd) != 0 && result == BE_ERR_SUCCESSFUL) result = BE_ERR_FILE;
  return result;
}

}  // extern "C"
