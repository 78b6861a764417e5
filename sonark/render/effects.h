#pragma once

#include <sonark/visibility.h>
#include <sonark/render/buffer_format.h>

#include <cstdint>
#include <vector>

// What the non-virtual Type of each effect class answers.
enum TEffectType : int32_t {
  etEffect = 0,
  etLowPass = 3,
  etFilter = 6,
};

// An effect processes one interleaved block into another. The base effect leaves its blocks
// alone and does not change the length of what passes through it.
class SONARK_API CEffect {
 public:
  CEffect() = default;
  CEffect(const CEffect&) = default;
  CEffect& operator=(const CEffect&) = default;

  virtual ~CEffect();
  // A new effect of the same kind and settings, or null.
  virtual CEffect* Copy();
  virtual int Work(_bufferType* source, _bufferType* destination, int flags);
  // Forgets the state carried from earlier blocks.
  virtual void Flush();
  virtual long LengthChange(long length);
  virtual long NumSamplesChanged(long samples);

  TEffectType Type() const { return etEffect; }
};

// A finite-impulse-response filter over interleaved 8- or 16-bit PCM. The stereo flag, not the
// block's format, decides whether a right sample follows each left one; both channels use
// the same coefficients and keep separate histories across blocks.
class SONARK_API CFilter : public CEffect {
 public:
  // No coefficients yet: until SetCoefficients the filter outputs silence.
  CFilter(int taps, int stereo);
  CFilter(const CFilter& other);
  CFilter& operator=(const CFilter& other);
  ~CFilter() override;

  CEffect* Copy() override;
  void Flush() override;
  using CEffect::Work;
  // Filters `source` into `destination` (or in place when it is null), frame by frame while
  // both have room; outputs are truncated and saturated to 16 bits. Returns 1, or 0 when a
  // block is unusable.
  virtual int Work(_bufferType* source, _bufferType* destination);

  // Copies `taps` coefficients (coefficient 0 weighs the newest sample) and starts with
  // silent histories. Returns 1, or 0 when the arguments are unusable.
  int SetCoefficients(int taps, const double* coefficients, int stereo, long reserved);

  int Taps() const { return taps_; }
  int IsStereo() const { return stereo_; }
  const double* Coefficients() const { return coefficients_.data(); }
  TEffectType Type() const { return etFilter; }

 private:
  int stereo_ = 0;
  int taps_ = 0;
  std::vector<double> coefficients_;
  std::vector<int32_t> right_history_;  // only for stereo
  std::vector<int32_t> left_history_;
};

// A low-pass filter designed as a Hamming-windowed sinc. Its Copy yields a CFilter with the
// same coefficients.
class SONARK_API CLowPass : public CFilter {
 public:
  CLowPass(int taps, int stereo, long sampleRate, double cutoffHz);

  // Designs `taps` coefficients for the cutoff and installs them; the last argument is kept
  // for callers of the older interface and not used.
  int UpdateFilterSettings(int taps, int stereo, long sampleRate, double cutoffHz, int reserved);

  TEffectType Type() const { return etLowPass; }
};
