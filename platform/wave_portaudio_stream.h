#pragma once

// What the PortAudio output and input devices share (wave_out_portaudio.cpp,
// wave_in_portaudio.cpp): PortAudio's device lists, and the life of a stream (open, start, stop
// or abort, the failure that ends it, the watch Poll keeps on it) with the ring that hands
// headers to the audio callback. Not exported.
//
// The audio callback runs on PortAudio's real-time thread: it takes no lock, allocates nothing
// and touches no file. Headers reach it through a single-producer single-consumer ring; it owns
// the header it is playing or filling until it marks it done. The control calls hold one mutex
// among themselves; whenever they need the callback's state they stop the stream first, after
// which that state is theirs until the stream starts again.

#include <platform/wave_out_backend.h>

#include <portaudio.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>

namespace platform::wave_out_detail {

// Finds `device` (kWaveDefaultDevice: the default one) among PortAudio's input devices
// (`input`) or output devices and asks PortAudio first whether it takes `format`, so that a
// refused format is told apart from a device that fails to open. kWaveOk with the stream's
// `*parameters` and the device's `*name`, else the result with the reason in `*why`.
int PortAudioParameters(bool input, uint32_t device, const tWAVEFORMATEX& format,
                        PaStreamParameters* parameters, std::string* name, std::string* why);

// A device of either direction (`Device`: WaveOut or WaveIn) over one PortAudio stream. The
// device adds its callback's work and its own calls; this keeps the stream, the ring, the
// position and the failure.
template <class Device>
class PortAudioDevice : public Device {
 public:
  PortAudioDevice(const tWAVEFORMATEX& format, std::string name,
                  std::optional<uint64_t> failAfterMs);

  int PositionBytes(uint64_t* bytes) override;
  // Fails the device once fail-after's bytes have gone through, when the stream is no longer
  // active, or when it stalls: a running stream that calls back no more for kStallMs (for
  // output, only while headers wait: an idle output stream may be left alone).
  int Poll() override;
  std::string ErrorText() override;

 protected:
  static constexpr bool kInput = std::is_same_v<Device, WaveIn>;
  static constexpr uint32_t kRingSize = 1024;
  // A stream that makes no progress this long has stopped for good (a device unplugged, a
  // sound server gone).
  static constexpr uint64_t kStallMs = 2000;

  // Opens the stream, stopped, with `callback` called on this device; kWaveOk or the mapped
  // error with `*why`.
  int OpenStream(const PaStreamParameters& parameters, PaStreamCallback* callback,
                 std::string* why);
  // For the device's destructor, while the callback's state still exists: aborts the stream,
  // hands back every header and closes the stream.
  void CloseStream();

  // The checks of Write or AddBuffer, then the header into the ring (an input header with
  // bytesRecorded 0); kWaveError when the ring is full.
  int QueueLocked(WaveHeader* header);
  // The callback's side of the ring: makes the next queued header current_; false when none
  // waits.
  bool TakeNext();
  // The callback is done with current_ (an input header: full).
  void FinishCurrent();

  bool StartLocked();
  // After this the callback no longer runs and its state belongs to the control side.
  bool StopLocked(bool drain);
  void FailLocked(const std::string& why);
  // The stream is stopped: finishes the header being worked on (an input header with what it
  // holds) and every header still in the ring (empty).
  void FinishAllLocked(uint32_t extra);

  const std::string name_;
  const unsigned char silence_;
  std::optional<uint64_t> failAfterBytes_;

  // Hand-over from the control side (head) to the callback (tail).
  std::array<WaveHeader*, kRingSize> ring_{};
  std::atomic<uint32_t> head_{0};
  std::atomic<uint32_t> tail_{0};

  // The callback's own, or the control side's while the stream is stopped.
  WaveHeader* current_ = nullptr;
  uint32_t offset_ = 0;

  // Played or recorded into headers since open or reset (for input: since Start); published
  // (release) after the bytes it covers.
  std::atomic<uint64_t> position_{0};
  std::atomic<uint64_t> streamed_{0};  // played or taken since open, for fail-after
  std::atomic<uint64_t> callbacks_{0};
  std::atomic<uint32_t> pending_{0};  // queued and not yet done

  std::mutex mutex_;  // the control side
  bool running_ = false;
  bool failed_ = false;
  std::string error_;

 private:
  PaStream* stream_ = nullptr;
  uint64_t failAfterMs_ = 0;
  uint64_t lastCallbacks_ = 0;
  uint64_t lastProgressMs_ = 0;
};

extern template class PortAudioDevice<WaveOut>;
extern template class PortAudioDevice<WaveIn>;

}  // namespace platform::wave_out_detail
