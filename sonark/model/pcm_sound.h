#pragma once

#include <platform/wave_format.h>
#include <sonark/export.h>
#include <sonark/model/audio_atom.h>

#include <atomic>

class CRefObj;

// A leaf of the session tree: one sound file (or recording) placed on the time line. It owns
// one reference on its data object and a copy of its source format.
//
// Loading and rendering add their members and virtual operations to this class; the virtual
// slots after those of CAudioAtom are theirs. Until loading exists, a sound is set up with
// SetSourceFormat, SetRefObj and SetVirtualLength, before it is added to a group (groups
// count the format a sound had when it joined them).
class SONARK_API CPCMSound : public CAudioAtom {
 public:
  CPCMSound();
  CPCMSound& operator=(const CPCMSound&) = delete;
  ~CPCMSound() override;

  // A part of the sound: its length is to - from (the whole length when `to` is
  // 2147483647); it shares the data object.
  CAudioAtom* Copy(long from, long to) override;
  // Shares the data object.
  CAudioAtom* Copy() override;
  int Type() override;
  // Refused (0) beyond the end or while playing; otherwise handed to the current mixer.
  int Play(long offset) override;
  // Requests a stop from the mixer; 1.
  int Stop() override;
  void NotifyOfNewLength() override;
  // Mode 0: the virtual length. Otherwise, while following envelopes, the virtual length
  // passed through the rate envelope (source milliseconds it consumes).
  long Length(int mode) override;
  // Stores the length (never below 0), then the atom's bookkeeping.
  void SetVirtualLength(long length) override;
  // A sound has no sub-atoms: these do nothing and return 0.
  CAudioAtom* AddSubAtom(CAudioAtom* atom, long offset, int adjust, int resize) override;
  CAudioAtom* RemoveSubAtom(CAudioAtom* atom, int notify, int resize) override;
  CAudioAtom* MoveSubAtom(CAudioAtom* atom, long offset, int adjust, int resize) override;

  // The format of the samples the sound delivers; null before a format is set.
  tWAVEFORMATEX* Format();
  // The format of the file's data, with its extra bytes.
  tWAVEFORMATEX* ActualFormat();
  // Copies the format and its cbSize extra bytes. 0 (kErrInvalidAtomArgument or
  // kErrOutOfMemory) leaves the old format.
  int SetSourceFormat(const tWAVEFORMATEX* format);
  CRefObj* GetRefObj();
  // Takes a reference on `object` (which may be null) and drops the one on the old object.
  void SetRefObj(CRefObj* object);

 protected:
  CPCMSound(const CPCMSound& other);
  CPCMSound(const CPCMSound& other, long from, long to);

 private:
  void CopySoundPart(const CPCMSound& other);

  tWAVEFORMATEX* source_format_ = nullptr;
  std::atomic<long> virtual_length_{0};
  long adjusted_length_ = 0;
  CRefObj* data_object_ = nullptr;
};
