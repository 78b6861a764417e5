#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/render/pcm_buffer.h>
#include <tarnell/file_obj.h>
#include <tarnell/ref_obj.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

// The ring memory. Loaded-once buffers share it with their copies, which only ever read it,
// so a sound duplicated on the time line costs no second copy of its samples.
struct _pcmStorage {
  std::atomic<long> references{1};
  unsigned char* memory = nullptr;
  uint32_t size = 0;
};

namespace {

constexpr uint32_t kMaxCount = std::numeric_limits<uint32_t>::max();

uint32_t ClampCount(uint64_t value) {
  return value > kMaxCount ? kMaxCount : static_cast<uint32_t>(value);
}

_pcmStorage* NewStorage(uint32_t size) {
  auto* storage = new (std::nothrow) _pcmStorage;
  if (storage == nullptr) return nullptr;
  storage->memory = static_cast<unsigned char*>(std::malloc(size));
  if (storage->memory == nullptr) {
    delete storage;
    return nullptr;
  }
  storage->size = size;
  return storage;
}

void ReleaseStorageBlock(_pcmStorage* storage) {
  if (storage != nullptr && storage->references.fetch_sub(1) == 1) {
    std::free(storage->memory);
    delete storage;
  }
}

}  // namespace

CPCMBuffer::CPCMBuffer() = default;

CPCMBuffer::CPCMBuffer(const CPCMBuffer& other) { AssignFrom(other); }

CPCMBuffer& CPCMBuffer::operator=(const CPCMBuffer& other) {
  if (this != &other) {
    ReleaseStorage();
    AssignFrom(other);
  }
  return *this;
}

CPCMBuffer::~CPCMBuffer() { ReleaseStorage(); }

void CPCMBuffer::AssignFrom(const CPCMBuffer& other) {
  ref_obj_ = nullptr;
  buffer_size_ = other.buffer_size_;
  fill_percent_ = other.fill_percent_;
  virtual_start_ = other.virtual_start_;
  silence_ = other.silence_;
  loaded_once_ = other.loaded_once_;
  start_offset_ = bytes_read_ = bytes_to_read_ = 0;
  finished_ = reading_ = low_activity_ = 0;
  initialized_ = 1;
  if (loaded_once_) {
    storage_ = other.storage_;
    if (storage_ != nullptr) storage_->references.fetch_add(1);
    PointAtStorage();
    write_ = ring_end_;
    unread_ = buffer_size_;
    exhausted_ = 1;
  } else {
    if (buffer_size_ > 0) AllocateStorage(buffer_size_);
    PointAtStorage();
    unread_ = 0;
    exhausted_ = 0;
  }
}

CPCMBuffer* CPCMBuffer::Copy() {
  auto* copy = new (std::nothrow) CPCMBuffer(*this);
  if (copy != nullptr && copy->Streaming() && copy->buffer_size_ > 0 && copy->storage_ == nullptr) {
    delete copy;
    copy = nullptr;
  }
  if (copy == nullptr) platform::set_last_error(sonark::kErrOutOfMemory);
  return copy;
}

int CPCMBuffer::AllocateStorage(uint32_t size) {
  storage_ = NewStorage(size);
  return storage_ != nullptr ? 1 : 0;
}

void CPCMBuffer::ReleaseStorage() {
  ReleaseStorageBlock(storage_);
  storage_ = nullptr;
  ring_begin_ = ring_end_ = read_ = write_ = nullptr;
}

void CPCMBuffer::PointAtStorage() {
  ring_begin_ = storage_ != nullptr ? storage_->memory : nullptr;
  ring_end_ = storage_ != nullptr ? storage_->memory + storage_->size : nullptr;
  read_ = write_ = ring_begin_;
}

int CPCMBuffer::Init(CRefObj* source, unsigned long size, int loadedOnce, int fillPercent) {
  ReleaseStorage();
  low_activity_ = 0;
  initialized_ = 0;
  ref_obj_ = source;
  loaded_once_ = loadedOnce ? 1 : 0;
  fill_percent_ = std::clamp(fillPercent, 0, 100);
  start_offset_ = bytes_read_ = bytes_to_read_ = unread_ = 0;
  finished_ = exhausted_ = reading_ = 0;
  if (size > kMaxCount) {
    buffer_size_ = 0;
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  buffer_size_ = static_cast<uint32_t>(size);
  if (buffer_size_ > 0 && !AllocateStorage(buffer_size_)) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  PointAtStorage();
  if (loaded_once_) {
    bytes_to_read_ = buffer_size_;
    Fill();
    // A source that came up short leaves silence rather than stale memory; the ring is
    // handed out whole from now on.
    if (ring_begin_ != nullptr && unread_ < buffer_size_) {
      std::memset(ring_begin_ + unread_, silence_, buffer_size_ - unread_);
    }
    unread_ = buffer_size_;
    SetReadVariables(0, buffer_size_);
    exhausted_ = 1;
  }
  initialized_ = 1;
  return 1;
}

void CPCMBuffer::SetRefObj(CRefObj* source) { ref_obj_ = source; }

int CPCMBuffer::Fill() {
  if (low_activity_) {
    if (!PrepareStreamingBuffer()) return 1;
    low_activity_ = 0;
  }
  if (exhausted_) return 1;
  if (buffer_size_ == 0 || ring_begin_ == nullptr) return 0;
  if (static_cast<int64_t>(uint64_t{unread_} * 100 / buffer_size_) > fill_percent_) return 0;
  uint32_t n = buffer_size_ - unread_;
  // Never ask for more than the read still needs; a read shortened below what was already
  // handed out needs nothing.
  if (bytes_read_ >= bytes_to_read_) {
    n = 0;
  } else if (uint64_t{bytes_read_} + n >= bytes_to_read_) {
    n = bytes_to_read_ - bytes_read_;
  }
  if (n > 0) FillData(n);
  return 1;
}

void CPCMBuffer::LowActivityMode() {
  if (loaded_once_ || low_activity_) return;
  low_activity_ = 1;
  ReleaseStorage();
  unread_ = 0;
}

int CPCMBuffer::PrepareStreamingBuffer() {
  if (loaded_once_) return 0;
  ReleaseStorage();
  unread_ = 0;
  start_offset_ = 0;
  finished_ = exhausted_ = 0;
  if (buffer_size_ > 0 && !AllocateStorage(buffer_size_)) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  PointAtStorage();
  return 1;
}

int CPCMBuffer::SetReadVariables(unsigned long offset, unsigned long bytesToRead) {
  exhausted_ = finished_ = 0;
  bytes_read_ = 0;
  start_offset_ = virtual_start_ + static_cast<uint32_t>(offset);
  read_origin_ = start_offset_;
  if (loaded_once_) {
    read_ = ring_begin_ != nullptr ? ring_begin_ + start_offset_ % buffer_size_ : nullptr;
    write_ = ring_end_;
  } else {
    unread_ = 0;
    read_ = write_ = ring_begin_;
    if (!Seek(start_offset_)) return 0;
  }
  bytes_to_read_ = ClampCount(bytesToRead);
  reading_ = 1;
  return 1;
}

int CPCMBuffer::AdjustBytesToRead(long delta) {
  const int64_t adjusted = static_cast<int64_t>(bytes_to_read_) + delta;
  bytes_to_read_ = adjusted < 0 ? 0 : ClampCount(static_cast<uint64_t>(adjusted));
  if (bytes_read_ >= bytes_to_read_) finished_ = 1;
  return 1;
}

int CPCMBuffer::Lock(unsigned char*& first, unsigned long& firstLength, unsigned char*& second,
                     unsigned long& secondLength) {
  if (unread_ == 0 || ring_begin_ == nullptr) {
    first = second = read_;
    firstLength = secondLength = 0;
    return 1;
  }
  first = read_;
  if (read_ < write_) {
    firstLength = static_cast<unsigned long>(write_ - read_);
    second = nullptr;
    secondLength = 0;
  } else {
    firstLength = static_cast<unsigned long>(ring_end_ - read_);
    if (write_ == ring_begin_) {
      second = nullptr;
      secondLength = 0;
    } else {
      second = ring_begin_;
      secondLength = static_cast<unsigned long>(write_ - ring_begin_);
    }
  }
  return 1;
}

int CPCMBuffer::Unlock() { return 1; }

void CPCMBuffer::Advance(unsigned char*& pointer, unsigned long count) const {
  if (ring_begin_ == nullptr || buffer_size_ == 0) return;
  const uint64_t at = static_cast<uint64_t>(pointer - ring_begin_) + count;
  pointer = ring_begin_ + at % buffer_size_;
}

void CPCMBuffer::UpdateReadOffset(unsigned long count) {
  const uint32_t taken = static_cast<uint32_t>(std::min<unsigned long>(count, unread_));
  Advance(read_, taken);
  if (!loaded_once_) unread_ -= taken;
  bytes_read_ = ClampCount(uint64_t{bytes_read_} + count);
  if (bytes_read_ >= bytes_to_read_) finished_ = 1;
}

int CPCMBuffer::SkipBytes(unsigned long count) {
  if (loaded_once_ || count <= unread_) {
    UpdateReadOffset(count);
    return 1;
  }
  bytes_read_ = ClampCount(uint64_t{bytes_read_} + count);
  if (bytes_read_ >= bytes_to_read_) finished_ = 1;
  unread_ = 0;
  read_ = write_ = ring_begin_;
  exhausted_ = 0;
  return Seek(read_origin_ + bytes_read_);
}

int CPCMBuffer::ReadBehind(unsigned char* out, unsigned long count) {
  if (count == 0 || count > buffer_size_ || bytes_read_ < count) return 0;
  if (loaded_once_) {
    if (ring_begin_ == nullptr) return 0;
    const auto at = static_cast<unsigned long>(read_ - ring_begin_) + buffer_size_ - count;
    for (unsigned long i = 0; i < count; ++i) out[i] = ring_begin_[(at + i) % buffer_size_];
    return 1;
  }
  // The source stands after the unread bytes of the ring; it is put back there.
  const unsigned long behind = read_origin_ + bytes_read_;
  const bool ok = Seek(behind - count) && ReadRepeatedly(out, count) == count;
  return Seek(behind + unread_) && ok ? 1 : 0;
}

int CPCMBuffer::BytesLeftToRead(unsigned long& left) {
  left = bytes_to_read_ > bytes_read_ ? bytes_to_read_ - bytes_read_ : 0;
  if (left == 0) reading_ = 0;
  return reading_;
}

int CPCMBuffer::BufferFinished() { return finished_; }

void CPCMBuffer::MarkAsFinished() { finished_ = 1; }

int CPCMBuffer::PreFilterData(const tWAVEFORMATEX*, const tWAVEFORMATEX*) { return 1; }

unsigned long CPCMBuffer::ReadRepeatedly(unsigned char* at, unsigned long count) {
  unsigned long got = 0;
  while (got < count) {
    const long n = ReadData(at + got, count - got);
    if (n <= 0) break;
    got += std::min(static_cast<unsigned long>(n), count - got);
  }
  return got;
}

void CPCMBuffer::FillData(unsigned long count) {
  if (ring_begin_ != nullptr && count > 0) {
    const unsigned long n = std::min<unsigned long>(count, buffer_size_ - unread_);
    if (write_ >= read_) {
      // The free space runs from the write pointer to the ring's end and on from its begin.
      const unsigned long first = std::min<unsigned long>(n, ring_end_ - write_);
      const unsigned long got = ReadRepeatedly(write_, first);
      unread_ += static_cast<uint32_t>(got);
      Advance(write_, got);
      if (got < first) {
        exhausted_ = 1;
      } else if (n > first) {
        const unsigned long rest = n - first;
        const unsigned long more = ReadRepeatedly(write_, rest);
        unread_ += static_cast<uint32_t>(more);
        Advance(write_, more);
        if (more < rest) exhausted_ = 1;
      }
    } else {
      const unsigned long got = ReadRepeatedly(write_, n);
      unread_ += static_cast<uint32_t>(got);
      Advance(write_, got);
      if (got < n) exhausted_ = 1;
    }
  }
  // A sound whose file vanished while it played ends instead of waiting for bytes forever.
  if (count > 0 && unread_ == 0 && ref_obj_ != nullptr && ref_obj_->Type() == 1) {
    auto* file = dynamic_cast<CFileObj*>(ref_obj_);
    if (file != nullptr && !DoesFileExist(file->FilePath())) exhausted_ = 1;
  }
}

long CPCMBuffer::ReadData(unsigned char* destination, unsigned long count) {
  if (ref_obj_ == nullptr || count == 0) return 0;
  const long wanted = static_cast<long>(
      std::min<unsigned long>(count, static_cast<unsigned long>(std::numeric_limits<long>::max())));
  const long got = ref_obj_->ReadData(reinterpret_cast<char*>(destination), wanted);
  return got > 0 ? std::min(got, wanted) : 0;
}

int CPCMBuffer::Seek(unsigned long position) {
  if (ref_obj_ == nullptr) return 0;
  const long size = ref_obj_->DataSize();
  const long start = ref_obj_->GetDataStart();
  if (size <= 0 || start < 0) return 0;
  return ref_obj_->Seek(static_cast<long>(position % static_cast<unsigned long>(size)) + start, 0);
}
