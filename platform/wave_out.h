#pragma once

#include <platform/visibility.h>
#include <platform/wave_format.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// Wave output: a device plays the headers queued on it, in order, and sets each one's done flag
// once its bytes have been played. Nothing is signalled; the engine polls the flags.
//
// The backend comes from QUARL_AUDIO, read when a device is listed or opened:
//   (unset) or "portaudio"    real devices through PortAudio; the `null` device when there is none
//   "null"                    one device paced by the clock that plays nothing
//   "wav:out=PATH[,fast]"     one device that writes what it plays to a wave file at PATH, paced
//                             by the clock, or as fast as it is fed with `fast`; a reopen of
//                             the same path in the same format within one process continues
//                             the file, so that a capture spans the program's stops
//   "wav:in=PATH[,fast]"      for recording (wave_in.h); may be combined with out= in any order
//                             ("wav:out=o.wav,in=i.wav,fast"). Without out= the output device
//                             plays nothing, paced by the clock as `null` is.
// For tests, any of them may end in `,fail-after=MS`: the device then fails once MS milliseconds
// have been played, as a device that disappears does ("null,fail-after=500").
// PortAudio's start-up messages (JACK and ALSA probing) are hidden unless QUARL_AUDIO_DEBUG is set.
namespace platform {

constexpr uint32_t kWaveDefaultDevice = 0xFFFFFFFF;

// Results of the device operations.
enum WaveResult : int {
  kWaveOk = 0,
  kWaveError = 1,          // the device failed; ErrorText says how
  kWaveBadDevice = 2,      // no device with that number
  kWaveBusy = 4,           // the device is in use by another program
  kWaveNoMemory = 7,
  kWaveBadFormat = 32,     // the device cannot play this format
  kWaveStillPlaying = 33,  // the header is still queued
  kWaveUnprepared = 34,    // the header was not prepared
};

// Header flags.
constexpr uint32_t kWaveHeaderDone = 0x01;      // played (or failed); the buffer is free again
constexpr uint32_t kWaveHeaderPrepared = 0x02;
constexpr uint32_t kWaveHeaderInQueue = 0x10;   // written and not yet done
constexpr uint32_t kWaveHeaderFailed = 0x100;   // done because the device failed, not played

// One buffer handed to a device (output or input, wave_in.h). The caller owns the header and its bytes; they must stay
// untouched from Write until the done flag is set.
struct WaveHeader {
  unsigned char* data = nullptr;
  uint32_t length = 0;  // bytes, a whole number of frames
  // Input: the bytes filled, valid once the header is done (the done flag publishes it).
  uint32_t bytesRecorded = 0;
  std::atomic<uint32_t> flags{0};
};

struct WaveOutDeviceInfo {
  std::string name;
  tWAVEFORMATEX defaultFormat{};  // the device's preferred rate and channels, 16-bit
  bool isDefault = false;         // the device that kWaveDefaultDevice opens
};

// Devices of the chosen backend, numbered from 0.
PLATFORM_API uint32_t WaveOutDeviceCount();
// kWaveOk and `*info`, or kWaveBadDevice. kWaveDefaultDevice describes the default device.
PLATFORM_API int WaveOutDeviceDescribe(uint32_t device, WaveOutDeviceInfo* info);
// The backend in use, as the user would name it ("portaudio", "null", "wav"): "null" when
// PortAudio found no output device, empty when QUARL_AUDIO names no backend.
PLATFORM_API std::string WaveOutBackendName();
// Why QUARL_AUDIO names no backend (it then has no devices); empty when it does.
PLATFORM_API std::string WaveOutBackendProblem();
// A line that explains a result code.
PLATFORM_API const char* WaveResultText(int result);

class PLATFORM_API WaveOut {
 public:
  // Opens `device` (kWaveDefaultDevice: the default one) for linear PCM `format` of 8 or 16 bits,
  // one or two channels. Null on failure, with the reason in `*result` and `*why`.
  static std::unique_ptr<WaveOut> Open(uint32_t device, const tWAVEFORMATEX& format, int* result,
                                       std::string* why = nullptr);

  WaveOut(const WaveOut&) = delete;
  WaveOut& operator=(const WaveOut&) = delete;
  // Resets (queued headers become done) and closes the device.
  virtual ~WaveOut();

  // Marks a header prepared and clears its done flag; a queued header is refused.
  int Prepare(WaveHeader* header);
  int Unprepare(WaveHeader* header);

  // Queues a prepared header behind the others. The device plays it unless paused. A length
  // that is not whole frames is refused (kWaveError). On a failed device the header is done at
  // once with kWaveHeaderFailed and the result is kWaveError.
  virtual int Write(WaveHeader* header) = 0;
  // Stops playing where it is; queued headers wait.
  virtual int Pause() = 0;
  virtual int Restart() = 0;
  // Stops playing, marks every queued header done and sets the position to 0. A paused device
  // stays paused.
  virtual int Reset() = 0;
  // Bytes played since the device was opened or last reset (the silence it plays between
  // headers does not count).
  virtual int PositionBytes(uint64_t* bytes) = 0;
  // Lets the device notice a failure that nothing reports by itself (a stream that ended or
  // stalled). kWaveOk while it works; once it has failed, kWaveError from here on and every
  // queued header is done with kWaveHeaderFailed. Cheap: the engine calls it on every pass.
  virtual int Poll() = 0;
  // Times the device had to play silence because the next header came too late: the queue ran
  // dry and another header came later (the end of playback is no underrun), plus the gaps the
  // sound system itself reports.
  virtual uint64_t Underruns() = 0;
  // Why the device failed; empty while it works.
  virtual std::string ErrorText() = 0;

  const tWAVEFORMATEX& Format() const { return format_; }

 protected:
  explicit WaveOut(const tWAVEFORMATEX& format) : format_(format) {}

 private:
  tWAVEFORMATEX format_;
};

}  // namespace platform
