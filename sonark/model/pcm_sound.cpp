#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/model/current_mixer.h>
#include <sonark/model/pcm_sound.h>
#include <tarnell/ref_obj.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Holds an atom's own lock for a scope.
class Guard {
 public:
  explicit Guard(CAudioAtom& atom) : atom_(atom) { atom_.Lock(); }
  ~Guard() { atom_.Unlock(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  CAudioAtom& atom_;
};

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
  SetVirtualLength(to == kWholeSound ? other.virtual_length_.load() : to - from);
}

void CPCMSound::CopySoundPart(const CPCMSound& other) {
  auto& source = const_cast<CPCMSound&>(other);
  Guard guard(source);
  if (other.source_format_ != nullptr) source_format_ = DuplicateFormat(other.source_format_);
  data_object_ = other.data_object_;
  if (data_object_ != nullptr) data_object_->AddReference();
}

CPCMSound::~CPCMSound() {
  if (Parent() != nullptr) DetachFromParent();
  DeleteRefObject(&data_object_);
  std::free(source_format_);
}

CAudioAtom* CPCMSound::Copy(long from, long to) {
  if (to < from) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return nullptr;
  }
  return FinishCopy(new (std::nothrow) CPCMSound(*this, from, to));
}

CAudioAtom* CPCMSound::Copy() { return FinishCopy(new (std::nothrow) CPCMSound(*this)); }

int CPCMSound::Type() { return kAtomTypeSound; }

int CPCMSound::Play(long offset) {
  Guard guard(*this);
  if (offset > Length(0)) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return 0;
  }
  if (Playing()) {
    platform::set_last_error(sonark::kErrAlreadyPlaying);
    return 0;
  }
  return PlayAtomOnCurrentMixer(this, offset);
}

int CPCMSound::Stop() {
  Guard guard(*this);
  if (Playing()) SetMixerFlag(kMixerFlagStopRequest);
  return 1;
}

void CPCMSound::NotifyOfNewLength() {
  Guard guard(*this);
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

tWAVEFORMATEX* CPCMSound::Format() { return source_format_; }

tWAVEFORMATEX* CPCMSound::ActualFormat() { return source_format_; }

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
  std::free(source_format_);
  source_format_ = copy;
  return 1;
}

CRefObj* CPCMSound::GetRefObj() { return data_object_; }

void CPCMSound::SetRefObj(CRefObj* object) {
  Guard guard(*this);
  if (object != nullptr) object->AddReference();
  DeleteRefObject(&data_object_);
  data_object_ = object;
}
