// The software devices: `null` plays nothing and `wav` writes what it plays to a file. Both
// take bytes at the format's rate, measured on the monotonic clock by a thread of the device,
// or (`wav` with `fast`) all at once as soon as they are written.

#include <platform/clock.h>
#include <platform/wave_paced_device.h>

#include <algorithm>
#include <limits>

namespace platform::wave_out_detail {

namespace {

// How often a paced `wav` device writes the sizes, so that a killed process leaves a file
// that reads up to a few seconds before the end.
constexpr uint64_t kSizeUpdateMs = 2000;

class PacedWaveOut final : public PacedDevice<WaveOut> {
 public:
  PacedWaveOut(const tWAVEFORMATEX& format, bool fast, std::optional<uint64_t> failAfterMs,
               std::unique_ptr<PlayedBytesSink> sink)
      : PacedDevice(format, failAfterMs), fast_(fast), sink_(std::move(sink)) {
    lastSizeUpdateMs_ = monotonic_ms();
    if (!fast_) StartThread();
  }

  ~PacedWaveOut() override {
    StopThread();
    // Closing the sink writes the final sizes.
  }

  int Write(WaveHeader* header) override {
    std::lock_guard lock(mutex_);
    if (const int begun = BeginWrite(header, Format(), failed_); begun != kWaveOk) return begun;
    queue_.push_back(header);
    if (starved_) {
      ++underruns_;
      starved_ = false;
    }
    if (fast_) {
      if (!paused_) PlayLocked(std::numeric_limits<uint64_t>::max());
    } else {
      wake_.notify_all();
    }
    return failed_ ? kWaveError : kWaveOk;
  }

  int Pause() override {
    std::lock_guard lock(mutex_);
    if (ClockRunsLocked()) TickLocked();  // what was due up to now still plays
    paused_ = true;
    return kWaveOk;
  }

  int Restart() override {
    std::lock_guard lock(mutex_);
    if (!paused_) return kWaveOk;
    paused_ = false;
    needAnchor_ = true;
    if (fast_) {
      PlayLocked(std::numeric_limits<uint64_t>::max());
    } else {
      wake_.notify_all();
    }
    return kWaveOk;
  }

  int Reset() override {
    std::lock_guard lock(mutex_);
    FinishAllLocked(0);
    position_.store(0, std::memory_order_release);
    starved_ = false;
    hadData_ = false;
    needAnchor_ = true;
    return kWaveOk;
  }

  uint64_t Underruns() override {
    std::lock_guard lock(mutex_);
    return underruns_;
  }

 private:
  bool ClockRunsLocked() const override {
    return !fast_ && !paused_ && !failed_ && !stopping_ && !queue_.empty();
  }

  void StepLocked(uint64_t frames) override { PlayLocked(frames * Format().nBlockAlign); }

  // Takes up to `bytes` from the queue, in order, marking each header done once all of it
  // has been taken.
  void PlayLocked(uint64_t bytes) {
    while (!queue_.empty() && !failed_) {
      WaveHeader* header = queue_.front();
      const uint64_t n = std::min({uint64_t{header->length - offset_}, bytes, RoomLocked()});
      if (n && sink_) {
        std::string why;
        if (!sink_->Append(header->data + offset_, n, &why)) {
          FailLocked(why);
          return;
        }
      }
      offset_ += static_cast<uint32_t>(n);
      position_.store(position_.load(std::memory_order_relaxed) + n, std::memory_order_release);
      CountLocked(n);
      bytes -= n;
      if (n) hadData_ = true;
      if (offset_ == header->length) {
        queue_.pop_front();
        offset_ = 0;
        FinishHeader(header);
      }
      CheckFailAfterLocked();
      if (bytes == 0 || offset_ != 0) break;  // offset_: held back by fail-after
    }
    // The device will want more than it has: a gap, if another header comes.
    if (queue_.empty() && hadData_ && !fast_) starved_ = true;
    if (sink_ && !failed_) {
      const uint64_t now = monotonic_ms();
      if (now - lastSizeUpdateMs_ >= kSizeUpdateMs) {
        lastSizeUpdateMs_ = now;
        std::string why;
        if (!sink_->UpdateSizes(&why)) FailLocked(why);
      }
    }
  }

  const bool fast_;
  std::unique_ptr<PlayedBytesSink> sink_;
  uint64_t underruns_ = 0;
  bool starved_ = false;
  bool hadData_ = false;
  bool paused_ = false;
  uint64_t lastSizeUpdateMs_ = 0;
};

}  // namespace

std::unique_ptr<WaveOut> OpenPacedDevice(const AudioChoice& choice, const tWAVEFORMATEX& format,
                                         int* result, std::string* why) {
  std::unique_ptr<PlayedBytesSink> sink;
  // Without an out path (a `wav` choice for recording only) nothing is written: `null`.
  if (choice.backend == Backend::kWav && !choice.outPath.empty()) {
    sink = OpenWavFile(choice.outPath, format, why);
    if (!sink) {
      *result = kWaveError;
      return nullptr;
    }
  }
  *result = kWaveOk;
  return std::make_unique<PacedWaveOut>(format, sink && choice.fast,
                                        choice.failAfterMs, std::move(sink));
}

}  // namespace platform::wave_out_detail
