// PortAudio for both directions: its initialisation and device lists, and the stream every
// PortAudio device runs on (wave_portaudio_stream.h).

#include <platform/clock.h>
#include <platform/wave_portaudio_stream.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace platform::wave_out_detail {

namespace {

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

// Our input or output device number (or kWaveDefaultDevice) to PortAudio's; paNoDevice when
// there is none.
PaDeviceIndex Resolve(bool input, uint32_t device) {
  const PortAudioState& s = State();
  const std::vector<PaDeviceIndex>& devices = input ? s.inputs : s.outputs;
  const int defaultDevice = input ? s.defaultInput : s.defaultOutput;
  if (device == kWaveDefaultDevice) return defaultDevice < 0 ? paNoDevice : devices[defaultDevice];
  return device < devices.size() ? devices[device] : paNoDevice;
}

template <class Info>
int Describe(bool input, uint32_t device, Info* info) {
  const PaDeviceIndex index = Resolve(input, device);
  if (index == paNoDevice) return kWaveBadDevice;
  const PaDeviceInfo* pa = Pa_GetDeviceInfo(index);
  if (!pa) return kWaveBadDevice;
  info->name = pa->name ? pa->name : "";
  const auto channels =
      static_cast<uint16_t>(std::min(2, input ? pa->maxInputChannels : pa->maxOutputChannels));
  info->defaultFormat =
      PcmFormat(static_cast<uint32_t>(pa->defaultSampleRate + 0.5), channels, 16);
  info->isDefault = index == Resolve(input, kWaveDefaultDevice);
  return kWaveOk;
}

}  // namespace

bool PortAudioAvailable() { return !State().outputs.empty(); }

bool PortAudioInputAvailable() { return !State().inputs.empty(); }

uint32_t PortAudioDeviceCount() { return static_cast<uint32_t>(State().outputs.size()); }

uint32_t PortAudioInputDeviceCount() { return static_cast<uint32_t>(State().inputs.size()); }

int PortAudioDescribe(uint32_t device, WaveOutDeviceInfo* info) {
  return Describe(/*input=*/false, device, info);
}

int PortAudioDescribe(uint32_t device, WaveInDeviceInfo* info) {
  return Describe(/*input=*/true, device, info);
}

int PortAudioResult(int error, std::string* detail) {
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

int PortAudioParameters(bool input, uint32_t device, const tWAVEFORMATEX& format,
                        PaStreamParameters* parameters, std::string* name, std::string* why) {
  const PaDeviceIndex index = Resolve(input, device);
  if (index == paNoDevice) {
    *why = std::string(input ? "there is no input device " : "there is no sound device ");
    why->append(std::to_string(device))
        .append(" (there are ")
        .append(std::to_string(input ? PortAudioInputDeviceCount() : PortAudioDeviceCount()))
        .append(")");
    return kWaveBadDevice;
  }
  const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
  *name = info && info->name ? info->name : (input ? "the input device" : "the sound device");
  *parameters = {};
  parameters->device = index;
  parameters->channelCount = format.nChannels;
  parameters->sampleFormat = format.wBitsPerSample == 8 ? paUInt8 : paInt16;
  parameters->suggestedLatency =
      info ? (input ? info->defaultLowInputLatency : info->defaultLowOutputLatency) : 0.05;
  const PaError supported = input
                                ? Pa_IsFormatSupported(parameters, nullptr, format.nSamplesPerSec)
                                : Pa_IsFormatSupported(nullptr, parameters, format.nSamplesPerSec);
  if (supported != paFormatIsSupported) {
    std::string detail;
    const int result = PortAudioResult(supported, &detail);
    *why = *name;
    why->append(input ? " cannot record " : " cannot play ")
        .append(DescribeFormat(format))
        .append(": ")
        .append(detail);
    return result;
  }
  return kWaveOk;
}

template <class Device>
PortAudioDevice<Device>::PortAudioDevice(const tWAVEFORMATEX& format, std::string name,
                                         std::optional<uint64_t> failAfterMs)
    : Device(format), name_(std::move(name)), silence_(format.wBitsPerSample == 8 ? 0x80 : 0) {
  if (failAfterMs) {
    failAfterMs_ = *failAfterMs;
    failAfterBytes_ = BytesForMs(format, *failAfterMs);
  }
}

template <class Device>
int PortAudioDevice<Device>::OpenStream(const PaStreamParameters& parameters,
                                        PaStreamCallback* callback, std::string* why) {
  const PaError error =
      Pa_OpenStream(&stream_, kInput ? &parameters : nullptr, kInput ? nullptr : &parameters,
                    this->Format().nSamplesPerSec, paFramesPerBufferUnspecified,
                    kInput ? paNoFlag : paClipOff, callback, this);
  if (error != paNoError) {
    stream_ = nullptr;
    std::string detail;
    const int result = PortAudioResult(error, &detail);
    *why = "cannot open " + name_;
    why->append(" for ").append(DescribeFormat(this->Format())).append(": ").append(detail);
    return result;
  }
  return kWaveOk;
}

template <class Device>
void PortAudioDevice<Device>::CloseStream() {
  if (!stream_) return;
  std::lock_guard lock(mutex_);
  StopLocked(/*drain=*/false);
  FinishAllLocked(0);
  Pa_CloseStream(stream_);
  stream_ = nullptr;
}

template <class Device>
int PortAudioDevice<Device>::PositionBytes(uint64_t* bytes) {
  if (!bytes) return kWaveError;
  *bytes = position_.load(std::memory_order_acquire);
  return kWaveOk;
}

template <class Device>
int PortAudioDevice<Device>::Poll() {
  std::lock_guard lock(mutex_);
  if (failed_) return kWaveError;
  if (failAfterBytes_ && streamed_.load(std::memory_order_relaxed) >= *failAfterBytes_) {
    FailLocked(FailAfterText(failAfterMs_, kInput));
    return kWaveError;
  }
  if (!running_) return kWaveOk;
  const char* stopped = kInput ? "the device stopped recording" : "the device stopped playing";
  if (Pa_IsStreamActive(stream_) != 1) {
    FailLocked(stopped);
    return kWaveError;
  }
  // An input stream calls back whether or not headers wait; silence from it is a stall.
  const uint64_t now = monotonic_ms();
  const uint64_t callbacks = callbacks_.load(std::memory_order_relaxed);
  if (callbacks != lastCallbacks_) {
    lastCallbacks_ = callbacks;
    lastProgressMs_ = now;
  } else if ((kInput || pending_.load(std::memory_order_relaxed)) &&
             now - lastProgressMs_ >= kStallMs) {
    std::string why = stopped;
    why.append(kInput ? ": it delivered no sound for " : ": it asked for no sound for ")
        .append(std::to_string(kStallMs / 1000))
        .append(" seconds");
    FailLocked(why);
    return kWaveError;
  }
  return kWaveOk;
}

template <class Device>
std::string PortAudioDevice<Device>::ErrorText() {
  std::lock_guard lock(mutex_);
  return error_;
}

template <class Device>
int PortAudioDevice<Device>::QueueLocked(WaveHeader* header) {
  const uint32_t head = head_.load(std::memory_order_relaxed);
  if (head - tail_.load(std::memory_order_acquire) == kRingSize) return kWaveError;
  if (const int begun = BeginWrite(header, this->Format(), failed_); begun != kWaveOk) return begun;
  if constexpr (kInput) header->bytesRecorded = 0;
  pending_.fetch_add(1, std::memory_order_relaxed);
  ring_[head % kRingSize] = header;
  head_.store(head + 1, std::memory_order_release);
  return kWaveOk;
}

template <class Device>
bool PortAudioDevice<Device>::TakeNext() {
  const uint32_t tail = tail_.load(std::memory_order_relaxed);
  if (tail == head_.load(std::memory_order_acquire)) return false;
  current_ = ring_[tail % kRingSize];
  tail_.store(tail + 1, std::memory_order_release);
  offset_ = 0;
  return true;
}

template <class Device>
void PortAudioDevice<Device>::FinishCurrent() {
  if constexpr (kInput) current_->bytesRecorded = offset_;
  FinishHeader(current_);
  current_ = nullptr;
  offset_ = 0;
  pending_.fetch_sub(1, std::memory_order_relaxed);
}

template <class Device>
bool PortAudioDevice<Device>::StartLocked() {
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

template <class Device>
bool PortAudioDevice<Device>::StopLocked(bool drain) {
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

template <class Device>
void PortAudioDevice<Device>::FailLocked(const std::string& why) {
  failed_ = true;
  error_ = why;
  if (running_) {
    running_ = false;
    Pa_AbortStream(stream_);
  }
  FinishAllLocked(kWaveHeaderFailed);
}

template <class Device>
void PortAudioDevice<Device>::FinishAllLocked(uint32_t extra) {
  if (current_) {
    if constexpr (kInput) current_->bytesRecorded = offset_;
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

template class PortAudioDevice<WaveOut>;
template class PortAudioDevice<WaveIn>;

}  // namespace platform::wave_out_detail
