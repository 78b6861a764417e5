#pragma once

#include <platform/visibility.h>
#include <platform/wave_format.h>
#include <platform/wave_out.h>

#include <cstdint>
#include <memory>
#include <string>

// Wave input: a device fills the headers queued on it, in order, and sets each one's done flag
// (with `bytesRecorded`) once it is full, or when Stop or Reset hands it back early. Nothing is
// signalled; the engine polls the flags. Input that arrives while no header is queued is lost
// and counted (Overruns).
//
// The backend is the one QUARL_AUDIO chooses for output (see wave_out.h):
//   (unset) or "portaudio"    real input devices through PortAudio; `null` when there is none
//   "null"                    one device paced by the clock that records silence
//   "wav:in=PATH[,fast]"      one device that records the wave file at PATH (converted to the
//                             recording format's channels and sample size; its rate must be the
//                             recording rate), paced by the clock, or as fast as headers are
//                             queued with `fast` (it then waits for a free header rather than
//                             losing input). After the file's end it records silence, paced by
//                             the clock in either mode. `out=PATH` may be given too, for the
//                             output side; without `in=` the wav backend records silence.
// `,fail-after=MS` makes the device fail once MS milliseconds of input have come (recorded or
// lost).
//
// The bytes a device has written into a header are final once PositionBytes() counts them: it
// publishes the position (release) after writing them and never writes there again, so the
// engine may read a header's filled part while the device fills the rest.
namespace platform {

struct WaveInDeviceInfo {
  std::string name;
  tWAVEFORMATEX defaultFormat{};  // the device's preferred rate and channels, 16-bit
  bool isDefault = false;         // the device that kWaveDefaultDevice opens
};

// Input devices of the chosen backend, numbered from 0 (their own numbering, not that of the
// output devices).
PLATFORM_API uint32_t WaveInDeviceCount();
// kWaveOk and `*info`, or kWaveBadDevice. kWaveDefaultDevice describes the default device.
PLATFORM_API int WaveInDeviceDescribe(uint32_t device, WaveInDeviceInfo* info);
// The input backend in use ("portaudio", "null", "wav"): "null" when PortAudio found no input
// device, empty when QUARL_AUDIO names no backend.
PLATFORM_API std::string WaveInBackendName();

class PLATFORM_API WaveIn {
 public:
  // Opens input `device` (kWaveDefaultDevice: the default one) for linear PCM `format` of 8 or
  // 16 bits, one or two channels. The device is stopped: headers may be added, nothing is
  // recorded until Start. Null on failure, with the reason in `*result` and `*why`.
  static std::unique_ptr<WaveIn> Open(uint32_t device, const tWAVEFORMATEX& format, int* result,
                                      std::string* why = nullptr);

  WaveIn(const WaveIn&) = delete;
  WaveIn& operator=(const WaveIn&) = delete;
  // Resets (queued headers become done) and closes the device.
  virtual ~WaveIn();

  // Marks a header prepared and clears its done flag; a queued header is refused.
  int Prepare(WaveHeader* header);
  int Unprepare(WaveHeader* header);

  // Queues a prepared header behind the others, to be filled; its bytesRecorded becomes 0. A
  // length that is not whole frames, or 0, is refused (kWaveError). On a failed device the
  // header is done at once with kWaveHeaderFailed and the result is kWaveError.
  virtual int AddBuffer(WaveHeader* header) = 0;
  // Starts recording into the queued headers (and into those added later).
  virtual int Start() = 0;
  // Stops recording. The header being filled is done at once with the bytes it holds (when it
  // holds any); the empty ones stay queued. The position keeps its value.
  virtual int Stop() = 0;
  // Stops recording, marks every queued header done (with what each holds) and sets the
  // position to 0.
  virtual int Reset() = 0;
  // Bytes recorded into headers since Start (after a Reset: since the next Start); lost input
  // is not counted, so that the position maps onto the headers in the order they were queued.
  // Every backend answers in bytes.
  virtual int PositionBytes(uint64_t* bytes) = 0;
  // Lets the device notice a failure nothing reports by itself. kWaveOk while it works; once it
  // has failed, kWaveError from here on and every queued header is done with
  // kWaveHeaderFailed. Cheap: the engine calls it on every pass.
  virtual int Poll() = 0;
  // Times input arrived while no header was queued, and was lost (once for each such stretch),
  // plus the input the sound system itself reports as lost.
  virtual uint64_t Overruns() = 0;
  // Why the device failed; empty while it works.
  virtual std::string ErrorText() = 0;

  const tWAVEFORMATEX& Format() const { return format_; }

 protected:
  explicit WaveIn(const tWAVEFORMATEX& format) : format_(format) {}

 private:
  tWAVEFORMATEX format_;
};

}  // namespace platform
