#include <bench/initial_load_once.h>
#include <benchmark/benchmark.h>
#include <sonark/load/initial_load.h>
#include <sonark/load/peaks.h>
#include <sonark/temp_paths.h>
#include <sys/time.h>
#include <tarnell/file_obj.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// The initial load of a ten-minute 44.1 kHz 16-bit stereo wave: the first load reads every
// byte and writes the peak file, the next ones take the peaks from it. A plain read of the
// same file is the yardstick. The file stays in the page cache, so the figures compare work,
// not the disk.

namespace {

constexpr long kSeconds = 600;
constexpr long kBytesPerSecond = 44100 * 4;
constexpr long kDataBytes = kSeconds * kBytesPerSecond;
constexpr long kMsPerPeak = 10;

struct BenchFile {
  std::filesystem::path dir;
  std::string sound;
  std::string peaks;

  BenchFile() {
    dir =
        std::filesystem::temp_directory_path() / ("initial_load_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    sound = (dir / "ten_minutes.wav").string();
    SetTempSndPath((dir / "cache").string().c_str());
    Write();
    char path[PATH_MAX];
    CPeaks::PeakFilePathFor(sound.c_str(), path, sizeof path, 0);
    peaks = path;
  }
  ~BenchFile() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  void Write() {
    std::ofstream out(sound, std::ios::binary | std::ios::trunc);
    auto le32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto le16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    le32(static_cast<uint32_t>(36 + kDataBytes));
    out.write("WAVEfmt ", 8);
    le32(16);
    le16(1);
    le16(2);
    le32(44100);
    le32(kBytesPerSecond);
    le16(4);
    le16(16);
    out.write("data", 4);
    le32(static_cast<uint32_t>(kDataBytes));
    // A sine whose loudness changes every second, so peaks vary.
    std::vector<int16_t> second(44100 * 2);
    for (long s = 0; s < kSeconds; ++s) {
      const double gain = 0.1 + 0.8 * static_cast<double>(s % 10) / 10.0;
      for (long i = 0; i < 44100; ++i) {
        const auto v = static_cast<int16_t>(32767 * gain * std::sin(i * 2 * M_PI * 440 / 44100));
        second[i * 2] = v;
        second[i * 2 + 1] = static_cast<int16_t>(-v);
      }
      out.write(reinterpret_cast<const char*>(second.data()),
                static_cast<std::streamsize>(second.size() * 2));
    }
    out.close();
    // Older than any peak file the benchmark writes.
    timeval past[2];
    gettimeofday(&past[0], nullptr);
    past[0].tv_sec -= 3600;
    past[1] = past[0];
    utimes(sound.c_str(), past);
  }
};

BenchFile& File() {
  static BenchFile file;
  return file;
}

int Load(const std::string& path) { return LoadOnce(path, 0, kMsPerPeak); }

void BM_PlainRead(benchmark::State& state) {
  BenchFile& bench = File();
  std::vector<char> buffer(kBytesPerSecond);
  for (auto _ : state) {
    std::FILE* f = std::fopen(bench.sound.c_str(), "rb");
    size_t total = 0;
    for (size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), f)) > 0;) total += got;
    std::fclose(f);
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(state.iterations() * kDataBytes);
}
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FirstLoadWithPeaks(benchmark::State& state) {
  BenchFile& bench = File();
  for (auto _ : state) {
    state.PauseTiming();
    std::remove(bench.peaks.c_str());
    state.ResumeTiming();
    if (Load(bench.sound) != 1) state.SkipWithError("load failed");
  }
  state.SetBytesProcessed(state.iterations() * kDataBytes);
}
BENCHMARK(BM_FirstLoadWithPeaks)->Unit(benchmark::kMillisecond)->UseRealTime();

// Plain read and first load one after the other in every iteration, so that both see the
// same machine (other work on it, the same warm page cache) and the ratio needs no second run.
// The time reported is the first load's; "ratio" is its total over the plain reads' total.
void BM_FirstLoadOverPlainRead(benchmark::State& state) {
  BenchFile& bench = File();
  std::vector<char> buffer(kBytesPerSecond);
  double readSeconds = 0;
  double loadSeconds = 0;
  using Clock = std::chrono::steady_clock;
  for (auto _ : state) {
    std::remove(bench.peaks.c_str());
    const auto t0 = Clock::now();
    std::FILE* f = std::fopen(bench.sound.c_str(), "rb");
    size_t total = 0;
    for (size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), f)) > 0;) total += got;
    std::fclose(f);
    benchmark::DoNotOptimize(total);
    const auto t1 = Clock::now();
    if (Load(bench.sound) != 1) state.SkipWithError("load failed");
    const auto t2 = Clock::now();
    readSeconds += std::chrono::duration<double>(t1 - t0).count();
    const double load = std::chrono::duration<double>(t2 - t1).count();
    loadSeconds += load;
    state.SetIterationTime(load);
  }
  state.counters["plain_read_ms"] =
      benchmark::Counter(readSeconds * 1000, benchmark::Counter::kAvgIterations);
  state.counters["ratio"] = readSeconds > 0 ? loadSeconds / readSeconds : 0;
}
BENCHMARK(BM_FirstLoadOverPlainRead)->Unit(benchmark::kMillisecond)->UseManualTime();

void BM_LoadFromPeakFile(benchmark::State& state) {
  BenchFile& bench = File();
  std::remove(bench.peaks.c_str());
  if (Load(bench.sound) != 1 || !std::filesystem::exists(bench.peaks)) {
    state.SkipWithError("no peak file");
    return;
  }
  for (auto _ : state) {
    if (Load(bench.sound) != 1) state.SkipWithError("load failed");
  }
}
BENCHMARK(BM_LoadFromPeakFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
