#include <sonark/render/resample.h>
#include <sonark/render/sample_convert.h>

#include <cstdint>

namespace {

using namespace sonark::samples;

constexpr int64_t kUnit = int64_t{1} << 27;

bool IsRenderable(const tWAVEFORMATEX* f) {
  return f != nullptr && (f->wBitsPerSample == 8 || f->wBitsPerSample == 16) &&
         (f->nChannels == 1 || f->nChannels == 2) && f->nSamplesPerSec > 0;
}

}  // namespace

SONARK_API long ResampleAddPCM(const unsigned char* source, long sourceBytes,
                               const tWAVEFORMATEX* sourceFormat, unsigned char* destination,
                               long destinationBytes, const tWAVEFORMATEX* destinationFormat) {
  if (source == nullptr || destination == nullptr || !IsRenderable(sourceFormat) ||
      !IsRenderable(destinationFormat) || sourceBytes <= 0 || destinationBytes <= 0) {
    return 0;
  }
  const int in_bits = sourceFormat->wBitsPerSample;
  const int out_bits = destinationFormat->wBitsPerSample;
  const long in_sample = in_bits / 8;
  const long out_sample = out_bits / 8;
  const bool in_stereo = sourceFormat->nChannels == 2;
  const bool out_stereo = destinationFormat->nChannels == 2;
  const long in_frame = in_sample * sourceFormat->nChannels;
  const long out_frame = out_sample * destinationFormat->nChannels;
  const long in_frames = sourceBytes / in_frame;

  const auto step =
      static_cast<int64_t>(static_cast<double>(sourceFormat->nSamplesPerSec) *
                           static_cast<double>(kUnit) / destinationFormat->nSamplesPerSec);
  int64_t position = kUnit;
  int32_t previous_left = 0;
  int32_t previous_right = 0;
  long cursor = 0;  // source frame index
  long written = 0;

  while (destinationBytes - written >= out_frame) {
    position += step;
    if (position > kUnit) {
      const int64_t advance = (position - 1) >> 27;
      position -= advance * kUnit;
      // Only the last frame passed over matters; never read beyond the source.
      const int64_t last = cursor + advance - 1;
      if (last < in_frames) {
        const unsigned char* p = source + last * in_frame;
        previous_left = LoadSample(p, in_bits);
        if (in_stereo) previous_right = LoadSample(p + in_sample, in_bits);
      }
      cursor = last + 1 < in_frames ? static_cast<long>(last + 1) : in_frames;
    }
    if (cursor >= in_frames) break;

    const unsigned char* p = source + cursor * in_frame;
    const int32_t current_left = LoadSample(p, in_bits);
    // 64-bit product: a full-scale difference times a whole unit needs 44 bits.
    const auto left = static_cast<int32_t>(
        previous_left + ((static_cast<int64_t>(current_left - previous_left) * position) >> 27));
    int32_t right = left;
    if (in_stereo) {
      const int32_t current_right = LoadSample(p + in_sample, in_bits);
      right = static_cast<int32_t>(
          previous_right +
          ((static_cast<int64_t>(current_right - previous_right) * position) >> 27));
    }

    unsigned char* out = destination + written;
    if (out_stereo) {
      AddSaturated(out, out_bits, left);
      AddSaturated(out + out_sample, out_bits, right);
    } else {
      AddSaturated(out, out_bits, in_stereo ? left + right : left);
    }
    written += out_frame;
  }
  return written;
}
