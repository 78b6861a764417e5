#include <sonark/mpeg/mpeg_engine.h>

#include <fcntl.h>
#include <mpg123.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace sonark::mpeg {

namespace {

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mpg123_init(); });
}

// A stretch of a file read through mpg123's own reader calls: positions count from its start
// and its end is the end of the stream (so a tag after the audio is never taken for frames).
struct FileRange {
  int fd = -1;
  off_t start = 0;
  off_t size = 0;
  off_t position = 0;
};

ssize_t RangeRead(void* handle, void* buffer, size_t count) {
  auto* range = static_cast<FileRange*>(handle);
  const off_t left = range->size - range->position;
  if (left <= 0) return 0;
  if (static_cast<off_t>(count) > left) count = static_cast<size_t>(left);
  ssize_t got;
  do {
    got = pread(range->fd, buffer, count, range->start + range->position);
  } while (got < 0 && errno == EINTR);
  if (got > 0) range->position += got;
  return got;
}

off_t RangeSeek(void* handle, off_t offset, int whence) {
  auto* range = static_cast<FileRange*>(handle);
  off_t target = offset;
  if (whence == SEEK_CUR) target += range->position;
  if (whence == SEEK_END) target += range->size;
  if (target < 0 || target > range->size) return -1;
  range->position = target;
  return target;
}

void RangeClose(void* handle) {
  auto* range = static_cast<FileRange*>(handle);
  if (range->fd >= 0) close(range->fd);
  range->fd = -1;
}

}  // namespace

struct Engine::Impl {
  mpg123_handle* handle = nullptr;
  FileRange range;
  bool open = false;
  long rate = 0;
  int channels = 0;

  ~Impl() {
    if (handle != nullptr) {
      mpg123_close(handle);
      mpg123_delete(handle);
    }
    RangeClose(&range);
  }

  // The decoding mode shared by every instance: native rate and channels, 16-bit, no
  // trimming, no resampling, no messages on stderr.
  bool Configure() {
    if (mpg123_param(handle, MPG123_REMOVE_FLAGS, MPG123_GAPLESS | MPG123_AUTO_RESAMPLE, 0) !=
            MPG123_OK ||
        mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_NO_PEEK_END, 0) !=
            MPG123_OK ||
        mpg123_format_none(handle) != MPG123_OK) {
      return false;
    }
    const long* rates = nullptr;
    size_t count = 0;
    mpg123_rates(&rates, &count);
    for (size_t i = 0; i < count; ++i) {
      if (mpg123_format(handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16) !=
          MPG123_OK) {
        return false;
      }
    }
    return true;
  }

  long State(enum mpg123_state key) const {
    long value = 0;
    double unused = 0;
    if (handle == nullptr || mpg123_getstate(handle, key, &value, &unused) != MPG123_OK) return -1;
    return value;
  }
};

Engine::Engine() : impl_(new Impl) {
  InitLibrary();
  int error = 0;
  impl_->handle = mpg123_new(nullptr, &error);
  if (impl_->handle != nullptr && !impl_->Configure()) {
    mpg123_delete(impl_->handle);
    impl_->handle = nullptr;
  }
}

Engine::~Engine() = default;

int Engine::Valid() const { return impl_->handle != nullptr ? 1 : 0; }

int Engine::OpenMemoryInput() {
  if (impl_->handle == nullptr) return 0;
  CloseInput();
  if (mpg123_open_feed(impl_->handle) != MPG123_OK) return 0;
  impl_->open = true;
  return 1;
}

int Engine::OpenFileInput(const char* path, long start, long end) {
  if (impl_->handle == nullptr || path == nullptr || start < 0) return 0;
  CloseInput();
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const off_t fileSize = lseek(fd, 0, SEEK_END);
  off_t stop = end < 0 ? fileSize : static_cast<off_t>(end);
  if (stop > fileSize) stop = fileSize;
  if (fileSize < 0 || stop <= start) {
    close(fd);
    return 0;
  }
  impl_->range = FileRange{fd, start, stop - start, 0};
  if (mpg123_replace_reader_handle(impl_->handle, RangeRead, RangeSeek, RangeClose) !=
          MPG123_OK ||
      mpg123_open_handle(impl_->handle, &impl_->range) != MPG123_OK) {
    RangeClose(&impl_->range);
    return 0;
  }
  impl_->open = true;
  return 1;
}

void Engine::CloseInput() {
  if (impl_->handle != nullptr && impl_->open) mpg123_close(impl_->handle);
  RangeClose(&impl_->range);
  impl_->open = false;
  impl_->rate = 0;
  impl_->channels = 0;
  frames_ = 0;
}

long Engine::Accept(const unsigned char* data, long size) {
  if (impl_->handle == nullptr || !impl_->open || data == nullptr || size <= 0) return 0;
  return mpg123_feed(impl_->handle, data, static_cast<size_t>(size)) == MPG123_OK ? size : 0;
}

int Engine::DecodeFrame(FramePcm* out) {
  if (impl_->handle == nullptr || !impl_->open || out == nullptr) return MPG123_ERR;
  for (;;) {
    off_t number = 0;
    unsigned char* audio = nullptr;
    size_t bytes = 0;
    const int result = mpg123_decode_frame(impl_->handle, &number, &audio, &bytes);
    if (result == MPG123_NEW_FORMAT) {
      int encoding = 0;
      mpg123_getformat(impl_->handle, &impl_->rate, &impl_->channels, &encoding);
      continue;
    }
    if (result == MPG123_NEED_MORE) return kNeedMore;
    if (result != MPG123_OK) return result == 0 ? MPG123_ERR : result;
    if (impl_->channels <= 0) {
      // A reopened input keeps the format it had and does not announce it again.
      int encoding = 0;
      mpg123_getformat(impl_->handle, &impl_->rate, &impl_->channels, &encoding);
    }
    if (bytes == 0 || impl_->channels <= 0) continue;  // nothing audible in this frame
    ++frames_;
    out->data = audio;
    out->channels = impl_->channels;
    out->rate = impl_->rate;
    out->bytesPerSample = 2;
    out->samples = static_cast<long>(bytes / (2 * static_cast<size_t>(impl_->channels)));
    return 0;
  }
}

int Engine::Reset() { return OpenMemoryInput(); }

long Engine::InputPosition() const {
  if (impl_->handle == nullptr || !impl_->open) return -1;
  return static_cast<long>(mpg123_framepos(impl_->handle));
}

long Engine::EncoderDelay() const { return impl_->State(MPG123_ENC_DELAY); }

long Engine::EncoderPadding() const { return impl_->State(MPG123_ENC_PADDING); }

long Engine::DeclaredFrames() const {
  if (impl_->handle == nullptr || !impl_->open) return 0;
  const off_t frames = mpg123_framelength(impl_->handle);
  return frames > 0 ? static_cast<long>(frames) : 0;
}

long SamplesPerFrame(int layer, double version) {
  if (layer == 1) return 384;
  if (layer == 2) return 1152;
  return version >= 1.0 && version < 1.5 ? 1152 : 576;
}

}  // namespace sonark::mpeg
