// The file behind a `wav` device: a plain RIFF WAVE file (a 16-byte PCM "fmt " and "data").

#include <platform/byte_order.h>
#include <platform/fd_io.h>
#include <platform/wave_out_backend.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

namespace platform::wave_out_detail {

namespace {

constexpr uint64_t kHeaderBytes = 44;
constexpr uint32_t kUnknownSize = 0xFFFFFFFF;

// The files this process has written: the program closes and reopens its device around every
// stop, and a capture of a whole session should be one file, so a reopen with the same format
// goes on where the last one ended.
struct WrittenFile {
  tWAVEFORMATEX format;
  uint64_t dataBytes;
};
std::mutex gWrittenMutex;
std::map<std::string, WrittenFile> gWritten;

bool SameFormat(const tWAVEFORMATEX& a, const tWAVEFORMATEX& b) { return memcmp(&a, &b, sizeof a) == 0; }

uint32_t ClampSize(uint64_t size) { return size >= kUnknownSize ? kUnknownSize - 1 : static_cast<uint32_t>(size); }

class WavFile final : public PlayedBytesSink {
 public:
  WavFile(std::string path, int fd, bool stream, uint64_t dataBytes)
      : path_(std::move(path)), fd_(fd), stream_(stream), dataBytes_(dataBytes) {}

  ~WavFile() override {
    if (!stream_ && !broken_) {
      // RIFF chunks are padded to an even size; the pad is not part of the data.
      if (dataBytes_ % 2) {
        const unsigned char zero = 0;
        write_all(fd_, &zero, 1, static_cast<off_t>(kHeaderBytes + dataBytes_));
      }
      std::string ignored;
      UpdateSizes(&ignored);
    }
    ::close(fd_);
    std::lock_guard lock(gWrittenMutex);
    auto it = gWritten.find(path_);
    if (it != gWritten.end()) it->second.dataBytes = dataBytes_;
  }

  bool Append(const unsigned char* data, size_t size, std::string* why) override {
    if (!write_all(fd_, data, size)) return Broken(why);
    dataBytes_ += size;
    return true;
  }

  bool UpdateSizes(std::string* why) override {
    if (stream_) return true;
    const uint64_t padded = dataBytes_ + dataBytes_ % 2;
    unsigned char riff[4], data[4];
    PutLe32(riff, ClampSize(padded + kHeaderBytes - 8));
    PutLe32(data, ClampSize(dataBytes_));
    if (!write_all(fd_, riff, 4, 4) || !write_all(fd_, data, 4, 40)) return Broken(why);
    return true;
  }

 private:
  bool Broken(std::string* why) {
    *why = "cannot write " + path_ + ": " + strerror(errno);
    broken_ = true;
    return false;
  }

  const std::string path_;
  const int fd_;
  const bool stream_;  // a pipe or a character device: written through, never patched
  uint64_t dataBytes_;
  bool broken_ = false;
};

void FillHeader(unsigned char* h, const tWAVEFORMATEX& f, uint32_t riffSize, uint32_t dataSize) {
  memcpy(h, "RIFF", 4);
  PutLe32(h + 4, riffSize);
  memcpy(h + 8, "WAVEfmt ", 8);
  PutLe32(h + 16, 16);
  h[20] = static_cast<unsigned char>(f.wFormatTag);
  h[21] = static_cast<unsigned char>(f.wFormatTag >> 8);
  h[22] = static_cast<unsigned char>(f.nChannels);
  h[23] = static_cast<unsigned char>(f.nChannels >> 8);
  PutLe32(h + 24, f.nSamplesPerSec);
  PutLe32(h + 28, f.nAvgBytesPerSec);
  h[32] = static_cast<unsigned char>(f.nBlockAlign);
  h[33] = static_cast<unsigned char>(f.nBlockAlign >> 8);
  h[34] = static_cast<unsigned char>(f.wBitsPerSample);
  h[35] = static_cast<unsigned char>(f.wBitsPerSample >> 8);
  memcpy(h + 36, "data", 4);
  PutLe32(h + 40, dataSize);
}

}  // namespace

std::unique_ptr<PlayedBytesSink> OpenWavFile(const std::string& path, const tWAVEFORMATEX& format,
                                             std::string* why) {
  std::lock_guard lock(gWrittenMutex);
  struct stat st {};
  const bool stream = ::stat(path.c_str(), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode));
  auto earlier = gWritten.find(path);
  const bool goOn = earlier != gWritten.end() && SameFormat(earlier->second.format, format);

  auto failed = [&](const char* verb) -> std::unique_ptr<PlayedBytesSink> {
    *why = std::string("cannot ") + verb + " " + path + ": " + strerror(errno);
    return nullptr;
  };
  // Writes a fresh header; on failure the file is closed and errno still says why.
  auto writeHeader = [&](int fd, uint32_t riffSize, uint32_t dataSize) {
    unsigned char header[kHeaderBytes];
    FillHeader(header, format, riffSize, dataSize);
    if (write_all(fd, header, sizeof header)) return true;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return false;
  };

  if (stream) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return failed("open");
    if (!goOn) {
      if (!writeHeader(fd, kUnknownSize, kUnknownSize)) return failed("write");
      gWritten[path] = {format, 0};
    }
    return std::make_unique<WavFile>(path, fd, true, 0);
  }

  if (goOn) {
    // Continue only what this process left there; anything else starts the file anew.
    const uint64_t dataBytes = earlier->second.dataBytes;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat now {};
    if (fd >= 0 && ::fstat(fd, &now) == 0 && S_ISREG(now.st_mode) &&
        static_cast<uint64_t>(now.st_size) >= kHeaderBytes + dataBytes &&
        ::ftruncate(fd, static_cast<off_t>(kHeaderBytes + dataBytes)) == 0 &&
        ::lseek(fd, 0, SEEK_END) >= 0) {
      return std::make_unique<WavFile>(path, fd, false, dataBytes);
    }
    if (fd >= 0) ::close(fd);
  }

  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return failed("create");
  if (!writeHeader(fd, kHeaderBytes - 8, 0)) return failed("write");
  gWritten[path] = {format, 0};
  return std::make_unique<WavFile>(path, fd, false, 0);
}

}  // namespace platform::wave_out_detail
