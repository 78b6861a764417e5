#include <quarl/timeline/timeline_atoms.h>

#include <quarl/timeline/timeline_view.h>
#include <platform/last_error.h>
#include <tarnell/riff.h>

#include <climits>
#include <new>
#include <type_traits>

namespace {

// Put in the bar before a load reads its "zbar" chunk, to tell whether the file had one.
constexpr int32_t kNoStoredBar = INT32_MIN;

void ShowLoadedState(CAudioAtom* atom, TimelineItem& item) {
  item.locked = atom->Locked() != 0;
  item.muted = atom->Muted() != 0;
  item.SetName(atom->GetInfo()->name);
  item.MarkWaveformForRebuild();
}

void ShowState(TSoundStateCode code, TimelineItem& item) {
  switch (code) {
    case kSoundMuted: item.muted = true; break;
    case kSoundUnmuted: item.muted = false; break;
    case kSoundLocked: item.locked = true; break;
    case kSoundUnlocked: item.locked = false; break;
    case kSoundPlayModeOff:
      // From the mixing thread: only the play line goes, nothing of the bar changes.
      if (item.View() != nullptr) item.View()->ItemStoppedPlaying(&item);
      return;
    default: return;
  }
  item.Invalidate();
}

// Moves the bar to where the atom now is, redrawing both places.
void Follow(TimelineItem& item) {
  item.Invalidate();
  item.FollowAtom();
  item.Invalidate();
  if (item.View() != nullptr) item.View()->ExtentsChanged();
}

// After joining a group: the view of the new parent, the bar at the atom's place, and for a
// bar the file did not store, the top lane.
void Joined(CAudioAtom* parent, TimelineItem& item, bool* bar_loaded) {
  TimelineView* view = ViewOf(parent);
  if (view != nullptr) item.SetView(view);
  {
    // The window reads bars under the lock of the group it shows.
    parent->Lock();
    item.FollowAtom();
    if (!*bar_loaded) {
      item.Bar().top = 0;
      item.Bar().bottom = kBarHeight;
      *bar_loaded = true;
    }
    parent->Unlock();
  }
  item.Invalidate();
  if (view != nullptr) view->ExtentsChanged();
}

void Leaving(TimelineItem& item) {
  item.Invalidate();
  if (item.View() != nullptr) item.View()->ForgetItem(&item);
}

}  // namespace

TimelineView* ViewOf(CAudioAtom* atom) {
  if (atom == nullptr) return nullptr;
  if (auto* root = dynamic_cast<TimelineRoot*>(atom)) return root->View();
  TimelineItem* item = ItemOf(atom);
  return item ? item->View() : nullptr;
}

CAudioAtom* NewTimelineAtom(unsigned long listType) {
  if (listType == tarnell::FourCC("sndc")) return new (std::nothrow) TimelineSound();
  if (listType == tarnell::FourCC("sgrp")) return new (std::nothrow) TimelineGroup();
  return nullptr;
}

// ---- What sounds and groups share ----

template <class Base>
TimelineKind<Base>::TimelineKind() : item_(this, &this->Bar()) {
  this->SetPrivateData(&item_);
}

template <class Base>
TimelineKind<Base>::TimelineKind(const TimelineKind& other) : Base(other), item_(this, &this->Bar()) {
  this->SetPrivateData(&item_);
  item_.CopyDisplayFrom(other.item_);
}

template <class Base>
TimelineKind<Base>::TimelineKind(const TimelineKind& other, long from, long to)
    : Base(other, from, to), item_(this, &this->Bar()) {
  this->SetPrivateData(&item_);
  item_.CopyDisplayFrom(other.item_);
}

template <class Base>
TimelineKind<Base>::~TimelineKind() {
  if (item_.View() != nullptr) item_.View()->ForgetItem(&item_);
}

template <class Base>
void TimelineKind<Base>::NotifyAtom(TSoundStateCode code, long value) {
  Base::NotifyAtom(code, value);
  ShowState(code, item_);
}

template <class Base>
int TimelineKind<Base>::PreSave(CRIFF* riff) {
  if (!item_.Name().empty()) this->SetAtomName(item_.Name().c_str());
  return Base::PreSave(riff);
}

template <class Base>
int TimelineKind<Base>::PostLoad(CRIFF* riff) {
  this->Bar().left = kNoStoredBar;
  const int result = Base::PostLoad(riff);
  bar_loaded_ = this->Bar().left != kNoStoredBar;
  if (!bar_loaded_) this->Bar() = BarRect{};
  ShowLoadedState(this, item_);
  return result;
}

template <class Base>
void TimelineKind<Base>::NotifyOfNewPosition() {
  Base::NotifyOfNewPosition();
  Follow(item_);
}

template <class Base>
void TimelineKind<Base>::NotifyOfNewLength() {
  Base::NotifyOfNewLength();
  // A group's picture is the mix of its members over its length.
  if constexpr (std::is_base_of_v<CSoundGroup, Base>) item_.MarkWaveformForRebuild();
  Follow(item_);
}

template <class Base>
void TimelineKind<Base>::CombineWithParentMap(TMapType type) {
  Base::CombineWithParentMap(type);
  item_.Invalidate();
}

template <class Base>
CAudioAtom* TimelineKind<Base>::Add(CAudioAtom* parent, long offset) {
  CAudioAtom* result = Base::Add(parent, offset);
  if (result != nullptr) Joined(parent, item_, &bar_loaded_);
  return result;
}

template <class Base>
CAudioAtom* TimelineKind<Base>::Remove() {
  // The parent's reference may be the last one: nothing of this atom is touched afterwards.
  Leaving(item_);
  return Base::Remove();
}

template class TimelineKind<BarSound>;
template class TimelineKind<BarGroup>;

// ---- TimelineSound ----

CAudioAtom* TimelineSound::FinishSoundCopy(TimelineSound* copy) {
  if (copy != nullptr && copy->CopyFailure() != 0) {
    const uint32_t code = copy->CopyFailure();
    CAudioAtom* atom = copy;
    DeleteAtom(&atom);
    platform::set_last_error(code);
    return nullptr;
  }
  return FinishCopy(copy);
}

CAudioAtom* TimelineSound::Copy(long from, long to) {
  if (to < from) return BarSound::Copy(from, to);  // refused with the engine's code
  return FinishSoundCopy(new (std::nothrow) TimelineSound(*this, from, to));
}

CAudioAtom* TimelineSound::Copy() {
  return FinishSoundCopy(new (std::nothrow) TimelineSound(*this));
}

// ---- TimelineGroup ----

CAudioAtom* TimelineGroup::Copy(long from, long to) {
  if (to < from) return BarGroup::Copy(from, to);
  return FillSpanCopy(new (std::nothrow) TimelineGroup(*this, from, to), from, to);
}

CAudioAtom* TimelineGroup::Copy() { return FillCopy(new (std::nothrow) TimelineGroup(*this)); }

void TimelineGroup::NotifyOfMemberChange() {
  BarGroup::NotifyOfMemberChange();
  item_.MarkWaveformForRebuild();
  item_.Invalidate();
}

void TimelineGroup::SubAtomMapsUpdated(TMapType type) {
  BarGroup::SubAtomMapsUpdated(type);
  item_.Invalidate();
}

int TimelineGroup::LoadSubAtom(CRIFF* riff, unsigned long listType, int a, int b, int c, int d,
                               TLoadProgress progress, void* context) {
  CAudioAtom* atom = NewTimelineAtom(listType);
  return atom ? LoadNewSubAtom(atom, riff, a, b, c, d, progress, context) : 0;
}

// ---- TimelineRoot ----

void TimelineRoot::NotifyOfNewLength() {
  SessionRootGroup::NotifyOfNewLength();
  if (TimelineView* view = view_.load()) view->ExtentsChanged();
}

void TimelineRoot::NotifyOfMemberChange() {
  SessionRootGroup::NotifyOfMemberChange();
  if (TimelineView* view = view_.load()) view->ExtentsChanged();
}

int TimelineRoot::LoadSubAtom(CRIFF* riff, unsigned long listType, int a, int b, int c, int d,
                              TLoadProgress progress, void* context) {
  CAudioAtom* atom = NewTimelineAtom(listType);
  return atom ? LoadNewSubAtom(atom, riff, a, b, c, d, progress, context) : 0;
}
