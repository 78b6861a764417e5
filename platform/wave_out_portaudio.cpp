// Real output devices through PortAudio (ALSA underneath, so PipeWire and PulseAudio desktops
// play through their ALSA plugins).
//
// The audio callback runs on PortAudio's real-time thread: it takes no lock, allocates nothing
// and touches no file. Headers reach it through a single-producer single-consumer ring; it owns
// the header it is playing until it marks it done. The control calls (Write, Pause, Reset, ...)
// hold one mutex among themselves; whenever they need the callback's state they stop the stream
// first, after which that state is theirs until the stream starts again.

#include <platform/clock.h>
#include <platform/wave_out_backend.h>

#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace platform::wave_out_detail {

namespace {

// A stream that asks for nothing this long while headers wait has stopped for good (a device
// unplugged, a sound server gone).
constexpr uint64_t kStallMs = 2000;

struct PortAudioState {
  bool initialised = false;
  std::vector<PaDeviceIndex> outputs;  // our device numbers: the devices that can play
  int defaultOutput = -1;              // index into `outputs`
  std::vector<PaDeviceIndex> inputs;   // the input devices' numbers: those that can record
  int defaultInput = -1;               // index into `inputs`
};

// PortAudio is initialised once per process, for output and input alike, and never terminated:
// a device may be open until the very end. Its host APIs print probing noise (JACK, ALSA) that is not ours to show.
const PortAudioState& State() {
  static const PortAudioState state = [] {
    PortAudioState s;
    setenv("JACK_NO_START_SERVER", "1", 0);
    const bool quiet = std::getenv("QUARL_AUDIO_DEBUG") == nullptr;
    int savedStderr = -1;
    if (quiet) {
      fflush(stderr);
      savedStderr = dup(STDERR_FILENO);
      const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
      if (savedStderr >= 0 && devNull >= 0) dup2(devNull, STDERR_FILENO);
      if (devNull >= 0) close(devNull);
    }
    s.initialised = Pa_Initialize() == paNoError;
    if (savedStderr >= 0) {
      fflush(stderr);
      dup2(savedStderr, STDERR_FILENO);
      close(savedStderr);
    }
    if (!s.initialised) return s;
    const PaDeviceIndex defaultDevice = Pa_GetDefaultOutputDevice();
    const PaDeviceIndex defaultInput = Pa_GetDefaultInputDevice();
    const PaDeviceIndex count = Pa_GetDeviceCount();
    for (PaDeviceIndex i = 0; i < count; ++i) {
      const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
      if (!info) continue;
      if (info->maxOutputChannels > 0) {
        if (i == defaultDevice) s.defaultOutput = static_cast<int>(s.outputs.size());
        s.outputs.push_back(i);
      }
      if (info->maxInputChannels > 0) {
        if (i == defaultInput) s.defaultInput = static_cast<int>(s.inputs.size());
        s.inputs.push_back(i);
      }
    }
    if (s.defaultOutput < 0 && !s.outputs.empty()) s.defaultOutput = 0;
    if (s.defaultInput < 0 && !s.inputs.empty()) s.defaultInput = 0;
    return s;
  }();
  return state;
}

// Our device number (or kWaveDefaultDevice) to PortAudio's; paNoDevice when there is none.
PaDeviceIndex Resolve(uint32_t device) {
  const PortAudioState& s = State();
  if (device == kWaveDefaultDevice) return s.defaultOutput < 0 ? paNoDevice : s.outputs[s.defaultOutput];
  return device < s.outputs.size() ? s.outputs[device] : paNoDevice;
}

int MapError(PaError error, std::string* detail) {
  *detail = Pa_GetErrorText(error);
  switch (error) {
    case paDeviceUnavailable:
      return kWaveBusy;
    case paInvalidSampleRate:
    case paSampleFormatNotSupported:
    case paInvalidChannelCount:
      return kWaveBadFormat;
    case paInsufficientMemory:
      return kWaveNoMemory;
    case paUnanticipatedHostError: {
      const PaHostErrorInfo* host = Pa_GetLastHostErrorInfo();
      if (host && host->errorText && *host->errorText) *detail = host->errorText;
      if (host && host->hostApiType == paALSA && host->errorCode == -EBUSY) return kWaveBusy;
      return kWaveError;
    }
    default:
      return kWaveError;
  }
}

class PortAudioWaveOut final : public WaveOut {
 public:
  PortAudioWaveOut(const tWAVEFORMATEX& format, std::string name, std::optional<uint64_t> failAfterMs)
      : WaveOut(format), name_(std::move(name)), silence_(format.wBitsPerSample == 8 ? 0x80 : 0) {
    if (failAfterMs) {
      failAfterMs_ = *failAfterMs;
      failAfterBytes_ = BytesForMs(format, *failAfterMs);
    }
  }

  // Opens and starts the stream; kWaveOk or the mapped error with `*why`.
  int Start(const PaStreamParameters& parameters, std::string* why) {
    std::string detail;
    PaError error = Pa_OpenStream(&stream_, nullptr, &parameters, Format().nSamplesPerSec,
                                  paFramesPerBufferUnspecified, paClipOff, &Callback, this);
    if (error != paNoError) {
      stream_ = nullptr;
      const int result = MapError(error, &detail);
      *why = "cannot open " + name_ + " for " + DescribeFormat(Format()) + ": " + detail;
      return result;
    }
    std::lock_guard lock(mutex_);
    if (!StartLocked()) {
      *why = error_;
      return kWaveError;
    }
    return kWaveOk;
  }

  ~PortAudioWaveOut() override {
    if (!stream_) return;
    std::lock_guard lock(mutex_);
    StopLocked(/*drain=*/false);
    FinishAllLocked(0);
    Pa_CloseStream(stream_);
  }

  int Write(WaveHeader* header) override {
    std::lock_guard lock(mutex_);
    const uint32_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) == kRingSize) return kWaveError;
    if (const int begun = BeginWrite(header, Format(), failed_); begun != kWaveOk) return begun;
    pending_.fetch_add(1, std::memory_order_relaxed);
    ring_[head % kRingSize] = header;
    head_.store(head + 1, std::memory_order_release);
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
    position_.store(0, std::memory_order_relaxed);
    starved_.store(false, std::memory_order_relaxed);
    hadData_ = false;
    if (!stopped) return kWaveError;
    if (!paused_ && !failed_ && !StartLocked()) return kWaveError;
    return kWaveOk;
  }

  int PositionBytes(uint64_t* bytes) override {
    if (!bytes) return kWaveError;
    *bytes = position_.load(std::memory_order_relaxed);
    return kWaveOk;
  }

  int Poll() override {
    std::lock_guard lock(mutex_);
    if (failed_) return kWaveError;
    if (failAfterBytes_ && played_.load(std::memory_order_relaxed) >= *failAfterBytes_) {
      FailLocked(FailAfterText(failAfterMs_));
      return kWaveError;
    }
    if (!running_) return kWaveOk;
    if (Pa_IsStreamActive(stream_) != 1) {
      FailLocked("the device stopped playing");
      return kWaveError;
    }
    const uint64_t now = monotonic_ms();
    const uint64_t callbacks = callbacks_.load(std::memory_order_relaxed);
    if (callbacks != lastCallbacks_) {
      lastCallbacks_ = callbacks;
      lastProgressMs_ = now;
    } else if (pending_.load(std::memory_order_relaxed) && now - lastProgressMs_ >= kStallMs) {
      FailLocked("the device stopped playing: it asked for no sound for " +
                 std::to_string(kStallMs / 1000) + " seconds");
      return kWaveError;
    }
    return kWaveOk;
  }

  uint64_t Underruns() override {
    std::lock_guard lock(mutex_);
    return gaps_ + deviceUnderflows_.load(std::memory_order_relaxed);
  }

  std::string ErrorText() override {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  static constexpr uint32_t kRingSize = 1024;

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
      if (!current_) {
        const uint32_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire)) break;
        current_ = ring_[tail % kRingSize];
        tail_.store(tail + 1, std::memory_order_release);
        offset_ = 0;
      }
      const size_t n = std::min<size_t>(current_->length - offset_, wanted);
      memcpy(out, current_->data + offset_, n);
      out += n;
      wanted -= n;
      offset_ += static_cast<uint32_t>(n);
      copied += n;
      if (offset_ == current_->length) {
        FinishHeader(current_);
        current_ = nullptr;
        pending_.fetch_sub(1, std::memory_order_relaxed);
      }
    }
    if (copied) {
      hadData_ = true;
      position_.fetch_add(copied, std::memory_order_relaxed);
      played_.fetch_add(copied, std::memory_order_relaxed);
    }
    if (wanted) {
      memset(out, silence_, wanted);
      if (hadData_) starved_.store(true, std::memory_order_relaxed);
    }
  }

  bool StartLocked() {
    if (running_) return true;
    const PaError error = Pa_StartStream(stream_);
    if (error != paNoError) {
      std::string detail;
      MapError(error, &detail);
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
      MapError(error, &detail);
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

  // The stream is stopped: finishes the header being played and everything still in the ring.
  void FinishAllLocked(uint32_t extra) {
    if (current_) {
      FinishHeader(current_, extra);
      current_ = nullptr;
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
  bool hadData_ = false;

  std::atomic<uint64_t> position_{0};
  std::atomic<uint64_t> played_{0};  // since open, for fail-after
  std::atomic<uint64_t> callbacks_{0};
  std::atomic<uint64_t> deviceUnderflows_{0};
  std::atomic<uint32_t> pending_{0};  // written and not yet done
  std::atomic<bool> starved_{false};  // the callback ran out of headers after playing some

  std::mutex mutex_;  // the control side
  bool running_ = false;
  bool paused_ = false;
  bool failed_ = false;
  std::string error_;
  uint64_t gaps_ = 0;
  uint64_t lastCallbacks_ = 0;
  uint64_t lastProgressMs_ = 0;
};

}  // namespace

bool PortAudioAvailable() { return !State().outputs.empty(); }

bool PortAudioInputAvailable() { return !State().inputs.empty(); }

uint32_t PortAudioInputDeviceCount() { return static_cast<uint32_t>(State().inputs.size()); }

int PortAudioInputIndex(uint32_t device) {
  const PortAudioState& s = State();
  if (device == kWaveDefaultDevice) return s.defaultInput < 0 ? paNoDevice : s.inputs[s.defaultInput];
  return device < s.inputs.size() ? s.inputs[device] : paNoDevice;
}

int PortAudioInputDescribe(uint32_t device, WaveInDeviceInfo* info) {
  const PaDeviceIndex index = PortAudioInputIndex(device);
  if (index == paNoDevice) return kWaveBadDevice;
  const PaDeviceInfo* pa = Pa_GetDeviceInfo(index);
  if (!pa) return kWaveBadDevice;
  info->name = pa->name ? pa->name : "";
  const auto channels = static_cast<uint16_t>(std::min(2, pa->maxInputChannels));
  info->defaultFormat =
      PcmFormat(static_cast<uint32_t>(pa->defaultSampleRate + 0.5), channels, 16);
  info->isDefault = index == PortAudioInputIndex(kWaveDefaultDevice);
  return kWaveOk;
}

int PortAudioResult(int error, std::string* detail) {
  return MapError(static_cast<PaError>(error), detail);
}

uint32_t PortAudioDeviceCount() { return static_cast<uint32_t>(State().outputs.size()); }

int PortAudioDescribe(uint32_t device, WaveOutDeviceInfo* info) {
  const PaDeviceIndex index = Resolve(device);
  if (index == paNoDevice) return kWaveBadDevice;
  const PaDeviceInfo* pa = Pa_GetDeviceInfo(index);
  if (!pa) return kWaveBadDevice;
  info->name = pa->name ? pa->name : "";
  const auto channels = static_cast<uint16_t>(std::min(2, pa->maxOutputChannels));
  info->defaultFormat =
      PcmFormat(static_cast<uint32_t>(pa->defaultSampleRate + 0.5), channels, 16);
  info->isDefault = index == Resolve(kWaveDefaultDevice);
  return kWaveOk;
}

std::unique_ptr<WaveOut> OpenPortAudioDevice(uint32_t device, const AudioChoice& choice,
                                             const tWAVEFORMATEX& format, int* result,
                                             std::string* why) {
  const PaDeviceIndex index = Resolve(device);
  if (index == paNoDevice) {
    *result = kWaveBadDevice;
    *why = "there is no sound device " + std::to_string(device) + " (there are " +
           std::to_string(PortAudioDeviceCount()) + ")";
    return nullptr;
  }
  const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
  const std::string name = info && info->name ? info->name : "the sound device";
  PaStreamParameters parameters{};
  parameters.device = index;
  parameters.channelCount = format.nChannels;
  parameters.sampleFormat = format.wBitsPerSample == 8 ? paUInt8 : paInt16;
  parameters.suggestedLatency = info ? info->defaultLowOutputLatency : 0.05;
  // Asked first, so that a refused format is told apart from a device that fails to open.
  const PaError supported = Pa_IsFormatSupported(nullptr, &parameters, format.nSamplesPerSec);
  if (supported != paFormatIsSupported) {
    std::string detail;
    *result = MapError(supported, &detail);
    *why = name + " cannot play " + DescribeFormat(format) + ": " + detail;
    return nullptr;
  }
  auto out = std::make_unique<PortAudioWaveOut>(format, name, choice.failAfterMs);
  *result = out->Start(parameters, why);
  if (*result != kWaveOk) return nullptr;
  return out;
}

}  // namespace platform::wave_out_detail
