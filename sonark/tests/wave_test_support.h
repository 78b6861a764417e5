#pragma once

#include <platform/wave_format.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

// Builds wave files byte by byte, so tests control every chunk, its order and its padding.
namespace wave_test {

using Bytes = std::vector<unsigned char>;

inline void PutLe16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<unsigned char>(v));
  out.push_back(static_cast<unsigned char>(v >> 8));
}

inline void PutLe32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

struct Chunk {
  std::string id;
  Bytes body;
  // Follow an odd-sized body with a pad byte, as RIFF asks (the size leaves it out).
  bool pad = true;
  // The size written into the header; -1 for the body's size.
  int64_t declared = -1;
};

inline Bytes Chunks(const std::vector<Chunk>& chunks) {
  Bytes out;
  for (const Chunk& c : chunks) {
    out.insert(out.end(), c.id.begin(), c.id.end());
    PutLe32(out, c.declared >= 0 ? static_cast<uint32_t>(c.declared)
                                 : static_cast<uint32_t>(c.body.size()));
    out.insert(out.end(), c.body.begin(), c.body.end());
    if (c.pad && c.body.size() % 2 == 1) out.push_back(0);
  }
  return out;
}

// A RIFF form of `type` holding `chunks`; `declared` overrides the form size.
inline Bytes Riff(const std::string& type, const std::vector<Chunk>& chunks,
                  int64_t declared = -1) {
  Bytes body = Text(type);
  Bytes inner = Chunks(chunks);
  body.insert(body.end(), inner.begin(), inner.end());
  return Chunks({{"RIFF", body, false, declared}});
}

inline Bytes List(const std::string& type, const std::vector<Chunk>& items) {
  Bytes body = Text(type);
  Bytes inner = Chunks(items);
  body.insert(body.end(), inner.begin(), inner.end());
  return body;
}

inline Bytes Fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, int size = 16) {
  Bytes out;
  const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
  PutLe16(out, tag);
  PutLe16(out, channels);
  PutLe32(out, rate);
  PutLe32(out, align * rate);
  PutLe16(out, align);
  PutLe16(out, bits);
  out.resize(static_cast<size_t>(size), 0);
  return out;
}

// A PCM "fmt " chunk and a "data" chunk.
inline Bytes PcmWave(uint16_t channels, uint32_t rate, uint16_t bits, const Bytes& data) {
  return Riff("WAVE", {{"fmt ", Fmt(kWaveFormatPcm, channels, rate, bits)}, {"data", data}});
}

// `frames` frames of 16-bit samples whose value is the frame's index (both channels).
inline Bytes Staircase16(size_t frames, int channels) {
  Bytes out;
  for (size_t i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c) PutLe16(out, static_cast<uint16_t>(i));
  }
  return out;
}

inline bool WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// A 16-bit mono PCM wave file of `samples` at `rate`.
inline bool WriteMono16(const std::string& path, const std::vector<int16_t>& samples,
                        uint32_t rate) {
  Bytes data;
  for (int16_t v : samples) PutLe16(data, static_cast<uint16_t>(v));
  return WriteFile(path, PcmWave(1, rate, 16, data));
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Sets the file's modification time `secondsFromNow` from now.
inline bool SetModified(const std::string& path, long secondsFromNow) {
  timeval now{};
  gettimeofday(&now, nullptr);
  timeval times[2] = {now, now};
  times[0].tv_sec += secondsFromNow;
  times[1].tv_sec += secondsFromNow;
  return ::utimes(path.c_str(), times) == 0;
}

inline bool HaveTool(const std::string& name) {
  const std::string command = "command -v " + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

inline bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// What a command prints on its standard output.
inline std::string Output(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buf[256];
    while (fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
    pclose(pipe);
  }
  return out;
}

}  // namespace wave_test
