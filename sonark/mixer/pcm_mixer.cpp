#include <platform/clock.h>
#include <platform/last_error.h>
#include <platform/wave_in.h>
#include <platform/wave_out.h>
#include <sonark/engine_lock.h>
#include <sonark/errors.h>
#include <sonark/model/atom_guard.h>
#include <sonark/model/audio_atom.h>
#include <sonark/mixer/current_mixer.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>
#include <sonark/render/buffer_format.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/render/sample_convert.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

struct CPCMMixer::MixEntry {
  CPCMSound* sound;
  int status;    // TRenderResult: 1 still rendering, 2 finished
  double delay;  // ms: where it begins in the next block, or, once finished, until it is heard
  bool restart;
  long restartOffset;
};

namespace {

using EngineGuard = std::lock_guard<std::recursive_mutex>;

constexpr int32_t kDefaultBufferCount = 8;
constexpr int32_t kDefaultBufferSize = 16384;

// The device plays 11025, 22050 or 44100 Hz only.
uint32_t SnapRate(uint32_t rate) {
  if (rate <= 11025) return 11025;
  if (rate <= 22050) return 22050;
  return 44100;
}

// A playable device format from whatever the record holds: the rate snapped, and sample size
// and channels that the mixing loop cannot produce replaced by 16-bit stereo.
tWAVEFORMATEX DeviceFormat(const tWAVEFORMATEX& requested) {
  const uint16_t bits = requested.wBitsPerSample == 8 ? 8 : 16;
  const uint16_t channels = requested.nChannels == 1 ? 1 : 2;
  return PcmFormat(SnapRate(requested.nSamplesPerSec), channels, bits);
}

}  // namespace

CPCMMixer::CPCMMixer(const _tInitMixer* playback) {
  InitPlayback(playback);
  SetCurrentMixer(this);
}

CPCMMixer::~CPCMMixer() {
  std::vector<CAudioAtom*> recorded;
  {
    EngineGuard guard(EngineMutex());
    EndRecording();
    recorded = std::exchange(replaced_recordings_, {});
    if (recording_sound_ != nullptr) recorded.push_back(std::exchange(recording_sound_, nullptr));
    Stop();
    CleanUpPlayingSounds(1);
    // Atoms that were started but never reached a block (a group still waiting for its first
    // notice, say) are released here.
    while (held_.Count() > 0) {
      auto* atom = static_cast<CAudioAtom*>(held_.Index(0));
      StopAtom(atom, 1);
      if (held_.Count() > 0 && held_.Index(0) == atom) ReleaseHeld(atom);
    }
    while (entries_.Count() > 0) {
      auto* entry = static_cast<MixEntry*>(entries_.Index(0));
      entries_.RemoveByIndex(0);
      delete entry;
    }
    pending_.RemoveAll();
    ReleaseSinkSounds();
    CloseDevice();
    open_count_ = 0;
    StopBeingCurrent();
  }
  // A recording sound's lock comes before the engine lock: its release (which may destroy it,
  // taking that lock) waits until the engine lock is let go.
  for (CAudioAtom* atom : recorded) DeleteAtom(&atom);
}

void CPCMMixer::StopBeingCurrent() {
  EngineGuard guard(EngineMutex());
  if (GetCurrentMixer() == this) SetCurrentMixer(nullptr);
}

// ---------------------------------------------------------------------------------------------
// Set-up and the device

int CPCMMixer::InitPlayback(const _tInitMixer* record) {
  EngineGuard guard(EngineMutex());
  _tInitMixer copy{};
  if (record != nullptr) {
    copy = *record;
  } else {
    copy.device = kDefaultWaveDevice;
    copy.bufferCount = kDefaultBufferCount;
    copy.bufferSize = kDefaultBufferSize;
    copy.format = PcmFormat(44100, 2, 16);
  }
  copy.format = DeviceFormat(copy.format);
  if (copy.bufferCount <= 0) copy.bufferCount = kDefaultBufferCount;
  if (copy.bufferSize <= 0) copy.bufferSize = kDefaultBufferSize;
  const int32_t align = copy.format.nBlockAlign;
  copy.bufferSize -= copy.bufferSize % align;
  if (copy.bufferSize == 0) copy.bufferSize = align;
  // An open device gives the old buffers back before their memory goes; it is opened again
  // below for the new ones, so a change of format reaches the device too.
  const bool reopen = device_ != nullptr;
  CloseDevice();
  init_ = copy;
  requested_format_ = init_.format;
  block_length_ = init_.bufferSize * 1000.0 / init_.format.nAvgBytesPerSec;

  buffers_.reset();
  headers_.reset();
  buffer_memory_.reset();
  buffer_count_ = 0;
  const auto count = static_cast<size_t>(init_.bufferCount);
  const auto size = static_cast<size_t>(init_.bufferSize);
  buffers_.reset(new (std::nothrow) _pcm_mix_buffer[count]);
  headers_.reset(new (std::nothrow) platform::WaveHeader[count]);
  buffer_memory_.reset(new (std::nothrow) unsigned char[count * size]);
  if (buffers_ == nullptr || headers_ == nullptr || buffer_memory_ == nullptr) {
    buffers_.reset();
    headers_.reset();
    buffer_memory_.reset();
    open_count_ = 0;
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  for (size_t i = 0; i < count; ++i) {
    buffers_[i] = _pcm_mix_buffer{buffer_memory_.get() + i * size, static_cast<uint32_t>(size),
                                  &headers_[i], 1};
  }
  buffer_count_ = init_.bufferCount;
  if (reopen && !OpenDevice()) open_count_ = 0;
  return 1;
}

int CPCMMixer::InitRecording(const _tInitMixer* record) {
  EngineGuard guard(EngineMutex());
  if (record != nullptr) record_requested_ = record_in_use_ = *record;
  return 1;
}

int CPCMMixer::Open() {
  EngineGuard guard(EngineMutex());
  if (open_count_ > 0) {
    ++open_count_;
    return 1;
  }
  const tWAVEFORMATEX& device = init_.format;
  if (requested_format_.wBitsPerSample != device.wBitsPerSample ||
      requested_format_.nChannels != device.nChannels ||
      requested_format_.nSamplesPerSec != device.nSamplesPerSec) {
    _tInitMixer record = init_;
    record.format = requested_format_;
    if (!InitPlayback(&record)) return 0;
  }
  if (!OpenDevice()) return 0;
  ++open_count_;
  if (paused_) {
    paused_ = 0;
    Pause(1);
  }
  return 1;
}

void CPCMMixer::Close() {
  EngineGuard guard(EngineMutex());
  if (open_count_ == 1) {
    paused_ = 0;
    Stop();
    SetPlayMode(0);
    CloseDevice();
  }
  if (open_count_ > 0) --open_count_;
}

int CPCMMixer::IsOpen() {
  EngineGuard guard(EngineMutex());
  return device_ != nullptr ? 1 : 0;
}

int CPCMMixer::OpenDevice() {
  int result = platform::kWaveOk;
  std::string why;
  device_ = platform::WaveOut::Open(init_.device, init_.format, &result, &why);
  if (device_ == nullptr || buffers_ == nullptr) {
    device_.reset();
    device_error_ = sonark::kErrDeviceOpen;
    device_why_ = why.empty() ? platform::WaveResultText(result) : why;
    platform::set_last_error(sonark::kErrDeviceOpen);
    return 0;
  }
  device_error_ = 0;
  device_why_.clear();
  underruns_ = 0;
  for (int i = 0; i < buffer_count_; ++i) {
    platform::WaveHeader* header = buffers_[i].header;
    header->data = buffers_[i].data;
    header->length = buffers_[i].size;
    header->flags.store(0);
    buffers_[i].free = 1;
    device_->Prepare(header);
  }
  return 1;
}

void CPCMMixer::CloseDevice() {
  if (device_ == nullptr) return;
  // After the reset the device holds no buffer any more.
  device_->Reset();
  underruns_ = device_->Underruns();
  for (int i = 0; i < buffer_count_; ++i) {
    device_->Unprepare(buffers_[i].header);
    buffers_[i].free = 1;
  }
  device_.reset();
}

void CPCMMixer::DeviceFailed() {
  device_error_ = sonark::kErrDeviceFailed;
  device_why_ = device_->ErrorText();
  if (device_why_.empty()) device_why_ = platform::WaveResultText(platform::kWaveError);
  // Stop resets the device, which leaves every buffer done; nothing more is mixed for it.
  if (play_mode_ != 0) {
    Stop();
  } else {
    CleanUpPlayingSounds(1);
  }
  SetPlayMode(0);
}

uint32_t CPCMMixer::GetDeviceError(std::string* why) {
  EngineGuard guard(EngineMutex());
  if (why != nullptr) *why = device_why_;
  return device_error_;
}

uint64_t CPCMMixer::GetUnderruns() {
  EngineGuard guard(EngineMutex());
  return device_ != nullptr ? device_->Underruns() : underruns_;
}

int CPCMMixer::Play(CAudioAtom* atom, long start, long length) {
  EngineGuard guard(EngineMutex());
  if (atom == nullptr) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return 0;
  }
  if (play_mode_ != 0) {
    platform::set_last_error(sonark::kErrAlreadyPlaying);
    return 0;
  }
  if (device_ != nullptr && device_->Poll() != platform::kWaveOk) {
    // A device that failed is given up entirely; the new play opens it afresh.
    SetPlayMode(0);
    CloseDevice();
    open_count_ = 0;
  }
  if (!IsOpen() && !Open()) return 0;
  start_tick_ = platform::monotonic_ms();
  SetPlayMode(1);
  if (top_atom_ != nullptr) StopAtom(top_atom_, 0);
  top_atom_ = atom;
  window_position_ = start_position_ = static_cast<double>(start);
  end_position_ = static_cast<double>(length > 0 ? start + length : atom->Length(0));
  PlayAtom(atom, start, 0.0);
  return 1;
}

void CPCMMixer::Stop() {
  EngineGuard guard(EngineMutex());
  if (play_mode_ == 0) return;
  if (top_atom_ != nullptr) StopAtom(top_atom_, 0);
  if (device_ != nullptr) device_->Reset();
  CleanUpPlayingSounds(1);
  SetPlayMode(0);
}

int CPCMMixer::SetFormat(const tWAVEFORMATEX* format) {
  EngineGuard guard(EngineMutex());
  if (format != nullptr) {
    requested_format_ = *format;
    requested_format_.cbSize = 0;
  }
  return 1;
}

long CPCMMixer::GetMillisecondsPlayedSoFar() {
  EngineGuard guard(EngineMutex());
  uint64_t bytes = 0;
  if (device_ != nullptr && device_->PositionBytes(&bytes) == platform::kWaveOk) {
    return static_cast<long>(bytes * 1000 / init_.format.nAvgBytesPerSec);
  }
  // Without a device position, the clock since playback began, less what is still queued.
  const auto elapsed = static_cast<long>(platform::monotonic_ms() - start_tick_);
  const long latency = Latency();
  return elapsed > latency ? elapsed - latency : elapsed;
}

long CPCMMixer::Latency() {
  EngineGuard guard(EngineMutex());
  return static_cast<long>(static_cast<double>(init_.bufferCount) * init_.bufferSize * 1000.0 /
                           init_.format.nAvgBytesPerSec);
}

void CPCMMixer::Pause(int flag) {
  EngineGuard guard(EngineMutex());
  if (flag && !paused_) {
    paused_ = 1;
    if (device_ != nullptr) device_->Pause();
  } else if (!flag && paused_) {
    // Resuming a closed mixer clears the flag too, so that the next Open does not start paused.
    paused_ = 0;
    if (device_ != nullptr) device_->Restart();
  }
}

int CPCMMixer::IsPaused() {
  EngineGuard guard(EngineMutex());
  return paused_;
}

void CPCMMixer::SetPlayMode(int mode) {
  EngineGuard guard(EngineMutex());
  play_mode_ = mode;
}

int CPCMMixer::Playing() { return play_mode_; }

void CPCMMixer::Lock() { EngineLock(); }

void CPCMMixer::Unlock() { EngineUnlock(); }

tWAVEFORMATEX CPCMMixer::GetFormat() {
  // Offline rendering runs without the engine lock; its format is read under the sink lock.
  {
    std::lock_guard<std::mutex> sink(sink_lock_);
    if (sinking_.load() == 1) return sink_format_;
  }
  EngineGuard guard(EngineMutex());
  return device_ != nullptr ? init_.format : requested_format_;
}

double CPCMMixer::GetBlockLength() {
  EngineGuard guard(EngineMutex());
  return block_length_;
}

double CPCMMixer::GetWindowPosition() {
  EngineGuard guard(EngineMutex());
  return window_position_;
}

CAudioAtom* CPCMMixer::GetTopAtom() {
  EngineGuard guard(EngineMutex());
  return top_atom_;
}

_tInitMixer CPCMMixer::GetInitRecord() {
  EngineGuard guard(EngineMutex());
  return init_;
}

int CPCMMixer::OutputBufferCount() { return buffer_count_; }

_pcm_mix_buffer* CPCMMixer::GetOutputBuffer(int index) {
  return index >= 0 && index < buffer_count_ ? &buffers_[index] : nullptr;
}

int CPCMMixer::Mix() {
  EngineGuard guard(EngineMutex());
  if (device_ != nullptr && device_->Poll() != platform::kWaveOk) {
    DeviceFailed();
    return 0;
  }
  bool ending = false;
  if (top_atom_ != nullptr &&
      (top_atom_->GetFlag(kMixerFlagStopRequest) ||
       static_cast<double>(GetMillisecondsPlayedSoFar()) >=
           static_cast<double>(top_atom_->Length(0)) - start_position_)) {
    if (Holds(top_atom_)) StopAtom(top_atom_, 0);
    ending = true;
  } else if ((top_atom_ != nullptr && top_atom_->Playing()) || pending_.Count() > 0 ||
             entries_.Count() > 0) {
    double total = 0.0;
    for (int i = 0; i < buffer_count_; ++i) {
      _pcm_mix_buffer& buffer = buffers_[i];
      const uint32_t flags = buffer.header->flags.load(std::memory_order_acquire);
      if ((flags & platform::kWaveHeaderFailed) != 0) {
        DeviceFailed();
        return 0;
      }
      if (buffer.free || (flags & platform::kWaveHeaderDone) != 0) {
        buffer.header->flags.store(0, std::memory_order_relaxed);
        buffer.free = 1;
        total += block_length_;
      }
    }
    if (total > 0.0) {
      IncrementTimeWindow(total);
      for (int i = 0; i < buffer_count_; ++i) {
        _pcm_mix_buffer& buffer = buffers_[i];
        if (!buffer.free) continue;
        MixIntoBuffer(&buffer);
        if (device_ != nullptr) {
          device_->Prepare(buffer.header);
          if (device_->Write(buffer.header) != platform::kWaveOk) {
            DeviceFailed();
            return 0;
          }
        }
        buffer.free = 0;
        NotifyStartedAtoms();
      }
    }
    return 1;
  }
  if (device_ == nullptr) return 0;
  if (!ending) {
    // The last buffers are still playing: close once they are through.
    for (int i = 0; i < buffer_count_; ++i) {
      const uint32_t flags = buffers_[i].header->flags.load(std::memory_order_acquire);
      if (!buffers_[i].free && (flags & platform::kWaveHeaderDone) == 0) return 1;
    }
  }
  IncrementTimeWindow(block_length_);
  SetPlayMode(0);
  Close();
  return 0;
}

void CPCMMixer::Idle() {
  EngineGuard guard(EngineMutex());
  tWAVEFORMATEX format = init_.format;
  for (int i = 0; i < entries_.Count(); ++i) {
    auto* entry = static_cast<MixEntry*>(entries_.Index(i));
    if (entry->status == 1) entry->sound->Idle(&format);
  }
}

// ---------------------------------------------------------------------------------------------
// Atoms coming and going

int CPCMMixer::Holds(CAudioAtom* atom) { return atom != nullptr && held_.Member(atom); }

void CPCMMixer::ReleaseHeld(CAudioAtom* atom) {
  if (!held_.Member(atom)) return;
  held_.Remove(atom);
  DeleteAtom(&atom);
}

CPCMMixer::MixEntry* CPCMMixer::FindEntry(CPCMSound* sound, int* index) {
  for (int i = 0; i < entries_.Count(); ++i) {
    auto* entry = static_cast<MixEntry*>(entries_.Index(i));
    if (entry->sound == sound) {
      if (index != nullptr) *index = i;
      return entry;
    }
  }
  return nullptr;
}

int CPCMMixer::PlayAtom(CAudioAtom* atom, long start, double delay) {
  EngineGuard guard(EngineMutex());
  // Held means started: until its first block is out, an atom does not report that it plays,
  // and starting it twice would mix it twice.
  if (atom == nullptr || Holds(atom)) return 1;
  const int before = held_.Count();
  held_.InsertNewHead(atom, 0);
  if (held_.Count() == before) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  atom->AddReference();
  StartMixingAtom(atom, start, delay);
  SetAtomPlayMode(atom, 1, start);
  return 1;
}

void CPCMMixer::StartMixingAtom(CAudioAtom* atom, long start, double delay) {
  auto* sound = dynamic_cast<CPCMSound*>(atom);
  if (sound == nullptr || atom->Type() != kAtomTypeSound) return;
  if (!sound->Load(start)) return;
  auto* entry = new (std::nothrow) MixEntry{sound, 1, delay, false, 0};
  if (entry == nullptr) return;
  const int before = entries_.Count();
  entries_.InsertNewHead(entry, 0);
  if (entries_.Count() == before) {
    delete entry;
    return;
  }
  tWAVEFORMATEX format = init_.format;
  sound->Idle(&format);
}

void CPCMMixer::StopMixingAtom(CAudioAtom* atom) {
  auto* sound = dynamic_cast<CPCMSound*>(atom);
  if (sound == nullptr) return;
  int index = 0;
  if (MixEntry* entry = FindEntry(sound, &index)) {
    entries_.RemoveByIndex(index);
    delete entry;
  }
}

void CPCMMixer::StopAtom(CAudioAtom* atom, int force) {
  EngineGuard guard(EngineMutex());
  if (atom == nullptr) return;
  if (recording_sound_ != nullptr && atom == recording_sound_ && Recording()) {
    EndRecording();
    return;
  }
  const bool held = Holds(atom) != 0;
  if (!force && !held) return;
  StopMixingAtom(atom);
  if (auto* group = dynamic_cast<CSoundGroup*>(atom)) {
    sonark::AtomGuard lock(*group);
    for (int i = 0; CAudioAtom* sub = group->GetAtom(i, nullptr); ++i) {
      if (Holds(sub)) StopAtom(sub, 0);
    }
  }
  atom->ClearMixerFlag(kMixerFlagStopRequest);
  SetAtomPlayMode(atom, 0, 0);
  if (top_atom_ == atom) top_atom_ = nullptr;
  if (held) ReleaseHeld(atom);
}

void CPCMMixer::SetAtomPlayMode(CAudioAtom* atom, int mode, long offset) {
  EngineGuard guard(EngineMutex());
  if (atom == nullptr) return;
  if (mode != 0) {
    if (!pending_.Member(atom)) pending_.AddSorted(atom, offset);
  } else {
    pending_.Remove(atom);
    atom->SetPlayMode(0, offset);
  }
}

void CPCMMixer::NotifyStartedAtoms() {
  EngineGuard guard(EngineMutex());
  long offset = 0;
  for (int i = 0; CAudioAtom* atom = static_cast<CAudioAtom*>(pending_.Index(i, &offset)); ++i) {
    atom->SetPlayMode(1, offset);
  }
  pending_.RemoveAll();
}

long CPCMMixer::CurrentOffset(CAudioAtom* atom) {
  EngineGuard guard(EngineMutex());
  if (atom == nullptr) return 0;
  double offset;
  CAudioAtom* parent = atom->Parent();
  if (Holds(atom) && parent != nullptr && Holds(parent)) {
    // The window position counts from the top atom's start.
    const long top = top_atom_ != nullptr ? top_atom_->AbsoluteOffset() : 0;
    offset = window_position_ - static_cast<double>(atom->AbsoluteOffset() - top);
  } else {
    offset = static_cast<double>(platform::monotonic_ms() - start_tick_);
  }
  const long length = atom->Length(0);
  if (offset < 0.0) return 0;
  if (offset > static_cast<double>(length)) return length;
  return static_cast<long>(offset);
}

// ---------------------------------------------------------------------------------------------
// Scheduling and mixing

void CPCMMixer::IncrementTimeWindow(double ms) {
  EngineGuard guard(EngineMutex());
  auto* group = dynamic_cast<CSoundGroup*>(top_atom_);
  if (group == nullptr) return;
  MixTimeWindow(group, static_cast<long>(window_position_ + ms), 0);
  window_position_ += ms;
}

void CPCMMixer::MixTimeWindow(CSoundGroup* group, long windowEnd, long groupStart) {
  const double position = window_position_;
  sonark::AtomGuard lock(*group);
  long offset = 0;
  for (int i = 0; CAudioAtom* atom = group->GetAtom(i, &offset); ++i) {
    const long start = groupStart + offset;
    if (atom->GetFlag(kMixerFlagStructure)) {
      // Moved, added or removed: it starts again from where it now lies.
      if (Holds(atom)) StopAtom(atom, 0);
      atom->ClearMixerFlag(kMixerFlagStructure);
    }
    if (auto* sub = dynamic_cast<CSoundGroup*>(atom)) {
      const long end = start + sub->Length(0);
      if (sub->InPlayOnceMode()) {
        if (Holds(sub) && sub->FinishedWithPlayOnce()) StopAtom(sub, 0);
      } else if (Holds(sub) && static_cast<double>(end) <= position) {
        StopAtom(sub, 0);
      } else if (Holds(sub) && sub->GetFlag(kMixerFlagStopRequest)) {
        StopAtom(sub, 0);
      } else if (position < static_cast<double>(end) &&
                 (static_cast<double>(start) <= position || start <= windowEnd)) {
        if (!Holds(sub))
          PlayAtom(sub, static_cast<long>(position - static_cast<double>(start)), 0.0);
        MixTimeWindow(sub, windowEnd, start);
      }
    } else if (atom->Type() == kAtomTypeSound) {
      const long end = start + atom->Length(0);
      if (start <= windowEnd && position < static_cast<double>(end) && !Holds(atom)) {
        if (position <= static_cast<double>(start)) {
          PlayAtom(atom, 0, static_cast<double>(start) - position);
        } else {
          PlayAtom(atom, static_cast<long>(position - static_cast<double>(start)), 0.0);
        }
      }
    }
  }
}

void CPCMMixer::MixIntoBuffer(_pcm_mix_buffer* buffer) {
  EngineGuard guard(EngineMutex());
  if (buffer == nullptr || buffer->data == nullptr) return;
  tWAVEFORMATEX format = init_.format;
  const uint32_t align = format.nBlockAlign;
  const uint32_t frames = buffer->size / align;
  std::memset(buffer->data, sonark::samples::SilenceByte(format.wBitsPerSample), buffer->size);
  CleanUpPlayingSounds(0);
  for (int i = 0; i < entries_.Count(); ++i) {
    auto* entry = static_cast<MixEntry*>(entries_.Index(i));
    if (entry->status != 1) continue;
    if (entry->delay >= block_length_) {
      entry->delay -= block_length_;
      continue;
    }
    // The delay has lost exactness to repeated subtraction; a hair of tolerance keeps a
    // start on a whole frame from slipping to the frame before.
    auto at = static_cast<uint32_t>(entry->delay * format.nSamplesPerSec / 1000.0 + 1e-6);
    if (at > frames) at = frames;
    entry->delay = 0.0;
    _bufferType block{
        ptInterleaved, &format, (frames - at) * align, 0, frames - at, buffer->data + at * align,
        nullptr};
    unsigned long produced = 0;
    const TRenderResult result = entry->sound->ReadData(&block, &produced);
    // A failed render ends the sound like its end does; otherwise it would never leave.
    entry->status = result == kRenderMore ? kRenderMore : kRenderFinished;
    if (entry->status == 2) entry->delay = buffer_count_ * block_length_;
  }
}

void CPCMMixer::CleanUpPlayingSounds(int all) {
  EngineGuard guard(EngineMutex());
  if (all) {
    while (entries_.Count() > 0) {
      auto* entry = static_cast<MixEntry*>(entries_.Index(0));
      StopAtom(entry->sound, 1);
      // StopAtom removes the entry; an entry it could not reach must still go.
      if (entries_.Count() > 0 && entries_.Index(0) == entry) {
        entries_.RemoveByIndex(0);
        delete entry;
      }
    }
    return;
  }
  for (int i = 0; i < entries_.Count();) {
    auto* entry = static_cast<MixEntry*>(entries_.Index(i));
    CPCMSound* sound = entry->sound;
    if (entry->status == 1) {
      if (sound->GetFlag(kMixerFlagRateMap)) {
        sound->ClearMixerFlag(kMixerFlagRateMap);
        entry->restart = true;
        entry->restartOffset = CurrentOffset(sound);
      } else if (sound->GetFlag(kMixerFlagStopRequest)) {
        StopAtom(sound, 1);
        continue;
      }
    } else if (entry->delay <= block_length_) {
      StopAtom(sound, 1);
      continue;
    } else {
      entry->delay -= block_length_;
    }
    ++i;
  }
  // A restart loads the sound again at the same position, which is how a change of a playing
  // sound's data position takes effect.
  for (;;) {
    MixEntry* marked = nullptr;
    for (int i = 0; i < entries_.Count() && marked == nullptr; ++i) {
      auto* entry = static_cast<MixEntry*>(entries_.Index(i));
      if (entry->restart) marked = entry;
    }
    if (marked == nullptr) break;
    CPCMSound* sound = marked->sound;
    const long offset = marked->restartOffset;
    StopMixingAtom(sound);
    if (offset >= sound->Length(0)) {
      StopAtom(sound, 1);
    } else {
      StartMixingAtom(sound, offset, 0.0);
    }
  }
}
