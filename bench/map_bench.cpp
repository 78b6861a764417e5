// Cost of envelope queries on a large map and of sorted edits in a large array list.

#include <benchmark/benchmark.h>
#include <sonark/containers/map.h>
#include <sonark/containers/my_array_list.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr int kEvents = 10000;
constexpr long kSpacing = 10;  // ms between events

// Volume, pan and rate events in turn, one every 10 ms, values varying so that every query
// interpolates.
const CMap& LargeMap() {
  static const CMap map = [] {
    CMap m;
    std::mt19937 random(1);
    for (int i = 0; i < kEvents; ++i) {
      m.AddSimpleEvent(i % 3, i * kSpacing, 0.5 + (random() % 100) / 100.0);
    }
    return m;
  }();
  return map;
}

std::vector<long> QueryTimes() {
  std::mt19937 random(2);
  std::vector<long> times(4096);
  for (long& t : times) t = static_cast<long>(random() % (kEvents * kSpacing));
  return times;
}

void BM_GetSimpleValueAtTime(benchmark::State& state) {
  const CMap& map = LargeMap();
  const std::vector<long> times = QueryTimes();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.GetSimpleValueAtTime(times[i++ & 4095], kMapVolume));
  }
}
BENCHMARK(BM_GetSimpleValueAtTime)->Unit(benchmark::kMicrosecond);

// The rate integral walks the rate events up to the queried time: on average half the map.
void BM_GetRateMapAdjustedTime(benchmark::State& state) {
  const CMap& map = LargeMap();
  const std::vector<long> times = QueryTimes();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.GetRateMapAdjustedTime(times[i++ & 4095]));
  }
}
BENCHMARK(BM_GetRateMapAdjustedTime)->Unit(benchmark::kMicrosecond);

void* Item(int n) { return reinterpret_cast<void*>(static_cast<intptr_t>(16 + n * 16)); }

void FillList(CMyArrayList& list) {
  for (int i = 0; i < kEvents; ++i) list.AppendToTail(Item(i), i * kSpacing);
}

// Each iteration inserts one element at a random key and takes it out again, so the list
// stays at 10,000 elements; only the measured operation is timed.
template <bool kTimeInsert>
void ArrayEdit(benchmark::State& state) {
  CMyArrayList list;
  FillList(list);
  std::mt19937 random(3);
  int n = kEvents;
  for (auto _ : state) {
    long key = static_cast<long>(random() % (kEvents * kSpacing)) + 5;
    void* item = Item(n++);
    auto t0 = std::chrono::steady_clock::now();
    int index = list.AddSorted(item, key);
    auto t1 = std::chrono::steady_clock::now();
    list.Remove(item);
    auto t2 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(index);
    state.SetIterationTime(std::chrono::duration<double>(kTimeInsert ? t1 - t0 : t2 - t1).count());
  }
}

void BM_ArrayListAddSorted(benchmark::State& state) { ArrayEdit<true>(state); }
BENCHMARK(BM_ArrayListAddSorted)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Remove(item) searches for the item from the start, then closes the gap.
void BM_ArrayListRemove(benchmark::State& state) { ArrayEdit<false>(state); }
BENCHMARK(BM_ArrayListRemove)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
