#pragma once

#include <platform/wave_format.h>
#include <sonark/visibility.h>
#include <sonark/containers/map.h>

#include <atomic>
#include <cstdint>
#include <mutex>

class CRIFF;
class CSoundGroup;

// Progress callback of sound loading: called with 0 first, then with source bytes consumed;
// 0 cancels, -1 asks to be called again, anything else continues.
using TLoadProgress = int (*)(unsigned long amount, void* context);

// What NotifyAtom tells an atom about itself.
enum TSoundStateCode : int {
  kSoundPlayModeOn = 0,
  kSoundPlayModeOff = 2,
  kSoundMuted = 3,
  kSoundUnmuted = 4,
  kSoundLocked = 6,
  kSoundUnlocked = 7,
};

// Mixer flags, shared with the mixer, which reads and clears them.
constexpr unsigned long kMixerFlagStructure = 0x01;  // moved by Add, Move or Remove
constexpr unsigned long kMixerFlagNewMap = 0x02;     // effective map rebuilt
constexpr unsigned long kMixerFlagNewLength = 0x04;  // length changed
constexpr unsigned long kMixerFlagRateMap = 0x10;    // rate map rebuilt while playing
constexpr unsigned long kMixerFlagStopRequest = 0x20;

// Chunk flags, stored in the session file.
constexpr unsigned long kChunkFlagMuted = 0x01;
constexpr unsigned long kChunkFlagLocked = 0x02;

// Type() bits.
constexpr int kAtomTypeAtom = 1;
constexpr int kAtomTypeGroup = 2;
constexpr int kAtomTypeSound = 4;
// Every kind that takes part in lengths and counts (groups, sounds and the two spare kinds).
constexpr int kAtomTypeMembers = 30;

// The deepest nesting a tree may reach (the top atom is at depth 0). It bounds every walk
// through the tree, so no operation recurses without limit, and the number of atom locks one
// thread holds at once (a chain from the top plus one path below it).
constexpr long kMaxTreeDepth = 32;

// The atom's information record, stored whole in the session file.
struct _infoStruct {
  char name[512];  // NUL-terminated, at most 511 characters
};
static_assert(sizeof(_infoStruct) == 512, "_infoStruct is stored as 512 bytes");

// A node of the session tree: a sound, a sound group, or a kind the program derives. The
// atom itself is its effective envelope map (what rendering follows); the source map is what
// the user draws for it, and the effective map is rebuilt from it combined with the parent's.
//
// Ownership: reference counted. The creator holds one reference, a group one for each of its
// sub-atoms, the mixer one for every atom it plays. Release with DeleteAtom, never delete.
//
// Locking: every atom has a re-entrant lock. Walk a tree from the top down (a group's lock
// before its sub-atoms'). Operations that change a tree, or read upward through it, lock the
// whole chain from the top atom down to the atom first (CAtomTreeLock), so they never wait
// for an ancestor while holding a descendant; call them without holding another atom's lock,
// or while holding the chain from the top.
//
// The virtual operations are part of the library's interface and keep their order.
class SONARK_API CAudioAtom : public CMap {
 public:
  CAudioAtom();
  CAudioAtom& operator=(const CAudioAtom&) = delete;

  ~CAudioAtom() override;

  // A new atom with one reference whose maps are the span [from, to] of this one's, with
  // times relative to `from`; null (kErrInvalidAtomArgument) when to < from.
  virtual CAudioAtom* Copy(long from, long to);
  // A new atom with one reference: same absolute offset, maps, last rate length, virtual data
  // start, info and muted bit; no parent, no private data.
  virtual CAudioAtom* Copy();
  virtual int Type();
  // Returns the new count.
  virtual long DecReference();
  virtual void NotifyAtom(TSoundStateCode code, long value);
  // The session file: the atom record "atom" and the source map "smap" (the group and the
  // sound add their lists around them). Pre/Post operations of the atom itself do nothing.
  virtual int Load(CRIFF* riff, int a, int b, int c, int d, TLoadProgress progress, void* context);
  virtual int Save(CRIFF* riff, int byReference);
  virtual unsigned long SaveSize(int byReference);
  virtual int PreSave(CRIFF* riff);
  virtual int PostSave(CRIFF* riff);
  virtual int PreLoad(CRIFF* riff);
  virtual int PostLoad(CRIFF* riff);
  virtual int Play(long offset);
  virtual long CurrentPlayOffset();
  // The play-mode value, non-zero while the mixer plays the atom.
  virtual int Playing();
  virtual int Stop();
  virtual void NotifyOfNewPosition();
  // Sets kMixerFlagNewLength and moves the source map's last events to Length(0).
  virtual void NotifyOfNewLength();
  virtual void Mute(int on);
  virtual void SetPlayMode(int mode, long offset);
  virtual long Length(int mode);
  // NotifyOfNewLength, then for a positive length the last rate length becomes the source
  // map's rate-adjusted time at `length`.
  virtual void SetVirtualLength(long length);
  // Stretches the atom and its source map by `factor` (> 0, finite; anything else is refused
  // with kErrInvalidAtomArgument) and rebuilds the effective maps that change.
  virtual void Scale(double factor);
  // Rebuilds the effective map's events of `type` from the source map, combined with the
  // parent's effective map (volume and pan only; rate never). Only while combining is on.
  virtual void CombineWithParentMap(TMapType type);
  virtual void CombineWithSubMaps(TMapType type, int recurse);
  virtual int CanCombine();
  virtual void NotifyOfMemberChange();
  // Places this atom (which must have no parent) in `parent` at `offset` and rebuilds the
  // maps of the outermost atom whose layout changed, which is returned; null when refused.
  virtual CAudioAtom* Add(CAudioAtom* parent, long offset);
  // Moves this atom within its parent; returns the atom rebuilt, null without a parent.
  virtual CAudioAtom* Move(long offset);
  // Takes this atom out of its parent, which drops the parent's reference (and so may destroy
  // the atom). Returns the atom rebuilt, or null.
  virtual CAudioAtom* Remove();
  virtual long AbsoluteOffset();
  virtual CAudioAtom* AddSubAtom(CAudioAtom* atom, long offset, int adjust, int resize);
  virtual CAudioAtom* RemoveSubAtom(CAudioAtom* atom, int notify, int resize);
  virtual CAudioAtom* MoveSubAtom(CAudioAtom* atom, long offset, int adjust, int resize);
  virtual CAudioAtom* Resize(CAudioAtom* atom);
  virtual void SetPlayOnceMode(int on);
  virtual int FinishedWithPlayOnce();

  void AddReference();
  // Adds a reference unless the last one is already gone (the atom is being destroyed);
  // 1 when it added one.
  int AddReferenceIfAlive();
  long ReferenceCount() const;
  void Lock();
  void Unlock();

  int Muted();
  int Locked();
  void SetLock(int on);
  unsigned long GetChunkFlags();
  void SetMixerFlag(unsigned long flags);
  void ClearMixerFlag(unsigned long flags);
  int GetFlag(unsigned long mask);
  unsigned long MixerFlags();

  CMap* GetSrcMap();
  // The new-map flag takes the play-mode value.
  void NotifyOfNewMap();
  int HasNewMap();
  void ClearNewMapFlag();
  // Whether rendering follows the envelopes; 1 unless a sound says otherwise.
  int UsingMap();

  _infoStruct* GetInfo();
  // Copies at most 511 characters.
  void SetAtomName(const char* name);
  // The names of up to min(levels, 10) ancestors from the outermost inward, each followed by
  // " : ", then this atom's name; a piece that does not fit in `size` bytes (NUL included)
  // ends the text there.
  void GetNestedName(char* out, long size, int levels);

  CAudioAtom* Parent();
  // Raw setters; the group operations keep parent and absolute offset themselves.
  void SetParent(CAudioAtom* parent);
  void SetAbsoluteOffset(long offset);
  long LevelsDeep();
  // AbsoluteOffset() minus the parent's, or AbsoluteOffset() without a parent.
  long OffsetInParent();

  void SetPrivateData(void* data);
  void* GetPrivateData();
  double GetLastRateLength();
  void SetVirtualDataStart(long start);
  long GetVirtualDataStart();
  int InPlayOnceMode();

 protected:
  // Copies of the atom part (see Copy); they lock `other` while reading it.
  CAudioAtom(const CAudioAtom& other);
  CAudioAtom(const CAudioAtom& other, long from, long to);

  // Completes a copy made by a copy constructor: null (kErrOutOfMemory) stays null, and the
  // copy is told its muted state.
  CAudioAtom* FinishCopy(CAudioAtom* copy);
  // Play for sounds and groups: refuses an offset beyond the atom and an atom already
  // playing, then hands the atom to the current mixer.
  int PlayOnCurrentMixer(long offset);
  // After a scale: the atom whose maps changed, as the parent's Resize decides (this one
  // without a parent). Call with the tree locked.
  CAudioAtom* ScaleTarget();
  // Rebuilds the maps of `target` and below while combining is on, then drops a reference
  // that the caller took on it. Structural operations call this after releasing their
  // locks, so that a rebuild only ever takes locks from the top down.
  static void RebuildAndRelease(CAudioAtom* target);
  // Called by the destructors of the engine's atom classes: a still-parented atom that is
  // being destroyed leaves its parent's list without touching the parent's reference.
  void DetachFromParent();

  void SetLastRateLength(double length) { last_rate_length_ = length; }

  // Save and Load of the atom's part, with the sizes a sound records about its file (-1:
  // none; `fileBytes` and `dataBytes` may be null when loading).
  int SaveAtomRecord(CRIFF* riff, int64_t fileBytes, int64_t dataBytes);
  int LoadAtomRecord(CRIFF* riff, int64_t* fileBytes, int64_t* dataBytes);

 private:
  friend class CSoundGroup;

  std::atomic<long> references_{1};
  mutable std::recursive_mutex lock_;
  std::atomic<long> levels_deep_{0};
  std::atomic<unsigned long> mixer_flags_{0};
  std::atomic<int> new_map_{0};
  std::atomic<unsigned long> chunk_flags_{0};
  std::atomic<int> play_mode_{0};
  int using_map_ = 1;
  std::atomic<int> play_once_{0};
  _infoStruct info_{};
  std::atomic<CAudioAtom*> parent_{nullptr};
  std::atomic<long> absolute_offset_{0};
  void* private_data_ = nullptr;
  CMap source_map_;
  double last_rate_length_ = 0.0;
  long virtual_data_start_ = 0;

  // Kept by the parent group: whether the atom stands in its list, where it ends there,
  // and for a sound the format its groups counted, so that uncounting matches counting.
  bool listed_ = false;
  long listed_end_ = 0;  // offset + length as the parent last measured it
  tWAVEFORMATEX counted_format_{};
};

// Drops one reference; when it was the last, destroys the atom and nulls `*holder`.
SONARK_API void DeleteAtom(CAudioAtom** holder);

// A counter that lets a caller make many changes and rebuild the maps once afterwards:
// Disable increments it, Enable decrements it (never below 0), enabled while it is 0.
SONARK_API int MapCombiningEnabled();
SONARK_API void EnableMapCombining();
SONARK_API void DisableMapCombining();

// Map combining off for a scope: many changes, one rebuild afterwards.
class MapCombiningPause {
 public:
  MapCombiningPause() { DisableMapCombining(); }
  ~MapCombiningPause() { EnableMapCombining(); }
  MapCombiningPause(const MapCombiningPause&) = delete;
  MapCombiningPause& operator=(const MapCombiningPause&) = delete;
};

// Holds the locks of an atom and of all its ancestors, taken from the top down, for as long
// as it lives. Parent links change only under these locks, so the chain stays valid.
class SONARK_API CAtomTreeLock {
 public:
  explicit CAtomTreeLock(CAudioAtom* atom);
  ~CAtomTreeLock();
  CAtomTreeLock(const CAtomTreeLock&) = delete;
  CAtomTreeLock& operator=(const CAtomTreeLock&) = delete;

 private:
  static constexpr int kCapacity = static_cast<int>(kMaxTreeDepth) + 2;
  CAudioAtom* locked_[kCapacity];
  int count_ = 0;
};
