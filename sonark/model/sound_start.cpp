#include <sonark/load/peaks.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_start.h>
#include <sonark/render/pcm_buffer.h>
#include <tarnell/ref_obj.h>

void StartAtByte(CPCMSound* sound, long bytes, bool ownObject) {
  const tWAVEFORMATEX* format = sound->Format();
  CRefObj* data = sound->GetRefObj();
  if (format == nullptr || format->nBlockAlign == 0 || data == nullptr) return;
  const long block = format->nBlockAlign;
  // Positions count bytes of the PCM the sound plays, decoded ones for compressed data.
  const long size = sound->PcmDataSize();
  long start = bytes > 0 ? bytes - bytes % block : 0;
  // A start at or beyond the data's end means the data's beginning, as a fresh load takes it.
  if (size <= 0 || start >= size) start = 0;
  sound->SetVirtualDataStart(start);
  if (sound->GetBuffer() != nullptr) {
    sound->GetBuffer()->SetVirtualStart(static_cast<uint32_t>(start));
  }
  // The data object of compressed data counts source bytes; its decoder's buffer seeks.
  if (ownObject && sound->GetACMObj() == nullptr) data->SetVirtualStart(start);
  // The waveform starts at the same place, in whole peaks.
  CPeaks* peaks = sound->GetPeaks();
  if (peaks != nullptr && peaks->NumMilsPerPeak() > 0 && peaks->GetNumPeaks() > 0 &&
      format->nAvgBytesPerSec > 0) {
    const unsigned long ms = static_cast<unsigned long>(
        static_cast<double>(start) * 1000.0 / static_cast<double>(format->nAvgBytesPerSec));
    peaks->SetVirtualStart(ms / peaks->NumMilsPerPeak() % peaks->GetNumPeaks());
  }
}
