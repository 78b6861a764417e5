// Real input devices through PortAudio, built as the output side is (wave_out_portaudio.cpp):
// the audio callback takes no lock, allocates nothing and touches no file; headers reach it
// through a single-producer single-consumer ring, and it owns the header it is filling until it
// marks it done. The control calls hold one mutex among themselves and stop the stream before
// they touch the callback's state.
//
// The callback publishes the position (release) after it has copied the bytes the position
// covers, so the engine may read a header below PositionBytes() while the rest of it fills.

#include <platform/clock.h>
#include <platform/wave_out_backend.h>

#include <portaudio.h>

#include <array>
#include <cstring>
#include <mutex>

namespace platform::wave_out_detail {

namespace {

// A running stream that delivers nothing this long has stopped for good (a device unplugged,
// a sound server gone).
constexpr uint64_t kStallMs = 2000;

class PortAudioWaveIn final : public WaveIn {
 public:
  PortAudioWaveIn(const tWAVEFORMATEX& format, std::string name,
                  std::optional<uint64_t> failAfterMs)
      : WaveIn(format), name_(std::move(name)), silence_(format.wBitsPerSample == 8 ? 0x80 : 0) {
    if (failAfterMs) {
      failAfterMs_ = *failAfterMs;
      failAfterBytes_ = BytesForMs(format, *failAfterMs);
    }
  }

  // Opens the stream, stopped; kWaveOk or the mapped error with `*why`.
  int OpenStream(const PaStreamParameters& parameters, std::string* why) {
    const PaError error = Pa_OpenStream(&stream_, &parameters, nullptr, Format().nSamplesPerSec,
                                        paFramesPerBufferUnspecified, paNoFlag, &Callback, this);
    if (error != paNoError) {
      stream_ = nullptr;
      std::string detail;
      const int result = PortAudioResult(error, &detail);
      *why = "cannot open " + name_ + " for " + DescribeFormat(Format()) + ": " + detail;
      return result;
    }
    return kWaveOk;
  }

  ~PortAudioWaveIn() override {
    if (!stream_) return;
    std::lock_guard lock(mutex_);
    StopLocked(/*drain=*/false);
    FinishAllLocked(0);
    Pa_CloseStream(stream_);
  }

  int AddBuffer(WaveHeader* header) override {
    std::lock_guard lock(mutex_);
    if (header && header->length == 0) return kWaveError;
    const uint32_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) == kRingSize) return kWaveError;
    if (const int begun = BeginWrite(header, Format(), failed_); begun != kWaveOk) return begun;
    header->bytesRecorded = 0;
    pending_.fetch_add(1, std::memory_order_relaxed);
    ring_[head % kRingSize] = header;
    head_.store(head + 1, std::memory_order_release);
    return kWaveOk;
  }

  int Start() override {
    std::lock_guard lock(mutex_);
    if (failed_) return kWaveError;
    if (running_) return kWaveOk;
    losing_ = false;  // the callback's, but the stream is stopped
    return StartLocked() ? kWaveOk : kWaveError;
  }

  int Stop() override {
    std::lock_guard lock(mutex_);
    // Stopping (not aborting) lets what the device has captured reach the headers first.
    if (!StopLocked(/*drain=*/true)) return kWaveError;
    if (current_ && offset_ > 0) {
      current_->bytesRecorded = offset_;
      FinishHeader(current_);
      current_ = nullptr;
      offset_ = 0;
      pending_.fetch_sub(1, std::memory_order_relaxed);
    }
    // An empty current header stays first in line for the next Start.
    return failed_ ? kWaveError : kWaveOk;
  }

  int Reset() override {
    std::lock_guard lock(mutex_);
    const bool stopped = StopLocked(/*drain=*/false);
    FinishAllLocked(0);
    position_.store(0, std::memory_order_release);
    return stopped ? kWaveOk : kWaveError;
  }

  int PositionBytes(uint64_t* bytes) override {
    if (!bytes) return kWaveError;
    *bytes = position_.load(std::memory_order_acquire);
    return kWaveOk;
  }

  int Poll() override {
    std::lock_guard lock(mutex_);
    if (failed_) return kWaveError;
    if (failAfterBytes_ && taken_.load(std::memory_order_relaxed) >= *failAfterBytes_) {
      FailLocked(FailAfterText(failAfterMs_, /*recording=*/true));
      return kWaveError;
    }
    if (!running_) return kWaveOk;
    if (Pa_IsStreamActive(stream_) != 1) {
      FailLocked("the device stopped recording");
      return kWaveError;
    }
    // An input stream calls back whether or not headers wait; silence from it is a stall.
    const uint64_t now = monotonic_ms();
    const uint64_t callbacks = callbacks_.load(std::memory_order_relaxed);
    if (callbacks != lastCallbacks_) {
      lastCallbacks_ = callbacks;
      lastProgressMs_ = now;
    } else if (now - lastProgressMs_ >= kStallMs) {
      FailLocked("the device stopped recording: it delivered no sound for " +
                 std::to_string(kStallMs / 1000) + " seconds");
      return kWaveError;
    }
    return kWaveOk;
  }

  uint64_t Overruns() override {
    return lost_.load(std::memory_order_relaxed) + deviceOverflows_.load(std::memory_order_relaxed);
  }

  std::string ErrorText() override {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  static constexpr uint32_t kRingSize = 1024;

  static int Callback(const void* input, void*, unsigned long frames,
                      const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags flags, void* self) {
    static_cast<PortAudioWaveIn*>(self)->Take(static_cast<const unsigned char*>(input), frames,
                                              flags);
    return paContinue;
  }

  // The real-time side.
  void Take(const unsigned char* in, unsigned long frames, PaStreamCallbackFlags flags) {
    callbacks_.fetch_add(1, std::memory_order_relaxed);
    if (flags & paInputOverflow) deviceOverflows_.fetch_add(1, std::memory_order_relaxed);
    uint64_t bytes = static_cast<uint64_t>(frames) * Format().nBlockAlign;
    if (failAfterBytes_) {
      // Past the limit nothing more is recorded; Poll reports the failure.
      const uint64_t taken = taken_.load(std::memory_order_relaxed);
      bytes = std::min(bytes, *failAfterBytes_ - std::min(*failAfterBytes_, taken));
      if (!bytes) return;
    }
    taken_.fetch_add(bytes, std::memory_order_relaxed);
    uint64_t position = position_.load(std::memory_order_relaxed);
    while (bytes) {
      if (!current_) {
        const uint32_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire)) {
          // No header: the rest of this input is lost, counted once per episode.
          if (!losing_) lost_.fetch_add(1, std::memory_order_relaxed);
          losing_ = true;
          break;
        }
        current_ = ring_[tail % kRingSize];
        tail_.store(tail + 1, std::memory_order_release);
        offset_ = 0;
      }
      losing_ = false;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(current_->length - offset_, bytes));
      // PortAudio passes no buffer when it has no input to give (paInputUnderflow): silence.
      if (in) {
        memcpy(current_->data + offset_, in, n);
        in += n;
      } else {
        memset(current_->data + offset_, silence_, n);
      }
      offset_ += static_cast<uint32_t>(n);
      bytes -= n;
      position += n;
      position_.store(position, std::memory_order_release);
      if (offset_ == current_->length) {
        current_->bytesRecorded = offset_;
        FinishHeader(current_);
        current_ = nullptr;
        pending_.fetch_sub(1, std::memory_order_relaxed);
      }
    }
    position_.store(position, std::memory_order_release);
  }

  bool StartLocked() {
    if (running_) return true;
    const PaError error = Pa_StartStream(stream_);
    if (error != paNoError) {
      std::string detail;
      PortAudioResult(error, &detail);
      FailLocked("cannot start " + name_ + ": " + detail);
      return false;
    }
    running_ = true;
    lastCallbacks_ = callbacks_.load(std::memory_order_relaxed);
    lastProgressMs_ = monotonic_ms();
    return true;
  }

  // After this the callback no longer runs and its state belongs to the control side.
  bool StopLocked(bool drain) {
    if (!running_) return true;
    running_ = false;
    const PaError error = drain ? Pa_StopStream(stream_) : Pa_AbortStream(stream_);
    if (error != paNoError) {
      std::string detail;
      PortAudioResult(error, &detail);
      FailLocked("cannot stop " + name_ + ": " + detail);
      return false;
    }
    return true;
  }

  void FailLocked(const std::string& why) {
    failed_ = true;
    error_ = why;
    if (running_) {
      running_ = false;
      Pa_AbortStream(stream_);
    }
    FinishAllLocked(kWaveHeaderFailed);
  }

  // The stream is stopped: hands back the header being filled, with what it holds, and every
  // header still in the ring, empty.
  void FinishAllLocked(uint32_t extra) {
    if (current_) {
      current_->bytesRecorded = offset_;
      FinishHeader(current_, extra);
      current_ = nullptr;
      offset_ = 0;
    }
    uint32_t tail = tail_.load(std::memory_order_relaxed);
    const uint32_t head = head_.load(std::memory_order_relaxed);
    for (; tail != head; ++tail) FinishHeader(ring_[tail % kRingSize], extra);
    tail_.store(tail, std::memory_order_relaxed);
    pending_.store(0, std::memory_order_relaxed);
  }

  const std::string name_;
  const unsigned char silence_;
  uint64_t failAfterMs_ = 0;
  std::optional<uint64_t> failAfterBytes_;
  PaStream* stream_ = nullptr;

  // Hand-over from the control side (head) to the callback (tail).
  std::array<WaveHeader*, kRingSize> ring_{};
  std::atomic<uint32_t> head_{0};
  std::atomic<uint32_t> tail_{0};

  // The callback's own, or the control side's while the stream is stopped.
  WaveHeader* current_ = nullptr;
  uint32_t offset_ = 0;
  bool losing_ = false;  // input is being lost for want of a header

  std::atomic<uint64_t> position_{0};  // bytes written into headers since Start
  std::atomic<uint64_t> taken_{0};     // since open, for fail-after
  std::atomic<uint64_t> callbacks_{0};
  std::atomic<uint64_t> lost_{0};             // episodes without a header
  std::atomic<uint64_t> deviceOverflows_{0};  // input PortAudio itself discarded
  std::atomic<uint32_t> pending_{0};          // added and not yet done

  std::mutex mutex_;  // the control side
  bool running_ = false;
  bool failed_ = false;
  std::string error_;
  uint64_t lastCallbacks_ = 0;
  uint64_t lastProgressMs_ = 0;
};

}  // namespace

std::unique_ptr<WaveIn> OpenPortAudioInput(uint32_t device, const AudioChoice& choice,
                                           const tWAVEFORMATEX& format, int* result,
                                           std::string* why) {
  const PaDeviceIndex index = PortAudioInputIndex(device);
  if (index == paNoDevice) {
    *result = kWaveBadDevice;
    *why = "there is no input device " + std::to_string(device) + " (there are " +
           std::to_string(PortAudioInputDeviceCount()) + ")";
    return nullptr;
  }
  const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
  const std::string name = info && info->name ? info->name : "the input device";
  PaStreamParameters parameters{};
  parameters.device = index;
  parameters.channelCount = format.nChannels;
  parameters.sampleFormat = format.wBitsPerSample == 8 ? paUInt8 : paInt16;
  parameters.suggestedLatency = info ? info->defaultLowInputLatency : 0.05;
  // Asked first, so that a refused format is told apart from a device that fails to open.
  const PaError supported = Pa_IsFormatSupported(&parameters, nullptr, format.nSamplesPerSec);
  if (supported != paFormatIsSupported) {
    std::string detail;
    *result = PortAudioResult(supported, &detail);
    *why = name + " cannot record " + DescribeFormat(format) + ": " + detail;
    return nullptr;
  }
  auto in = std::make_unique<PortAudioWaveIn>(format, name, choice.failAfterMs);
  *result = in->OpenStream(parameters, why);
  if (*result != kWaveOk) return nullptr;
  return in;
}

}  // namespace platform::wave_out_detail
