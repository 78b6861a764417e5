// Drivers for the two 4-bit ADPCM formats of wave files: IMA ADPCM (0x11) and Microsoft ADPCM
// (0x2). Both code each block on its own, starting from a header that holds the first samples
// and the predictor state, so a block decodes without any of the blocks before it.

#include <platform/codec_drivers.h>
#include <platform/codec_manager.h>

#include <algorithm>
#include <vector>

namespace platform::codec {

namespace {

int32_t Wide(int sample) { return static_cast<int32_t>(static_cast<uint32_t>(sample) << 16); }

int16_t Signed16(const unsigned char* p) { return static_cast<int16_t>(Le16(p)); }

constexpr int kImaStep[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr int kImaIndexStep[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

// IMA ADPCM: per channel a 4-byte header (first sample, step index, a reserved byte), then
// groups of 4 bytes per channel in turn, 8 samples each, the low nibble first.
class ImaDecoder final : public BlockDecoder {
 public:
  ImaDecoder(unsigned blockBytes, unsigned blockFrames, unsigned channels)
      : BlockDecoder(blockBytes, blockFrames, channels) {}

  void Decode(const unsigned char* block, int32_t* out) const override {
    const unsigned channels = Channels();
    for (unsigned c = 0; c < channels; ++c) {
      const unsigned char* header = block + 4 * c;
      int value = Signed16(header);
      // An index off the table is damage; starting from the smallest step keeps the block
      // playable, as sox does.
      int index = header[2] > 88 ? 0 : header[2];
      out[c] = Wide(value);
      const unsigned char* data = block + 4 * channels + 4 * c;
      for (unsigned i = 1; i < BlockFrames(); ++i) {
        const unsigned k = i - 1;  // nibble number within this channel's data
        const unsigned char byte = data[(k / 8) * 4 * channels + (k % 8) / 2];
        const int nibble = (k % 2 == 0) ? (byte & 0x0F) : (byte >> 4);
        const int step = kImaStep[index];
        int delta = step >> 3;
        if (nibble & 4) delta += step;
        if (nibble & 2) delta += step >> 1;
        if (nibble & 1) delta += step >> 2;
        value = (nibble & 8) ? std::max(value - delta, -32768) : std::min(value + delta, 32767);
        index = std::clamp(index + kImaIndexStep[nibble & 7], 0, 88);
        out[i * channels + c] = Wide(value);
      }
    }
  }
};

constexpr int kMsAdapt[16] = {230, 230, 230, 230, 307, 409, 512, 614,
                              768, 614, 512, 409, 307, 230, 230, 230};

// Microsoft ADPCM: per channel a predictor number, then per channel the initial step, the
// second sample and the first sample (in that order), then one nibble per sample, the high
// nibble first, channels in turn.
class MsDecoder final : public BlockDecoder {
 public:
  MsDecoder(unsigned blockBytes, unsigned blockFrames, unsigned channels,
            std::vector<int16_t> coefficients)
      : BlockDecoder(blockBytes, blockFrames, channels), coefficients_(std::move(coefficients)) {}

  void Decode(const unsigned char* block, int32_t* out) const override {
    const unsigned channels = Channels();
    const unsigned pairs = static_cast<unsigned>(coefficients_.size() / 2);
    int64_t coef1[2], coef2[2], step[2], sample1[2], sample2[2];
    for (unsigned c = 0; c < channels; ++c) {
      // A predictor off the table is damage; the first (plain hold) keeps the block playable,
      // as sox does.
      const unsigned predictor = block[c] < pairs ? block[c] : 0;
      coef1[c] = coefficients_[2 * predictor];
      coef2[c] = coefficients_[2 * predictor + 1];
      step[c] = Signed16(block + channels + 2 * c);
      sample1[c] = Signed16(block + 3 * channels + 2 * c);
      sample2[c] = Signed16(block + 5 * channels + 2 * c);
      out[c] = Wide(static_cast<int>(sample2[c]));
      out[channels + c] = Wide(static_cast<int>(sample1[c]));
    }
    const unsigned char* data = block + 7 * channels;
    const unsigned count = (BlockFrames() - 2) * channels;
    for (unsigned k = 0; k < count; ++k) {
      const unsigned c = k % channels;
      const int nibble = (k % 2 == 0) ? data[k / 2] >> 4 : data[k / 2] & 0x0F;
      const int64_t predicted = (sample1[c] * coef1[c] + sample2[c] * coef2[c]) >> 8;
      const int64_t value = std::clamp<int64_t>(
          (nibble >= 8 ? nibble - 16 : nibble) * step[c] + predicted, -32768, 32767);
      // 64 bits hold every sum of a 32-bit decoder; the step of a damaged block grows without
      // bound, so it stops far beyond anything a 32-bit decoder could reach.
      step[c] = std::clamp<int64_t>((kMsAdapt[nibble] * step[c]) >> 8, 16, int64_t{1} << 40);
      sample2[c] = sample1[c];
      sample1[c] = value;
      out[2 * channels + k] = Wide(static_cast<int>(value));
    }
  }

 private:
  std::vector<int16_t> coefficients_;  // pairs: first, second sample's weight × 256
};

std::unique_ptr<BlockDecoder> Refuse(uint32_t code, uint32_t* error) {
  *error = code;
  return nullptr;
}

}  // namespace

std::unique_ptr<BlockDecoder> MakeAdpcmDecoder(const tWAVEFORMATEX& format,
                                               const unsigned char* extra, uint32_t* error) {
  const unsigned channels = format.nChannels;
  const unsigned align = format.nBlockAlign;
  if (format.wBitsPerSample != 4) return Refuse(kCodecErrNoDriver, error);
  // Both formats keep the samples per block in their first extra bytes.
  if (format.cbSize < 2) return Refuse(kCodecErrBadFormat, error);
  const unsigned samplesPerBlock = Le16(extra);

  if (format.wFormatTag == kWaveFormatImaAdpcm) {
    // The data after the headers comes in 4-byte groups per channel; the block holds exactly
    // the samples it says.
    const unsigned header = 4 * channels;
    if (align <= header || (align - header) % header != 0) {
      return Refuse(kCodecErrBadFormat, error);
    }
    const unsigned frames = (align - header) / header * 8 + 1;
    if (samplesPerBlock != frames) return Refuse(kCodecErrBadFormat, error);
    return std::make_unique<ImaDecoder>(align, frames, channels);
  }

  // Microsoft ADPCM: the coefficient table follows, at least the seven standard pairs.
  if (format.cbSize < 4) return Refuse(kCodecErrBadFormat, error);
  const unsigned pairs = Le16(extra + 2);
  if (pairs < 7 || format.cbSize < 4 + 4 * pairs) return Refuse(kCodecErrBadFormat, error);
  const unsigned header = 7 * channels;
  if (align < header) return Refuse(kCodecErrBadFormat, error);
  // A block may hold fewer samples than would fit, never more.
  const unsigned most = (align - header) * 2 / channels + 2;
  if (samplesPerBlock < 2 || samplesPerBlock > most) return Refuse(kCodecErrBadFormat, error);
  // A predictor number is one byte: pairs past the 256th can never be chosen.
  std::vector<int16_t> coefficients(2 * std::min(pairs, 256u));
  for (size_t i = 0; i < coefficients.size(); ++i) coefficients[i] = Signed16(extra + 4 + 2 * i);
  return std::make_unique<MsDecoder>(align, samplesPerBlock, channels, std::move(coefficients));
}

}  // namespace platform::codec
