// Rates above 48 kHz come down by a whole factor: a linear-phase low-pass FIR (windowed sinc,
// Kaiser window) removes what would alias, then every factor-th filtered sample is kept.

#include <platform/codec_drivers.h>

#include <algorithm>
#include <cmath>

namespace platform::codec {

namespace {

constexpr uint32_t kHighestRate = 48000;

// Design, relative to the output rate: flat to 0.44 of it (21.1 kHz at 48 kHz, 19.4 kHz at
// 44.1 kHz), 75 dB down at its Nyquist frequency and 80 dB beyond, so that what folds back
// stays near the 16-bit floor. A Kaiser window of beta 7.86 reaches 80 dB; the transition of 0.06
// output rates then needs about 84 taps per unit of factor. The group delay is half the taps:
// 44 output frames (0.9 ms at 48 kHz).
constexpr double kPassEdge = 0.44;
constexpr double kStopEdge = 0.5;
constexpr double kKaiserBeta = 7.857;
constexpr unsigned kTapsPerFactor = 88;

// The zeroth-order modified Bessel function of the first kind, by its power series.
double BesselI0(double x) {
  double sum = 1.0, term = 1.0;
  const double quarter = x * x / 4.0;
  for (int k = 1; k < 64 && term > sum * 1e-17; ++k) {
    term *= quarter / (static_cast<double>(k) * k);
    sum += term;
  }
  return sum;
}

std::vector<double> LowPass(unsigned factor) {
  const unsigned count = kTapsPerFactor * factor + 1;
  const double cutoff = (kPassEdge + kStopEdge) / 2.0 / factor;  // cycles per input sample
  const double middle = (count - 1) / 2.0;
  const double norm = BesselI0(kKaiserBeta);
  std::vector<double> taps(count);
  double sum = 0;
  for (unsigned n = 0; n < count; ++n) {
    const double t = n - middle;
    const double x = 2.0 * M_PI * cutoff * t;
    const double sinc = t == 0 ? 2.0 * cutoff : std::sin(x) / (M_PI * t);
    const double r = t / middle;
    taps[n] = sinc * BesselI0(kKaiserBeta * std::sqrt(std::max(0.0, 1.0 - r * r))) / norm;
    sum += taps[n];
  }
  // Unity gain at 0 Hz, so a constant stays the same constant.
  for (double& tap : taps) tap /= sum;
  return taps;
}

}  // namespace

unsigned Decimator::FactorFor(uint32_t rate) {
  return rate <= kHighestRate ? 1 : (rate + kHighestRate - 1) / kHighestRate;
}

Decimator::Decimator(unsigned factor, unsigned channels)
    : factor_(factor), channels_(channels), taps_(LowPass(factor)), lines_(channels) {
  Reset();
}

Decimator::~Decimator() = default;

void Decimator::Reset() {
  for (auto& line : lines_) line.assign(taps_.size() - 1, 0.0);
}

void Decimator::Reserve(size_t frames) {
  for (auto& line : lines_) line.reserve(taps_.size() - 1 + frames);
}

void Decimator::Process(const int32_t* in, size_t frames, int16_t* out) {
  const size_t history = taps_.size() - 1;
  const size_t outFrames = frames / factor_;
  for (unsigned c = 0; c < channels_; ++c) {
    std::vector<double>& line = lines_[c];
    line.resize(history + frames);
    // The 32-bit scale becomes the 16-bit one, fractions kept until the filter is done.
    for (size_t i = 0; i < frames; ++i) line[history + i] = in[i * channels_ + c] / 65536.0;
    for (size_t j = 0; j < outFrames; ++j) {
      // The window ends on the last frame of the j-th group of `factor` frames: an output
      // needs no input from a later block.
      const double* window = line.data() + j * factor_ + factor_ - 1;
      double sum = 0;
      for (size_t t = 0; t < taps_.size(); ++t) sum += taps_[t] * window[t];
      const double rounded = std::round(sum);
      out[j * channels_ + c] = static_cast<int16_t>(std::clamp(rounded, -32768.0, 32767.0));
    }
    line.erase(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(frames));
  }
}

}  // namespace platform::codec
