#include <benchmark/benchmark.h>
#include <platform/wave_format.h>
#include <tarnell/file_obj.h>
#include <tarnell/mem_obj.h>
#include <tarnell/riff.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using tarnell::FourCC;

constexpr long kPiece = 64 * 1024;

void Release(CRefObj* obj) { DeleteRefObject(&obj); }

std::string TempPath(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string(name) + "_" + std::to_string(getpid()) + ".wav"))
      .string();
}

// A wave file written the way the exporter does: format chunk, then the samples through a
// stream in 64 KiB pieces.
void WriteWave(CRefObj* obj, long totalBytes, std::vector<char>& piece) {
  CRIFF riff;
  riff.Create(obj, FourCC("WAVE"));
  tWAVEFORMATEX format{kWaveFormatPcm, 2, 44100, 176400, 4, 16, 0};
  riff.WriteSubChunk(FourCC("fmt "), &format, sizeof format);
  riff.StartWriteStream(FourCC("data"));
  for (long done = 0; done < totalBytes; done += kPiece) {
    riff.WriteStreamData(piece.data(), kPiece);
  }
  riff.EndWriteStream();
}

void BM_WaveStreamToMemory(benchmark::State& state) {
  const long total = state.range(0) << 20;
  std::vector<char> piece(kPiece, 'x');
  for (auto _ : state) {
    CMemObj* mem = new CMemObj;
    mem->Create();
    WriteWave(mem, total, piece);
    benchmark::DoNotOptimize(mem->Size());
    Release(mem);
  }
  state.SetBytesProcessed(state.iterations() * total);
}
BENCHMARK(BM_WaveStreamToMemory)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_WaveStreamToFile(benchmark::State& state) {
  const long total = state.range(0) << 20;
  std::vector<char> piece(kPiece, 'x');
  const std::string path = TempPath("riff_bench");
  for (auto _ : state) {
    CFileObj* file = new CFileObj;
    file->Create(path.c_str());
    WriteWave(file, total, piece);
    Release(file);
  }
  std::filesystem::remove(path);
  state.SetBytesProcessed(state.iterations() * total);
}
BENCHMARK(BM_WaveStreamToFile)->Arg(16)->Unit(benchmark::kMillisecond);

// Every small chunk patches the sizes of the three enclosing lists and the form.
void BM_SmallChunksInNestedList(benchmark::State& state) {
  const long chunks = state.range(0);
  char record[32] = {};
  for (auto _ : state) {
    CMemObj* mem = new CMemObj;
    mem->Create();
    CRIFF riff;
    riff.Create(mem, FourCC("sess"));
    for (int depth = 0; depth < 3; ++depth) {
      riff.WriteListChunkHeader(FourCC("sgrp"));
      riff.Descend();
    }
    for (long i = 0; i < chunks; ++i) riff.WriteSubChunk(FourCC("atom"), record, sizeof record);
    riff.Close();
    Release(mem);
  }
  state.SetItemsProcessed(state.iterations() * chunks);
}
BENCHMARK(BM_SmallChunksInNestedList)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_SmallChunksInNestedListToFile(benchmark::State& state) {
  const long chunks = state.range(0);
  char record[32] = {};
  const std::string path = TempPath("riff_bench_small");
  for (auto _ : state) {
    CFileObj* file = new CFileObj;
    file->Create(path.c_str());
    CRIFF riff;
    riff.Create(file, FourCC("sess"));
    for (int depth = 0; depth < 3; ++depth) {
      riff.WriteListChunkHeader(FourCC("sgrp"));
      riff.Descend();
    }
    for (long i = 0; i < chunks; ++i) riff.WriteSubChunk(FourCC("atom"), record, sizeof record);
    riff.Close();
    Release(file);
  }
  std::filesystem::remove(path);
  state.SetItemsProcessed(state.iterations() * chunks);
}
BENCHMARK(BM_SmallChunksInNestedListToFile)->Arg(1000)->Unit(benchmark::kMicrosecond);

std::string ManyChunks(long count) {
  std::string body = "WAVE";
  const std::string data(16, 'd');
  for (long i = 0; i < count; ++i) {
    body += "junk";
    const uint32_t size = static_cast<uint32_t>(data.size());
    body.append(reinterpret_cast<const char*>(&size), 4);
    body += data;
  }
  const uint32_t formSize = static_cast<uint32_t>(body.size());
  return "RIFF" + std::string(reinterpret_cast<const char*>(&formSize), 4) + body;
}

long WalkAll(CRefObj* obj) {
  obj->Seek(0, 0);
  CRIFF riff;
  long visited = 0;
  if (riff.Open(obj, nullptr)) {
    do {
      ++visited;
    } while (riff.SeekToNextChunk());
  }
  return visited;
}

void BM_WalkChunksInMemory(benchmark::State& state) {
  std::string image = ManyChunks(state.range(0));
  CMemObj* mem = new CMemObj;
  mem->Open(reinterpret_cast<unsigned char*>(image.data()), image.size());
  for (auto _ : state) {
    if (WalkAll(mem) != state.range(0)) state.SkipWithError("walk stopped early");
  }
  Release(mem);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WalkChunksInMemory)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_WalkChunksInFile(benchmark::State& state) {
  const std::string image = ManyChunks(state.range(0));
  const std::string path = TempPath("riff_bench_walk");
  {
    CFileObj* file = new CFileObj;
    file->Create(path.c_str());
    file->Write(image.data(), static_cast<long>(image.size()));
    Release(file);
  }
  CFileObj* file = new CFileObj;
  file->Open(path.c_str(), 0, 0);
  for (auto _ : state) {
    if (WalkAll(file) != state.range(0)) state.SkipWithError("walk stopped early");
  }
  Release(file);
  std::filesystem::remove(path);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WalkChunksInFile)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
