#pragma once

#include <quarl/timeline/timeline_item.h>
#include <session/session_atoms.h>

#include <atomic>

class TimelineView;

// The atom kinds the program creates. Each sound and group carries its display item (reached
// through the atom's private data) and keeps it in step with the tree: a move, a new length,
// joining or leaving a group redraw the bar where it was and where it is now. Loading makes
// these kinds all the way down.

// What the program's sound and group have in common: the display item, and the overrides that
// keep it in step with the atom.
template <class Base>
class TimelineKind : public Base {
 public:
  TimelineKind();
  ~TimelineKind() override;

  TimelineItem& Item() { return item_; }

  void NotifyAtom(TSoundStateCode code, long value) override;
  int PreSave(CRIFF* riff) override;
  int PostLoad(CRIFF* riff) override;
  void NotifyOfNewPosition() override;
  void NotifyOfNewLength() override;
  void CombineWithParentMap(TMapType type) override;
  CAudioAtom* Add(CAudioAtom* parent, long offset) override;
  CAudioAtom* Remove() override;

 protected:
  // Copies: the atom as the engine copies it, with the display of `other`.
  TimelineKind(const TimelineKind& other);
  TimelineKind(const TimelineKind& other, long from, long to);

  TimelineItem item_;

 private:
  bool bar_loaded_ = true;
};

extern template class TimelineKind<BarSound>;
extern template class TimelineKind<BarGroup>;

class TimelineSound : public TimelineKind<BarSound> {
 public:
  TimelineSound() = default;

  CAudioAtom* Copy(long from, long to) override;
  CAudioAtom* Copy() override;

 private:
  TimelineSound(const TimelineSound& other) = default;
  TimelineSound(const TimelineSound& other, long from, long to)
      : TimelineKind<BarSound>(other, from, to) {}
  CAudioAtom* FinishSoundCopy(TimelineSound* copy);
};

class TimelineGroup : public TimelineKind<BarGroup> {
 public:
  TimelineGroup() = default;

  CAudioAtom* Copy(long from, long to) override;
  CAudioAtom* Copy() override;
  void NotifyOfMemberChange() override;
  void SubAtomMapsUpdated(TMapType type) override;
  int LoadSubAtom(CRIFF* riff, unsigned long listType, int a, int b, int c, int d,
                  TLoadProgress progress, void* context) override;

 private:
  TimelineGroup(const TimelineGroup& other) = default;
  TimelineGroup(const TimelineGroup& other, long from, long to)
      : TimelineKind<BarGroup>(other, from, to) {}
};

// The session's root group, embedded in the view: it tells the view when the time line's
// content changes and loads program kinds.
class TimelineRoot : public SessionRootGroup {
 public:
  explicit TimelineRoot(TimelineView* view) : view_(view) {}

  TimelineView* View() const { return view_; }
  // The view lets go of the root when it closes while something (the mixer) still holds it.
  void SetView(TimelineView* view) { view_ = view; }

  void NotifyOfNewLength() override;
  void NotifyOfMemberChange() override;
  int LoadSubAtom(CRIFF* riff, unsigned long listType, int a, int b, int c, int d,
                  TLoadProgress progress, void* context) override;

 private:
  std::atomic<TimelineView*> view_;
};

// A new program sound ("sndc") or group ("sgrp") for a stored sub-atom list, null otherwise.
CAudioAtom* NewTimelineAtom(unsigned long listType);

// The view that shows `atom`'s parent (or the root itself), null when none.
TimelineView* ViewOf(CAudioAtom* atom);
