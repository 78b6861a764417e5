// Offline mixing speed: MixToDataSink of eight stereo 16-bit 44.1 kHz sounds, their data in
// memory objects, into a sink that discards the blocks. Reported as times real time.
//
// With TESSEL_MIX_FILES naming a folder of wave files (bench/mix_peers.sh writes eight), a
// second benchmark mixes those files into a wave file through the export protocol, the same
// work that the script times sox and ffmpeg on.

#include <benchmark/benchmark.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_wave_file.h>
#include <sonark/export/conversion_types.h>
#include <sonark/model/audio_atom.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>
#include <sonark/mixer/pcm_mixer.h>
#include <tarnell/file_obj.h>
#include <tarnell/mem_obj.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kSounds = 8;

tWAVEFORMATEX CdFormat() { return PcmFormat(44100, 2, 16); }

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

// Where the samples of a canonical wave file lie: the "data" chunk after walking the chunks.
bool FindData(const std::string& path, unsigned long* start, unsigned long* end) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  unsigned char header[12];
  bool found = std::fread(header, 1, 12, file) == 12 && std::memcmp(header, "RIFF", 4) == 0 &&
               std::memcmp(header + 8, "WAVE", 4) == 0;
  unsigned long at = 12;
  while (found) {
    unsigned char chunk[8];
    if (std::fread(chunk, 1, 8, file) != 8) {
      found = false;
      break;
    }
    const unsigned long size =
        chunk[4] | chunk[5] << 8 | chunk[6] << 16 | static_cast<unsigned long>(chunk[7]) << 24;
    at += 8;
    if (std::memcmp(chunk, "data", 4) == 0) {
      *start = at;
      *end = at + size;
      break;
    }
    at += size + (size & 1);
    if (std::fseek(file, static_cast<long>(at), SEEK_SET) != 0) found = false;
  }
  std::fclose(file);
  return found;
}

// The wave files of `folder`, each a sound at 0 streamed from its file.
CSoundGroup* NewSessionOfFiles(const std::string& folder, long* lengthMs) {
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("in", 0) == 0 && entry.path().extension() == ".wav") {
      paths.push_back(entry.path().string());
    }
  }
  std::sort(paths.begin(), paths.end());
  const tWAVEFORMATEX format = CdFormat();
  auto* group = new CSoundGroup();
  for (const std::string& path : paths) {
    unsigned long start = 0;
    unsigned long end = 0;
    if (!FindData(path, &start, &end)) continue;
    auto* file = new CFileObj();
    if (file->Open(path.c_str(), 0, 0)) {
      file->SetDataOffsets(start, end);
      auto* sound = new CPCMSound();
      sound->SetUpFromPCM(file, &format, 2000);
      CAudioAtom* atom = sound;
      atom->Add(group, 0);
      DeleteAtom(&atom);
    }
    CRefObj* held = file;
    DeleteRefObject(&held);
  }
  *lengthMs = group->Length(0);
  return group;
}

TDataWriteCode WriteBlock(void* data, long* length, void* context) {
  auto* converter = static_cast<CConv2FileObj*>(context);
  long written = 0;
  return converter->WriteStreamData(data, *length, &written) == *length ? dwcNextBlock : dwcStop;
}

void BM_MixFilesToWaveFile(benchmark::State& state, const std::string& folder) {
  long lengthMs = 0;
  CSoundGroup* group = NewSessionOfFiles(folder, &lengthMs);
  CPCMMixer mixer(nullptr);
  tWAVEFORMATEX format = CdFormat();
  const std::string out = folder + "/ours.wav";
  for (auto _ : state) {
    CConv2FileObj* converter = NewCConv2FileObj(fctWave, 0);
    CConv2FileFormat target;
    if (converter == nullptr || !converter->Create(out.c_str(), &target, &format) ||
        !mixer.MixToDataSink(group, &WriteBlock, converter, &format, lengthMs,
                             converter->GetDesiredBufferSize())) {
      state.SkipWithError("export failed");
    }
    if (converter != nullptr) {
      converter->EndWriteStream();
      converter->Close();
      CRefObj* held = converter;
      DeleteRefObject(&held);
    }
  }
  state.counters["x_realtime"] = benchmark::Counter(
      static_cast<double>(lengthMs) / 1000.0 * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
  CAudioAtom* held = group;
  DeleteAtom(&held);
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* folder = std::getenv("TESSEL_MIX_FILES")) {
    benchmark::RegisterBenchmark("BM_MixFilesToWaveFile", BM_MixFilesToWaveFile,
                                 std::string(folder))
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(3);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
