// Real input devices through PortAudio, on the stream output uses too
// (wave_portaudio_stream.h); this is the callback that records and the input's calls.
//
// The callback publishes the position (release) after it has copied the bytes the position
// covers, so the engine may read a header below PositionBytes() while the rest of it fills.

#include <platform/wave_portaudio_stream.h>

#include <cstring>

namespace platform::wave_out_detail {

namespace {

class PortAudioWaveIn final : public PortAudioDevice<WaveIn> {
 public:
  using PortAudioDevice::PortAudioDevice;

  ~PortAudioWaveIn() override { CloseStream(); }

  // Opens the stream, stopped; kWaveOk or the mapped error with `*why`.
  int OpenStopped(const PaStreamParameters& parameters, std::string* why) {
    return OpenStream(parameters, &Callback, why);
  }

  int AddBuffer(WaveHeader* header) override {
    std::lock_guard lock(mutex_);
    if (header && header->length == 0) return kWaveError;
    return QueueLocked(header);
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
    if (current_ && offset_ > 0) FinishCurrent();
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

  uint64_t Overruns() override {
    return lost_.load(std::memory_order_relaxed) + deviceOverflows_.load(std::memory_order_relaxed);
  }

 private:
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
      const uint64_t taken = streamed_.load(std::memory_order_relaxed);
      bytes = std::min(bytes, *failAfterBytes_ - std::min(*failAfterBytes_, taken));
      if (!bytes) return;
    }
    streamed_.fetch_add(bytes, std::memory_order_relaxed);
    uint64_t position = position_.load(std::memory_order_relaxed);
    while (bytes) {
      if (!current_ && !TakeNext()) {
        // No header: the rest of this input is lost, counted once per episode.
        if (!losing_) lost_.fetch_add(1, std::memory_order_relaxed);
        losing_ = true;
        break;
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
      if (offset_ == current_->length) FinishCurrent();
    }
    position_.store(position, std::memory_order_release);
  }

  // The callback's own, or the control side's while the stream is stopped.
  bool losing_ = false;  // input is being lost for want of a header

  std::atomic<uint64_t> lost_{0};             // episodes without a header
  std::atomic<uint64_t> deviceOverflows_{0};  // input PortAudio itself discarded
};

}  // namespace

std::unique_ptr<WaveIn> OpenPortAudioInput(uint32_t device, const AudioChoice& choice,
                                           const tWAVEFORMATEX& format, int* result,
                                           std::string* why) {
  PaStreamParameters parameters;
  std::string name;
  *result = PortAudioParameters(/*input=*/true, device, format, &parameters, &name, why);
  if (*result != kWaveOk) return nullptr;
  auto in = std::make_unique<PortAudioWaveIn>(format, name, choice.failAfterMs);
  *result = in->OpenStopped(parameters, why);
  if (*result != kWaveOk) return nullptr;
  return in;
}

}  // namespace platform::wave_out_detail
