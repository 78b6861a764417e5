#pragma once

#include <sonark/model/audio_atom.h>

namespace sonark {

// Holds an atom's own lock for a scope. Internal to the engine.
class AtomGuard {
 public:
  explicit AtomGuard(CAudioAtom& atom) : atom_(atom) { atom_.Lock(); }
  ~AtomGuard() { atom_.Unlock(); }
  AtomGuard(const AtomGuard&) = delete;
  AtomGuard& operator=(const AtomGuard&) = delete;

 private:
  CAudioAtom& atom_;
};

}  // namespace sonark
