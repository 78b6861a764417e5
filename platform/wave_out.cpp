#include <platform/wave_out.h>
#include <platform/wave_out_backend.h>

#include <cstdlib>
#include <string_view>
#include <type_traits>
#include <vector>

namespace platform {

using namespace wave_out_detail;

namespace wave_out_detail {

namespace {

bool ParseMs(std::string_view text, uint64_t* ms) {
  if (text.empty() || text.size() > 12) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  *ms = value;
  return true;
}

std::vector<std::string_view> SplitCommas(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
    if (comma == std::string_view::npos) return parts;
    start = comma + 1;
  }
}

AudioChoice Refuse(std::string_view value, std::string_view reason) {
  AudioChoice choice;
  choice.backend = Backend::kInvalid;
  choice.problem = "QUARL_AUDIO=" + std::string(value) + std::string(reason);
  return choice;
}

}  // namespace

AudioChoice ParseAudioChoice(const char* raw) {
  const std::string_view value = raw ? raw : "";
  constexpr std::string_view kNotBackend =
      " is not a backend: use portaudio, null or wav:out=FILE and/or in=FILE";
  AudioChoice choice;
  std::vector<std::string_view> options;
  if (value.starts_with("wav:")) {
    choice.backend = Backend::kWav;
    options = SplitCommas(value.substr(4));
  } else {
    options = SplitCommas(value);
    const std::string_view name = options.front();
    options.erase(options.begin());
    if (name.empty() || name == "portaudio") {
      choice.backend = Backend::kPortAudio;
    } else if (name == "null") {
      choice.backend = Backend::kNull;
    } else {
      return Refuse(value, kNotBackend);
    }
  }
  for (std::string_view option : options) {
    uint64_t ms = 0;
    if (option.starts_with("fail-after=")) {
      if (!ParseMs(option.substr(11), &ms)) {
        return Refuse(value, ": fail-after takes a whole number of milliseconds");
      }
      choice.failAfterMs = ms;
    } else if (choice.backend == Backend::kWav && option.starts_with("out=")) {
      choice.outPath = option.substr(4);
    } else if (choice.backend == Backend::kWav && option.starts_with("in=")) {
      choice.inPath = option.substr(3);
    } else if (choice.backend == Backend::kWav && option == "fast") {
      choice.fast = true;
    } else {
      return Refuse(value, kNotBackend);
    }
  }
  if (choice.backend == Backend::kWav && choice.outPath.empty() && choice.inPath.empty()) {
    return Refuse(value, " names no file: use wav:out=FILE and/or in=FILE");
  }
  return choice;
}

AudioChoice CurrentAudioChoice() { return ParseAudioChoice(std::getenv("QUARL_AUDIO")); }

std::string FormatProblem(const tWAVEFORMATEX& f) {
  if (f.wFormatTag != kWaveFormatPcm) return "only linear PCM is supported";
  if (f.wBitsPerSample != 8 && f.wBitsPerSample != 16) return "only 8- or 16-bit samples are supported";
  if (f.nChannels != 1 && f.nChannels != 2) return "only mono or stereo is supported";
  if (f.nSamplesPerSec == 0) return "the sample rate is 0";
  if (f.nBlockAlign != f.nChannels * f.wBitsPerSample / 8) return "the block size does not match";
  return {};
}

std::string DescribeFormat(const tWAVEFORMATEX& f) {
  return std::to_string(f.nSamplesPerSec) + " Hz, " + std::to_string(f.nChannels) +
         (f.nChannels == 1 ? " channel, " : " channels, ") + std::to_string(f.wBitsPerSample) +
         "-bit";
}

uint64_t BytesForMs(const tWAVEFORMATEX& f, uint64_t ms) {
  return ms * f.nSamplesPerSec / 1000 * f.nBlockAlign;
}

std::string FailAfterText(uint64_t ms, bool recording) {
  return "the device stopped after " + std::to_string(ms) + " ms of " +
         (recording ? "recording" : "playing") + " (fail-after=" + std::to_string(ms) + ")";
}

int CheckWritable(const WaveHeader* header, const tWAVEFORMATEX& format) {
  if (!header) return kWaveError;
  const uint32_t flags = header->flags.load(std::memory_order_acquire);
  if (!(flags & kWaveHeaderPrepared)) return kWaveUnprepared;
  if (flags & kWaveHeaderInQueue) return kWaveStillPlaying;
  // A partial frame would shift every later sample to the wrong channel.
  if ((header->length && !header->data) || header->length % format.nBlockAlign) return kWaveError;
  return kWaveOk;
}

int BeginWrite(WaveHeader* header, const tWAVEFORMATEX& format, bool failed) {
  if (const int check = CheckWritable(header, format); check != kWaveOk) return check;
  if (failed) {
    FinishHeader(header, kWaveHeaderFailed);
    return kWaveError;
  }
  const uint32_t flags = header->flags.load(std::memory_order_relaxed);
  header->flags.store((flags | kWaveHeaderInQueue) & ~kWaveHeaderDone, std::memory_order_relaxed);
  return kWaveOk;
}

namespace {

template <class Device>
constexpr bool kInput = std::is_same_v<Device, WaveIn>;

// The backend actually used: PortAudio gives way to `null` when it has no device of this
// direction.
template <class Device>
Backend EffectiveBackend(const AudioChoice& choice) {
  if (choice.backend == Backend::kPortAudio &&
      !(kInput<Device> ? PortAudioInputAvailable() : PortAudioAvailable())) {
    return Backend::kNull;
  }
  return choice.backend;
}

}  // namespace

template <class Device>
uint32_t DeviceCount() {
  switch (EffectiveBackend<Device>(CurrentAudioChoice())) {
    case Backend::kPortAudio:
      return kInput<Device> ? PortAudioInputDeviceCount() : PortAudioDeviceCount();
    case Backend::kNull:
    case Backend::kWav:
      return 1;
    case Backend::kInvalid:
      break;
  }
  return 0;
}

template <class Info>
int DescribeDevice(uint32_t device, Info* info) {
  using Device = std::conditional_t<std::is_same_v<Info, WaveInDeviceInfo>, WaveIn, WaveOut>;
  if (!info) return kWaveError;
  const AudioChoice choice = CurrentAudioChoice();
  switch (EffectiveBackend<Device>(choice)) {
    case Backend::kPortAudio:
      return PortAudioDescribe(device, info);
    case Backend::kNull:
    case Backend::kWav: {
      if (device != 0 && device != kWaveDefaultDevice) return kWaveBadDevice;
      // A `wav` choice without a file for this direction plays or records nothing, as `null`
      // does.
      const std::string& path = kInput<Device> ? choice.inPath : choice.outPath;
      info->name = choice.backend == Backend::kWav && !path.empty() ? path : "null";
      info->defaultFormat = PcmFormat(44100, 2, 16);
      info->isDefault = true;
      return kWaveOk;
    }
    case Backend::kInvalid:
      break;
  }
  return kWaveBadDevice;
}

template <class Device>
std::string BackendName() {
  switch (EffectiveBackend<Device>(CurrentAudioChoice())) {
    case Backend::kPortAudio:
      return "portaudio";
    case Backend::kNull:
      return "null";
    case Backend::kWav:
      return "wav";
    case Backend::kInvalid:
      break;
  }
  return {};
}

template <class Device>
std::unique_ptr<Device> OpenDevice(uint32_t device, const tWAVEFORMATEX& format, int* result,
                                   std::string* why) {
  int ignoredResult = kWaveOk;
  std::string ignoredWhy;
  if (!result) result = &ignoredResult;
  if (!why) why = &ignoredWhy;
  why->clear();
  const AudioChoice choice = CurrentAudioChoice();
  const Backend backend = EffectiveBackend<Device>(choice);
  if (backend == Backend::kInvalid) {
    *result = kWaveBadDevice;
    *why = choice.problem;
    return nullptr;
  }
  if (backend != Backend::kPortAudio && device != 0 && device != kWaveDefaultDevice) {
    *result = kWaveBadDevice;
    *why = std::string(kInput<Device> ? "there is no input device " : "there is no sound device ");
    why->append(std::to_string(device))
        .append(" (the ")
        .append(backend == Backend::kWav ? "wav" : "null")
        .append(" backend has one, number 0)");
    return nullptr;
  }
  if (std::string problem = FormatProblem(format); !problem.empty()) {
    *result = kWaveBadFormat;
    *why = std::string(kInput<Device> ? "cannot record " : "cannot play ");
    why->append(DescribeFormat(format)).append(": ").append(problem);
    return nullptr;
  }
  *result = kWaveOk;
  AudioChoice software = choice;
  software.backend = backend;  // `null` when PortAudio had nothing to offer
  if constexpr (kInput<Device>) {
    if (backend == Backend::kPortAudio) return OpenPortAudioInput(device, choice, format, result, why);
    return OpenPacedInput(software, format, result, why);
  } else {
    if (backend == Backend::kPortAudio) return OpenPortAudioDevice(device, choice, format, result, why);
    return OpenPacedDevice(software, format, result, why);
  }
}

template uint32_t DeviceCount<WaveOut>();
template uint32_t DeviceCount<WaveIn>();
template int DescribeDevice(uint32_t, WaveOutDeviceInfo*);
template int DescribeDevice(uint32_t, WaveInDeviceInfo*);
template std::string BackendName<WaveOut>();
template std::string BackendName<WaveIn>();
template std::unique_ptr<WaveOut> OpenDevice(uint32_t, const tWAVEFORMATEX&, int*, std::string*);
template std::unique_ptr<WaveIn> OpenDevice(uint32_t, const tWAVEFORMATEX&, int*, std::string*);

int PrepareHeader(WaveHeader* header) {
  if (!header) return kWaveError;
  const uint32_t flags = header->flags.load(std::memory_order_acquire);
  if (flags & kWaveHeaderInQueue) return kWaveStillPlaying;
  header->flags.store((flags | kWaveHeaderPrepared) & ~(kWaveHeaderDone | kWaveHeaderFailed),
                      std::memory_order_relaxed);
  return kWaveOk;
}

int UnprepareHeader(WaveHeader* header) {
  if (!header) return kWaveError;
  const uint32_t flags = header->flags.load(std::memory_order_acquire);
  if (flags & kWaveHeaderInQueue) return kWaveStillPlaying;
  header->flags.store(flags & ~kWaveHeaderPrepared, std::memory_order_relaxed);
  return kWaveOk;
}

}  // namespace wave_out_detail

uint32_t WaveOutDeviceCount() { return DeviceCount<WaveOut>(); }

int WaveOutDeviceDescribe(uint32_t device, WaveOutDeviceInfo* info) {
  return DescribeDevice(device, info);
}

std::string WaveOutBackendName() { return BackendName<WaveOut>(); }

std::string WaveOutBackendProblem() { return CurrentAudioChoice().problem; }

const char* WaveResultText(int result) {
  switch (result) {
    case kWaveOk:
      return "no error";
    case kWaveError:
      return "the sound device failed";
    case kWaveBadDevice:
      return "there is no such sound device";
    case kWaveBusy:
      return "the sound device is in use by another program";
    case kWaveNoMemory:
      return "not enough memory for the sound device";
    case kWaveBadFormat:
      return "the sound device cannot play this format";
    case kWaveStillPlaying:
      return "the buffer is still playing";
    case kWaveUnprepared:
      return "the buffer was not prepared";
  }
  return "unknown sound device error";
}

std::unique_ptr<WaveOut> WaveOut::Open(uint32_t device, const tWAVEFORMATEX& format, int* result,
                                       std::string* why) {
  return OpenDevice<WaveOut>(device, format, result, why);
}

WaveOut::~WaveOut() = default;

int WaveOut::Prepare(WaveHeader* header) { return PrepareHeader(header); }

int WaveOut::Unprepare(WaveHeader* header) { return UnprepareHeader(header); }

}  // namespace platform
