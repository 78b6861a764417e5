#pragma once

#include "pcm_test_support.h"

#include <platform/wave_format.h>
#include <sonark/model/audio_atom.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>

#include <atomic>
#include <string>

namespace atom_test {

// Atoms of the kinds below that exist right now, to catch leaks and double releases.
inline std::atomic<int> g_live_atoms{0};

class CountedSound : public CPCMSound {
 public:
  CountedSound() { ++g_live_atoms; }
  CountedSound(const CountedSound& other) : CPCMSound(other) { ++g_live_atoms; }
  CountedSound(const CountedSound& other, long from, long to) : CPCMSound(other, from, to) {
    ++g_live_atoms;
  }
  ~CountedSound() override { --g_live_atoms; }
  CAudioAtom* Copy(long from, long to) override {
    return to < from ? nullptr : FinishCopy(new CountedSound(*this, from, to));
  }
  CAudioAtom* Copy() override { return FinishCopy(new CountedSound(*this)); }
};

class CountedGroup : public CSoundGroup {
 public:
  CountedGroup() { ++g_live_atoms; }
  CountedGroup(const CountedGroup& other) : CSoundGroup(other) { ++g_live_atoms; }
  CountedGroup(const CountedGroup& other, long from, long to) : CSoundGroup(other, from, to) {
    ++g_live_atoms;
  }
  ~CountedGroup() override { --g_live_atoms; }
  CAudioAtom* Copy(long from, long to) override {
    return FillSpanCopy(new CountedGroup(*this, from, to), from, to);
  }
  CAudioAtom* Copy() override { return FillCopy(new CountedGroup(*this)); }
};

// The kind a program keeps at the top of a session: offsets stay as given, and it is never
// the atom that gets rebuilt.
class FixedGroup : public CountedGroup {
 public:
  int CanAdjust() override { return 0; }
  int CanCombine() override { return 0; }
};

inline tWAVEFORMATEX Pcm(uint32_t rate, uint16_t bits, uint16_t channels = 2) {
  return PcmFormat(rate, channels, bits);
}

// A sound of `length` ms with neutral envelopes, as loading leaves it.
inline CountedSound* NewSound(long length, uint32_t rate = 44100, uint16_t bits = 16,
                              const char* name = "") {
  auto* sound = new CountedSound();
  tWAVEFORMATEX format = Pcm(rate, bits);
  sound->SetSourceFormat(&format);
  sound->SetVirtualLength(length);
  sound->GetSrcMap()->SetDefaultMap(length, kMapAll);
  sound->SetAtomName(name);
  return sound;
}

// Adds `atom` and hands the creator's reference to the group.
inline CAudioAtom* AddOwned(CAudioAtom* atom, CAudioAtom* parent, long offset) {
  CAudioAtom* result = atom->Add(parent, offset);
  DeleteAtom(&atom);
  return result;
}

inline long OffsetIn(CSoundGroup* group, CAudioAtom* atom) {
  long offset = 0;
  for (int i = 0; CAudioAtom* sub = group->GetAtom(i, &offset); ++i) {
    if (sub == atom) return offset;
  }
  return -999999;
}

inline bool SameCounters(const _tFormatCounters& a, const _tFormatCounters& b) {
  return a.eightBit == b.eightBit && a.otherBits == b.otherBits && a.rate11025 == b.rate11025 &&
         a.rate22050 == b.rate22050 && a.rate44100 == b.rate44100;
}

// Checks the structure below `group` (whose lock the caller may hold): parent links, depths,
// absolute offsets, sorted offsets, adjustable groups starting at their earliest sub-atom,
// cached lengths, and format counters against the sounds actually below (8 and 16-bit
// sounds only). Returns the first fault found, or an empty text.
inline std::string CheckGroup(CSoundGroup* group, _tFormatCounters* below) {
  std::string fault;
  group->Lock();
  _tFormatCounters counted{};
  long first = 0;
  long furthest = 0;
  long previous = 0;
  int count = 0;
  long offset = 0;
  for (CAudioAtom* sub; fault.empty() && (sub = group->GetAtom(count, &offset)) != nullptr;
       ++count) {
    const std::string where = " of sub-atom " + std::to_string(count);
    if (sub->Parent() != group) fault = "parent link" + where;
    if (sub->AbsoluteOffset() != group->AbsoluteOffset() + offset) {
      fault = "absolute offset " + std::to_string(sub->AbsoluteOffset()) +
              " != " + std::to_string(group->AbsoluteOffset()) + " + " + std::to_string(offset) +
              where;
    }
    if (sub->LevelsDeep() != group->LevelsDeep() + 1) fault = "depth" + where;
    if (count > 0 && offset < previous) fault = "order" + where;
    if (count == 0) first = offset;
    long end = offset + sub->Length(0);
    if (count == 0 || end > furthest) furthest = end;
    previous = offset;
    if (auto* sound = dynamic_cast<CPCMSound*>(sub)) {
      const tWAVEFORMATEX* f = sound->Format();
      (f->wBitsPerSample == 8 ? counted.eightBit : counted.otherBits)++;
      uint32_t rate = f->nSamplesPerSec;
      (rate < 11026 ? counted.rate11025 : rate < 44100 ? counted.rate22050 : counted.rate44100)++;
    } else if (auto* sub_group = dynamic_cast<CSoundGroup*>(sub)) {
      std::string inner = CheckGroup(sub_group, &counted);
      if (!inner.empty()) fault = inner + " <" + where;
    }
  }
  if (fault.empty()) {
    if (count > 0 && group->CanAdjust() && first != 0) fault = "group does not start at 0";
    long extent = count > 0 ? furthest - first : 0;
    if (group->Length(0) != extent) {
      fault = "cached length " + std::to_string(group->Length(0)) + " != extent " +
              std::to_string(extent);
    }
    if (!SameCounters(group->FormatCounters(), counted)) fault = "format counters";
    tWAVEFORMATEX best = group->BestFormat();
    uint16_t bits = counted.otherBits > 0 ? 16 : 8;
    uint32_t rate = counted.rate44100 > 0 ? 44100 : counted.rate22050 > 0 ? 22050 : 11025;
    if (best.wBitsPerSample != bits || best.nSamplesPerSec != rate || best.nChannels != 2 ||
        best.nBlockAlign != bits / 4 || best.nAvgBytesPerSec != rate * (bits / 4u)) {
      fault = "best format";
    }
  }
  group->Unlock();
  if (below != nullptr) {
    below->eightBit += counted.eightBit;
    below->otherBits += counted.otherBits;
    below->rate11025 += counted.rate11025;
    below->rate22050 += counted.rate22050;
    below->rate44100 += counted.rate44100;
  }
  return fault;
}

}  // namespace atom_test
