#include <platform/wave_in.h>
#include <platform/wave_out_backend.h>

namespace platform {

using namespace wave_out_detail;

namespace {

// The backend actually used: PortAudio gives way to `null` when it has no input device.
Backend EffectiveInputBackend(const AudioChoice& choice) {
  if (choice.backend == Backend::kPortAudio && !PortAudioInputAvailable()) return Backend::kNull;
  return choice.backend;
}

}  // namespace

uint32_t WaveInDeviceCount() {
  switch (EffectiveInputBackend(CurrentAudioChoice())) {
    case Backend::kPortAudio:
      return PortAudioInputDeviceCount();
    case Backend::kNull:
    case Backend::kWav:
      return 1;
    case Backend::kInvalid:
      break;
  }
  return 0;
}

int WaveInDeviceDescribe(uint32_t device, WaveInDeviceInfo* info) {
  if (!info) return kWaveError;
  const AudioChoice choice = CurrentAudioChoice();
  switch (EffectiveInputBackend(choice)) {
    case Backend::kPortAudio:
      return PortAudioInputDescribe(device, info);
    case Backend::kNull:
    case Backend::kWav:
      if (device != 0 && device != kWaveDefaultDevice) return kWaveBadDevice;
      info->name = choice.backend == Backend::kWav && !choice.inPath.empty() ? choice.inPath
                                                                             : "null";
      info->defaultFormat = PcmFormat(44100, 2, 16);
      info->isDefault = true;
      return kWaveOk;
    case Backend::kInvalid:
      break;
  }
  return kWaveBadDevice;
}

std::string WaveInBackendName() {
  switch (EffectiveInputBackend(CurrentAudioChoice())) {
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

std::unique_ptr<WaveIn> WaveIn::Open(uint32_t device, const tWAVEFORMATEX& format, int* result,
                                     std::string* why) {
  int ignoredResult = kWaveOk;
  std::string ignoredWhy;
  if (!result) result = &ignoredResult;
  if (!why) why = &ignoredWhy;
  why->clear();
  const AudioChoice choice = CurrentAudioChoice();
  const Backend backend = EffectiveInputBackend(choice);
  if (backend == Backend::kInvalid) {
    *result = kWaveBadDevice;
    *why = choice.problem;
    return nullptr;
  }
  if (backend != Backend::kPortAudio && device != 0 && device != kWaveDefaultDevice) {
    *result = kWaveBadDevice;
    *why = "there is no input device " + std::to_string(device) + " (the " +
           (backend == Backend::kWav ? "wav" : "null") + " backend has one, number 0)";
    return nullptr;
  }
  if (std::string problem = FormatProblem(format); !problem.empty()) {
    *result = kWaveBadFormat;
    *why = "cannot record " + DescribeFormat(format) + ": " + problem;
    return nullptr;
  }
  *result = kWaveOk;
  if (backend == Backend::kPortAudio) return OpenPortAudioInput(device, choice, format, result, why);
  AudioChoice software = choice;
  software.backend = backend;  // `null` when PortAudio had no input device
  return OpenPacedInput(software, format, result, why);
}

WaveIn::~WaveIn() = default;

// The same bookkeeping as for output headers.
int WaveIn::Prepare(WaveHeader* header) {
  if (!header) return kWaveError;
  const uint32_t flags = header->flags.load(std::memory_order_acquire);
  if (flags & kWaveHeaderInQueue) return kWaveStillPlaying;
  header->flags.store((flags | kWaveHeaderPrepared) & ~(kWaveHeaderDone | kWaveHeaderFailed),
                      std::memory_order_relaxed);
  return kWaveOk;
}

int WaveIn::Unprepare(WaveHeader* header) {
  if (!header) return kWaveError;
  const uint32_t flags = header->flags.load(std::memory_order_acquire);
  if (flags & kWaveHeaderInQueue) return kWaveStillPlaying;
  header->flags.store(flags & ~kWaveHeaderPrepared, std::memory_order_relaxed);
  return kWaveOk;
}

}  // namespace platform
