#include <session/session_atoms.h>

#include <algorithm>

#include <platform/last_error.h>
#include <sonark/errors.h>
#include <tarnell/riff.h>

namespace {
constexpr unsigned long kSoundList = tarnell::FourCC("sndc");
constexpr unsigned long kGroupList = tarnell::FourCC("sgrp");
constexpr unsigned long kBarBytes = 16;

// An atom's bar, when the file keeps one; a damaged one fails the atom's load, as a damaged
// chunk of the engine's own does.
bool ReadBar(CRIFF* riff, BarRect* bar) {
  if (ReadBarChunk(riff, bar) >= 0) return true;
  platform::set_last_error(sonark::kErrSessionDamaged);
  return false;
}

LoadProblemHandler& ProblemHandler() {
  static LoadProblemHandler handler;
  return handler;
}
}  // namespace

void SetLoadProblemHandler(LoadProblemHandler handler) { ProblemHandler() = std::move(handler); }

char* BarSound::FindMissingFile(char* path) {
  missing_path_ = path ? path : "";
  return nullptr;
}

void BarSound::ErrorLoadingFile(unsigned long code) {
  if (ProblemHandler()) ProblemHandler()(missing_path_.c_str(), GetInfo()->name, code);
}

CAudioAtom* NewBarAtom(unsigned long listType) {
  if (listType == kSoundList) return new BarSound();
  if (listType == kGroupList) return new BarGroup();
  return nullptr;
}

unsigned long BarSound::SaveSize(int byReference) {
  return CPCMSound::SaveSize(byReference) + kBarBytes;
}

int BarSound::PostSave(CRIFF* riff) {
  if (!WriteBarChunk(riff, bar_)) return 0;
  return CPCMSound::PostSave(riff);
}

int BarSound::PostLoad(CRIFF* riff) {
  if (!ReadBar(riff, &bar_)) return 0;
  return CPCMSound::PostLoad(riff);
}

unsigned long BarGroup::SaveSize(int byReference) {
  return CSoundGroup::SaveSize(byReference) + kBarBytes;
}

int BarGroup::PostSave(CRIFF* riff) {
  if (!WriteBarChunk(riff, bar_)) return 0;
  return CSoundGroup::PostSave(riff);
}

int BarGroup::PostLoad(CRIFF* riff) {
  if (!ReadBar(riff, &bar_)) return 0;
  return CSoundGroup::PostLoad(riff);
}

int BarGroup::LoadSubAtom(CRIFF* riff, unsigned long listType, int a, int b, int c, int d,
                          TLoadProgress progress, void* context) {
  CAudioAtom* atom = NewBarAtom(listType);
  return atom ? LoadNewSubAtom(atom, riff, a, b, c, d, progress, context) : 0;
}

long SessionRootGroup::Length(int mode) {
  long length = CSoundGroup::Length(mode);
  return mode == 0 ? std::max(length, 1000L) : length;
}

CAudioAtom* SessionRootGroup::Resize(CAudioAtom* atom) {
  CSoundGroup::Resize(atom);
  return atom;
}

int SessionRootGroup::LoadSubAtom(CRIFF* riff, unsigned long listType, int a, int b, int c, int d,
                                  TLoadProgress progress, void* context) {
  CAudioAtom* atom = NewBarAtom(listType);
  return atom ? LoadNewSubAtom(atom, riff, a, b, c, d, progress, context) : 0;
}

unsigned long SessionRootGroup::SaveSize(int byReference) {
  return CSoundGroup::SaveSize(byReference) + markers_.ChunkBytes();
}

int SessionRootGroup::PreSave(CRIFF* riff) {
  if (!CSoundGroup::PreSave(riff)) return 0;
  return markers_.WriteChunk(riff);
}

int SessionRootGroup::PreLoad(CRIFF* riff) {
  if (!CSoundGroup::PreLoad(riff)) return 0;
  const int read = markers_.ReadChunk(riff);
  if (read < 0) {
    platform::set_last_error(sonark::kErrSessionDamaged);
    return 0;
  }
  if (read == 0) markers_.ResetToStart();
  return 1;
}
