#include <sonark/engine/engine.h>
#include <sonark/engine_lock.h>
#include <sonark/export/conv_wave_file.h>
#include <sonark/export/conversion_types.h>
#include <sonark/mixer/mixing_thread.h>
#include <sonark/model/loaded_sounds.h>
#include <sonark/names.h>
#include <sonark/temp_paths.h>
#include <sonark/thresholds.h>

#include <cstdio>

namespace {

// Serialises start and stop; constant-initialised, so it works from the load-time
// constructor whatever order the library's other initialisers run in.
std::mutex g_start_lock;
bool g_running = false;

// The mixing thread is created after the engine lock and the registry; when it cannot be
// created the start fails and undoes what it did.
int StartMixingThread() { return MixingThread::Start(); }
// The thread ends before the registry goes.
void StopMixingThread() { MixingThread::Stop(); }

}  // namespace

int SonarkStartEngine() {
  std::lock_guard<std::mutex> guard(g_start_lock);
  if (g_running) return 1;
  SetWaveCDBlockAlign(0);
  SetSilenceThreshold(kDefaultSilenceThreshold);
  SetPartialSongThreshold(kDefaultPartialSongThreshold);
  sonark::internal::ResetNames();
  if (!sonark::internal::CreateLoadedSounds()) return 0;
  EngineMutex();
  if (!StartMixingThread()) {
    std::fputs("Sound Engine: Cannot Create necessary thread!\n", stderr);
    sonark::internal::DestroyLoadedSounds();
    return 0;
  }
  sonark::internal::ResetTempSndPath();
  sonark::internal::ResetConvertersAvailable();
  g_running = true;
  return 1;
}

void SonarkStopEngine() {
  std::lock_guard<std::mutex> guard(g_start_lock);
  if (!g_running) return;
  StopMixingThread();
  sonark::internal::DestroyLoadedSounds();
  g_running = false;
}

int SonarkEngineRunning() {
  std::lock_guard<std::mutex> guard(g_start_lock);
  return g_running ? 1 : 0;
}

// The engine runs for as long as the library is loaded.
__attribute__((constructor)) static void StartEngineOnLoad() { SonarkStartEngine(); }
__attribute__((destructor)) static void StopEngineOnUnload() { SonarkStopEngine(); }
