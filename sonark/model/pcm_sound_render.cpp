#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/render/mix_kernel.h>
#include <sonark/render/pcm_buffer.h>
#include <sonark/model/render_units.h>
#include <sonark/render/sample_convert.h>
#include <tarnell/ref_obj.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

// Rendering one sound into the mix: preparing a read, pulling PCM from the streaming buffer,
// resampling, gains and saturating adds.

namespace {

// A play-once sound on a streaming buffer plays until its data runs out.
constexpr long kPlayOnceEndMs = 12173943;

bool RenderableBlock(const _bufferType* block) {
  return block != nullptr && block->precision == ptInterleaved &&
         sonark::render::RenderableFormat(block->format) &&
         (block->data != nullptr || block->dataSize == 0);
}

}  // namespace

using namespace sonark::render;

void CPCMSound::Volume(double volume) {
  volume_.store(volume, std::memory_order_relaxed);
  Pan(pan_.load(std::memory_order_relaxed));
}

void CPCMSound::Pan(double pan) {
  pan_.store(pan, std::memory_order_relaxed);
  int32_t left = 0;
  int32_t right = 0;
  GainsFor(volume_.load(std::memory_order_relaxed), pan, false, left, right);
  left_gain_.store(left, std::memory_order_relaxed);
  right_gain_.store(right, std::memory_order_relaxed);
}

void CPCMSound::Rate(double rate) { rate_.store(rate, std::memory_order_relaxed); }

double CPCMSound::Volume() { return volume_.load(std::memory_order_relaxed); }

double CPCMSound::Pan() { return pan_.load(std::memory_order_relaxed); }

double CPCMSound::Rate() { return rate_.load(std::memory_order_relaxed); }

int CPCMSound::Load(long start) {
  platform::clear_last_error();
  AtomGuard guard(*this);
  play_start_ = start;
  const tWAVEFORMATEX* format = Format();
  if (file_rested_ && !LeaveLowActivity()) {
    platform::set_last_error(sonark::kErrBufferCannotStart);
    return 0;
  }
  if (buffer_ == nullptr || !RenderableFormat(format)) {
    platform::set_last_error(sonark::kErrBufferCannotStart);
    return 0;
  }
  auto toBytes = [&](long ms) { return static_cast<unsigned long>(MsToBytes(ms, format)); };

  unsigned long startBytes = 0;
  unsigned long endBytes = 0;
  if (InPlayOnceMode() && buffer_->IsLoadedOnce()) {
    startBytes = toBytes(start);
    endBytes = buffer_->BufferSize();
    if (endBytes < startBytes) return 0;
  } else {
    long end = Length(0);
    if (InPlayOnceMode()) {
      if (data_object_ != nullptr) data_object_->SetDataMode(0);
      end = kPlayOnceEndMs;
    } else {
      // Loop mode: a sound placed longer than its data repeats it.
      if (data_object_ != nullptr) data_object_->SetDataMode(1);
      if (UsingMap()) {
        start = TruncateToLong(GetRateMapAdjustedTime(start));
        end = Length(1);
      }
    }
    if (end < start) return 0;
    startBytes = toBytes(start);
    endBytes = toBytes(end);
  }
  if (!buffer_->SetReadVariables(startBytes, endBytes - startBytes)) {
    platform::set_last_error(sonark::kErrBufferCannotStart);
    return 0;
  }
  phase_ = 0;
  previous_left_ = previous_right_ = 0;
  rendered_ms_ = 0.0;
  if (UsingMap()) {
    // The envelopes are made ready for the output rate by the first ReadData, which knows it.
    envelope_rate_ = 0;
    ClearMixerFlag(kMixerFlagNewMap);
  } else {
    render_flags_ &= ~kRenderEnvelopeBits;
  }
  render_flags_ &= ~(kRenderSourceStereo | kRenderSource8Bit);
  if (format->nChannels == 2) render_flags_ |= kRenderSourceStereo;
  if (format->wBitsPerSample == 8) render_flags_ |= kRenderSource8Bit;
  return 1;
}

TRenderResult CPCMSound::ReadData(_bufferType* block, unsigned long* bytesOut) {
  AtomGuard guard(*this);
  if (bytesOut != nullptr) *bytesOut = 0;
  if (!RenderableBlock(block)) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return kRenderFailed;
  }
  const tWAVEFORMATEX* format = Format();
  if (buffer_ == nullptr || !RenderableFormat(format)) {
    platform::set_last_error(sonark::kErrBufferCannotStart);
    return kRenderFailed;
  }
  const tWAVEFORMATEX* output = block->format;
  render_flags_ &= ~(kRenderOutputStereo | kRenderOutput8Bit);
  if (output->nChannels == 2) render_flags_ |= kRenderOutputStereo;
  if (output->wBitsPerSample == 8) render_flags_ |= kRenderOutput8Bit;

  if (UsingMap()) {
    // Re-read the envelopes when they changed, and when the output rate is not the one they
    // were prepared for, at the time-line position reached so far.
    if (GetFlag(kMixerFlagNewMap) || envelope_rate_ != output->nSamplesPerSec) {
      const uint32_t rate = output->nSamplesPerSec;
      ReadyMapAtFrame(MsToFrames(play_start_, rate) +
                          std::lround(rendered_ms_ * static_cast<double>(rate) * 0.001),
                      output);
      ClearMixerFlag(kMixerFlagNewMap);
    }
  } else {
    render_flags_ &= ~kRenderEnvelopeBits;
  }
  // Without a rate ramp the speed is the static rate (which a held rate envelope sets).
  if (!(render_flags_ & kRenderRateRamp)) {
    rate_step_ = StepFor(Rate(), format, output->nSamplesPerSec);
  }

  unsigned long produced = 0;
  const TRenderResult result = ReadDataMix(block, &produced);
  rendered_ms_ +=
      static_cast<double>(produced / FrameBytes(output)) * 1000.0 / output->nSamplesPerSec;
  if (bytesOut != nullptr) *bytesOut = produced;
  return result;
}

TRenderResult CPCMSound::SkipData(_bufferType* block, unsigned long* bytesOut) {
  AtomGuard guard(*this);
  if (JumpOver(block, bytesOut)) return kRenderMore;
  skipping_ = true;
  const TRenderResult result = ReadData(block, bytesOut);
  skipping_ = false;
  return result;
}

int CPCMSound::JumpOver(_bufferType* block, unsigned long* bytesOut) {
  const tWAVEFORMATEX* format = Format();
  if (!RenderableBlock(block) || buffer_ == nullptr || !RenderableFormat(format)) return 0;
  const tWAVEFORMATEX* output = block->format;
  const long outputAlign = FrameBytes(output);
  const long sourceAlign = FrameBytes(format);
  const auto frames = static_cast<int64_t>(block->dataSize / outputAlign);
  if (block->data == nullptr || frames == 0) return 0;
  // Only at a speed that stays what it is over the block: envelopes ready for this output,
  // none of them ramping and no event falling due before the block's end.
  const bool following = (render_flags_ & kRenderEnvelopes) != 0;
  if ((render_flags_ & (kRenderVolumeRamp | kRenderPanRamp | kRenderRateRamp)) != 0 ||
      (UsingMap() && (GetFlag(kMixerFlagNewMap) || envelope_rate_ != output->nSamplesPerSec)) ||
      (following && (envelope_.eventCountdown < frames || envelope_.updateInterval <= 0))) {
    return 0;
  }
  const int32_t step = StepFor(Rate(), format, output->nSamplesPerSec);
  // As the loop would: output frame n lands between source frames m - 1 and m (from the read
  // position), m = (phase - 1 + n x step) >> 27; frame m must still be part of the read.
  const int64_t at = static_cast<int64_t>(phase_) - 1 + frames * step;
  const int64_t taken = at >> sonark::mix::kPhaseShift;
  unsigned long left = 0;
  buffer_->BytesLeftToRead(left);
  const int64_t needed = (taken + 1) * sourceAlign;
  if (taken < 1 || needed > static_cast<int64_t>(left)) return 0;
  // A source that does not repeat must hold them too.
  if (buffer_->Streaming() && data_object_ != nullptr && data_object_->DataMode() == 0 &&
      static_cast<int64_t>(buffer_->ReadOrigin()) + buffer_->TotalBytesRead() + needed >
          PcmDataSize()) {
    return 0;
  }
  unsigned char previous[4];
  if (!buffer_->SkipBytes(static_cast<unsigned long>(taken * sourceAlign)) ||
      !buffer_->ReadBehind(previous, static_cast<unsigned long>(sourceAlign))) {
    return 0;
  }
  rate_step_ = step;
  render_flags_ &= ~(kRenderOutputStereo | kRenderOutput8Bit);
  if (output->nChannels == 2) render_flags_ |= kRenderOutputStereo;
  if (output->wBitsPerSample == 8) render_flags_ |= kRenderOutput8Bit;
  phase_ = static_cast<int32_t>((at & (sonark::mix::kPhaseOne - 1)) + 1);
  const int bits = format->wBitsPerSample;
  previous_left_ = sonark::samples::LoadSample(previous, bits);
  if (format->nChannels == 2)
    previous_right_ = sonark::samples::LoadSample(previous + bits / 8, bits);
  if (following) {
    // The countdowns as the loop leaves them; without ramps a re-evaluation changes nothing.
    envelope_.eventCountdown -= static_cast<long>(frames);
    for (long rest = static_cast<long>(frames); rest > 0;) {
      if (envelope_.updateCountdown <= 0) envelope_.updateCountdown = envelope_.updateInterval;
      const long run = std::min(rest, envelope_.updateCountdown);
      envelope_.updateCountdown -= run;
      rest -= run;
    }
  }
  envelope_frame_ += static_cast<long>(frames);
  rendered_ms_ += static_cast<double>(frames) * 1000.0 / output->nSamplesPerSec;
  if (bytesOut != nullptr) *bytesOut = static_cast<unsigned long>(frames * outputAlign);
  return 1;
}

TRenderResult CPCMSound::ReadDataMix(_bufferType* block, unsigned long* bytesOut) {
  const long outputAlign = FrameBytes(block->format);
  unsigned char* destination = block->data;
  // Only whole output frames are rendered.
  unsigned char* const destinationEnd =
      block->data == nullptr ? destination
                             : block->data + (block->dataSize - block->dataSize % outputAlign);
  TRenderResult result = kRenderMore;
  bool refilled = false;
  while (destination < destinationEnd && result == kRenderMore) {
    unsigned char* first = nullptr;
    unsigned char* second = nullptr;
    unsigned long firstLength = 0;
    unsigned long secondLength = 0;
    if (!buffer_->Lock(first, firstLength, second, secondLength)) {
      result = kRenderFinished;
      break;
    }
    if (firstLength == 0 && secondLength == 0) {
      buffer_->Unlock();
      // A ring that nobody has filled since the read began is filled now, not taken for the
      // end of the sound.
      if (!refilled && !buffer_->BufferFinished()) {
        refilled = true;
        buffer_->Fill();
        continue;
      }
      result = kRenderFinished;
      break;
    }
    refilled = false;
    unsigned long left = 0;
    buffer_->BytesLeftToRead(left);
    if (left == 0) {
      // The read is complete; a sound that has nothing left has finished.
      buffer_->Unlock();
      result = kRenderFinished;
      break;
    }
    if (firstLength > left) {
      firstLength = left;
      secondLength = 0;
    }
    unsigned long consumed = 0;
    unsigned long produced = 0;

    unsigned char* cursor = first;
    unsigned long made =
        MixLoop(cursor, first + firstLength, destination, destinationEnd, block->format);
    unsigned long taken = static_cast<unsigned long>(cursor - first);
    buffer_->UpdateReadOffset(taken);
    consumed += taken;
    produced += made;
    destination += made;
    left -= std::min(left, taken);
    if (second != nullptr && secondLength > 0 && destination < destinationEnd && left > 0 &&
        taken == firstLength) {
      secondLength = std::min(secondLength, left);
      cursor = second;
      made = MixLoop(cursor, second + secondLength, destination, destinationEnd, block->format);
      taken = static_cast<unsigned long>(cursor - second);
      buffer_->UpdateReadOffset(taken);
      consumed += taken;
      produced += made;
      destination += made;
    }
    buffer_->Unlock();

    if (buffer_->BufferFinished()) {
      result = kRenderFinished;
    } else if (destination < destinationEnd) {
      buffer_->Fill();
      // What remains cannot make a whole source frame: nothing more can come of this read.
      if (consumed == 0 && produced == 0) result = kRenderFinished;
    }
  }
  if (bytesOut != nullptr) {
    *bytesOut = static_cast<unsigned long>(destination - block->data);
  }
  return result;
}

unsigned long CPCMSound::MixLoop(unsigned char*& cursor, unsigned char* sourceEnd,
                                 unsigned char* destination, unsigned char* destinationEnd,
                                 const tWAVEFORMATEX* format) {
  const uint32_t flags = render_flags_;
  const long sourceAlign =
      ((flags & kRenderSource8Bit) ? 1 : 2) * ((flags & kRenderSourceStereo) ? 2 : 1);
  const long outputAlign =
      ((flags & kRenderOutput8Bit) ? 1 : 2) * ((flags & kRenderOutputStereo) ? 2 : 1);
  if (cursor == nullptr || sourceEnd < cursor || destination == nullptr ||
      destinationEnd < destination) {
    return 0;
  }
  // Never read a part of a frame at the region's end.
  const unsigned char* end = sourceEnd - (sourceEnd - cursor) % sourceAlign;
  const unsigned long room = static_cast<unsigned long>(destinationEnd - destination) / outputAlign;
  const sonark::mix::MixFunction mix = sonark::mix::SelectMix(
      flags & kRenderSource8Bit, flags & kRenderSourceStereo, flags & kRenderOutput8Bit,
      flags & kRenderOutputStereo, Muted() || skipping_);

  sonark::mix::MixState state{phase_,
                              rate_step_,
                              previous_left_,
                              previous_right_,
                              left_gain_.load(std::memory_order_relaxed),
                              right_gain_.load(std::memory_order_relaxed)};
  const unsigned char* source = cursor;
  unsigned long done = 0;
  while (done < room) {
    unsigned long run = room - done;
    if (render_flags_ & kRenderEnvelopes) {
      // Events and re-evaluations fall due at the start of a frame; the runs in between are
      // rendered without looking at the envelopes.
      while ((render_flags_ & kRenderEnvelopes) && envelope_.eventCountdown <= 0) {
        GetNextMapSkipInfo(format);
      }
      if ((render_flags_ & kRenderEnvelopes) && envelope_.updateCountdown <= 0) {
        envelope_.updateCountdown = envelope_.updateInterval;
        CalculateVolumes(format);
      }
      state.step = rate_step_;
      state.leftGain = left_gain_.load(std::memory_order_relaxed);
      state.rightGain = right_gain_.load(std::memory_order_relaxed);
      if (render_flags_ & kRenderEnvelopes) {
        run = std::min<unsigned long>(run, envelope_.updateCountdown);
        run = std::min<unsigned long>(run, envelope_.eventCountdown);
      }
    }
    bool ranOut = false;
    const unsigned long made =
        mix(state, source, end, destination + done * outputAlign, run, ranOut);
    done += made;
    if (render_flags_ & kRenderEnvelopes) {
      envelope_.updateCountdown -= static_cast<long>(made);
      envelope_.eventCountdown -= static_cast<long>(made);
    }
    envelope_frame_ += static_cast<long>(made);
    if (ranOut) break;
  }
  phase_ = state.phase;
  previous_left_ = state.previousLeft;
  previous_right_ = state.previousRight;
  cursor = const_cast<unsigned char*>(source);
  return done * outputAlign;
}

int CPCMSound::Idle(const tWAVEFORMATEX*) {
  AtomGuard guard(*this);
  return buffer_ != nullptr ? buffer_->Fill() : 0;
}
