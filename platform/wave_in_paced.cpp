// The software input devices: `null` records silence and `wav` records a wave file. Input comes
// at the format's rate, measured on the monotonic clock by a thread of the device, or (`wav`
// with `fast`) as fast as headers are added, until the file ends; from there on it is silence
// at the clock's pace, so that a fast recording left running does not grow without bound.
//
// The thread, the queue and the failure are those of output (wave_paced_device.h). The header
// being filled is written only above the position: the position is published (release) after
// its bytes, so the engine may read a header's bytes below PositionBytes() while the device goes
// on filling the rest of it.

#include <platform/wave_in_file.h>
#include <platform/wave_paced_device.h>

namespace platform::wave_out_detail {

namespace {

using wave_in_detail::RecordSource;

class PacedWaveIn final : public PacedDevice<WaveIn> {
 public:
  PacedWaveIn(const tWAVEFORMATEX& format, bool fast, std::optional<uint64_t> failAfterMs,
              std::unique_ptr<RecordSource> source)
      : PacedDevice(format, failAfterMs), fast_(fast), source_(std::move(source)) {
    StartThread();
  }

  ~PacedWaveIn() override { StopThread(); }

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
    if (ClockRunsLocked()) TickLocked();  // what was due up to now is still recorded
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

  uint64_t Overruns() override {
    std::lock_guard lock(mutex_);
    return overruns_;
  }

 private:
  // Filling as fast as headers come: while recording and the file has frames left.
  bool Fast() const { return fast_ && started_ && !failed_ && source_->FramesLeft() > 0; }
  // Input arriving with the clock.
  bool ClockRunsLocked() const override { return started_ && !failed_ && !stopping_ && !Fast(); }

  void StepLocked(uint64_t frames) override { RecordLocked(frames, /*mayLose=*/true); }

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
      uint64_t n = std::min(frames, RoomLocked() / block);
      if (queue_.empty()) {
        if (!mayLose) return;
        if (!losing_) ++overruns_;
        losing_ = true;
        source_->Skip(n);
        CountLocked(n * block);
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
        // The position is published after the bytes it covers.
        CountLocked(n * block);
        position_.store(position_.load(std::memory_order_relaxed) + n * block,
                        std::memory_order_release);
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

  const bool fast_;
  const std::unique_ptr<RecordSource> source_;
  uint64_t overruns_ = 0;
  bool losing_ = false;  // input is being lost for want of a header
  bool started_ = false;
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
