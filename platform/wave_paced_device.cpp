// The clock-driven thread, queue and failure of the software devices (wave_paced_device.h).

#include <platform/clock.h>
#include <platform/wave_paced_device.h>

#include <chrono>
#include <limits>

namespace platform::wave_out_detail {

namespace {

constexpr auto kTick = std::chrono::milliseconds(5);

}  // namespace

template <class Device>
PacedDevice<Device>::PacedDevice(const tWAVEFORMATEX& format, std::optional<uint64_t> failAfterMs)
    : Device(format) {
  if (failAfterMs) {
    failAfterMs_ = *failAfterMs;
    failAfterBytes_ = BytesForMs(format, *failAfterMs);
  }
}

template <class Device>
void PacedDevice<Device>::StartThread() {
  thread_ = std::thread([this] { Run(); });
}

template <class Device>
void PacedDevice<Device>::StopThread() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    FinishAllLocked(0);
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

template <class Device>
int PacedDevice<Device>::PositionBytes(uint64_t* bytes) {
  if (!bytes) return kWaveError;
  std::lock_guard lock(mutex_);
  if (ClockRunsLocked()) TickLocked();
  *bytes = position_.load(std::memory_order_acquire);
  return kWaveOk;
}

template <class Device>
int PacedDevice<Device>::Poll() {
  std::lock_guard lock(mutex_);
  CheckFailAfterLocked();
  return failed_ ? kWaveError : kWaveOk;
}

template <class Device>
std::string PacedDevice<Device>::ErrorText() {
  std::lock_guard lock(mutex_);
  return error_;
}

template <class Device>
void PacedDevice<Device>::Run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (!ClockRunsLocked()) {
      // Nothing to play, or not recording: the clock stops, and starts afresh when it runs
      // again, so that the time spent waiting is not owed as a burst later.
      needAnchor_ = true;
      wake_.wait(lock);
      continue;
    }
    if (needAnchor_) TickLocked();  // the clock starts now
    wake_.wait_for(lock, kTick);
    if (ClockRunsLocked()) TickLocked();
  }
}

template <class Device>
void PacedDevice<Device>::TickLocked() {
  const uint64_t now = monotonic_ms();
  if (needAnchor_) {
    anchorMs_ = now;
    clockFrames_ = 0;
    needAnchor_ = false;
    return;
  }
  const uint64_t frames = (now - anchorMs_) * this->Format().nSamplesPerSec / 1000;
  const uint64_t due = frames - clockFrames_;
  clockFrames_ = frames;
  if (due) StepLocked(due);
}

template <class Device>
uint64_t PacedDevice<Device>::RoomLocked() const {
  if (!failAfterBytes_) return std::numeric_limits<uint64_t>::max();
  return *failAfterBytes_ - std::min(*failAfterBytes_, streamed_);
}

template <class Device>
void PacedDevice<Device>::CheckFailAfterLocked() {
  if (!failed_ && failAfterBytes_ && streamed_ >= *failAfterBytes_) {
    FailLocked(FailAfterText(failAfterMs_, kInput));
  }
}

template <class Device>
void PacedDevice<Device>::FailLocked(const std::string& why) {
  failed_ = true;
  error_ = why;
  FinishAllLocked(kWaveHeaderFailed);
  wake_.notify_all();
}

template <class Device>
void PacedDevice<Device>::FinishAllLocked(uint32_t extra) {
  for (WaveHeader* header : queue_) {
    if constexpr (kInput) header->bytesRecorded = header == queue_.front() ? offset_ : 0;
    FinishHeader(header, extra);
  }
  queue_.clear();
  offset_ = 0;
}

template class PacedDevice<WaveOut>;
template class PacedDevice<WaveIn>;

}  // namespace platform::wave_out_detail
