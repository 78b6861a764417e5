#include <platform/last_error.h>
#include <sonark/load/initial_load.h>
#include <sonark/load/peaks.h>
#include <sonark/temp_paths.h>
#include <stdlib.h>
#include <tarnell/file_obj.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

// The input is a sound file named ".wav", loaded as a sound is when it joins a session, with
// peaks. Whatever the bytes, the load must not crash, hang or read outside a buffer; it either
// refuses the file with a code, or gives a PCM format and a data range inside the file that
// reads back whole.

#include "fuzz_sound_file.h"

namespace {

const FuzzSoundFile& Environment() {
  static const FuzzSoundFile setup("sound.wav");
  return setup;
}

// Answers "continue", except that every few calls it holds the load once (-1).
int Progress(unsigned long /*amount*/, void* context) {
  auto* calls = static_cast<int*>(context);
  return (++*calls % 5 == 0) ? -1 : 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const FuzzSoundFile& setup = Environment();
  CFileObj* file = setup.Open(data, size);
  CRefObj* held = file;

  int calls = 0;
  {
    CInitialLoad load;
    const int msPerPeak = size > 0 ? 1 + data[0] % 50 : 10;
    const int result = load.DoInitialLoad(file, 1, 1, 1, 0, msPerPeak, &Progress, &calls);
    if (result != 0) {
      const long start = load.DataStart();
      const long end = load.DataEnd();
      if (start < 0 || end <= start || end > static_cast<long>(size)) std::abort();
      struct Free {
        void operator()(tWAVEFORMATEX* f) const { std::free(f); }
      };
      std::unique_ptr<tWAVEFORMATEX, Free> format(load.StealWaveFomatEx());
      // PCM the engine takes as it is comes normalised and in whole frames; the rest (24 bits,
      // rates above 48 kHz, compressed data) has a decoder that reads whole blocks of it.
      const bool decoded = load.GetACMObject() != nullptr;
      if (!format || (!decoded && (format->wFormatTag != kWaveFormatPcm || format->cbSize != 0 ||
                                   (end - start) % format->nBlockAlign != 0))) {
        std::abort();
      }
      // A data chunk that claims more than the file holds runs to the last whole frame.
      if (load.DataCutShort() && end + format->nBlockAlign <= static_cast<long>(size)) std::abort();
      std::string bytes(static_cast<size_t>(end - start), '\0');
      if (!file->SeekToData(0) || file->ReadData(bytes.data(), end - start) != end - start) {
        std::abort();
      }
    } else if (platform::last_error() == 0 && !load.Cancelled()) {
      // A refusal always says why.
      std::abort();
    }
  }
  DeleteRefObject(&held);

  char peakFile[PATH_MAX];
  if (CPeaks::PeakFilePathFor(setup.sound.c_str(), peakFile, sizeof peakFile, 0)) {
    std::remove(peakFile);
  }
  return 0;
}
