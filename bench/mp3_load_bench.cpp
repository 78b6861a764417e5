#include <bench/initial_load_once.h>
#include <benchmark/benchmark.h>
#include <mpg123.h>
#include <sonark/load/initial_load.h>
#include <sonark/load/peaks.h>
#include <sonark/load/seek_map.h>
#include <sonark/temp_paths.h>
#include <sys/time.h>
#include <tarnell/file_obj.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// The first load of a ten-minute MP3 (decoding every frame for the exact length, the peaks and
// the seek map, and writing the two side files) against a plain in-process libmpg123 decode of
// the same file, which is the least any exact scan must do; then the load from the side files.
// The MP3 comes from $TESSEL_MP3, or is made once with sox and lame (128 kbit/s, 44.1 kHz).

namespace {

constexpr long kMsPerPeak = 10;

struct BenchFile {
  std::filesystem::path dir;
  std::string sound;
  std::string peaks;
  std::string seekMap;
  bool ok = false;

  BenchFile() {
    dir = std::filesystem::temp_directory_path() / ("mp3_load_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    SetTempSndPath((dir / "cache").string().c_str());
    if (const char* given = std::getenv("TESSEL_MP3")) {
      sound = given;
    } else {
      sound = (dir / "ten_minutes.mp3").string();
      const std::string make =
          "sox -n -r 44100 -c 2 -b 16 -t wav - synth 600 sine 220-880 "
          "sine 330 remix 1,2 1,2 vol 0.3 2>/dev/null | lame --quiet -b 128 - '" +
          sound + "'";
      if (std::system(make.c_str()) != 0) return;
      // Older than any side file the benchmark writes.
      timeval past[2];
      gettimeofday(&past[0], nullptr);
      past[0].tv_sec -= 3600;
      past[1] = past[0];
      utimes(sound.c_str(), past);
    }
    char path[PATH_MAX];
    CPeaks::PeakFilePathFor(sound.c_str(), path, sizeof path, 0);
    peaks = path;
    if (MakeTempPath1(sound.c_str(), ".isk", path, sizeof path, 0)) seekMap = path;
    ok = std::filesystem::exists(sound);
  }
  ~BenchFile() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  void DropSideFiles() const {
    std::remove(peaks.c_str());
    std::remove(seekMap.c_str());
  }
};

BenchFile& File() {
  static BenchFile file;
  return file;
}

int Load(const std::string& path) { return LoadOnce(path, 1, kMsPerPeak); }

// Every sample of the file through libmpg123 with its defaults; returns the bytes decoded.
size_t PlainDecode(const std::string& path) {
  mpg123_handle* handle = mpg123_new(nullptr, nullptr);
  size_t total = 0;
  if (handle != nullptr && mpg123_open(handle, path.c_str()) == MPG123_OK) {
    std::vector<unsigned char> buffer(1 << 16);
    size_t done = 0;
    int status;
    while ((status = mpg123_read(handle, buffer.data(), buffer.size(), &done)) == MPG123_OK ||
           status == MPG123_NEW_FORMAT) {
      total += done;
    }
    total += done;
    mpg123_close(handle);
  }
  mpg123_delete(handle);
  return total;
}

// Plain decode and first load one after the other in every iteration, so both see the same
// machine; the time reported is the load's, "ratio" its total over the decodes' total.
void BM_FirstLoadOverPlainDecode(benchmark::State& state) {
  BenchFile& bench = File();
  if (!bench.ok) {
    state.SkipWithError("no MP3 (sox and lame make one)");
    return;
  }
  double decodeSeconds = 0;
  double loadSeconds = 0;
  using Clock = std::chrono::steady_clock;
  for (auto _ : state) {
    bench.DropSideFiles();
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(PlainDecode(bench.sound));
    const auto t1 = Clock::now();
    if (Load(bench.sound) != 1) state.SkipWithError("load failed");
    const auto t2 = Clock::now();
    decodeSeconds += std::chrono::duration<double>(t1 - t0).count();
    const double load = std::chrono::duration<double>(t2 - t1).count();
    loadSeconds += load;
    state.SetIterationTime(load);
  }
  state.counters["plain_decode_ms"] =
      benchmark::Counter(decodeSeconds * 1000, benchmark::Counter::kAvgIterations);
  state.counters["ratio"] = decodeSeconds > 0 ? loadSeconds / decodeSeconds : 0;
}
BENCHMARK(BM_FirstLoadOverPlainDecode)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);

void BM_LoadFromSideFiles(benchmark::State& state) {
  BenchFile& bench = File();
  bench.DropSideFiles();
  if (!bench.ok || Load(bench.sound) != 1 || !std::filesystem::exists(bench.peaks) ||
      !std::filesystem::exists(bench.seekMap)) {
    state.SkipWithError("no side files");
    return;
  }
  for (auto _ : state) {
    if (Load(bench.sound) != 1) state.SkipWithError("load failed");
  }
}
BENCHMARK(BM_LoadFromSideFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  mpg123_init();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
