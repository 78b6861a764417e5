// The file a `wav` input device records from. Every size in it is checked against the file's
// own size before it is used, in 64-bit arithmetic, so that no chunk header can send a read
// outside the file or make an offset wrap.

#include <platform/byte_order.h>
#include <platform/wave_in_file.h>
#include <platform/wave_out.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace platform::wave_in_detail {

namespace {

constexpr uint32_t kUnknownSize = 0xFFFFFFFF;

bool IsId(const unsigned char* p, const char* id) { return memcmp(p, id, 4) == 0; }

uint16_t GetLe16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Why a "fmt " chunk is not one we can record from; empty when it is.
std::string FormatChunkProblem(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t block,
                               uint16_t bits) {
  if (tag != kWaveFormatPcm) {
    return "its samples are not linear PCM (format tag " + std::to_string(tag) + ")";
  }
  if (bits != 8 && bits != 16) {
    return "its samples have " + std::to_string(bits) + " bits (8 or 16 can be recorded from)";
  }
  if (channels != 1 && channels != 2) {
    return "it has " + std::to_string(channels) + " channels (1 or 2 can be recorded from)";
  }
  if (rate == 0) return "its sample rate is 0";
  if (block != channels * bits / 8) return "its block size does not match its samples";
  return {};
}

int16_t Sample16(const unsigned char* p) { return static_cast<int16_t>(GetLe16(p)); }

void Put16(unsigned char* p, int value) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
}

class Silence final : public RecordSource {
 public:
  explicit Silence(const tWAVEFORMATEX& format)
      : block_(format.nBlockAlign), value_(format.wBitsPerSample == 8 ? 0x80 : 0) {}
  bool Fill(unsigned char* out, size_t frames, std::string*) override {
    memset(out, value_, frames * block_);
    return true;
  }
  void Skip(uint64_t) override {}
  uint64_t FramesLeft() const override { return 0; }

 private:
  const size_t block_;
  const unsigned char value_;
};

class WaveFileSource final : public RecordSource {
 public:
  WaveFileSource(std::string path, int fd, const WaveFileLayout& layout, const tWAVEFORMATEX& to)
      : path_(std::move(path)),
        fd_(fd),
        from_(layout.format),
        to_(to),
        next_(layout.dataOffset),
        left_(layout.dataBytes / layout.format.nBlockAlign),
        silence_(to) {
    scratch_.resize(kScratchFrames * from_.nBlockAlign);
  }
  ~WaveFileSource() override { ::close(fd_); }

  bool Fill(unsigned char* out, size_t frames, std::string* why) override {
    while (frames && left_) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>({frames, left_, kScratchFrames}));
      const size_t bytes = n * from_.nBlockAlign;
      size_t got = 0;
      while (got < bytes) {
        const ssize_t r = ::pread(fd_, scratch_.data() + got, bytes - got,
                                  static_cast<off_t>(next_ + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
          *why = "cannot read " + path_ + ": " +
                 (r < 0 ? std::string(strerror(errno)) : std::string("the file became shorter"));
          return false;
        }
        got += static_cast<size_t>(r);
      }
      ConvertFrames(from_, scratch_.data(), n, to_, out);
      out += n * to_.nBlockAlign;
      frames -= n;
      left_ -= n;
      next_ += bytes;
    }
    return silence_.Fill(out, frames, why);
  }

  void Skip(uint64_t frames) override {
    const uint64_t n = std::min(frames, left_);
    left_ -= n;
    next_ += n * from_.nBlockAlign;
  }

  uint64_t FramesLeft() const override { return left_; }

 private:
  static constexpr size_t kScratchFrames = 4096;

  const std::string path_;
  const int fd_;
  const tWAVEFORMATEX from_;
  const tWAVEFORMATEX to_;
  uint64_t next_;  // file offset of the next frame
  uint64_t left_;  // frames before the end of the data
  Silence silence_;
  std::vector<unsigned char> scratch_;
};

}  // namespace

bool ParseWaveFile(const ReadAt& read, uint64_t fileSize, WaveFileLayout* layout,
                   std::string* problem) {
  unsigned char head[16];
  auto readFully = [&](uint64_t at, size_t size) {
    const long got = read(at, head, size);
    if (got < 0) *problem = "read error";
    return got == static_cast<long>(size);
  };
  if (fileSize < 12 || !readFully(0, 12)) {
    if (problem->empty()) *problem = "it is too short to be a wave file";
    return false;
  }
  if (!IsId(head, "RIFF") || !IsId(head + 8, "WAVE")) {
    *problem = "it is not a RIFF WAVE file";
    return false;
  }
  bool haveFormat = false;
  bool haveData = false;
  uint64_t dataOffset = 0;
  uint64_t dataBytes = 0;
  // Each step passes at least one 8-byte chunk header, so the walk ends within the file.
  for (uint64_t at = 12; at + 8 <= fileSize && !(haveFormat && haveData);) {
    if (!readFully(at, 8)) {
      if (problem->empty()) *problem = "it is cut short inside a chunk header";
      return false;
    }
    const uint32_t size = GetLe32(head + 4);
    const uint64_t body = at + 8;
    if (IsId(head, "fmt ") && !haveFormat) {
      if (size < 16) {
        *problem = "its format chunk is too short";
        return false;
      }
      if (body + 16 > fileSize || !readFully(body, 16)) {
        if (problem->empty()) *problem = "its format chunk is cut short";
        return false;
      }
      const uint16_t tag = GetLe16(head);
      const uint16_t channels = GetLe16(head + 2);
      const uint32_t rate = GetLe32(head + 4);
      const uint16_t block = GetLe16(head + 12);
      const uint16_t bits = GetLe16(head + 14);
      if (std::string why = FormatChunkProblem(tag, channels, rate, block, bits); !why.empty()) {
        *problem = std::move(why);
        return false;
      }
      layout->format = PcmFormat(rate, channels, bits);
      haveFormat = true;
    } else if (IsId(head, "data") && !haveData) {
      dataOffset = body;
      dataBytes = size == kUnknownSize || body + size > fileSize ? fileSize - body : size;
      haveData = true;
    }
    at = body + size + (size & 1);
  }
  if (!haveFormat) {
    *problem = "it has no format chunk";
    return false;
  }
  if (!haveData) {
    *problem = "it has no data chunk";
    return false;
  }
  layout->dataOffset = dataOffset;
  layout->dataBytes = dataBytes - dataBytes % layout->format.nBlockAlign;
  return true;
}

void ConvertFrames(const tWAVEFORMATEX& from, const unsigned char* in, size_t frames,
                   const tWAVEFORMATEX& to, unsigned char* out) {
  if (from.nChannels == to.nChannels && from.wBitsPerSample == to.wBitsPerSample) {
    memcpy(out, in, frames * from.nBlockAlign);
    return;
  }
  const bool in16 = from.wBitsPerSample == 16;
  const bool out16 = to.wBitsPerSample == 16;
  const size_t outSample = out16 ? 2 : 1;
  for (size_t i = 0; i < frames; ++i) {
    int left = in16 ? Sample16(in) : in[0];
    int right = from.nChannels == 2 ? (in16 ? Sample16(in + 2) : in[1]) : left;
    in += from.nBlockAlign;
    if (to.nChannels == 1) left = right = (left + right) >> 1;
    for (int channel = 0; channel < to.nChannels; ++channel) {
      int value = channel == 0 ? left : right;
      if (in16 && !out16) value = (value >> 8) + 128;
      if (!in16 && out16) value = (value - 128) * 256;
      if (out16) {
        Put16(out, value);
      } else {
        out[0] = static_cast<unsigned char>(value);
      }
      out += outSample;
    }
  }
}

std::unique_ptr<RecordSource> SilenceSource(const tWAVEFORMATEX& format) {
  return std::make_unique<Silence>(format);
}

std::unique_ptr<RecordSource> OpenWaveFileSource(const std::string& path,
                                                 const tWAVEFORMATEX& format, int* result,
                                                 std::string* why) {
  *result = kWaveError;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    *why = "cannot open " + path + ": " + strerror(errno);
    if (fd >= 0) ::close(fd);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    *why = "cannot record from " + path + ": it is not a regular file";
    return nullptr;
  }
  int readErrno = 0;
  const ReadAt read = [&](uint64_t offset, unsigned char* buffer, size_t size) -> long {
    size_t got = 0;
    while (got < size) {
      const ssize_t r = ::pread(fd, buffer + got, size - got, static_cast<off_t>(offset + got));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        readErrno = errno;
        return -1;
      }
      if (r == 0) break;
      got += static_cast<size_t>(r);
    }
    return static_cast<long>(got);
  };
  WaveFileLayout layout;
  std::string problem;
  if (!ParseWaveFile(read, static_cast<uint64_t>(st.st_size), &layout, &problem)) {
    ::close(fd);
    *why = readErrno ? "cannot read " + path + ": " + strerror(readErrno)
                     : "cannot record from " + path + ": " + problem;
    return nullptr;
  }
  if (layout.format.nSamplesPerSec != format.nSamplesPerSec) {
    ::close(fd);
    *result = kWaveBadFormat;
    *why = "cannot record from " + path + ": it is sampled at " +
           std::to_string(layout.format.nSamplesPerSec) + " Hz, the recording at " +
           std::to_string(format.nSamplesPerSec) + " Hz";
    return nullptr;
  }
  *result = kWaveOk;
  return std::make_unique<WaveFileSource>(path, fd, layout, format);
}

}  // namespace platform::wave_in_detail
