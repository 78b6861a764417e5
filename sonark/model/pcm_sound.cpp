#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/load/music_info.h>
#include <sonark/load/peaks.h>
#include <sonark/model/atom_guard.h>
#include <sonark/load/acm_buffer.h>
#include <sonark/load/acm_object.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/render/decoder.h>
#include <sonark/render/pcm_buffer.h>
#include <sonark/model/render_units.h>
#include <tarnell/ref_obj.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

using Guard = sonark::AtomGuard;

constexpr long kWholeSound = 2147483647;

// A heap copy of `format` with its cbSize extra bytes, or null when out of memory.
tWAVEFORMATEX* DuplicateFormat(const tWAVEFORMATEX* format) {
  size_t size = sizeof(tWAVEFORMATEX) + format->cbSize;
  auto* copy = static_cast<tWAVEFORMATEX*>(std::malloc(size));
  if (copy != nullptr) std::memcpy(copy, format, size);
  return copy;
}

}  // namespace

CPCMSound::CPCMSound() = default;

CPCMSound::CPCMSound(const CPCMSound& other) : CAudioAtom(other) {
  CopySoundPart(other);
  virtual_length_ = other.virtual_length_.load();
  adjusted_length_ = other.adjusted_length_;
}

CPCMSound::CPCMSound(const CPCMSound& other, long from, long to) : CAudioAtom(other, from, to) {
  CopySoundPart(other);
  auto& source = const_cast<CPCMSound&>(other);
  SetVirtualLength(to == kWholeSound ? other.virtual_length_.load() : to - from);
  // The part starts where `from` lies in the data, wrapping round it.
  long start = 0;
  {
    Guard guard(source);
    const long dataLength = source.DataLength();
    start = source.GetVirtualTimeStart() +
            TruncateToLong(source.GetSrcMap()->GetRateMapAdjustedTime(from));
    if (dataLength > 0) start %= dataLength;
  }
  SetVirtualTimeStart(start);
  // The waveform of the part begins where its data does.
  if (peaks_ != nullptr && peaks_->NumMilsPerPeak() > 0 && peaks_->GetNumPeaks() > 0) {
    peaks_->SetVirtualStart(static_cast<unsigned long>(std::max(start, 0L)) /
                            peaks_->NumMilsPerPeak() % peaks_->GetNumPeaks());
  }
}

void CPCMSound::CopySoundPart(const CPCMSound& other) {
  auto& source = const_cast<CPCMSound&>(other);
  Guard guard(source);
  if (other.source_format_ != nullptr) {
    source_format_.reset(DuplicateFormat(other.source_format_.get()));
    if (source_format_ == nullptr) copy_failed_ = sonark::kErrOutOfMemory;
  }
  rate_ = other.rate_.load();
  volume_ = other.volume_.load();
  pan_ = other.pan_.load();
  left_gain_ = other.left_gain_.load();
  right_gain_ = other.right_gain_.load();
  render_flags_ = other.render_flags_;
  auto_trim_start_ = other.auto_trim_start_;
  auto_trim_end_ = other.auto_trim_end_;
  auto_trim_ = other.auto_trim_;
  total_silence_ = other.total_silence_;
  partial_song_ = other.partial_song_;
  cut_short_ = other.cut_short_;
  file_changed_ = other.file_changed_;
  if (other.music_info_ != nullptr) {
    music_info_.reset(new (std::nothrow) TMusicInfo(*other.music_info_));
    if (music_info_ == nullptr) copy_failed_ = sonark::kErrOutOfMemory;
  }
  if (other.peaks_ != nullptr) {
    peaks_.reset(other.peaks_->Copy());
    if (peaks_ == nullptr) copy_failed_ = sonark::kErrOutOfMemory;
  }
  if (other.buffer_ != nullptr) {
    buffer_.reset(other.buffer_->Copy());
    if (buffer_ == nullptr) copy_failed_ = sonark::kErrOutOfMemory;
  }
  if (other.decoder_ != nullptr) {
    // A decoder keeps the state of one stream: the copy decodes with one of its own.
    auto* decoder = dynamic_cast<ACMObject*>(other.decoder_.get());
    decoder_.reset(decoder != nullptr ? decoder->Copy() : nullptr);
    if (decoder_ == nullptr) copy_failed_ = sonark::kErrOutOfMemory;
    if (auto* buffer = dynamic_cast<CACMBuffer*>(buffer_.get())) {
      buffer->SetACMObject(static_cast<ACMObject*>(decoder_.get()));
    }
  }
  if (other.data_object_ != nullptr) {
    // A buffer that holds the data whole never reads it again, so its copy can share the
    // object; a streaming copy needs a position of its own.
    if (other.buffer_ == nullptr || other.buffer_->IsLoadedOnce()) {
      data_object_ = RefPtr<>::Share(other.data_object_.get());
    } else {
      platform::clear_last_error();
      data_object_.reset(other.data_object_->Copy());
      if (data_object_ == nullptr) {
        copy_failed_ =
            platform::last_error() != 0 ? platform::last_error() : sonark::kErrOutOfMemory;
      }
    }
    if (data_object_ != nullptr) {
      data_object_->SetDataMode(1);
      if (buffer_ != nullptr) buffer_->SetRefObj(data_object_.get());
    }
  }
}

CPCMSound::~CPCMSound() {
  if (Parent() != nullptr) DetachFromParent();
  // The mixer holds the sound it records, so its input has ended by now; the file is completed.
  if (record_state_ != nullptr) FinishRecording(false);
  CPCMSound::Unload();
}

namespace {

// A copy that could not get its buffer or data object is released again; `failure` is the
// reason, 0 for none.
CAudioAtom* CheckedCopy(CPCMSound* copy, uint32_t failure) {
  if (copy != nullptr && failure != 0) {
    CAudioAtom* atom = copy;
    DeleteAtom(&atom);
    platform::set_last_error(failure);
    return nullptr;
  }
  return copy;
}

}  // namespace

CAudioAtom* CPCMSound::Copy(long from, long to) {
  if (to < from) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return nullptr;
  }
  auto* copy = new (std::nothrow) CPCMSound(*this, from, to);
  return FinishCopy(CheckedCopy(copy, copy != nullptr ? copy->copy_failed_ : 0u));
}

CAudioAtom* CPCMSound::Copy() {
  auto* copy = new (std::nothrow) CPCMSound(*this);
  return FinishCopy(CheckedCopy(copy, copy != nullptr ? copy->copy_failed_ : 0u));
}

int CPCMSound::Type() { return kAtomTypeSound; }

int CPCMSound::Play(long offset) { return PlayOnCurrentMixer(offset); }

int CPCMSound::Stop() {
  Guard guard(*this);
  if (Playing()) SetMixerFlag(kMixerFlagStopRequest);
  return 1;
}

void CPCMSound::NotifyOfNewLength() {
  Guard guard(*this);
  const tWAVEFORMATEX* format = Format();
  if (Playing() && buffer_ != nullptr && sonark::render::RenderableFormat(format)) {
    // The read in progress ends where the new length ends.
    const long delta = Length(UsingMap()) - adjusted_length_;
    long bytes =
        TruncateToLong(sonark::render::BytesPerSecond(format) * static_cast<double>(delta) * 0.001);
    bytes -= bytes % sonark::render::FrameBytes(format);
    buffer_->AdjustBytesToRead(bytes);
  }
  CAudioAtom::NotifyOfNewLength();
  adjusted_length_ = Length(UsingMap());
}

long CPCMSound::Length(int mode) {
  long length = virtual_length_.load();
  if (mode == 0 || !UsingMap()) return length;
  Guard guard(*this);
  return TruncateToLong(GetRateMapAdjustedTime(length));
}

void CPCMSound::SetVirtualLength(long length) {
  Guard guard(*this);
  virtual_length_ = length > 0 ? length : 0;
  CAudioAtom::SetVirtualLength(length);
}

CAudioAtom* CPCMSound::AddSubAtom(CAudioAtom*, long, int, int) { return nullptr; }

CAudioAtom* CPCMSound::RemoveSubAtom(CAudioAtom*, int, int) { return nullptr; }

CAudioAtom* CPCMSound::MoveSubAtom(CAudioAtom*, long, int, int) { return nullptr; }

tWAVEFORMATEX* CPCMSound::Format() {
  // Compressed data plays as the PCM its decoder makes.
  if (auto* decoder = dynamic_cast<ACMObject*>(decoder_.get())) return decoder->GetDestFormat();
  return source_format_.get();
}

tWAVEFORMATEX* CPCMSound::ActualFormat() { return source_format_.get(); }

int CPCMSound::SetSourceFormat(const tWAVEFORMATEX* format) {
  if (format == nullptr) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return 0;
  }
  tWAVEFORMATEX* copy = DuplicateFormat(format);
  if (copy == nullptr) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  Guard guard(*this);
  source_format_.reset(copy);
  return 1;
}

CRefObj* CPCMSound::GetRefObj() { return data_object_.get(); }

void CPCMSound::SetRefObj(CRefObj* object) {
  Guard guard(*this);
  data_object_ = RefPtr<>::Share(object);
  file_rested_ = false;
  // The buffer must never read from an object the sound no longer holds.
  if (buffer_ != nullptr) buffer_->SetRefObj(object);
}
