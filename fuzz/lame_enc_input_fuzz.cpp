// The MP3 encoder library is built apart from the engine, so its two readers of outside bytes
// are compiled in here from source.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <plugins/lame_enc/encoder_config.cpp>
#include <plugins/lame_enc/tag_frame.cpp>

// The input is both a configuration record and the start of a finished MP3 file. A record must
// be refused or give settings the encoder can take; the search for the Xing placeholder must
// stay inside the file and only ever point at a frame with the tag frame's header.

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lame_enc::EncoderSettings settings;
  if (lame_enc::ReadConfig(data, static_cast<unsigned long>(size), &settings) ==
      BE_ERR_SUCCESSFUL) {
    const int version = lame_enc::MpegVersionForRate(settings.outputRate);
    if (version < 0 || (settings.channels != 1 && settings.channels != 2)) std::abort();
    if (!settings.vbr && !lame_enc::IsLayer3BitRate(version, settings.bitRate)) std::abort();
  }

  // A 44.1 kHz stereo tag frame header, as libmp3lame writes it for a VBR stream.
  static const unsigned char kFrame[4] = {0xFF, 0xFB, 0x90, 0x64};
  constexpr size_t kFrameSize = 417;
  const auto read = [data, size](uint64_t at, unsigned char* out, size_t n) {
    if (at > size || n > size - at) return false;
    std::memcpy(out, data + at, n);
    return true;
  };
  uint64_t offset = 0;
  if (lame_enc::FindTagFrame(read, kFrame, kFrameSize, &offset)) {
    if (offset + kFrameSize > size || data[offset] != 0xFF || data[offset + 2] != 0x90) {
      std::abort();
    }
  }
  return 0;
}
