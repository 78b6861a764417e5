#include <benchmark/benchmark.h>
#include <platform/wave_format.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>

#include <random>
#include <vector>

// Add, move and remove in a group of 10,000 sounds at random offsets within ten minutes,
// the group sitting in a session root as in the program.

namespace {

constexpr int kSounds = 10000;
constexpr long kSpan = 600000;

class SessionRoot : public CSoundGroup {
 public:
  int CanAdjust() override { return 0; }
  int CanCombine() override { return 0; }
};

CAudioAtom* NewSound(std::mt19937& rng) {
  auto* sound = new CPCMSound();
  tWAVEFORMATEX format{kWaveFormatPcm, 2, 44100, 176400, 4, 16, 0};
  sound->SetSourceFormat(&format);
  long length = std::uniform_int_distribution<long>(1000, 10000)(rng);
  sound->SetVirtualLength(length);
  sound->GetSrcMap()->SetDefaultMap(length, kMapAll);
  return sound;
}

long RandomOffset(std::mt19937& rng) { return std::uniform_int_distribution<long>(0, kSpan)(rng); }

struct Session {
  explicit Session(std::mt19937& rng) : root(new SessionRoot()), group(new CSoundGroup()) {
    group->GetSrcMap()->SetDefaultMap(kSpan, kMapAll);
    CAudioAtom* first = NewSound(rng);
    first->Add(group, 0);
    DeleteAtom(&first);
    group->Add(root, 1000);
    for (int i = 1; i < kSounds; ++i) {
      CAudioAtom* sound = NewSound(rng);
      sound->Add(group, RandomOffset(rng));
      DeleteAtom(&sound);
    }
  }
  ~Session() {
    CAudioAtom* top = root;
    DeleteAtom(&top);
    CAudioAtom* held = group;
    DeleteAtom(&held);
  }
  CAudioAtom* Member(std::mt19937& rng) {
    int index = std::uniform_int_distribution<int>(0, kSounds - 1)(rng);
    return group->GetAtom(index, nullptr);
  }
  CSoundGroup* root;
  CSoundGroup* group;  // the session holds one reference of its own
};

void BM_AddSound(benchmark::State& state) {
  std::mt19937 rng(1);
  Session session(rng);
  for (auto _ : state) {
    state.PauseTiming();
    CAudioAtom* sound = NewSound(rng);
    long offset = RandomOffset(rng);
    state.ResumeTiming();
    benchmark::DoNotOptimize(sound->Add(session.group, offset));
    state.PauseTiming();
    sound->Remove();
    DeleteAtom(&sound);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_AddSound)->Unit(benchmark::kMicrosecond);

void BM_MoveSound(benchmark::State& state) {
  std::mt19937 rng(2);
  Session session(rng);
  for (auto _ : state) {
    state.PauseTiming();
    CAudioAtom* sound = session.Member(rng);
    long offset = RandomOffset(rng);
    state.ResumeTiming();
    benchmark::DoNotOptimize(sound->Move(offset));
  }
}
BENCHMARK(BM_MoveSound)->Unit(benchmark::kMicrosecond);

void BM_RemoveSound(benchmark::State& state) {
  std::mt19937 rng(3);
  Session session(rng);
  for (auto _ : state) {
    state.PauseTiming();
    CAudioAtom* sound = session.Member(rng);
    sound->AddReference();
    state.ResumeTiming();
    benchmark::DoNotOptimize(sound->Remove());
    state.PauseTiming();
    sound->Add(session.group, RandomOffset(rng));
    DeleteAtom(&sound);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_RemoveSound)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
