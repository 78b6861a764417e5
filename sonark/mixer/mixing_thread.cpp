#include <platform/clock.h>
#include <sonark/engine_lock.h>
#include <sonark/mixer/current_mixer.h>
#include <sonark/mixer/mixing_thread.h>
#include <sonark/mixer/pcm_mixer.h>

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr uint32_t kBusyPauseMs = 1;
constexpr uint32_t kIdlePauseMs = 20;

// Never destroyed: at exit the static destructors run before the library's unload stops the
// thread, and destroying a running std::thread ends the process.
std::thread* g_thread = nullptr;
std::atomic<bool> g_run{false};

void Loop() {
  uint32_t pause = kIdlePauseMs;
  while (g_run.load(std::memory_order_acquire)) {
    platform::sleep_ms(pause);
    std::lock_guard<std::recursive_mutex> guard(EngineMutex());
    CPCMMixer* mixer = GetCurrentMixer();
    pause = mixer != nullptr && MixingThread::Round(mixer) ? kBusyPauseMs : kIdlePauseMs;
  }
}

}  // namespace

bool MixingThread::Round(CPCMMixer* mixer) {
  // Refilling the sounds' own buffers comes first, outside the time-critical mixing.
  mixer->Idle();
  if (mixer->Playing()) {
    if (mixer->Recording()) mixer->ContinueRecording();
    mixer->Mix();
    return true;
  }
  if (mixer->Recording()) {
    mixer->ContinueRecording();
    return true;
  }
  if (mixer->IsOpen()) mixer->Close();
  return false;
}

int MixingThread::Start() {
  if (g_thread != nullptr) return 1;
  g_run.store(true, std::memory_order_release);
  try {
    g_thread = new std::thread(Loop);
  } catch (const std::system_error&) {
    g_run.store(false);
    return 0;
  }
  return 1;
}

void MixingThread::Stop() {
  g_run.store(false, std::memory_order_release);
  if (g_thread == nullptr) return;
  g_thread->join();
  delete g_thread;
  g_thread = nullptr;
}
