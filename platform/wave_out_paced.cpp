// The software devices: `null` plays nothing and `wav` writes what it plays to a file. Both
// take bytes at the format's rate, measured on the monotonic clock by a thread of the device,
// or (`wav` with `fast`) all at once as soon as they are written.

#include <platform/clock.h>
#include <platform/wave_out_backend.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>

namespace platform::wave_out_detail {

namespace {

constexpr auto kTick = std::chrono::milliseconds(5);
// How often a paced `wav` device writes the sizes, so that a killed process leaves a file
// that reads up to a few seconds before the end.
constexpr uint64_t kSizeUpdateMs = 2000;

class PacedWaveOut final : public WaveOut {
 public:
  PacedWaveOut(const tWAVEFORMATEX& format, bool fast, std::optional<uint64_t> failAfterMs,
               std::unique_ptr<PlayedBytesSink> sink)
      : WaveOut(format), fast_(fast), sink_(std::move(sink)) {
    if (failAfterMs) {
      failAfterMs_ = *failAfterMs;
      failAfterBytes_ = BytesForMs(format, *failAfterMs);
    }
    lastSizeUpdateMs_ = monotonic_ms();
    if (!fast_) thread_ = std::thread([this] { Run(); });
  }

  ~PacedWaveOut() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      FinishAllLocked(0);
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
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
    if (Running()) TickLocked();  // what was due up to now still plays
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
    position_ = 0;
    starved_ = false;
    hadData_ = false;
    needAnchor_ = true;
    return kWaveOk;
  }

  int PositionBytes(uint64_t* bytes) override {
    if (!bytes) return kWaveError;
    std::lock_guard lock(mutex_);
    if (Running()) TickLocked();
    *bytes = position_;
    return kWaveOk;
  }

  int Poll() override {
    std::lock_guard lock(mutex_);
    CheckFailAfterLocked();
    return failed_ ? kWaveError : kWaveOk;
  }

  uint64_t Underruns() override {
    std::lock_guard lock(mutex_);
    return underruns_;
  }

  std::string ErrorText() override {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  bool Running() const { return !fast_ && !paused_ && !failed_ && !stopping_ && !queue_.empty(); }

  void Run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (!Running()) {
        // Nothing to play: the clock stops, and starts afresh with the next header, so that
        // the time spent waiting is not owed as a burst later.
        needAnchor_ = true;
        wake_.wait(lock);
        continue;
      }
      if (needAnchor_) TickLocked();  // the clock starts now
      wake_.wait_for(lock, kTick);
      if (Running()) TickLocked();
    }
  }

  // Plays the bytes the clock owes since the last call.
  void TickLocked() {
    const uint64_t now = monotonic_ms();
    if (needAnchor_) {
      anchorMs_ = now;
      clockFrames_ = 0;
      needAnchor_ = false;
      return;
    }
    const uint64_t frames = (now - anchorMs_) * Format().nSamplesPerSec / 1000;
    const uint64_t due = frames - clockFrames_;
    clockFrames_ = frames;
    if (due) PlayLocked(due * Format().nBlockAlign);
  }

  // Takes up to `bytes` from the queue, in order, marking each header done once all of it
  // has been taken.
  void PlayLocked(uint64_t bytes) {
    while (!queue_.empty() && !failed_) {
      WaveHeader* header = queue_.front();
      uint64_t n = std::min<uint64_t>(header->length - offset_, bytes);
      if (failAfterBytes_) n = std::min(n, *failAfterBytes_ - std::min(*failAfterBytes_, played_));
      if (n && sink_) {
        std::string why;
        if (!sink_->Append(header->data + offset_, n, &why)) {
          FailLocked(why);
          return;
        }
      }
      offset_ += static_cast<uint32_t>(n);
      position_ += n;
      played_ += n;
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

  void CheckFailAfterLocked() {
    if (!failed_ && failAfterBytes_ && played_ >= *failAfterBytes_) {
      FailLocked(FailAfterText(failAfterMs_));
    }
  }

  void FailLocked(const std::string& why) {
    failed_ = true;
    error_ = why;
    FinishAllLocked(kWaveHeaderFailed);
    wake_.notify_all();
  }

  void FinishAllLocked(uint32_t extra) {
    for (WaveHeader* header : queue_) FinishHeader(header, extra);
    queue_.clear();
    offset_ = 0;
  }

  const bool fast_;
  std::unique_ptr<PlayedBytesSink> sink_;
  uint64_t failAfterMs_ = 0;
  std::optional<uint64_t> failAfterBytes_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<WaveHeader*> queue_;
  uint32_t offset_ = 0;     // bytes of the front header already played
  uint64_t position_ = 0;   // since open or reset
  uint64_t played_ = 0;     // since open, for fail-after
  uint64_t underruns_ = 0;
  bool starved_ = false;
  bool hadData_ = false;
  bool paused_ = false;
  bool failed_ = false;
  bool stopping_ = false;
  std::string error_;
  bool needAnchor_ = true;
  uint64_t anchorMs_ = 0;
  uint64_t clockFrames_ = 0;  // frames the clock has paid out since the anchor
  uint64_t lastSizeUpdateMs_ = 0;
  std::thread thread_;  // last: starts once everything above is set
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
