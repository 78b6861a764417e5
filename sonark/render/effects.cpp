#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/render/effects.h>
#include <sonark/render/sample_convert.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <numbers>

using namespace sonark::samples;

CEffect::~CEffect() = default;

CEffect* CEffect::Copy() {
  auto* copy = new (std::nothrow) CEffect(*this);
  if (copy == nullptr) platform::set_last_error(sonark::kErrOutOfMemory);
  return copy;
}

int CEffect::Work(_bufferType*, _bufferType*, int) { return 1; }

void CEffect::Flush() {}

long CEffect::LengthChange(long length) { return length; }

long CEffect::NumSamplesChanged(long samples) { return samples; }

CFilter::CFilter(int taps, int stereo) : stereo_(stereo ? 1 : 0), taps_(taps > 0 ? taps : 0) {}

CFilter::CFilter(const CFilter& other) = default;

CFilter& CFilter::operator=(const CFilter& other) = default;

CFilter::~CFilter() = default;

CEffect* CFilter::Copy() {
  try {
    return new CFilter(*this);
  } catch (const std::bad_alloc&) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return nullptr;
  }
}

void CFilter::Flush() {
  std::fill(left_history_.begin(), left_history_.end(), 0);
  std::fill(right_history_.begin(), right_history_.end(), 0);
}

int CFilter::SetCoefficients(int taps, const double* coefficients, int stereo, long) {
  if (taps <= 0 || coefficients == nullptr) return 0;
  try {
    coefficients_.assign(coefficients, coefficients + taps);
    left_history_.assign(static_cast<size_t>(taps), 0);
    if (stereo) {
      right_history_.assign(static_cast<size_t>(taps), 0);
    } else {
      right_history_.clear();
    }
  } catch (const std::bad_alloc&) {
    coefficients_.clear();
    left_history_.clear();
    right_history_.clear();
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  taps_ = taps;
  stereo_ = stereo ? 1 : 0;
  return 1;
}

namespace {

// Pushes `sample` as the newest entry and returns the filtered value, then ages the history.
int32_t FilterOne(std::vector<int32_t>& history, const std::vector<double>& coefficients,
                  int32_t sample) {
  const size_t taps = history.size();
  if (taps == 0 || coefficients.size() < taps) return 0;
  history[taps - 1] = sample;
  double sum = 0.0;
  for (size_t i = 0; i < taps; ++i) sum += history[taps - 1 - i] * coefficients[i];
  for (size_t i = 0; i + 1 < taps; ++i) history[i] = history[i + 1];
  // Saturate in floating point first: a huge sum must not overflow the integer conversion.
  if (sum >= 32767.0) return 32767;
  if (sum <= -32768.0) return -32768;
  return static_cast<int32_t>(sum);
}

void StoreSample(unsigned char* p, int bits, int32_t value) {
  if (bits == 8) {
    *p = Narrow16(value);
  } else {
    Store16(p, value);
  }
}

bool IsRenderableBits(const tWAVEFORMATEX* f) {
  return f != nullptr && (f->wBitsPerSample == 8 || f->wBitsPerSample == 16);
}

}  // namespace

int CFilter::Work(_bufferType* source, _bufferType* destination) {
  if (source == nullptr || source->data == nullptr || !IsRenderableBits(source->format)) {
    return 0;
  }
  _bufferType* target = destination != nullptr ? destination : source;
  if (target->data == nullptr) return 0;
  const tWAVEFORMATEX* out_format = target->format != nullptr ? target->format : source->format;
  if (!IsRenderableBits(out_format)) return 0;

  const int in_bits = source->format->wBitsPerSample;
  const int out_bits = out_format->wBitsPerSample;
  const uint32_t channels = stereo_ ? 2 : 1;
  const uint32_t in_frame = channels * static_cast<uint32_t>(in_bits / 8);
  const uint32_t out_frame = channels * static_cast<uint32_t>(out_bits / 8);
  uint32_t frames = source->dataSize / in_frame;
  if (frames > target->dataSize / out_frame) frames = target->dataSize / out_frame;
  // Filtering in place into a wider layout would overwrite samples not yet read.
  if (target->data == source->data && out_frame > in_frame) return 0;

  const unsigned char* in = source->data;
  unsigned char* out = target->data;
  for (uint32_t i = 0; i < frames; ++i, in += in_frame, out += out_frame) {
    const int32_t left = FilterOne(left_history_, coefficients_, LoadSample(in, in_bits));
    int32_t right = 0;
    if (stereo_)
      right = FilterOne(right_history_, coefficients_, LoadSample(in + in_bits / 8, in_bits));
    StoreSample(out, out_bits, left);
    if (stereo_) StoreSample(out + out_bits / 8, out_bits, right);
  }
  return 1;
}

CLowPass::CLowPass(int taps, int stereo, long sampleRate, double cutoffHz) : CFilter(taps, stereo) {
  UpdateFilterSettings(taps, stereo, sampleRate, cutoffHz, 2);
}

int CLowPass::UpdateFilterSettings(int taps, int stereo, long sampleRate, double cutoffHz, int) {
  if (taps <= 0 || sampleRate <= 0) return 0;
  const double pi = std::numbers::pi;
  const double omega = 2.0 * pi * cutoffHz / static_cast<double>(sampleRate);
  std::vector<double> coefficients(static_cast<size_t>(taps));
  for (int i = 0; i < taps; ++i) {
    const double n = i - taps / 2.0;
    const double window = 0.54 + 0.46 * std::cos(2.0 * pi * n / taps);
    // The sinc's limit at n = 0, reached only by an even tap count.
    const double sinc = n == 0.0 ? omega / pi : std::sin(n * omega) / (pi * n);
    coefficients[static_cast<size_t>(i)] = window * sinc;
  }
  return SetCoefficients(taps, coefficients.data(), stereo, 2);
}
