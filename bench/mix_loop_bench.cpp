// Cost of rendering one sound into a mix block: the mixing loop per output frame, stereo
// 16-bit into stereo 16-bit, at rate 1.0, with a volume envelope, and at rate 1.5; and the
// whole ReadData path over a loaded-once sound for comparison.

#include <benchmark/benchmark.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/render/buffer_format.h>
#include <tarnell/mem_obj.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kRate = 44100;
constexpr long kBlockFrames = 4096;
constexpr long kSourceFrames = 3 * kBlockFrames;

tWAVEFORMATEX Stereo16() { return PcmFormat(kRate, 2, 16); }

std::vector<unsigned char> Noise(long frames) {
  std::vector<unsigned char> bytes(static_cast<size_t>(frames) * 4);
  uint32_t x = 12345;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<unsigned char>(x >> 24);
  }
  return bytes;
}

// Exposes the mixing loop.
class BenchSound : public CPCMSound {
 public:
  using CPCMSound::MixLoop;
};

struct Setup {
  BenchSound* sound = new BenchSound();
  std::vector<unsigned char> source = Noise(kSourceFrames);
  std::vector<unsigned char> mix = std::vector<unsigned char>(kBlockFrames * 4);
  tWAVEFORMATEX format = Stereo16();

  Setup(double rate, bool envelope) {
    CMemObj* data = new CMemObj();
    data->Open(source.data(), source.size());
    data->SetDataOffsets(0, source.size());
    sound->SetUpFromPCM(data, &format, 2000);
    DeleteRefObject(reinterpret_cast<CRefObj**>(&data));
    sound->SetVirtualLength(1000000);
    sound->Volume(0.8);
    sound->Rate(rate);
    if (envelope) {
      // A fade so long that every block stays inside it: re-evaluated every 30 ms.
      sound->AddSimpleEvent(kMapVolume, 0, 1.0);
      sound->AddSimpleEvent(kMapVolume, 1000000000, 0.0);
    }
    sound->Load(0);
    // One small pass prepares flags, step and envelopes for the output format.
    _bufferType block{ptInterleaved, &format, 64, 0, 0, mix.data(), nullptr};
    sound->ReadData(&block, nullptr);
  }
  ~Setup() {
    CAudioAtom* atom = sound;
    DeleteAtom(&atom);
  }
};

void MixLoop(benchmark::State& state, double rate, bool envelope) {
  Setup setup(rate, envelope);
  unsigned char* begin = setup.source.data();
  unsigned char* end = begin + setup.source.size();
  long frames = 0;
  for (auto _ : state) {
    unsigned char* cursor = begin;
    const unsigned long made = setup.sound->MixLoop(
        cursor, end, setup.mix.data(), setup.mix.data() + setup.mix.size(), &setup.format);
    benchmark::DoNotOptimize(setup.mix.data());
    frames += static_cast<long>(made / 4);
  }
  // Seconds per frame, shown with its prefix (n for nanoseconds).
  state.counters["ns/frame"] = benchmark::Counter(
      static_cast<double>(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_MixLoopRate1(benchmark::State& state) { MixLoop(state, 1.0, false); }
BENCHMARK(BM_MixLoopRate1);

void BM_MixLoopVolumeEnvelope(benchmark::State& state) { MixLoop(state, 1.0, true); }
BENCHMARK(BM_MixLoopVolumeEnvelope);

void BM_MixLoopRate1_5(benchmark::State& state) { MixLoop(state, 1.5, false); }
BENCHMARK(BM_MixLoopRate1_5);

// ReadData over the sound's own ring, the loop included.
void BM_ReadDataRate1(benchmark::State& state) {
  Setup setup(1.0, false);
  _bufferType block{ptInterleaved,    &setup.format, static_cast<uint32_t>(setup.mix.size()), 0, 0,
                    setup.mix.data(), nullptr};
  long frames = 0;
  for (auto _ : state) {
    unsigned long produced = 0;
    if (setup.sound->ReadData(&block, &produced) != kRenderMore) setup.sound->Load(0);
    frames += static_cast<long>(produced / 4);
  }
  // Seconds per frame, shown with its prefix (n for nanoseconds).
  state.counters["ns/frame"] = benchmark::Counter(
      static_cast<double>(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReadDataRate1);

}  // namespace

BENCHMARK_MAIN();
