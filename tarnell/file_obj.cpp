#include <platform/last_error.h>
#include <sys/stat.h>
#include <tarnell/errors.h>
#include <tarnell/file_obj.h>
#include <tarnell/internet_access.h>
#include <tarnell/internet_download.h>
#include <stdio_ext.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace {

// Fits `path` into a path buffer; a path that does not fit is refused, never cut.
bool FitsPathBuffer(const char* path) {
  return path != nullptr && std::strlen(path) < static_cast<size_t>(CFileObj::kPathCapacity);
}

bool IsDirectory(FILE* stream) {
  struct stat info {};
  return fstat(fileno(stream), &info) == 0 && S_ISDIR(info.st_mode);
}

// Opens a regular file; a directory opens under stdio but is no file to us.
FILE* OpenRegular(const char* path, const char* mode) {
  FILE* stream = std::fopen(path, mode);
  if (stream != nullptr && IsDirectory(stream)) {
    std::fclose(stream);
    errno = EISDIR;
    return nullptr;
  }
  return stream;
}

}  // namespace

CFileObj::CFileObj() = default;

CFileObj::CFileObj(const CFileObj& other) : CRefObj() { CopyFrom(other); }

CFileObj::~CFileObj() {
  // The download goes first: its thread may still be writing into the stream.
  delete download_;
  download_ = nullptr;
  Close();
}

int CFileObj::Copy(CRefObj* source) {
  auto* file = source != nullptr && source->Type() == 1 ? dynamic_cast<CFileObj*>(source) : nullptr;
  if (file == nullptr) {
    platform::set_last_error(tarnell::kErrCopyReopen);
    return 0;
  }
  return CopyFrom(*file);
}

int CFileObj::CopyFrom(const CFileObj& source) {
  if (source.stream_ == nullptr) {
    // A closed file has no position to take over.
    platform::set_last_error(tarnell::kErrCopyReopen);
    return 0;
  }
  // Taken first, as the source may be this object.
  char path[kPathCapacity];
  std::memcpy(path, source.path_, sizeof path);
  const long base = source.base_offset_, position = source.position_, end = source.end_;
  const long data_start = source.data_start_, data_end = source.data_end_;
  const long virtual_start = source.virtual_start_;

  if (!Open(path, base, 0)) {
    platform::set_last_error(tarnell::kErrCopyReopen);
    return 0;
  }
  // The stream must stand where the taken-over position says it does.
  if (fseeko(stream_, position, SEEK_SET) != 0) {
    Close();
    platform::set_last_error(tarnell::kErrCopyReopen);
    return 0;
  }
  position_ = position;
  end_ = end;
  data_start_ = data_start;
  data_end_ = data_end;
  virtual_start_ = virtual_start;
  return 1;
}

CRefObj* CFileObj::Copy() {
  auto* copy = new (std::nothrow) CFileObj(*this);
  if (copy == nullptr) {
    platform::set_last_error(tarnell::kErrOutOfMemory);
    return nullptr;
  }
  if (!copy->IsOpen()) {
    delete copy;
    return nullptr;
  }
  return copy;
}

int CFileObj::IsOpen() { return stream_ != nullptr ? 1 : 0; }

void CFileObj::Close() {
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = nullptr;
  base_offset_ = position_ = end_ = -1;
  last_was_read_ = false;
}

int CFileObj::OpenStream(const char* path, const char* mode) {
  if (!FitsPathBuffer(path)) {
    platform::set_last_error(path == nullptr ? EINVAL : ENAMETOOLONG);
    return 0;
  }
  // Reopening must not leak the stream that is open now.
  Close();
  FILE* stream = OpenRegular(path, mode);
  if (stream == nullptr) {
    platform::set_last_error(static_cast<uint32_t>(errno));
    path_[0] = '\0';
    return 0;
  }
  stream_ = stream;
  if (path != path_) std::strcpy(path_, path);
  return 1;
}

int CFileObj::Open(const char* path, long baseOffset, int readWrite) {
  if (!OpenStream(path, readWrite ? "r+b" : "rb")) return 0;
  off_t end = -1;
  if (fseeko(stream_, 0, SEEK_END) != 0 || (end = ftello(stream_)) < 0 || baseOffset < 0 ||
      fseeko(stream_, baseOffset, SEEK_SET) != 0) {
    const int error = errno;
    Close();
    path_[0] = '\0';
    platform::set_last_error(baseOffset < 0 ? static_cast<uint32_t>(tarnell::kErrSeekFailed)
                                            : static_cast<uint32_t>(error));
    return 0;
  }
  end_ = end;
  base_offset_ = position_ = baseOffset;
  SetWriteMode(readWrite ? 1 : 0);
  return 1;
}

int CFileObj::Create(const char* path) {
  if (!OpenStream(path, "w+b")) return 0;
  end_ = base_offset_ = position_ = 0;
  SetWriteMode(1);
  return 1;
}

int CFileObj::CreateWriteOnly(const char* path) {
  if (!OpenStream(path, "wb")) return 0;
  end_ = base_offset_ = position_ = 0;
  SetWriteMode(1);
  return 1;
}

long CFileObj::Read(char* buf, long count) {
  if (stream_ == nullptr || buf == nullptr || count <= 0) return 0;
  const long available = end_ - position_;
  if (available <= 0) return 0;
  const size_t got =
      std::fread(buf, 1, static_cast<size_t>(count < available ? count : available), stream_);
  position_ += static_cast<long>(got);
  last_was_read_ = true;
  if (got < static_cast<size_t>(count)) std::clearerr(stream_);
  return static_cast<long>(got);
}

long CFileObj::Write(const char* buf, long count) {
  if (stream_ == nullptr || buf == nullptr || count <= 0) return 0;
  if (last_was_read_ && fseeko(stream_, position_, SEEK_SET) != 0) return 0;
  last_was_read_ = false;
  const long before = position_;
  const size_t written = std::fwrite(buf, 1, static_cast<size_t>(count), stream_);
  // Flushed every time so that a reader polling the size (a download's owner) sees the data,
  // and so that a full disk is reported by this write rather than lost at close. After any
  // failure stdio's own count cannot be trusted (a short write is retried from its buffer, and
  // that may fail again unseen), and what it still buffers must not reach the file later: the
  // write counts as not made.
  const bool flushed = std::fflush(stream_) == 0;
  if (!flushed || std::ferror(stream_) || written < static_cast<size_t>(count)) {
    __fpurge(stream_);
    std::clearerr(stream_);
    fseeko(stream_, before, SEEK_SET);
    platform::set_last_error(tarnell::kErrWriteFailed);
    return 0;
  }
  position_ += static_cast<long>(written);
  if (position_ > end_) end_ = position_;
  return static_cast<long>(written);
}

int CFileObj::Seek(long offset, int origin) {
  if (stream_ == nullptr || origin < 0 || origin > 2) {
    platform::set_last_error(tarnell::kErrSeekFailed);
    return 0;
  }
  if (origin == 0) {
    offset += base_offset_;
  } else if (origin == 2 && base_offset_ != 0) {
    platform::set_last_error(tarnell::kErrSeekFailed);
    return 0;
  }
  const bool loop = DataMode() != 0;
  if (offset > end_) {
    if (loop && origin == 1) {
      offset -= end_;
      origin = 0;
    } else {
      platform::set_last_error(tarnell::kErrSeekFailed);
      return 0;
    }
  }
  if (offset < 0 && offset + position_ < 0) {
    if (loop && origin == 1) {
      // Wraps backwards from the end.
      offset += position_;
      origin = 2;
    } else if (origin != 2) {
      platform::set_last_error(tarnell::kErrSeekFailed);
      return 0;
    }
  }
  static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (fseeko(stream_, offset, kWhence[origin]) != 0) {
    platform::set_last_error(tarnell::kErrSeekFailed);
    return 0;
  }
  const off_t position = ftello(stream_);
  if (position < 0) {
    platform::set_last_error(tarnell::kErrSeekFailed);
    return 0;
  }
  position_ = position;
  last_was_read_ = false;
  platform::clear_last_error();
  return 1;
}

long CFileObj::Tell() { return position_ - base_offset_; }
long CFileObj::Size() { return end_ - base_offset_; }
int CFileObj::Type() { return 1; }

int CFileObj::SetDataOffsets(unsigned long start, unsigned long end) {
  // An inverted window, or one past what a stream position can hold, is no window.
  if (start >= end || end > static_cast<unsigned long>(LONG_MAX)) return 0;
  // The base offset of a closed file is -1; the window is then taken as absolute.
  const long base = base_offset_ > 0 ? base_offset_ : 0;
  data_start_ = static_cast<long>(start) + base;
  data_end_ = static_cast<long>(end) + base;
  virtual_start_ = 0;
  platform::clear_last_error();
  return 1;
}

long CFileObj::GetDataStart() { return data_start_; }
long CFileObj::GetDataEnd() { return data_end_; }
long CFileObj::GetVirtualStart() { return virtual_start_; }

int CFileObj::SetVirtualStart(long start) {
  if (start < 0 || start > DataSize()) return 0;
  virtual_start_ = start;
  return 1;
}

long CFileObj::DataSize() { return data_start_ == -1 ? -1 : data_end_ - data_start_; }

int CFileObj::SeekToData(long offset) {
  const long base = base_offset_ > 0 ? base_offset_ : 0;
  return SeekInWindow(offset, data_start_ - base, data_end_ - base, virtual_start_);
}

long CFileObj::ReadData(char* buf, long count) {
  const long base = base_offset_ > 0 ? base_offset_ : 0;
  return ReadWindow(buf, count, data_start_ - base, data_end_ - base);
}

long CFileObj::WriteData(const char* buf, long count, int append) {
  const long base = base_offset_ > 0 ? base_offset_ : 0;
  long end = data_end_ - base;
  const long written = WriteWindow(buf, count, append, &end);
  data_end_ = end + base;
  return written;
}

void CFileObj::GetFilePath(char* out) {
  if (out != nullptr) std::strcpy(out, path_);
}

int CFileObj::GetFilePath(char* out, unsigned long size) {
  if (out == nullptr || size == 0) return 0;
  const size_t length = std::strlen(path_);
  if (length >= size) {
    out[0] = '\0';
    return 0;
  }
  std::memcpy(out, path_, length + 1);
  return 1;
}

char* CFileObj::FilePath() { return path_; }

int CFileObj::OpenFromInternet(MyInternetAccess* access, const char* url, const char* localPath) {
  if (IsOpen()) {
    platform::set_last_error(tarnell::kErrInternetOnOpenFile);
    return 0;
  }
  void* session = access != nullptr ? access->InternetHandle() : nullptr;
  if (session == nullptr) {
    platform::set_last_error(tarnell::kErrNoInternetSession);
    return 0;
  }
  // A download from an earlier use of this object is stopped before the file is reused.
  delete download_;
  download_ = nullptr;
  if (!Create(localPath)) return 0;
  download_ = new (std::nothrow) CInternetDownload(session, url, this);
  if (download_ == nullptr) {
    Close();
    std::remove(path_);
    path_[0] = '\0';
    platform::set_last_error(tarnell::kErrOutOfMemory);
    return 0;
  }
  return 1;
}

int CFileObj::FileDownloading() { return download_ != nullptr && download_->MoreToRead() ? 1 : 0; }

int CFileObj::GetDownloadAmounts(unsigned long& received, unsigned long& total) {
  if (download_ == nullptr) {
    platform::set_last_error(tarnell::kErrNoDownload);
    return 0;
  }
  // The download thread writes the file under this lock.
  download_->Lock();
  const int running = download_->MoreToRead();
  if (running) {
    const long size = Size();
    received = size > 0 ? static_cast<unsigned long>(size) : 0;
    total = download_->FileSize();
  }
  download_->Unlock();
  return running;
}

int CFileObj::CompleteDownload(int discard) {
  if (download_ == nullptr) {
    platform::set_last_error(tarnell::kErrNoDownload);
    return 0;
  }
  // Beyond the usual ten seconds the thread is still waited for: it must not write into a
  // closed or deleted file.
  if (!download_->TerminateDownload()) download_->WaitForThread();
  if (discard) {
    Close();
    if (path_[0] != '\0') std::remove(path_);
    path_[0] = '\0';
    return 1;
  }
  char path[kPathCapacity];
  std::memcpy(path, path_, sizeof path);
  Close();
  return Open(path, 0, 0);
}

int CFileObj::DownloadWasSuccessful() {
  if (download_ == nullptr) {
    platform::set_last_error(tarnell::kErrNoDownload);
    return 0;
  }
  return download_->WholeFileDownloaded();
}

int DoesFileExist(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;
  FILE* stream = OpenRegular(path, "r");
  if (stream == nullptr) return 0;
  std::fclose(stream);
  return 1;
}
