#pragma once

// Helpers the wave output and input tests share.

#include <platform/byte_order.h>
#include <platform/clock.h>
#include <platform/wave_format.h>
#include <platform/wave_out.h>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace wave_test {

inline constexpr tWAVEFORMATEX kCd = PcmFormat(44100, 2, 16);

// QUARL_AUDIO set for as long as the scope lasts.
struct ScopedAudio {
  explicit ScopedAudio(const std::string& value) { setenv("QUARL_AUDIO", value.c_str(), 1); }
  ~ScopedAudio() { unsetenv("QUARL_AUDIO"); }
};

// A fresh folder, removed with everything in it at the end of the scope.
struct TempDir {
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "wave_test_XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string operator/(const char* name) const {
    return (std::filesystem::path(path) / name).string();
  }
  std::string path;
};

// A header over its own bytes, `size` of them, each `fill`.
struct HeaderBuffer {
  explicit HeaderBuffer(size_t size, unsigned char fill = 0) : bytes(size, fill) {
    header.data = bytes.data();
    header.length = static_cast<uint32_t>(size);
  }
  uint32_t flags() const { return header.flags.load(std::memory_order_acquire); }
  bool done() const { return flags() & platform::kWaveHeaderDone; }
  std::vector<unsigned char> bytes;
  platform::WaveHeader header;
};

// Opens the default device of `Device` (WaveOut or WaveIn), expecting success.
template <class Device>
std::unique_ptr<Device> OpenOk(const tWAVEFORMATEX& format) {
  int result = -1;
  std::string why;
  auto device = Device::Open(platform::kWaveDefaultDevice, format, &result, &why);
  EXPECT_EQ(result, platform::kWaveOk) << why;
  return device;
}

template <class Device>
uint64_t Position(Device& device) {
  uint64_t bytes = ~0ull;
  EXPECT_EQ(device.PositionBytes(&bytes), platform::kWaveOk);
  return bytes;
}

// Whether `done()` came true within `timeoutMs`.
template <typename Done>
bool WaitFor(Done done, uint64_t timeoutMs = 3000) {
  const uint64_t end = platform::monotonic_ms() + timeoutMs;
  while (!done() && platform::monotonic_ms() < end) platform::sleep_ms(1);
  return done();
}

inline std::vector<unsigned char> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Appends a RIFF chunk of `body` that claims `size` bytes, padded to an even length.
inline void Chunk(std::string* file, const char* id, const std::string& body, uint32_t size) {
  unsigned char head[8];
  memcpy(head, id, 4);
  platform::PutLe32(head + 4, size);
  file->append(reinterpret_cast<const char*>(head), 8);
  file->append(body);
  if (body.size() % 2) file->push_back('\0');
}

// A 16-bit stereo wave file of `samples`; `streamed` puts "fmt " first and gives "data" the
// unknown size, else "data" comes first, behind an odd-sized chunk, with its true size.
inline void WriteWave(const std::string& path, const std::vector<int16_t>& samples,
                      uint32_t rate, bool streamed) {
  const tWAVEFORMATEX f = PcmFormat(rate, 2, 16);
  std::string fmt(reinterpret_cast<const char*>(&f), 16);
  std::string data(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
  std::string body = "WAVE";
  if (streamed) {
    Chunk(&body, "fmt ", fmt, 16);
    Chunk(&body, "data", data, 0xFFFFFFFF);
  } else {
    Chunk(&body, "junk", "odd", 3);
    Chunk(&body, "data", data, static_cast<uint32_t>(data.size()));
    Chunk(&body, "fmt ", fmt, 16);
  }
  std::string file;
  Chunk(&file, "RIFF", body, static_cast<uint32_t>(body.size()));
  std::ofstream(path, std::ios::binary) << file;
}

// PortAudio reads the ALSA configuration once per process, so a test of a real device runs its
// body in a fresh copy of this program (only the tests `filter` selects) with ALSA_CONFIG_PATH
// at `conf`, no QUARL_AUDIO, and `marker` set to `value` so that the copy knows it is the one
// to run the body. Expects the copy to pass.
inline void RunInAlsaChild(const std::string& conf, const char* marker, const std::string& value,
                           const char* filter) {
  const std::string filterFlag = std::string("--gtest_filter=").append(filter);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
    setenv(marker, value.c_str(), 1);
    unsetenv("QUARL_AUDIO");
    execl("/proc/self/exe", "wave_test_child", filterFlag.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace wave_test
