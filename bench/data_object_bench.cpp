#include <benchmark/benchmark.h>
#include <tarnell/file_obj.h>
#include <tarnell/mem_obj.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr long kChunk = 64 * 1024;
constexpr long kTotal = 16L * 1024 * 1024;
// Not a multiple of the chunk, so loop reads wrap in the middle of a chunk.
constexpr long kWindowStart = 4096;
constexpr long kWindowEnd = kWindowStart + 1024 * 1024 + 12345;

// One scratch file for the whole run, in a directory of its own.
class Scratch {
 public:
  Scratch() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tarnell-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
    file_ = (dir_ / "data.bin").string();
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  const char* file() const { return file_.c_str(); }

 private:
  std::filesystem::path dir_;
  std::string file_;
};

Scratch& scratch() {
  static Scratch instance;
  return instance;
}

std::vector<char> Chunk() {
  std::vector<char> bytes(kChunk);
  for (long i = 0; i < kChunk; ++i) bytes[i] = static_cast<char>(i * 7);
  return bytes;
}

void WriteAll(CRefObj& object, const std::vector<char>& chunk) {
  for (long done = 0; done < kTotal; done += kChunk) object.Write(chunk.data(), kChunk);
}

void BM_FileWrite(benchmark::State& state) {
  const auto chunk = Chunk();
  CFileObj file;
  for (auto _ : state) {
    if (!file.Create(scratch().file())) {
      state.SkipWithError("cannot create the scratch file");
      break;
    }
    WriteAll(file, chunk);
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_FileWrite)->Unit(benchmark::kMillisecond);

void BM_FileRead(benchmark::State& state) {
  CFileObj file;
  if (!file.Create(scratch().file())) return state.SkipWithError("cannot create the scratch file");
  WriteAll(file, Chunk());
  std::vector<char> buf(kChunk);
  for (auto _ : state) {
    file.Seek(0, 0);
    while (file.Read(buf.data(), kChunk) > 0) benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_FileRead)->Unit(benchmark::kMillisecond);

void BM_FileReadDataLoop(benchmark::State& state) {
  CFileObj file;
  if (!file.Create(scratch().file())) return state.SkipWithError("cannot create the scratch file");
  WriteAll(file, Chunk());
  file.SetDataOffsets(kWindowStart, kWindowEnd);
  file.SetDataMode(1);
  file.SeekToData(0);
  std::vector<char> buf(kChunk);
  for (auto _ : state) {
    for (long done = 0; done < kTotal; done += kChunk) {
      benchmark::DoNotOptimize(file.ReadData(buf.data(), kChunk));
    }
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_FileReadDataLoop)->Unit(benchmark::kMillisecond);

void BM_MemWrite(benchmark::State& state) {
  const auto chunk = Chunk();
  for (auto _ : state) {
    CMemObj mem;
    mem.Create();
    WriteAll(mem, chunk);
    benchmark::DoNotOptimize(mem.Size());
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_MemWrite)->Unit(benchmark::kMillisecond);

void BM_MemRead(benchmark::State& state) {
  CMemObj mem;
  mem.Create();
  WriteAll(mem, Chunk());  // one block per chunk
  std::vector<char> buf(kChunk);
  for (auto _ : state) {
    mem.Seek(0, 0);
    while (mem.Read(buf.data(), kChunk) > 0) benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_MemRead)->Unit(benchmark::kMillisecond);

void BM_MemReadDataLoop(benchmark::State& state) {
  CMemObj mem;
  mem.Create();
  WriteAll(mem, Chunk());
  mem.SetDataOffsets(kWindowStart, kWindowEnd);
  mem.SetDataMode(1);
  mem.SeekToData(0);
  std::vector<char> buf(kChunk);
  for (auto _ : state) {
    for (long done = 0; done < kTotal; done += kChunk) {
      benchmark::DoNotOptimize(mem.ReadData(buf.data(), kChunk));
    }
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_MemReadDataLoop)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
