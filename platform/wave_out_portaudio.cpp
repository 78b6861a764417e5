// Real output devices through PortAudio (ALSA underneath, so PipeWire and PulseAudio desktops
// play through their ALSA plugins). The stream, its ring of headers and its failures are shared
// with input (wave_portaudio_stream.h); this is the callback that plays and the output's calls.

#include <platform/wave_portaudio_stream.h>

#include <cstring>

namespace platform::wave_out_detail {

namespace {

class PortAudioWaveOut final : public PortAudioDevice<WaveOut> {
 public:
  using PortAudioDevice::PortAudioDevice;

  // Opens and starts the stream; kWaveOk or the mapped error with `*why`.
  int Start(const PaStreamParameters& parameters, std::string* why) {
    if (const int opened = OpenStream(parameters, &Callback, why); opened != kWaveOk) return opened;
    std::lock_guard lock(mutex_);
    if (!StartLocked()) {
      *why = error_;
      return kWaveError;
    }
    return kWaveOk;
  }

  ~PortAudioWaveOut() override { CloseStream(); }

  int Write(WaveHeader* header) override {
    std::lock_guard lock(mutex_);
    if (const int queued = QueueLocked(header); queued != kWaveOk) return queued;
    if (starved_.exchange(false, std::memory_order_relaxed)) ++gaps_;
    return kWaveOk;
  }

  int Pause() override {
    std::lock_guard lock(mutex_);
    if (paused_) return kWaveOk;
    paused_ = true;
    // Stopping (not aborting) lets what the device already holds play out, so nothing is lost.
    return StopLocked(/*drain=*/true) ? kWaveOk : kWaveError;
  }

  int Restart() override {
    std::lock_guard lock(mutex_);
    if (!paused_) return kWaveOk;
    paused_ = false;
    if (failed_) return kWaveError;
    return StartLocked() ? kWaveOk : kWaveError;
  }

  int Reset() override {
    std::lock_guard lock(mutex_);
    const bool stopped = StopLocked(/*drain=*/false);
    FinishAllLocked(0);
    position_.store(0, std::memory_order_release);
    starved_.store(false, std::memory_order_relaxed);
    hadData_ = false;
    if (!stopped) return kWaveError;
    if (!paused_ && !failed_ && !StartLocked()) return kWaveError;
    return kWaveOk;
  }

  uint64_t Underruns() override {
    std::lock_guard lock(mutex_);
    return gaps_ + deviceUnderflows_.load(std::memory_order_relaxed);
  }

 private:
  static int Callback(const void*, void* output, unsigned long frames,
                      const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags flags, void* self) {
    static_cast<PortAudioWaveOut*>(self)->Fill(static_cast<unsigned char*>(output), frames, flags);
    return paContinue;
  }

  // The real-time side.
  void Fill(unsigned char* out, unsigned long frames, PaStreamCallbackFlags flags) {
    callbacks_.fetch_add(1, std::memory_order_relaxed);
    if (flags & paOutputUnderflow) deviceUnderflows_.fetch_add(1, std::memory_order_relaxed);
    size_t wanted = frames * Format().nBlockAlign;
    uint64_t copied = 0;
    while (wanted) {
      if (!current_ && !TakeNext()) break;
      const size_t n = std::min<size_t>(current_->length - offset_, wanted);
      memcpy(out, current_->data + offset_, n);
      out += n;
      wanted -= n;
      offset_ += static_cast<uint32_t>(n);
      copied += n;
      if (offset_ == current_->length) FinishCurrent();
    }
    if (copied) {
      hadData_ = true;
      position_.fetch_add(copied, std::memory_order_release);
      streamed_.fetch_add(copied, std::memory_order_relaxed);
    }
    if (wanted) {
      memset(out, silence_, wanted);
      if (hadData_) starved_.store(true, std::memory_order_relaxed);
    }
  }

  // The callback's own, or the control side's while the stream is stopped.
  bool hadData_ = false;

  std::atomic<uint64_t> deviceUnderflows_{0};
  std::atomic<bool> starved_{false};  // the callback ran out of headers after playing some

  // The control side's.
  bool paused_ = false;
  uint64_t gaps_ = 0;
};

}  // namespace

std::unique_ptr<WaveOut> OpenPortAudioDevice(uint32_t device, const AudioChoice& choice,
                                             const tWAVEFORMATEX& format, int* result,
                                             std::string* why) {
  PaStreamParameters parameters;
  std::string name;
  *result = PortAudioParameters(/*input=*/false, device, format, &parameters, &name, why);
  if (*result != kWaveOk) return nullptr;
  auto out = std::make_unique<PortAudioWaveOut>(format, name, choice.failAfterMs);
  *result = out->Start(parameters, why);
  if (*result != kWaveOk) return nullptr;
  return out;
}

}  // namespace platform::wave_out_detail
