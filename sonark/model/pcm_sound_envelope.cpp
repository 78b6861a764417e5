#include <sonark/model/pcm_sound.h>
#include <sonark/model/render_units.h>

#include <algorithm>
#include <limits>

// Following a sound's volume, pan and rate envelopes while it plays. The envelopes are straight
// lines between events on the time line; they are evaluated every 30 ms of output and at
// every event, and held in between, so the mixing loop itself stays integer-only.
//
// Positions are kept as output frames on the sound's time line (frames at time t are
// trunc(t x rate / 1000)), so every line runs exactly from its event's frame to the next, and
// rounding never accumulates over a long envelope.

using namespace sonark::render;

namespace {

// Per kind (volume, pan, rate, in map-type order): its has-next and ramp bits.
constexpr uint32_t kNextBit[3] = {kRenderVolumeNext, kRenderPanNext, kRenderRateNext};
constexpr uint32_t kRampBit[3] = {kRenderVolumeRamp, kRenderPanRamp, kRenderRateRamp};
constexpr int kKinds[3] = {kMapVolume, kMapPan, kMapRate};

}  // namespace

int CPCMSound::FetchNextEvent(int kind) {
  _envelopeTrack& track = envelope_.tracks[kind];
  int index = track.index;
  long time = 0;
  while (_tvol_pan_data* event = GetNextEvent(kKinds[kind], index, &time)) {
    double value = 0.0;
    if (CMap::GetSimpleValue(event, &value)) {
      track.next = value;
      track.nextTime = time;
      track.nextFrame = MsToFrames(time, envelope_rate_);
      track.index = index + 1;
      return 1;
    }
    ++index;
  }
  return 0;
}

void CPCMSound::HoldEnvelopeValue(int kind, double value, const tWAVEFORMATEX* output) {
  render_flags_ &= ~kRampBit[kind];
  envelope_.tracks[kind].slope = 0.0;
  switch (kKinds[kind]) {
    case kMapVolume:
      Volume(value);
      break;
    case kMapPan:
      Pan(value);
      break;
    default:
      Rate(value);
      if (Format() != nullptr) rate_step_ = StepFor(value, Format(), output->nSamplesPerSec);
      break;
  }
}

void CPCMSound::ReadyMapForPlayback(long start, const tWAVEFORMATEX* output) {
  ReadyMapAtFrame(MsToFrames(start, output->nSamplesPerSec), output);
}

void CPCMSound::ReadyMapAtFrame(long frame, const tWAVEFORMATEX* output) {
  envelope_ = _envelopeState{};
  render_flags_ &= ~kRenderEnvelopeBits;
  envelope_rate_ = output->nSamplesPerSec;
  envelope_.updateInterval =
      std::max<long>(1, static_cast<long>(output->nSamplesPerSec) * 30 / 1000);
  envelope_frame_ = frame;
  // A kind without events leaves the static value in force.
  if (Format() != nullptr) rate_step_ = StepFor(Rate(), Format(), envelope_rate_);
  const double statics[3] = {Volume(), Pan(), Rate()};

  for (int kind = 0; kind < 3; ++kind) {
    _envelopeTrack& track = envelope_.tracks[kind];
    track.current = track.next = statics[kind];
    track.currentTime = track.nextTime = kNoEventTime;
    // The last event at or before the start is the current one.
    bool haveCurrent = false;
    int index = 0;
    long time = 0;
    while (_tvol_pan_data* event = GetNextEvent(kKinds[kind], index, &time)) {
      const long at = MsToFrames(time, envelope_rate_);
      if (at > frame) break;
      double value = 0.0;
      if (CMap::GetSimpleValue(event, &value)) {
        track.current = value;
        track.currentTime = time;
        track.currentFrame = at;
        track.index = index + 1;
        haveCurrent = true;
      }
      ++index;
      if (at == frame) break;
    }
    if (FetchNextEvent(kind)) {
      render_flags_ |= kNextBit[kind] | kRenderEnvelopes;
      // Before its first event an envelope holds that event's value.
      if (!haveCurrent) {
        track.current = track.next;
        track.currentTime = TruncateToLong(static_cast<double>(frame) * 1000.0 / envelope_rate_);
        track.currentFrame = frame;
      }
    } else if (haveCurrent) {
      // After its last event an envelope holds that event's value.
      track.next = track.current;
      HoldEnvelopeValue(kind, track.current, output);
    }
  }
  SetMapSkipVariables(TruncateToLong(static_cast<double>(frame) * 1000.0 / envelope_rate_),
                      render_flags_, output);
  envelope_.updateCountdown = envelope_.updateInterval;
}

void CPCMSound::SetMapSkipVariables(long time, uint32_t mask, const tWAVEFORMATEX* output) {
  // Positions are the frame clock's; `time` is where it stands in milliseconds.
  (void)time;
  long nextEvent = std::numeric_limits<long>::max();
  for (int kind = 0; kind < 3; ++kind) {
    if (render_flags_ & kNextBit[kind]) {
      nextEvent = std::min(nextEvent, envelope_.tracks[kind].nextFrame);
    }
  }
  // Zero when the event falls on the current frame: it is then taken before the frame.
  envelope_.eventCountdown = nextEvent == std::numeric_limits<long>::max()
                                 ? nextEvent
                                 : std::max<long>(0, nextEvent - envelope_frame_);

  for (int kind = 0; kind < 3; ++kind) {
    if (!(mask & kNextBit[kind]) || !(render_flags_ & kNextBit[kind])) continue;
    _envelopeTrack& track = envelope_.tracks[kind];
    const long span = track.nextFrame - track.currentFrame;
    track.counter = envelope_frame_ - track.currentFrame;
    if (track.next != track.current && span > 0) {
      render_flags_ |= kRampBit[kind];
      track.slope = (track.next - track.current) / static_cast<double>(span);
    } else {
      // Equal events hold their value; a step shorter than a frame is taken at once.
      HoldEnvelopeValue(kind, track.next, output);
    }
  }
  CalculateVolumes(output);
}

void CPCMSound::CalculateVolumes(const tWAVEFORMATEX* output) {
  auto valueNow = [this](int kind) {
    _envelopeTrack& track = envelope_.tracks[kind];
    track.counter = envelope_frame_ - track.currentFrame;
    return track.current + track.slope * static_cast<double>(track.counter);
  };
  const uint32_t flags = render_flags_;
  if (flags & (kRenderVolumeRamp | kRenderPanRamp)) {
    const double volume = (flags & kRenderVolumeRamp) ? valueNow(0) : Volume();
    const double pan = (flags & kRenderPanRamp) ? valueNow(1) : Pan();
    int32_t left = 0;
    int32_t right = 0;
    GainsFor(volume, pan, (flags & kRenderPanRamp) != 0, left, right);
    left_gain_.store(left, std::memory_order_relaxed);
    right_gain_.store(right, std::memory_order_relaxed);
  }
  if ((flags & kRenderRateRamp) && Format() != nullptr) {
    rate_step_ = StepFor(valueNow(2), Format(), output->nSamplesPerSec);
  }
}

void CPCMSound::GetNextMapSkipInfo(const tWAVEFORMATEX* output) {
  long reached = kNoEventTime;
  for (int kind = 0; kind < 3; ++kind) {
    if (render_flags_ & kNextBit[kind]) {
      reached = std::min(reached, envelope_.tracks[kind].nextTime);
    }
  }
  uint32_t advanced = 0;
  for (int kind = 0; kind < 3; ++kind) {
    _envelopeTrack& track = envelope_.tracks[kind];
    if (!(render_flags_ & kNextBit[kind]) || track.nextTime != reached) continue;
    track.current = track.next;
    track.currentTime = track.nextTime;
    track.currentFrame = track.nextFrame;
    track.counter = 0;
    if (FetchNextEvent(kind)) {
      advanced |= kNextBit[kind];
    } else {
      // The kind's last event: it holds that value from here on.
      render_flags_ &= ~kNextBit[kind];
      track.next = track.current;
      track.nextTime = kNoEventTime;
      track.nextFrame = std::numeric_limits<long>::max();
      HoldEnvelopeValue(kind, track.current, output);
    }
  }
  if (!(render_flags_ & (kRenderVolumeNext | kRenderPanNext | kRenderRateNext))) {
    // Every envelope has reached its end; gains and step keep the held values.
    render_flags_ &= ~kRenderEnvelopes;
    return;
  }
  SetMapSkipVariables(reached, advanced, output);
}
