#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/model/atom_ref.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>
#include <tarnell/ref_obj.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

CSoundGroup* AsGroup(CAudioAtom* atom) { return dynamic_cast<CSoundGroup*>(atom); }

// Whether `candidate` lies higher in the tree than `current` (none counts as lowest).
bool Higher(CAudioAtom* candidate, CAudioAtom* current) {
  return current == nullptr || candidate->LevelsDeep() < current->LevelsDeep();
}

uint32_t RateClass(uint32_t rate) {
  if (rate < 11026) return 11025;
  if (rate < 44100) return 22050;
  return 44100;
}

tWAVEFORMATEX InitialBestFormat() { return PcmFormat(11025, 2, 8); }

bool ValidFactor(double factor) { return factor > 0.0 && std::isfinite(factor); }

// A copied part of a group copy and its place, held until the copy takes it.
struct CopiedPart {
  AtomRef<> atom;
  long place;
};

// Adds the gathered parts to `copy` at their places less `shift`; false when one is refused.
// Every part's reference is dropped on the way out, taken or not.
bool AddParts(CSoundGroup* copy, std::vector<CopiedPart>& parts, long shift) {
  for (CopiedPart& part : parts) {
    if (copy->AddSubAtom(part.atom.get(), part.place - shift, 0, 0) == nullptr) return false;
  }
  return true;
}

}  // namespace

char* GetCurrentTimeString(char* buffer, long size) {
  if (buffer == nullptr || size <= 0) return buffer;
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::snprintf(buffer, static_cast<size_t>(size), "%.2d/%.2d/%.2d  %.2d:%.2d:%.2d",
                local.tm_mon + 1, local.tm_mday, local.tm_year % 100, local.tm_hour, local.tm_min,
                local.tm_sec);
  return buffer;
}

// Levels below `atom` (0 for a leaf), looked at no further than `limit` levels down: any
// result above `limit` only means "deeper than that". The caller holds the atom's lock, the
// top of its tree, so nothing below it changes meanwhile.
long CSoundGroup::SubtreeHeight(CAudioAtom* atom, long limit) {
  CSoundGroup* group = AsGroup(atom);
  if (group == nullptr) return 0;
  int count = group->sub_atoms_.Count();
  if (limit <= 0) return count > 0 ? 1 : 0;
  long height = 0;
  for (int i = 0; i < count && height <= limit; ++i) {
    auto* sub = static_cast<CAudioAtom*>(group->sub_atoms_.Index(i));
    height = std::max(height, 1 + SubtreeHeight(sub, limit - 1));
  }
  return height;
}

CSoundGroup::CSoundGroup() { InitGroupFields(); }

CSoundGroup::CSoundGroup(const CSoundGroup& other) : CAudioAtom(other) { InitGroupFields(); }

CSoundGroup::CSoundGroup(const CSoundGroup& other, long from, long to)
    : CAudioAtom(other, from, to) {
  InitGroupFields();
}

void CSoundGroup::InitGroupFields() {
  comments_[0] = '\0';
  GetCurrentTimeString(creation_time_, sizeof creation_time_);
  best_format_ = InitialBestFormat();
  counters_ = {};
}

CSoundGroup::~CSoundGroup() {
  if (Parent() != nullptr) DetachFromParent();
  Guard guard(lock_);
  while (sub_atoms_.Count() > 0) {
    int last = sub_atoms_.Count() - 1;
    auto* sub = static_cast<CAudioAtom*>(sub_atoms_.Index(last));
    sub_atoms_.RemoveByIndex(last);
    {
      Guard sub_guard(sub->lock_);
      sub->listed_ = false;
      sub->parent_ = nullptr;
      sub->levels_deep_ = 0;
    }
    DeleteAtom(&sub);
    // A sub-group that someone else still holds is now the top of its own tree.
    if (CSoundGroup* survivor = AsGroup(sub)) survivor->UpdateSubAtomAbsoluteOffsets();
  }
}

CAudioAtom* CSoundGroup::Copy() { return FillCopy(new (std::nothrow) CSoundGroup(*this)); }

CAudioAtom* CSoundGroup::Copy(long from, long to) {
  if (to < from) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return nullptr;
  }
  return FillSpanCopy(new (std::nothrow) CSoundGroup(*this, from, to), from, to);
}

CAudioAtom* CSoundGroup::FillCopy(CSoundGroup* fresh) {
  AtomRef<CSoundGroup> copy(fresh);
  if (!copy) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return nullptr;
  }
  // The parts are gathered under this group's lock and added to the copy after it is
  // released, so the copy's lock is never taken inside this one's.
  std::vector<CopiedPart> parts;
  {
    Guard guard(lock_);
    int count = sub_atoms_.Count();
    parts.reserve(count);
    for (int i = 0; i < count; ++i) {
      long offset = 0;
      auto* sub = static_cast<CAudioAtom*>(sub_atoms_.Index(i, &offset));
      AtomRef<> part(sub->Copy());
      if (!part) return nullptr;
      parts.push_back({std::move(part), offset});
    }
  }
  if (!AddParts(copy.get(), parts, 0)) return nullptr;
  copy->Resize(copy.get());
  return FinishCopy(copy.release());
}

CAudioAtom* CSoundGroup::FillSpanCopy(CSoundGroup* fresh, long from, long to) {
  AtomRef<CSoundGroup> copy(fresh);
  if (!copy) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return nullptr;
  }
  if (to < from) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return nullptr;
  }
  std::vector<CopiedPart> parts;  // places relative to `from`
  long group_start = 0;
  {
    Guard guard(lock_);
    group_start = AbsoluteOffset();
    int count = sub_atoms_.Count();
    for (int i = 0; i < count; ++i) {
      long offset = 0;
      auto* sub = static_cast<CAudioAtom*>(sub_atoms_.Index(i, &offset));
      long end = offset + sub->Length(0);
      if (offset >= to || end <= from) continue;
      long place = std::max(offset, from) - from;
      AtomRef<> part;
      if (offset >= from && end <= to) {
        part.reset(sub->Copy());
      } else {
        long start = std::max(from, offset) - offset;
        part.reset(sub->Copy(start, std::min(to, end) - offset));
        // A group's part begins at its own first contribution, which may lie later.
        if (part && (part->Type() & kAtomTypeGroup)) {
          place += part->AbsoluteOffset() - (sub->AbsoluteOffset() + start);
        }
      }
      if (!part) return nullptr;
      CSoundGroup* part_group = AsGroup(part.get());
      if (part_group != nullptr && part_group->sub_atoms_.Count() == 0) continue;
      parts.push_back({std::move(part), place});
    }
  }

  // The copy starts at its earliest part, and its maps cover exactly the parts' span, so
  // that its envelopes stay where they were over the copied material.
  long shift = 0;
  long span_end = to - from;
  for (size_t i = 0; i < parts.size(); ++i) {
    long end = parts[i].place + parts[i].atom->Length(0);
    if (i == 0 || parts[i].place < shift) shift = parts[i].place;
    if (i == 0 || end > span_end) span_end = end;
  }
  {
    Guard guard(lock_);
    static_cast<CMap&>(*copy) = CMap(*this, from + shift, from + span_end);
    copy->source_map_ = CMap(source_map_, from + shift, from + span_end);
  }
  copy->absolute_offset_ = group_start + from + shift;
  if (!AddParts(copy.get(), parts, shift)) return nullptr;
  copy->Resize(copy.get());
  copy->NotifyOfNewLength();
  long length = copy->Length(0);
  if (length > 0) copy->SetLastRateLength(copy->source_map_.GetRateMapAdjustedTime(length));
  return FinishCopy(copy.release());
}

int CSoundGroup::Type() { return kAtomTypeGroup; }

int CSoundGroup::Play(long offset) { return PlayOnCurrentMixer(offset); }

int CSoundGroup::Stop() {
  Guard guard(lock_);
  if (Playing()) SetMixerFlag(kMixerFlagStopRequest);
  return 1;
}

void CSoundGroup::Mute(int on) {
  CAudioAtom::Mute(on);
  Guard guard(lock_);
  for (int i = 0; i < sub_atoms_.Count(); ++i) {
    static_cast<CAudioAtom*>(sub_atoms_.Index(i))->Mute(on);
  }
}

long CSoundGroup::Length(int mode) {
  if (mode == 0) return cached_length_.load();
  Guard guard(lock_);
  int count = sub_atoms_.Count();
  if (count == 0) return 0;
  long first = 0;
  sub_atoms_.Index(0, &first);
  bool any = false;
  long furthest = first;
  for (int i = 0; i < count; ++i) {
    long offset = 0;
    auto* sub = static_cast<CAudioAtom*>(sub_atoms_.Index(i, &offset));
    if (!(sub->Type() & kAtomTypeMembers)) continue;
    long end = offset + sub->Length(mode);
    if (!any || end > furthest) furthest = end;
    any = true;
  }
  return any ? furthest - first : 0;
}

void CSoundGroup::RefreshLength() {
  has_member_ = false;
  furthest_end_ = 0;
  for (int i = 0; i < sub_atoms_.Count(); ++i) {
    long offset = 0;
    auto* sub = static_cast<CAudioAtom*>(sub_atoms_.Index(i, &offset));
    if (!(sub->Type() & kAtomTypeMembers)) continue;
    long end = offset + sub->Length(0);
    sub->listed_end_ = end;
    if (!has_member_ || end > furthest_end_) furthest_end_ = end;
    has_member_ = true;
  }
  StoreExtent();
}

void CSoundGroup::AccountFor(CAudioAtom* member) {
  if (!(member->Type() & kAtomTypeMembers)) return;
  long before = member->listed_end_;
  long end = OffsetOf(member) + member->Length(0);
  member->listed_end_ = end;
  if (!has_member_ || end >= furthest_end_) {
    furthest_end_ = end;
    has_member_ = true;
    StoreExtent();
  } else if (before >= furthest_end_) {
    // It reached furthest and drew back: someone else may reach furthest now.
    RefreshLength();
  }
}

void CSoundGroup::StoreExtent() {
  long first = 0;
  bool any = sub_atoms_.Index(0, &first) != nullptr && has_member_;
  cached_length_ = any ? furthest_end_ - first : 0;
}

void CSoundGroup::Scale(double factor) {
  if (!ValidFactor(factor)) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return;
  }
  CAudioAtom* target = nullptr;
  {
    CAtomTreeLock tree(this);
    // Moving sub-atoms reorders the list, so walk a snapshot of it.
    CMyArrayList members(sub_atoms_);
    if (members.Count() != sub_atoms_.Count()) {
      platform::set_last_error(sonark::kErrOutOfMemory);
      return;
    }
    // The moves below resize the ancestors one step at a time, so the final resize alone
    // cannot tell which of them changed: remember their lengths.
    constexpr int kMostAncestors = static_cast<int>(kMaxTreeDepth) + 1;
    CAudioAtom* ancestors[kMostAncestors];
    long ancestor_lengths[kMostAncestors];
    int ancestor_count = 0;
    for (CAudioAtom* a = Parent(); a != nullptr && ancestor_count < kMostAncestors;
         a = a->Parent()) {
      ancestors[ancestor_count] = a;
      ancestor_lengths[ancestor_count++] = a->Length(0);
    }
    long length = TruncateToLong(static_cast<double>(Length(0)) * factor);
    source_map_.ScaleEvents(factor);
    {
      MapCombiningPause pause;
      int count = members.Count();
      for (int k = 0; k < count; ++k) {
        // Growing works from the end and shrinking from the start, so moved atoms keep order.
        int i = factor > 1.0 ? count - 1 - k : k;
        long offset = 0;
        auto* sub = static_cast<CAudioAtom*>(members.Index(i, &offset));
        sub->Move(TruncateToLong(static_cast<double>(offset) * factor));
        sub->Scale(factor);
      }
    }
    SetVirtualLength(length);
    target = ScaleTarget();
    for (int i = ancestor_count - 1; i >= 0; --i) {
      if (ancestors[i]->Length(0) != ancestor_lengths[i] && ancestors[i]->CanCombine()) {
        if (Higher(ancestors[i], target)) target = ancestors[i];
        break;
      }
    }
    if (target != nullptr) target->AddReference();
  }
  RebuildAndRelease(target);
}

void CSoundGroup::CombineWithSubMaps(TMapType type, int recurse) {
  // Nothing to rebuild while combining is off; the walk would only take locks.
  if (!MapCombiningEnabled()) return;
  CAtomTreeLock tree(this);
  for (int i = 0; i < sub_atoms_.Count(); ++i) {
    auto* sub = static_cast<CAudioAtom*>(sub_atoms_.Index(i));
    sub->CombineWithParentMap(type);
    if (recurse) sub->CombineWithSubMaps(type, recurse);
  }
}

int CSoundGroup::PutIn(CAudioAtom* atom, long offset) {
  int index = sub_atoms_.AddSorted(atom, offset);
  if (index < 0) return -1;
  atom->listed_ = true;
  if (atom->Type() & kAtomTypeMembers) {
    long end = offset + atom->Length(0);
    atom->listed_end_ = end;
    if (!has_member_ || end > furthest_end_) furthest_end_ = end;
    has_member_ = true;
  }
  StoreExtent();
  return index;
}

void CSoundGroup::TakeOut(CAudioAtom* atom) {
  for (int i = 0; i < sub_atoms_.Count(); ++i) {
    if (sub_atoms_.Index(i) != atom) continue;
    sub_atoms_.RemoveByIndex(i);
    atom->listed_ = false;
    // Only the atom that reached furthest makes the whole list worth measuring again.
    if ((atom->Type() & kAtomTypeMembers) && atom->listed_end_ >= furthest_end_) {
      RefreshLength();
    } else {
      StoreExtent();
    }
    return;
  }
}

long CSoundGroup::OffsetOf(CAudioAtom* atom) {
  for (int i = 0; i < sub_atoms_.Count(); ++i) {
    long offset = 0;
    if (sub_atoms_.Index(i, &offset) == atom) return offset;
  }
  return 0;
}

CAudioAtom* CSoundGroup::AddSubAtom(CAudioAtom* atom, long offset, int adjust, int resize) {
  if (atom == nullptr) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return nullptr;
  }
  CAtomTreeLock tree(this);
  // A member taken out of the list for a move comes back with its parent link and its
  // formats still counted here.
  CAudioAtom* old_parent = atom->Parent();
  const bool returning = old_parent == this && !atom->listed_;
  if (!returning) {
    bool refused = old_parent != nullptr;
    for (CAudioAtom* a = this; a != nullptr && !refused; a = a->Parent()) refused = a == atom;
    if (refused) {
      platform::set_last_error(sonark::kErrInvalidAtomArgument);
      return nullptr;
    }
  }
  // The atom is the top of its own tree until it joins: holding it keeps that tree still.
  Guard atom_guard(atom->lock_);
  if (!returning) {
    long room = kMaxTreeDepth - LevelsDeep() - 1;
    if (room < 0 || SubtreeHeight(atom, room) > room) {
      platform::set_last_error(sonark::kErrTreeTooDeep);
      return nullptr;
    }
  }
  if (PutIn(atom, offset) < 0) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return nullptr;
  }
  atom->levels_deep_ = LevelsDeep() + 1;
  atom->absolute_offset_ = AbsoluteOffset() + offset;
  atom->parent_ = this;
  atom->AddReference();

  CAudioAtom* result = atom;
  bool repositioned = false;
  if (adjust) {
    CAudioAtom* moved = Normalise(&repositioned);
    if (moved != nullptr && Higher(moved, result) && moved->CanCombine()) result = moved;
  }
  if (!repositioned) {
    atom->NotifyOfNewPosition();
    if (CSoundGroup* group = AsGroup(atom)) group->UpdateSubAtomAbsoluteOffsets();
  }
  if (resize) {
    CAudioAtom* resized = Resize(atom);
    if (resized != nullptr && Higher(resized, result) && resized->CanCombine()) result = resized;
  }
  if (adjust) NotifyOfMemberChange();
  if (!returning) CountSubtree(atom, 1);
  return result;
}

CAudioAtom* CSoundGroup::Normalise(bool* repositioned) {
  *repositioned = false;
  if (sub_atoms_.Count() == 0 || !CanAdjust()) return nullptr;
  long first = 0;
  sub_atoms_.Index(0, &first);
  if (first == 0) return nullptr;
  sub_atoms_.AdjustAllSortValues(-first);
  for (int i = 0; i < sub_atoms_.Count(); ++i) {
    static_cast<CAudioAtom*>(sub_atoms_.Index(i))->listed_end_ -= first;
  }
  furthest_end_ -= first;
  StoreExtent();
  *repositioned = true;
  CSoundGroup* parent = AsGroup(Parent());
  if (parent == nullptr || !listed_) {
    // Without a parent to move in, the group moves itself, so that no sub-atom moves on the
    // time line.
    absolute_offset_ = AbsoluteOffset() + first;
    UpdateSubAtomAbsoluteOffsets();
    return CanCombine() ? this : nullptr;
  }
  long old_offset = parent->OffsetOf(this);
  parent->TakeOut(this);
  CAudioAtom* result = parent->AddSubAtom(this, old_offset + first, 1, 1);
  if (result != nullptr) DecReference();
  return result;
}

void CSoundGroup::CountSubtree(CAudioAtom* atom, int adding) {
  if (atom->Type() & kAtomTypeSound) {
    if (adding && atom->Parent() == this) {
      // A sound joining this group is counted with its format of now, everywhere above.
      auto* sound = dynamic_cast<CPCMSound*>(atom);
      const tWAVEFORMATEX* format = sound != nullptr ? sound->Format() : nullptr;
      atom->counted_format_ = format != nullptr ? *format : tWAVEFORMATEX{};
    }
    UpdateBestFormat(&atom->counted_format_, adding);
    return;
  }
  // The atom's subtree is read as it stands: only editors change it, and they are held off
  // by the locks this operation holds.
  if (CSoundGroup* group = AsGroup(atom)) {
    for (int i = 0; i < group->sub_atoms_.Count(); ++i) {
      CountSubtree(static_cast<CAudioAtom*>(group->sub_atoms_.Index(i)), adding);
    }
  }
}

CAudioAtom* CSoundGroup::RemoveSubAtom(CAudioAtom* atom, int notify, int resize) {
  if (atom == nullptr) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return nullptr;
  }
  CAtomTreeLock tree(this);
  if (atom->Parent() != this || !atom->listed_) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return nullptr;
  }
  CountSubtree(atom, 0);
  {
    Guard atom_guard(atom->lock_);
    TakeOut(atom);
    atom->levels_deep_ = 0;
    atom->parent_ = nullptr;
  }
  if (CSoundGroup* group = AsGroup(atom)) group->UpdateSubAtomAbsoluteOffsets();
  atom->NotifyOfNewPosition();
  CAudioAtom* removed = atom;
  DeleteAtom(&removed);  // null once destroyed

  CAudioAtom* result = nullptr;
  bool repositioned = false;
  CAudioAtom* moved = Normalise(&repositioned);
  if (moved != nullptr && moved->CanCombine()) result = moved;
  if (resize) {
    CAudioAtom* resized = Resize(removed);
    // The removed atom is now a top atom: it never outranks a group that changed.
    if (resized != nullptr && resized->CanCombine() &&
        (result == nullptr || (resized != removed && Higher(resized, result)))) {
      result = resized;
    }
  } else if (result == nullptr) {
    result = removed;
  }
  if (notify) NotifyOfMemberChange();
  return result;
}

CAudioAtom* CSoundGroup::MoveSubAtom(CAudioAtom* atom, long offset, int adjust, int resize) {
  if (atom == nullptr) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return nullptr;
  }
  CAtomTreeLock tree(this);
  if (atom->Parent() != this || !atom->listed_) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return nullptr;
  }
  TakeOut(atom);
  CAudioAtom* result = AddSubAtom(atom, offset, adjust, resize);
  if (result != nullptr) {
    atom->DecReference();
    return result;
  }
  // Out of memory while putting it back: the atom leaves the group instead of hanging there.
  CountSubtree(atom, 0);
  {
    Guard atom_guard(atom->lock_);
    atom->parent_ = nullptr;
    atom->levels_deep_ = 0;
  }
  DeleteAtom(&atom);
  Resize(nullptr);
  return nullptr;
}

CAudioAtom* CSoundGroup::Resize(CAudioAtom* atom) {
  CAtomTreeLock tree(this);
  long before = resized_length_;
  if (atom == this) {
    RefreshLength();
  } else if (atom != nullptr && atom->Parent() == this && atom->listed_) {
    AccountFor(atom);
  }
  long now = Length(0);
  resized_length_ = now;
  if (now == before) return atom;
  NotifyOfNewLength();
  if (CAudioAtom* parent = Parent()) {
    CAudioAtom* result = parent->Resize(this);
    if (result != nullptr && result->CanCombine()) return result;
  }
  return this;
}

void CSoundGroup::SetPlayOnceMode(int on) {
  CAudioAtom::SetPlayOnceMode(on);
  Guard guard(lock_);
  for (int i = 0; i < sub_atoms_.Count(); ++i) {
    static_cast<CAudioAtom*>(sub_atoms_.Index(i))->SetPlayOnceMode(on);
  }
}

int CSoundGroup::FinishedWithPlayOnce() {
  Guard guard(lock_);
  for (int i = 0; i < sub_atoms_.Count(); ++i) {
    if (static_cast<CAudioAtom*>(sub_atoms_.Index(i))->FinishedWithPlayOnce()) return 1;
  }
  return 0;
}

void CSoundGroup::SubAtomMapsUpdated(TMapType) {}

int CSoundGroup::CanAdjust() { return 1; }

int CSoundGroup::UpdateBestFormat(tWAVEFORMATEX* format, int adding) {
  if (format == nullptr || format->nSamplesPerSec == 0) return 0;
  CAtomTreeLock tree(this);
  const uint16_t bits_before = best_format_.wBitsPerSample;
  const uint32_t rate_before = best_format_.nSamplesPerSec;
  const uint32_t rate_class = RateClass(format->nSamplesPerSec);
  long& size_count = format->wBitsPerSample == 8 ? counters_.eightBit : counters_.otherBits;
  long& rate_count = rate_class == 11025   ? counters_.rate11025
                     : rate_class == 22050 ? counters_.rate22050
                                           : counters_.rate44100;
  if (adding) {
    ++size_count;
    ++rate_count;
    // Plain comparisons: the fields of the packed record cannot be bound to references.
    if (format->wBitsPerSample > bits_before) best_format_.wBitsPerSample = format->wBitsPerSample;
    if (rate_class > rate_before) best_format_.nSamplesPerSec = rate_class;
  } else {
    // Uncounting what was never counted must not drive a counter below zero.
    if (size_count > 0) --size_count;
    if (rate_count > 0) --rate_count;
    if (counters_.otherBits == 0) best_format_.wBitsPerSample = 8;
    if (counters_.rate44100 == 0) {
      best_format_.nSamplesPerSec = counters_.rate22050 > 0 ? 22050 : 11025;
    }
  }
  best_format_.nChannels = 2;
  best_format_.nBlockAlign =
      static_cast<uint16_t>(best_format_.wBitsPerSample * best_format_.nChannels / 8);
  best_format_.nAvgBytesPerSec = best_format_.nSamplesPerSec * best_format_.nBlockAlign;
  if (CSoundGroup* parent = AsGroup(Parent())) parent->UpdateBestFormat(format, adding);
  return best_format_.wBitsPerSample != bits_before || best_format_.nSamplesPerSec != rate_before
             ? 1
             : 0;
}

CAudioAtom* CSoundGroup::GetAtom(int index, long* offset) {
  Guard guard(lock_);
  return static_cast<CAudioAtom*>(sub_atoms_.Index(index, offset));
}

CAudioAtom* CSoundGroup::GetAtomBefore(long offset, int& index, long) {
  Guard guard(lock_);
  return static_cast<CAudioAtom*>(sub_atoms_.ElemBySortValue(offset, &index, nullptr));
}

int CSoundGroup::NumAtoms(int typeMask, int recurse) {
  Guard guard(lock_);
  int count = 0;
  for (int i = 0; i < sub_atoms_.Count(); ++i) {
    auto* sub = static_cast<CAudioAtom*>(sub_atoms_.Index(i));
    if (sub->Type() & typeMask) ++count;
    if (recurse) {
      if (CSoundGroup* group = AsGroup(sub)) count += group->NumAtoms(kAtomTypeMembers, 0);
    }
  }
  return count;
}

int CSoundGroup::IsMember(CAudioAtom* atom) {
  Guard guard(lock_);
  return sub_atoms_.Member(atom);
}

int CSoundGroup::IsChildOf(CAudioAtom* atom) { return IsMember(atom); }

CAudioAtom* CSoundGroup::OffsetSubordinates(long delta, int adjust, int resize) {
  if (delta == 0) return nullptr;
  CAtomTreeLock tree(this);
  CMyArrayList members(sub_atoms_);
  if (members.Count() != sub_atoms_.Count()) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return nullptr;
  }
  CAudioAtom* result = nullptr;
  // Every sub-atom moves first and the group renormalises once: renormalising after each
  // one would shift the offsets of those not yet moved.
  for (int i = 0; i < members.Count(); ++i) {
    long offset = 0;
    auto* sub = static_cast<CAudioAtom*>(members.Index(i, &offset));
    CAudioAtom* moved = MoveSubAtom(sub, offset + delta, 0, 0);
    if (moved != nullptr && moved->CanCombine() && Higher(moved, result)) result = moved;
  }
  if (adjust) {
    bool repositioned = false;
    CAudioAtom* moved = Normalise(&repositioned);
    if (moved != nullptr && moved->CanCombine() && Higher(moved, result)) result = moved;
    NotifyOfMemberChange();
  }
  if (resize) {
    CAudioAtom* resized = Resize(this);
    if (resized != nullptr && resized->CanCombine() && Higher(resized, result)) result = resized;
  }
  return result;
}

void CSoundGroup::UpdateSubAtomAbsoluteOffsets() {
  // No locks below this group: a normalisation further up must not take the locks of the
  // siblings of an atom it holds. The lists are only read here, and only editors change
  // them; the values written are atomic.
  long start = AbsoluteOffset();
  long depth = LevelsDeep();
  for (int i = 0; i < sub_atoms_.Count(); ++i) {
    long offset = 0;
    auto* sub = static_cast<CAudioAtom*>(sub_atoms_.Index(i, &offset));
    sub->absolute_offset_ = start + offset;
    sub->levels_deep_ = depth + 1;
    sub->NotifyOfNewPosition();
    if (CSoundGroup* group = AsGroup(sub)) group->UpdateSubAtomAbsoluteOffsets();
  }
}

void CSoundGroup::ForgetDyingSubAtom(CAudioAtom* atom) {
  CAtomTreeLock tree(this);
  if (atom->Parent() != this) return;
  if (atom->listed_) {
    CountSubtree(atom, 0);
    TakeOut(atom);
  }
  atom->parent_ = nullptr;
  atom->levels_deep_ = 0;
  bool repositioned = false;
  Normalise(&repositioned);
  Resize(nullptr);
  NotifyOfMemberChange();
}

tWAVEFORMATEX CSoundGroup::BestFormat() {
  Guard guard(lock_);
  return best_format_;
}

_tFormatCounters CSoundGroup::FormatCounters() {
  Guard guard(lock_);
  return counters_;
}

char* CSoundGroup::GetComments() { return comments_; }

void CSoundGroup::SetComments(const char* comments) {
  size_t length = comments != nullptr ? strnlen(comments, sizeof comments_ - 1) : 0;
  if (length > 0) std::memcpy(comments_, comments, length);
  comments_[length] = '\0';
}

char* CSoundGroup::GetCreationTime() { return creation_time_; }

double CSoundGroup::DataSizeOfSubGroups() {
  Guard guard(lock_);
  double total = 0.0;
  for (int i = 0; i < sub_atoms_.Count(); ++i) {
    auto* sub = static_cast<CAudioAtom*>(sub_atoms_.Index(i));
    if (auto* sound = dynamic_cast<CPCMSound*>(sub)) {
      CRefObj* data = sound->GetRefObj();
      long size = data != nullptr ? data->DataSize() : 0;
      if (size > 0) total += static_cast<double>(size);
    } else if (CSoundGroup* group = AsGroup(sub)) {
      total += group->DataSizeOfSubGroups();
    }
  }
  return total;
}
