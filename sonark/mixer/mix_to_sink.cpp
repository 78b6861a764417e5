#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/model/atom_guard.h>
#include <sonark/model/atom_ref.h>
#include <sonark/model/audio_atom.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>
#include <sonark/render/buffer_format.h>
#include <sonark/mixer/parallel_fill.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/render/sample_convert.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

namespace {

// The latest start of any sound below `group`, in ms relative to `base`; LONG_MIN without
// sounds. Rendering ends once nothing plays and nothing is still to come.
long LastSoundStart(CSoundGroup* group, long base) {
  long last = LONG_MIN;
  sonark::AtomGuard guard(*group);
  for (int i = 0; CAudioAtom* atom = group->GetAtom(i, nullptr); ++i) {
    if (auto* sub = dynamic_cast<CSoundGroup*>(atom)) {
      last = std::max(last, LastSoundStart(sub, base));
    } else if (atom->Type() == kAtomTypeSound) {
      last = std::max(last, atom->AbsoluteOffset() - base);
    }
  }
  return last;
}

}  // namespace

void CPCMMixer::RestSounds(CSoundGroup* group, std::vector<CPCMSound*>* rested) {
  sonark::AtomGuard guard(*group);
  for (int i = 0; CAudioAtom* atom = group->GetAtom(i, nullptr); ++i) {
    if (auto* sub = dynamic_cast<CSoundGroup*>(atom)) {
      RestSounds(sub, rested);
    } else if (auto* sound = dynamic_cast<CPCMSound*>(atom)) {
      if (atom->Type() == kAtomTypeSound && sound->EnterLowActivity()) {
        try {
          rested->push_back(sound);
          sound->AddReference();
        } catch (const std::bad_alloc&) {
          sound->LeaveLowActivity();
        }
      }
    }
  }
}

void CPCMMixer::WakeSounds(std::vector<CPCMSound*>* rested) {
  for (CPCMSound* sound : *rested) {
    sound->LeaveLowActivity();
    CAudioAtom* held = sound;
    DeleteAtom(&held);
  }
  rested->clear();
}

int CPCMMixer::MixingSoundToFile(CPCMSound* sound) {
  std::lock_guard<std::mutex> guard(sink_lock_);
  return sound != nullptr && sink_sounds_.Member(sound) ? 1 : 0;
}

long CPCMMixer::GetPercentageMixedToFile() { return percent_mixed_.load(); }

int CPCMMixer::Listed(CMyList* list, CPCMSound* sound) {
  std::lock_guard<std::mutex> guard(sink_lock_);
  return list->Member(sound);
}

int CPCMMixer::SinkSoundCount() {
  std::lock_guard<std::mutex> guard(sink_lock_);
  return sink_sounds_.Count();
}

void CPCMMixer::ReleaseSinkSounds() {
  for (;;) {
    // Takes over the list's reference and drops it outside the sink lock.
    AtomRef<> sound;
    {
      std::lock_guard<std::mutex> guard(sink_lock_);
      if (sink_sounds_.Count() == 0) return;
      sound.reset(static_cast<CAudioAtom*>(sink_sounds_.Index(0)));
      sink_sounds_.RemoveByIndex(0);
    }
  }
}

void CPCMMixer::ReadAtomsOnRIFFList(CMyList* list, CSoundGroup* group, double windowStart,
                                    double windowEnd, long base) {
  if (list == nullptr || group == nullptr) return;
  sonark::AtomGuard guard(*group);
  for (int i = 0; CAudioAtom* atom = group->GetAtom(i, nullptr); ++i) {
    if (auto* sub = dynamic_cast<CSoundGroup*>(atom)) {
      ReadAtomsOnRIFFList(list, sub, windowStart, windowEnd, base);
      continue;
    }
    auto* sound = dynamic_cast<CPCMSound*>(atom);
    if (sound == nullptr || atom->Type() != kAtomTypeSound) continue;
    const long start = sound->AbsoluteOffset() - base;
    const auto at = static_cast<double>(start);
    if (windowStart <= at && at < windowEnd) {
      // Offline rendering always takes a sound from its beginning. The key is the sound's
      // first frame, so that it lands on the exact frame whatever the block length.
      if (Listed(list, sound) || !sound->Load(0)) continue;
      const long frame = start * static_cast<long>(sink_format_.nSamplesPerSec) / 1000;
      std::lock_guard<std::mutex> guard(sink_lock_);
      const int before = list->Count();
      list->InsertNewHead(sound, frame);
      if (list->Count() > before) sound->AddReference();
    } else if ((windowStart >= at + static_cast<double>(sound->Length(0)) ||
                (sound->InPlayOnceMode() && sound->FinishedWithPlayOnce())) &&
               Listed(list, sound)) {
      {
        std::lock_guard<std::mutex> guard(sink_lock_);
        list->Remove(sound);
      }
      sound->EnterLowActivity();
      CAudioAtom* held = sound;
      DeleteAtom(&held);
    }
  }
}

// Tops up the buffer of every sink sound before the block is mixed, decoding on two threads
// where there are two cores. Sounds that read through one data object go to the same thread,
// in their list order, since the object's read position is theirs together.
void CPCMMixer::TopUpSinkSounds() {
  // The lists keep their room from block to block: mixing a block allocates nothing.
  std::vector<std::pair<CRefObj*, CPCMSound*>>& sounds = sink_top_up_;
  std::vector<size_t>& groups = sink_groups_;  // where each data object's run begins
  sounds.clear();
  groups.clear();
  {
    std::lock_guard<std::mutex> guard(sink_lock_);
    for (int i = 0; i < sink_sounds_.Count(); ++i) {
      auto* sound = static_cast<CPCMSound*>(sink_sounds_.Index(i, nullptr));
      sounds.emplace_back(sound->GetRefObj(), sound);
    }
  }
  // An insertion sort: stable, in place (std::stable_sort takes memory), and the lists are
  // short.
  for (size_t i = 1; i < sounds.size(); ++i) {
    for (size_t j = i; j > 0 && sounds[j].first < sounds[j - 1].first; --j) {
      std::swap(sounds[j], sounds[j - 1]);
    }
  }
  for (size_t i = 0; i < sounds.size(); ++i) {
    if (i == 0 || sounds[i].first != sounds[i - 1].first || sounds[i].first == nullptr) {
      groups.push_back(i);
    }
  }
  groups.push_back(sounds.size());
  // Captures only `this`, so the function object needs no memory of its own.
  const std::function<void(size_t)> topUp = [this](size_t g) {
    for (size_t i = sink_groups_[g]; i < sink_groups_[g + 1]; ++i) {
      sink_top_up_[i].second->Idle(&sink_format_);
    }
  };
  if (sink_fill_ != nullptr) {
    sink_fill_->Run(groups.size() - 1, topUp);
  } else {
    for (size_t g = 0; g + 1 < groups.size(); ++g) topUp(g);
  }
}

// Renders every sink sound into the block that starts at `windowFrame`; returns in
// `producedEnd` how far into the block the furthest sound reached.
void CPCMMixer::RenderSinkBlock(unsigned char* block, unsigned long blockSize,
                                unsigned long windowFrame, unsigned long* producedEnd, bool skip) {
  const unsigned long align = sink_format_.nBlockAlign;
  const unsigned long frames = blockSize / align;
  *producedEnd = 0;
  // Passing over a block reads only what it must, so nothing is read ahead for it.
  if (!skip) TopUpSinkSounds();
  for (int i = 0;;) {
    long key = 0;
    CPCMSound* sound = nullptr;
    {
      std::lock_guard<std::mutex> guard(sink_lock_);
      if (i >= sink_sounds_.Count()) break;
      sound = static_cast<CPCMSound*>(sink_sounds_.Index(i, &key));
    }
    // A sound that began in an earlier block continues from this block's start.
    unsigned long at = 0;
    if (key > 0 && static_cast<unsigned long>(key) > windowFrame) {
      at = std::min(static_cast<unsigned long>(key) - windowFrame, frames);
    }
    _bufferType region{ptInterleaved,
                       &sink_format_,
                       static_cast<uint32_t>((frames - at) * align),
                       0,
                       static_cast<uint32_t>(frames - at),
                       block + at * align,
                       nullptr};
    unsigned long produced = 0;
    const int result =
        skip ? sound->SkipData(&region, &produced) : sound->ReadData(&region, &produced);
    *producedEnd = std::max(*producedEnd, at * align + produced);
    if (result != kRenderMore) {
      {
        std::lock_guard<std::mutex> guard(sink_lock_);
        sink_sounds_.RemoveByIndex(i);
      }
      sound->EnterLowActivity();
      CAudioAtom* held = sound;
      DeleteAtom(&held);
      continue;
    }
    ++i;
  }
}

int CPCMMixer::MixToDataSink(CSoundGroup* group, TDataSink sink, void* context,
                             const tWAVEFORMATEX* format, long lengthMs, long blockBytes) {
  return MixToDataSinkFrom(group, sink, context, format, 0, lengthMs, blockBytes);
}

int CPCMMixer::MixToDataSinkFrom(CSoundGroup* group, TDataSink sink, void* context,
                                 const tWAVEFORMATEX* format, long startMs, long lengthMs,
                                 long blockBytes) {
  if (group == nullptr || sink == nullptr) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return 0;
  }
  tWAVEFORMATEX output{};
  if (format != nullptr) output = *format;
  if (format == nullptr || !ValidateFormat(&output, kWaveFormatPcm)) {
    platform::set_last_error(sonark::kErrConvertFormat);
    return 0;
  }
  int idle = 0;
  if (!sinking_.compare_exchange_strong(idle, 2)) {
    platform::set_last_error(sonark::kErrAlreadyPlaying);
    return 0;
  }
  percent_mixed_ = 0;
  {
    std::lock_guard<std::mutex> guard(sink_lock_);
    sink_format_ = output;
    sinking_ = 1;
  }

  const long align = output.nBlockAlign;
  const long perSecond = output.nAvgBytesPerSec;
  // -1 asks for one second; so does any size below one frame, which could never advance.
  long blockSize = blockBytes >= align ? blockBytes : perSecond;
  blockSize -= blockSize % align;
  std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[blockSize]);
  if (block == nullptr) {
    sinking_ = 0;
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  long total = 0;
  if (lengthMs > 0) {
    total =
        static_cast<long>(static_cast<double>(perSecond) * static_cast<double>(lengthMs) * 0.001);
    total -= total % align;
  }
  // The first byte delivered: whole frames before it are not mixed.
  const long start =
      startMs > 0
          ? static_cast<long>(static_cast<double>(startMs) * output.nSamplesPerSec / 1000.0) * align
          : 0;
  const long base = group->AbsoluteOffset();
  const long lastStart = LastSoundStart(group, base);
  const bool playOnce = group->InPlayOnceMode() != 0;
  const unsigned char silence = sonark::samples::SilenceByte(output.wBitsPerSample);

  // Streaming sounds hold no ring and no open file until they start, and again once they have
  // finished, so that the render holds what plays at once rather than the whole session.
  std::vector<CPCMSound*> rested;
  RestSounds(group, &rested);
  sonark::mixer::ParallelFill fill;
  sink_fill_ = &fill;

  // The blocks keep the grid of a render from the group's start, so that every sound starts,
  // finishes and is cut where it would be there. Blocks before `start` move the sounds on
  // without mixing; the block holding it is mixed and delivered from `start` on.
  long written = 0;
  for (;;) {
    if (written >= total && !(playOnce && SinkSoundCount() > 0)) break;
    const bool skip = written + blockSize <= start;
    if (!skip) std::memset(block.get(), silence, static_cast<size_t>(blockSize));
    // The window in ms, exact on the frame grid: a start r lies in it exactly when its first
    // frame lies in the block.
    const double windowStart = static_cast<double>(written) * 1000.0 / perSecond;
    const double windowEnd = static_cast<double>(written + blockSize) * 1000.0 / perSecond;
    ReadAtomsOnRIFFList(&sink_sounds_, group, windowStart, windowEnd, base);
    unsigned long producedEnd = 0;
    RenderSinkBlock(block.get(), static_cast<unsigned long>(blockSize),
                    static_cast<unsigned long>(written / align), &producedEnd, skip);

    long deliver = blockSize;
    if (SinkSoundCount() == 0 && static_cast<double>(lastStart) < windowEnd) {
      // Nothing plays and nothing is still to come: the mix ends where its last sound did.
      deliver = static_cast<long>(producedEnd);
      if (deliver == 0) break;
    }
    if (!playOnce && deliver > total - written) deliver = total - written;

    // What lies before the start is passed over.
    const long lead = std::min(deliver, std::max(0L, start - written));
    written += lead;
    deliver -= lead;
    // A sink that takes less than it was given gets the rest next, in pieces of what it took.
    bool stop = false;
    long at = lead;
    while (deliver > 0) {
      const long offered = std::min(deliver, blockSize);
      long taken = offered;
      const TDataWriteCode code = sink(block.get() + at, &taken, context);
      if (taken < 0 || taken > offered) taken = offered;
      taken -= taken % align;
      written += taken;
      at += taken;
      deliver -= taken;
      const long wanted = total - start;
      percent_mixed_ = wanted > 0
                           ? std::min(100L, static_cast<long>(static_cast<double>(written - start) /
                                                              static_cast<double>(wanted) * 100.0))
                           : 100;
      if (code != dwcNextBlock || taken == 0) {
        stop = true;
        break;
      }
      if (taken < offered) blockSize = taken;
    }
    if (stop) break;
  }

  sink_fill_ = nullptr;
  ReleaseSinkSounds();
  WakeSounds(&rested);
  {
    std::lock_guard<std::mutex> guard(sink_lock_);
    sinking_ = 0;
  }
  percent_mixed_ = 0;
  return 1;
}
