#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/load/acm_buffer.h>
#include <sonark/load/acm_object.h>
#include <sonark/load/initial_load.h>
#include <sonark/load/music_info.h>
#include <sonark/load/peaks.h>
#include <sonark/model/loaded_sounds.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_start.h>
#include <sonark/render/decoder.h>
#include <sonark/render/pcm_buffer.h>
#include <sonark/render/sample_convert.h>
#include <sonark/model/render_units.h>
#include <tarnell/ref_obj.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

// A sound's first load from its file, and what the sound takes from its peaks.

using namespace sonark::render;

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
  std::unique_ptr<CDecoder> decoder(load.StealACMObject());
  std::unique_ptr<TMusicInfo> info(load.StealMusicInfo());
  std::unique_ptr<CPeaks> peaks;
  if (load.PeakMap() != nullptr) {
    peaks.reset(load.PeakMap()->Copy());
    if (peaks == nullptr) {
      platform::set_last_error(sonark::kErrOutOfMemory);
      return 0;
    }
  }

  if (decoder != nullptr) {
    auto* codec = dynamic_cast<ACMObject*>(decoder.get());
    if (codec == nullptr) {
      platform::set_last_error(sonark::kErrDecoderStream);
      return 0;
    }
    // Without a scan or a map the decoded size is known to the millisecond only.
    if (codec->PcmSize() < 0 && codec->GetDestFormat() != nullptr &&
        RenderableFormat(codec->GetDestFormat())) {
      codec->SetPcmSize(MsToBytes(load.GetActualLength(), codec->GetDestFormat()));
    }
    decoder.release();
    if (!SetUpFromDecoder(source, format.get(), codec, load.SeekMap(), bufferMs)) return 0;
  } else if (!SetUpFromPCM(source, format.get(), bufferMs)) {
    // Plain PCM: the data range is set, so the sound is set up as over any PCM data.
    return 0;
  }
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

int CPCMSound::SetUpFromDecoder(CRefObj* object, const tWAVEFORMATEX* sourceFormat,
                                ACMObject* decoder, CSeekMap* seekMap, long bufferMs) {
  std::unique_ptr<ACMObject> owned(decoder);
  if (object == nullptr || sourceFormat == nullptr || owned == nullptr) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return 0;
  }
  const tWAVEFORMATEX* pcm = owned->GetDestFormat();
  if (pcm == nullptr || !RenderableFormat(pcm) || !owned->EnableStream(1)) {
    platform::set_last_error(sonark::kErrDecoderStream);
    return 0;
  }
  const long whole = owned->PcmSize() > 0
                         ? WholeFrames(static_cast<long>(std::min<int64_t>(owned->PcmSize(),
                                                                           INT32_MAX)),
                                       pcm)
                         : 0;
  if (whole <= 0 || object->GetDataStart() < 0) {
    platform::set_last_error(sonark::kErrEmptyData);
    return 0;
  }
  long capacity = MsToBytes(bufferMs > 0 ? bufferMs : 1, pcm);
  if (capacity < FrameBytes(pcm)) capacity = FrameBytes(pcm);
  int loadedOnce = 0;
  if (capacity >= whole) {
    capacity = whole;
    loadedOnce = 1;
  }
  std::unique_ptr<CPCMBuffer> buffer(owned->NewBuffer(seekMap));
  if (buffer == nullptr) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  object->Seek(object->GetDataStart(), 0);
  buffer->SetSilence(sonark::samples::SilenceByte(pcm->wBitsPerSample));
  if (!buffer->Init(object, static_cast<unsigned long>(capacity), loadedOnce, 50)) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  const double bytesPerSecond = BytesPerSecond(pcm);
  {
    AtomGuard guard(*this);
    if (!SetSourceFormat(sourceFormat)) return 0;
    SetRefObj(object);
    decoder_ = std::move(owned);
    buffer_ = std::move(buffer);
  }
  SetVirtualLength(TruncateToLong(static_cast<double>(whole) * 1000.0 / bytesPerSecond));
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
