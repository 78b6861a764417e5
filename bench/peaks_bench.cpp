// Peak building over ten minutes of CD-quality stereo held in memory, and the cost of
// loading and reading back the peak file of that sound.

#include <benchmark/benchmark.h>
#include <platform/wave_format.h>
#include <sonark/load/peak_slicer.h>
#include <sonark/load/peaks.h>
#include <sonark/render/buffer_format.h>
#include <tarnell/file_obj.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr unsigned long kRate = 44100;
constexpr unsigned long kSeconds = 600;
constexpr unsigned long kSecondBytes = kRate * 4;

tWAVEFORMATEX CdFormat() { return PcmFormat(kRate, 2, 16); }

// A tone under a slow swell with a little noise, so slice maxima vary.
const std::vector<int16_t>& TenMinutes() {
  static const std::vector<int16_t> pcm = [] {
    std::vector<int16_t> s(kRate * kSeconds * 2);
    uint32_t noise = 1;
    for (size_t i = 0; i < s.size() / 2; ++i) {
      noise = noise * 1664525 + 1013904223;
      const double swell = 0.5 + 0.5 * std::sin(static_cast<double>(i) / kRate * 0.7);
      const double tone = std::sin(static_cast<double>(i) * 2 * M_PI * 220 / kRate);
      const auto v =
          static_cast<int16_t>(swell * 30000 * tone + static_cast<int>(noise >> 24) - 128);
      s[2 * i] = v;
      s[2 * i + 1] = static_cast<int16_t>(-v / 2);
    }
    return s;
  }();
  return pcm;
}

// Slices the whole sound one second per call, as the initial load reads it.
int BuildPeaks(CPeaks& peaks, int toFile, CRefObj* source, unsigned long ms) {
  const std::vector<int16_t>& pcm = TenMinutes();
  const tWAVEFORMATEX format = CdFormat();
  peaks.InitStreamPeaksFromParse(&toFile, source);
  CPeakSlicer slicer;
  if (!slicer.Init(&peaks, &format, ms)) return 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(pcm.data());
  for (unsigned long s = 0; s < kSeconds; ++s) {
    if (!slicer.Add(bytes + s * kSecondBytes, kSecondBytes)) return 0;
  }
  return slicer.Flush() && peaks.FinishPeaksFromParse(static_cast<long>(kSeconds * 1000), toFile);
}

void BM_PeakComputation(benchmark::State& state) {
  const auto ms = static_cast<unsigned long>(state.range(0));
  TenMinutes();
  for (auto _ : state) {
    CPeaks peaks(ms, -1);
    if (!BuildPeaks(peaks, 0, nullptr, ms)) state.SkipWithError("peaks not built");
    benchmark::DoNotOptimize(peaks.GetDataPtr());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSeconds * kSecondBytes);
}
BENCHMARK(BM_PeakComputation)->Arg(10)->Arg(20)->Unit(benchmark::kMillisecond);

// The slice scan alone over the whole sound, in slices of 10 ms, for each sample layout the
// peaks are built from (the 8-bit and mono cases reuse the same bytes).
void BM_MaxSampleScan(benchmark::State& state) {
  const auto channels = static_cast<uint16_t>(state.range(0));
  const auto bits = static_cast<uint16_t>(state.range(1));
  tWAVEFORMATEX format = CdFormat();
  format.nChannels = channels;
  format.wBitsPerSample = bits;
  format.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
  const auto* bytes = reinterpret_cast<const unsigned char*>(TenMinutes().data());
  const size_t size = TenMinutes().size() * 2;
  const size_t slice = static_cast<size_t>(format.nBlockAlign) * kRate / 100;
  for (auto _ : state) {
    long left = 0;
    long right = 0;
    for (size_t at = 0; at + slice <= size; at += slice) {
      GetMaxSample(bytes + at, bytes + at + slice, &format, left, right);
    }
    benchmark::DoNotOptimize(left + right);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_MaxSampleScan)
    ->Args({2, 16})
    ->Args({1, 16})
    ->Args({2, 8})
    ->Args({1, 8})
    ->Unit(benchmark::kMillisecond);

// A directory for the bench's files, removed at exit.
struct BenchDir {
  BenchDir() {
    char pattern[] = "/tmp/peaks-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    path = pattern;
  }
  ~BenchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

// The peak file of the ten-minute sound, built once beside a stand-in sound file.
const std::string& PeakFile(unsigned long ms) {
  static BenchDir dir;
  static std::string paths[2];
  std::string& path = paths[ms == 10 ? 0 : 1];
  if (path.empty()) {
    const std::string sound = dir.path + "/ten-minutes-" + std::to_string(ms) + ".wav";
    std::fclose(std::fopen(sound.c_str(), "wb"));
    CFileObj source;
    source.Open(sound.c_str(), 0, 0);
    CPeaks peaks(ms, -1);
    if (!BuildPeaks(peaks, 1, &source, ms)) std::abort();
    path = sound + ".ipk";
  }
  return path;
}

// What the initial load does with a valid cache: header, last peak, trailer.
void BM_LoadPeakFile(benchmark::State& state) {
  const std::string& path = PeakFile(static_cast<unsigned long>(state.range(0)));
  for (auto _ : state) {
    CPeaks peaks;
    if (!peaks.LoadPeaksFromFile(path.c_str(), 1)) state.SkipWithError("not loaded");
  }
}
BENCHMARK(BM_LoadPeakFile)->Arg(10)->Arg(20)->Unit(benchmark::kMillisecond);

// Loading and then streaming every peak through the memory window, as a full redraw does.
void BM_LoadAndStreamPeakFile(benchmark::State& state) {
  const std::string& path = PeakFile(static_cast<unsigned long>(state.range(0)));
  for (auto _ : state) {
    CPeaks peaks;
    if (!peaks.LoadPeaksFromFile(path.c_str(), 1) || !peaks.OpenPeaksFile(nullptr, 0)) {
      state.SkipWithError("not loaded");
      break;
    }
    unsigned long got = 0;
    int atEnd = 0;
    while (!atEnd && peaks.StreamPeaksFromFile(1u << 20, &got, &atEnd)) {
      benchmark::DoNotOptimize(peaks.GetDataPtr());
    }
  }
}
BENCHMARK(BM_LoadAndStreamPeakFile)->Arg(10)->Arg(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
