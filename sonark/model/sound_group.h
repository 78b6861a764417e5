#pragma once

#include <platform/wave_format.h>
#include <sonark/visibility.h>
#include <sonark/model/audio_atom.h>
#include <sonark/containers/my_array_list.h>

#include <atomic>

// How many sounds below a group fall in each class that decides its best format.
struct _tFormatCounters {
  long eightBit;   // 8 bits per sample
  long otherBits;  // any other sample size
  long rate11025;  // below 11026 samples per second
  long rate22050;  // below 44100
  long rate44100;  // 44100 or more
};

// An inner node of the session tree: sub-atoms at offsets (milliseconds) relative to the
// group's start, kept sorted by offset. The group holds one reference on each sub-atom.
//
// An adjustable group (CanAdjust) keeps its earliest sub-atom at offset 0: when a change
// puts a sub-atom earlier or removes the first one, the offsets are renormalised and the
// group itself moves in its parent by the same amount, so nothing moves on the time line.
//
// The best format is the format that can play every sound below the group unchanged: 2
// channels, the largest sample size, and the highest of three rate classes. It is kept from
// counters of all the sounds in the group's subtree.
//
// Virtual operations after those of CAudioAtom, in slot order: SubAtomMapsUpdated, CanAdjust,
// LoadSubAtom, UpdateBestFormat.
namespace sonark {
class SessionLoadScope;
}

class SONARK_API CSoundGroup : public CAudioAtom {
 public:
  CSoundGroup();
  CSoundGroup& operator=(const CSoundGroup&) = delete;
  // Releases every sub-atom (each destroyed when that was its last reference).
  ~CSoundGroup() override;

  // A new group holding copies of the overlapping parts of the sub-atoms, from `from` to `to`
  // in the group's time. Its first part is at offset 0 and its absolute offset is where that
  // part lies on the time line; its maps are the matching span of this group's.
  CAudioAtom* Copy(long from, long to) override;
  // A deep copy: a Copy() of every sub-atom at the same offset.
  CAudioAtom* Copy() override;
  int Type() override;
  // Refused (0) beyond the end or while playing; otherwise handed to the current mixer.
  int Play(long offset) override;
  // Requests a stop from the mixer; 1.
  int Stop() override;
  void Mute(int on) override;
  // Mode 0: the extent of the sub-atoms, from the first one's offset to the furthest end,
  // as of the last change to the list or the last Resize (which a sub-atom's new length
  // needs). Other modes: the same extent over each sub-atom's Length(mode), not cached.
  long Length(int mode) override;
  void Scale(double factor) override;
  void CombineWithSubMaps(TMapType type, int recurse) override;
  // Adds `atom` (which must have no parent) at `offset`. With `adjust` the group renormalises
  // (when it CanAdjust); with `resize` it resizes. Returns the outermost atom whose layout
  // changed, which the caller rebuilds; null when refused (kErrInvalidAtomArgument for a null
  // atom, one with another parent, or the group itself or one of its ancestors;
  // kErrTreeTooDeep beyond kMaxTreeDepth; kErrOutOfMemory).
  CAudioAtom* AddSubAtom(CAudioAtom* atom, long offset, int adjust, int resize) override;
  // Removes a member; the group's reference is dropped, which may destroy it. Returns the
  // atom to rebuild, or null (also for a non-member, with kErrInvalidAtomArgument).
  CAudioAtom* RemoveSubAtom(CAudioAtom* atom, int notify, int resize) override;
  CAudioAtom* MoveSubAtom(CAudioAtom* atom, long offset, int adjust, int resize) override;
  // Takes in a new length of the member `atom` (with `atom` the group itself: measures every
  // sub-atom again; changes to the list are already counted). When the group's length
  // changed since the last resize, notifies and resizes the parent. Returns `atom` when
  // unchanged, else the outermost atom whose length changed.
  CAudioAtom* Resize(CAudioAtom* atom) override;
  void SetPlayOnceMode(int on) override;
  // 1 as soon as one sub-atom reports 1; 0 when empty.
  int FinishedWithPlayOnce() override;
  // The session file: the list "sgrp" with the group's records and one list per sub-atom.
  // Load fails on a damaged list (kErrSessionDamaged, kErrTreeTooDeep); a sound that cannot
  // be loaded is left out and reported through its ErrorLoadingFile. Within a
  // sonark::SessionLoadScope a damaged sub-atom list, a wrong count and a list cut short are
  // left out and listed in the scope's report instead, and the load goes on.
  int Load(CRIFF* riff, int a, int b, int c, int d, TLoadProgress progress, void* context) override;
  int Save(CRIFF* riff, int byReference) override;
  unsigned long SaveSize(int byReference) override;
  int PreSave(CRIFF* riff) override;
  int PostSave(CRIFF* riff) override;
  int PreLoad(CRIFF* riff) override;
  int PostLoad(CRIFF* riff) override;

  virtual void SubAtomMapsUpdated(TMapType type);
  virtual int CanAdjust();
  // Creates a sound ("sndc") or a group ("sgrp") and loads it through LoadNewSubAtom; 0
  // (kErrSessionUnknownList) for any other kind, which the caller then skips.
  virtual int LoadSubAtom(CRIFF* riff, unsigned long listType, int a, int b, int c, int d,
                          TLoadProgress progress, void* context);
  // Counts (adding) or uncounts one sound's format here and in every ancestor. A format with
  // sample rate 0 changes nothing. Returns 1 when the best sample size or rate changed.
  virtual int UpdateBestFormat(tWAVEFORMATEX* format, int adding);

  // Null when the index is not below the count.
  CAudioAtom* GetAtom(int index, long* offset);
  // The sub-atom at `offset`, else the last one before it, else the first.
  CAudioAtom* GetAtomBefore(long offset, int& index, long unused = 0);
  // Sub-atoms whose Type() has a bit in `typeMask`; with `recurse` each sub-group adds the
  // number of its own sub-atoms of every kind (one level further).
  int NumAtoms(int typeMask, int recurse);
  int IsMember(CAudioAtom* atom);
  int IsChildOf(CAudioAtom* atom);
  // Moves every sub-atom by `delta`; with `adjust` the group then renormalises once, with
  // `resize` it resizes. Returns the outermost atom whose layout changed, or null.
  CAudioAtom* OffsetSubordinates(long delta, int adjust, int resize);
  // Absolute offsets (and depths) of the whole subtree from this group's. Call it from the
  // editing side; it writes only values that readers take without locks.
  void UpdateSubAtomAbsoluteOffsets();
  tWAVEFORMATEX BestFormat();
  _tFormatCounters FormatCounters();
  char* GetComments();
  // Copies at most 1023 characters.
  void SetComments(const char* comments);
  char* GetCreationTime();
  // Sum of the data sizes of the data objects of all sounds below the group.
  double DataSizeOfSubGroups();
  // The bytes of sound data below the root of a saved session, read from its information
  // block without loading anything: the cursor stands on the root's list and is left there.
  // 0.0 for files without the figure.
  double GetSavedSize(CRIFF* riff);
  // The number of sub-atoms and the bytes of sound data of the last save or load.
  int LastSavedNumAtoms();
  double LastSavedDataSize();

 protected:
  // The atom part and a new creation time; no sub-atoms (Copy adds them through FillCopy).
  CSoundGroup(const CSoundGroup& other);
  CSoundGroup(const CSoundGroup& other, long from, long to);

  // Completes a copy made with the copy constructors (a subclass's Copy operations call
  // these with a new object of its own class): adds copies of the sub-atoms, resizes and
  // returns the copy, or null (the copy released) when a sub-atom cannot be copied.
  CAudioAtom* FillCopy(CSoundGroup* copy);
  CAudioAtom* FillSpanCopy(CSoundGroup* copy, long from, long to);

  // For LoadSubAtom of a subclass: loads `atom` (new, with the one reference, which this call
  // takes over) from the current list and adds it at its stored place. 1 also when a sound
  // was left out; 0 when the list is damaged or the atom cannot be added.
  int LoadNewSubAtom(CAudioAtom* atom, CRIFF* riff, int a, int b, int c, int d,
                     TLoadProgress progress, void* context);

 private:
  friend class CAudioAtom;

  int LoadSalvaging(CRIFF* riff, sonark::SessionLoadScope* scope, bool cut, int levels, int a,
                    int b, int c, int d, TLoadProgress progress, void* context);
  // Reads the group-info record at the current chunk: comments and creation time, and the
  // data size into `dataSize` when the record carries its mark. 0 when it cannot be read.
  int ReadGroupInfo(CRIFF* riff, double* dataSize);
  // Changes to the list (under this group's lock) keep the cached length current.
  int PutIn(CAudioAtom* atom, long offset);
  void TakeOut(CAudioAtom* atom);
  void RefreshLength();
  void StoreExtent();
  void AccountFor(CAudioAtom* member);
  long OffsetOf(CAudioAtom* atom);
  CAudioAtom* Normalise(bool* repositioned);
  void CountSubtree(CAudioAtom* atom, int adding);
  void ForgetDyingSubAtom(CAudioAtom* atom);
  void InitGroupFields();
  static long SubtreeHeight(CAudioAtom* atom, long limit);

  CMyArrayList sub_atoms_;
  // Length(0), read without the lock (by a parent measuring itself, by the mixer), so that
  // no one ever needs a sibling's lock; written under this group's lock.
  std::atomic<long> cached_length_{0};
  // The furthest end of a sub-atom, in the group's time, and whether any counts.
  long furthest_end_ = 0;
  bool has_member_ = false;
  // The length at the last Resize, which decides whether the parent must hear of a change.
  long resized_length_ = 0;
  char comments_[1024];
  char creation_time_[64];
  tWAVEFORMATEX best_format_{};
  _tFormatCounters counters_{};
  int last_saved_num_atoms_ = 0;
  double last_saved_data_size_ = 0.0;
};

// The local date and time as "MM/DD/YY  hh:mm:ss" (two spaces), the form of a group's
// creation time. Writes at most `size` bytes including the NUL and returns `buffer`.
SONARK_API char* GetCurrentTimeString(char* buffer, long size);
