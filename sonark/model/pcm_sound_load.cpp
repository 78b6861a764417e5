#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/load/initial_load.h>
#include <sonark/load/music_info.h>
#include <sonark/load/peaks.h>
#include <sonark/model/loaded_sounds.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_start.h>
#include <sonark/render/decoder.h>
#include <sonark/render/pcm_buffer.h>
#include <sonark/model/render_units.h>
#include <tarnell/ref_obj.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

// A sound's first load from its file, and what the sound takes from its peaks.

using sonark::render::AtomGuard;

int CPCMSound::InitialLoad(CRefObj* source, long bufferMs, int determineLength, int buildPeaks,
                           int reserved, int buildSeekMap, int msPerPeak, TLoadProgress progress,
                           void* context) {
  platform::clear_last_error();
  if (source == nullptr) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return 0;
  }
  CInitialLoad load;
  if (!load.DoInitialLoad(source, buildSeekMap, determineLength, buildPeaks, reserved, msPerPeak,
                          progress, context)) {
    return 0;
  }
  const std::unique_ptr<tWAVEFORMATEX, FreeFormat> format(load.StealWaveFomatEx());
  const std::unique_ptr<CDecoder> decoder(load.StealACMObject());
  std::unique_ptr<TMusicInfo> info(load.StealMusicInfo());
  if (decoder != nullptr) {
    // Compressed data streams through its decoder's own buffer over the seek map; both come
    // with the decoders, and the load creates no decoder before they do.
    platform::set_last_error(sonark::kErrDecoderStream);
    return 0;
  }
  std::unique_ptr<CPeaks> peaks;
  if (load.PeakMap() != nullptr) {
    peaks.reset(load.PeakMap()->Copy());
    if (peaks == nullptr) {
      platform::set_last_error(sonark::kErrOutOfMemory);
      return 0;
    }
  }

  // Plain PCM: the data range is set, so the sound is set up as over any PCM data.
  if (!SetUpFromPCM(source, format.get(), bufferMs)) return 0;
  {
    AtomGuard guard(*this);
    music_info_ = std::move(info);
    peaks_ = std::move(peaks);
    DetermineSilenceAndPartialSong();
    cut_short_ = load.DataCutShort();

    // A start the sound already had (from a session) applies to the new data, its waveform
    // included.
    const long start = GetVirtualDataStart();
    if (start > 0) StartAtByte(this, start, true);
  }
  AddTheSound(this);
  platform::clear_last_error();
  return 1;
}

void CPCMSound::DetermineSilenceAndPartialSong() {
  AtomGuard guard(*this);
  if (peaks_ == nullptr) return;
  auto_trim_start_ = peaks_->GetAutoTrimTimeStart();
  auto_trim_end_ = peaks_->GetAutoTrimTimeEnd();
  if (peaks_->IsTotalSilence()) {
    total_silence_ = 1;
  } else if (peaks_->IsPartialSong()) {
    partial_song_ = 1;
  }
}

double CPCMSound::GetNormalizedVolume(double volume) {
  AtomGuard guard(*this);
  if (peaks_ == nullptr) return 1.0;
  const long loudest = std::max(peaks_->GetMaxLeft(), peaks_->GetMaxRight());
  // Silence cannot be brought to any level.
  if (loudest <= 0) return 1.0;
  return volume * 32767.0 / static_cast<double>(loudest);
}
