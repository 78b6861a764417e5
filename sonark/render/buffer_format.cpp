#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/render/buffer_format.h>
#include <sonark/render/decoder.h>
#include <sonark/render/sample_convert.h>
#include <sonark/strings.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

using namespace sonark::samples;

bool IsLinearPcmShape(const tWAVEFORMATEX* f) {
  return f != nullptr && (f->wBitsPerSample == 8 || f->wBitsPerSample == 16) &&
         (f->nChannels == 1 || f->nChannels == 2);
}

// Bytes of one frame as the samples really lie, whatever the block align field claims.
uint32_t FrameBytes(const tWAVEFORMATEX* f) { return f->nChannels * (f->wBitsPerSample / 8u); }

uint32_t ElementSize(TPrecisionType precision) {
  switch (precision) {
    case ptInt16:
      return 2;
    case ptInt32:
    case ptFloat32:
      return 4;
    case ptDouble64:
      return 8;
    default:
      return 0;
  }
}

void StoreElement(unsigned char* plane, uint32_t index, TPrecisionType precision, int32_t value,
                  double exact) {
  switch (precision) {
    case ptInt16: {
      const auto v = static_cast<int16_t>(value);
      std::memcpy(plane + index * 2u, &v, sizeof(v));
      break;
    }
    case ptInt32:
      std::memcpy(plane + index * 4u, &value, sizeof(value));
      break;
    case ptFloat32: {
      const auto v = static_cast<float>(exact);
      std::memcpy(plane + index * 4u, &v, sizeof(v));
      break;
    }
    case ptDouble64:
      std::memcpy(plane + index * 8u, &exact, sizeof(exact));
      break;
    default:
      break;
  }
}

// The value of a sample for the float layouts: 8-bit samples are re-centred in floating point.
double ExactSample(const unsigned char* p, int bits) {
  return bits == 8 ? (static_cast<double>(*p) - 128.0) * 256.0 : static_cast<double>(Load16(p));
}

// The peak scan steps over 16 bytes at a time: one vector register of samples, whose running
// maxima and minima the compiler then keeps in two registers (wider steps made it spill them
// to the stack on every step). Lane k always holds channel k % channels, as 1 or 2 divides
// the lane count, so interleaved stereo needs no shuffling.
constexpr size_t kScanStepBytes = 16;

struct ChannelMagnitudes {
  long left = 0;
  long right = 0;
};

// A plain load the compiler can widen into a vector load; only a big-endian machine needs the
// bytes put together one by one.
template <typename Sample>
Sample LoadLittleEndian(const unsigned char* p) {
  if constexpr (sizeof(Sample) == 2 && std::endian::native != std::endian::little) {
    return Load16(p);
  } else {
    Sample v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
}

// The largest magnitude, as a 16-bit value, on each channel of `count` interleaved samples
// (whole frames) of int16_t or uint8_t, whose value of no sound is `silence`. A magnitude is
// taken from the channel's largest and smallest sample, so the scan is plain max/min with no
// branch per sample; -32768 (or the 8-bit 0) comes out as 32768, as the absolute value gives.
template <typename Sample>
ChannelMagnitudes ScanMagnitudes(const unsigned char* p, size_t count, bool stereo,
                                 Sample silence) {
  constexpr size_t kLanes = kScanStepBytes / sizeof(Sample);
  Sample hi[kLanes];
  Sample lo[kLanes];
  for (size_t k = 0; k < kLanes; ++k) hi[k] = lo[k] = silence;
  size_t i = 0;
  for (; count - i >= kLanes; i += kLanes) {
    const unsigned char* step = p + i * sizeof(Sample);
    for (size_t k = 0; k < kLanes; ++k) {
      const Sample v = LoadLittleEndian<Sample>(step + k * sizeof(Sample));
      hi[k] = v > hi[k] ? v : hi[k];
      lo[k] = v < lo[k] ? v : lo[k];
    }
  }
  // The rest keeps to the same lanes, so channel k % 2 stays right.
  for (size_t k = 0; i + k < count; ++k) {
    const Sample v = LoadLittleEndian<Sample>(p + (i + k) * sizeof(Sample));
    hi[k] = v > hi[k] ? v : hi[k];
    lo[k] = v < lo[k] ? v : lo[k];
  }
  // 8-bit magnitudes are re-centred on silence and widened: |(b - 128) * 256|.
  const int32_t scale = sizeof(Sample) == 1 ? 256 : 1;
  int32_t magnitude[2] = {0, 0};
  for (size_t k = 0; k < kLanes; ++k) {
    const int32_t up = static_cast<int32_t>(hi[k]) - silence;
    const int32_t down = silence - static_cast<int32_t>(lo[k]);
    int32_t& m = magnitude[stereo ? k % 2 : 0];
    m = std::max(m, std::max(up, down) * scale);
  }
  return {magnitude[0], magnitude[1]};
}

unsigned char* AllocatePlane(uint32_t bytes) {
  // calloc(0) may give null; a plane of no frames still needs a distinct non-null pointer.
  return static_cast<unsigned char*>(std::calloc(bytes == 0 ? 1 : bytes, 1));
}

}  // namespace

SONARK_API int ValidateFormat(tWAVEFORMATEX* format, uint16_t expectedTag) {
  if (format == nullptr || format->wFormatTag != expectedTag || !IsLinearPcmShape(format) ||
      format->nSamplesPerSec == 0 || format->nSamplesPerSec > 48000) {
    return 0;
  }
  format->cbSize = 0;
  format->nBlockAlign = static_cast<uint16_t>(format->nChannels * format->wBitsPerSample / 8);
  format->nAvgBytesPerSec = format->nBlockAlign * format->nSamplesPerSec;
  return 1;
}

SONARK_API void SoundFormatToString(const tWAVEFORMATEX* format, char* out, long outSize,
                                    const char* codecName) {
  if (out == nullptr || outSize <= 0) return;
  out[0] = '\0';
  if (format == nullptr) return;
  char channels[32];
  SonarkLoadString(format->nChannels == 2 ? "FS_STEREO" : "FS_MONO", channels, sizeof(channels));
  char pattern[32];
  SonarkLoadString("FS_WAVE_FORMAT", pattern, sizeof(pattern));
  char codec[129];
  if (codecName == nullptr) {
    SonarkLoadString("FS_MS_PCM", codec, 128);
  } else {
    std::strncpy(codec, codecName, 128);
    codec[128] = '\0';
  }
  sonark::FormatFromPattern(out, static_cast<size_t>(outSize), pattern,
                            {codec, static_cast<long>(format->nSamplesPerSec / 1000),
                             static_cast<long>(format->nSamplesPerSec % 1000),
                             static_cast<long>(format->wBitsPerSample), channels});
}

SONARK_API void GetMaxSample(const unsigned char* first, const unsigned char* end,
                             const tWAVEFORMATEX* format, long& leftPeak, long& rightPeak) {
  if (first != nullptr && end != nullptr && end > first && IsLinearPcmShape(format)) {
    const int bits = format->wBitsPerSample;
    const bool stereo = format->nChannels == 2;
    // A partial frame at the end is not read.
    const size_t frames = static_cast<size_t>(end - first) / FrameBytes(format);
    const size_t samples = frames * format->nChannels;
    if (frames > 0) {
      const ChannelMagnitudes m = bits == 8 ? ScanMagnitudes<uint8_t>(first, samples, stereo, 128)
                                            : ScanMagnitudes<int16_t>(first, samples, stereo, 0);
      if (m.left > leftPeak) leftPeak = m.left;
      if (stereo && m.right > rightPeak) rightPeak = m.right;
    }
  }
  if (format != nullptr && format->nChannels != 2) rightPeak = leftPeak;
}

SONARK_API int IsPCMOrACM(CDecoder* decoder) {
  return decoder == nullptr || decoder->IsACM() ? 1 : 0;
}

SONARK_API long BlockSize(const tWAVEFORMATEX* format, CDecoder* decoder) {
  if (decoder != nullptr) return decoder->BlockSize(format);
  return format != nullptr ? format->nBlockAlign : 0;
}

SONARK_API _bufferType* CopyToNewBuffer(const tWAVEFORMATEX* format, const unsigned char* data,
                                        unsigned long length, TPrecisionType precision) {
  if (!IsLinearPcmShape(format) || format->nBlockAlign == 0 || precision < ptInterleaved ||
      precision > ptDouble64) {
    return nullptr;
  }
  const unsigned long frames = length / format->nBlockAlign;
  const uint32_t element = precision == ptInterleaved ? FrameBytes(format) : ElementSize(precision);
  if (frames > std::numeric_limits<uint32_t>::max() / element) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return nullptr;
  }
  const uint32_t plane_bytes = static_cast<uint32_t>(frames) * element;

  auto* block = static_cast<_bufferType*>(std::calloc(1, sizeof(_bufferType)));
  auto* copy = static_cast<tWAVEFORMATEX*>(std::malloc(sizeof(tWAVEFORMATEX)));
  if (block == nullptr || copy == nullptr) {
    std::free(block);
    std::free(copy);
    platform::set_last_error(sonark::kErrOutOfMemory);
    return nullptr;
  }
  std::memcpy(copy, format, sizeof(tWAVEFORMATEX));
  block->precision = precision;
  block->format = copy;
  block->numFrames = static_cast<uint32_t>(frames);
  block->dataSize = plane_bytes;
  block->data = AllocatePlane(plane_bytes);
  const bool split_stereo = precision != ptInterleaved && format->nChannels == 2;
  if (split_stereo) block->data2 = AllocatePlane(plane_bytes);
  if (block->data == nullptr || (split_stereo && block->data2 == nullptr)) {
    DeleteBufferFormat(block);
    DeleteBufferPtr(block);
    platform::set_last_error(sonark::kErrOutOfMemory);
    return nullptr;
  }
  if (precision != ptInterleaved) {
    copy->wBitsPerSample = static_cast<uint16_t>(precision == ptInt16 ? 16 : element * 8);
    copy->nBlockAlign = static_cast<uint16_t>(element);
    copy->nAvgBytesPerSec = copy->wBitsPerSample * copy->nChannels * copy->nSamplesPerSec / 8;
  }

  _bufferType source{};
  source.precision = ptInterleaved;
  source.format = const_cast<tWAVEFORMATEX*>(format);
  source.dataSize = source.bytesFilled = static_cast<uint32_t>(
      length < std::numeric_limits<uint32_t>::max() ? length
                                                    : std::numeric_limits<uint32_t>::max());
  source.numFrames = block->numFrames;
  source.data = const_cast<unsigned char*>(data);
  CopyBufferData(&source, block);
  if (precision == ptInterleaved) block->bytesFilled = data != nullptr ? plane_bytes : 0;
  return block;
}

SONARK_API _bufferType* CopyToNewBuffer(const _bufferType* block, TPrecisionType precision) {
  if (block == nullptr) return nullptr;
  return CopyToNewBuffer(block->format, block->data, block->dataSize, precision);
}

SONARK_API _bufferType* CopyToNewBuffer(const _bufferType* block) {
  if (block == nullptr) return nullptr;
  auto* copy = static_cast<_bufferType*>(std::calloc(1, sizeof(_bufferType)));
  if (copy == nullptr) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return nullptr;
  }
  *copy = *block;
  copy->data = copy->data2 = nullptr;
  bool ok = true;
  if (block->data != nullptr) {
    copy->data = AllocatePlane(block->dataSize);
    if (copy->data != nullptr) std::memcpy(copy->data, block->data, block->dataSize);
    ok = copy->data != nullptr;
  }
  if (ok && block->data2 != nullptr) {
    copy->data2 = AllocatePlane(block->dataSize);
    if (copy->data2 != nullptr) std::memcpy(copy->data2, block->data2, block->dataSize);
    ok = copy->data2 != nullptr;
  }
  if (!ok) {
    DeleteBufferPtr(copy);
    platform::set_last_error(sonark::kErrOutOfMemory);
  }
  return copy;
}

SONARK_API int CopyBufferData(const _bufferType* source, _bufferType* destination) {
  if (source == nullptr || destination == nullptr || source->precision != ptInterleaved ||
      !IsLinearPcmShape(source->format) || destination->data == nullptr) {
    return 0;
  }
  const tWAVEFORMATEX* in = source->format;
  const int in_bits = in->wBitsPerSample;
  const uint32_t in_frame = FrameBytes(in);
  const uint32_t channels = in->nChannels;
  uint32_t frames = source->numFrames;
  if (source->data != nullptr) {
    const uint32_t available = source->dataSize / in_frame;
    if (frames > available) frames = available;
  }

  if (destination->precision == ptInterleaved) {
    if (!IsLinearPcmShape(destination->format)) return 0;
    const int out_bits = destination->format->wBitsPerSample;
    const uint32_t out_frame = channels * static_cast<uint32_t>(out_bits / 8);
    if (frames > destination->dataSize / out_frame) frames = destination->dataSize / out_frame;
    unsigned char* out = destination->data;
    if (source->data == nullptr) {
      std::memset(out, SilenceByte(out_bits), static_cast<size_t>(frames) * out_frame);
      return 1;
    }
    const unsigned char* p = source->data;
    if (in_bits == out_bits) {
      std::memcpy(out, p, static_cast<size_t>(frames) * out_frame);
      return 1;
    }
    for (uint32_t i = 0; i < frames * channels; ++i) {
      if (out_bits == 16) {
        Store16(out + i * 2u, Widen8(p[i]));
      } else {
        out[i] = Narrow16(Load16(p + i * 2u));
      }
    }
    return 1;
  }

  const TPrecisionType precision = destination->precision;
  const uint32_t element = ElementSize(precision);
  if (element == 0) return 0;
  const bool stereo = channels == 2 && destination->data2 != nullptr;
  if (frames > destination->dataSize / element) frames = destination->dataSize / element;
  if (source->data == nullptr) {
    std::memset(destination->data, 0, static_cast<size_t>(frames) * element);
    if (stereo) std::memset(destination->data2, 0, static_cast<size_t>(frames) * element);
    destination->bytesFilled = 0;
    return 1;
  }
  const uint32_t right_offset = static_cast<uint32_t>(in_bits / 8);
  const unsigned char* p = source->data;
  for (uint32_t i = 0; i < frames; ++i, p += in_frame) {
    StoreElement(destination->data, i, precision, LoadSample(p, in_bits), ExactSample(p, in_bits));
    if (stereo) {
      const unsigned char* r = p + right_offset;
      StoreElement(destination->data2, i, precision, LoadSample(r, in_bits),
                   ExactSample(r, in_bits));
    }
  }
  destination->bytesFilled = frames * element;
  return 1;
}

SONARK_API void DeleteStaticBuffer(_bufferType* block) {
  if (block == nullptr) return;
  std::free(block->data);
  std::free(block->data2);
  block->data = block->data2 = nullptr;
}

SONARK_API void DeleteBufferPtr(_bufferType*& block) {
  if (block == nullptr) return;
  DeleteStaticBuffer(block);
  std::free(block);
  block = nullptr;
}

SONARK_API void DeleteBufferFormat(_bufferType* block) {
  if (block == nullptr) return;
  std::free(block->format);
  block->format = nullptr;
}
