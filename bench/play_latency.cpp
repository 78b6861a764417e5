// Latency from Play to the first block handed to the output device: a mixer whose pump notes
// when the first output buffer is taken after Play, over many plays of a one-second session
// through the clock-paced null device. Prints the median, the spread and the block length; the
// aim is under one block.
//
//   build/bin/play_latency [plays]

#include <platform/clock.h>
#include <platform/wave_out.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/model/atom_ref.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>
#include <sonark/tests/mixer_test_support.h>
#include <tarnell/mem_obj.h>
#include <tarnell/ref_ptr.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Notes the moment its pump first hands a buffer to the device after Arm.
class TimedMixer : public CPCMMixer {
 public:
  explicit TimedMixer(const _tInitMixer* record) : CPCMMixer(record) {}
  ~TimedMixer() override { StopBeingCurrent(); }

  void Arm() {
    handed_.store(0, std::memory_order_relaxed);
    armed_.store(true, std::memory_order_release);
  }
  // Nanoseconds on the steady clock when the first buffer went; 0 while none has.
  int64_t Handed() const { return handed_.load(std::memory_order_acquire); }

 protected:
  int Mix() override {
    const int result = CPCMMixer::Mix();
    if (armed_.load(std::memory_order_acquire)) {
      for (int i = 0; i < OutputBufferCount(); ++i) {
        if (GetOutputBuffer(i)->free == 0) {
          handed_.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
          armed_.store(false, std::memory_order_relaxed);
          break;
        }
      }
    }
    return result;
  }

 private:
  std::atomic<bool> armed_{false};
  std::atomic<int64_t> handed_{0};
};

// A group holding one second of a stereo staircase, its data in memory.
AtomRef<CSoundGroup> NewSession(const tWAVEFORMATEX& format) {
  AtomRef<CSoundGroup> group(new CSoundGroup());
  mixer_test::AddOwned(mixer_test::NewSound(mixer_test::Staircase(format.nSamplesPerSec, 1)),
                       group.get(), 0);
  return group;
}

bool WaitFor(bool (*done)(TimedMixer&), TimedMixer& mixer) {
  const auto limit = Clock::now() + std::chrono::seconds(3);
  while (!done(mixer)) {
    if (Clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int plays = argc > 1 ? std::max(1, atoi(argv[1])) : 50;
  // Figures are taken on the clock-paced device, never on a real card's driver.
  setenv("QUARL_AUDIO", "null", 1);
  const tWAVEFORMATEX format = PcmFormat(44100, 2, 16);
  const _tInitMixer record{platform::kWaveDefaultDevice, 8, 16384, format};
  TimedMixer mixer(&record);
  AtomRef<CSoundGroup> group = NewSession(format);

  // A press of play comes at any moment of the engine thread's idle rounds.
  std::mt19937 random(11);
  std::uniform_int_distribution<int> idle_us(0, 50000);
  std::vector<double> ms;
  for (int i = 0; i < plays; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(idle_us(random)));
    mixer.Arm();
    const auto start = Clock::now();
    if (!mixer.Play(group.get(), 0, 0)) {
      fprintf(stderr, "play_latency: Play failed\n");
      return 1;
    }
    if (!WaitFor([](TimedMixer& m) { return m.Handed() != 0; }, mixer)) {
      fprintf(stderr, "play_latency: no block reached the device within 3 s\n");
      return 1;
    }
    ms.push_back(static_cast<double>(mixer.Handed() - start.time_since_epoch().count()) / 1e6);
    mixer.Stop();
    // Each play starts from a closed device, as a user's press of play does.
    if (!WaitFor([](TimedMixer& m) { return m.IsOpen() == 0; }, mixer)) {
      fprintf(stderr, "play_latency: the device stayed open after Stop\n");
      return 1;
    }
  }
  std::sort(ms.begin(), ms.end());
  const double block = mixer.GetBlockLength();
  const double median = ms[ms.size() / 2];
  printf("Play to the first block handed to the device, %d plays, null device (paced)\n", plays);
  printf("  median %.2f ms   min %.2f ms   max %.2f ms\n", median, ms.front(), ms.back());
  printf(
      "  block length %.1f ms (8 x 16384 bytes, 44100 Hz 16-bit stereo); median / block %.2f"
      "   (aim < 1)\n",
      block, median / block);
  return 0;
}
