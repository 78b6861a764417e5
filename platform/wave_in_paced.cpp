// The software input devices: `null` records silence and `wav` records a wave file. Input comes
// at the format's rate, measured on the monotonic clock by a thread of the device, or (`wav`
// with `fast`) as fast as headers are added, until the file ends; from there on it is silence
// at the clock's pace, so that a fast recording left running does not grow without bound.
//
// All state is under one mutex. The header being filled is written only above the position:
// the position is published (release) after its bytes, so the engine may read a header's bytes
// below PositionBytes() while the device goes on filling the rest of it.

#include <platform/clock.h>
#include <platform/wave_in_file.h>
#include <platform/wave_out_backend.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace platform::wave_out_detail {

namespace {

using wave_in_detail::RecordSource;

constexpr auto kTick = std::chrono::milliseconds(5);

class PacedWaveIn final : public WaveIn {
 public:
  PacedWaveIn(const tWAVEFORMATEX& format, bool fast, std::optional<uint64_t> failAfterMs,
              std::unique_ptr<RecordSource> source)
      : WaveIn(format), fast_(fast), source_(std::move(source)) {
    if (failAfterMs) {
      failAfterMs_ = *failAfterMs;
      failAfterFrames_ = BytesForMs(format, *failAfterMs) / format.nBlockAlign;
    }
    thread_ = std::thread([this] { Run(); });
  }

  ~PacedWaveIn() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      FinishAllLocked(0);
    }
    wake_.notify_all();
    thread_.join();
  }

  int AddBuffer(WaveHeader* header) override {
    std::lock_guard lock(mutex_);
    if (header && header->length == 0) return kWaveError;
    if (const int begun = BeginWrite(header, Format(), failed_); begun != kWaveOk) return begun;
    header->bytesRecorded = 0;
    queue_.push_back(header);
    if (Fast()) FillFastLocked();
    return failed_ ? kWaveError : kWaveOk;
  }

  int Start() override {
    std::lock_guard lock(mutex_);
    if (failed_) return kWaveError;
    if (started_) return kWaveOk;
    started_ = true;
    losing_ = false;
    needAnchor_ = true;
    if (Fast()) FillFastLocked();
    wake_.notify_all();
    return failed_ ? kWaveError : kWaveOk;
  }

  int Stop() override {
    std::lock_guard lock(mutex_);
    if (Paced()) TickLocked();  // what was due up to now is still recorded
    started_ = false;
    if (!queue_.empty() && offset_ > 0) {
      WaveHeader* header = queue_.front();
      queue_.pop_front();
      header->bytesRecorded = offset_;
      offset_ = 0;
      FinishHeader(header);
    }
    return failed_ ? kWaveError : kWaveOk;
  }

  int Reset() override {
    std::lock_guard lock(mutex_);
    started_ = false;
    FinishAllLocked(0);
    position_.store(0, std::memory_order_release);
    losing_ = false;
    return kWaveOk;
  }

  int PositionBytes(uint64_t* bytes) override {
    if (!bytes) return kWaveError;
    std::lock_guard lock(mutex_);
    if (Paced()) TickLocked();
    *bytes = position_.load(std::memory_order_acquire);
    return kWaveOk;
  }

  int Poll() override {
    std::lock_guard lock(mutex_);
    CheckFailAfterLocked();
    return failed_ ? kWaveError : kWaveOk;
  }

  uint64_t Overruns() override {
    std::lock_guard lock(mutex_);
    return overruns_;
  }

  std::string ErrorText() override {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  // Filling as fast as headers come: while recording and the file has frames left.
  bool Fast() const { return fast_ && started_ && !failed_ && source_->FramesLeft() > 0; }
  // Input arriving with the clock.
  bool Paced() const { return started_ && !failed_ && !stopping_ && !Fast(); }

  void Run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (!Paced()) {
        // Not recording: the clock starts afresh when recording does.
        needAnchor_ = true;
        wake_.wait(lock);
        continue;
      }
      if (needAnchor_) TickLocked();  // the clock starts now
      wake_.wait_for(lock, kTick);
      if (Paced()) TickLocked();
    }
  }

  // Records (or loses) the frames the clock owes since the last call.
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
    if (due) RecordLocked(due, /*mayLose=*/true);
  }

  // As fast as headers come, up to the file's end; nothing is lost.
  void FillFastLocked() {
    RecordLocked(source_->FramesLeft(), /*mayLose=*/false);
    if (!Fast()) {
      // The file has ended (or the device failed): from here the clock paces the silence.
      needAnchor_ = true;
      wake_.notify_all();
    }
  }

  // Takes up to `frames` frames of input into the queued headers, in order, marking each one
  // done once full. With `mayLose`, what finds no header is lost (one overrun per episode);
  // without, the rest waits for the next header.
  void RecordLocked(uint64_t frames, bool mayLose) {
    const uint32_t block = Format().nBlockAlign;
    while (frames && !failed_) {
      uint64_t n = frames;
      if (failAfterFrames_) n = std::min(n, *failAfterFrames_ - std::min(*failAfterFrames_, taken_));
      if (queue_.empty()) {
        if (!mayLose) return;
        if (!losing_) ++overruns_;
        losing_ = true;
        source_->Skip(n);
        taken_ += n;
      } else {
        WaveHeader* header = queue_.front();
        n = std::min<uint64_t>(n, (header->length - offset_) / block);
        std::string why;
        if (n && !source_->Fill(header->data + offset_, static_cast<size_t>(n), &why)) {
          FailLocked(why);
          return;
        }
        offset_ += static_cast<uint32_t>(n * block);
        losing_ = false;
        Advance(n, block);
        if (offset_ == header->length) {
          queue_.pop_front();
          header->bytesRecorded = offset_;
          offset_ = 0;
          FinishHeader(header);
        }
      }
      frames -= n;
      CheckFailAfterLocked();
      if (n == 0) break;
    }
  }

  // Publishes that `frames` more frames have been taken: the bytes written before are visible
  // to whoever reads the position after this.
  void Advance(uint64_t frames, uint32_t block) {
    taken_ += frames;
    position_.store(position_.load(std::memory_order_relaxed) + frames * block,
                    std::memory_order_release);
  }

  void CheckFailAfterLocked() {
    if (!failed_ && failAfterFrames_ && taken_ >= *failAfterFrames_) {
      FailLocked(FailAfterText(failAfterMs_, /*recording=*/true));
    }
  }

  void FailLocked(const std::string& why) {
    failed_ = true;
    error_ = why;
    FinishAllLocked(kWaveHeaderFailed);
    wake_.notify_all();
  }

  // Hands back every queued header: the first with what it holds, the others empty.
  void FinishAllLocked(uint32_t extra) {
    for (WaveHeader* header : queue_) {
      header->bytesRecorded = header == queue_.front() ? offset_ : 0;
      FinishHeader(header, extra);
    }
    queue_.clear();
    offset_ = 0;
  }

  const bool fast_;
  const std::unique_ptr<RecordSource> source_;
  uint64_t failAfterMs_ = 0;
  std::optional<uint64_t> failAfterFrames_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<WaveHeader*> queue_;
  uint32_t offset_ = 0;  // bytes of the front header already filled
  std::atomic<uint64_t> position_{0};  // bytes written into headers since Start
  uint64_t taken_ = 0;                 // frames since open, for fail-after
  uint64_t overruns_ = 0;
  bool losing_ = false;  // input is being lost for want of a header
  bool started_ = false;
  bool failed_ = false;
  bool stopping_ = false;
  std::string error_;
  bool needAnchor_ = true;
  uint64_t anchorMs_ = 0;
  uint64_t clockFrames_ = 0;  // frames the clock has paid out since the anchor
  std::thread thread_;        // last: starts once everything above is set
};

}  // namespace

std::unique_ptr<WaveIn> OpenPacedInput(const AudioChoice& choice, const tWAVEFORMATEX& format,
                                       int* result, std::string* why) {
  std::unique_ptr<RecordSource> source;
  const bool file = choice.backend == Backend::kWav && !choice.inPath.empty();
  if (file) {
    source = wave_in_detail::OpenWaveFileSource(choice.inPath, format, result, why);
    if (!source) return nullptr;
  } else {
    source = wave_in_detail::SilenceSource(format);
  }
  *result = kWaveOk;
  return std::make_unique<PacedWaveIn>(format, file && choice.fast, choice.failAfterMs,
                                       std::move(source));
}

}  // namespace platform::wave_out_detail
