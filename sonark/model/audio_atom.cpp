#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/model/audio_atom.h>
#include <sonark/model/atom_player.h>
#include <sonark/model/sound_group.h>

#include <cmath>
#include <cstring>
#include <new>
#include <thread>

namespace {

std::atomic<int> g_map_combining_off{0};

}  // namespace

int MapCombiningEnabled() { return g_map_combining_off.load() == 0 ? 1 : 0; }

void EnableMapCombining() {
  // A stray extra Enable must not switch combining off for good.
  int value = g_map_combining_off.load();
  while (value > 0 && !g_map_combining_off.compare_exchange_weak(value, value - 1)) {
  }
}

void DisableMapCombining() { ++g_map_combining_off; }

void DeleteAtom(CAudioAtom** holder) {
  if (holder == nullptr || *holder == nullptr) return;
  if ((*holder)->DecReference() == 0) {
    delete *holder;
    *holder = nullptr;
  }
}

CAtomTreeLock::CAtomTreeLock(CAudioAtom* atom) {
  if (atom == nullptr) return;
  for (;;) {
    int n = 0;
    for (CAudioAtom* a = atom; a != nullptr && n < kCapacity; a = a->Parent()) locked_[n++] = a;
    for (int i = n - 1; i >= 0; --i) locked_[i]->Lock();
    // A parent link may have changed before the locks were ours; then take them again.
    bool stable = true;
    for (int i = 0; i + 1 < n; ++i) {
      if (locked_[i]->Parent() != locked_[i + 1]) stable = false;
    }
    if (n < kCapacity && locked_[n - 1]->Parent() != nullptr) stable = false;
    if (stable) {
      count_ = n;
      return;
    }
    for (int i = 0; i < n; ++i) locked_[i]->Unlock();
    std::this_thread::yield();
  }
}

CAtomTreeLock::~CAtomTreeLock() {
  for (int i = 0; i < count_; ++i) locked_[i]->Unlock();
}

CAudioAtom::CAudioAtom() = default;

CAudioAtom::CAudioAtom(const CAudioAtom& other) : CMap() {
  std::lock_guard<std::recursive_mutex> guard(other.lock_);
  CMap::operator=(other);
  source_map_ = other.source_map_;
  absolute_offset_ = other.absolute_offset_.load();
  last_rate_length_ = other.last_rate_length_;
  virtual_data_start_ = other.virtual_data_start_;
  info_ = other.info_;
  using_map_ = other.using_map_;
  chunk_flags_ = other.chunk_flags_.load() & kChunkFlagMuted;
}

CAudioAtom::CAudioAtom(const CAudioAtom& other, long from, long to) : CMap() {
  std::lock_guard<std::recursive_mutex> guard(other.lock_);
  CMap::Copy(&other, kMapAll, from, to);
  source_map_.Copy(&other.source_map_, kMapAll, from, to);
  absolute_offset_ = other.absolute_offset_.load();
  last_rate_length_ = other.last_rate_length_;
  virtual_data_start_ = other.virtual_data_start_;
  info_ = other.info_;
  using_map_ = other.using_map_;
  chunk_flags_ = other.chunk_flags_.load() & kChunkFlagMuted;
}

CAudioAtom::~CAudioAtom() {
  if (Parent() != nullptr) DetachFromParent();
}

void CAudioAtom::DetachFromParent() {
  CAudioAtom* parent = Parent();
  if (parent == nullptr) return;
  if (auto* group = dynamic_cast<CSoundGroup*>(parent)) {
    group->ForgetDyingSubAtom(this);
  } else {
    parent_ = nullptr;
  }
}

CAudioAtom* CAudioAtom::FinishCopy(CAudioAtom* copy) {
  if (copy == nullptr) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return nullptr;
  }
  copy->NotifyAtom(Muted() ? kSoundMuted : kSoundUnmuted, 0);
  return copy;
}

CAudioAtom* CAudioAtom::Copy(long from, long to) {
  if (to < from) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return nullptr;
  }
  return FinishCopy(new (std::nothrow) CAudioAtom(*this, from, to));
}

CAudioAtom* CAudioAtom::Copy() { return FinishCopy(new (std::nothrow) CAudioAtom(*this)); }

int CAudioAtom::Type() { return kAtomTypeAtom; }

long CAudioAtom::DecReference() { return --references_; }

void CAudioAtom::NotifyAtom(TSoundStateCode, long) {}

int CAudioAtom::Play(long) { return 0; }

int CAudioAtom::PlayOnCurrentMixer(long offset) {
  {
    // The checks run under the atom's lock, the hand-over without it: the mixer takes the
    // engine lock and then the atom's, never the other way round.
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (offset > Length(0)) {
      platform::set_last_error(sonark::kErrInvalidAtomArgument);
      return 0;
    }
    if (Playing()) {
      platform::set_last_error(sonark::kErrAlreadyPlaying);
      return 0;
    }
  }
  return PlayAtomOnCurrentMixer(this, offset);
}

long CAudioAtom::CurrentPlayOffset() { return 0; }

int CAudioAtom::Playing() { return play_mode_.load(); }

int CAudioAtom::Stop() { return 0; }

void CAudioAtom::NotifyOfNewPosition() {}

void CAudioAtom::NotifyOfNewLength() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  SetMixerFlag(kMixerFlagNewLength);
  source_map_.AdjustEndPoint(kMapAll, Length(0));
}

void CAudioAtom::Mute(int on) {
  if (on) {
    chunk_flags_ |= kChunkFlagMuted;
  } else {
    chunk_flags_ &= ~kChunkFlagMuted;
  }
  NotifyAtom(on ? kSoundMuted : kSoundUnmuted, 0);
}

void CAudioAtom::SetPlayMode(int mode, long offset) {
  play_mode_ = mode;
  NotifyAtom(mode ? kSoundPlayModeOn : kSoundPlayModeOff, offset);
}

long CAudioAtom::Length(int) { return 0; }

void CAudioAtom::SetVirtualLength(long length) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  NotifyOfNewLength();
  if (length > 0) last_rate_length_ = source_map_.GetRateMapAdjustedTime(length);
}

void CAudioAtom::Scale(double factor) {
  if (!(factor > 0.0) || !std::isfinite(factor)) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return;
  }
  CAudioAtom* target = nullptr;
  {
    CAtomTreeLock tree(this);
    long length = TruncateToLong(static_cast<double>(Length(0)) * factor);
    source_map_.ScaleEvents(factor);
    SetVirtualLength(length);
    target = ScaleTarget();
    if (target != nullptr) target->AddReference();
  }
  RebuildAndRelease(target);
}

CAudioAtom* CAudioAtom::ScaleTarget() {
  CAudioAtom* parent = Parent();
  return parent != nullptr ? parent->Resize(this) : this;
}

void CAudioAtom::RebuildAndRelease(CAudioAtom* target) {
  if (target == nullptr) return;
  if (MapCombiningEnabled()) {
    target->CombineWithParentMap(kMapAll);
    target->CombineWithSubMaps(kMapAll, 1);
  }
  DeleteAtom(&target);
}

void CAudioAtom::CombineWithParentMap(TMapType type) {
  if (!MapCombiningEnabled()) return;
  CAtomTreeLock tree(this);
  RemoveAllSimpleEvents(type);
  CMap::Copy(&source_map_, type);
  CAudioAtom* parent = Parent();
  if (parent != nullptr && CanCombine() && parent->CanCombine() && Length(0) != 0 &&
      parent->Length(0) != 0) {
    long offset = OffsetInParent();
    if (type == kMapAll) {
      CombineMap(parent, offset, kMapVolume);
      CombineMap(parent, offset, kMapPan);
    } else if (type != kMapRate) {
      CombineMap(parent, offset, type);
    }
  }
  NotifyOfNewMap();
  SetMixerFlag(kMixerFlagNewMap);
  if ((type == kMapAll || type == kMapRate) && Playing()) SetMixerFlag(kMixerFlagRateMap);
}

void CAudioAtom::CombineWithSubMaps(TMapType, int) {}

int CAudioAtom::CanCombine() { return 1; }

void CAudioAtom::NotifyOfMemberChange() {}

CAudioAtom* CAudioAtom::Add(CAudioAtom* parent, long offset) {
  if (parent == nullptr || Parent() != nullptr) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return nullptr;
  }
  CAudioAtom* result = nullptr;
  {
    CAtomTreeLock tree(parent);
    result = parent->AddSubAtom(this, offset, 1, 1);
    if (result == nullptr) return nullptr;
    SetMixerFlag(kMixerFlagStructure);
    result->AddReference();
  }
  RebuildAndRelease(result);
  return result;
}

CAudioAtom* CAudioAtom::Move(long offset) {
  CAudioAtom* parent = Parent();
  if (parent == nullptr) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return nullptr;
  }
  CAudioAtom* result = nullptr;
  {
    // The parent's chain only: the move locks this atom below it.
    CAtomTreeLock tree(parent);
    SetMixerFlag(kMixerFlagStructure);
    result = parent->MoveSubAtom(this, offset, 1, 1);
    if (result == nullptr) return nullptr;
    result->AddReference();
  }
  RebuildAndRelease(result);
  return result;
}

CAudioAtom* CAudioAtom::Remove() {
  CAudioAtom* parent = Parent();
  if (parent == nullptr) return nullptr;
  if (Playing()) Stop();
  SetMixerFlag(kMixerFlagStructure);
  // The parent holds a reference, so the atom cannot vanish before its own is counted.
  long references = ReferenceCount();
  CAudioAtom* result = nullptr;
  {
    // Only the parent's chain: this atom may be destroyed inside and must not be held.
    CAtomTreeLock tree(parent);
    result = parent->RemoveSubAtom(this, 1, 1);
    if (result == nullptr || result == this || references < 2) return result;
    result->AddReference();
  }
  RebuildAndRelease(result);
  return result;
}

long CAudioAtom::AbsoluteOffset() { return absolute_offset_.load(); }

CAudioAtom* CAudioAtom::AddSubAtom(CAudioAtom* atom, long, int, int) {
  if (atom != nullptr) atom->levels_deep_ = LevelsDeep() + 1;
  return this;
}

CAudioAtom* CAudioAtom::RemoveSubAtom(CAudioAtom* atom, int, int) {
  if (atom != nullptr) atom->levels_deep_ = 0;
  return this;
}

CAudioAtom* CAudioAtom::MoveSubAtom(CAudioAtom*, long, int, int) { return this; }

CAudioAtom* CAudioAtom::Resize(CAudioAtom* atom) { return atom; }

void CAudioAtom::SetPlayOnceMode(int on) { play_once_ = on; }

int CAudioAtom::FinishedWithPlayOnce() { return 1; }

void CAudioAtom::AddReference() { ++references_; }

int CAudioAtom::AddReferenceIfAlive() {
  long count = references_.load();
  while (count > 0) {
    if (references_.compare_exchange_weak(count, count + 1)) return 1;
  }
  return 0;
}

long CAudioAtom::ReferenceCount() const { return references_.load(); }

void CAudioAtom::Lock() { lock_.lock(); }

void CAudioAtom::Unlock() { lock_.unlock(); }

int CAudioAtom::Muted() { return (chunk_flags_.load() & kChunkFlagMuted) ? 1 : 0; }

int CAudioAtom::Locked() { return (chunk_flags_.load() & kChunkFlagLocked) ? 1 : 0; }

void CAudioAtom::SetLock(int on) {
  if (on) {
    chunk_flags_ |= kChunkFlagLocked;
  } else {
    chunk_flags_ &= ~kChunkFlagLocked;
  }
  NotifyAtom(on ? kSoundLocked : kSoundUnlocked, 0);
}

unsigned long CAudioAtom::GetChunkFlags() { return chunk_flags_.load(); }

void CAudioAtom::SetMixerFlag(unsigned long flags) { mixer_flags_ |= flags; }

void CAudioAtom::ClearMixerFlag(unsigned long flags) { mixer_flags_ &= ~flags; }

int CAudioAtom::GetFlag(unsigned long mask) { return static_cast<int>(mixer_flags_.load() & mask); }

unsigned long CAudioAtom::MixerFlags() { return mixer_flags_.load(); }

CMap* CAudioAtom::GetSrcMap() { return &source_map_; }

void CAudioAtom::NotifyOfNewMap() { new_map_ = play_mode_.load(); }

int CAudioAtom::HasNewMap() { return new_map_.load(); }

void CAudioAtom::ClearNewMapFlag() { new_map_ = 0; }

int CAudioAtom::UsingMap() { return using_map_; }

_infoStruct* CAudioAtom::GetInfo() { return &info_; }

void CAudioAtom::SetAtomName(const char* name) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  size_t length = name != nullptr ? strnlen(name, sizeof info_.name - 1) : 0;
  if (length > 0) std::memcpy(info_.name, name, length);
  info_.name[length] = '\0';
}

void CAudioAtom::GetNestedName(char* out, long size, int levels) {
  if (out == nullptr || size <= 0) return;
  out[0] = '\0';
  CAtomTreeLock tree(this);
  constexpr int kMostAncestors = 10;
  CAudioAtom* ancestors[kMostAncestors];
  int count = 0;
  int wanted = levels < kMostAncestors ? levels : kMostAncestors;
  for (CAudioAtom* a = Parent(); a != nullptr && count < wanted; a = a->Parent()) {
    ancestors[count++] = a;
  }
  long used = 0;
  // Room is left for the NUL: a piece that would fill the last byte ends the text.
  auto append = [&](const _infoStruct& info, const char* separator) {
    size_t name = strnlen(info.name, sizeof info.name - 1);
    size_t tail = std::strlen(separator);
    if (used + static_cast<long>(name + tail) > size - 1) return false;
    std::memcpy(out + used, info.name, name);
    std::memcpy(out + used + name, separator, tail);
    used += static_cast<long>(name + tail);
    out[used] = '\0';
    return true;
  };
  for (int i = count - 1; i >= 0; --i) {
    if (!append(ancestors[i]->info_, " : ")) return;
  }
  append(info_, "");
}

CAudioAtom* CAudioAtom::Parent() { return parent_.load(); }

void CAudioAtom::SetParent(CAudioAtom* parent) { parent_ = parent; }

void CAudioAtom::SetAbsoluteOffset(long offset) { absolute_offset_ = offset; }

long CAudioAtom::LevelsDeep() { return levels_deep_.load(); }

long CAudioAtom::OffsetInParent() {
  CAudioAtom* parent = Parent();
  return parent != nullptr ? AbsoluteOffset() - parent->AbsoluteOffset() : AbsoluteOffset();
}

void CAudioAtom::SetPrivateData(void* data) { private_data_ = data; }

void* CAudioAtom::GetPrivateData() { return private_data_; }

double CAudioAtom::GetLastRateLength() { return last_rate_length_; }

void CAudioAtom::SetVirtualDataStart(long start) { virtual_data_start_ = start; }

long CAudioAtom::GetVirtualDataStart() { return virtual_data_start_; }

int CAudioAtom::InPlayOnceMode() { return play_once_.load(); }
