#pragma once

// What the software output and input devices share (wave_out_paced.cpp, wave_in_paced.cpp):
// a thread of the device that moves bytes at the format's rate, measured on the monotonic
// clock, the queue of headers it moves them through, and the failure (fail-after included)
// that ends the device. Not exported.
//
// All state is under one mutex.

#include <platform/wave_out_backend.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>

namespace platform::wave_out_detail {

// A device of either direction (`Device`: WaveOut or WaveIn) paced by the clock. The device
// says when the clock runs and what a step of it does.
template <class Device>
class PacedDevice : public Device {
 public:
  PacedDevice(const tWAVEFORMATEX& format, std::optional<uint64_t> failAfterMs);

  int PositionBytes(uint64_t* bytes) override;
  int Poll() override;
  std::string ErrorText() override;

 protected:
  static constexpr bool kInput = std::is_same_v<Device, WaveIn>;

  // Starts the device's thread; the last thing the device's constructor does.
  void StartThread();
  // For the device's destructor: hands back every header and ends the thread.
  void StopThread();

  // Whether the clock runs now (something to play, or recording).
  virtual bool ClockRunsLocked() const = 0;
  // Plays or records (or loses) the `frames` frames the clock owes.
  virtual void StepLocked(uint64_t frames) = 0;

  // Pays out the frames the clock owes since the last call; the first call after needAnchor_
  // only starts the clock.
  void TickLocked();
  // Bytes that may still go through before fail-after ends the device (no limit: the most).
  uint64_t RoomLocked() const;
  // Counts `bytes` more played or taken, for fail-after.
  void CountLocked(uint64_t bytes) { streamed_ += bytes; }
  // Fails the device once fail-after's bytes have been counted.
  void CheckFailAfterLocked();
  void FailLocked(const std::string& why);
  // Hands back every queued header (an input header: the first with what it holds, the
  // others empty).
  void FinishAllLocked(uint32_t extra);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<WaveHeader*> queue_;
  uint32_t offset_ = 0;  // bytes of the front header already played or filled
  // Played since open or reset, or written into headers since Start; published (release)
  // after the bytes it covers.
  std::atomic<uint64_t> position_{0};
  bool failed_ = false;
  bool stopping_ = false;
  std::string error_;
  bool needAnchor_ = true;

 private:
  void Run();

  uint64_t failAfterMs_ = 0;
  std::optional<uint64_t> failAfterBytes_;
  uint64_t streamed_ = 0;  // played or taken since open, for fail-after
  uint64_t anchorMs_ = 0;
  uint64_t clockFrames_ = 0;  // frames the clock has paid out since the anchor
  std::thread thread_;
};

extern template class PacedDevice<WaveOut>;
extern template class PacedDevice<WaveIn>;

}  // namespace platform::wave_out_detail
