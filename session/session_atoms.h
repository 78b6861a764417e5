#pragma once

#include <session/bar_chunk.h>
#include <session/marker_list.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>

#include <functional>
#include <string>

// The atom kinds that the time line keeps in a session. Each sound and group carries its bar
// and stores it in a "zbar" chunk after its own data, so that a session shows its bars where
// they were left. The session root keeps every offset exactly as given.

class BarSound : public CPCMSound {
 public:
  BarSound() = default;

  BarRect& Bar() { return bar_; }

  unsigned long SaveSize(int byReference) override;
  int PostSave(CRIFF* riff) override;
  int PostLoad(CRIFF* riff) override;
  // Remembers the path that could not be opened (offering none instead), so that a sound
  // left out of a session can be named to the user.
  char* FindMissingFile(char* path) override;
  void ErrorLoadingFile(unsigned long code) override;

 protected:
  // For a subclass's Copy operations: the sound (or its span) with the same bar.
  BarSound(const BarSound& other) : CPCMSound(other), bar_(other.bar_) {}
  BarSound(const BarSound& other, long from, long to)
      : CPCMSound(other, from, to), bar_(other.bar_) {}

 private:
  BarRect bar_;
  std::string missing_path_;
};

// Told of every sound left out while a session loads: its path when the file could not be
// found (else ""), the atom's stored name, and the code. The front end that opens a session
// sets it; an empty handler ignores the problems.
using LoadProblemHandler =
    std::function<void(const char* path, const char* name, unsigned long code)>;
void SetLoadProblemHandler(LoadProblemHandler handler);

class BarGroup : public CSoundGroup {
 public:
  BarGroup() = default;

  BarRect& Bar() { return bar_; }

  unsigned long SaveSize(int byReference) override;
  int PostSave(CRIFF* riff) override;
  int PostLoad(CRIFF* riff) override;
  int LoadSubAtom(CRIFF* riff, unsigned long listType, int a, int b, int c, int d,
                  TLoadProgress progress, void* context) override;

 protected:
  // For a subclass's Copy operations: the group part (or its span) with the same bar; the
  // subclass adds the sub-atoms with FillCopy or FillSpanCopy.
  BarGroup(const BarGroup& other) : CSoundGroup(other), bar_(other.bar_) {}
  BarGroup(const BarGroup& other, long from, long to)
      : CSoundGroup(other, from, to), bar_(other.bar_) {}

 private:
  BarRect bar_;
};

class SessionRootGroup : public CSoundGroup {
 public:
  SessionRootGroup() = default;

  // The root never renormalises or rebuilds maps on behalf of its members.
  int CanAdjust() override { return 0; }
  int CanCombine() override { return 0; }
  long AbsoluteOffset() override { return 0; }
  // At least one second, so an empty session still has a time line.
  long Length(int mode) override;
  CAudioAtom* Resize(CAudioAtom* atom) override;
  int LoadSubAtom(CRIFF* riff, unsigned long listType, int a, int b, int c, int d,
                  TLoadProgress progress, void* context) override;

  // The session's markers travel in a "tmrk" chunk ahead of the root's own records. A loaded
  // session holds what its file holds; a file without the chunk gets the start marker.
  unsigned long SaveSize(int byReference) override;
  int PreSave(CRIFF* riff) override;
  int PreLoad(CRIFF* riff) override;

  MarkerList& Markers() { return markers_; }
  // Leaves only the start marker, as a new session in the program has.
  void ResetMarkers() { markers_.ResetToStart(); }

 private:
  MarkerList markers_;
};

// A new bar sound ("sndc") or bar group ("sgrp") for a stored sub-atom list; null for any
// other list type.
CAudioAtom* NewBarAtom(unsigned long listType);
