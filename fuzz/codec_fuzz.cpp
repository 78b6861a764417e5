#include <platform/codec_manager.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

// The first bytes make a wave format (tag among the driven ones or any, channels, rate, block
// align, bits, extra bytes); the rest is source data, fed in pieces of changing sizes into
// changing room. No format may crash a driver or make it read outside the record's 18 + cbSize
// bytes or the source; a stream must keep to whole blocks and to its own size answers.

namespace {

constexpr uint16_t kTags[] = {kWaveFormatPcm,        kWaveFormatAdpcm,     kWaveFormatIeeeFloat,
                              kWaveFormatAlaw,       kWaveFormatMulaw,     kWaveFormatImaAdpcm,
                              kWaveFormatExtensible, kWaveFormatMpegLayer3};
constexpr uint32_t kRates[] = {0, 8000, 44100, 48000, 88200, 96000, 192000, 768000, 800000};
constexpr size_t kPieces[] = {1, 13, 257, 4099, 65536};
constexpr size_t kRooms[] = {3, 1000, 8191, 1 << 20};

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  tWAVEFORMATEX f{};
  f.wFormatTag =
      data[0] < 0xF0 ? kTags[data[0] % 8] : static_cast<uint16_t>(data[0] << 8 | data[1]);
  f.nChannels = data[1] % 4;
  f.nSamplesPerSec = data[2] < 0xF0 ? kRates[data[2] % 9] : (data[2] << 12 | data[3] << 4);
  f.nBlockAlign = static_cast<uint16_t>(data[4] | data[5] << 8);
  f.wBitsPerSample = data[6];
  f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
  const size_t extra = std::min<size_t>(data[7], size - 8);
  f.cbSize = static_cast<uint16_t>(extra);
  // Exactly 18 + cbSize bytes, so that a read beyond them is caught.
  std::vector<unsigned char> record(sizeof f + extra);
  std::memcpy(record.data(), &f, sizeof f);
  std::memcpy(record.data() + sizeof f, data + 8, extra);
  const auto* format = reinterpret_cast<const tWAVEFORMATEX*>(record.data());
  const uint8_t* source = data + 8 + extra;
  const size_t sourceSize = size - 8 - extra;

  tWAVEFORMATEX pcm{};
  const int installed = platform::CodecDriverInstalled(format);
  if (!platform::CodecSuggestPcm(format, &pcm)) {
    Check(platform::CodecOpen(format, &pcm) == nullptr);
    return 0;
  }
  Check(installed == 1);
  Check(pcm.wFormatTag == kWaveFormatPcm && pcm.wBitsPerSample == 16 && pcm.cbSize == 0);
  Check(pcm.nChannels == f.nChannels && pcm.nChannels >= 1 && pcm.nChannels <= 2);
  Check(pcm.nSamplesPerSec >= 1 && pcm.nSamplesPerSec <= 48000);
  auto stream = platform::CodecOpen(format, &pcm);
  Check(stream != nullptr);
  const unsigned long block = stream->SourceBlock();
  const unsigned long out = stream->DestinationSize(block);
  Check(block > 0 && out > 0 && out % pcm.nBlockAlign == 0);
  Check(stream->DestinationSize(3 * block + block - 1) == 3 * out);
  Check(stream->SourceSize(out) == block && stream->SourceSize(out + 1) == 2 * block);

  std::vector<unsigned char> room(kRooms[3]);
  size_t at = 0;
  for (unsigned round = 0; at < sourceSize && round < 64; ++round) {
    const size_t piece = std::min(kPieces[round % 5], sourceSize - at);
    const size_t capacity = kRooms[(round / 5) % 4];
    // The piece is copied to a buffer of its own size, so that a read past it is caught.
    std::vector<unsigned char> bytes(source + at, source + at + piece);
    unsigned long used = 1;
    const unsigned long made =
        stream->Convert(bytes.data(), bytes.size(), &used, room.data(), capacity);
    Check(used % block == 0 && used <= piece && made <= capacity);
    Check(made == stream->DestinationSize(used));
    at += used != 0 ? used : piece;
    if (round % 7 == 6) stream->Reset();
  }
  return 0;
}
