#include <platform/clock.h>
#include <platform/last_error.h>
#include <platform/wave_in.h>
#include <platform/wave_out.h>
#include <sonark/engine_lock.h>
#include <sonark/error_messages.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/model/audio_atom.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/render_units.h>
#include <sonark/render/buffer_format.h>
#include <sonark/render/sample_convert.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

// Recording: the mixer owns the input device and a ring of input buffers. The mixing thread
// meters what arrives, hands every buffer the device has filled to the recording sound, and
// gives the buffer back to the device.

namespace {

using EngineGuard = std::lock_guard<std::recursive_mutex>;

constexpr int32_t kDefaultInputBuffers = 16;
constexpr int32_t kDefaultInputBufferSize = 32768;
constexpr uint32_t kMeterStepMs = 80;
constexpr uint32_t kDuplexBlockBytes = 2048;

void FillSilence(unsigned char* data, uint32_t size, const tWAVEFORMATEX& format) {
  std::memset(data, sonark::samples::SilenceByte(format.wBitsPerSample), size);
}

// Whole frames of the (already opened, so valid) format in `bytes`.
uint32_t WholeFrames(uint64_t bytes, const tWAVEFORMATEX& format) {
  return static_cast<uint32_t>(sonark::render::WholeFrames(static_cast<long>(bytes), &format));
}

}  // namespace

void CPCMMixer::RecordFailed(uint32_t code, const std::string& why) {
  record_error_ = code;
  record_why_ = why;
  platform::set_last_error(code);
}

uint32_t CPCMMixer::GetRecordError(std::string* why) {
  EngineGuard guard(EngineMutex());
  if (why != nullptr) *why = record_why_;
  return record_error_;
}

uint64_t CPCMMixer::GetRecordPosition() { return record_position_.load(); }

uint64_t CPCMMixer::GetRecordOverruns() { return record_overruns_.load(); }

int CPCMMixer::Record(CPCMSound* sound, tWAVEFORMATEX* format) {
  EngineGuard guard(EngineMutex());
  if (sound == nullptr || format == nullptr) return sonark::Fail(sonark::kErrInvalidAtomArgument);
  EndRecording();
  if (!StartRecording(format, record_requested_.bufferCount, record_requested_.bufferSize)) {
    return 0;
  }
  if (recording_sound_ != sound) {
    sound->AddReference();
    if (recording_sound_ != nullptr) replaced_recordings_.push_back(recording_sound_);
    recording_sound_ = sound;
  }
  return 1;
}

std::vector<CAudioAtom*> CPCMMixer::TakeReplacedRecordingSounds() {
  EngineGuard guard(EngineMutex());
  return std::exchange(replaced_recordings_, {});
}

CPCMSound* CPCMMixer::GetRecordingSound() {
  EngineGuard guard(EngineMutex());
  return recording_sound_;
}

int CPCMMixer::Recording() { return recording_.load(); }

void CPCMMixer::UpdatePeak(double, double, long) {}

int CPCMMixer::StartRecording(tWAVEFORMATEX* format, int bufferCount, int bufferSize) {
  EngineGuard guard(EngineMutex());
  if (format == nullptr) return sonark::Fail(sonark::kErrInvalidAtomArgument);
  EndRecording();
  record_error_ = 0;
  record_why_.clear();
  int result = platform::kWaveOk;
  std::string why;
  input_ = platform::WaveIn::Open(record_requested_.device, *format, &result, &why);
  if (input_ == nullptr) {
    RecordFailed(sonark::kErrInputDeviceOpen, why.empty() ? platform::WaveResultText(result) : why);
    return 0;
  }
  record_in_use_ = record_requested_;
  if (bufferCount != 0) {
    record_in_use_.bufferCount = bufferCount;
    record_in_use_.bufferSize = bufferSize;
  }
  record_in_use_.format = *format;
  record_in_use_.format.cbSize = 0;
  const tWAVEFORMATEX& used = record_in_use_.format;
  if (record_in_use_.bufferCount <= 0) record_in_use_.bufferCount = kDefaultInputBuffers;
  if (record_in_use_.bufferSize <= 0) record_in_use_.bufferSize = kDefaultInputBufferSize;
  const uint32_t size = std::max<uint32_t>(
      WholeFrames(static_cast<uint64_t>(record_in_use_.bufferSize), used), used.nBlockAlign);
  record_in_use_.bufferSize = static_cast<int32_t>(size);

  const auto count = static_cast<size_t>(record_in_use_.bufferCount);
  input_buffers_.reset(new (std::nothrow) InputBuffer[count]);
  bool allocated = input_buffers_ != nullptr;
  for (size_t i = 0; allocated && i < count; ++i) {
    InputBuffer& buffer = input_buffers_[i];
    buffer.data.reset(new (std::nothrow) unsigned char[size]);
    allocated = buffer.data != nullptr;
    if (!allocated) break;
    buffer.size = size;
    buffer.header.data = buffer.data.get();
    buffer.header.length = size;
    FillSilence(buffer.data.get(), size, used);
    input_->Prepare(&buffer.header);
    input_->AddBuffer(&buffer.header);
  }
  input_count_ = allocated ? static_cast<int>(count) : 0;
  if (!allocated) {
    input_->Reset();
    input_.reset();
    input_buffers_.reset();
    RecordFailed(sonark::kErrOutOfMemory, sonark::DescribeErrorCode(sonark::kErrOutOfMemory));
    return 0;
  }
  metered_ = meter_updated_ = handed_ = 0;
  meter_left_ = meter_right_ = 0;
  meter_step_ = WholeFrames(static_cast<uint64_t>(used.nAvgBytesPerSec) * kMeterStepMs / 1000, used);
  record_position_ = 0;
  record_overruns_ = 0;
  if (input_->Start() != platform::kWaveOk) {
    const std::string why = input_->ErrorText();
    input_buffers_[0].skip = 1;
    EndRecording();
    RecordFailed(sonark::kErrInputDeviceOpen,
                 why.empty() ? platform::WaveResultText(platform::kWaveError) : why);
    return 0;
  }
  input_next_ = 0;
  recording_ = 1;
  record_start_tick_ = platform::monotonic_ms();
  return 1;
}

void CPCMMixer::MeterUpTo(uint64_t position) {
  const uint64_t size = input_buffers_[0].size;
  const tWAVEFORMATEX& format = record_in_use_.format;
  // Input older than the ring has been given back to the device already.
  const uint64_t ring = size * static_cast<uint64_t>(input_count_);
  if (position > metered_ + ring) metered_ = position - ring;
  while (metered_ < position) {
    const auto index = static_cast<int>((metered_ / size) % static_cast<uint64_t>(input_count_));
    const uint64_t offset = metered_ % size;
    const uint64_t take = std::min(size - offset, position - metered_);
    const unsigned char* from = input_buffers_[index].data.get() + offset;
    long left = 0;
    long right = 0;
    GetMaxSample(from, from + WholeFrames(take, format), &format, left, right);
    meter_left_ = std::max(meter_left_, left);
    meter_right_ = std::max(meter_right_, right);
    metered_ += take;
  }
}

void CPCMMixer::CheckLatestRecordings() {
  EngineGuard guard(EngineMutex());
  if (input_ == nullptr || input_count_ == 0) return;
  const tWAVEFORMATEX& format = record_in_use_.format;
  uint64_t position = 0;
  if (input_->PositionBytes(&position) != platform::kWaveOk) {
    // A device that cannot tell: the clock since the start, in the recording's own bytes.
    const uint64_t elapsed = platform::monotonic_ms() - record_start_tick_;
    position = WholeFrames(elapsed * format.nAvgBytesPerSec / 1000, format);
  }
  record_position_ = position;
  record_overruns_ = input_->Overruns();
  // Every byte is metered before its buffer goes back to the device; the levels are reported
  // once per step.
  MeterUpTo(position);
  if (position < meter_updated_ + meter_step_) return;
  meter_updated_ = position;
  const long left = meter_left_;
  const long right = meter_right_;
  meter_left_ = meter_right_ = 0;
  UpdatePeak(left / 32767.0, right / 32767.0, static_cast<long>(position));
}

void CPCMMixer::ContinueRecording() {
  EngineGuard guard(EngineMutex());
  if (input_ == nullptr) return;
  if (input_->Poll() != platform::kWaveOk) {
    const std::string why = input_->ErrorText();
    EndRecording();
    RecordFailed(sonark::kErrInputDeviceFailed,
                 why.empty() ? platform::WaveResultText(platform::kWaveError) : why);
    return;
  }
  CheckLatestRecordings();
  tWAVEFORMATEX format = record_in_use_.format;
  while (input_ != nullptr) {
    InputBuffer& buffer = input_buffers_[input_next_];
    const uint32_t flags = buffer.header.flags.load(std::memory_order_acquire);
    if ((flags & platform::kWaveHeaderDone) == 0) break;
    buffer.skip = 0;
    input_->Unprepare(&buffer.header);
    const uint32_t recorded = buffer.header.bytesRecorded;
    if ((flags & platform::kWaveHeaderFailed) != 0) {
      const std::string why = input_->ErrorText();
      buffer.skip = 1;
      EndRecording();
      RecordFailed(sonark::kErrInputDeviceFailed,
                   why.empty() ? platform::WaveResultText(platform::kWaveError) : why);
      return;
    }
    // The end of this buffer may not have been metered yet.
    MeterUpTo(handed_ + recorded);
    handed_ += recorded;
    if (recording_sound_ != nullptr && recorded > 0) {
      _bufferType block{ptInterleaved, &format, recorded, recorded,
                        recorded / std::max<uint32_t>(format.nBlockAlign, 1u), buffer.data.get(),
                        nullptr};
      if (!recording_sound_->WriteData(&block)) {
        const uint32_t code = platform::last_error();
        buffer.skip = 1;
        EndRecording();
        RecordFailed(sonark::kErrRecordWrite, sonark::DescribeErrorCode(code));
        return;
      }
    }
    FillSilence(buffer.data.get(), buffer.size, format);
    input_->Prepare(&buffer.header);
    input_->AddBuffer(&buffer.header);
    input_next_ = (input_next_ + 1) % input_count_;
  }
}

void CPCMMixer::EndRecording() {
  EngineGuard guard(EngineMutex());
  if (input_ == nullptr) {
    recording_ = 0;
    return;
  }
  input_->Stop();
  tWAVEFORMATEX format = record_in_use_.format;
  bool failed = false;
  for (int i = 0; i < input_count_; ++i) {
    InputBuffer& buffer = input_buffers_[(input_next_ + i) % input_count_];
    const uint32_t flags = buffer.header.flags.load(std::memory_order_acquire);
    if ((flags & platform::kWaveHeaderDone) == 0) continue;
    input_->Unprepare(&buffer.header);
    const uint32_t recorded = buffer.header.bytesRecorded;
    if (buffer.skip || failed || recorded == 0 || (flags & platform::kWaveHeaderFailed) != 0) {
      continue;
    }
    handed_ += recorded;
    if (recording_sound_ == nullptr) continue;
    _bufferType block{ptInterleaved, &format, recorded, recorded,
                      recorded / std::max<uint32_t>(format.nBlockAlign, 1u), buffer.data.get(),
                      nullptr};
    if (!recording_sound_->WriteData(&block)) {
      failed = true;
      RecordFailed(sonark::kErrRecordWrite, sonark::DescribeErrorCode(platform::last_error()));
    }
  }
  input_->Reset();
  for (int i = 0; i < input_count_; ++i) input_->Unprepare(&input_buffers_[i].header);
  record_overruns_ = input_->Overruns();
  record_position_ = handed_;
  input_.reset();
  input_buffers_.reset();
  input_count_ = 0;
  recording_ = 0;
}

int CPCMMixer::FullDuplexTest(uint32_t device, tWAVEFORMATEX* input, tWAVEFORMATEX* output) {
  EngineGuard guard(EngineMutex());
  if (input == nullptr || output == nullptr) return sonark::Fail(sonark::kErrInvalidAtomArgument);
  int result = platform::kWaveOk;
  std::string why;
  auto in = platform::WaveIn::Open(device, *input, &result, &why);
  if (in == nullptr) {
    RecordFailed(sonark::kErrInputDeviceOpen,
                 std::string("no input: ").append(why.empty() ? platform::WaveResultText(result) : why));
    return 0;
  }
  // The output side is the playback device of this mixer: input and output devices are
  // numbered apart.
  auto out = platform::WaveOut::Open(init_.device, *output, &result, &why);
  if (out == nullptr) {
    RecordFailed(sonark::kErrDeviceOpen,
                 std::string("no output: ").append(why.empty() ? platform::WaveResultText(result) : why));
    return 0;
  }
  const uint32_t outBytes = std::max<uint32_t>(WholeFrames(kDuplexBlockBytes, *output),
                                               output->nBlockAlign);
  const uint32_t inBytes = std::max<uint32_t>(WholeFrames(kDuplexBlockBytes, *input),
                                              input->nBlockAlign);
  auto silence = std::make_unique<unsigned char[]>(outBytes);
  auto recorded = std::make_unique<unsigned char[]>(inBytes);
  FillSilence(silence.get(), outBytes, *output);
  platform::WaveHeader outHeader;
  outHeader.data = silence.get();
  outHeader.length = outBytes;
  platform::WaveHeader inHeader;
  inHeader.data = recorded.get();
  inHeader.length = inBytes;
  const bool prepared = out->Prepare(&outHeader) == platform::kWaveOk;
  in->Prepare(&inHeader);
  in->AddBuffer(&inHeader);
  const bool started = in->Start() == platform::kWaveOk;
  platform::sleep_ms(10);
  const bool written = prepared && out->Write(&outHeader) == platform::kWaveOk;
  out->Reset();
  in->Stop();
  in->Reset();
  out->Unprepare(&outHeader);
  in->Unprepare(&inHeader);
  if (!prepared || !started || !written) {
    const std::string reason = !started ? std::string("the input did not start: ").append(in->ErrorText())
                                        : std::string("the output did not play: ").append(out->ErrorText());
    RecordFailed(!started ? sonark::kErrInputDeviceOpen : sonark::kErrDeviceOpen, reason);
    return 0;
  }
  record_error_ = 0;
  record_why_.clear();
  return 1;
}
