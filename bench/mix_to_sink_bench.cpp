// Offline mixing speed: MixToDataSink of eight stereo 16-bit 44.1 kHz sounds, their data in
// memory objects, into a sink that discards the blocks. Reported as times real time.
//
// bench/mix_peers.sh times sox and ffmpeg on the same mix for comparison.

#include <benchmark/benchmark.h>
#include <sonark/model/audio_atom.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>
#include <sonark/render/pcm_mixer.h>
#include <tarnell/mem_obj.h>

#include <cstdint>
#include <vector>

namespace {

constexpr int kSounds = 8;

tWAVEFORMATEX CdFormat() {
  tWAVEFORMATEX f{};
  f.wFormatTag = kWaveFormatPcm;
  f.nChannels = 2;
  f.nSamplesPerSec = 44100;
  f.nBlockAlign = 4;
  f.nAvgBytesPerSec = 176400;
  f.wBitsPerSample = 16;
  return f;
}

// Eight sounds of `seconds` each, all starting at 0, with their data in memory: each a
// different quiet ramp, so that nothing saturates and no two are alike. Streamed through
// buffers of two seconds, as loading sets them up.
CSoundGroup* NewSession(long seconds) {
  const tWAVEFORMATEX format = CdFormat();
  auto* group = new CSoundGroup();
  const long frames = seconds * 44100;
  std::vector<int16_t> samples(static_cast<size_t>(frames) * 2);
  for (int s = 0; s < kSounds; ++s) {
    for (long i = 0; i < frames; ++i) {
      const auto v = static_cast<int16_t>((i * (s + 1)) % 4096 - 2048);
      samples[static_cast<size_t>(2 * i)] = v;
      samples[static_cast<size_t>(2 * i + 1)] = static_cast<int16_t>(-v);
    }
    auto* data = new CMemObj();
    data->Open(reinterpret_cast<unsigned char*>(samples.data()), samples.size() * 2);
    data->SetDataOffsets(0, samples.size() * 2);
    auto* sound = new CPCMSound();
    sound->SetUpFromPCM(data, &format, 2000);
    CRefObj* held = data;
    DeleteRefObject(&held);
    CAudioAtom* atom = sound;
    atom->Add(group, 0);
    DeleteAtom(&atom);
  }
  return group;
}

TDataWriteCode Discard(void* data, long* length, void*) {
  benchmark::DoNotOptimize(data);
  benchmark::DoNotOptimize(*length);
  return dwcNextBlock;
}

// The argument is the length in minutes.
void BM_MixToDataSink(benchmark::State& state) {
  const long seconds = state.range(0) * 60;
  CSoundGroup* group = NewSession(seconds);
  CPCMMixer mixer(nullptr);
  const tWAVEFORMATEX format = CdFormat();
  for (auto _ : state) {
    if (!mixer.MixToDataSink(group, &Discard, nullptr, &format, group->Length(0), -1)) {
      state.SkipWithError("MixToDataSink failed");
      break;
    }
  }
  state.counters["x_realtime"] =
      benchmark::Counter(static_cast<double>(seconds) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
  state.SetBytesProcessed(state.iterations() * seconds * 176400 * kSounds);
  CAudioAtom* held = group;
  DeleteAtom(&held);
}
BENCHMARK(BM_MixToDataSink)->Arg(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
