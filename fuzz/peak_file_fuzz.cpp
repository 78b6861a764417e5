// Feeds random bytes to the peak-file reader, as a ".ipk" cache and as a ".grd" rate display.
// A file that loads must stream, mix and display without harm, and save back to the very
// bytes it was read from.

#include <sonark/load/peaks.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Emptied by every run, removed at exit.
struct WorkDirectory {
  WorkDirectory() {
    char pattern[] = "/tmp/peak-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    path = pattern;
  }
  ~WorkDirectory() { rmdir(path.c_str()); }
  std::string path;
};

const std::string& WorkDir() {
  static const WorkDirectory dir;
  return dir.path;
}

void Write(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::vector<uint8_t> Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void Exercise(CPeaks& peaks) {
  const unsigned long count = peaks.GetNumPeaks();
  if (peaks.IsStreaming() == 1 && peaks.OpenPeaksFile(nullptr, 0)) {
    peaks.SeekToPeakIndex(count / 2);
    unsigned long got = 0;
    int atEnd = 0;
    for (int i = 0; i < 1000 && !atEnd; ++i) {
      if (!peaks.StreamPeaksFromFile(4096, &got, &atEnd)) std::abort();
    }
    peaks.ClosePeaksFile();
  }
  CPeaks mix;
  if (mix.InitPeaksForMix(peaks.NumMilsPerPeak(), 300, 3000)) {
    CPeaks* shifted = peaks.Copy(static_cast<long>(count * 3 / 4), 0);
    if (shifted == nullptr || !mix.Mix(shifted, 10, 280)) std::abort();
    delete shifted;
  }
  const long length = static_cast<long>(peaks.NumMilsPerPeak() % 1000) * 200;
  CPeaks* display = peaks.GenerateRateDisplay(nullptr, length, 7);
  delete display;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string ipk = WorkDir() + "/input.ipk";
  Write(ipk, data, size);
  for (int loadAll : {0, 1}) {
    CPeaks peaks;
    if (!peaks.LoadPeaksFromFile(ipk.c_str(), loadAll)) continue;
    const unsigned long count = peaks.GetNumPeaks();
    if (count == 0 || size < 32 + count) std::abort();
    Exercise(peaks);
    // Written back, a file we accepted is the same file.
    const std::string saved = WorkDir() + "/saved";
    if (!peaks.SaveAs(saved.c_str())) std::abort();
    const std::vector<uint8_t> back = Read(saved + ".ipk");
    if (back != std::vector<uint8_t>(data, data + 32 + count)) std::abort();
    std::remove((saved + ".ipk").c_str());
  }
  // A rate display's file goes with its last reader.
  const std::string grd = WorkDir() + "/input1.grd";
  Write(grd, data, size);
  {
    CPeaks display;
    if (display.LoadPeaksFromFile(grd.c_str(), 1)) Exercise(display);
  }
  std::remove(grd.c_str());
  std::remove(ipk.c_str());
  return 0;
}
