#pragma once

// Pieces the wave output and input backends share; not exported.

#include <platform/wave_in.h>
#include <platform/wave_out.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform::wave_out_detail {

enum class Backend { kPortAudio, kNull, kWav, kInvalid };

// QUARL_AUDIO taken apart.
struct AudioChoice {
  Backend backend = Backend::kPortAudio;
  std::string outPath;                  // wav: out=
  std::string inPath;                   // wav: in= (recording side; output ignores it)
  bool fast = false;                    // wav: play as fast as fed, record as fast as headers come
  std::optional<uint64_t> failAfterMs;  // fail-after=
  std::string problem;                  // why the value is refused (kInvalid)
};

AudioChoice ParseAudioChoice(const char* value);
// The choice of the current environment.
AudioChoice CurrentAudioChoice();

// Empty when the device can play `format` (linear PCM, 8 or 16 bits, 1 or 2 channels).
std::string FormatProblem(const tWAVEFORMATEX& format);
// "44100 Hz, 2 channels, 16-bit" for messages.
std::string DescribeFormat(const tWAVEFORMATEX& format);

// Bytes of `format` in `ms` milliseconds, whole frames.
uint64_t BytesForMs(const tWAVEFORMATEX& format, uint64_t ms);

// Why a device with `fail-after=MS` stopped.
std::string FailAfterText(uint64_t ms, bool recording = false);

// Marks a header played: done, out of the queue; `extra` adds kWaveHeaderFailed. The release
// store publishes that the device has let go of the bytes.
inline void FinishHeader(WaveHeader* header, uint32_t extra = 0) {
  const uint32_t flags = header->flags.load(std::memory_order_relaxed);
  header->flags.store((flags & ~kWaveHeaderInQueue) | kWaveHeaderDone | extra,
                      std::memory_order_release);
}

// What the public functions of wave_out.h and wave_in.h do alike, once for both; `Device` is
// WaveOut or WaveIn. PortAudio gives way to `null` when it has no device of that direction.
template <class Device>
uint32_t DeviceCount();
// `Info` is WaveOutDeviceInfo or WaveInDeviceInfo (the same fields).
template <class Info>
int DescribeDevice(uint32_t device, Info* info);
template <class Device>
std::string BackendName();
template <class Device>
std::unique_ptr<Device> OpenDevice(uint32_t device, const tWAVEFORMATEX& format, int* result,
                                   std::string* why);

// Header bookkeeping, the same for output and input headers: Prepare marks a header prepared
// and clears its done flag, Unprepare takes the mark away; a queued header is refused.
int PrepareHeader(WaveHeader* header);
int UnprepareHeader(WaveHeader* header);

// The checks every Write makes before queueing; kWaveOk when the header may be queued.
int CheckWritable(const WaveHeader* header, const tWAVEFORMATEX& format);

// The start of every Write: the checks, then, on a device that has failed, the header done at
// once as failed (kWaveError); else the header marked queued (kWaveOk) for the caller to queue.
int BeginWrite(WaveHeader* header, const tWAVEFORMATEX& format, bool failed);

// Where a `wav` device writes what it plays: a RIFF WAVE file, created at open (or continued,
// when this process opened the same path with the same format before), its sizes kept up to
// date every few seconds and at close.
class PlayedBytesSink {
 public:
  virtual ~PlayedBytesSink() = default;
  // False, with the reason in `*why`, when the file refuses the bytes.
  virtual bool Append(const unsigned char* data, size_t size, std::string* why) = 0;
  virtual bool UpdateSizes(std::string* why) = 0;
};
std::unique_ptr<PlayedBytesSink> OpenWavFile(const std::string& path, const tWAVEFORMATEX& format,
                                             std::string* why);

// The devices that play through the clock: `null` and `wav` (to the out path; without one it
// plays nothing, as `null` does).
std::unique_ptr<WaveOut> OpenPacedDevice(const AudioChoice& choice, const tWAVEFORMATEX& format,
                                         int* result, std::string* why);

// The input devices paced by the clock: `null` and `wav` (from the in path; without one it
// records silence, as `null` does).
std::unique_ptr<WaveIn> OpenPacedInput(const AudioChoice& choice, const tWAVEFORMATEX& format,
                                       int* result, std::string* why);

// PortAudio. Available() initialises PortAudio once per process and says whether it found at
// least one output device; when it did not, the caller falls back to `null`. The input side
// shares that initialisation and numbers its own devices: those with input channels.
bool PortAudioAvailable();
uint32_t PortAudioDeviceCount();
int PortAudioDescribe(uint32_t device, WaveOutDeviceInfo* info);
int PortAudioDescribe(uint32_t device, WaveInDeviceInfo* info);
std::unique_ptr<WaveOut> OpenPortAudioDevice(uint32_t device, const AudioChoice& choice,
                                             const tWAVEFORMATEX& format, int* result,
                                             std::string* why);
bool PortAudioInputAvailable();
uint32_t PortAudioInputDeviceCount();
// Our result code for a PortAudio error, with the text that explains it in `*detail`.
int PortAudioResult(int error, std::string* detail);
std::unique_ptr<WaveIn> OpenPortAudioInput(uint32_t device, const AudioChoice& choice,
                                           const tWAVEFORMATEX& format, int* result,
                                           std::string* why);

}  // namespace platform::wave_out_detail
